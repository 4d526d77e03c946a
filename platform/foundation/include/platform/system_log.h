#pragma once
// The system log (ASL) stand-in and the plain console.
//
// SystemLog::write sends one line to standard error; Console::write (and
// ns::console) one line to standard output. Each line goes out in a single
// write, under a lock, so lines from many threads never interleave.
//
// Filter: like ASL, lines whose level is numerically above the filter level
// are dropped. Unlike ASL (which keeps debug and info out by default) the
// default filter lets every level through, so nothing written during
// development is lost; setFilterLevel(kDebug) "opens the filter to all
// levels" again after it was narrowed.
//
// Capture: tests capture the lines that reach a sink, in order. A Capture
// object collects while it lives (several may be alive at once, each sees
// every line); startCapture/stopCapture/captured drive one shared capture for
// code that cannot hold an object. Captured lines are still written out.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ns {

// A capture of the lines that reach one sink, from construction until
// destruction (or stop()).
class LineCapture {
public:
    LineCapture(LineCapture&&) noexcept;
    LineCapture& operator=(LineCapture&&) noexcept;
    LineCapture(const LineCapture&) = delete;
    LineCapture& operator=(const LineCapture&) = delete;
    ~LineCapture();

    // The lines so far, without their "\n", in the order they were written.
    std::vector<std::string> lines() const;
    // Whether some captured line contains `text`.
    bool contains(std::string_view text) const;
    void clear();
    // Stops collecting; the lines stay readable.
    void stop();

    struct State;

private:
    friend struct Sink;
    explicit LineCapture(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

class SystemLog {
public:
    // ASL's levels.
    enum Level : int {
        kEmergency = 0,
        kAlert = 1,
        kCritical = 2,
        kError = 3,
        kWarning = 4,
        kNotice = 5,
        kInfo = 6,
        kDebug = 7,
    };

    // Writes `line` plus "\n" to standard error unless `level` is above the
    // filter level.
    static void write(int level, std::string_view line);

    // Levels outside kEmergency..kDebug are clamped into that range.
    static void setFilterLevel(int level);
    static int filterLevel();

    using Capture = LineCapture;
    // Starts capturing the lines that pass the filter.
    static Capture capture();

    // One shared capture: start (discarding what an earlier one held), stop,
    // and read (also after stop, until the next start).
    static void startCapture();
    static void stopCapture();
    static std::vector<std::string> captured();
};

class Console {
public:
    // Writes `line` plus "\n" to standard output.
    static void write(std::string_view line);

    using Capture = LineCapture;
    static Capture capture();

    static void startCapture();
    static void stopCapture();
    static std::vector<std::string> captured();
};

inline void console(std::string_view line) { Console::write(line); }

}  // namespace ns
