#pragma once
// Private to the property-list readers and writers (plist.cpp,
// keyed_archive.cpp): which dates a list holds, and how a date becomes the
// format library's whole seconds and microseconds.

#include <cmath>
#include <cstdint>
#include <optional>

namespace ns::plist_date {

// Property lists count dates from 2001.
constexpr double kEpoch2001 = 978307200.0;

// The dates every list holds, seconds since 2001, both ends excluded: the
// library's 32-bit seconds less one at either end, since its XML reader
// gives a date past its range as the least second. Writing the XML form
// drops a date's fraction toward 2001, which keeps it inside.
constexpr double kEarliest = double(INT32_MIN) + 1;  // 1932-12-13T20:45:53Z
constexpr double kLatest = double(INT32_MAX) - 1;    // 2069-01-19T03:14:06Z

struct LibraryDate {
    int32_t seconds;
    int32_t microseconds;
};

// Seconds since 2001 rounded to the microsecond (a fraction that rounds to a
// whole second carries over), as a writer stores them; none for a date that
// rounds outside the range above. Readers ask this of each date they would
// return, so that they refuse exactly what a writer could not write back.
inline std::optional<LibraryDate> libraryDate(double since2001) {
    if (!(since2001 > kEarliest - 1 && since2001 < kLatest + 1)) return std::nullopt;  // NaN too
    double whole = std::trunc(since2001);
    long long usec = std::llround((since2001 - whole) * 1e6);
    if (usec >= 1000000 || usec <= -1000000) {
        whole += usec > 0 ? 1 : -1;
        usec = 0;
    }
    const double rounded = whole + double(usec) / 1e6;
    if (!(rounded > kEarliest && rounded < kLatest)) return std::nullopt;
    return LibraryDate{int32_t(whole), int32_t(usec)};
}

// Whether a date, seconds since 1970, is one a list can hold.
inline bool holds(double secondsSince1970) { return libraryDate(secondsSince1970 - kEpoch2001).has_value(); }

}  // namespace ns::plist_date
