#pragma once
// The public, immutable description of what to read at one location: a
// repository, a path and query parameters. Builders answer new queries and
// refuse, on the caller's thread, every combination the sync engine cannot
// serve. Observers register blocks for one event type and answer a handle
// that removes them again; every registration, removal and keep-synced
// request is handed to the repository on the worker queue, and the blocks
// are called on the configured callback queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "database/model/FPath.h"
#include "database/sync/FChange.h"
#include "database/sync/FQueryParams.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

class FRepo;
class QRVDataSnapshot;
class QRVDatabaseQuery;
class QRVDatabaseReference;

using FRepoPtr = std::shared_ptr<FRepo>;
using QRVDatabaseQueryPtr = std::shared_ptr<QRVDatabaseQuery>;
using QRVDatabaseReferencePtr = std::shared_ptr<QRVDatabaseReference>;
using QRVDataSnapshotPtr = std::shared_ptr<QRVDataSnapshot>;

// Observer blocks: the snapshot; the snapshot and the key of the child before
// it in the query's order; the error that cancelled the observation.
using QRVDataSnapshotBlock = std::function<void(QRVDataSnapshotPtr snapshot)>;
using QRVDataSnapshotPrevKeyBlock =
    std::function<void(QRVDataSnapshotPtr snapshot, std::optional<std::string> prevKey)>;
using QRVCancelBlock = std::function<void(ns::ErrorRef error)>;

// An observer's handle: a value of the process-wide local id counter.
using QRVDatabaseHandle = uint64_t;

// The exception name of every builder misuse.
inline constexpr const char* kInvalidQueryParameter = "InvalidQueryParameter";

class QRVDatabaseQuery : public ns::Object {
public:
    // initWithRepo:path: default parameters, no ordering chosen.
    QRVDatabaseQuery(FRepoPtr repo, FPath path);
    // initWithRepo:path:params:orderByCalled:priorityMethodCalled: (designated).
    // Null parameters are the default ones; invalid parameters raise
    // "InvalidArgumentError".
    QRVDatabaseQuery(FRepoPtr repo, FPath path, FQueryParamsPtr params, bool orderByCalled,
                     bool priorityMethodCalled);

    // The worker queue "QuorvaneWorker".
    static const ns::DispatchQueuePtr& sharedQueue();

    const FRepoPtr& repo() const { return repo_; }
    const FPath& path() const { return path_; }
    const FQueryParamsPtr& queryParams() const { return queryParams_; }
    bool orderByCalled() const { return orderByCalled_; }
    bool priorityMethodCalled() const { return priorityMethodCalled_; }
    // The identity views and listens are addressed by.
    FQuerySpec querySpec() const;
    // A reference at the same location, without the constraints.
    QRVDatabaseReferencePtr ref() const;

    // Builders: a new query on the same repository and path; the receiver
    // never changes. Misuse raises "InvalidQueryParameter" (or the
    // validation's own name) naming the method.
    QRVDatabaseQueryPtr queryStartingAtValue(const ns::Value& startValue) const;
    QRVDatabaseQueryPtr queryStartingAtValue(const ns::Value& startValue, const std::string& childKey) const;
    QRVDatabaseQueryPtr queryEndingAtValue(const ns::Value& endValue) const;
    QRVDatabaseQueryPtr queryEndingAtValue(const ns::Value& endValue, const std::string& childKey) const;
    QRVDatabaseQueryPtr queryEqualToValue(const ns::Value& value) const;
    QRVDatabaseQueryPtr queryEqualToValue(const ns::Value& value, const std::string& childKey) const;
    // Limits run from 1 to 2147483647.
    QRVDatabaseQueryPtr queryLimitedToFirst(uint64_t limit) const;
    QRVDatabaseQueryPtr queryLimitedToLast(uint64_t limit) const;
    QRVDatabaseQueryPtr queryOrderedByChild(const std::string& indexPathString) const;
    QRVDatabaseQueryPtr queryOrderedByKey() const;
    QRVDatabaseQueryPtr queryOrderedByValue() const;
    QRVDatabaseQueryPtr queryOrderedByPriority() const;

    // Continuous observers; each answers the handle that removes it. The
    // previous-sibling forms (a block of two arguments) require their block;
    // the others accept an empty one, which is registered and never called.
    QRVDatabaseHandle observeEventType(QRVDataEventType eventType, QRVDataSnapshotBlock block);
    QRVDatabaseHandle observeEventType(QRVDataEventType eventType, QRVDataSnapshotBlock block,
                                       QRVCancelBlock cancelBlock);
    QRVDatabaseHandle observeEventType(QRVDataEventType eventType,
                                                             QRVDataSnapshotPrevKeyBlock block);
    QRVDatabaseHandle observeEventType(QRVDataEventType eventType,
                                                             QRVDataSnapshotPrevKeyBlock block,
                                                             QRVCancelBlock cancelBlock);

    // One-shot observers: the block runs once, for the first event, and the
    // registration is removed; a cancel removes it too. The data block is
    // required; the cancel block may be empty.
    void observeSingleEventOfType(QRVDataEventType eventType, QRVDataSnapshotBlock block);
    void observeSingleEventOfType(QRVDataEventType eventType, QRVDataSnapshotBlock block, QRVCancelBlock cancelBlock);
    void observeSingleEventOfType(QRVDataEventType eventType,
                                                        QRVDataSnapshotPrevKeyBlock block);
    void observeSingleEventOfType(QRVDataEventType eventType,
                                                        QRVDataSnapshotPrevKeyBlock block,
                                                        QRVCancelBlock cancelBlock);

    // A handle that matches nothing does nothing.
    void removeObserverWithHandle(QRVDatabaseHandle handle);
    void removeAllObservers();

    // Keeps the query listened while no observer holds it. Raises
    // NSInvalidArgumentException under ".info".
    void keepSynced(bool synced);

    // "(<path> <parameters>)".
    std::string description() const override;
    std::string className() const override { return "QRVDatabaseQuery"; }

protected:
    // The registration steps behind the public observers; the handle is
    // taken by the caller.
    void observeValueEventWithHandle(QRVDatabaseHandle handle, QRVDataSnapshotBlock block,
                                     QRVCancelBlock cancelBlock);
    void observeChildEventWithHandle(QRVDatabaseHandle handle, QRVDataEventType eventType,
                                     QRVDataSnapshotPrevKeyBlock block, QRVCancelBlock cancelBlock);

private:
    // Queues the removal of the query's registrations matching the handle.
    static void removeRegistration(const FRepoPtr& repo, const FQuerySpec& query, QRVDatabaseHandle handle);

    // The bound builders (start, end, or both for equality), with the
    // public method's tag.
    enum class Bound { Start, End, Equal };
    QRVDatabaseQueryPtr queryBoundInternal(Bound bound, const ns::Value& value,
                                           const std::optional<std::string>& childKey, std::string_view from,
                                           bool priorityMethod) const;
    QRVDatabaseQueryPtr withParams(FQueryParamsPtr params, bool orderByCalled, bool priorityMethodCalled) const;
    QRVDatabaseQueryPtr limitedTo(uint64_t limit, bool first) const;
    QRVDatabaseQueryPtr orderedBy(FIndexPtr index, bool checkEndpoints) const;

    FRepoPtr repo_;
    FPath path_;
    FQueryParamsPtr queryParams_;
    bool orderByCalled_ = false;
    bool priorityMethodCalled_ = false;
};
