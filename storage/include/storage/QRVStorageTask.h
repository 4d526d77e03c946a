#pragma once
// Storage tasks: the base every operation's task shares (state, metadata,
// error, progress, the reference and its base request, the fetcher), the
// immutable snapshots observers receive, and the observable base of the
// download and upload tasks with its per-status handler tables.
//
// Task state is guarded by a lock on the task, so tasks may be observed,
// paused, resumed and cancelled from any thread. Handlers always run
// asynchronously on the fetcher service's callback queue (the main queue
// when it has none).
//
// An observable task reaches one final status, success or failure, once:
// after it (a cancel included) later progress, answers and cancels change
// nothing, and every observer is removed. A handler added for a status the
// task has already reached runs at once, alone.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/error.h"
#include "platform/http.h"
#include "platform/progress.h"
#include "platform/session_fetcher.h"
#include "storage/QRVStorageMetadata.h"

class QRVStorageReference;
class QRVStorageTask;

// Task states.
enum QRVStorageTaskState : int64_t {
    QRVStorageTaskStateUnknown = 0,
    QRVStorageTaskStateQueueing = 1,
    QRVStorageTaskStateResuming = 2,
    QRVStorageTaskStateRunning = 3,
    QRVStorageTaskStateProgress = 4,
    QRVStorageTaskStatePausing = 5,
    QRVStorageTaskStateCompleting = 6,
    QRVStorageTaskStateFailing = 7,
    QRVStorageTaskStatePaused = 8,
    QRVStorageTaskStateCancelled = 9,
    QRVStorageTaskStateSuccess = 10,
    QRVStorageTaskStateFailed = 11,
};

// What observers register for.
enum QRVStorageTaskStatus : int64_t {
    QRVStorageTaskStatusUnknown = 0,
    QRVStorageTaskStatusResume = 1,
    QRVStorageTaskStatusProgress = 2,
    QRVStorageTaskStatusPause = 3,
    QRVStorageTaskStatusSuccess = 4,
    QRVStorageTaskStatusFailure = 5,
};

// The status a state shows in snapshots.
QRVStorageTaskStatus QRVStorageTaskStatusForState(int64_t state);

class QRVStorageTaskSnapshot : public ns::Object {
public:
    QRVStorageTaskSnapshot(std::shared_ptr<QRVStorageTask> task, int64_t state, QRVStorageMetadataPtr metadata,
                           std::shared_ptr<QRVStorageReference> reference, ns::ProgressPtr progress,
                           ns::ErrorRef error);

    const std::shared_ptr<QRVStorageTask>& task() const { return task_; }
    const QRVStorageMetadataPtr& metadata() const { return metadata_; }
    const std::shared_ptr<QRVStorageReference>& reference() const { return reference_; }
    const ns::ProgressPtr& progress() const { return progress_; }
    const ns::ErrorRef& error() const { return error_; }
    QRVStorageTaskStatus status() const { return status_; }

    std::string description() const override;
    std::string className() const override { return "QRVStorageTaskSnapshot"; }

private:
    std::shared_ptr<QRVStorageTask> task_;
    QRVStorageMetadataPtr metadata_;
    std::shared_ptr<QRVStorageReference> reference_;
    ns::ProgressPtr progress_;
    ns::ErrorRef error_;
    QRVStorageTaskStatus status_;
};
using QRVStorageTaskSnapshotPtr = std::shared_ptr<QRVStorageTaskSnapshot>;

// What every task can be asked to do; pause, cancel and resume do nothing
// unless a task has them.
class QRVStorageTaskManagement {
public:
    virtual ~QRVStorageTaskManagement() = default;
    virtual void enqueue() = 0;
    virtual void pause() {}
    virtual void cancel() {}
    virtual void resume() {}
};

class QRVStorageTask : public ns::Object {
public:
    // The reference's base request; the service's maximum retry interval
    // becomes the storage object's maximum operation retry time.
    QRVStorageTask(std::shared_ptr<QRVStorageReference> reference,
                   std::shared_ptr<HTKSessionFetcherService> fetcherService);
    // The root reference of QRVStorage::storage() and its service.
    QRVStorageTask();

    int64_t state() const;
    void setState(int64_t state);
    QRVStorageMetadataPtr metadata() const;
    void setMetadata(QRVStorageMetadataPtr metadata);
    ns::ErrorRef error() const;
    void setError(ns::ErrorRef error);
    ns::ProgressPtr progress() const;
    const std::shared_ptr<QRVStorageReference>& reference() const { return reference_; }
    const ns::URLRequest& baseRequest() const { return baseRequest_; }
    std::shared_ptr<HTKSessionFetcher> fetcher() const;
    void setFetcher(std::shared_ptr<HTKSessionFetcher> fetcher);
    const std::shared_ptr<HTKSessionFetcherService>& fetcherService() const { return fetcherService_; }

    // A new snapshot of the task as it is now.
    QRVStorageTaskSnapshotPtr snapshot();

    std::string className() const override { return "QRVStorageTask"; }

protected:
    // Starts `request` on a fetcher of the service, kept in `fetcher`, with
    // that comment; `handler` runs with the answer on the callback queue.
    void beginFetch(const ns::URLRequest& request, std::string comment,
                    HTKSessionFetcher::CompletionHandler handler);
    ns::DispatchQueuePtr callbackQueue() const;
    double maxOperationRetryTime() const;
    double maxDownloadRetryTime() const;
    double maxUploadRetryTime() const;

    mutable std::recursive_mutex mutex_;
    int64_t state_ = QRVStorageTaskStateUnknown;
    QRVStorageMetadataPtr metadata_;
    ns::ErrorRef error_;
    ns::ProgressPtr progress_;
    std::shared_ptr<QRVStorageReference> reference_;
    ns::URLRequest baseRequest_;
    std::shared_ptr<HTKSessionFetcher> fetcher_;
    std::shared_ptr<HTKSessionFetcherService> fetcherService_;
};
using QRVStorageTaskPtr = std::shared_ptr<QRVStorageTask>;

using QRVStorageVoidSnapshot = std::function<void(QRVStorageTaskSnapshotPtr snapshot)>;

class QRVStorageObservableTask : public QRVStorageTask {
public:
    using QRVStorageTask::QRVStorageTask;

    // A handle for the handler; raises NSInternalInconsistencyException
    // with kQRVStorageInvalidObserverStatus for a status outside 1...5.
    std::string observeStatus(QRVStorageTaskStatus status, QRVStorageVoidSnapshot handler);
    // An unknown handle changes nothing.
    void removeObserverWithHandle(const std::string& handle);
    void removeAllObserversForStatus(QRVStorageTaskStatus status);
    void removeAllObservers();

    // True once the task succeeded, failed or was cancelled.
    bool isFinished() const;

protected:
    using HandlerTable = std::map<std::string, QRVStorageVoidSnapshot>;
    // nullptr for status 0; raises for anything outside 0...5.
    HandlerTable* handlerDictionaryForStatus(QRVStorageTaskStatus status);
    void fireHandlersForStatus(QRVStorageTaskStatus status, const QRVStorageTaskSnapshotPtr& snapshot);
    void fireHandlers(const HandlerTable& handlers, const QRVStorageTaskSnapshotPtr& snapshot);
    // Fires `status` with a fresh snapshot.
    void fire(QRVStorageTaskStatus status);
    // The one way into a final state: sets it (and the error, when given),
    // fires its status and removes every observer. False, doing nothing,
    // when the task had already finished.
    bool finishWithState(int64_t state, ns::ErrorRef error);

private:
    // Empties every table; the caller holds the lock.
    void clearObservers();

    HandlerTable resumeHandlers_;
    HandlerTable progressHandlers_;
    HandlerTable pauseHandlers_;
    HandlerTable successHandlers_;
    HandlerTable failureHandlers_;
    std::map<std::string, QRVStorageTaskStatus> handleToStatusMap_;
};
