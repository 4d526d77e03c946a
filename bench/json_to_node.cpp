// A 4 MB JSON object of 100,000 children (small product records) turned
// into a node (ns::json::parse, then +[FSnapshotUtilities nodeFrom:] with its
// validation), against nlohmann::json::parse of the same text alone.
// Target: ratio at most 3.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>

#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"

namespace {

// 100,000 records of about 40 bytes: a product code and a small record.
std::string sampleText(int children) {
    std::string text = "{";
    for (int i = 0; i < children; ++i) {
        if (i) text += ",";
        text += "\"P" + std::to_string(7450000 + i) + "\":{\"d\":\"N" + std::to_string(i) +
                "\",\"p\":" + std::to_string(1 + i % 97) + ".5,\"s\":" + std::to_string(i % 13) + "}";
    }
    return text + "}";
}

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void JsonTextToNode(benchmark::State& state) {
    std::string text = sampleText(int(state.range(0)));
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] {
            FNodePtr node = FSnapshotUtilities::nodeFrom(ns::json::parse(text));
            benchmark::DoNotOptimize(node);
        });
        baseline += secondsOf([&] { benchmark::DoNotOptimize(nlohmann::json::parse(text)); });
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["json_MB"] = double(text.size()) / 1e6;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(JsonTextToNode)->ArgName("children")->Arg(100000)->Unit(benchmark::kMillisecond);

// The same text read straight into a node (FSnapshotUtilities::nodeFromJsonText),
// without the values in between.
void JsonTextReaderToNode(benchmark::State& state) {
    std::string text = sampleText(int(state.range(0)));
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] { benchmark::DoNotOptimize(FSnapshotUtilities::nodeFromJsonText(text)); });
        baseline += secondsOf([&] { benchmark::DoNotOptimize(nlohmann::json::parse(text)); });
    }
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(JsonTextReaderToNode)->ArgName("children")->Arg(100000)->Unit(benchmark::kMillisecond);

// The conversion step alone (value already parsed), for the breakdown.
void JsonValueToNode(benchmark::State& state) {
    std::string text = sampleText(int(state.range(0)));
    ns::Value value = ns::json::parse(text);
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] { benchmark::DoNotOptimize(FSnapshotUtilities::nodeFrom(value)); });
        baseline += secondsOf([&] { benchmark::DoNotOptimize(nlohmann::json::parse(text)); });
    }
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(JsonValueToNode)->ArgName("children")->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
