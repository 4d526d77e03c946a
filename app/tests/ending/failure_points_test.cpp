// Failure points, enumerated: every store write of a flow of the app is in
// turn the one that fails (ALMAVEL_FAIL_AT_WRITE=k, with EACCES, ENOSPC and
// EIO in turn, and SQLITE_BUSY where the write is a SQLite commit), and
// apart from them every opening of a store's file (ALMAVEL_FAIL_AT_OPEN=k).
// A failed write is what a full disk, a file the app may no longer write or
// a store another program holds does to a phone: the run must go on to its
// normal end, say what it could not write, set aside no sound store and lose
// nothing stored before it, and the next launch must find the phone as the
// crash-point tests do. The flows are the crash-point tests' (and the
// cédula checked from the menu), run from the same phone states; a
// reference run of the flow says which writes and opens it makes, and which
// of them its launch makes: a signed-in phone's launch is checked in the
// sign-out flow only, the other flows from a signed-in phone check their
// own steps.
// Every point costs two launches under the sanitizers, and every point of
// every flow about twenty processor-minutes: CI checks every sixth point
// of each kind (the first included), and ALMAVEL_FAILURE_POINTS=1 checks
// them all (ALMAVEL_POINTS_AT_ONCE runs several at once). The points of a
// flow are split over parts that run beside the other tests.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "phone_process.h"

namespace endingtest {
namespace {

enum class Kind { Write, Open };

struct Flow {
    const char* name;
    std::vector<std::string> before;
    std::string script;
    // Parts the flow's points are split over: about a dozen points a part in
    // CI, so that a part ends well within the test timeout on a loaded
    // machine.
    int parts;
    // The launch is another flow's, from the same phone state, which checks
    // its points: only the points of the flow's own steps are checked here.
    bool launchCheckedElsewhere = false;
};

struct Case {
    Flow flow;
    int part;  // 1 .. flow.parts
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.flow.name << ", part " << c.part << " of " << c.flow.parts; }

std::vector<Case> cases() {
    const std::vector<Flow> flows = {
        {"NewPhonesFirstLaunch", {}, kLaunchOnly, 2},
        {"SignIn", {kLaunchOnly}, kSignIn, 2},
        {"SignOut", {kLaunchOnly, kSignIn}, kSignOut, 2},
        {"ProductToResult", {kLaunchOnly, kSignIn}, kProductToResult, 1, true},
        {"Cedula", {kLaunchOnly, kSignIn}, kCedula, 1, true},
    };
    std::vector<Case> out;
    for (const auto& flow : flows) {
        for (int part = 1; part <= flow.parts; ++part) out.push_back({flow, part});
    }
    return out;
}

// One failure point: the k-th write or open of a run, `what` the reference
// run traced there, failing with `failure`.
struct Point {
    Kind kind;
    int k;
    std::string what;
    std::string failure;
};

// The errno a point fails with: each in turn over the points of a kind, and
// a lock held elsewhere for a SQLite step.
std::string failureFor(int ordinal, const std::string& what) {
    if (what.find("commit") != std::string::npos || what.find("analytics open") != std::string::npos ||
        what.find("messaging open") != std::string::npos) {
        return "SQLITE_BUSY";
    }
    static const char* const kErrors[] = {"EACCES", "ENOSPC", "EIO"};
    return kErrors[ordinal % 3];
}

// What a program says of a failure: the system's text for the errno,
// SQLite's for its code, or a store's own words for a write or open it
// could not make (a file error's description is in the phone's language).
std::vector<std::string> wordsFor(const std::string& failure) {
    std::vector<std::string> words = {"annot ", "ould not", "can't", "No se ha podido", "ailed", "rror"};
    if (failure == "SQLITE_BUSY") {
        words.insert(words.end(), {"database is locked", std::strerror(EBUSY), "code (5)"});
    } else if (failure == "ENOSPC") {
        words.insert(words.end(), {std::strerror(ENOSPC), "database or disk is full", "code (13)"});
    } else {
        words.insert(words.end(), {std::strerror(failure == "EACCES" ? EACCES : EIO), "disk I/O error", "code (10)"});
    }
    return words;
}

// What the reference run traced: its writes and opens in order, and how
// many of each its launch made.
struct Trace {
    std::vector<std::string> writes;
    std::vector<std::string> opens;
    size_t writesInLaunch = 0;
    size_t opensInLaunch = 0;
};

Trace traced(const Outcome& run) {
    Trace out;
    std::istringstream lines(run.errors);
    for (std::string line; std::getline(lines, line);) {
        const std::string what = line.substr(line.find(": ") + 2);
        if (line.rfind("store write ", 0) == 0) out.writes.push_back(what);
        if (line.rfind("store open ", 0) == 0) out.opens.push_back(what);
    }
    const auto launch = run.launchCounts().value_or(Outcome::Counts{});
    out.writesInLaunch = launch.writes;
    out.opensInLaunch = launch.opens;
    return out;
}

// Whether every point is checked, or every sixth (CI's share).
bool everyPoint() { return std::getenv("ALMAVEL_FAILURE_POINTS") != nullptr; }

// The points of a flow this test checks: those of its steps only when its
// launch is checked elsewhere; every point, or every sixth of each kind
// from the first; of those, this part's share. The reference runs of the
// parts may make a few writes more or fewer (timers): a point's part
// depends on its number alone, so that the parts share the points out.
std::vector<Point> pointsOf(const Trace& trace, const Flow& flow, int part) {
    const size_t stride = everyPoint() ? 1 : 6;
    std::vector<Point> mine;
    for (Kind kind : {Kind::Write, Kind::Open}) {
        const auto& whats = kind == Kind::Write ? trace.writes : trace.opens;
        const size_t first = !flow.launchCheckedElsewhere ? 0 : kind == Kind::Write ? trace.writesInLaunch : trace.opensInLaunch;
        for (size_t i = first; i < whats.size(); i += stride) {
            const size_t ordinal = (i - first) / stride;
            if (ordinal % size_t(flow.parts) != size_t(part - 1)) continue;
            mine.push_back({kind, int(i + 1), whats[i], failureFor(int(ordinal), whats[i])});
        }
    }
    return mine;
}

class FailurePoints : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        prepareStartingPhone(work_, flow().before, backends_, golden_, reportedBefore_);
        if (HasFatalFailure()) return;
        start_ = readStores(golden_->copyTo(work_.path() / "start.read").root());
    }
    void TearDown() override {
        if (HasFailure()) work_.keep();
    }

    const Flow& flow() const { return GetParam().flow; }
    const ns::testing::Backend& backendOf(int worker) const {
        return *backends_[size_t(worker) < backends_.size() ? size_t(worker) : 0];
    }

    void failAt(const Point& point, int worker);

    WorkFolder work_;
    std::vector<std::unique_ptr<ns::testing::Backend>> backends_;
    std::optional<Phone> golden_;
    Stores start_;
    FirstOpens reportedBefore_;
    std::mutex mutex_;
    int failed_ = 0;
    std::vector<std::string> unreached_;
};

void FailurePoints::failAt(const Point& point, int worker) {
    const ns::testing::Backend& backend = backendOf(worker);
    const bool write = point.kind == Kind::Write;
    const std::string noun = write ? "write" : "open";
    const fs::path folder = work_.path() / (noun + std::to_string(point.k));
    copyTree(golden_->root(), folder);
    const Phone phone(folder, backend);
    const size_t batchesAtStart = received(backend).batches;
    const Outcome run = phone.play(flow().script, {{write ? "ALMAVEL_FAIL_AT_WRITE" : "ALMAVEL_FAIL_AT_OPEN",
                                                    std::to_string(point.k)},
                                                   {"ALMAVEL_FAIL_WITH", point.failure},
                                                   {"ALMAVEL_WRITE_TRACE", "1"}});
    // What the run said, beside its phone, for a look when the point fails.
    writeText(folder.string() + ".errors", run.errors);
    const std::string at =
        "the " + noun + " " + std::to_string(point.k) + " (" + point.what + ") failing with " + point.failure;
    SCOPED_TRACE(at);
    EXPECT_EQ(run.status, 0) << "the run did not end as a normal end does\n" << run.tail();

    // The failure's trace line, and a line after it saying what was not written.
    const std::string marker = "store " + noun + " " + std::to_string(point.k) + ": ";
    const auto traceAt = run.errors.find(marker);
    const auto failedAt = traceAt == std::string::npos ? traceAt : run.errors.find(" (fails: ", traceAt);
    if (failedAt == std::string::npos || run.errors.find('\n', traceAt) < failedAt) {
        std::lock_guard lock(mutex_);
        unreached_.push_back(noun + " " + std::to_string(point.k));
    } else {
        std::lock_guard lock(mutex_);
        ++failed_;
        // The program's log goes to either stream; its standard output
        // holds nothing of the failure's before it.
        const std::string after = run.errors.substr(run.errors.find('\n', failedAt) + 1) + "\n" + run.output;
        bool said = false;
        std::istringstream lines(after);
        for (std::string line; !said && std::getline(lines, line);) {
            if (line.rfind("store ", 0) == 0) continue;
            for (const auto& words : wordsFor(point.failure)) said = said || line.find(words) != std::string::npos;
        }
        EXPECT_TRUE(said) << "no line says what could not be " << (write ? "written" : "opened")
                          << "; what the run wrote after it:\n"
                          << run.errors.substr(run.errors.find('\n', failedAt) + 1, 3000);
    }

    const Stores before = readStores(phone.copyTo(folder.string() + ".ended").root());
    const size_t batchesAtEnd = received(backend).batches;
    // Nothing stored before the run is lost by it.
    for (const auto& [key, token] : start_.tokens) {
        const auto it = before.tokens.find(key);
        EXPECT_TRUE(it != before.tokens.end() && it->second == token)
            << "the instance-identity token for " << key << " stored before the run is "
            << (it == before.tokens.end() ? "gone" : "now " + it->second);
    }
    if (start_.appInstanceID) {
        EXPECT_EQ(before.appInstanceID, start_.appInstanceID) << "the app instance id changed";
    }
    if (start_.session && flow().script != kSignOut) {
        EXPECT_TRUE(before.session) << "the SDK's user is gone";
    }
    const std::string screen = run.lastScreen();
    if (screen == "MainViewController" || screen == "ViewController") {
        EXPECT_EQ(screen == "MainViewController", before.session)
            << "the run ends on " << screen << " while the SDK " << (before.session ? "has" : "has no") << " user";
    }

    const Outcome next = phone.play(kLaunchOnly, withoutLeakCheck());
    EXPECT_EQ(next.status, 0) << "the launch after " << at << "\n" << next.tail();
    checkLaunchAfter(at, before, next, phone.root(), backend, reportedBefore_, batchesAtStart, batchesAtEnd);
    if (!HasFailure()) forgetPoint(folder);
}

TEST_P(FailurePoints, EveryFailedStoreWriteOrOpenEndsTheRunNormallyAndLosesNothing) {
    // The reference run: the flow's writes and opens, none failing.
    const Outcome reference = golden_->copyTo(work_.path() / "reference").play(flow().script, {{"ALMAVEL_WRITE_TRACE", "1"}});
    ASSERT_EQ(reference.status, 0) << reference.tail();
    const Trace trace = traced(reference);
    ASSERT_FALSE(trace.writes.empty() || trace.opens.empty()) << "the flow traced no store write or open";
    ASSERT_TRUE(trace.writesInLaunch > 0 && trace.opensInLaunch > 0) << "the run marked no launch in its trace";
    const std::vector<Point> points = pointsOf(trace, flow(), GetParam().part);
    forEachPoint(0, 1, int(points.size()) - 1, pointsAtOnce(), [&](int i, int worker) {
        failAt(points[size_t(i)], worker);
        return true;
    });
    std::printf("%s: %zu store writes and %zu opens (%zu and %zu of them in its launch%s); part %d of %d failed %d of "
                "%zu in turn%s%s\n",
                flow().name, trace.writes.size(), trace.opens.size(), trace.writesInLaunch, trace.opensInLaunch,
                flow().launchCheckedElsewhere ? ", which another flow checks" : "", GetParam().part, flow().parts,
                failed_, points.size(), unreached_.empty() ? "" : "; runs with fewer points did not reach ",
                joined(unreached_).c_str());
    EXPECT_TRUE(points.empty() || failed_ > 0) << "no point failed: the failure hook does not reach the program";
}

INSTANTIATE_TEST_SUITE_P(Flows, FailurePoints, ::testing::ValuesIn(cases()), [](const auto& info) {
    return std::string(info.param.flow.name) + "_part" + std::to_string(info.param.part) + "of" +
           std::to_string(info.param.flow.parts);
});

}  // namespace
}  // namespace endingtest
