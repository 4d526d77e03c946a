#include "messaging/QRVMessagingRegistrar.h"

#include "messaging/QRVMessagingCheckinService.h"
#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/process_info.h"
#include "platform/url.h"

namespace {

// RFC 3986's unreserved marks: the form is decoded by the service, so
// everything else ("%" in a topic, ":" in a token) travels encoded.
constexpr std::string_view kFormUnreserved = "-._~";

std::string formValue(const std::string& value) { return ns::percentEncode(value, kFormUnreserved); }

}  // namespace

std::string QRVMessagingSubscriptionsServer() {
    const auto environment = ns::ProcessInfo::processInfo().environment();
    const auto endpoint = environment.find("QDX_SERVER_ENDPOINT");
    if (endpoint == environment.end() || endpoint->second.empty()) return kQRVMessagingDefaultSubscriptionsServer;
    return endpoint->second;
}

// MARK: - Topic operation

QRVMessagingTopicOperation::QRVMessagingTopicOperation(std::string topic, QRVMessagingTopicAction action,
                                                       std::string token, ns::Dictionary options,
                                                       std::shared_ptr<QRVMessagingCheckinService> checkinService,
                                                       QRVMessagingTopicOperationCompletion completion)
    : topic_(std::move(topic)),
      action_(action),
      token_(std::move(token)),
      options_(std::move(options)),
      checkinService_(std::move(checkinService)),
      completion_(std::move(completion)) {}

void QRVMessagingTopicOperation::main() {
    if (isCancelled()) {
        finishWithResult(QRVMessagingTopicOperationResultCancelled, nullptr);
        return;
    }
    performSubscriptionChange();
}

void QRVMessagingTopicOperation::cancel() {
    ns::Operation::cancel();
    ns::URLSessionDataTaskPtr task;
    {
        std::lock_guard lock(taskMutex_);
        task = dataTask_;
    }
    if (task) task->cancel();
    finishWithResult(QRVMessagingTopicOperationResultCancelled, nullptr);
}

void QRVMessagingTopicOperation::finishWithResult(QRVMessagingTopicOperationResult result,
                                                  const ns::ErrorRef& error) {
    if (finished_.exchange(true)) return;
    {
        std::lock_guard lock(taskMutex_);
        dataTask_.reset();
    }
    if (completion_) completion_(result, error);
    completion_ = nullptr;
    finish();
}

ns::URLRequest QRVMessagingTopicOperation::subscriptionRequest() const {
    const std::string deviceID = checkinService_ ? checkinService_->deviceAuthID().value_or("") : "";
    const std::string secret = checkinService_ ? checkinService_->secretToken().value_or("") : "";
    const std::string versionInfo = checkinService_ ? checkinService_->versionInfo().value_or("") : "";
    ns::URLRequest request(QRVMessagingSubscriptionsServer());
    request.setHTTPMethod("POST");
    request.setValue(ns::format("VdxLogin %@:%@", deviceID, secret), "Authorization");
    request.setValue(QRVMessagingAppIdentifier(), "app");
    request.setValue(versionInfo, "info");
    std::string body = "sender=" + formValue(token_) + "&app=" + formValue(QRVMessagingAppIdentifier()) +
                       "&device=" + formValue(deviceID) + "&app_ver=" + formValue(QRVMessagingCurrentAppVersion()) +
                       "&X-kdx.topic=" + formValue(topic_) + "&X-scope=" + formValue(topic_);
    if (action_ == QRVMessagingTopicActionUnsubscribe) body += "&delete=true";
    request.setHTTPBody(body);
    return request;
}

void QRVMessagingTopicOperation::performSubscriptionChange() {
    ns::URLRequest request = subscriptionRequest();
    const ns::Data& body = request.HTTPBody();
    QRVMessagingLoggerInfo(17000, "Topic subscription request: %@", std::string(body.begin(), body.end()));

    std::weak_ptr<QRVMessagingTopicOperation> weakSelf =
        std::static_pointer_cast<QRVMessagingTopicOperation>(shared_from_this());
    auto task = sharedSession()->dataTask(std::move(request),
                                          [weakSelf](ns::HTTPURLResponsePtr, ns::Data data, ns::ErrorRef error) {
                                              if (auto self = weakSelf.lock()) self->handleResponse(data, error);
                                          });
    task->setTaskDescription(ns::format(action_ == QRVMessagingTopicActionUnsubscribe
                                            ? "com.ondrix.qdx.topics.unsubscribe: %@"
                                            : "com.ondrix.qdx.topics.subscribe: %@",
                                        topic_));
    {
        std::lock_guard lock(taskMutex_);
        dataTask_ = task;
    }
    task->resume();
    // A cancel that came between making the task and keeping it.
    if (isCancelled()) task->cancel();
}

void QRVMessagingTopicOperation::handleResponse(const ns::Data& body, const ns::ErrorRef& error) {
    if (error) {
        // The cancel already finished the operation.
        if (error->domain() == ns::kURLErrorDomain && error->code() == ns::kURLErrorCancelled) return;
        QRVMessagingLoggerDebug(17001, "Device registration HTTP fetch error. Error Code: %ld", error->code());
        finishWithResult(QRVMessagingTopicOperationResultError, error);
        return;
    }
    const std::string text(body.begin(), body.end());
    if (text.empty()) {
        finishWithResult(QRVMessagingTopicOperationResultError, errorWithQDXErrorCode(0));
        return;
    }
    const size_t equals = text.find('=');
    if (equals != std::string::npos && text.substr(0, equals) == "token") {
        finishWithResult(QRVMessagingTopicOperationResultSucceeded, nullptr);
        return;
    }
    QRVMessagingLoggerDebug(17002, "Invalid registration request, response");
    finishWithResult(QRVMessagingTopicOperationResultError, errorWithQDXErrorCode(0));
}

// Never destroyed: a topic request may still be in flight on it while
// static destructors run at exit.
ns::URLSessionPtr QRVMessagingTopicOperation::sharedSession() {
    static const auto* session = [] {
        auto configuration = ns::URLSessionConfiguration::defaultSessionConfiguration();
        configuration.timeoutIntervalForResource = 60;
        return new ns::URLSessionPtr(ns::URLSession::make(configuration));
    }();
    return *session;
}

// MARK: - Pub-sub registrar

QRVMessagingPubSubRegistrar::QRVMessagingPubSubRegistrar(std::shared_ptr<QRVMessagingCheckinService> checkinService)
    : checkinService_(std::move(checkinService)), topicOperations_(ns::OperationQueue::make("com.ondrix.qdx.topics")) {
    topicOperations_->setMaxConcurrentOperationCount(kQRVMessagingMaxTopicOperations);
}

QRVMessagingPubSubRegistrar::~QRVMessagingPubSubRegistrar() { stopAllSubscriptionRequests(); }

void QRVMessagingPubSubRegistrar::updateSubscriptionToTopic(const std::string& topic, const std::string& token,
                                                            const ns::Dictionary& options, bool shouldDelete,
                                                            QRVMessagingTopicOperationCompletion handler) {
    topicOperations_->addOperation(QRVMessagingTopicOperation::initWithTopic(
        topic, shouldDelete ? QRVMessagingTopicActionUnsubscribe : QRVMessagingTopicActionSubscribe, token, options,
        checkinService_, std::move(handler)));
}

void QRVMessagingPubSubRegistrar::stopAllSubscriptionRequests() { topicOperations_->cancelAllOperations(); }

// MARK: - Registrar

QRVMessagingRegistrar::QRVMessagingRegistrar()
    : checkinService_(std::make_shared<QRVMessagingCheckinService>()),
      pubsubRegistrar_(std::make_shared<QRVMessagingPubSubRegistrar>(checkinService_)) {}

bool QRVMessagingRegistrar::tryToLoadValidCheckinInfo() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    std::lock_guard lock(checkinMutex_);
    if (!checkinService_->hasValidCheckinInfo()) checkinService_->tryToLoadPrefetchedCheckinPreferences();
    return checkinService_->hasValidCheckinInfo();
}

bool QRVMessagingRegistrar::hasValidCheckinInfo() const {
    std::lock_guard lock(checkinMutex_);
    return checkinService_->hasValidCheckinInfo();
}

std::string QRVMessagingRegistrar::deviceAuthID() const {
    std::lock_guard lock(checkinMutex_);
    return checkinService_->deviceAuthID().value_or("");
}

std::string QRVMessagingRegistrar::secretToken() const {
    std::lock_guard lock(checkinMutex_);
    return checkinService_->secretToken().value_or("");
}

void QRVMessagingRegistrar::updateSubscriptionToTopic(const std::string& topic, const std::string& token,
                                                      const ns::Dictionary& options, bool shouldDelete,
                                                      QRVMessagingTopicOperationCompletion handler) {
    if (!tryToLoadValidCheckinInfo()) {
        QRVMessagingLoggerDebug(11000, "Device check in error, no auth credentials found");
        handler(QRVMessagingTopicOperationResultError, errorWithQDXErrorCode(501));
        return;
    }
    pubsubRegistrar_->updateSubscriptionToTopic(topic, token, options, shouldDelete, std::move(handler));
}

void QRVMessagingRegistrar::cancelAllRequests() {
    stopAllSubscriptions_ = true;
    pubsubRegistrar_->stopAllSubscriptionRequests();
}
