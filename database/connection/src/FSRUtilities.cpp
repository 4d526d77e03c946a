#include "database/connection/FSRUtilities.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "platform/crypto.h"
#include "platform/format.h"

_FSRRunLoopThread::_FSRRunLoopThread() { _waitGroup.enter(); }

std::shared_ptr<ns::RunLoop> _FSRRunLoopThread::runLoop() {
    _waitGroup.wait(-1);
    std::lock_guard lock(_mutex);
    return _runLoop;
}

void _FSRRunLoopThread::main() {
    {
        std::lock_guard lock(_mutex);
        _runLoop = ns::RunLoop::currentShared();
    }
    _waitGroup.leave();
    // The loop has no source that ends it: run it again whenever it returns.
    while (true) _runLoop->run();
}

// Never destroyed, as the thread that runs it never ends: sockets on other
// threads still schedule on it while static destructors run at exit.
std::shared_ptr<ns::RunLoop> FSR_networkRunLoop() {
    static const auto* loop = [] {
        auto thread = std::make_shared<_FSRRunLoopThread>();
        thread->setName("com.kestrel.Wavecraft.NetworkThread");
        thread->start();
        return new std::shared_ptr<ns::RunLoop>(thread->runLoop());
    }();
    return *loop;
}

std::string SR_origin(const ns::URL& url) {
    std::string scheme = url.scheme();
    for (char& c : scheme) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == "wss") {
        scheme = "https";
    } else if (scheme == "ws") {
        scheme = "http";
    }
    if (url.port()) return ns::format("%@://%@:%@/", scheme, url.host(), std::to_string(*url.port()));
    return ns::format("%@://%@/", scheme, url.host());
}

std::optional<ns::Array> FSR_SSLPinnedCertificates(const ns::URLRequest& request) {
    const ns::Value& value = request.protocolProperty(kFSRSSLPinnedCertificatesKey);
    if (const ns::Array* array = value.arrayOrNull()) return *array;
    return std::nullopt;
}

void setFSR_SSLPinnedCertificates(ns::URLRequest& request, ns::Array certificates) {
    request.setProtocolProperty(kFSRSSLPinnedCertificatesKey, ns::Value(std::move(certificates)));
}

std::optional<std::string> stringBySHA1ThenBase64Encoding(const ns::Data& bytes) {
    return ns::crypto::base64Encode(ns::crypto::sha1(bytes));
}

std::optional<std::string> stringBySHA1ThenBase64Encoding(std::string_view text) {
    return stringBySHA1ThenBase64Encoding(ns::Data(text.begin(), text.end()));
}

std::optional<std::string> FSRUtilities::base64EncodedStringFromData(const ns::Data& data) {
    return ns::crypto::base64Encode(data);
}

int f_b64_ntop(const uint8_t* src, size_t srclength, char* target, size_t targsize) {
    // The C form over the platform's one encoder: the text and its NUL must
    // fit, or nothing is written and the answer is -1.
    const std::string text = ns::crypto::base64Encode(src, srclength);
    if (text.size() >= targsize) return -1;
    std::memcpy(target, text.data(), text.size());
    target[text.size()] = '\0';
    return int(text.size());
}
