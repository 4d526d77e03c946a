#include "instanceid/QRVInstanceIDUtilities.h"

#include <cmath>

#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"

QRVInstanceIDLogger& QRVInstanceIDLogger::standardLogger() {
    static QRVInstanceIDLogger* logger = new QRVInstanceIDLogger();
    return *logger;
}

QRVInstanceIDLogger& QRVInstanceIDSharedLogger() { return QRVInstanceIDLogger::standardLogger(); }

std::string QRVInstanceIDLogger::formatMessageCode(long code) { return ns::format("I-IID%06ld", code); }

void QRVInstanceIDLogger::setFilter(QRVInstanceIDLogLevelFilter filter) { level_.store(filter.level()); }

int8_t QRVInstanceIDLogger::filterLevel() const { return level_.load(); }

ns::ErrorRef errorWithQRVInstanceIDErrorCode(long code, ns::Dictionary userInfo) {
    return ns::Error::make(kQRVInstanceIDDomain, code, std::move(userInfo));
}

ns::ErrorRef QRVInstanceIDErrorMissingCheckin() {
    return errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeMissingCheckin,
                                           {{kQRVInstanceIDErrorMessageKey, "Missing device credentials. Retry later."}});
}

std::string QRVInstanceIDRegisterServer() { return std::string("https://") + kQRVInstanceIDRegistrationHost + "/kdx/register4"; }

std::string QRVInstanceIDCheckinServer() { return std::string("https://") + kQRVInstanceIDCheckinHost + "/checkin"; }

int64_t QRVInstanceIDCurrentTimestampInSeconds() { return int64_t(std::floor(ns::Clock::nowSeconds())); }

int64_t QRVInstanceIDCurrentTimestampInMilliseconds() { return QRVInstanceIDCurrentTimestampInSeconds() * 1000; }

std::string QRVInstanceIDCurrentAppVersion() {
    const ns::Value v = ns::Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    return v.isString() ? v.asString() : std::string();
}

std::string QRVInstanceIDAppIdentifier() { return ns::Bundle::mainBundle()->bundleIdentifier(); }

bool QRVInstanceIDIsValidKDXScope(const std::string& scope) {
    if (scope.size() != 3) return false;
    for (size_t i = 0; i < 3; ++i) {
        if (std::tolower(static_cast<unsigned char>(scope[i])) != "qdx"[i]) return false;
    }
    return true;
}

bool QRVInstanceIDIsValidDefaultScope(const std::string& scope) { return scope == "*"; }

std::string QRVInstanceIDAPNSStringForToken(const ns::Data& token, bool sandbox) {
    return (sandbox ? "s_" : "p_") + ns::crypto::hex(token);
}

namespace {

// A string a class method of messaging answers, when messaging is present.
std::optional<std::string> messagingAnswer(std::string_view selector) {
    ns::Class* messaging = ns::Runtime::lookUpClass("QRVMessaging");
    if (!messaging || !messaging->classRespondsTo(selector)) return std::nullopt;
    ns::Value v = ns::Runtime::sendClass("QRVMessaging", selector);
    if (!v.isString()) return std::nullopt;
    return v.asString();
}

}  // namespace

std::optional<std::string> QRVInstanceIDCurrentKDXVersion() { return messagingAnswer("QRVMessagingSDKVersion"); }

std::string QRVInstanceIDCurrentLocale() {
    if (auto locale = messagingAnswer("QRVMessagingSDKCurrentLocale")) return *locale;
    // The first preferred language is the locale's language and region in
    // BCP 47 form ("en-US" for "en_US").
    std::string language = ns::Sandbox::current()->deviceProfile().localeIdentifier;
    for (char& c : language) {
        if (c == '_') c = '-';
    }
    return language;
}

const std::string& QRVInstanceIDCurrentLibraryVersion() {
    static const ns::NoDestructor<std::string> version("2.0.0");
    return *version;
}

std::optional<std::string> QRVInstanceIDDeviceModelVersion() {
    std::string machine = ns::Sandbox::current()->deviceProfile().machine;
    if (machine.empty()) {
        QRVInstanceIDLoggerDebug(16000, "Unable to get machine name from uname.");
        return std::nullopt;
    }
    return machine;
}

std::string QRVInstanceIDOperatingSystemVersion() { return ns::Sandbox::current()->deviceProfile().systemVersion; }
