#pragma once
// Keys and values of the realtime database's wire protocol: the packet
// envelope of the framed connection, the requests the client sends, and the
// responses, pushes and control messages the server sends back.

#include <cstdint>

// The framed connection.
inline constexpr uint64_t kWebsocketMaxFrameSize = 16384;
inline constexpr uint64_t kWebsocketKeepaliveInterval = 45;
inline constexpr uint64_t kWebsocketConnectTimeout = 30;
inline constexpr const char* kWebsocketProtocolVersion = "5";

// Outgoing envelope: {"t": "d", "d": request}.
inline constexpr const char* kFWPRequestType = "t";
inline constexpr const char* kFWPRequestTypeData = "d";
inline constexpr const char* kFWPRequestDataPayload = "d";

// Incoming envelope: {"t": type, "d": payload}.
inline constexpr const char* kFWPAsyncServerEnvelopeType = "t";
inline constexpr const char* kFWPAsyncServerEnvelopeData = "d";
inline constexpr const char* kFWPAsyncServerDataMessage = "d";
inline constexpr const char* kFWPAsyncServerControlMessage = "c";
inline constexpr const char* kFWPAsyncServerControlMessageType = "t";
inline constexpr const char* kFWPAsyncServerControlMessageData = "d";
inline constexpr const char* kFWPAsyncServerHello = "h";
inline constexpr const char* kFWPAsyncServerHelloTimestamp = "ts";
inline constexpr const char* kFWPAsyncServerHelloConnectedHost = "h";
inline constexpr const char* kFWPAsyncServerHelloSession = "s";
inline constexpr const char* kFWPAsyncServerControlMessageReset = "r";
inline constexpr const char* kFWPAsyncServerControlMessageShutdown = "s";

// Requests: {"r": number, "a": action, "b": body}.
inline constexpr const char* kFWPRequestNumber = "r";
inline constexpr const char* kFWPRequestAction = "a";
inline constexpr const char* kFWPRequestPayloadBody = "b";

inline constexpr const char* kFWPRequestActionTaggedListen = "q";
inline constexpr const char* kFWPRequestActionTaggedUnlisten = "n";
inline constexpr const char* kFWPRequestActionPut = "p";
inline constexpr const char* kFWPRequestActionMerge = "m";
inline constexpr const char* kFWPRequestActionDisconnectPut = "o";
inline constexpr const char* kFWPRequestActionDisconnectMerge = "om";
inline constexpr const char* kFWPRequestActionDisconnectCancel = "oc";
inline constexpr const char* kFWPRequestActionAuth = "auth";
inline constexpr const char* kFWPRequestActionUnauth = "unauth";
inline constexpr const char* kFWPRequestActionStats = "s";

inline constexpr const char* kFWPRequestPath = "p";
inline constexpr const char* kFWPRequestHash = "h";
inline constexpr const char* kFWPRequestQueries = "q";
inline constexpr const char* kFWPRequestTag = "t";
inline constexpr const char* kFWPRequestCompoundHash = "ch";
inline constexpr const char* kFWPRequestCompoundHashPaths = "ps";
inline constexpr const char* kFWPRequestCompoundHashHashes = "hs";
inline constexpr const char* kFWPRequestData = "d";
inline constexpr const char* kFWPRequestCredential = "cred";
inline constexpr const char* kFWPRequestCounters = "c";

// Responses: {"r": number, "b": {"s": status, "d": data}}; {"error": text}.
inline constexpr const char* kFWPResponseForRNData = "b";
inline constexpr const char* kFWPResponseForActionStatus = "s";
inline constexpr const char* kFWPResponseForActionData = "d";
inline constexpr const char* kFWPResponseForActionStatusOk = "ok";
inline constexpr const char* kFWPResponseDataWarnings = "w";
inline constexpr const char* kFWPRequestError = "error";

// Pushes: {"a": action, "b": body}.
inline constexpr const char* kFWPAsyncServerAction = "a";
inline constexpr const char* kFWPAsyncServerPayloadBody = "b";
inline constexpr const char* kFWPAsyncServerDataUpdate = "d";
inline constexpr const char* kFWPAsyncServerDataMerge = "m";
inline constexpr const char* kFWPAsyncServerDataRangeMerge = "rm";
inline constexpr const char* kFWPAsyncServerAuthRevoked = "ac";
inline constexpr const char* kFWPASyncServerListenCancelled = "c";
inline constexpr const char* kFWPAsyncServerSecurityDebug = "sd";
inline constexpr const char* kFWPAsyncServerDataUpdateBodyPath = "p";
inline constexpr const char* kFWPAsyncServerDataUpdateBodyData = "d";
inline constexpr const char* kFWPAsyncServerDataUpdateBodyTag = "t";
inline constexpr const char* kFWPAsyncServerDataUpdateStartPath = "s";
inline constexpr const char* kFWPAsyncServerDataUpdateEndPath = "e";
inline constexpr const char* kFWPAsyncServerDataUpdateRangeMerge = "m";

// Statuses this client makes itself.
inline constexpr const char* kFErrorWriteCanceled = "write_canceled";
inline constexpr const char* kFTransactionDisconnect = "disconnect";

// Interrupt reasons of the wire-protocol client.
inline constexpr const char* kFInterruptReasonWaitingForOpen = "waiting_for_open";
inline constexpr const char* kFInterruptReasonRepoInterrupt = "repo_interrupt";
inline constexpr const char* kFInterruptReasonServerKill = "server_kill";

// The ".info" child the server's clock offset is reported under.
inline constexpr const char* kDotInfoServerTimeOffset = "serverTimeOffset";
