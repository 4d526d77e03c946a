#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingConnection.h"

#include <charconv>

#include "messaging/QRVMessagingConstants.h"
#include "messaging/QRVMessagingDataMessageManager.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/format.h"
#include "platform/reachability.h"
#include "platform/runloop.h"


namespace {

std::string joined(const std::vector<std::string>& ids) {
    std::string text = "(";
    for (size_t i = 0; i < ids.size(); ++i) text += (i ? ", " : "") + ids[i];
    return text + ")";
}

int8_t reachabilityNetworkType(const std::string& host) {
    auto reachability = ns::Reachability::make(host);
    ns::Reachability::Flags flags = 0;
    if (!reachability || !reachability->getFlags(flags) || !(flags & ns::Reachability::kReachable)) return -1;
    return (flags & ns::Reachability::kIsWWAN) ? 0 : 1;
}

}  // namespace

std::shared_ptr<QRVMessagingConnection> QRVMessagingConnection::initWithAuthID(
    const std::string& authId, const std::string& token, const std::string& host, uint32_t port,
    std::shared_ptr<ns::RunLoop> runLoop, std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
    std::weak_ptr<QRVMessagingDataMessageManager> dataMessageManager) {
    return std::make_shared<QRVMessagingConnection>(authId, token, host, port, std::move(runLoop),
                                                    std::move(rmq2Manager), std::move(dataMessageManager));
}

QRVMessagingConnection::QRVMessagingConnection(const std::string& authId, const std::string& token,
                                               const std::string& host, uint32_t port,
                                               std::shared_ptr<ns::RunLoop> runLoop,
                                               std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
                                               std::weak_ptr<QRVMessagingDataMessageManager> dataMessageManager)
    : host_(host),
      port_(port),
      authId_(authId),
      token_(token),
      rmq2Manager_(std::move(rmq2Manager)),
      dataMessageManager_(std::move(dataMessageManager)),
      runLoop_(runLoop ? std::move(runLoop) : ns::RunLoop::mainShared()) {
    if (auto store = rmq2Manager_.lock()) unackedS2dIds_ = store->unackedS2dRmqIds();
}

QRVMessagingConnection::~QRVMessagingConnection() {
    runLoop_->cancelPerforms(&heartbeatKey_);
    runLoop_->cancelPerforms(&timeoutKey_);
    if (socket_) socket_->setDelegate({});
}

std::string QRVMessagingConnection::description() const {
    return ns::format("host: %@, port: %lu, stream id in: %d, stream id out: %d", host_,
                      static_cast<unsigned long>(port_), inStreamId_, outStreamId_);
}

void QRVMessagingConnection::signIn() {
    if (state_ != kQRVMessagingConnectionStateDisconnected) return;
    QRVMessagingLoggerDebug(5000, "Start connecting to QRVMessaging service.");
    state_ = kQRVMessagingConnectionStateConnecting;
    socket_ = QRVMessagingSecureSocket::make();
    socket_->setDelegate(weakSelf());
    socket_->connectToHost(host_, port_, runLoop_);
}

void QRVMessagingConnection::signOut() {
    sendOnConnectMessages_.clear();
    if (state_ == kQRVMessagingConnectionStateSignedIn) sendProto(std::make_shared<ParloClose>());
    if (state_ != kQRVMessagingConnectionStateDisconnected) disconnect();
}

void QRVMessagingConnection::teardown() {
    if (state_ != kQRVMessagingConnectionStateDisconnected) disconnect();
}

void QRVMessagingConnection::sendOnConnectOrDrop(const std::shared_ptr<Message>& message) {
    if (state_ == kQRVMessagingConnectionStateSignedIn) {
        sendProto(message);
    } else {
        sendOnConnectMessages_.push_back(message);
    }
}

void QRVMessagingConnection::sendProto(const std::shared_ptr<Message>& message) {
    if (!message) return;
    const int8_t tag = QRVMessagingGetTagForProto(*message);
    if (tag == kQRVMessagingProtoTagLoginRequest) {
        if (state_ != kQRVMessagingConnectionStateConnected) {
            QRVMessagingLoggerDebug(5006, "Cannot send generated message when the connection is not connected.");
            return;
        }
    } else if (state_ != kQRVMessagingConnectionStateSignedIn) {
        QRVMessagingLoggerDebug(5007, "Cannot send generated message when the connection is not signed in.");
        return;
    }
    if (!socket_) return;
    willSendProto(*message);
    const std::string bytes = message->SerializePartialAsString();
    socket_->sendData(ns::Data(bytes.begin(), bytes.end()), tag, QRVMessagingGetRmq2Id(*message));
}

void QRVMessagingConnection::willSendProto(Message& message) {
    ++outStreamId_;
    const std::string rmqId = QRVMessagingGetRmq2Id(message);
    if (!rmqId.empty()) d2sInfos_.push_back({outStreamId_, rmqId});
    QRVMessagingLoggerDebug(5017, "RMQ: Sending %@ with outgoing stream Id: %d.", message.GetTypeName(),
                            outStreamId_);
    if (inStreamId_ > lastStreamIdAcked_) {
        QRVMessagingSetLastStreamId(message, inStreamId_);
        lastStreamIdAcked_ = inStreamId_;
    }
    if (!unackedS2dIds_.empty()) {
        QRVMessagingLoggerDebug(5018, "RMQ: Mark persistent Ids as acked: %@.", joined(unackedS2dIds_));
        auto& reported = ackedS2dMap_[outStreamId_];
        reported.insert(reported.end(), unackedS2dIds_.begin(), unackedS2dIds_.end());
        unackedS2dIds_.clear();
    }
}

void QRVMessagingConnection::secureSocketDidSendProtoWithTagRmqId(QRVMessagingSecureSocket&, int8_t tag,
                                                                  const std::string& rmqId) {
    QRVMessagingLoggerDebug(5023, "Send msg: %@ type: %d inStreamId: %d outStreamId: %d", rmqId, -int(tag),
                            inStreamId_, outStreamId_);
}

void QRVMessagingConnection::secureSocketDidConnect(QRVMessagingSecureSocket&) {
    state_ = kQRVMessagingConnectionStateConnected;
    lastStreamIdAcked_ = 0;
    inStreamId_ = 0;
    outStreamId_ = 0;
    QRVMessagingLoggerDebug(5001, "Connected to QRVMessaging service.");
    // What was reported on the previous socket but never confirmed goes
    // again with this one's login.
    for (auto& [streamId, ids] : ackedS2dMap_) unackedS2dIds_.insert(unackedS2dIds_.end(), ids.begin(), ids.end());
    ackedS2dMap_.clear();
    sendProto(loginRequest());
}

std::shared_ptr<ParloLoginRequest> QRVMessagingConnection::loginRequest() {
    d2sInfos_.clear();
    auto request = std::make_shared<ParloLoginRequest>();
    request->set_account_id(1000000);
    request->set_auth_service(mobileparlo::LoginRequest::VERDOS_ID);
    request->set_auth_token(token_);
    request->set_id(ns::format("%@-%@", "ios", QRVMessagingCurrentLibraryVersion()));
    request->set_domain(kQRVMessagingLoginDomain);
    int64_t deviceId = 0;
    std::from_chars(authId_.data(), authId_.data() + authId_.size(), deviceId);
    request->set_device_id(ns::format("verdos-%llx", static_cast<unsigned long long>(deviceId)));
    request->set_network_type(networkTypeProvider_ ? networkTypeProvider_() : reachabilityNetworkType(host_));
    request->set_resource(authId_);
    request->set_user(authId_);
    request->set_use_rmq2(true);
    request->set_last_rmq_id(1);
    if (!unackedS2dIds_.empty()) {
        QRVMessagingLoggerDebug(5008, "There are unacked persistent Ids in the login request: %@",
                                joined(unackedS2dIds_));
    }
    for (const auto& id : unackedS2dIds_) request->add_received_persistent_id(id);
    auto* setting = request->add_setting();
    setting->set_name("new_vc");
    setting->set_value("1");
    return request;
}

void QRVMessagingConnection::secureSocketDidReceiveDataWithTag(QRVMessagingSecureSocket&,
                                                               std::span<const uint8_t> data, int8_t tag) {
    if (tag < 0) return;
    const Message* prototype = QRVMessagingGetClassForTag(tag);
    if (!prototype) {
        QRVMessagingLoggerError(5003, "Invalid tag %d for proto", int(tag));
        return;
    }
    // One message object per kind is parsed into again and again (its
    // strings keep their storage); one taken by an outer call is not
    // shared with a nested one.
    std::unique_ptr<Message> message = std::move(receivedMessages_[size_t(tag)]);
    if (message) {
        message->Clear();
    } else {
        message.reset(prototype->New());
    }
    // A message the server made must decode whole; one that does not is a
    // broken channel, which the socket's owner learns as a disconnect.
    if (!message->ParsePartialFromArray(data.data(), static_cast<int>(data.size()))) {
        QRVMessagingLoggerDebug(15015, "Buffer data corrupted.");
        if (socket_) socket_->disconnect();
        return;
    }
    auto keep = self();
    didReceiveProto(*message, tag);
    if (!receivedMessages_[size_t(tag)]) receivedMessages_[size_t(tag)] = std::move(message);
}

void QRVMessagingConnection::didReceiveProto(const Message& message, int8_t tag) {
    if (tag == kQRVMessagingProtoTagLoginResponse) {
        if (state_ != kQRVMessagingConnectionStateConnected) {
            QRVMessagingLoggerDebug(5004, "Should not receive generated message when the connection is not connected.");
            return;
        }
    } else if (state_ != kQRVMessagingConnectionStateSignedIn) {
        QRVMessagingLoggerDebug(5005, "Should not receive generated message when the connection is not signed in.");
        return;
    }
    cancelConnectionTimeout();
    scheduleHeartbeatPing();
    willProcessProto(message, tag);
    switch (tag) {
        case kQRVMessagingProtoTagHeartbeatPing:
            sendProto(std::make_shared<ParloHeartbeatAck>());
            break;
        case kQRVMessagingProtoTagHeartbeatAck:
            break;
        case kQRVMessagingProtoTagLoginResponse:
            didReceiveLoginResponse(static_cast<const ParloLoginResponse&>(message));
            break;
        case kQRVMessagingProtoTagClose:
            disconnect();
            if (auto delegate = delegate_.lock()) delegate->connectionDidReceiveClose(*this);
            break;
        case kQRVMessagingProtoTagIqStanza:
            handleIqStanza(static_cast<const ParloIqStanza&>(message));
            break;
        case kQRVMessagingProtoTagDataMessageStanza:
            if (auto delegate = delegate_.lock()) {
                delegate->connectionDidRecieveMessage(static_cast<const ParloDataMessageStanza&>(message));
            }
            break;
        default:
            QRVMessagingLoggerDebug(5013, "Received unhandled proto");
            break;
    }
}

void QRVMessagingConnection::willProcessProto(const Message& message, int8_t tag) {
    ++inStreamId_;
    const std::string rmqId = QRVMessagingGetRmq2Id(message);
    if (tag == kQRVMessagingProtoTagDataMessageStanza) {
        QRVMessagingLoggerDebug(5014, "RMQ: Receiving %@ with rmq_id: %@ incoming stream Id: %d",
                                message.GetTypeName(), rmqId, inStreamId_);
    } else {
        QRVMessagingLoggerDebug(5015, "RMQ: Receiving %@ with incoming stream Id: %d.", message.GetTypeName(),
                                inStreamId_);
    }
    const int32_t lastStreamId = QRVMessagingGetLastStreamId(message);
    if (lastStreamId != -1) {
        confirmAckedD2sIdsWithStreamId(lastStreamId);
        confirmAckedS2dIdsWithStreamId(lastStreamId);
    }
    if (!rmqId.empty()) {
        QRVMessagingLoggerDebug(5016, "RMQ: Add unacked persistent Id: %@.", rmqId);
        unackedS2dIds_.push_back(rmqId);
        if (auto store = rmq2Manager_.lock()) store->saveS2dMessageWithRmqId(rmqId);
    }
    const bool immediateAck = tag == kQRVMessagingProtoTagDataMessageStanza &&
                              static_cast<const ParloDataMessageStanza&>(message).immediate_ack();
    if (immediateAck || inStreamId_ - lastStreamIdAcked_ >= kQRVMessagingUnackedMessagesBeforeStreamAck) {
        sendStreamAck();
    }
}

void QRVMessagingConnection::confirmAckedD2sIdsWithStreamId(int32_t lastReceivedStreamId) {
    std::vector<std::string> confirmed;
    size_t taken = 0;
    while (taken < d2sInfos_.size() && d2sInfos_[taken].streamId <= lastReceivedStreamId) {
        if (!d2sInfos_[taken].d2sID.empty()) confirmed.push_back(d2sInfos_[taken].d2sID);
        ++taken;
    }
    d2sInfos_.erase(d2sInfos_.begin(), d2sInfos_.begin() + static_cast<long>(taken));
    auto delegate = delegate_.lock();
    const int32_t removed = delegate ? delegate->connectionDidReceiveAckForRmqIds(confirmed) : 0;
    if (removed >= kQRVMessagingConfirmedMessagesBeforeStreamAck) sendStreamAck();
}

void QRVMessagingConnection::confirmAckedS2dIdsWithStreamId(int32_t lastReceivedStreamId) {
    QRVMessagingLoggerDebug(5019, "RMQ: Server last received stream Id: %d.", lastReceivedStreamId);
    if (outStreamId_ > lastReceivedStreamId) {
        QRVMessagingLoggerDebug(5020,
                                "RMQ: There are unsent messages that should be send...\nserver received: %d\nlast "
                                "stream id sent: %d",
                                lastReceivedStreamId, outStreamId_);
    }
    std::vector<std::string> confirmed;
    for (auto it = ackedS2dMap_.begin(); it != ackedS2dMap_.end() && it->first <= lastReceivedStreamId;) {
        if (!it->second.empty()) {
            QRVMessagingLoggerDebug(5021, "RMQ: Mark persistent Ids as confirmed by stream id %@: %@.",
                                    std::to_string(it->first), joined(it->second));
            confirmed.insert(confirmed.end(), it->second.begin(), it->second.end());
        }
        it = ackedS2dMap_.erase(it);
    }
    if (confirmed.empty()) return;
    if (auto store = rmq2Manager_.lock()) store->removeS2dIds(confirmed);
}

void QRVMessagingConnection::sendStreamAck() {
    auto iq = std::make_shared<ParloIqStanza>();
    iq->set_type(mobileparlo::IqStanza::SET);
    iq->set_id("");
    auto* extension = iq->mutable_extension();
    extension->set_id(kQRVMessagingStreamAckExtensionId);
    extension->set_data("");
    sendProto(iq);
}

void QRVMessagingConnection::handleIqStanza(const ParloIqStanza& iq) {
    if (iq.has_extension()) {
        const int32_t id = iq.extension().id();
        if (id == kQRVMessagingStreamAckExtensionId) return;
        if (id == kQRVMessagingSelectiveAckExtensionId) {
            ParloSelectiveAck ack;
            ack.ParsePartialFromString(iq.extension().data());
            std::vector<std::string> ids(ack.id().begin(), ack.id().end());
            auto keep = self();
            if (auto delegate = delegate_.lock()) delegate->connectionDidReceiveAckForRmqIds(ids);
            if (auto manager = dataMessageManager_.lock()) manager->resendMessagesWithConnection(*this);
            return;
        }
        QRVMessagingLoggerDebug(5009, "Unknown ack extension id %d.", id);
    } else {
        QRVMessagingLoggerDebug(5010, "Ip stanza without extension.");
    }
    QRVMessagingLoggerDebug(5013, "Received unhandled proto");
}

void QRVMessagingConnection::didReceiveLoginResponse(const ParloLoginResponse& response) {
    if (response.has_error()) {
        QRVMessagingLoggerDebug(5011, "Login error with type: %@, message: %@.", response.error().type(),
                                response.error().message());
        return;
    }
    QRVMessagingLoggerDebug(5012, "Logged onto MCS service.");
    state_ = kQRVMessagingConnectionStateSignedIn;
    if (auto delegate = delegate_.lock()) delegate->didLoginWithConnection(*this);
    if (state_ != kQRVMessagingConnectionStateSignedIn) return;
    sendHeartbeatPing();
    auto waiting = std::move(sendOnConnectMessages_);
    sendOnConnectMessages_.clear();
    for (const auto& message : waiting) sendProto(message);
}

// The earliest pending ping is the one that fires (and cancels any later
// one), so while one is pending another changes nothing: keep just one
// rather than one per received message.
void QRVMessagingConnection::scheduleHeartbeatPing() {
    if (heartbeatScheduled_) return;
    heartbeatScheduled_ = true;
    std::weak_ptr<QRVMessagingConnection> weak = weakSelf();
    runLoop_->performAfter(kQRVMessagingHeartbeatDelay, &heartbeatKey_, [weak] {
        if (auto self = weak.lock()) self->sendHeartbeatPing();
    });
}

void QRVMessagingConnection::cancelConnectionTimeout() {
    if (!timeoutScheduled_) return;
    timeoutScheduled_ = false;
    runLoop_->cancelPerforms(&timeoutKey_);
}

void QRVMessagingConnection::sendHeartbeatPing() {
    runLoop_->cancelPerforms(&heartbeatKey_);
    heartbeatScheduled_ = false;
    runLoop_->cancelPerforms(&timeoutKey_);
    timeoutScheduled_ = true;
    std::weak_ptr<QRVMessagingConnection> weak = weakSelf();
    runLoop_->performAfter(kQRVMessagingConnectionTimeoutInterval, &timeoutKey_, [weak] {
        if (auto self = weak.lock()) self->connectionTimedOut();
    });
    sendProto(std::make_shared<ParloHeartbeatPing>());
}

void QRVMessagingConnection::connectionTimedOut() {
    QRVMessagingLoggerDebug(5022, "Connection to QRVMessaging service timed out.");
    auto keep = self();
    disconnect();
    if (auto delegate = delegate_.lock()) {
        delegate->connectionDidCloseForReason(*this, kQRVMessagingConnectionCloseReasonTimeout);
    }
}

void QRVMessagingConnection::didDisconnectWithSecureSocket(QRVMessagingSecureSocket&) {
    QRVMessagingLoggerDebug(5002, "Secure socket disconnected from QRVMessaging service.");
    auto keep = self();
    disconnect();
    if (auto delegate = delegate_.lock()) {
        delegate->connectionDidCloseForReason(*this, kQRVMessagingConnectionCloseReasonSocketDisconnected);
    }
}

void QRVMessagingConnection::disconnect() {
    timeoutScheduled_ = false;
    runLoop_->cancelPerforms(&timeoutKey_);
    runLoop_->cancelPerforms(&heartbeatKey_);
    heartbeatScheduled_ = false;
    // Detached first, so that the socket's own report does not come back.
    if (auto socket = std::move(socket_)) {
        socket->setDelegate({});
        socket->disconnect();
    }
    state_ = kQRVMessagingConnectionStateDisconnected;
}
