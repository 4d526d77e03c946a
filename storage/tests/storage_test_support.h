#pragma once
// Shared set-up of the storage tests: the real back end on loopback with
// the SDK's hosts routed to it, the default app configured (with its auth
// object), accounts signed in through the account service, and the storage
// service's admin endpoints (objects, faults, the request log).

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "auth/QRVAuth.h"
#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "platform/runloop.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageConstants.h"
#include "storage/QRVStorageReference.h"
#include "storage/QRVStorageUtils.h"
#include "testing/app_backend.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace storagetest {

using json = nlohmann::json;

inline constexpr const char* kAPIKey = "AKtest-storage-000000000000000000001";
inline constexpr const char* kAppID = ns::testing::kTestAppID;
inline constexpr const char* kBucket = ns::testing::kTestStorageBucket;

inline bool pumpUntil(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 120); }

// Lets callbacks that were wrongly queued twice arrive before counting.
inline void settle() { ns::RunLoop::main().runFor(0.3); }

inline ns::Data bytesOf(size_t size, unsigned seed = 7) {
    ns::Data data(size);
    uint32_t x = seed;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 16);
    }
    return data;
}

// What a completion received, and how many times it ran.
template <class Value>
struct Completion {
    int calls = 0;
    bool onMainThread = false;
    Value value{};
    ns::ErrorRef error;
    bool done() const { return calls > 0; }
};

class StorageBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ns::testing::TestApp app{.apiKey = kAPIKey, .storageBucket = kBucket};
        backend_ = ns::testing::startBackendFor(app);
        QRVApp::resetForTesting();
        QRVAuth::resetForTesting();
        QRVStorage::resetForTesting();
        QRVApp::configure(std::make_shared<QRVOptions>(app.options()));
        app_ = QRVApp::defaultApp();
        ASSERT_TRUE(app_);
        auth_ = QRVAuth::auth();
        storage_ = QRVStorage::storage();
    }
    void TearDown() override {
        ns::RunLoop::main().runOnce();
        storage_.reset();
        auth_.reset();
        app_.reset();
        QRVStorage::resetForTesting();
        QRVAuth::resetForTesting();
        QRVApp::resetForTesting();
    }

    // Makes the account and signs it in; returns its uid.
    std::string signIn(const std::string& uid) {
        std::string email = uid + "@almavel.test";
        auto made = backend_->post("/__admin/auth/users",
                                   json{{"email", email}, {"password", "secret-123"}, {"uid", uid}}.dump());
        EXPECT_EQ(made.status, 200) << made.body;
        bool done = false;
        auth_->signInWithEmail(email, "secret-123", [&](std::shared_ptr<QRVUser> user, ns::ErrorRef error) {
            EXPECT_TRUE(user) << (error ? error->description() : "");
            done = true;
        });
        EXPECT_TRUE(pumpUntil([&] { return done; }));
        return uid;
    }

    // Stores an object through the admin endpoint (no rules apply).
    void putObject(const std::string& name, const ns::Data& bytes, const std::string& contentType = "image/jpeg") {
        auto client = backend_->client();
        std::string path = "/__admin/storage/objects?bucket=" + QRVStorageUtils::WBNEscapedString(kBucket) +
                           "&name=" + QRVStorageUtils::WBNEscapedString(name) +
                           "&contentType=" + QRVStorageUtils::WBNEscapedString(contentType);
        auto reply = client->Put(path, reinterpret_cast<const char*>(bytes.data()), bytes.size(), contentType);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status, 200) << reply->body;
    }

    // The storage service's request log, oldest first (every page of it).
    json storageRequests() {
        json all = json::array();
        for (std::size_t offset = 0;;) {
            auto reply = backend_->get("/__admin/storage/requests?offset=" + std::to_string(offset));
            EXPECT_EQ(reply.status, 200) << reply.body;
            json page = json::parse(reply.body, nullptr, false);
            for (auto& r : page["requests"]) all.push_back(std::move(r));
            if (!page.contains("next")) return all;
            offset = page["next"].get<std::size_t>();
        }
    }
    void clearStorageRequests() { backend_->del("/__admin/storage/requests"); }
    std::vector<std::string> requestKinds() {
        std::vector<std::string> kinds;
        for (const auto& r : storageRequests()) kinds.push_back(r["kind"].get<std::string>());
        return kinds;
    }
    void addFault(const json& fault) {
        auto reply = backend_->post("/__admin/storage/faults", fault.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
    }

    Completion<QRVStorageMetadataPtr> put(const QRVStorageReferencePtr& ref, const ns::Data& bytes,
                                          const QRVStorageMetadata* metadata = nullptr) {
        auto result = std::make_shared<Completion<QRVStorageMetadataPtr>>();
        ref->putData(bytes, metadata, [result](QRVStorageMetadataPtr metadata, ns::ErrorRef error) {
            result->onMainThread = ns::RunLoop::isMainThread();
            result->value = std::move(metadata);
            result->error = std::move(error);
            ++result->calls;
        });
        EXPECT_TRUE(pumpUntil([&] { return result->done(); }));
        settle();
        return *result;
    }

    Completion<std::shared_ptr<const ns::Data>> get(const QRVStorageReferencePtr& ref, int64_t maxSize) {
        auto result = std::make_shared<Completion<std::shared_ptr<const ns::Data>>>();
        ref->dataWithMaxSize(maxSize, [result](std::shared_ptr<const ns::Data> data, ns::ErrorRef error) {
            result->onMainThread = ns::RunLoop::isMainThread();
            result->value = std::move(data);
            result->error = std::move(error);
            ++result->calls;
        });
        EXPECT_TRUE(pumpUntil([&] { return result->done(); }));
        settle();
        return *result;
    }

    Completion<QRVStorageMetadataPtr> readMetadata(const QRVStorageReferencePtr& ref) {
        auto result = std::make_shared<Completion<QRVStorageMetadataPtr>>();
        ref->metadataWithCompletion([result](QRVStorageMetadataPtr metadata, ns::ErrorRef error) {
            result->onMainThread = ns::RunLoop::isMainThread();
            result->value = std::move(metadata);
            result->error = std::move(error);
            ++result->calls;
        });
        EXPECT_TRUE(pumpUntil([&] { return result->done(); }));
        return *result;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::shared_ptr<QRVApp> app_;
    std::shared_ptr<QRVAuth> auth_;
    QRVStoragePtr storage_;
};

}  // namespace storagetest
