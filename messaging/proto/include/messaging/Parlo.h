#pragma once
// The channel's message classes under the names the messaging code uses:
// every message and nested enumeration of the "mobileparlo" definitions gets
// the prefix "Parlo" (LoginRequest -> ParloLoginRequest, LoginRequest's
// AuthService -> ParloLoginRequest_AuthService). The classes themselves are
// libprotobuf's generated ones; these are only aliases.

#include <google/protobuf/stubs/common.h>

#include "messaging/parlo_core.pb.h"
#include "messaging/parlo_extensions.pb.h"

// The lowest runtime these definitions were written for is 3.0.2; the
// generated code additionally refuses, at compile time, headers of another
// release than the protoc that made it.
static_assert(GOOGLE_PROTOBUF_VERSION >= 3000002, "libprotobuf 3.0.2 or later is needed");

// Aborts when the linked libprotobuf is older than the headers the messages
// were compiled against (a mismatched shared library). Cheap after the first
// call; the channel calls it when it makes its first socket.
inline void ParloVerifyRuntimeVersion() {
    static const bool verified = [] {
        GOOGLE_PROTOBUF_VERIFY_VERSION;
        return true;
    }();
    (void)verified;
}

#define PARLO_ALIAS(name) using Parlo##name = mobileparlo::name
// Core definitions.
PARLO_ALIAS(HeartbeatPing);
PARLO_ALIAS(HeartbeatAck);
PARLO_ALIAS(ErrorInfo);
PARLO_ALIAS(Setting);
PARLO_ALIAS(HeartbeatStat);
PARLO_ALIAS(HeartbeatConfig);
PARLO_ALIAS(LoginRequest);
PARLO_ALIAS(LoginRequest_AuthService);
PARLO_ALIAS(LoginResponse);
PARLO_ALIAS(BindAccountRequest);
PARLO_ALIAS(BindAccountResponse);
PARLO_ALIAS(StreamErrorStanza);
PARLO_ALIAS(Close);
PARLO_ALIAS(Extension);
PARLO_ALIAS(MessageStanza);
PARLO_ALIAS(MessageStanza_MessageType);
PARLO_ALIAS(PresenceStanza);
PARLO_ALIAS(PresenceStanza_PresenceType);
PARLO_ALIAS(PresenceStanza_ShowType);
PARLO_ALIAS(PresenceStanza_ClientType);
PARLO_ALIAS(BatchPresenceStanza);
PARLO_ALIAS(BatchPresenceStanza_Type);
PARLO_ALIAS(IqStanza);
PARLO_ALIAS(IqStanza_IqType);
PARLO_ALIAS(AppData);
PARLO_ALIAS(DataMessageStanza);
PARLO_ALIAS(TalkMetadata);
PARLO_ALIAS(CellTower);
PARLO_ALIAS(ClientEvent);
PARLO_ALIAS(ClientEvent_Type);
// Extension definitions.
PARLO_ALIAS(RosterQuery);
PARLO_ALIAS(RosterItem);
PARLO_ALIAS(RosterItem_SubscriptionType);
PARLO_ALIAS(RosterItem_AskType);
PARLO_ALIAS(RosterItem_DisplayType);
PARLO_ALIAS(RmqLastId);
PARLO_ALIAS(RmqAck);
PARLO_ALIAS(VCard);
PARLO_ALIAS(Photo);
PARLO_ALIAS(ChatRead);
PARLO_ALIAS(ChatClosed);
PARLO_ALIAS(Capabilities);
PARLO_ALIAS(SharedStatus);
PARLO_ALIAS(SharedStatus_ShowType);
PARLO_ALIAS(SharedStatus_StatusList);
PARLO_ALIAS(OtrQuery);
PARLO_ALIAS(OtrItem);
PARLO_ALIAS(Idle);
PARLO_ALIAS(PostAuthBatchQuery);
PARLO_ALIAS(StreamAck);
PARLO_ALIAS(SelectiveAck);
#undef PARLO_ALIAS

// The two definition files, as the descriptors libprotobuf keeps for them.
struct ParloParloCoreRoot {
    static const google::protobuf::FileDescriptor* descriptor() { return ParloHeartbeatPing::descriptor()->file(); }
};
struct ParloParloExtensionsRoot {
    static const google::protobuf::FileDescriptor* descriptor() { return ParloSelectiveAck::descriptor()->file(); }
};
