#pragma once
// NSDateFormatter stand-in over ICU: a fixed pattern (ICU/Unicode date field
// symbols, as Foundation uses), a locale and a time zone given as an offset
// from GMT. It prints dates and parses text with the same pattern.
//
// Thread-safe: one formatter may be shared by the whole process (ICU's
// formatter is not, so calls are serialised on the object).

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace ns {

class DateFormatter {
public:
    // Raises NSInvalidArgumentException when ICU refuses the pattern or locale.
    DateFormatter(std::string_view pattern, std::string_view locale = "en_US_POSIX", int secondsFromGMT = 0);
    ~DateFormatter();
    DateFormatter(const DateFormatter&) = delete;
    DateFormatter& operator=(const DateFormatter&) = delete;

    // Uses a named zone ("America/Panama", a device profile's timeZone),
    // daylight saving included, instead of the fixed offset; an unknown name
    // counts as GMT.
    void setTimeZoneNamed(std::string_view name);

    std::string stringFromDate(Date date) const;
    // nullopt when the text does not match the pattern as a whole.
    std::optional<Date> dateFromString(std::string_view text) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex mutex_;
};

}  // namespace ns
