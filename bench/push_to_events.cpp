// A 4 MB data push (40,000 products of 5 fields) from JSON text through
// +[FSnapshotUtilities nodeFrom:] and the sync tree's server overwrite, on a
// tree with one value observer and one orderByChild limitToLast(50)
// observer, to the events handed to a queue that drops them; against
// nlohmann::json::parse of the same text alone. Target: ratio at most 1.5.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>

#include "database/model/FSnapshotUtilities.h"
#include "database/sync/FSyncTree.h"
#include "platform/json.h"

namespace {

std::string sampleText(int products) {
    std::string text = "{";
    for (int i = 0; i < products; ++i) {
        if (i) text += ",";
        text += "\"" + std::to_string(7450000000 + i) + "\":{\"Descripcion\":\"Producto " + std::to_string(i) +
                "\",\"Precio\":" + std::to_string(1 + (i * 7919) % 4999) + ".25,\"Existencia\":" +
                std::to_string(i % 13) + ",\"Oferta\":" + (i % 3 ? "false" : "true") + ",\"Pasillo\":\"P" +
                std::to_string(i % 40) + "\"}";
    }
    return text + "}";
}

// A queue that drops what it is given: the cost measured stops at the hand-off.
class DropQueue final : public ns::DispatchQueue {
public:
    DropQueue() : ns::DispatchQueue("drop", Kind::Serial) {}
    bool isCurrent() const override { return false; }
    void async(ns::Block block) override { benchmark::DoNotOptimize(block); }
    void sync(const ns::Block&) override {}
    void barrierAsync(ns::Block) override {}
    void suspend() override {}
    void resume() override {}
    bool isSuspended() const override { return false; }
};

// Hands each event's data to the queue, as the public registrations do.
class HandOffRegistration final : public FEventRegistration {
public:
    explicit HandOffRegistration(std::set<QRVDataEventType> types) : types_(std::move(types)) {}
    bool responseTo(QRVDataEventType type) const override { return types_.count(type) > 0; }
    FEventPtr createEventFrom(const FChange& change, const FQuerySpec& query) override;
    void fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr& queue) override {
        queue->async([event] { benchmark::DoNotOptimize(event); });
    }
    FEventPtr createCancelEventFromError(const ns::ErrorRef&, const FPath&) override { return nullptr; }
    bool matches(const FEventRegistration& other) const override { return &other == this; }
    uint64_t handle() const override { return 1; }

private:
    std::set<QRVDataEventType> types_;
};

class HandOffEvent final : public FEvent {
public:
    HandOffEvent(FEventRegistrationPtr registration, FPath path, FIndexedNodePtr data, std::optional<std::string> prev)
        : registration_(std::move(registration)), path_(std::move(path)), data_(std::move(data)), prev_(std::move(prev)) {}
    FPath path() const override { return path_; }
    void fireEventOnQueue(const ns::DispatchQueuePtr& queue) override { registration_->fireEvent(selfEvent(), queue); }
    bool isCancelEvent() const override { return false; }

private:
    FEventRegistrationPtr registration_;
    FPath path_;
    FIndexedNodePtr data_;
    std::optional<std::string> prev_;
};

FEventPtr HandOffRegistration::createEventFrom(const FChange& change, const FQuerySpec& query) {
    return std::make_shared<HandOffEvent>(selfRegistration(), query.path(), change.indexedNode(), change.prevKey());
}

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void PushToEvents(benchmark::State& state) {
    std::string text = sampleText(int(state.range(0)));
    FPath productos("/Productos");
    FEventRaiser raiser(std::make_shared<DropQueue>());
    double subject = 0, baseline = 0, parsing = 0, converting = 0;
    size_t events = 0;
    for (auto _ : state) {
        auto tree = FSyncTree::make(nullptr, FListenProvider());
        tree->addEventRegistration(std::make_shared<HandOffRegistration>(std::set<QRVDataEventType>{QRVDataEventTypeValue}),
                                   FQuerySpec::defaultQueryAtPath(productos));
        auto top = FQueryParams::defaultInstance()->orderBy(FPathIndex::make(FPath("Precio")))->limitToLast(50);
        tree->addEventRegistration(
            std::make_shared<HandOffRegistration>(std::set<QRVDataEventType>{
                QRVDataEventTypeChildAdded, QRVDataEventTypeChildRemoved, QRVDataEventTypeChildChanged,
                QRVDataEventTypeChildMoved}),
            FQuerySpec(productos, top));
        // The split of the subject: JSON text to values, values to a node,
        // and the rest (sync tree, events, releasing the values).
        subject += secondsOf([&] {
            const auto start = std::chrono::steady_clock::now();
            ns::Value value = ns::json::parse(text);
            const auto parsed = std::chrono::steady_clock::now();
            FNodePtr data = FSnapshotUtilities::nodeFrom(value);
            const auto converted = std::chrono::steady_clock::now();
            parsing += std::chrono::duration<double>(parsed - start).count();
            converting += std::chrono::duration<double>(converted - parsed).count();
            FEventList list = tree->applyServerOverwriteAtPath(productos, data);
            raiser.raiseEvents(list);
            events = list.size();
        });
        baseline += secondsOf([&] { benchmark::DoNotOptimize(nlohmann::json::parse(text)); });
    }
    state.counters["ratio"] = subject / baseline;
    const double perRun = 1e3 / double(state.iterations());
    state.counters["parse ms"] = baseline * perRun;
    state.counters["to values ms"] = parsing * perRun;
    state.counters["to node ms"] = converting * perRun;
    state.counters["events"] = double(events);
    state.counters["json_MB"] = double(text.size()) / 1e6;
}
BENCHMARK(PushToEvents)->ArgName("products")->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
