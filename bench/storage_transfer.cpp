// The storage client against the back end's storage service over loopback
// HTTPS, measured against plain libcurl on the same listener in the same
// run ("ratio" = client time / libcurl time):
//   - a 16 MB object downloaded into memory (dataWithMaxSize) against one
//     libcurl GET of the same URL into a buffer;
//   - the same 16 MB uploaded from memory (putData: the resumable POST and
//     its chunks) against libcurl opening the upload with the same POST and
//     sending every byte in one PUT.
// The service's data dir lives on /dev/shm when there is one, so its
// fsyncs cost next to nothing and the client's own costs show.

#include <curl/curl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "platform/dispatch.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageReference.h"
#include "storage/QRVStorageUtils.h"
#include "support/fixture.h"
#include "support/paired.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

using json = nlohmann::json;

constexpr size_t kObjectBytes = 16 * 1000 * 1000;
constexpr const char* kAPIKey = "AKbench-storage-00000000000000000001";
constexpr const char* kAppID = "1:480326711275:ios:7d1f6c2b9a0e4c3f";
constexpr const char* kBucket = "almavel-pa.quorvanestorage.com";
constexpr const char* kUid = "bench-user";

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// One completion a thread can wait for.
class Done {
public:
    void set(std::string failure = {}) {
        std::lock_guard lock(mutex_);
        done_ = true;
        failure_ = std::move(failure);
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(120), [&] { return done_; }))
            throw std::runtime_error("timed out");
        if (!failure_.empty()) throw std::runtime_error(failure_);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::string failure_;
};

size_t appendBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t keepHeader(char* data, size_t size, size_t count, void* user) {
    std::string line(data, size * count);
    if (strncasecmp(line.c_str(), "Location:", 9) == 0) {
        std::string value = line.substr(9);
        while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
        *static_cast<std::string*>(user) = value;
    }
    return size * count;
}

class Fixture {
public:
    Fixture() {
        ns::testing::Backend::Options options;
        const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        dataDir_ = base / ("almavel-bench-storage-" + std::to_string(::getpid()));
        options.dataDir = dataDir_.string();
        backend_ = ns::testing::Backend::start(options);
        backend_->routeServiceHosts();
        admin("/__admin/auth/apiKeys", {{"apiKey", kAPIKey}, {"appId", kAppID}});
        admin("/__admin/auth/users", {{"email", "bench@almavel.test"}, {"password", "secret-123"}, {"uid", kUid}});
        auto signIn = backend_->post(std::string("/account/v1/signIn?key=") + kAPIKey,
                                     json{{"email", "bench@almavel.test"}, {"password", "secret-123"}}.dump());
        token_ = json::parse(signIn.body, nullptr, false).value("idToken", "");
        if (token_.empty()) throw std::runtime_error("sign-in failed: " + signIn.body);

        QRVApp::configure(std::make_shared<QRVOptions>(
            ns::Dictionary{{"ONDRIX_APP_ID", kAppID}, {"API_KEY", kAPIKey}, {"STORAGE_BUCKET", kBucket}}));
        app_ = QRVApp::defaultApp();
        app_->setGetTokenImplementation([token = token_](bool, QRVApp::TokenCallback callback) {
            callback(token, nullptr);
        });
        storage_ = QRVStorage::storage();
        // Completions on a queue of their own: nothing waits on the main thread.
        storage_->setCallbackQueue(ns::DispatchQueue::serial("bench.storage.callbacks"));
        object_ = storage_->referenceWithPath(std::string("profiles/") + kUid + ".jpg");

        bytes_.resize(kObjectBytes);
        for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = uint8_t(i * 2654435761u >> 24);
        put();

        objectURL_ = backend_->httpsURL(QRVStorageUtils::encodedURLForPath(object_->path()));
        curl_ = curl_easy_init();
        curl_easy_setopt(curl_, CURLOPT_CAINFO, ns::testing::Backend::caPath().c_str());
        authorization_ = curl_slist_append(nullptr, ("Authorization: Quorvane " + token_).c_str());
    }
    ~Fixture() {
        curl_slist_free_all(authorization_);
        curl_easy_cleanup(curl_);
        backend_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dataDir_, ec);
    }

    double get() {
        Done done;
        const auto start = std::chrono::steady_clock::now();
        object_->dataWithMaxSize(int64_t(kObjectBytes), [&](std::shared_ptr<const ns::Data> data, ns::ErrorRef error) {
            if (error || !data || data->size() != kObjectBytes) done.set(error ? error->description() : "short body");
            else done.set();
        });
        done.wait();
        return seconds(start);
    }

    double curlGet() {
        std::string body;
        // Sized up front, as the client sizes its buffer from Content-Length.
        body.reserve(kObjectBytes);
        const auto start = std::chrono::steady_clock::now();
        curl_easy_reset(curl_);
        common(objectURL_ + "?alt=media");
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &appendBody);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body);
        perform(200);
        const double elapsed = seconds(start);
        if (body.size() != kObjectBytes) throw std::runtime_error("libcurl GET: short body");
        return elapsed;
    }

    double put() {
        Done done;
        const auto start = std::chrono::steady_clock::now();
        object_->putData(bytes_, nullptr, [&](QRVStorageMetadataPtr metadata, ns::ErrorRef error) {
            if (error || !metadata || metadata->size() != int64_t(kObjectBytes))
                done.set(error ? error->description() : "no metadata");
            else done.set();
        });
        done.wait();
        return seconds(start);
    }

    double curlPut() {
        const std::string name = QRVStorageUtils::WBNEscapedString(object_->fullPath());
        const std::string metadata = json{{"name", object_->fullPath()}}.dump();
        std::string location, answer;
        const auto start = std::chrono::steady_clock::now();
        curl_easy_reset(curl_);
        common(objectURL_ + "?uploadType=resumable&name=" + name);
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, metadata.c_str());
        curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &keepHeader);
        curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &location);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &appendBody);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer);
        perform(200);

        // The whole body in one PUT to the session URL on this listener.
        auto session = location.substr(location.find("/v0/"));
        curl_easy_reset(curl_);
        common(backend_->httpsURL(session));
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(bytes_.data()));
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(bytes_.size()));
        std::string range = "Content-Range: bytes 0-" + std::to_string(kObjectBytes - 1) + "/" +
                            std::to_string(kObjectBytes);
        curl_slist* headers = curl_slist_append(curl_slist_append(nullptr, range.c_str()), "Expect:");
        headers = curl_slist_append(headers, ("Authorization: Quorvane " + token_).c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &appendBody);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer);
        perform(200);
        curl_slist_free_all(headers);
        return seconds(start);
    }

private:
    void admin(const std::string& path, const json& body) {
        auto reply = backend_->post(path, body.dump());
        if (reply.status != 200) throw std::runtime_error(path + ": " + reply.body);
    }
    void common(const std::string& url) {
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_CAINFO, ns::testing::Backend::caPath().c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, authorization_);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    }
    void perform(long expected) {
        CURLcode rc = curl_easy_perform(curl_);
        long status = 0;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        if (rc != CURLE_OK || status != expected)
            throw std::runtime_error("libcurl: " + std::string(curl_easy_strerror(rc)) + ", status " +
                                     std::to_string(status));
    }

    ns::testing::TempSandbox sandbox_;
    std::filesystem::path dataDir_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::string token_;
    std::shared_ptr<QRVApp> app_;
    QRVStoragePtr storage_;
    QRVStorageReferencePtr object_;
    ns::Data bytes_;
    std::string objectURL_;
    CURL* curl_ = nullptr;
    curl_slist* authorization_ = nullptr;
};

Fixture& fixture() {
    return benchsupport::sharedFixture<Fixture>();
}

template <double (Fixture::*Subject)(), double (Fixture::*Baseline)()>
void runAgainstCurl(benchmark::State& state) {
    const benchsupport::PairedTotals totals = benchsupport::runPaired(
        state, [] { fixture(); }, [] { return (fixture().*Subject)(); }, [] { return (fixture().*Baseline)(); });
    if (!totals.ran) return;
    const double n = double(state.iterations());
    state.counters["ratio"] = totals.subject / totals.baseline;
    state.counters["MB/s"] = double(kObjectBytes) * n / totals.subject / 1e6;
    state.counters["curl MB/s"] = double(kObjectBytes) * n / totals.baseline / 1e6;
}

void StorageDownload16MB(benchmark::State& state) { runAgainstCurl<&Fixture::get, &Fixture::curlGet>(state); }
void StorageUpload16MB(benchmark::State& state) { runAgainstCurl<&Fixture::put, &Fixture::curlPut>(state); }

BENCHMARK(StorageDownload16MB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(StorageUpload16MB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
