#pragma once
// What the web socket stands on: the one network thread whose run loop
// receives every socket's stream events, the origin text of a URL, the
// pinned certificates a request may carry, and the SHA-1-then-base64 digest
// of the handshake.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/runloop.h"
#include "platform/thread.h"
#include "platform/url.h"
#include "platform/value.h"

// The thread behind the shared network run loop. It publishes its run loop
// once running and then runs it for the life of the process.
class _FSRRunLoopThread : public ns::Thread {
public:
    _FSRRunLoopThread();
    // Waits until the thread has published its run loop.
    std::shared_ptr<ns::RunLoop> runLoop();

protected:
    void main() override;

private:
    ns::DispatchGroup _waitGroup;
    std::mutex _mutex;
    std::shared_ptr<ns::RunLoop> _runLoop;
};

// +[NSRunLoop FSR_networkRunLoop]: the shared network run loop, made on the
// first call ("com.kestrel.Wavecraft.NetworkThread"); callable from any thread.
std::shared_ptr<ns::RunLoop> FSR_networkRunLoop();

// -[NSURL SR_origin]: "scheme://host[:port]/" with ws and wss written as
// http and https.
std::string SR_origin(const ns::URL& url);

// The request property "FSR_SSLPinnedCertificates": an array of certificates
// (DER bytes each), nullopt when the request carries none.
inline constexpr const char* kFSRSSLPinnedCertificatesKey = "FSR_SSLPinnedCertificates";
std::optional<ns::Array> FSR_SSLPinnedCertificates(const ns::URLRequest& request);
void setFSR_SSLPinnedCertificates(ns::URLRequest& request, ns::Array certificates);

// Base64 of the SHA-1 digest of the text's UTF-8 bytes / of the bytes.
std::optional<std::string> stringBySHA1ThenBase64Encoding(std::string_view text);
std::optional<std::string> stringBySHA1ThenBase64Encoding(const ns::Data& bytes);

class FSRUtilities {
public:
    // Base64 text of the bytes; nullopt when encoding fails.
    static std::optional<std::string> base64EncodedStringFromData(const ns::Data& data);
};

// Base64 (RFC 4648, padded) of `srclength` bytes into `target`, NUL
// terminated: the number of characters, or -1 when `targsize` is too small.
int f_b64_ntop(const uint8_t* src, size_t srclength, char* target, size_t targsize);
