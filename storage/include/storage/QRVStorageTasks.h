#pragma once
// The three simple tasks: delete an object, read its metadata, update its
// metadata. Each sends one request through the storage object's fetcher
// service and reports once through its completion, which runs on the
// service's callback queue (the main queue when it has none). The fetch
// keeps the task alive until the completion has run.

#include <functional>
#include <memory>

#include "storage/QRVStorageTask.h"

using QRVStorageVoidError = std::function<void(ns::ErrorRef error)>;
using QRVStorageVoidMetadataError = std::function<void(QRVStorageMetadataPtr metadata, ns::ErrorRef error)>;

class QRVStorageDeleteTask : public QRVStorageTask, public QRVStorageTaskManagement {
public:
    QRVStorageDeleteTask(std::shared_ptr<QRVStorageReference> reference,
                         std::shared_ptr<HTKSessionFetcherService> fetcherService, QRVStorageVoidError completion);
    // DELETE, timeout the maximum operation retry time, comment "DeleteTask".
    void enqueue() override;
    std::string className() const override { return "QRVStorageDeleteTask"; }

private:
    QRVStorageVoidError completion_;
};

class QRVStorageGetMetadataTask : public QRVStorageTask, public QRVStorageTaskManagement {
public:
    QRVStorageGetMetadataTask(std::shared_ptr<QRVStorageReference> reference,
                              std::shared_ptr<HTKSessionFetcherService> fetcherService,
                              QRVStorageVoidMetadataError completion);
    // GET, timeout the maximum download retry time, comment "GetMetadataTask".
    void enqueue() override;
    std::string className() const override { return "QRVStorageGetMetadataTask"; }

private:
    QRVStorageVoidMetadataError completion_;
};

class QRVStorageUpdateMetadataTask : public QRVStorageTask, public QRVStorageTaskManagement {
public:
    // Keeps a copy of the metadata.
    QRVStorageUpdateMetadataTask(std::shared_ptr<QRVStorageReference> reference,
                                 std::shared_ptr<HTKSessionFetcherService> fetcherService,
                                 const QRVStorageMetadata& metadata, QRVStorageVoidMetadataError completion);
    // PATCH with the metadata's JSON, timeout the maximum upload retry time,
    // comment "UpdateMetadataTask".
    void enqueue() override;
    std::string className() const override { return "QRVStorageUpdateMetadataTask"; }

private:
    QRVStorageMetadataPtr updateMetadata_;
    QRVStorageVoidMetadataError completion_;
};
