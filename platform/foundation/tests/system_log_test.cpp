#include "platform/system_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <fstream>
#include <sstream>
#include <thread>

using ns::Console;
using ns::SystemLog;

namespace {

// Points a standard descriptor at a temporary file for the object's lifetime.
class Redirect {
public:
    explicit Redirect(int fd) : fd_(fd) {
        char name[] = "/tmp/almavel-syslog-XXXXXX";
        int tmp = ::mkstemp(name);
        EXPECT_GE(tmp, 0);
        path_ = name;
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        ::dup2(tmp, fd_);
        ::close(tmp);
    }
    ~Redirect() {
        restore();
        ::unlink(path_.c_str());
    }
    // Restores the descriptor and returns what was written meanwhile.
    std::string restore() {
        if (saved_ >= 0) {
            std::fflush(nullptr);
            ::dup2(saved_, fd_);
            ::close(saved_);
            saved_ = -1;
        }
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    int fd_;
    int saved_ = -1;
    std::string path_;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0, nl;
    while ((nl = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    EXPECT_EQ(start, text.size()) << "output does not end with a newline";
    return lines;
}

// Restores the filter level a test changed.
struct FilterGuard {
    int saved = SystemLog::filterLevel();
    ~FilterGuard() { SystemLog::setFilterLevel(saved); }
};

}  // namespace

TEST(SystemLog, CapturesCollectLinesInOrderWhileTheyLive) {
    SystemLog::write(SystemLog::kNotice, "before any capture");
    auto outer = SystemLog::capture();
    SystemLog::write(SystemLog::kError, "QRVCore[I-COR000001] first");
    {
        auto inner = SystemLog::capture();
        SystemLog::write(SystemLog::kNotice, "second");
        EXPECT_EQ(inner.lines(), (std::vector<std::string>{"second"}));
        EXPECT_TRUE(inner.contains("seco"));
        EXPECT_FALSE(inner.contains("first"));
    }
    SystemLog::write(SystemLog::kNotice, "third");
    outer.stop();
    SystemLog::write(SystemLog::kNotice, "after stop");
    EXPECT_EQ(outer.lines(), (std::vector<std::string>{"QRVCore[I-COR000001] first", "second", "third"}));
    outer.clear();
    EXPECT_TRUE(outer.lines().empty());

    // A capture moved elsewhere keeps collecting.
    std::optional<SystemLog::Capture> moved;
    {
        auto c = SystemLog::capture();
        moved.emplace(std::move(c));
    }
    SystemLog::write(SystemLog::kNotice, "into the moved capture");
    EXPECT_EQ(moved->lines(), (std::vector<std::string>{"into the moved capture"}));
}

TEST(SystemLog, SharedCaptureStartStop) {
    SystemLog::startCapture();
    SystemLog::write(SystemLog::kWarning, "one");
    SystemLog::write(SystemLog::kWarning, "two");
    SystemLog::stopCapture();
    SystemLog::write(SystemLog::kWarning, "three");
    EXPECT_EQ(SystemLog::captured(), (std::vector<std::string>{"one", "two"}));
    SystemLog::startCapture();
    EXPECT_TRUE(SystemLog::captured().empty());
    SystemLog::write(SystemLog::kWarning, "four");
    EXPECT_EQ(SystemLog::captured(), (std::vector<std::string>{"four"}));
    SystemLog::stopCapture();
    SystemLog::stopCapture();  // harmless twice
}

TEST(SystemLog, FilterDropsLevelsAboveIt) {
    FilterGuard guard;
    SystemLog::setFilterLevel(SystemLog::kDebug);
    auto capture = SystemLog::capture();
    SystemLog::write(SystemLog::kDebug, "debug passes when open");
    SystemLog::setFilterLevel(SystemLog::kWarning);
    SystemLog::write(SystemLog::kNotice, "notice dropped");
    SystemLog::write(SystemLog::kDebug, "debug dropped");
    SystemLog::write(SystemLog::kWarning, "warning passes");
    SystemLog::write(SystemLog::kError, "error passes");
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"debug passes when open", "warning passes", "error passes"}));

    SystemLog::setFilterLevel(42);
    EXPECT_EQ(SystemLog::filterLevel(), SystemLog::kDebug);
    SystemLog::setFilterLevel(-3);
    EXPECT_EQ(SystemLog::filterLevel(), SystemLog::kEmergency);
}

TEST(SystemLog, DefaultFilterLetsEveryLevelThrough) {
    // Tests that narrow the filter put it back, so this sees the default.
    EXPECT_EQ(SystemLog::filterLevel(), SystemLog::kDebug);
    auto capture = SystemLog::capture();
    SystemLog::write(SystemLog::kDebug, "debug");
    SystemLog::write(SystemLog::kInfo, "info");
    EXPECT_EQ(capture.lines().size(), 2u);
}

TEST(SystemLog, LinesFromManyThreadsReachStandardErrorWhole) {
    constexpr int kThreads = 8, kLines = 200;
    // Long lines, well past what one small write would carry.
    const std::string padding(3000, 'x');
    auto capture = SystemLog::capture();
    Redirect redirect(STDERR_FILENO);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                SystemLog::write(SystemLog::kNotice, "T" + std::to_string(t) + " L" + std::to_string(i) + " " + padding);
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = splitLines(redirect.restore());

    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::vector<int> nextPerThread(kThreads, 0);
    for (const auto& line : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "T%d L%d ", &t, &i), 2) << line.substr(0, 40);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        // Whole, and each thread's lines in the order it wrote them.
        EXPECT_EQ(line, "T" + std::to_string(t) + " L" + std::to_string(i) + " " + padding);
        EXPECT_EQ(i, nextPerThread[t]++);
    }
    // The capture saw the same sequence as the stream.
    EXPECT_EQ(capture.lines(), lines);
}

TEST(Console, WritesLinesToStandardOutputAndCaptures) {
    auto capture = Console::capture();
    Console::startCapture();
    Redirect redirect(STDOUT_FILENO);
    std::printf("printed before\n");
    ns::console("<Nano/Failure> something broke");
    Console::write("second");
    const auto lines = splitLines(redirect.restore());
    Console::stopCapture();
    EXPECT_EQ(lines, (std::vector<std::string>{"printed before", "<Nano/Failure> something broke", "second"}));
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"<Nano/Failure> something broke", "second"}));
    EXPECT_EQ(Console::captured(), capture.lines());
}
