#pragma once
// CFStream socket-pair stand-in (CFStreamCreatePairWithSocketToHost): a read
// stream and a write stream over one TCP connection, optionally TLS, whose
// events reach a delegate on the run loop the streams are scheduled in.
//
// The transfer itself runs on one process-wide I/O thread (asio); the streams
// buffer between it and their users, so read and write never block:
//   - read takes what has arrived (a bounded buffer; the socket is not read
//     while it is full);
//   - write takes what fits in the outgoing buffer and returns the count; the
//     bytes taken are sent even if the stream is closed right after.
// Events, as in CFStream: open-completed (once connected, and for TLS once
// the handshake is done), bytes-available, space-available, error, end.
// Space-available comes once the stream is open, and again only after a
// writer was refused room (a short write, or hasSpaceAvailable false), once
// some of what was waiting has been sent.
// Bytes-available comes when bytes arrive and the user has read since the
// previous one (or had read everything): read until a read comes back short.
// A read copies with the stream's lock released, so the I/O thread goes on
// receiving meanwhile. A reader may instead lend the stream its own buffer
// for the next bytes (lendReadTarget), which the I/O thread receives into
// directly.
// They are delivered on the stream's dispatch queue when it has one, else on
// the first run loop it is scheduled in (held while it has neither), to a
// delegate held weakly.
//
// Destinations: the host goes through ns::HostRouting (".localhost" names and
// routed service hosts to loopback); anything that does not end on a
// loopback address is refused with an error event, so nothing leaves the
// machine. TLS verifies the chain against ns::TrustStore and the original
// host name, unless the SSL settings turn chain validation off. Certificate
// pinning keeps validation on and looks for its pins in the chain that was
// verified (verifiedCertificateChain), never in what the peer merely sent.
//
// Thread-safe: every method may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

namespace ns {

class RunLoop;

enum StreamEvent : unsigned {
    kStreamEventNone = 0,
    kStreamEventOpenCompleted = 1,
    kStreamEventHasBytesAvailable = 2,
    kStreamEventHasSpaceAvailable = 4,
    kStreamEventErrorOccurred = 8,
    kStreamEventEndEncountered = 16,
};

enum class StreamStatus {
    NotOpen = 0,
    Opening = 1,
    Open = 2,
    Reading = 3,
    Writing = 4,
    AtEnd = 5,
    Closed = 6,
    Error = 7,
};

// kCFStreamNetworkServiceType values; recorded (loopback has no service classes).
enum class NetworkServiceType { Default, VoIP, Video, Background, Voice };

// kCFStreamPropertySSLSettings.
struct SSLSettings {
    // kCFStreamSSLValidatesCertificateChain.
    bool validatesCertificateChain = true;
    // kCFStreamSSLPeerName: the name checked and sent as SNI (default: the host).
    std::optional<std::string> peerName;
};

inline constexpr const char* kDefaultRunLoopMode = "kCFRunLoopDefaultMode";

class Stream;

class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    // On the thread of the run loop the stream is scheduled in.
    virtual void streamHandleEvent(Stream& stream, StreamEvent event) = 0;
};

class Stream : public std::enable_shared_from_this<Stream> {
public:
    virtual ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void setDelegate(std::weak_ptr<StreamDelegate> delegate);
    // The first open of either stream of the pair starts connecting.
    void open();
    // Stops events for this stream. Closing the write stream sends what it
    // already took and then ends the sending direction; once both are
    // closed the connection is closed.
    void close();
    StreamStatus streamStatus() const;
    // The error behind the error status, nullptr otherwise.
    ErrorRef streamError() const;

    void scheduleInRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode = kDefaultRunLoopMode);
    void removeFromRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode = kDefaultRunLoopMode);
    // CFReadStreamSetDispatchQueue: events go to `queue` (in order, one
    // block each) rather than to a run loop; nullptr goes back to the run
    // loops. Events posted before the change arrive where they were sent.
    void setDispatchQueue(DispatchQueuePtr queue);
    DispatchQueuePtr dispatchQueue() const;

    // kCFStreamPropertySocketNativeHandle: the socket descriptor once
    // connected, -1 before.
    int nativeSocketHandle() const;
    void setNetworkServiceType(NetworkServiceType type);
    NetworkServiceType networkServiceType() const;
    // kCFStreamPropertySocketSecurityLevel = negotiated SSL: TLS on the
    // connection. Takes effect when set before the pair connects.
    void setSocketSecurityLevelNegotiatedSSL();
    void setSSLSettings(SSLSettings settings);
    // kCFStreamPropertySSLPeerTrust: the peer's certificate chain as DER,
    // leaf first, once the TLS handshake is done; nullopt before that or
    // without TLS.
    // That list may hold anything the peer chose to append.
    std::optional<std::vector<Data>> peerCertificateChain() const;
    // The chain OpenSSL built and verified, as DER from the leaf up to and
    // including the trust anchor, once the TLS handshake is done; nullopt
    // before that, without TLS, or when chain validation is off.
    std::optional<std::vector<Data>> verifiedCertificateChain() const;

    bool isInput() const { return isInput_; }

    struct Connection;

protected:
    Stream(std::shared_ptr<Connection> connection, bool isInput);
    std::shared_ptr<Connection> connection_;
    const bool isInput_;

    friend struct StreamAccess;
};

class InputStream : public Stream {
public:
    // Up to `maxLength` received bytes: the count, 0 at the end of the stream
    // (or when nothing has arrived yet), -1 on error or when not open.
    long read(uint8_t* buffer, size_t maxLength);
    // As read, appending the bytes to `text`: they are copied once, with no
    // zero-filled room made for them first. Room for `maxLength` more is
    // reserved first when the string lacks it.
    long readAppending(std::string& text, size_t maxLength);
    bool hasBytesAvailable() const;
    // Bytes-available then waits until this many bytes are buffered (or as
    // many as are buffered before the socket stops being read, or the end
    // has come): a reader that knows how much it needs, the rest of a large
    // message, say, is woken less often. 1, any bytes, by default. Reads
    // take what is there whatever the mark.
    void setReadLowWater(size_t bytes);

    // Lends the stream the reader's own `length` bytes at `target` for the
    // next bytes of the stream: bytes already buffered are copied in at
    // once, the rest the I/O thread receives straight into it, so a reader
    // that knows where a large run of bytes belongs (a message's payload)
    // gets them without a copy of its own. Bytes that land count toward
    // the low-water mark, a full target is always announced, and they are
    // the reader's once readLent has counted them. The memory must stay
    // valid until the target is full and read, withdrawn, or the stream is
    // closed. After a lent target fills, the socket is read only a little
    // further until the reader reads or lends again, so the next run of
    // bytes can land in its own target too. False, lending nothing, unless
    // the stream is open and no target is lent.
    bool lendReadTarget(uint8_t* target, size_t length);
    // Bytes landed in the lent target since the last call, counted as read:
    // the count (0 when none, or when no target is lent), -1 on error or
    // when not open. Once every byte of a full target has been counted,
    // the target is no longer lent. Read takes only bytes that come after
    // a lent target.
    long readLent();
    // Takes the lent target back before it is full; returns once nothing
    // writes into it any more. The count of bytes that landed in it and
    // were not counted by readLent: they are no longer the stream's.
    size_t withdrawReadTarget();

private:
    using Stream::Stream;
    friend struct StreamAccess;
};

class OutputStream : public Stream {
public:
    // Takes as many bytes as fit: the count (0 when full), -1 on error or
    // when not open.
    long write(const uint8_t* buffer, size_t length);
    bool hasSpaceAvailable() const;

private:
    using Stream::Stream;
    friend struct StreamAccess;
};

struct SocketStreamPair {
    std::shared_ptr<InputStream> input;
    std::shared_ptr<OutputStream> output;
};

// CFStreamCreatePairWithSocketToHost: streams not yet open; nothing happens
// until one of them is opened.
SocketStreamPair createStreamPairWithSocketToHost(const std::string& host, uint16_t port);

}  // namespace ns
