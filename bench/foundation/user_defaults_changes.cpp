// Many small changes to the standard user defaults, as analytics' persisted
// state and the app make them: setInteger and setString, one call per
// change, on eight keys each, in a domain of 40 stored keys. Timed until the
// last call returns ("us/change"); the synchronize() after them, which
// leaves every change on disk however the store keeps it, is a counter of
// its own ("synchronize ms"), and so is the two together per change.
// Against one write(2) per change of the same key and value appended to a
// file beside the domain's: what a change that is on disk when its call
// returns costs at the least ("ratio" = defaults / plain writes).
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "testing/temp_sandbox.h"

namespace {

constexpr int kChanges = 1000;
constexpr int kKeysPerKind = 8;
constexpr int kStoredKeys = 40;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Fixture {
public:
    Fixture() {
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "pa.almavel.asistente"}});
        defaults_ = ns::UserDefaults::standard();
        for (int i = 0; i < kStoredKeys; ++i) {
            defaults_->setString("stored value " + std::to_string(i), "stored_" + std::to_string(i));
        }
        if (!defaults_->synchronize()) throw std::runtime_error("the defaults were not written");
        for (int i = 0; i < kKeysPerKind; ++i) {
            integerKeys_.push_back("counter_" + std::to_string(i));
            stringKeys_.push_back("state_" + std::to_string(i));
        }
        for (int i = 0; i < kChanges; ++i) texts_.push_back("screen " + std::to_string(i % 97));
        plainPath_ = sandbox_.sandbox()->preferencesPath() + "/plain-records";
    }
    ~Fixture() {
        defaults_->synchronize();
        defaults_.reset();
        ns::UserDefaults::resetForTesting();
        // A write the defaults timed finds the folder still there.
        ns::waitForQueuedWork(30);
    }

    double changes(int64_t round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kChanges; i += 2) {
            defaults_->setInteger(round * kChanges + i, integerKeys_[size_t(i / 2 % kKeysPerKind)]);
            defaults_->setString(texts_[size_t(i)], stringKeys_[size_t(i / 2 % kKeysPerKind)]);
        }
        return secondsSince(start);
    }
    double synchronize() {
        const auto start = std::chrono::steady_clock::now();
        if (!defaults_->synchronize()) throw std::runtime_error("synchronize failed");
        return secondsSince(start);
    }
    // The same keys and values, one write(2) each, to a file made afresh.
    double plainWrites(int64_t round) {
        const int fd = ::open(plainPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error("cannot open " + plainPath_);
        bool ok = true;
        std::string record;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kChanges && ok; i += 2) {
            record = integerKeys_[size_t(i / 2 % kKeysPerKind)];
            record += '=';
            record += std::to_string(round * kChanges + i);
            record += '\n';
            ok = ::write(fd, record.data(), record.size()) == ssize_t(record.size());
            record = stringKeys_[size_t(i / 2 % kKeysPerKind)];
            record += '=';
            record += texts_[size_t(i)];
            record += '\n';
            ok = ok && ::write(fd, record.data(), record.size()) == ssize_t(record.size());
        }
        const double elapsed = secondsSince(start);
        ::close(fd);
        if (!ok) throw std::runtime_error("a plain write failed");
        return elapsed;
    }

private:
    ns::testing::TempSandbox sandbox_;
    std::shared_ptr<ns::UserDefaults> defaults_;
    std::vector<std::string> integerKeys_;
    std::vector<std::string> stringKeys_;
    std::vector<std::string> texts_;
    std::string plainPath_;
};

void UserDefaultsSmallChanges(benchmark::State& state) {
    double changes = 0, synchronize = 0, plain = 0;
    try {
        Fixture fixture;
        int64_t round = 0;
        for (auto _ : state) {
            const double c = fixture.changes(++round);
            synchronize += fixture.synchronize();
            plain += fixture.plainWrites(round);
            changes += c;
            state.SetIterationTime(c);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const double total = double(state.iterations()) * kChanges;
    state.counters["ratio"] = changes / plain;
    state.counters["us/change"] = changes / total * 1e6;
    state.counters["write us/change"] = plain / total * 1e6;
    state.counters["synchronize ms"] = synchronize / double(state.iterations()) * 1e3;
    state.counters["with synchronize us/change"] = (changes + synchronize) / total * 1e6;
    state.SetItemsProcessed(int64_t(total));
}

BENCHMARK(UserDefaultsSmallChanges)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1);

}  // namespace

BENCHMARK_MAIN();
