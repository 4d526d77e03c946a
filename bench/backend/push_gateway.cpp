// The push gateway's cost per request as its devices grow: one back end
// with 10 devices registers 50 new ones, one at a time, then is filled to
// 10,000 and registers 50 more ("ratio" = time per registration at 10,000
// devices / at 10; one that grows with the devices shows here). A device's
// message fetch is timed the same way at both sizes, a payload queued for
// it (untimed) before each ("fetch ratio"). Every iteration starts a fresh
// back end, so the small side is really small; it is stopped and its data
// dir removed before the next.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "../backend_process.h"

namespace {

using namespace benchsupport;
using json = nlohmann::json;

constexpr size_t kSmall = 10;
constexpr size_t kLarge = 10000;
constexpr size_t kTimed = 50;

// The device side of the gateway on one kept-alive connection.
class Gateway {
public:
    explicit Gateway(const BackendProcess& backend) : backend_(backend), client_("127.0.0.1", backend.httpPort) {
        client_.set_keep_alive(true);
        // A request's head and body go out as two writes: without this the
        // body waits for the server's delayed acknowledgement of the head.
        client_.set_tcp_nodelay(true);
        client_.set_read_timeout(60, 0);
    }

    std::string registerDevice(size_t index) {
        const json body{{"bundleId", "com.almavel.tienda"}, {"deviceId", "device-" + std::to_string(index)}};
        auto reply = client_.Post("/push/v1/devices", body.dump(), "application/json");
        if (!reply || reply->status != 200) throw std::runtime_error("a registration failed");
        return json::parse(reply->body).at("deviceToken").get<std::string>();
    }

    // Registers devices until there are `count`.
    void fillTo(size_t count) {
        while (tokens_.size() < count) tokens_.push_back(registerDevice(tokens_.size()));
    }

    // The devices registered again, as many requests as are timed: the
    // fresh back end's first answers are slower, which would flatter the
    // large side.
    void warmUp() {
        for (size_t i = 0; i < kTimed; ++i) registerDevice(i % tokens_.size());
    }

    // Seconds for kTimed new devices, registered one after another.
    double timedRegistrations() {
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < kTimed; ++i) tokens_.push_back(registerDevice(tokens_.size()));
        return seconds(start);
    }

    // Seconds for kTimed fetches of one queued payload each, from devices
    // spread over those registered.
    double timedFetches() {
        double total = 0;
        for (size_t i = 0; i < kTimed; ++i) {
            const std::string& token = tokens_[i * tokens_.size() / kTimed];
            backend_.admin("POST", "/__admin/push/v1/send", json{{"deviceToken", token}, {"payload", {{"n", i}}}});
            const auto start = std::chrono::steady_clock::now();
            auto reply = client_.Get("/push/v1/devices/" + token + "/messages");
            total += seconds(start);
            if (!reply || reply->status != 200 || json::parse(reply->body).at("messages").size() != 1) {
                throw std::runtime_error("a fetch did not bring its payload");
            }
        }
        return total;
    }

private:
    const BackendProcess& backend_;
    httplib::Client client_;
    std::vector<std::string> tokens_;
};

void PushRegistrationAt10kDevices(benchmark::State& state) {
    double small = 0, large = 0, smallFetch = 0, largeFetch = 0;
    try {
        for (auto _ : state) {
            BackendProcess backend;
            Gateway gateway(backend);
            gateway.fillTo(kSmall);
            gateway.warmUp();
            small += gateway.timedRegistrations();
            smallFetch += gateway.timedFetches();
            gateway.fillTo(kLarge);
            const double registrations = gateway.timedRegistrations();
            large += registrations;
            largeFetch += gateway.timedFetches();
            state.SetIterationTime(registrations);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const double ops = double(kTimed * state.iterations());
    state.counters["ratio"] = large / small;
    state.counters["us/op"] = large / ops * 1e6;
    state.counters["at 10 us/op"] = small / ops * 1e6;
    state.counters["fetch ratio"] = largeFetch / smallFetch;
    state.counters["fetch us"] = largeFetch / ops * 1e6;
    state.counters["fetch at 10 us"] = smallFetch / ops * 1e6;
}

BENCHMARK(PushRegistrationAt10kDevices)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
