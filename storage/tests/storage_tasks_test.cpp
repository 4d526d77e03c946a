// Tasks without a network: snapshot statuses per state, observer handles,
// statuses already reached and refused statuses.

#include <gtest/gtest.h>

#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "platform/runloop.h"
#include "storage/QRVStorage.h"
#include "storage/QRVStorageConstants.h"
#include "storage/QRVStorageReference.h"
#include "testing/temp_sandbox.h"

namespace {

class StorageTasksTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVApp::resetForTesting();
        QRVStorage::resetForTesting();
        QRVApp::configure(std::make_shared<QRVOptions>(ns::Dictionary{{"ONDRIX_APP_ID", "1:1:ios:1"},
                                                                      {"API_KEY", "AKtasks"},
                                                                      {"STORAGE_BUCKET", "tasks-bucket"}}));
        auto ref = QRVStorage::storage()->referenceWithPath("a/b.jpg");
        // Made but never started.
        task_ = std::make_shared<QRVStorageDownloadTask>(ref, ref->storage()->fetcherServiceForApp(), std::nullopt);
    }
    void TearDown() override {
        ns::RunLoop::main().runOnce();
        task_.reset();
        QRVStorage::resetForTesting();
        QRVApp::resetForTesting();
    }
    bool pump(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 30); }

    ns::testing::TempSandbox sandbox_;
    QRVStorageDownloadTaskPtr task_;
};

TEST_F(StorageTasksTest, SnapshotsShowTheStatusOfEachState) {
    struct Case {
        int64_t state;
        QRVStorageTaskStatus status;
        const char* description;
    };
    const Case cases[] = {
        {0, QRVStorageTaskStatusUnknown, "<State: Unknown>"}, {1, QRVStorageTaskStatusResume, "<State: Resume>"},
        {2, QRVStorageTaskStatusResume, "<State: Resume>"},   {3, QRVStorageTaskStatusResume, "<State: Resume>"},
        {4, QRVStorageTaskStatusProgress, nullptr},            {5, QRVStorageTaskStatusPause, "<State: Paused>"},
        {6, QRVStorageTaskStatusSuccess, "<State: Success>"}, {7, QRVStorageTaskStatusFailure, nullptr},
        {8, QRVStorageTaskStatusPause, "<State: Paused>"},    {9, QRVStorageTaskStatusFailure, nullptr},
        {10, QRVStorageTaskStatusSuccess, "<State: Success>"}, {11, QRVStorageTaskStatusFailure, nullptr},
        {12, QRVStorageTaskStatusUnknown, "<State: Unknown>"},
    };
    task_->setError(ns::Error::make("d", 1, "broken"));
    for (const auto& c : cases) {
        task_->setState(c.state);
        auto snapshot = task_->snapshot();
        EXPECT_EQ(snapshot->status(), c.status) << c.state;
        if (c.description) {
            EXPECT_EQ(snapshot->description(), c.description) << c.state;
        }
        EXPECT_EQ(snapshot->task(), task_);
        EXPECT_EQ(snapshot->reference()->fullPath(), "a/b.jpg");
    }
    task_->setState(11);
    EXPECT_EQ(task_->snapshot()->description().rfind("<State: Failed, Error: ", 0), 0u);
    task_->setState(4);
    EXPECT_EQ(task_->snapshot()->description().rfind("<State: Progress, Progress: <NSProgress", 0), 0u);
}

TEST_F(StorageTasksTest, HandlesAddAndRemoveObservers) {
    for (auto status : {QRVStorageTaskStatus(0), QRVStorageTaskStatus(6), QRVStorageTaskStatus(-1)}) {
        try {
            task_->observeStatus(status, [](QRVStorageTaskSnapshotPtr) {});
            ADD_FAILURE() << "status " << status << " was accepted";
        } catch (const ns::Exception& e) {
            EXPECT_EQ(e.name(), ns::kInternalInconsistencyException);
            EXPECT_EQ(e.reason(), kQRVStorageInvalidObserverStatus);
        }
    }
    auto kept = std::make_shared<int>(0);
    std::weak_ptr<int> watch = kept;
    std::string progress = task_->observeStatus(QRVStorageTaskStatusProgress, [kept](QRVStorageTaskSnapshotPtr) {});
    std::string pause = task_->observeStatus(QRVStorageTaskStatusPause, [kept](QRVStorageTaskSnapshotPtr) {});
    kept.reset();
    EXPECT_NE(progress, pause);
    task_->removeObserverWithHandle("no such handle");
    task_->removeObserverWithHandle(progress);
    EXPECT_FALSE(watch.expired());
    task_->removeAllObserversForStatus(QRVStorageTaskStatusProgress);
    EXPECT_FALSE(watch.expired());
    task_->removeAllObserversForStatus(QRVStorageTaskStatusPause);
    EXPECT_TRUE(watch.expired());
}

TEST_F(StorageTasksTest, AStatusAlreadyReachedFiresOnlyTheNewHandler) {
    int first = 0, second = 0;
    // Nothing reached yet.
    task_->observeStatus(QRVStorageTaskStatusResume, [&](QRVStorageTaskSnapshotPtr) { ++first; });
    ns::RunLoop::main().runFor(0.1);
    EXPECT_EQ(first, 0);

    task_->setState(QRVStorageTaskStateRunning);
    task_->observeStatus(QRVStorageTaskStatusResume, [&](QRVStorageTaskSnapshotPtr s) {
        EXPECT_TRUE(ns::RunLoop::isMainThread());
        EXPECT_EQ(s->status(), QRVStorageTaskStatusResume);
        ++second;
    });
    ASSERT_TRUE(pump([&] { return second == 1; }));
    ns::RunLoop::main().runFor(0.1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

}  // namespace
