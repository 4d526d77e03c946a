#include "platform/system_log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>

namespace ns {

struct LineCapture::State {
    mutable std::mutex mutex;
    std::vector<std::string> lines;
    bool active = true;
    struct Sink* sink = nullptr;
};

namespace {

enum class Stream { StandardError, StandardOutput };

}  // namespace

// One output stream with the captures listening to it. The lock covers the
// write itself, which is what keeps lines whole and in one order for both
// the stream and every capture.
struct Sink {
    explicit Sink(Stream s) : stream(s) {}

    Stream stream;
    std::mutex mutex;
    std::vector<std::shared_ptr<LineCapture::State>> captures;
    std::optional<LineCapture> shared;  // startCapture/stopCapture

    void emit(std::string_view line) {
        std::string out;
        out.reserve(line.size() + 1);
        out.append(line);
        out.push_back('\n');
        std::lock_guard lock(mutex);
        if (stream == Stream::StandardError) {
            writeAll(STDERR_FILENO, out);
        } else {
            // Through stdio, so lines keep their place among printf/cout output.
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fflush(stdout);
        }
        for (const auto& c : captures) {
            std::lock_guard clock(c->mutex);
            c->lines.emplace_back(line);
        }
    }

    static void writeAll(int fd, const std::string& text) {
        const char* p = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = ::write(fd, p, left);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;  // nowhere to report a failing standard error
            }
            p += n;
            left -= size_t(n);
        }
    }

    LineCapture startCapture();

    void detach(const std::shared_ptr<LineCapture::State>& state) {
        std::lock_guard lock(mutex);
        captures.erase(std::remove(captures.begin(), captures.end(), state), captures.end());
    }
};

namespace {

// Never destroyed: threads may still log while static destructors run.
Sink& logSink() {
    static Sink* s = new Sink(Stream::StandardError);
    return *s;
}
Sink& consoleSink() {
    static Sink* s = new Sink(Stream::StandardOutput);
    return *s;
}

// Sharing a capture between startCapture/stopCapture/captured needs its own
// lock: those calls must not run under the sink's lock, which stop() takes.
std::mutex gSharedCaptureMutex;

void startShared(Sink& sink) {
    std::lock_guard lock(gSharedCaptureMutex);
    sink.shared.reset();
    sink.shared.emplace(sink.startCapture());
}

void stopShared(Sink& sink) {
    std::lock_guard lock(gSharedCaptureMutex);
    if (sink.shared) sink.shared->stop();
}

std::vector<std::string> sharedLines(Sink& sink) {
    std::lock_guard lock(gSharedCaptureMutex);
    return sink.shared ? sink.shared->lines() : std::vector<std::string>{};
}

std::atomic<int> gFilterLevel{SystemLog::kDebug};

}  // namespace

LineCapture Sink::startCapture() {
    auto state = std::make_shared<LineCapture::State>();
    state->sink = this;
    {
        std::lock_guard lock(mutex);
        captures.push_back(state);
    }
    return LineCapture(std::move(state));
}

// ---- LineCapture ------------------------------------------------------------

LineCapture::LineCapture(std::shared_ptr<State> state) : state_(std::move(state)) {}
LineCapture::LineCapture(LineCapture&&) noexcept = default;

LineCapture& LineCapture::operator=(LineCapture&& other) noexcept {
    if (this != &other) {
        stop();
        state_ = std::move(other.state_);
    }
    return *this;
}

LineCapture::~LineCapture() { stop(); }

std::vector<std::string> LineCapture::lines() const {
    if (!state_) return {};
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

bool LineCapture::contains(std::string_view text) const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return std::any_of(state_->lines.begin(), state_->lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

void LineCapture::clear() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->lines.clear();
}

void LineCapture::stop() {
    if (!state_) return;
    bool wasActive;
    {
        std::lock_guard lock(state_->mutex);
        wasActive = state_->active;
        state_->active = false;
    }
    if (wasActive) state_->sink->detach(state_);
}

// ---- SystemLog ----------------------------------------------------------------

void SystemLog::write(int level, std::string_view line) {
    if (level > gFilterLevel.load(std::memory_order_relaxed)) return;
    logSink().emit(line);
}

void SystemLog::setFilterLevel(int level) {
    gFilterLevel.store(std::clamp(level, int(kEmergency), int(kDebug)), std::memory_order_relaxed);
}

int SystemLog::filterLevel() { return gFilterLevel.load(std::memory_order_relaxed); }

SystemLog::Capture SystemLog::capture() { return logSink().startCapture(); }
void SystemLog::startCapture() { startShared(logSink()); }
void SystemLog::stopCapture() { stopShared(logSink()); }
std::vector<std::string> SystemLog::captured() { return sharedLines(logSink()); }

// ---- Console ----------------------------------------------------------------

void Console::write(std::string_view line) { consoleSink().emit(line); }

Console::Capture Console::capture() { return consoleSink().startCapture(); }
void Console::startCapture() { startShared(consoleSink()); }
void Console::stopCapture() { stopShared(consoleSink()); }
std::vector<std::string> Console::captured() { return sharedLines(consoleSink()); }

}  // namespace ns
