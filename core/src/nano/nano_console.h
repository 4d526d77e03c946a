#pragma once
// Where the message layer prints its diagnostics: the plain console
// (standard output), never the SDK logger, so the lines appear whatever the
// log filter says.

#include <string>

#include "platform/format.h"
#include "platform/system_log.h"

namespace nano_detail {

inline void console(std::string_view line) {
    ns::console(line);
}

template <class... A>
void consolef(std::string_view fmt, const A&... args) {
    ns::console(ns::format(fmt, args...));
}

}  // namespace nano_detail
