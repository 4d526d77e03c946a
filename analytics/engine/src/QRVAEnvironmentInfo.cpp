#include "analytics/QRVAEnvironmentInfo.h"

#include <cctype>
#include <cerrno>
#include <system_error>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAMonitor.h"
#include "platform/clock.h"
#include "platform/date_formatter.h"
#include "platform/sandbox.h"

namespace {

std::mutex& sharedMutex() {
    static auto* mutex = new std::mutex();  // never destroyed: pooled work may still read it at exit
    return *mutex;
}
std::shared_ptr<QRVAEnvironmentInfo>& sharedSlot() {
    static auto* slot = new std::shared_ptr<QRVAEnvironmentInfo>();
    return *slot;
}

// "+hh:mm" or "-hh:mm:ss" as seconds east of GMT; 0 for anything else.
int64_t secondsOfOffsetText(const std::string& text) {
    if (text.size() < 6 || (text[0] != '+' && text[0] != '-')) return 0;
    int64_t seconds = 0;
    int64_t unit = 3600;
    for (size_t i = 1; i < text.size() && unit >= 1; i += 3, unit /= 60) {
        if (i + 1 >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])) ||
            !std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            return 0;
        }
        seconds += ((text[i] - '0') * 10 + (text[i + 1] - '0')) * unit;
    }
    return text[0] == '-' ? -seconds : seconds;
}

}  // namespace

std::shared_ptr<QRVAEnvironmentInfo> QRVAEnvironmentInfo::sharedInstance() {
    std::lock_guard lock(sharedMutex());
    if (!sharedSlot()) sharedSlot() = std::make_shared<QRVAEnvironmentInfo>();
    return sharedSlot();
}

void QRVAEnvironmentInfo::resetSharedForTesting() {
    std::lock_guard lock(sharedMutex());
    sharedSlot().reset();
}

std::string QRVAEnvironmentInfo::deviceModel() {
    std::call_once(deviceModelOnce_, [this] {
        deviceModel_ = QRVAAEU::deviceModel().value_or("");
        if (deviceModel_.empty()) {
            QRVAMeasurementMonitor()->logWithLevel(1, 14000, "Failed to get device model",
                                                   ns::Value(std::generic_category().message(errno)));
        }
    });
    return deviceModel_;
}

std::string QRVAEnvironmentInfo::deviceOSVersion() const { return QRVAAEU::systemVersion(); }

std::optional<std::string> QRVAEnvironmentInfo::userDefaultLanguage() const {
    // The preferred language is the profile's locale as a language tag
    // ("es_PA" -> "es-PA"), without keywords ("@calendar=...").
    std::string language = ns::Sandbox::current()->deviceProfile().localeIdentifier;
    language = language.substr(0, language.find('@'));
    if (language.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 14001, "Failed to get preferred language");
        return std::nullopt;
    }
    for (char& c : language) {
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return language;
}

int32_t QRVAEnvironmentInfo::timeZoneOffsetMinutes() const {
    // The platform reads named zones (daylight saving included) only through
    // its date formatter, so the offset is printed there ("-03:30", seconds
    // added when the zone has them) and read back.
    ns::DateFormatter formatter("xxxxx");
    formatter.setTimeZoneNamed(ns::Sandbox::current()->deviceProfile().timeZone);
    const int64_t seconds = secondsOfOffsetText(formatter.stringFromDate(ns::Date{ns::Clock::nowSeconds()}));
    return static_cast<int32_t>(static_cast<double>(seconds) / 60.0);
}
