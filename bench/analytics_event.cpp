// A public event of ten parameters (text and numbers, as an app logs a
// purchase) taken the way the analytics facade takes it: the name checked,
// every parameter name and value checked and normalised into the event's
// values, the event made. The baseline copies the same parameters into a
// plain std::map<std::string, ns::Value>: what holding them at all costs,
// so the difference is what the checks and the conversion cost.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <string>

#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEvent.h"
#include "analytics/QRVAEventUtilities.h"

namespace {

QRVAObjectParameters purchaseParameters() {
    return QRVAObjectParameters{
        {"item_id", ns::Value("7450001123456")},
        {"item_name", ns::Value("Café molido 500 g")},
        {"item_category", ns::Value("despensa")},
        {"quantity", ns::Value(2)},
        {"price", ns::Value(4.75)},
        {"currency", ns::Value("PAB")},
        {"store_id", ns::Value("PA-0042")},
        {"coupon", ns::Value("VERANO24")},
        {"discount", ns::Value(0.5)},
        {"transaction_id", ns::Value("T-2024-000981")},
    };
}

// What the facade does with a public event before it is queued.
std::optional<QRVAEvent> takeEvent(const QRVAObjectParameters& parameters) {
    if (!QRVADataTypeValidator::isValidPublicEventName("purchase") || QRVAHasArrayParameters(parameters)) {
        return std::nullopt;
    }
    return QRVAEvent::initWithOrigin("app", true, "purchase", 1700000000.25, 0, parameters);
}

constexpr int kBatch = 64;

template <class F>
double secondsOf(F f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void AnalyticsPublicEvent10Params(benchmark::State& state) {
    const QRVAObjectParameters parameters = purchaseParameters();
    auto check = takeEvent(parameters);
    if (!check || check->parameters().size() != 11 || check->parameters().contains("_err")) {
        state.SkipWithError("the event did not keep its ten parameters");
        return;
    }
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] { benchmark::DoNotOptimize(takeEvent(parameters)); });
        baseline += secondsOf([&] {
            std::map<std::string, ns::Value> plain(parameters.begin(), parameters.end());
            benchmark::DoNotOptimize(plain);
        });
    }
    state.counters["ratio"] = subject / baseline;
    state.SetItemsProcessed(int64_t(state.iterations()) * kBatch);
}
BENCHMARK(AnalyticsPublicEvent10Params)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
