#include "storage/QRVStorageTasks.h"

#include "platform/format.h"
#include "QRVStorageJSONRequest.h"
#include "storage/QRVStorageErrors.h"
#include "storage/QRVStorageReference.h"
#include "storage/QRVStorageUtils.h"

namespace {

// The answer of a metadata read or update: the object's metadata JSON.
void completeWithMetadata(QRVStorageTask& task, const std::optional<ns::Data>& body, const ns::ErrorRef& fetchError,
                          const QRVStorageVoidMetadataError& completion) {
    QRVStorageMetadataPtr metadata;
    ns::ErrorRef error;
    if (fetchError) {
        error = QRVStorageErrors::errorWithServerError(fetchError, task.reference());
    } else {
        ns::Value json = qvs_dictionaryFromJSONData(body.value_or(ns::Data{}));
        if (json.isDictionary()) {
            metadata = std::make_shared<QRVStorageMetadata>(json.asDictionary());
            metadata->setType(QRVStorageMetadataTypeFile);
        } else {
            error = QRVStorageErrors::invalidDataError(body.value_or(ns::Data{}));
        }
    }
    if (error) task.setError(error);
    if (completion) completion(metadata, error);
}

}  // namespace

QRVStorageDeleteTask::QRVStorageDeleteTask(std::shared_ptr<QRVStorageReference> reference,
                                           std::shared_ptr<HTKSessionFetcherService> fetcherService,
                                           QRVStorageVoidError completion)
    : QRVStorageTask(std::move(reference), std::move(fetcherService)), completion_(std::move(completion)) {}

void QRVStorageDeleteTask::enqueue() {
    ns::URLRequest request = baseRequest_;
    request.setHTTPMethod("DELETE");
    request.setTimeoutInterval(maxOperationRetryTime());
    QRVStorageVoidError completion = std::move(completion_);
    completion_ = nullptr;
    auto self = std::static_pointer_cast<QRVStorageDeleteTask>(shared_from_this());
    beginFetch(request, "DeleteTask", [self, completion](std::optional<ns::Data>, ns::ErrorRef fetchError) {
        if (!self->error()) self->setError(QRVStorageErrors::errorWithServerError(fetchError, self->reference()));
        if (completion) completion(self->error());
    });
}

QRVStorageGetMetadataTask::QRVStorageGetMetadataTask(std::shared_ptr<QRVStorageReference> reference,
                                                     std::shared_ptr<HTKSessionFetcherService> fetcherService,
                                                     QRVStorageVoidMetadataError completion)
    : QRVStorageTask(std::move(reference), std::move(fetcherService)), completion_(std::move(completion)) {}

void QRVStorageGetMetadataTask::enqueue() {
    ns::URLRequest request = baseRequest_;
    request.setHTTPMethod("GET");
    request.setTimeoutInterval(maxDownloadRetryTime());
    QRVStorageVoidMetadataError completion = std::move(completion_);
    completion_ = nullptr;
    auto self = std::static_pointer_cast<QRVStorageGetMetadataTask>(shared_from_this());
    beginFetch(request, "GetMetadataTask", [self, completion](std::optional<ns::Data> body, ns::ErrorRef error) {
        completeWithMetadata(*self, body, error, completion);
    });
}

QRVStorageUpdateMetadataTask::QRVStorageUpdateMetadataTask(std::shared_ptr<QRVStorageReference> reference,
                                                           std::shared_ptr<HTKSessionFetcherService> fetcherService,
                                                           const QRVStorageMetadata& metadata,
                                                           QRVStorageVoidMetadataError completion)
    : QRVStorageTask(std::move(reference), std::move(fetcherService)), updateMetadata_(metadata.copy()),
      completion_(std::move(completion)) {}

void QRVStorageUpdateMetadataTask::enqueue() {
    ns::URLRequest request = QRVStorageJSONRequest(baseRequest_, "PATCH", updateMetadata_->dictionaryRepresentation());
    request.setTimeoutInterval(maxUploadRetryTime());
    QRVStorageVoidMetadataError completion = std::move(completion_);
    completion_ = nullptr;
    auto self = std::static_pointer_cast<QRVStorageUpdateMetadataTask>(shared_from_this());
    beginFetch(request, "UpdateMetadataTask", [self, completion](std::optional<ns::Data> body, ns::ErrorRef error) {
        completeWithMetadata(*self, body, error, completion);
    });
}
