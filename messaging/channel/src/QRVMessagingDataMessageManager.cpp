#include "messaging/QRVMessagingDataMessageManager.h"

#include <algorithm>
#include <cctype>

#include "messaging/Parlo.h"
#include "messaging/QRVMessagingConnection.h"
#include "messaging/QRVMessagingConstants.h"
#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

using Keys = QRVMessagingDataMessageKeys;

namespace {

// The length an NSString would report: UTF-16 code units.
int utf16Length(const std::string& text) {
    int units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) == 0x80) continue;  // continuation byte
        units += c >= 0xF0 ? 2 : 1;        // four-byte sequences are surrogate pairs
    }
    return units;
}

// -[NSString boolValue]: "Y", "y", "T", "t" or a digit 1-9 after optional
// blanks, sign and zeros.
bool textBoolValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    return i < text.size() && std::string_view("YyTt123456789").find(text[i]) != std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string lowercased(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string stringEntry(const ns::Dictionary& dictionary, std::string_view key) {
    auto entry = dictionary.find(key);
    if (entry == dictionary.end()) return {};
    if (const std::string* text = entry->second.stringOrNull()) return *text;
    return {};
}

}  // namespace

// MARK: - Making

std::shared_ptr<QRVMessagingDataMessageManager> QRVMessagingDataMessageManager::initWithDelegate(
    std::weak_ptr<QRVMessagingDataMessageManagerDelegate> delegate,
    std::shared_ptr<QRVMessagingDataMessageChannel> channel, std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
    std::weak_ptr<QRVMessagingSyncMessageManager> syncMessageManager) {
    return std::make_shared<QRVMessagingDataMessageManager>(std::move(delegate), std::move(channel),
                                                            std::move(rmq2Manager), std::move(syncMessageManager));
}

QRVMessagingDataMessageManager::QRVMessagingDataMessageManager(
    std::weak_ptr<QRVMessagingDataMessageManagerDelegate> delegate,
    std::shared_ptr<QRVMessagingDataMessageChannel> channel, std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
    std::weak_ptr<QRVMessagingSyncMessageManager> syncMessageManager)
    : delegate_(std::move(delegate)),
      channel_(std::move(channel)),
      rmq2Manager_(std::move(rmq2Manager)),
      syncMessageManager_(std::move(syncMessageManager)) {}

void QRVMessagingDataMessageManager::refreshDelayedMessages() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    std::weak_ptr<QRVMessagingDataMessageManager> weakSelf = weak_from_this();
    delayedMessagesQueue_ = QRVMessagingDelayedMessageQueue::initWithRmqScanner(
        rmq2Manager_, [weakSelf](const QRVMessagingDelayedMessageQueue::Messages& messages) {
            if (auto self = weakSelf.lock()) self->sendDelayedMessages(messages);
        });
}

// MARK: - Upstream

void QRVMessagingDataMessageManager::sendDataMessageStanza(ns::Dictionary dataMessage) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto stanza = std::make_shared<Stanza>();

    int64_t ttl = 0;
    if (auto entry = dataMessage.find(Keys::kTTL); entry != dataMessage.end()) ttl = QRVMessagingIntegerValue(entry->second);
    if (ttl < 0 || ttl > ttl_) ttl = ttl_;
    stanza->set_ttl(int32_t(ttl));
    stanza->set_sent(QRVMessagingCurrentTimestampInSeconds());

    int64_t delay = 0;
    if (auto entry = dataMessage.find(Keys::kDelay); entry != dataMessage.end()) {
        delay = QRVMessagingIntegerValue(entry->second);
        dataMessage.erase(entry);
        delay = delay >= 1 ? std::min<int64_t>(delay, kQRVMessagingMaxDelay) : 0;
    }
    if (delay >= 1) stanza->set_max_delay(int32_t(delay));

    const std::string messageID = stringEntry(dataMessage, Keys::kMessageID);
    if (dataMessage.contains(Keys::kMessageID)) stanza->set_id(messageID);

    ns::Dictionary data;
    if (auto entry = dataMessage.find(Keys::kAppData); entry != dataMessage.end() && entry->second.isDictionary()) {
        data = entry->second.asDictionary();
    }
    const std::string collapseKey = stringEntry(data, Keys::kCollapseKey);
    if (!collapseKey.empty()) {
        QRVMessagingLoggerDebug(7003, "QRVMessaging using %@ as collapse key", collapseKey);
        stanza->set_token(collapseKey);
    }

    if (secretToken_.empty()) {
        QRVMessagingLoggerDebug(7004, "Trying to send data message without a secret token. Authentication failed.");
        failToSendMessageWithID(messageID, kQRVMessagingErrorCodeMissingDeviceID);
        return;
    }
    const std::string to = stringEntry(dataMessage, Keys::kTo);
    if (to.empty()) {
        failToSendMessageWithID(messageID, kQRVMessagingErrorCodeMissingTo);
        return;
    }
    stanza->set_to(to);
    stanza->set_category(QRVMessagingAppIdentifier());
    stanza->set_from("");

    if (addData(data, *stanza) > maxAppDataSize_) {
        failToSendMessageWithID(messageID, kQRVMessagingErrorCodeSizeExceeded);
        return;
    }

    const bool persistent = !messageID.empty() && stanza->ttl() != 0;
    if (persistent) {
        auto manager = rmq2Manager_.lock();
        ns::ErrorRef error;
        if (!manager || !manager->saveRmqMessage(*stanza, &error)) {
            QRVMessagingLoggerDebug(7005, "Failed to save message %@ error: %@", messageID, error);
            failToSendMessageWithID(messageID, kQRVMessagingErrorCodeSave);
            return;
        }
        QRVMessagingLoggerDebug(7010, "send message success: %@", messageID);
        if (auto delegate = delegate_.lock()) delegate->willSendDataMessageWithID(messageID, nullptr);
    }

    if (delay >= 1 && delayedMessagesQueue_ && delayedMessagesQueue_->queueMessage(stanza)) {
        QRVMessagingLoggerDebug(7006, "Delaying Message %@", messageID);
        return;
    }
    if (delayedMessagesQueue_) sendDelayedMessages(delayedMessagesQueue_->removeDelayedMessages());
    if (!tryToSendDataMessageStanza(stanza)) {
        if (persistent) {
            QRVMessagingLoggerDebug(7007, "%@", ns::format("Queued message: %@", messageID));
        } else {
            failToSendMessageWithID(messageID, kQRVMessagingErrorCodeNetwork);
        }
    }
}

int QRVMessagingDataMessageManager::addData(const ns::Dictionary& data, Stanza& stanza) {
    int size = 0;
    for (const auto& [key, value] : data) {
        if (value.isString() || value.isNumber() || value.isBool()) {
            const std::string text = value.isBool() ? (value.asBool() ? "1" : "0") : value.description();
            auto* appData = stanza.add_app_data();
            appData->set_key(key);
            appData->set_value(text);
            size += utf16Length(key) + utf16Length(text);
        } else if (key == Keys::kRawData && value.isData()) {
            const ns::Data& raw = value.asData();
            stanza.set_raw_data(std::string(raw.begin(), raw.end()));
            size += int(raw.size());
        } else {
            QRVMessagingLoggerError(7009, "Ignoring key: %@", key);
        }
    }
    return size;
}

bool QRVMessagingDataMessageManager::tryToSendDataMessageStanza(const std::shared_ptr<Stanza>& stanza) {
    if (channel_->isConnectionActive()) {
        channel_->sendMessage(stanza);
        return true;
    }
    if (channel_->isNetworkAvailable()) {
        // Without a time to live the message cannot wait in the store: it
        // goes out right after the next login, or not at all.
        if (stanza->ttl() == 0) channel_->sendOnConnectOrDrop(stanza);
        channel_->retryConnectionImmediately(true);
        return true;
    }
    return false;
}

void QRVMessagingDataMessageManager::failToSendMessageWithID(const std::string& messageID, long code) {
    QRVMessagingLoggerDebug(7011, "Send message fail: %@ error: %lu", messageID, static_cast<unsigned long>(code));
    if (auto delegate = delegate_.lock()) delegate->willSendDataMessageWithID(messageID, errorWithQDXErrorCode(code));
}

void QRVMessagingDataMessageManager::sendDelayedMessages(const QRVMessagingDelayedMessageQueue::Messages& messages) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    for (const auto& message : messages) {
        QRVMessagingLoggerDebug(7008, "%@ Sending delayed message %@", "DMM", message->id());
        message->set_actual_delay(int32_t(QRVMessagingCurrentTimestampInSeconds() - message->sent()));
        tryToSendDataMessageStanza(message);
    }
}

void QRVMessagingDataMessageManager::didSendDataMessageStanza(const Stanza& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto delegate = delegate_.lock()) delegate->didSendDataMessageWithID(message.id());
}

void QRVMessagingDataMessageManager::resendMessagesWithConnection(QRVMessagingConnection& connection) {
    resendMessagesWithSender(
        [&connection](const std::shared_ptr<google::protobuf::Message>& message) { connection.sendProto(message); });
}

void QRVMessagingDataMessageManager::resendMessagesWithSender(
    const std::function<void(const std::shared_ptr<google::protobuf::Message>&)>& sendProto) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto manager = rmq2Manager_.lock();
    if (!manager) return;
    std::vector<std::shared_ptr<google::protobuf::Message>> resend;
    std::vector<std::string> expired;
    std::string resent;
    const int64_t now = QRVMessagingCurrentTimestampInSeconds();
    manager->scanWithRmqMessageHandler(
        [&](int64_t, int8_t tag, const ns::Data& data) {
            const google::protobuf::Message* kind = QRVMessagingGetClassForTag(tag);
            if (!kind) return;
            std::shared_ptr<google::protobuf::Message> message(kind->New());
            if (!message->ParseFromArray(data.data(), int(data.size()))) return;
            if (auto* stanza = dynamic_cast<Stanza*>(message.get())) {
                const bool timedOut = stanza->ttl() != 0 && stanza->sent() + stanza->ttl() < now;
                if (stanza->ttl() == 0 || timedOut) {
                    expired.push_back(stanza->persistent_id());
                    if (timedOut) failToSendMessageWithID(stanza->id(), kQRVMessagingErrorCodeServiceNotAvailable);
                    return;
                }
                resent += ns::format("%@,", stanza->id());
            }
            resend.push_back(std::move(message));
        },
        {});
    for (const auto& message : resend) sendProto(message);
    if (!resent.empty()) QRVMessagingLoggerDebug(7012, "Resent: %@", resent);
    manager->removeRmqMessagesWithRmqIds(expired);
}

// MARK: - Downstream

std::optional<ns::Dictionary> QRVMessagingDataMessageManager::processPacket(const Stanza& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (message.category() == Keys::kControlCategory || message.category() == Keys::kParloServiceCategory ||
        message.from() == Keys::kServiceDomain) {
        QRVMessagingLoggerDebug(7000, "Received message for QRVMessaging from downstream %@", message.DebugString());
        return std::nullopt;
    }
    if (message.from() == Keys::kInstanceIDSender) {
        ns::Dictionary command;
        for (const auto& entry : message.app_data()) {
            if (!entry.key().empty() && !entry.value().empty()) command[entry.key()] = ns::Value(entry.value());
        }
        ns::NotificationCenter::defaultCenter().post(Keys::kIIDMessageNotification, nullptr, command);
        return std::nullopt;
    }

    ns::Dictionary parsed;
    ns::Dictionary notification;
    for (const auto& entry : message.app_data()) {
        const std::string& key = entry.key();
        if (startsWith(key, Keys::kNotificationPrefix)) {
            const std::string field = key.substr(std::string_view(Keys::kNotificationPrefix).size());
            if (field.empty()) {
                QRVMessagingLoggerError(7001, "Invalid key in MCS message: %@", key);
            } else {
                notification[field] = ns::Value(entry.value());
            }
        } else if (key == Keys::kDuplex) {
            // Only a message that says so is a sync message: adding the key
            // to every message would run every copy through the duplicate
            // check and drop legitimate repeats.
            parsed[key] = ns::Value(textBoolValue(entry.value()));
        } else if (key != Keys::kFrom && !startsWith(lowercased(key), "ondrix.")) {
            parsed[key] = ns::Value(entry.value());
        }
    }
    if (!notification.empty()) parsed[Keys::kNotification] = ns::Value(std::move(notification));
    if (!message.from().empty()) parsed[Keys::kFrom] = ns::Value(message.from());
    if (!message.raw_data().empty()) {
        parsed[Keys::kRawData] = ns::Value(ns::Data(message.raw_data().begin(), message.raw_data().end()));
    }
    if (!message.token().empty()) parsed[Keys::kCollapseKey] = ns::Value(message.token());
    if (!message.persistent_id().empty()) parsed[Keys::kPersistentID] = ns::Value(message.persistent_id());
    return parsed;
}

void QRVMessagingDataMessageManager::didReceiveParsedMessage(const ns::Dictionary& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const std::string type = stringEntry(message, Keys::kMessageType);
    if (type == Keys::kMessageTypeDeleted) {
        if (auto delegate = delegate_.lock()) delegate->didDeleteMessagesOnServer();
        return;
    }
    if (!type.empty()) QRVMessagingLoggerError(7002, "Invalid message type received: %@", type);
    if (message.contains(Keys::kDuplex)) {
        auto sync = syncMessageManager_.lock();
        if (sync && sync->didReceiveMCSSyncMessage(message)) return;
    }
    ns::Dictionary delivered;
    for (const auto& [key, value] : message) {
        if (!startsWith(key, Keys::kReservedPrefix)) delivered.emplace(key, value);
    }
    if (auto delegate = delegate_.lock()) delegate->didReceiveMessage(delivered, stringEntry(message, Keys::kPersistentID));
}
