#include "app/AppConsole.h"

#include <cstdio>
#include <deque>
#include <map>

namespace almavel {

namespace {

struct ConsoleState {
    std::mutex mutex;
    std::deque<std::string> kept;
    uint64_t count = 0;
    bool echo = true;
    uint64_t nextListener = 1;
    std::map<uint64_t, AppConsole::Listener> listeners;
};

ConsoleState& state() {
    static ConsoleState* s = new ConsoleState();
    return *s;
}

}  // namespace

void AppConsole::write(const std::string& text) {
    auto& s = state();
    std::vector<Listener> listeners;
    bool echo;
    {
        std::lock_guard lock(s.mutex);
        s.kept.push_back(text);
        if (s.kept.size() > kKeptLines) s.kept.pop_front();
        ++s.count;
        echo = s.echo;
        for (const auto& [token, listener] : s.listeners) listeners.push_back(listener);
    }
    if (echo) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    for (const auto& listener : listeners) listener(text);
}

std::vector<std::string> AppConsole::lines() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return {s.kept.begin(), s.kept.end()};
}

uint64_t AppConsole::count() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.count;
}

void AppConsole::clear() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.kept.clear();
}

void AppConsole::setEchoToStandardOutput(bool echo) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.echo = echo;
}

uint64_t AppConsole::addListener(Listener listener) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    const uint64_t token = s.nextListener++;
    s.listeners.emplace(token, std::move(listener));
    return token;
}

void AppConsole::removeListener(uint64_t token) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.listeners.erase(token);
}

}  // namespace almavel
