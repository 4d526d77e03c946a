#include "platform/date_formatter.h"

#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include "platform/error.h"

namespace ns {

namespace {

// ICU reads the host's zone once, through glibc's tzset, the first time a
// formatter needs a calendar. glibc runs tzset under a lock of its own that
// the thread sanitizer cannot see, so a first read on a worker thread looks
// like a race with gmtime on another (OpenSSL checking a certificate's
// dates). Read here, while the process has one thread, it leaves nothing to
// race with.
[[maybe_unused]] const bool hostZoneRead = [] {
    delete icu::TimeZone::createDefault();
    return true;
}();

}  // namespace

struct DateFormatter::Impl {
    std::unique_ptr<icu::SimpleDateFormat> format;
};

DateFormatter::DateFormatter(std::string_view pattern, std::string_view locale, int secondsFromGMT)
    : impl_(std::make_unique<Impl>()) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale loc(std::string(locale).c_str());
    impl_->format = std::make_unique<icu::SimpleDateFormat>(
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), int32_t(pattern.size()))), loc, status);
    if (U_FAILURE(status))
        Exception::raise(kInvalidArgumentException,
                         "Date pattern '" + std::string(pattern) + "' refused: " + u_errorName(status));
    // Text must match the pattern exactly, as Foundation's fixed-format parsing does.
    impl_->format->setLenient(false);
    impl_->format->adoptTimeZone(new icu::SimpleTimeZone(secondsFromGMT * 1000, "GMT"));
}

DateFormatter::~DateFormatter() = default;

void DateFormatter::setTimeZoneNamed(std::string_view name) {
    icu::TimeZone* zone =
        icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), int32_t(name.size()))));
    std::lock_guard lock(mutex_);
    impl_->format->adoptTimeZone(zone);
}

std::string DateFormatter::stringFromDate(Date date) const {
    icu::UnicodeString text;
    {
        std::lock_guard lock(mutex_);
        impl_->format->format(UDate(date.secondsSince1970 * 1000.0), text);
    }
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
    icu::UnicodeString input = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), int32_t(text.size())));
    icu::ParsePosition position(0);
    UDate parsed;
    {
        std::lock_guard lock(mutex_);
        parsed = impl_->format->parse(input, position);
    }
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
    return Date{parsed / 1000.0};
}

}  // namespace ns
