#pragma once
// Fetches an object's bytes into memory or into a file, reporting progress,
// pause, resume, success and failure to its observers (QRVStorageTask.h).
// Started by QRVStorageReference::dataWithMaxSize and writeToFile.
//
// Pausing stops the fetch and keeps the fetcher's resume data; resuming
// starts a new fetch from it, which asks the server only for the rest.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "storage/QRVStorageTask.h"

class QRVStorageDownloadTask : public QRVStorageObservableTask, public QRVStorageTaskManagement {
public:
    // `fileURL`: the destination, or nullopt to download into memory.
    QRVStorageDownloadTask(std::shared_ptr<QRVStorageReference> reference,
                           std::shared_ptr<HTKSessionFetcherService> fetcherService,
                           std::optional<std::string> fileURL);

    void enqueue() override;
    // Starts from resume data (nullptr: from the beginning).
    void enqueueWithData(std::shared_ptr<const ns::Data> resumeData);
    void pause() override;
    void resume() override;
    // cancelWithError(-13040).
    void cancel() override;
    // Ends the task with that error unless it has already ended.
    void cancelWithError(ns::ErrorRef error);
    // The most bytes a download into memory may take; set before enqueue.
    // A progress report or a body past it cancels the task with -13032
    // ("totalSize", "maxAllowedSize") before any success is reported, so no
    // bytes over the maximum are handed over.
    void setMaxSize(int64_t maxSize);

    // The body received, or the resume data kept when the fetch stopped.
    std::shared_ptr<const ns::Data> downloadData() const;
    const std::optional<std::string>& fileURL() const { return fileURL_; }

    std::string className() const override { return "QRVStorageDownloadTask"; }

private:
    std::shared_ptr<QRVStorageDownloadTask> self();
    // A progress callback of the fetcher: totals become the progress's counts.
    void reportProgress(int64_t completed, int64_t total);
    // The size error when `completed` or `total` passes the maximum, else null.
    ns::ErrorRef sizeExceeded(int64_t completed, int64_t total) const;

    std::optional<std::string> fileURL_;
    std::shared_ptr<const ns::Data> downloadData_;
    std::optional<int64_t> maxSize_;
};
using QRVStorageDownloadTaskPtr = std::shared_ptr<QRVStorageDownloadTask>;
