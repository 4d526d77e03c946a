// The phone in the browser page, measured as the page meets it ("ratio" =
// subject time / baseline time, in the same run):
//   - subject: a tap posted to the page host (the sign-in screen's "sign up"
//     button), then the page's own follow-up: the state read and the new
//     screen's picture fetched, until its last byte has arrived;
//   - baseline: the same picture's bytes sent again over the same page
//     connection (a fetch of the unchanged screen).
// The difference is what the app and the host add to a tap: the touch
// handled, the new screen laid out and drawn, the picture encoded.
// The page's requests come from a thread of their own, as from a browser;
// the main thread runs the app's main loop, as the program does.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/AppDriver.h"
#include "app/WebHost.h"
#include "platform/runloop.h"
#include "support/app_bench.h"
#include "support/fixture.h"
#include "uikit/UIImage.h"
#include "uikit/renderer.h"

namespace {

using Clock = std::chrono::steady_clock;

class Fixture {
public:
    Fixture() {
        backend_ = appbench::prepareAppLaunch(sandbox_);
        driver_ = almavel::AppDriver::launch();
        host_ = std::make_unique<almavel::WebHost>(driver_);
        port_ = host_->start(0);
    }

    // Runs `requests` on a page thread while the main loop serves them.
    void asPage(const std::function<void(httplib::Client&)>& requests) {
        std::atomic<bool> done{false};
        std::string failure;
        std::thread page([&] {
            try {
                requests(client());
            } catch (const std::exception& e) {
                failure = e.what();
            }
            done = true;
        });
        const bool finished = ns::RunLoop::main().runUntil([&] { return done.load(); }, 60);
        page.join();
        if (!finished) throw std::runtime_error("the page's requests did not end");
        if (!failure.empty()) throw std::runtime_error(failure);
    }

    // What the page does for a tap: post it, read the state, fetch the
    // picture the state names.
    static std::size_t tapAndFetch(httplib::Client& page, const std::string& control) {
        auto tapped = page.Post("/tap", nlohmann::json{{"name", control}}.dump(), "application/json");
        if (!tapped || tapped->status != 200) throw std::runtime_error("the tap on " + control + " was refused");
        auto state = page.Get("/state");
        if (!state || state->status != 200) throw std::runtime_error("no state");
        const auto version = nlohmann::json::parse(state->body).at("version").get<uint64_t>();
        return fetchPicture(page, version);
    }

    static std::size_t fetchPicture(httplib::Client& page, uint64_t version) {
        auto picture = page.Get("/screen.png?v=" + std::to_string(version));
        if (!picture || picture->status != 200 || picture->body.size() < 8) throw std::runtime_error("no picture");
        return picture->body.size();
    }

    // Where a tap's time goes, on the main thread: the tap itself (the new
    // screen made and shown), drawing the window, encoding the picture
    // whole, and encoding it after the last screen's picture as the host
    // does. Each the median of a few taps: one sample on a shared machine
    // says little.
    struct Parts {
        double tap = 0, draw = 0, encode = 0, encodeAfter = 0;
    };
    Parts parts() {
        constexpr int kSamples = 9;
        std::vector<Parts> samples;
        ns::PNGFrameEncoder encoder;
        for (int i = 0; i < kSamples; ++i) {
            encoder.encode(*ns::snapshotWindow(*driver_.window()));
            Parts p;
            auto start = Clock::now();
            if (!driver_.tap("signUp")) throw std::runtime_error(driver_.lastError());
            p.tap = appbench::secondsSince(start);
            start = Clock::now();
            auto picture = ns::snapshotWindow(*driver_.window());
            p.draw = appbench::secondsSince(start);
            start = Clock::now();
            ns::UIImagePNGRepresentation(*picture);
            p.encode = appbench::secondsSince(start);
            start = Clock::now();
            encoder.encode(*picture);
            p.encodeAfter = appbench::secondsSince(start);
            if (!driver_.tap("Cancelar")) throw std::runtime_error(driver_.lastError());
            samples.push_back(p);
        }
        auto median = [&](double Parts::*part) {
            std::vector<double> values;
            for (const auto& p : samples) values.push_back(p.*part);
            std::nth_element(values.begin(), values.begin() + kSamples / 2, values.end());
            return values[kSamples / 2];
        };
        return {median(&Parts::tap), median(&Parts::draw), median(&Parts::encode), median(&Parts::encodeAfter)};
    }

private:
    httplib::Client& client() {
        if (!client_) {
            client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
            client_->set_keep_alive(true);
            client_->set_tcp_nodelay(true);
        }
        return *client_;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    almavel::AppDriver driver_;
    std::unique_ptr<almavel::WebHost> host_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
};

Fixture& fixture() {
    return benchsupport::sharedFixture<Fixture>();
}

void PageTapToPicture(benchmark::State& state) {
    double subject = 0, baseline = 0;
    std::size_t bytes = 0;
    try {
        Fixture& f = fixture();
        for (auto _ : state) {
            double s = 0, b = 0;
            f.asPage([&](httplib::Client& page) {
                const auto start = Clock::now();
                bytes = Fixture::tapAndFetch(page, "signUp");
                s = appbench::secondsSince(start);
                const auto again = Clock::now();
                Fixture::fetchPicture(page, 0);
                b = appbench::secondsSince(again);
                // Back to the sign-in screen, untimed.
                Fixture::tapAndFetch(page, "Cancelar");
            });
            subject += s;
            baseline += b;
            state.SetIterationTime(s);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    const auto n = double(state.iterations());
    Fixture::Parts parts;
    try {
        parts = fixture().parts();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["tap ms"] = parts.tap * 1000;
    state.counters["draw ms"] = parts.draw * 1000;
    state.counters["encode ms"] = parts.encode * 1000;
    state.counters["encode after ms"] = parts.encodeAfter * 1000;
    state.counters["picture KB"] = double(bytes) / 1024;
    state.counters["resend ms"] = baseline * 1000 / n;
}

BENCHMARK(PageTapToPicture)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
