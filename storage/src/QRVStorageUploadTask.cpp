#include "storage/QRVStorageUploadTask.h"

#include "QRVStorageJSONRequest.h"
#include "platform/dispatch.h"
#include "platform/url.h"
#include "storage/QRVStorageErrors.h"
#include "storage/QRVStorageReference.h"
#include "storage/QRVStorageUtils.h"

namespace {

constexpr const char* kDefaultContentType = "application/octet-stream";

std::optional<std::string> extensionOf(const std::string& fileURL) {
    std::string path = ns::filePathFromURL(fileURL);
    std::string last = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    size_t dot = last.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    return last.substr(dot + 1);
}

}  // namespace

QRVStorageUploadTask::QRVStorageUploadTask(std::shared_ptr<QRVStorageReference> reference,
                                           std::shared_ptr<HTKSessionFetcherService> fetcherService, ns::Data data,
                                           const QRVStorageMetadata& metadata)
    : QRVStorageObservableTask(std::move(reference), std::move(fetcherService)), uploadData_(std::make_shared<const ns::Data>(std::move(data))),
      uploadMetadata_(metadata.copy()) {
    progress_->setTotalUnitCount(int64_t(uploadData_->size()));
    if (!uploadMetadata_->contentType()) uploadMetadata_->setContentType(kDefaultContentType);
}

QRVStorageUploadTask::QRVStorageUploadTask(std::shared_ptr<QRVStorageReference> reference,
                                           std::shared_ptr<HTKSessionFetcherService> fetcherService,
                                           std::string fileURL, const QRVStorageMetadata& metadata)
    : QRVStorageObservableTask(std::move(reference), std::move(fetcherService)), fileURL_(std::move(fileURL)),
      uploadMetadata_(metadata.copy()) {
    if (!uploadMetadata_->contentType()) {
        auto type = QRVStorageUtils::MIMETypeForExtension(extensionOf(*fileURL_));
        uploadMetadata_->setContentType(type.value_or(kDefaultContentType));
    }
}

std::shared_ptr<QRVStorageUploadTask> QRVStorageUploadTask::self() {
    return std::static_pointer_cast<QRVStorageUploadTask>(shared_from_this());
}

std::shared_ptr<HTKSessionUploadFetcher> QRVStorageUploadTask::uploadFetcher() const {
    std::lock_guard lock(mutex_);
    return uploadFetcher_;
}

void QRVStorageUploadTask::enqueue() {
    {
        std::lock_guard lock(mutex_);
        if (isFinished() || uploadFetcher_) return;
        state_ = QRVStorageTaskStateQueueing;
    }
    ns::URLRequest request =
        QRVStorageJSONRequest(baseRequest_, "POST", uploadMetadata_->dictionaryRepresentation());
    request.setTimeoutInterval(maxUploadRetryTime());
    std::string query = QRVStorageUtils::queryStringForDictionary(std::map<std::string, std::string>{
        {"uploadType", "resumable"}, {"name", uploadMetadata_->path().value_or("")}});
    request.setURL(request.URL() + "?" + query);

    auto fetcher = HTKSessionUploadFetcher::uploadFetcherWithRequest(
        request, uploadMetadata_->contentType().value_or(kDefaultContentType),
        kHTKSessionUploadFetcherStandardChunkSize, fetcherService_);
    if (uploadData_) {
        fetcher->setUploadData(uploadData_);
        fetcher->setComment("Data UploadTask");
    } else if (fileURL_) {
        fetcher->setUploadFileURL(*fileURL_);
        fetcher->setComment("File UploadTask");
    }
    fetcher->setMaxRetryInterval(maxUploadRetryTime());
    std::weak_ptr<QRVStorageUploadTask> weak = self();
    fetcher->setSendProgressBlock([weak](int64_t, int64_t totalSent, int64_t totalExpected) {
        if (auto task = weak.lock()) task->reportProgress(totalSent, totalExpected);
    });
    {
        std::lock_guard lock(mutex_);
        uploadFetcher_ = fetcher;
        fetcher_ = fetcher;
        state_ = QRVStorageTaskStateRunning;
    }
    auto task = self();
    fetcher->beginFetchWithCompletionHandler(
        [task](std::optional<ns::Data> body, ns::ErrorRef error) { task->complete(std::move(body), error); });
}

void QRVStorageUploadTask::complete(std::optional<ns::Data> body, ns::ErrorRef error) {
    ns::dispatchAssertQueue(callbackQueue());
    if (isFinished()) return;
    fire(QRVStorageTaskStatusProgress);
    if (error) {
        setMetadata(uploadMetadata_);
        finishWithState(QRVStorageTaskStateFailed, QRVStorageErrors::errorWithServerError(error, reference()));
        return;
    }
    ns::Value json = qvs_dictionaryFromJSONData(body.value_or(ns::Data{}));
    if (!json.isDictionary()) {
        // No metadata means the object may not be there: that is no success.
        finishWithState(QRVStorageTaskStateFailed, QRVStorageErrors::invalidDataError(body.value_or(ns::Data{})));
        return;
    }
    auto metadata = std::make_shared<QRVStorageMetadata>(json.asDictionary());
    metadata->setType(QRVStorageMetadataTypeFile);
    setMetadata(std::move(metadata));
    finishWithState(QRVStorageTaskStateSuccess, nullptr);
}

void QRVStorageUploadTask::reportProgress(int64_t sent, int64_t total) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != QRVStorageTaskStateRunning && state_ != QRVStorageTaskStateProgress) return;
        state_ = QRVStorageTaskStateProgress;
        progress_->setCompletedUnitCount(sent);
        progress_->setTotalUnitCount(total);
        metadata_ = uploadMetadata_;
    }
    fire(QRVStorageTaskStatusProgress);
    std::lock_guard lock(mutex_);
    if (state_ == QRVStorageTaskStateProgress) state_ = QRVStorageTaskStateRunning;
}

void QRVStorageUploadTask::pause() {
    std::shared_ptr<HTKSessionUploadFetcher> fetcher;
    {
        std::lock_guard lock(mutex_);
        if (isFinished() || state_ == QRVStorageTaskStatePaused) return;
        state_ = QRVStorageTaskStatePaused;
        metadata_ = uploadMetadata_;
        fetcher = uploadFetcher_;
    }
    if (fetcher) fetcher->pauseFetching();
    fire(QRVStorageTaskStatusPause);
}

void QRVStorageUploadTask::resume() {
    std::shared_ptr<HTKSessionUploadFetcher> fetcher;
    {
        std::lock_guard lock(mutex_);
        if (state_ != QRVStorageTaskStatePaused) return;
        state_ = QRVStorageTaskStateResuming;
        metadata_ = uploadMetadata_;
        fetcher = uploadFetcher_;
    }
    if (fetcher) fetcher->resumeFetching();
    fire(QRVStorageTaskStatusResume);
    std::lock_guard lock(mutex_);
    if (state_ == QRVStorageTaskStateResuming) state_ = QRVStorageTaskStateRunning;
}

void QRVStorageUploadTask::cancel() {
    std::shared_ptr<HTKSessionUploadFetcher> fetcher;
    {
        std::lock_guard lock(mutex_);
        if (isFinished()) return;
        metadata_ = uploadMetadata_;
        fetcher = uploadFetcher_;
    }
    if (fetcher) fetcher->stopFetching();
    finishWithState(QRVStorageTaskStateCancelled, QRVStorageErrors::errorWithCode(QRVStorageErrorCodeCancelled));
}
