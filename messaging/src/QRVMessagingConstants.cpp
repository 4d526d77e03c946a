#include "messaging/QRVMessagingConstants.h"

#include "messaging/Parlo.h"

namespace {

using google::protobuf::Message;

// The generated classes are final, so a cast answers "is exactly this
// kind" without the descriptor look-up, which runs on every message.
template <class T>
const T* as(const Message& message) {
    return dynamic_cast<const T*>(&message);
}
template <class T>
T* as(Message& message) {
    return dynamic_cast<T*>(&message);
}

// Applies `f` to the message as the first of the listed kinds it is;
// answers `otherwise` when it is none of them.
template <class... Kinds, class M, class F, class R>
R withKind(M& message, F&& f, R otherwise) {
    R result = otherwise;
    bool done = false;
    (
        [&] {
            if (done) return;
            if (auto* typed = as<Kinds>(message)) {
                result = f(*typed);
                done = true;
            }
        }(),
        ...);
    return result;
}

}  // namespace

int8_t QRVMessagingGetTagForProto(const Message& message) {
    if (as<ParloHeartbeatPing>(message)) return kQRVMessagingProtoTagHeartbeatPing;
    if (as<ParloHeartbeatAck>(message)) return kQRVMessagingProtoTagHeartbeatAck;
    if (as<ParloLoginRequest>(message)) return kQRVMessagingProtoTagLoginRequest;
    if (as<ParloLoginResponse>(message)) return kQRVMessagingProtoTagLoginResponse;
    if (as<ParloClose>(message)) return kQRVMessagingProtoTagClose;
    if (as<ParloIqStanza>(message)) return kQRVMessagingProtoTagIqStanza;
    if (as<ParloDataMessageStanza>(message)) return kQRVMessagingProtoTagDataMessageStanza;
    return kQRVMessagingProtoTagInvalid;
}

const Message* QRVMessagingGetClassForTag(int8_t tag) {
    switch (tag) {
        case kQRVMessagingProtoTagHeartbeatPing: return &ParloHeartbeatPing::default_instance();
        case kQRVMessagingProtoTagHeartbeatAck: return &ParloHeartbeatAck::default_instance();
        case kQRVMessagingProtoTagLoginRequest: return &ParloLoginRequest::default_instance();
        case kQRVMessagingProtoTagLoginResponse: return &ParloLoginResponse::default_instance();
        case kQRVMessagingProtoTagClose: return &ParloClose::default_instance();
        case kQRVMessagingProtoTagIqStanza: return &ParloIqStanza::default_instance();
        case kQRVMessagingProtoTagDataMessageStanza: return &ParloDataMessageStanza::default_instance();
        default: return nullptr;
    }
}

std::string QRVMessagingGetRmq2Id(const Message& message) {
    return withKind<ParloIqStanza, ParloDataMessageStanza>(
        message, [](const auto& m) { return m.has_persistent_id() ? m.persistent_id() : std::string(); },
        std::string());
}

void QRVMessagingSetRmq2Id(Message& message, const std::string& rmqId) {
    withKind<ParloIqStanza, ParloDataMessageStanza>(
        message,
        [&](auto& m) {
            m.set_persistent_id(rmqId);
            return true;
        },
        false);
}

int32_t QRVMessagingGetLastStreamId(const Message& message) {
    return withKind<ParloIqStanza, ParloDataMessageStanza, ParloHeartbeatPing, ParloHeartbeatAck>(
        message, [](const auto& m) { return m.has_last_stream_id_received() ? m.last_stream_id_received() : -1; },
        -1);
}

void QRVMessagingSetLastStreamId(Message& message, int32_t lastStreamId) {
    withKind<ParloIqStanza, ParloDataMessageStanza, ParloHeartbeatPing, ParloHeartbeatAck>(
        message,
        [&](auto& m) {
            m.set_last_stream_id_received(lastStreamId);
            return true;
        },
        false);
}
