#pragma once
// The messaging channel server: a TLS TCP listener on 127.0.0.1 that speaks
// the direct channel's protocol with the device's messaging client.
//
// On the wire, after the TLS handshake: the single version byte 40 in each
// direction, then frames of (tag byte, varint32 length, protobuf message).
// The first frame from the device must be a login request whose device id,
// resource, "verdos-<hex id>" and secret match a device of the check-in
// table (instance-identity store); the server answers a login response (with
// an error and a closed socket when they do not). From then on both sides
// count the messages they receive (stream ids, the login being 1) and report
// the count in `last_stream_id_received`:
//   - downstream data messages are kept per device until the device's
//     reported count covers the stream id they went out with, or the device
//     lists their persistent id in a later login; what is not confirmed is
//     sent again after the next login;
//   - downstream messages go out as the connection's output drains, so a
//     device with more queued than the output bound still gets everything;
//   - upstream data messages go to the upstream sink; those with a
//     persistent id are confirmed at once by a selective acknowledgement (an
//     IQ stanza with extension 12) and remembered per device to mark copies
//     sent again as duplicates (the newest kMaxRememberedUpstreamIds, none
//     older than kUpstreamIdLifetime); a persistent id longer than
//     kMaxPersistentIdBytes closes the connection;
//   - a heartbeat ping is answered with a heartbeat ack, a stream
//     acknowledgement (IQ extension 13) with one of the server's own, and
//     after 10 unreported incoming messages the server sends one by itself;
//   - the device's close ends the connection.
// A bad version byte, an undecodable or oversized frame (more than
// kMaxMessageBytes of message) or anything but a login first closes the
// connection, as do a login that does not come within the back end's head
// time-out (or its request time-out when that is shorter) and unsent output past
// 16 MiB (a peer that stopped reading). At most 1024 connections are open:
// when full, a new connection takes the place of the oldest one that has not
// logged in, and is closed only when every one has. A device has one
// connection: a new login closes the older one. A stopping server sends
// signed-in devices a close message.
//
// What the test interface keeps (frames, upstream sink, logins) is bounded in
// entries and bytes; a message whose JSON passes kMaxLoggedMessageBytes is
// kept only by its size ({"bytes": n}).
//
// Everything runs on the server's own I/O thread; the public methods may be
// called from any thread (they wait for the I/O thread to act).
//
// Test interface (what McsService serves under /__admin/mcs/):
//   POST   send      {"device", "message": {DataMessageStanza fields, JSON},
//                     "data"?: {key: value}, "persistent"?: true}
//                    -> {"persistentId", "online"}; 404 for a device the check-in
//                    table does not know, 429 past 1000 unconfirmed messages,
//                    413 for a message over kMaxMessageBytes
//   POST   faults    {"action", "device"?, "count"?, "bytesBase64"?, "ms"?}: "holdAcks" /
//                    "releaseAcks" (nothing confirms the device's messages until
//                    released, then one selective ack for what was held), "cut" (the
//                    socket closes, no close message), "close" (a close message, then
//                    the socket), "ping", "garbledFrame", "oversizedFrame",
//                    "unknownTag", "rawBytes" (on the device's live connection),
//                    "badVersion" (the next `count` connections get version byte 41)
//                    and "advanceClock" (the clock that ages remembered upstream
//                    ids moves `ms` ahead)
//   GET    upstream  {"messages": [{"device", "streamId", "duplicate", "message"}]};
//                    DELETE clears it and the remembered upstream ids
//   GET    sessions  {"devices": [{"device", "connected", "inStreamId", "outStreamId",
//                     "pending", "holdingAcks", "logins", "upstreamIds" (how many
//                     are remembered)}]}
//   GET    frames    {"frames": [{"device", "direction", "tag", "message"}]}; DELETE clears

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "backend/core/service.h"

namespace backend {

namespace mcs {

inline constexpr uint8_t kVersion = 40;
// The largest message a frame may announce; the client's own buffer stops
// at 1 MiB.
inline constexpr size_t kMaxMessageBytes = 1024 * 1024;
// The client's persistent ids are decimal counters or short generated ids.
inline constexpr size_t kMaxPersistentIdBytes = 256;
inline constexpr size_t kMaxRememberedUpstreamIds = 4096;
// Longer than a device keeps an unconfirmed upstream message to send again.
inline constexpr std::chrono::hours kUpstreamIdLifetime{6};
inline constexpr size_t kMaxLoggedMessageBytes = 4 * 1024;

enum Tag : uint8_t {
    kHeartbeatPingTag = 0,
    kHeartbeatAckTag = 1,
    kLoginRequestTag = 2,
    kLoginResponseTag = 3,
    kCloseTag = 4,
    kIqStanzaTag = 7,
    kDataMessageStanzaTag = 8,
};

// The messaging service's domain (the login's and the service's own
// messages') and the sender of instance-identity commands, as the client
// compares them.
inline constexpr const char* kServiceDomain = "mcs.ondrix.com";
inline constexpr const char* kInstanceIDSender = "kdx@ondrix.com";
inline constexpr int kSelectiveAckExtension = 12;
inline constexpr int kStreamAckExtension = 13;

// One frame: the tag, the varint32 length and the message.
std::string encodeFrame(uint8_t tag, std::string_view message);

enum class FrameStatus { Complete, Incomplete, Corrupt, TooLarge };
// Reads the frame at the front of `bytes`: Complete fills `tag`, `message`
// and `consumed`; Incomplete asks for more bytes; a tag of 128 or more or a
// length that is negative as a 32-bit number is Corrupt; a length above
// kMaxMessageBytes is TooLarge.
FrameStatus readFrame(std::string_view bytes, uint8_t& tag, std::string& message, size_t& consumed);

}  // namespace mcs

class McsServer {
public:
    McsServer(Context& context, std::string certPath, std::string keyPath);
    ~McsServer();
    McsServer(const McsServer&) = delete;
    McsServer& operator=(const McsServer&) = delete;

    // Binds 127.0.0.1:`port` (0: any free one) and serves; returns the port.
    // Throws std::runtime_error.
    int start(int port);
    // Says close to signed-in devices, closes the listener and every
    // connection and joins the thread; the test interface then throws
    // std::runtime_error.
    void stop();
    int port() const { return port_; }

    // Whether the device is signed in right now.
    bool signedIn(uint64_t device);

    struct Answer {
        int status = 200;
        nlohmann::json body;
    };
    // The test interface above (request bodies as JSON objects).
    Answer send(const nlohmann::json& request);
    Answer fault(const nlohmann::json& request);
    nlohmann::json upstream();
    void clearUpstream();
    nlohmann::json sessions();
    nlohmann::json frames();
    void clearFrames();

    struct Impl;

private:
    Context& context_;
    std::string certPath_, keyPath_;
    int port_ = 0;
    bool stopped_ = false;
    std::shared_ptr<Impl> impl_;
};

// The channel server of this back end, or null before it runs.
McsServer* mcsServer(Context& context);

class McsService : public Service {
public:
    std::string name() const override { return "mcs"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;
    void stop() override;

private:
    std::unique_ptr<McsServer> server_;
};

}  // namespace backend
