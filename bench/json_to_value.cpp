// ns::json::parse (nlohmann-json plus conversion to ns::Value) against
// nlohmann::json::parse alone on the same text: the cost of our value type.
#include <benchmark/benchmark.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/json.h"

namespace {

std::string sampleText(int products) {
    std::string text = "{";
    for (int i = 0; i < products; ++i) {
        if (i) text += ",";
        text += "\"" + std::to_string(7450000000 + i) + "\":{\"Descripcion\":\"Producto " + std::to_string(i) +
                "\",\"Precio\":" + std::to_string(1 + i % 97) + ".25,\"Existencia\":" + std::to_string(i % 13) +
                ",\"Oferta\":" + (i % 3 ? "false" : "true") + "}";
    }
    return text + "}";
}

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void JsonTextToValue(benchmark::State& state) {
    std::string text = sampleText(int(state.range(0)));
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] { benchmark::DoNotOptimize(ns::json::parse(text)); });
        baseline += secondsOf([&] { benchmark::DoNotOptimize(nlohmann::json::parse(text)); });
    }
    state.counters["ratio"] = subject / baseline;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(JsonTextToValue)->ArgName("products")->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
