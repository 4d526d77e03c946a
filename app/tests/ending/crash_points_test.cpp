// Crash points, enumerated rather than timed: every store write a flow of
// the app makes is in turn the one its process dies at (ALMAVEL_END_AT_WRITE
// =k kills it with SIGKILL just before its k-th write, as a phone ends an
// app), and the next launch must find the phone whole and agreeing with
// itself. A flow is run from the phone state it starts from (the earlier
// flows run to their end on a new phone), with k = 1, 2, ... until a run
// ends by itself: k then passed the flow's number of writes. A flow whose
// launch another flow checks begins after the writes of its launch (the
// trace's mark "launched" in a reference run). CI ends the flow at every
// second write (the first included), ALMAVEL_CRASH_POINTS=1 at every one:
// each point costs two sanitized launches or more. The k of a flow are
// split over several tests (k = part, part + parts, ... of those), so that
// they run beside the other tests; each part has a back end of its own, and
// runs a few points at once (pointsAtOnce), each on its own copy of the
// phone state (a new phone's on a back end of their own).

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "phone_process.h"

namespace endingtest {
namespace {

// Past this many writes a flow writes far more than its steps need: the
// test stops there and says so, with the trace.
constexpr int kMostWrites = 400;

struct Flow {
    const char* name;
    // What brings a new phone to where the flow starts, each to its end.
    std::vector<std::string> before;
    std::string script;
    int parts;
    // The flow's launch is another flow's, from the same phone state, which
    // checks its crash points: here a crash before the first step began
    // (the launch's screen not yet shown) is not launched again.
    bool launchCheckedElsewhere = false;
};

struct Part {
    Flow flow;
    int part;  // 1 .. flow.parts
};

void PrintTo(const Part& part, std::ostream* out) {
    *out << part.flow.name << ", part " << part.part << " of " << part.flow.parts;
}

std::vector<Part> parts() {
    const std::vector<Flow> flows = {
        // About a dozen points a part in CI: a part then ends well within
        // the test timeout on a loaded machine, for the price of preparing
        // its starting phone once more.
        {"NewPhonesFirstLaunch", {}, kLaunchOnly, 4},
        {"SignIn", {kLaunchOnly}, kSignIn, 3},
        // A signed-in phone's launch makes most of these two flows' writes:
        // the sign-out flow checks it, the product's only its own steps.
        {"SignOut", {kLaunchOnly, kSignIn}, kSignOut, 3},
        // Each of the product's points runs a whole launch before its own
        // steps: half as many a part.
        {"ProductToResult", {kLaunchOnly, kSignIn}, kProductToResult, 2, true},
    };
    std::vector<Part> out;
    for (const auto& flow : flows) {
        for (int part = 1; part <= flow.parts; ++part) out.push_back({flow, part});
    }
    return out;
}

class CrashPoints : public ::testing::TestWithParam<Part> {
protected:
    void SetUp() override {
        prepareStartingPhone(work_, flow().before, backends_, golden_, reportedBefore_);
        if (HasFatalFailure()) return;
        const Leftovers left = leftovers(golden_->root());
        EXPECT_TRUE(left.temporaries.empty() && left.setAside.empty())
            << "the phone the flow starts from: " << joined(left.temporaries) << " " << joined(left.setAside);
        const Stores start = readStores(golden_->copyTo(work_.path() / "start.read").root());
        if (!flow().before.empty()) {
            FirstOpens all = reportedBefore_;
            all += start.firstOpens;
            EXPECT_EQ(distinct(all), 1u) << "the phone the flow starts from has its one first open (at "
                                         << describe(reportedBefore_) << " received by the back end, at "
                                         << describe(start.firstOpens) << " in its analytics store)";
        }
    }

    void TearDown() override {
        if (HasFailure()) work_.keep();
    }

    const Flow& flow() const { return GetParam().flow; }

    // Runs the flow ending at its k-th write, launches the app again and
    // checks the phone. True when the run ended by itself (k passed the
    // flow's writes) or could not go on.
    bool crashAt(int k, int worker);

    WorkFolder work_;
    std::vector<std::unique_ptr<ns::testing::Backend>> backends_;
    std::optional<Phone> golden_;
    // The first opens the back end received while the phone was prepared.
    FirstOpens reportedBefore_;
    // Guards what the points found, below: they run at once.
    std::mutex mutex_;
    // The flow's writes, from the trace of the run that ended by itself.
    std::optional<std::vector<std::string>> writes_;
    std::vector<int> crashed_;
    // The trace of the last run that crashed.
    std::vector<std::string> lastWrites_;
    // Crash points of a launch another flow checks.
    int inLaunch_ = 0;
};

bool CrashPoints::crashAt(int k, int worker) {
    const ns::testing::Backend& backend = *backends_[size_t(worker) < backends_.size() ? size_t(worker) : 0];
    const fs::path folder = work_.path() / ("k" + std::to_string(k));
    copyTree(golden_->root(), folder);
    const Phone phone(folder, backend);
    const size_t batchesAtStart = received(backend).batches;
    const Outcome run = phone.play(flow().script, {{"ALMAVEL_END_AT_WRITE", std::to_string(k)}, {"ALMAVEL_WRITE_TRACE", "1"}});
    const auto writes = run.writes();
    std::string at;
    std::unique_lock lock(mutex_);
    if (run.status == 0) {
        writes_ = writes;
        at = "no crash (the flow's " + std::to_string(writes.size()) + " writes passed)";
    } else if (run.status == 128 + SIGKILL && flow().launchCheckedElsewhere && !run.launched()) {
        ++inLaunch_;
        forgetPoint(folder);
        return false;
    } else if (run.status == 128 + SIGKILL) {
        crashed_.push_back(k);
        lastWrites_ = writes;
        at = "the crash at write " + std::to_string(k) + " (" + (writes.empty() ? "untraced" : writes.back()) + ")";
    } else {
        ADD_FAILURE() << "at write " << k << " the flow ended with status " << run.status << "\n" << run.tail();
        return true;
    }
    lock.unlock();
    // What the run left, before anything opens the phone again.
    const Stores before = readStores(phone.copyTo(folder.string() + ".ended").root());
    const size_t batchesAtEnd = received(backend).batches;
    const Outcome next = phone.play(kLaunchOnly, withoutLeakCheck());
    EXPECT_EQ(next.status, 0) << "the launch after " << at << "\n" << next.tail();
    checkLaunchAfter(at, before, next, phone.root(), backend, reportedBefore_, batchesAtStart, batchesAtEnd);
    if (!HasFailure()) forgetPoint(folder);
    return run.status == 0;
}

// How many of each kind ("store write 7: keychain write" is a keychain
// write), most first.
std::string byKind(const std::vector<std::string>& writes) {
    std::map<std::string, int> counts;
    for (const auto& line : writes) counts[line.substr(line.find(": ") + 2)]++;
    std::vector<std::pair<int, std::string>> sorted;
    for (const auto& [what, count] : counts) sorted.emplace_back(-count, what);
    std::sort(sorted.begin(), sorted.end());
    std::string out;
    for (const auto& [count, what] : sorted) out += (out.empty() ? "" : ", ") + std::to_string(-count) + " " + what;
    return out;
}

double childProcessorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_P(CrashPoints, EveryStoreWriteOfTheFlowIsACrashTheNextLaunchRecoversFrom) {
    const auto started = std::chrono::steady_clock::now();
    const double processorAtStart = childProcessorSeconds();
    const int parts = flow().parts;
    // A launch another flow checks is not ended here: the points begin
    // after the writes a reference run's launch made.
    int first = 1;
    if (flow().launchCheckedElsewhere) {
        const Outcome reference =
            golden_->copyTo(work_.path() / "reference").play(flow().script, {{"ALMAVEL_WRITE_TRACE", "1"}});
        ASSERT_EQ(reference.status, 0) << reference.tail();
        const auto launch = reference.launchCounts();
        ASSERT_TRUE(launch) << "the run marked no launch in its trace\n" << reference.tail();
        first = int(launch->writes) + 1;
    }
    const int stride = std::getenv("ALMAVEL_CRASH_POINTS") ? 1 : 2;
    std::atomic<int> ended{kMostWrites + 1};
    forEachPoint(first + (GetParam().part - 1) * stride, parts * stride, kMostWrites, pointsAtOnce(), [&](int k, int worker) {
        if (!crashAt(k, worker) && !HasFatalFailure()) return true;
        for (int seen = ended; k < seen && !ended.compare_exchange_weak(seen, k);) {
        }
        return false;
    });
    const int k = ended;
    std::sort(crashed_.begin(), crashed_.end());
    EXPECT_LE(k, kMostWrites) << "the flow was still writing at write " << kMostWrites << ": "
                              << byKind(lastWrites_);
    ASSERT_TRUE(writes_) << "no run of the flow ended by itself";
    EXPECT_FALSE(crashed_.empty()) << "no point of the part ended a run for the next launch to recover from";
    EXPECT_FALSE(writes_->empty()) << "the program traced no store write: it cannot be ended at one";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string inLaunch =
        flow().launchCheckedElsewhere ? " (and at " + std::to_string(inLaunch_) + " in its launch, which another flow checks)" : "";
    std::printf("%s: %zu store writes (%s); part %d of %d ended the flow at %zu of them%s and ran it to its end at k=%d, "
                "in %.0f s (%.0f s of the program's processor time)\n",
                flow().name, writes_->size(), byKind(*writes_).c_str(), GetParam().part, parts, crashed_.size(),
                inLaunch.c_str(), k, seconds, childProcessorSeconds() - processorAtStart);
    RecordProperty("writes", int(writes_->size()));
    RecordProperty("crashes", int(crashed_.size()));
}

INSTANTIATE_TEST_SUITE_P(Flows, CrashPoints, ::testing::ValuesIn(parts()), [](const auto& info) {
    return std::string(info.param.flow.name) + "_part" + std::to_string(info.param.part) + "of" +
           std::to_string(info.param.flow.parts);
});

}  // namespace
}  // namespace endingtest
