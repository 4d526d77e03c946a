#pragma once
// The application's console: what the app writes with print() on the phone.
// Each write goes to standard output with a newline, as there, and is also
// kept (the last kKeptLines writes) for the hosts that show it: the browser
// page's console panel and tests. A write may span several lines (the
// description of a payload does).
//
// Any thread; listeners are called on the writer's thread, outside the lock.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace almavel {

class AppConsole {
public:
    static constexpr size_t kKeptLines = 1000;

    static void write(const std::string& text);
    // Every write kept so far, oldest first.
    static std::vector<std::string> lines();
    // How many writes there have been since the start (not capped).
    static uint64_t count();
    // Forgets the kept writes (tests; the count goes on).
    static void clear();
    // Whether writes also go to standard output (on by default).
    static void setEchoToStandardOutput(bool echo);

    using Listener = std::function<void(const std::string& text)>;
    static uint64_t addListener(Listener listener);
    static void removeListener(uint64_t token);
};

}  // namespace almavel
