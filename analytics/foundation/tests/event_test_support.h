#pragma once
// Small makers the event tests share: long texts and parameter values.

#include <string>
#include <string_view>

#include "analytics/QRVAValue.h"

namespace eventtest {

inline std::string times(std::string_view piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
}
inline QRVAValue str(std::string s) {
    return QRVAValue::string(std::move(s));
}
inline QRVAValue num(int64_t i) {
    return QRVAValue(i);
}

}  // namespace eventtest
