#include "database/connection/FSRUtilities.h"

#include <cctype>
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

std::shared_ptr<ns::RunLoop> FSR_networkRunLoop() {
    static ns::OnceFlag once;
    static std::shared_ptr<ns::RunLoop> loop;
    ns::dispatchOnce(once, [] {
        auto thread = std::make_shared<_FSRRunLoopThread>();
        thread->setName("com.kestrel.Wavecraft.NetworkThread");
        thread->start();
        loop = thread->runLoop();
    });
    return loop;
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
    const ns::Data digest = ns::crypto::sha1(bytes);
    char buffer[31];
    const int length = f_b64_ntop(digest.data(), digest.size(), buffer, sizeof buffer);
    if (length < 0) return std::nullopt;
    return std::string(buffer, size_t(length));
}

std::optional<std::string> stringBySHA1ThenBase64Encoding(std::string_view text) {
    return stringBySHA1ThenBase64Encoding(ns::Data(text.begin(), text.end()));
}

std::optional<std::string> FSRUtilities::base64EncodedStringFromData(const ns::Data& data) {
    std::vector<char> buffer((data.size() + 2) / 3 * 4 + 1);
    const int length = f_b64_ntop(data.data(), data.size(), buffer.data(), buffer.size());
    if (length < 0) return std::nullopt;
    return std::string(buffer.data(), size_t(length));
}

int f_b64_ntop(const uint8_t* src, size_t srclength, char* target, size_t targsize) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const char kPad = '=';
    size_t datalength = 0;
    while (srclength > 2) {
        const uint8_t in0 = src[0], in1 = src[1], in2 = src[2];
        src += 3;
        srclength -= 3;
        if (datalength + 4 > targsize) return -1;
        target[datalength++] = kAlphabet[in0 >> 2];
        target[datalength++] = kAlphabet[((in0 & 0x03) << 4) + (in1 >> 4)];
        target[datalength++] = kAlphabet[((in1 & 0x0f) << 2) + (in2 >> 6)];
        target[datalength++] = kAlphabet[in2 & 0x3f];
    }
    if (srclength != 0) {
        const uint8_t in0 = src[0], in1 = srclength == 2 ? src[1] : 0;
        if (datalength + 4 > targsize) return -1;
        target[datalength++] = kAlphabet[in0 >> 2];
        target[datalength++] = kAlphabet[((in0 & 0x03) << 4) + (in1 >> 4)];
        target[datalength++] = srclength == 1 ? kPad : kAlphabet[(in1 & 0x0f) << 2];
        target[datalength++] = kPad;
    }
    if (datalength >= targsize) return -1;
    target[datalength] = '\0';
    return int(datalength);
}
