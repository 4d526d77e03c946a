#pragma once
// Private to the property-list writers (plist.cpp, keyed_archive.cpp): how a
// date becomes the format library's whole seconds and microseconds.

#include <cmath>
#include <cstdint>

namespace ns::plist_date {

// Property lists count dates from 2001.
constexpr double kEpoch2001 = 978307200.0;

struct LibraryDate {
    int32_t seconds;
    int32_t microseconds;
};

// Seconds since 2001, within the 32-bit range the library holds, rounded to
// the microsecond (a fraction that rounds to a whole second carries over).
inline LibraryDate libraryDate(double since2001) {
    double whole = std::trunc(since2001);
    long long usec = std::llround((since2001 - whole) * 1e6);
    if (usec >= 1000000 || usec <= -1000000) {
        whole += usec > 0 ? 1 : -1;
        usec = 0;
    }
    return {int32_t(whole), int32_t(usec)};
}

}  // namespace ns::plist_date
