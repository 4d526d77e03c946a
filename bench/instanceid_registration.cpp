// Instance identity against the local registration service over loopback
// HTTPS ("ratio" = subject time / baseline time, measured in the same run):
//   - a new installation's first token: the 2048-bit key pair generated and
//     stored in the keychain with its creation time, then the default token
//     registered (signed form request, reply parsed, token cached), against
//     OpenSSL generating a 2048-bit key alone;
//   - a cached token look-up (keychain item, app-version and APNs rules)
//     against one keychain read of the same item.
// Replies arrive on the main queue, which the benchmark thread pumps.

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "instanceid/QRVInstanceIDKeyPair.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/crypto.h"
#include "platform/runloop.h"
#include "support/fixture.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

constexpr const char* kSenderID = "480326711275";

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

class Fixture {
public:
    Fixture() {
        ns::testing::Backend::Options options;
        if (std::filesystem::is_directory("/dev/shm")) {
            dataDir_ = "/dev/shm/almavel-bench-iid-" + std::to_string(::getpid());
            options.dataDir = dataDir_;
        }
        backend_ = ns::testing::Backend::start(options);
        backend_->routeServiceHosts();
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.bench"},
                                                               {"CFBundleShortVersionString", "1.0"}});
        QRVInstanceIDStore::createApplicationSupportSubDirectory(kQRVInstanceIDApplicationSupportSubDirectory);
        manager_ = std::make_unique<QRVInstanceIDTokenManager>();
        keyPairs_ = std::make_unique<QRVInstanceIDKeyPairStore>();
        bool done = false;
        manager_->authService()->fetchCheckinInfoWithHandler(
            [&](QRVInstanceIDCheckinPreferencesPtr, ns::ErrorRef) { done = true; });
        pump(done);
        if (!manager_->authService()->hasValidCheckinInfo()) throw std::runtime_error("check-in failed");
    }
    ~Fixture() {
        manager_.reset();
        backend_.reset();
        std::error_code ec;
        if (!dataDir_.empty()) std::filesystem::remove_all(dataDir_, ec);
    }

    // A fresh key pair, then the first default token with it.
    double firstToken() {
        keyPairs_->deleteSavedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType);
        const auto start = std::chrono::steady_clock::now();
        auto keyPair = keyPairs_->loadKeyPairWithError();
        if (!keyPair) throw std::runtime_error("no key pair");
        bool done = false;
        std::optional<std::string> token;
        manager_->fetchNewTokenWithAuthorizedEntity(kSenderID, "*", keyPair, {},
                                                    [&](std::optional<std::string> t, ns::ErrorRef) {
                                                        token = t;
                                                        done = true;
                                                    });
        pump(done);
        const double elapsed = seconds(start);
        if (!token) throw std::runtime_error("registration failed");
        return elapsed;
    }

    double keyGeneration() {
        const auto start = std::chrono::steady_clock::now();
        auto key = ns::crypto::RSAKey::generate(2048);
        const double elapsed = seconds(start);
        if (!key) throw std::runtime_error("key generation failed");
        return elapsed;
    }

    double cachedLookup(int count) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            auto cached = manager_->tokenWithAuthorizedEntity(kSenderID, "*", {});
            if (!cached.isValid()) throw std::runtime_error("no cached token");
        }
        return seconds(start);
    }

    double keychainRead(int count) {
        QRVInstanceIDAuthKeychain keychain(kQRVInstanceIDTokenKeychainGeneric);
        const auto group = keychain.defaultAccessGroup();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            if (!keychain.passwordForService("*", kSenderID, group)) throw std::runtime_error("no keychain item");
        }
        return seconds(start);
    }

private:
    static void pump(bool& done) {
        if (!ns::RunLoop::main().runUntil([&] { return done; }, 60)) throw std::runtime_error("timed out");
    }

    std::string dataDir_;
    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::unique_ptr<QRVInstanceIDTokenManager> manager_;
    std::unique_ptr<QRVInstanceIDKeyPairStore> keyPairs_;
};

Fixture& fixture() {
    return benchsupport::sharedFixture<Fixture>();
}

void IIDFirstTokenWithNewKeyPair(benchmark::State& state) {
    Fixture& f = fixture();
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        const double s = f.firstToken();
        baseline += f.keyGeneration();
        subject += s;
        state.SetIterationTime(s);
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["keygen ms"] = baseline * 1000 / double(state.iterations());
}

void IIDCachedTokenLookup(benchmark::State& state) {
    Fixture& f = fixture();
    f.firstToken();
    constexpr int kBatch = 200;
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        const double s = f.cachedLookup(kBatch);
        baseline += f.keychainRead(kBatch);
        subject += s;
        state.SetIterationTime(s);
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["lookup us"] = subject * 1e6 / (double(state.iterations()) * kBatch);
    state.counters["read us"] = baseline * 1e6 / (double(state.iterations()) * kBatch);
}

// Key generation time varies widely from key to key (prime search), so the
// first-token benchmark runs long enough to average it out.
BENCHMARK(IIDFirstTokenWithNewKeyPair)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(10);
BENCHMARK(IIDCachedTokenLookup)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2);

}  // namespace
