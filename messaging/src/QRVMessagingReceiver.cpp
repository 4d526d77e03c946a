#include "messaging/QRVMessagingReceiver.h"

#include <mutex>

#include "messaging/QRVMessagingLogger.h"
#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/notification_center.h"
#include "platform/runtime.h"
#include "uikit/UIWindow.h"

namespace {

// Posted after the current main-queue turn, as the default notification
// queue posts "as soon as possible".
void enqueue(const char* name, ns::Dictionary userInfo) {
    ns::DispatchQueue::main()->async([name, userInfo = std::move(userInfo)] {
        ns::NotificationCenter::defaultCenter().post(name, nullptr, userInfo);
    });
}

bool applicationDelegateResponds(const ns::ObjectPtr& delegate, const char* selector) {
    if (!delegate) return false;
    const ns::Class* cls = ns::Runtime::lookUpClass(delegate->className());
    return cls && cls->instanceRespondsTo(selector);
}

// Before iOS 10 the application delegate itself took data messages of the
// direct channel, as remote notifications.
void deliverToApplicationDelegate(const ns::Dictionary& message) {
    ns::DispatchQueue::main()->async([message] {
        auto application = ns::Application::shared();
        const ns::ObjectPtr delegate = application->delegate();
        if (applicationDelegateResponds(delegate, "application:didReceiveRemoteNotification:fetchCompletionHandler:")) {
            auto nothing = ns::BlockObject::makeVoid([](const std::vector<ns::Value>&) {});
            application->sendToDelegate("application:didReceiveRemoteNotification:fetchCompletionHandler:",
                                        {ns::Value(message), ns::Value(std::static_pointer_cast<ns::Object>(nothing))});
        } else if (applicationDelegateResponds(delegate, "application:didReceiveRemoteNotification:")) {
            application->sendToDelegate("application:didReceiveRemoteNotification:", {ns::Value(message)});
        } else {
            QRVMessagingLoggerError(10005, "None of the remote notification callbacks implemented by UIApplicationDelegate");
        }
    });
}

}  // namespace

void QRVMessagingReceiver::didReceiveMessage(const ns::Dictionary& message, const std::string& messageID) {
    // The id only matters to the log; a message without one still gets one.
    const std::string id = messageID.empty() ? nextMessageID() : messageID;
    (void)id;
    if (ns::UIDevice::currentDevice()->systemMajorVersion() >= 10) {
        auto remoteMessage = std::make_shared<QRVMessagingRemoteMessage>();
        remoteMessage->setAppData(message);
        if (auto delegate = delegate_.lock()) delegate->receiverReceivedRemoteMessage(*this, remoteMessage);
    } else {
        deliverToApplicationDelegate(message);
    }
}

void QRVMessagingReceiver::willSendDataMessageWithID(const std::string& messageID, const ns::ErrorRef& error) {
    if (error) {
        enqueue(QRVMessagingSendErrorNotification,
                {{QRVMessagingSendMessageIDKey, ns::Value(messageID)},
                 {QRVMessagingSendErrorKey, ns::Value(std::static_pointer_cast<ns::Object>(std::const_pointer_cast<ns::Error>(error)))}});
        QRVMessagingLoggerDebug(10000, "Fail to send upstream message: %@ error: %@", messageID, error);
    } else {
        QRVMessagingLoggerDebug(10001, "Will send upstream message: %@", messageID);
    }
}

void QRVMessagingReceiver::didSendDataMessageWithID(const std::string& messageID) {
    QRVMessagingLoggerDebug(10002, "Did send upstream message: %@", messageID);
    enqueue(QRVMessagingSendSuccessNotification, {{QRVMessagingSendMessageIDKey, ns::Value(messageID)}});
}

void QRVMessagingReceiver::didDeleteMessagesOnServer() {
    QRVMessagingLoggerDebug(10003, "Will send deleted messages notification");
    enqueue(QRVMessagingMessagesDeletedNotification, {});
}

std::string QRVMessagingReceiver::nextMessageID() {
    static std::mutex lock;
    static int32_t counter = 0;
    std::lock_guard guard(lock);
    ++counter;
    return ns::format("kdx-%d", counter);
}
