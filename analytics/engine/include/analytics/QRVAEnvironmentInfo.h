#pragma once
// The device as a measurement bundle describes it: model, operating-system
// version, preferred language and the local time zone's offset, read from
// the device profile of the sandbox (what UIDevice, NSLocale and NSTimeZone
// answer on the phone).
//
// One per process (`sharedInstance()`); any thread may call it. The model is
// read once per instance, the other answers on every call, so a change of
// language or time zone shows at once.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QRVAEnvironmentInfo {
public:
    static std::shared_ptr<QRVAEnvironmentInfo> sharedInstance();
    // Stands for a new process: the next sharedInstance() reads the model again.
    static void resetSharedForTesting();

    // The machine name ("iPhone10,3"); "" (logged once, 14000) when the
    // device has none.
    std::string deviceModel();
    // "16.4".
    std::string deviceOSVersion() const;
    // The first preferred language, lower-cased ("es-pa"); nullopt (logged,
    // 14001) when the device names none.
    std::optional<std::string> userDefaultLanguage() const;
    // The local time zone's offset from GMT now, in whole minutes truncated
    // toward zero (UTC-03:30 gives -210).
    int32_t timeZoneOffsetMinutes() const;

private:
    std::once_flag deviceModelOnce_;
    std::string deviceModel_;
};
