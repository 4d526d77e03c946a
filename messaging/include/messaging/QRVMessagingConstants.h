#pragma once
// The channel's frame tags and the accessors every layer uses on a message
// whatever its kind: the tag of a message, the message kind of a tag, and the
// reliable-message id and last-stream-id fields, which several kinds carry
// under the same names.
//
// Tags are signed 8-bit; 5 and 6 and every value outside the table have no
// message kind. Plain functions without state; any thread may call them.

#include <cstdint>
#include <string>

namespace google::protobuf {
class Message;
}

enum QRVMessagingProtoTag : int8_t {
    kQRVMessagingProtoTagInvalid = -1,
    kQRVMessagingProtoTagHeartbeatPing = 0,
    kQRVMessagingProtoTagHeartbeatAck = 1,
    kQRVMessagingProtoTagLoginRequest = 2,
    kQRVMessagingProtoTagLoginResponse = 3,
    kQRVMessagingProtoTagClose = 4,
    kQRVMessagingProtoTagIqStanza = 7,
    kQRVMessagingProtoTagDataMessageStanza = 8,
};

// The table's tag of the message's kind, -1 for any other kind.
int8_t QRVMessagingGetTagForProto(const google::protobuf::Message& message);
// The message kind of a tag, as its default instance (New() makes one);
// nullptr, the null class, for a tag without a kind.
const google::protobuf::Message* QRVMessagingGetClassForTag(int8_t tag);

// persistent_id of an IQ or data message stanza when set; "" otherwise.
std::string QRVMessagingGetRmq2Id(const google::protobuf::Message& message);
// Sets persistent_id on an IQ or data message stanza; nothing on other kinds.
void QRVMessagingSetRmq2Id(google::protobuf::Message& message, const std::string& rmqId);
// last_stream_id_received of an IQ stanza, data message, heartbeat ping or
// ack when set; -1 when unset or for any other kind.
int32_t QRVMessagingGetLastStreamId(const google::protobuf::Message& message);
// Sets last_stream_id_received on those four kinds; nothing on others.
void QRVMessagingSetLastStreamId(google::protobuf::Message& message, int32_t lastStreamId);
