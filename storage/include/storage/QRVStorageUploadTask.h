#pragma once
// Sends bytes or a file as a resumable upload that creates the object with
// its metadata, reporting progress, pause, resume, success and failure to
// its observers (QRVStorageTask.h). Started by QRVStorageReference::putData
// and putFile.
//
// Pausing holds the upload where it is; resuming continues it on the same
// fetcher from what the server reports it holds. A final answer that is not
// the object's metadata JSON is a failure (-13000), not a success without
// metadata.

#include <memory>
#include <optional>
#include <string>

#include "storage/QRVStorageTask.h"

class QRVStorageUploadTask : public QRVStorageObservableTask, public QRVStorageTaskManagement {
public:
    // Copies both; a metadata without content type gets
    // "application/octet-stream".
    QRVStorageUploadTask(std::shared_ptr<QRVStorageReference> reference,
                         std::shared_ptr<HTKSessionFetcherService> fetcherService, ns::Data data,
                         const QRVStorageMetadata& metadata);
    // Copies both; a metadata without content type gets the type of the
    // file's extension, or "application/octet-stream".
    QRVStorageUploadTask(std::shared_ptr<QRVStorageReference> reference,
                         std::shared_ptr<HTKSessionFetcherService> fetcherService, std::string fileURL,
                         const QRVStorageMetadata& metadata);

    void enqueue() override;
    void pause() override;
    void resume() override;
    void cancel() override;

    // The bytes to send (nullptr for a file upload).
    const std::shared_ptr<const ns::Data>& uploadData() const { return uploadData_; }
    const std::optional<std::string>& fileURL() const { return fileURL_; }
    const QRVStorageMetadataPtr& uploadMetadata() const { return uploadMetadata_; }
    std::shared_ptr<HTKSessionUploadFetcher> uploadFetcher() const;

    std::string className() const override { return "QRVStorageUploadTask"; }

private:
    std::shared_ptr<QRVStorageUploadTask> self();
    void reportProgress(int64_t sent, int64_t total);
    void complete(std::optional<ns::Data> body, ns::ErrorRef error);

    std::shared_ptr<const ns::Data> uploadData_;
    std::optional<std::string> fileURL_;
    QRVStorageMetadataPtr uploadMetadata_;
    std::shared_ptr<HTKSessionUploadFetcher> uploadFetcher_;
};
using QRVStorageUploadTaskPtr = std::shared_ptr<QRVStorageUploadTask>;
