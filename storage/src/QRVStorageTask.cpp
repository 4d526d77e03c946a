#include "storage/QRVStorageTask.h"

#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/text.h"
#include "storage/QRVStorageConstants.h"
#include "storage/QRVStorageReference.h"
#include "storage/QRVStorageUtils.h"

QRVStorageTaskStatus QRVStorageTaskStatusForState(int64_t state) {
    switch (state) {
        case QRVStorageTaskStateQueueing:
        case QRVStorageTaskStateResuming:
        case QRVStorageTaskStateRunning: return QRVStorageTaskStatusResume;
        case QRVStorageTaskStateProgress: return QRVStorageTaskStatusProgress;
        case QRVStorageTaskStatePausing:
        case QRVStorageTaskStatePaused: return QRVStorageTaskStatusPause;
        case QRVStorageTaskStateCompleting:
        case QRVStorageTaskStateSuccess: return QRVStorageTaskStatusSuccess;
        case QRVStorageTaskStateFailing:
        case QRVStorageTaskStateCancelled:
        case QRVStorageTaskStateFailed: return QRVStorageTaskStatusFailure;
        default: return QRVStorageTaskStatusUnknown;
    }
}

// ---- snapshots ----

QRVStorageTaskSnapshot::QRVStorageTaskSnapshot(std::shared_ptr<QRVStorageTask> task, int64_t state,
                                               QRVStorageMetadataPtr metadata,
                                               std::shared_ptr<QRVStorageReference> reference,
                                               ns::ProgressPtr progress, ns::ErrorRef error)
    : task_(std::move(task)), metadata_(std::move(metadata)), reference_(std::move(reference)),
      progress_(std::move(progress)), error_(std::move(error)), status_(QRVStorageTaskStatusForState(state)) {}

std::string QRVStorageTaskSnapshot::description() const {
    switch (status_) {
        case QRVStorageTaskStatusResume: return "<State: Resume>";
        case QRVStorageTaskStatusProgress: return ns::format("<State: Progress, Progress: %@>", progress_);
        case QRVStorageTaskStatusPause: return "<State: Paused>";
        case QRVStorageTaskStatusSuccess: return "<State: Success>";
        case QRVStorageTaskStatusFailure: return ns::format("<State: Failed, Error: %@>", error_);
        default: return "<State: Unknown>";
    }
}

// ---- tasks ----

QRVStorageTask::QRVStorageTask(std::shared_ptr<QRVStorageReference> reference,
                               std::shared_ptr<HTKSessionFetcherService> fetcherService)
    : progress_(ns::Progress::make()), reference_(std::move(reference)),
      baseRequest_(QRVStorageUtils::defaultRequestForPath(reference_->path())),
      fetcherService_(std::move(fetcherService)) {
    fetcherService_->setMaxRetryInterval(reference_->storage()->maxOperationRetryTime());
}

QRVStorageTask::QRVStorageTask()
    : QRVStorageTask(QRVStorage::storage()->reference(), QRVStorage::storage()->fetcherServiceForApp()) {}

int64_t QRVStorageTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}
void QRVStorageTask::setState(int64_t state) {
    std::lock_guard lock(mutex_);
    state_ = state;
}
QRVStorageMetadataPtr QRVStorageTask::metadata() const {
    std::lock_guard lock(mutex_);
    return metadata_;
}
void QRVStorageTask::setMetadata(QRVStorageMetadataPtr metadata) {
    std::lock_guard lock(mutex_);
    metadata_ = std::move(metadata);
}
ns::ErrorRef QRVStorageTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}
void QRVStorageTask::setError(ns::ErrorRef error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
}
ns::ProgressPtr QRVStorageTask::progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}
std::shared_ptr<HTKSessionFetcher> QRVStorageTask::fetcher() const {
    std::lock_guard lock(mutex_);
    return fetcher_;
}
void QRVStorageTask::setFetcher(std::shared_ptr<HTKSessionFetcher> fetcher) {
    std::lock_guard lock(mutex_);
    fetcher_ = std::move(fetcher);
}

QRVStorageTaskSnapshotPtr QRVStorageTask::snapshot() {
    std::lock_guard lock(mutex_);
    auto progress = ns::Progress::make(progress_->totalUnitCount());
    progress->setCompletedUnitCount(progress_->completedUnitCount());
    return std::make_shared<QRVStorageTaskSnapshot>(std::static_pointer_cast<QRVStorageTask>(shared_from_this()),
                                                    state_, metadata_, reference_, std::move(progress), error_);
}

void QRVStorageTask::beginFetch(const ns::URLRequest& request, std::string comment,
                                HTKSessionFetcher::CompletionHandler handler) {
    auto fetcher = fetcherService_->fetcherWithRequest(request);
    fetcher->setComment(std::move(comment));
    setFetcher(fetcher);
    fetcher->beginFetchWithCompletionHandler(
        [queue = callbackQueue(), handler = std::move(handler)](std::optional<ns::Data> data, ns::ErrorRef error) {
            ns::dispatchAssertQueue(queue);
            handler(std::move(data), std::move(error));
        });
}

ns::DispatchQueuePtr QRVStorageTask::callbackQueue() const {
    ns::DispatchQueuePtr queue = fetcherService_->callbackQueue();
    return queue ? queue : ns::DispatchQueue::main();
}

double QRVStorageTask::maxOperationRetryTime() const { return reference_->storage()->maxOperationRetryTime(); }
double QRVStorageTask::maxDownloadRetryTime() const { return reference_->storage()->maxDownloadRetryTime(); }
double QRVStorageTask::maxUploadRetryTime() const { return reference_->storage()->maxUploadRetryTime(); }

// ---- observable tasks ----

namespace {

bool statusReached(QRVStorageTaskStatus status, int64_t state) {
    switch (status) {
        case QRVStorageTaskStatusResume:
            return state == QRVStorageTaskStateResuming || state == QRVStorageTaskStateRunning;
        case QRVStorageTaskStatusProgress:
            return state == QRVStorageTaskStateRunning || state == QRVStorageTaskStateProgress;
        case QRVStorageTaskStatusPause:
            return state == QRVStorageTaskStatePausing || state == QRVStorageTaskStatePaused;
        case QRVStorageTaskStatusSuccess:
            return state == QRVStorageTaskStateCompleting || state == QRVStorageTaskStateSuccess;
        case QRVStorageTaskStatusFailure:
            return state == QRVStorageTaskStateFailing || state == QRVStorageTaskStateCancelled ||
                   state == QRVStorageTaskStateFailed;
        default: return false;
    }
}

bool isFinalState(int64_t state) {
    return state == QRVStorageTaskStateCancelled || state == QRVStorageTaskStateSuccess ||
           state == QRVStorageTaskStateFailed;
}

}  // namespace

bool QRVStorageObservableTask::isFinished() const {
    std::lock_guard lock(mutex_);
    return isFinalState(state_);
}

QRVStorageObservableTask::HandlerTable* QRVStorageObservableTask::handlerDictionaryForStatus(
    QRVStorageTaskStatus status) {
    switch (status) {
        case QRVStorageTaskStatusUnknown: return nullptr;
        case QRVStorageTaskStatusResume: return &resumeHandlers_;
        case QRVStorageTaskStatusProgress: return &progressHandlers_;
        case QRVStorageTaskStatusPause: return &pauseHandlers_;
        case QRVStorageTaskStatusSuccess: return &successHandlers_;
        case QRVStorageTaskStatusFailure: return &failureHandlers_;
    }
    ns::Exception::raise(ns::kInternalInconsistencyException, kQRVStorageInvalidObserverStatus);
}

std::string QRVStorageObservableTask::observeStatus(QRVStorageTaskStatus status, QRVStorageVoidSnapshot handler) {
    if (status < QRVStorageTaskStatusResume || status > QRVStorageTaskStatusFailure)
        ns::Exception::raise(ns::kInternalInconsistencyException, kQRVStorageInvalidObserverStatus);
    QRVStorageTaskSnapshotPtr snapshot = this->snapshot();
    std::string handle = ns::newUUIDString();
    bool reached;
    {
        std::lock_guard lock(mutex_);
        reached = statusReached(status, state_);
        // A finished task fires nothing more: a late observer runs once, now.
        if (!isFinalState(state_)) {
            (*handlerDictionaryForStatus(status))[handle] = handler;
            handleToStatusMap_[handle] = status;
        }
    }
    // Only the new handler: the others have already seen this status.
    if (reached) fireHandlers(HandlerTable{{handle, std::move(handler)}}, snapshot);
    return handle;
}

void QRVStorageObservableTask::removeObserverWithHandle(const std::string& handle) {
    std::lock_guard lock(mutex_);
    auto it = handleToStatusMap_.find(handle);
    if (it == handleToStatusMap_.end()) return;
    if (HandlerTable* table = handlerDictionaryForStatus(it->second)) table->erase(handle);
    handleToStatusMap_.erase(it);
}

void QRVStorageObservableTask::removeAllObserversForStatus(QRVStorageTaskStatus status) {
    std::lock_guard lock(mutex_);
    HandlerTable* table = handlerDictionaryForStatus(status);
    if (!table) return;
    for (const auto& [handle, handler] : *table) handleToStatusMap_.erase(handle);
    table->clear();
}

void QRVStorageObservableTask::removeAllObservers() {
    std::lock_guard lock(mutex_);
    clearObservers();
}

void QRVStorageObservableTask::clearObservers() {
    resumeHandlers_.clear();
    progressHandlers_.clear();
    pauseHandlers_.clear();
    successHandlers_.clear();
    failureHandlers_.clear();
    handleToStatusMap_.clear();
}

void QRVStorageObservableTask::fireHandlersForStatus(QRVStorageTaskStatus status,
                                                     const QRVStorageTaskSnapshotPtr& snapshot) {
    HandlerTable copy;
    {
        std::lock_guard lock(mutex_);
        if (HandlerTable* table = handlerDictionaryForStatus(status)) copy = *table;
    }
    fireHandlers(copy, snapshot);
}

void QRVStorageObservableTask::fireHandlers(const HandlerTable& handlers, const QRVStorageTaskSnapshotPtr& snapshot) {
    if (handlers.empty()) return;
    ns::DispatchQueuePtr queue = callbackQueue();
    for (const auto& entry : handlers) queue->async([handler = entry.second, snapshot] { handler(snapshot); });
}

void QRVStorageObservableTask::fire(QRVStorageTaskStatus status) { fireHandlersForStatus(status, snapshot()); }

bool QRVStorageObservableTask::finishWithState(int64_t state, ns::ErrorRef error) {
    QRVStorageTaskSnapshotPtr snapshot;
    HandlerTable handlers;
    {
        std::lock_guard lock(mutex_);
        if (isFinalState(state_)) return false;
        state_ = state;
        if (error) error_ = std::move(error);
        snapshot = this->snapshot();
        handlers = *handlerDictionaryForStatus(QRVStorageTaskStatusForState(state));
        clearObservers();
    }
    fireHandlers(handlers, snapshot);
    return true;
}
