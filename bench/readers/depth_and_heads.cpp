// Two readers over inputs that once cost them more than linear time or
// stack, each at 1, 2, 4 and 8 times its first size ("scale"); "ns/byte"
// should stay flat as the scale grows, "read" is 1 for an input taken and 0
// for one refused, and "peak_MB" is the most memory one reading holds above
// what the process held before it (measured once, after the timed runs).
//
//   LegacyDeepPath    the cache's move of an older-layout pending update
//                     whose path has 45,000 * scale keys (90 KB at 1x):
//                     refused, a location lies at most 1,032 levels deep
//   LegacyDeepMember  the same with a member path of 45,000 * scale keys
//   LegacyRowDeepPath the reader of one such row alone, without the stores
//   LegacyDeepest     an update at the deepest a location may lie (a path
//                     of 1,000 keys, a member of 32), moved and restored;
//                     "scale" is how many such rows are moved
//   DeepCompoundWrite a compound write with one member 45,000 * scale keys
//                     deep, built, listed and let go (the data model's tree
//                     operations, none of which calls itself per key)
//   HeadBareFields    an HTTP response head of 13,200 * scale fields "a:"
//                     (52,818 bytes at 1x): refused, since written out it
//                     would pass 64 KiB
//   HeadBarePieces    the same head arriving in 1,000-byte pieces
//   HeadAtLimit       a head of bare fields exactly 64 KiB once written,
//                     read, written and read again; "scale" copies

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QRVLogger.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/model/FCompoundWrite.h"
#include "platform/file_manager.h"
#include "platform/http_message.h"
#include "platform/keyed_archive.h"
#include "platform/sandbox.h"
#include "../support/process_memory.h"

namespace {

using benchsupport::peakBytes;
using benchsupport::residentBytes;

using ns::Value;

constexpr size_t kManyKeys = 45000;
constexpr size_t kHeadFields = 13200;

std::string keysText(size_t keys) {
    std::string text;
    text.reserve(keys * 2);
    for (size_t i = 0; i < keys; ++i) text += "/k";
    return text;
}

// ---------------------------------------------------------------- memory


// The peak above what was resident before, while `work` runs once. Freed
// memory goes back to the system first, so that little is reused unseen.
double peakOf(const std::function<void()>& work) {
    malloc_trim(0);
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);  // the peak starts again from what is resident
        std::fclose(f);
    }
    const double before = residentBytes();
    work();
    return peakBytes() - before;
}

// One reading timed per iteration; `read` answers whether the input was
// taken.
void measure(benchmark::State& state, size_t bytes, const std::function<bool()>& read) {
    bool taken = false;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        taken = read();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["bytes"] = double(bytes);
    state.counters["read"] = taken ? 1 : 0;
    state.counters["ns/byte"] = seconds * 1e9 / double(state.iterations()) / double(bytes);
    state.counters["peak_MB"] = peakOf([&] { read(); }) / 1e6;
}

// ---------------------------------------------------------------- older pending writes

// The cache over a sandbox of its own, removed when the run ends.
class LegacyStore {
public:
    LegacyStore() {
        std::string path = std::filesystem::temp_directory_path().string() + "/almavel-bench-XXXXXX";
        if (!mkdtemp(path.data())) std::abort();
        root_ = path;
        ns::Sandbox::setCurrent(ns::Sandbox::open(root_));
        engine_ = std::make_unique<FLevelDBStorageEngine>("bench/legacy");
    }
    ~LegacyStore() {
        engine_->close();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // Leaves the rows where an older layout kept them.
    void keep(const std::vector<ns::Data>& rows) {
        engine_->purgeEverything();
        ns::FileManager::defaultManager().createDirectory(folder(), true);
        APLevelDBPtr legacy = APLevelDB::levelDBWithPath(folder() + "/outstanding_puts", nullptr);
        for (size_t i = 0; i < rows.size(); ++i) legacy->setData(rows[i], std::to_string(i + 1));
    }
    // Moves them as a start does; how many writes are then restored.
    size_t move() {
        engine_->runLegacyMigration(repo_);
        return engine_->userWrites().size();
    }

private:
    std::string folder() const { return FLevelDBStorageEngine::quorvaneDir() + "/1/db.example.com_db/v1"; }

    std::string root_;
    FRepoInfo repo_{"db.example.com", true, "db"};
    std::unique_ptr<FLevelDBStorageEngine> engine_;
};

ns::Data legacyUpdate(const std::string& path, const std::string& member) {
    return ns::keyed_archive::archiveRoot(
        "FPendingUpdate", {{"path", Value(path)}, {"data", Value(ns::Dictionary{{member, Value(1)}})}});
}

// The move's own time: the rows are laid down again outside the clock.
// Made by the first benchmark that needs it, removed once all have run.
LegacyStore* gStore = nullptr;

void measureMove(benchmark::State& state, const std::vector<ns::Data>& rows) {
    if (!gStore) gStore = new LegacyStore();
    LegacyStore& store = *gStore;
    size_t bytes = 0;
    for (const auto& row : rows) bytes += row.size();
    size_t restored = 0;
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        store.keep(rows);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        restored = store.move();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["bytes"] = double(bytes);
    state.counters["read"] = restored == rows.size() ? 1 : 0;
    state.counters["ns/byte"] = seconds * 1e9 / double(state.iterations()) / double(bytes);
    store.keep(rows);
    state.counters["peak_MB"] = peakOf([&] { store.move(); }) / 1e6;
}

void LegacyDeepPath(benchmark::State& state) {
    measureMove(state, {legacyUpdate(keysText(kManyKeys * size_t(state.range(0))), "b")});
}

void LegacyDeepMember(benchmark::State& state) {
    measureMove(state, {legacyUpdate("/a", keysText(kManyKeys * size_t(state.range(0))).substr(1))});
}

void LegacyRowDeepPath(benchmark::State& state) {
    const ns::Data row = legacyUpdate(keysText(kManyKeys * size_t(state.range(0))), "b");
    const std::string_view bytes(reinterpret_cast<const char*>(row.data()), row.size());
    measure(state, row.size(), [&] { return FLevelDBStorageEngine::legacyWriteRecord("1", bytes) != nullptr; });
}

void LegacyDeepest(benchmark::State& state) {
    const ns::Data row = legacyUpdate(keysText(kQuorvaneMaxTreeDepth - 32), keysText(32).substr(1));
    measureMove(state, std::vector<ns::Data>(size_t(state.range(0)), row));
}

void DeepCompoundWrite(benchmark::State& state) {
    const std::string member = keysText(kManyKeys * size_t(state.range(0))).substr(1);
    measure(state, member.size(), [&] {
        const FCompoundWrite write = FCompoundWrite::compoundWriteWithValueDictionary({{member, Value(1)}});
        size_t writes = 0;
        write.enumerateWrites([&](const FPath&, const FNodePtr&, bool&) { ++writes; });
        return writes == 1;
    });
}

// ---------------------------------------------------------------- heads

std::string bareFieldsHead(size_t fields) {
    std::string head = "HTTP/1.1 101 A";
    head.reserve(head.size() + fields * 4 + 4);
    for (size_t i = 0; i < fields; ++i) head += "\r\na:";
    return head + "\r\n\r\n";
}

// Read, and when taken written out and read again.
bool readHead(std::string_view head, size_t piece) {
    auto m = ns::HTTPMessage::makeEmpty(false);
    bool taken = true;
    for (size_t at = 0; at < head.size() && taken; at += piece) taken = m.appendBytes(head.substr(at, piece));
    if (!taken || !m.isHeaderComplete()) return false;
    auto again = ns::HTTPMessage::makeEmpty(false);
    return again.appendBytes(m.serialized()) && again.headerFields().size() == m.headerFields().size();
}

void HeadBareFields(benchmark::State& state) {
    const std::string head = bareFieldsHead(kHeadFields * size_t(state.range(0)));
    measure(state, head.size(), [&] { return readHead(head, head.size()); });
}

void HeadBarePieces(benchmark::State& state) {
    const std::string head = bareFieldsHead(kHeadFields * size_t(state.range(0)));
    measure(state, head.size(), [&] { return readHead(head, 1000); });
}

void HeadAtLimit(benchmark::State& state) {
    // Bare fields, then one "b:" whose value fills the head to 64 KiB as
    // written: five bytes a field ("\r\na: ") after the status line.
    const size_t most = 64 * 1024, status = std::string_view("HTTP/1.1 101 A").size();
    const size_t fields = (most - status - 5) / 5;
    const std::string bare = bareFieldsHead(fields);
    const std::string head = bare.substr(0, bare.size() - 4) + "\r\nb:" +
                             std::string(most - status - 5 - fields * 5, 'x') + "\r\n\r\n";
    const size_t copies = size_t(state.range(0));
    measure(state, head.size() * copies, [&] {
        bool taken = true;
        for (size_t i = 0; i < copies; ++i) taken = readHead(head, head.size()) && taken;
        return taken;
    });
}

#define SCALED(name) BENCHMARK(name)->ArgName("scale")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)

SCALED(LegacyDeepPath);
SCALED(LegacyDeepMember);
SCALED(LegacyRowDeepPath);
SCALED(LegacyDeepest);
SCALED(DeepCompoundWrite);
SCALED(HeadBareFields);
SCALED(HeadBarePieces);
SCALED(HeadAtLimit);

}  // namespace

int main(int argc, char** argv) {
    QRVSetLoggerLevel(QRVLoggerLevelError);  // the dropped rows' warnings are built, not written
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete gStore;
    return 0;
}
