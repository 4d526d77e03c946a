#include "storage/QRVStorageDownloadTask.h"

#include <algorithm>

#include "platform/dispatch.h"
#include "storage/QRVStorageErrors.h"
#include "storage/QRVStorageReference.h"

QRVStorageDownloadTask::QRVStorageDownloadTask(std::shared_ptr<QRVStorageReference> reference,
                                               std::shared_ptr<HTKSessionFetcherService> fetcherService,
                                               std::optional<std::string> fileURL)
    : QRVStorageObservableTask(std::move(reference), std::move(fetcherService)), fileURL_(std::move(fileURL)) {}

std::shared_ptr<QRVStorageDownloadTask> QRVStorageDownloadTask::self() {
    return std::static_pointer_cast<QRVStorageDownloadTask>(shared_from_this());
}

std::shared_ptr<const ns::Data> QRVStorageDownloadTask::downloadData() const {
    std::lock_guard lock(mutex_);
    return downloadData_;
}

void QRVStorageDownloadTask::enqueue() { enqueueWithData(nullptr); }

void QRVStorageDownloadTask::enqueueWithData(std::shared_ptr<const ns::Data> resumeData) {
    {
        std::lock_guard lock(mutex_);
        if (isFinished()) return;
        state_ = QRVStorageTaskStateQueueing;
    }
    ns::URLRequest request = baseRequest_;
    request.setHTTPMethod("GET");
    request.setTimeoutInterval(maxDownloadRetryTime());
    std::string url = request.URL();
    request.setURL(url.substr(0, url.find('?')) + "?alt=media");

    std::shared_ptr<HTKSessionFetcher> fetcher;
    if (resumeData) {
        fetcher = HTKSessionFetcher::fetcherWithDownloadResumeData(*resumeData);
        fetcher->setComment("Resuming DownloadTask");
    } else {
        fetcher = fetcherService_->fetcherWithRequest(request);
        fetcher->setComment("Starting DownloadTask");
    }
    // The fetcher keeps its blocks as long as it lives and the task keeps
    // the fetcher: the blocks hold the task weakly. The completion, which
    // the fetcher lets go once it ran, holds it until then.
    std::weak_ptr<QRVStorageDownloadTask> weak = self();
    std::weak_ptr<HTKSessionFetcher> weakFetcher = fetcher;
    fetcher->setResumeDataBlock([weak](const ns::Data& data) {
        if (auto task = weak.lock()) {
            std::lock_guard lock(task->mutex_);
            task->downloadData_ = std::make_shared<const ns::Data>(data);
        }
    });
    fetcher->setMaxRetryInterval(maxDownloadRetryTime());
    if (fileURL_) {
        fetcher->setDestinationFileURL(*fileURL_);
        fetcher->setDownloadProgressBlock([weak](int64_t, int64_t totalWritten, int64_t totalExpected) {
            if (auto task = weak.lock()) task->reportProgress(totalWritten, totalExpected);
        });
    } else {
        fetcher->setReceivedProgressBlock([weak, weakFetcher](int64_t, int64_t totalReceived) {
            auto task = weak.lock();
            auto fetcher = weakFetcher.lock();
            if (!task || !fetcher) return;
            auto response = fetcher->response();
            task->reportProgress(totalReceived, response ? response->expectedContentLength() : -1);
        });
    }
    {
        std::lock_guard lock(mutex_);
        fetcher_ = fetcher;
        state_ = QRVStorageTaskStateRunning;
    }
    auto task = self();
    fetcher->beginFetchWithCompletionHandler([task](std::optional<ns::Data> data, ns::ErrorRef error) {
        ns::dispatchAssertQueue(task->callbackQueue());
        if (task->isFinished()) return;
        task->fire(QRVStorageTaskStatusProgress);
        if (error) {
            task->finishWithState(QRVStorageTaskStateFailed,
                                  QRVStorageErrors::errorWithServerError(error, task->reference()));
            return;
        }
        // Whatever the progress reports saw, a body past the maximum is no
        // success.
        if (data) {
            const auto size = static_cast<int64_t>(data->size());
            if (auto tooBig = task->sizeExceeded(size, task->progress()->totalUnitCount())) {
                task->finishWithState(QRVStorageTaskStateCancelled, std::move(tooBig));
                return;
            }
            std::lock_guard lock(task->mutex_);
            task->downloadData_ = std::make_shared<const ns::Data>(std::move(*data));
        }
        task->finishWithState(QRVStorageTaskStateSuccess, nullptr);
    });
}

void QRVStorageDownloadTask::reportProgress(int64_t completed, int64_t total) {
    {
        std::lock_guard lock(mutex_);
        // A report queued before a pause or the end tells nothing new.
        if (state_ != QRVStorageTaskStateRunning && state_ != QRVStorageTaskStateProgress) return;
        state_ = QRVStorageTaskStateProgress;
        progress_->setCompletedUnitCount(completed);
        progress_->setTotalUnitCount(total);
    }
    fire(QRVStorageTaskStatusProgress);
    {
        std::lock_guard lock(mutex_);
        if (state_ == QRVStorageTaskStateProgress) state_ = QRVStorageTaskStateRunning;
    }
    // The task ends once, however many reports cross the limit.
    if (auto tooBig = sizeExceeded(completed, total)) cancelWithError(std::move(tooBig));
}

void QRVStorageDownloadTask::setMaxSize(int64_t maxSize) {
    std::lock_guard lock(mutex_);
    maxSize_ = maxSize;
}

ns::ErrorRef QRVStorageDownloadTask::sizeExceeded(int64_t completed, int64_t total) const {
    std::optional<int64_t> limit;
    {
        std::lock_guard lock(mutex_);
        limit = maxSize_;
    }
    if (!limit || (total <= *limit && completed <= *limit)) return nullptr;
    // The total when the server gave one, else what had come so far.
    return QRVStorageErrors::errorWithCode(QRVStorageErrorCodeDownloadSizeExceeded,
                                           {{"totalSize", std::max(total, completed)}, {"maxAllowedSize", *limit}});
}

void QRVStorageDownloadTask::cancel() {
    cancelWithError(QRVStorageErrors::errorWithCode(QRVStorageErrorCodeCancelled));
}

void QRVStorageDownloadTask::cancelWithError(ns::ErrorRef error) {
    std::shared_ptr<HTKSessionFetcher> fetcher;
    {
        std::lock_guard lock(mutex_);
        if (isFinished()) return;
        fetcher = fetcher_;
    }
    if (fetcher) fetcher->stopFetching();
    if (finishWithState(QRVStorageTaskStateCancelled, std::move(error)) && fileURL_) {
        // A cancelled download to a file is not resumed: its partial file goes.
        if (auto resumeData = downloadData()) HTKSessionFetcher::discardDownloadResumeData(*resumeData);
    }
}

void QRVStorageDownloadTask::pause() {
    std::shared_ptr<HTKSessionFetcher> fetcher;
    {
        std::lock_guard lock(mutex_);
        if (isFinished() || state_ == QRVStorageTaskStatePaused || state_ == QRVStorageTaskStatePausing) return;
        state_ = QRVStorageTaskStatePausing;
        fetcher = fetcher_;
    }
    if (fetcher) {
        fetcher->stopFetching();
        fetcher->waitForCompletionWithTimeout(0.001);
    }
    {
        std::lock_guard lock(mutex_);
        if (state_ != QRVStorageTaskStatePausing) return;
        state_ = QRVStorageTaskStatePaused;
    }
    fire(QRVStorageTaskStatusPause);
}

void QRVStorageDownloadTask::resume() {
    std::shared_ptr<const ns::Data> resumeData;
    {
        std::lock_guard lock(mutex_);
        if (state_ != QRVStorageTaskStatePaused) return;
        state_ = QRVStorageTaskStateResuming;
    }
    fire(QRVStorageTaskStatusResume);
    {
        std::lock_guard lock(mutex_);
        if (state_ != QRVStorageTaskStateResuming) return;
        state_ = QRVStorageTaskStateRunning;
        resumeData = downloadData_;
    }
    enqueueWithData(resumeData);
}
