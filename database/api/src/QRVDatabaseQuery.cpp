#include "database/api/QRVDatabaseQuery.h"

#include <atomic>
#include <map>

#include "database/api/FEventRegistrations.h"
#include "database/api/FRepo.h"
#include "database/api/QRVDatabaseReference.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FIndex.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "database/model/FValidation.h"
#include "platform/error.h"
#include "platform/format.h"

namespace {

[[noreturn]] void raiseQueryParameter(std::string reason) {
    throw ns::Exception(kInvalidQueryParameter, std::move(reason));
}

bool isIndex(const FQueryParams& params, const FIndexPtr& index) {
    return params.index() && params.index()->isEqual(*index);
}

// Bounds must be values an index can order by: nil, strings and numbers
// (booleans are numbers to callers).
void validateIndexValueType(const ns::Value& value, std::string_view from) {
    if (value.isNull() || value.isBool() || value.isNumber() || value.isString()) return;
    raiseQueryParameter(ns::format("You can only pass nil, NSString or NSNumber to %@", from));
}

bool isStringLeaf(const FNodePtr& node) { return node && node->isLeafNode() && node->val().isString(); }

// Priorities are checked only once the priority ordering has been chosen:
// every query starts out ordered by priority, and a bound set before the
// ordering is chosen is not checked again by queryOrderedByPriority.
// Under the key order a bound is a key: a string, with no child key.
void validateKeyBound(const std::string& boundKey, const std::string& sentinel, const FNodePtr& value,
                      const char* childKeyReason, const char* typeReason) {
    if (boundKey != sentinel) raiseQueryParameter(childKeyReason);
    if (!isStringLeaf(value)) raiseQueryParameter(typeReason);
}

void validateQueryEndpoints(const FQueryParams& params, bool orderByCalled) {
    if (isIndex(params, FKeyIndex::keyIndex())) {
        if (params.hasStart()) {
            validateKeyBound(params.indexStartKey(), FUtilities::minName(), params.indexStartValue(),
                             "Can't use queryStartingAtValue:childKey: or queryEqualTo:andChildKey: in combination "
                             "with queryOrderedByKey",
                             "Can't use queryStartingAtValue: with other types than string in combination with "
                             "queryOrderedByKey");
        }
        if (params.hasEnd()) {
            validateKeyBound(params.indexEndKey(), FUtilities::maxName(), params.indexEndValue(),
                             "Can't use queryEndingAtValue:childKey: or queryEqualToValue:childKey: in combination "
                             "with queryOrderedByKey",
                             "Can't use queryEndingAtValue: with other types than string in combination with "
                             "queryOrderedByKey");
        }
    } else if (orderByCalled && isIndex(params, FPriorityIndex::priorityIndex())) {
        if ((params.hasStart() && !FValidation::validatePriorityValue(params.indexStartValue()->val())) ||
            (params.hasEnd() && !FValidation::validatePriorityValue(params.indexEndValue()->val()))) {
            raiseQueryParameter(
                "When using queryOrderedByPriority, values provided to queryStartingAtValue:, "
                "queryEndingAtValue:, or queryEqualToValue: must be valid priorities.");
        }
    }
}

void validateNoPreviousOrderByCalled(bool orderByCalled) {
    if (orderByCalled) raiseQueryParameter("Cannot use multiple queryOrderedBy calls!");
}

void validateLimitRange(uint64_t limit) {
    if (limit == 0) raiseQueryParameter("Limit can't be zero");
    if (limit >= 2147483648ULL) raiseQueryParameter("Limit must be less than 2,147,483,648");
}

}  // namespace

QRVDatabaseQuery::QRVDatabaseQuery(FRepoPtr repo, FPath path)
    : QRVDatabaseQuery(std::move(repo), std::move(path), nullptr, false, false) {}

QRVDatabaseQuery::QRVDatabaseQuery(FRepoPtr repo, FPath path, FQueryParamsPtr params, bool orderByCalled,
                                   bool priorityMethodCalled)
    : repo_(std::move(repo)),
      path_(std::move(path)),
      queryParams_(params ? std::move(params) : FQueryParams::defaultInstance()),
      orderByCalled_(orderByCalled),
      priorityMethodCalled_(priorityMethodCalled) {
    if (!queryParams_->isValid()) {
        throw ns::Exception("InvalidArgumentError", "Queries are limited to two constraints");
    }
}

const ns::DispatchQueuePtr& QRVDatabaseQuery::sharedQueue() { return FWorkerQueue::sharedQueue(); }

FQuerySpec QRVDatabaseQuery::querySpec() const { return FQuerySpec(path_, queryParams_); }

QRVDatabaseReferencePtr QRVDatabaseQuery::ref() const { return std::make_shared<QRVDatabaseReference>(repo_, path_); }

std::string QRVDatabaseQuery::description() const {
    return ns::format("(%@ %@)", path_.description(), queryParams_->description());
}

// Builders.

QRVDatabaseQueryPtr QRVDatabaseQuery::withParams(FQueryParamsPtr params, bool orderByCalled,
                                                 bool priorityMethodCalled) const {
    return std::make_shared<QRVDatabaseQuery>(repo_, path_, std::move(params), orderByCalled, priorityMethodCalled);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryStartingAtValue(const ns::Value& startValue) const {
    return queryBoundInternal(Bound::Start, startValue, std::nullopt, "queryStartingAtValue:", false);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryStartingAtValue(const ns::Value& startValue,
                                                           const std::string& childKey) const {
    return queryBoundInternal(Bound::Start, startValue, childKey, "queryStartingAtValue:childKey:", false);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryEndingAtValue(const ns::Value& endValue) const {
    return queryBoundInternal(Bound::End, endValue, std::nullopt, "queryEndingAtValue:", false);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryEndingAtValue(const ns::Value& endValue,
                                                         const std::string& childKey) const {
    return queryBoundInternal(Bound::End, endValue, childKey, "queryEndingAtValue:childKey:", false);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryEqualToValue(const ns::Value& value) const {
    return queryBoundInternal(Bound::Equal, value, std::nullopt, "queryEqualToValue:", false);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryEqualToValue(const ns::Value& value, const std::string& childKey) const {
    return queryBoundInternal(Bound::Equal, value, childKey, "queryEqualToValue:childKey:", false);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryBoundInternal(Bound bound, const ns::Value& value,
                                                         const std::optional<std::string>& childKey,
                                                         std::string_view from, bool priorityMethod) const {
    if (childKey && isIndex(*queryParams_, FKeyIndex::keyIndex())) {
        // Under the key order the key is the value: a child key has no use.
        raiseQueryParameter(
            bound == Bound::Start ? "You must use queryStartingAtValue: instead of queryStartingAtValue:childKey: "
                                    "when using queryOrderedByKey:"
            : bound == Bound::End ? "You must use queryEndingAtValue: instead of queryEndingAtValue:childKey: when "
                                    "using queryOrderedByKey:"
                                  : "You must use queryEqualToValue: instead of queryEqualTo:childKey: when using "
                                    "queryOrderedByKey:");
    }
    validateIndexValueType(value, from);
    if (childKey) FValidation::validateKey(from, *childKey);
    const bool setsStart = bound != Bound::End;
    const bool setsEnd = bound != Bound::Start;
    if ((setsStart && queryParams_->hasStart()) || (setsEnd && queryParams_->hasEnd())) {
        const char* reason =
            bound == Bound::Start ? "Can't call %@ after queryStartingAtValue or queryEqualToValue was previously called"
            : bound == Bound::End ? "Can't call %@ after queryEndingAtValue or queryEqualToValue was previously called"
                                  : "Can't call %@ after queryStartingAtValue, queryEndingAtValue or queryEqualToValue "
                                    "was previously called";
        raiseQueryParameter(ns::format(reason, from));
    }
    FNodePtr node = FSnapshotUtilities::nodeFrom(value);
    FQueryParamsPtr params = queryParams_;
    if (setsStart) params = params->startAt(node, childKey);
    if (setsEnd) params = params->endAt(node, childKey);
    validateQueryEndpoints(*params, orderByCalled_);
    return withParams(std::move(params), orderByCalled_, priorityMethod || priorityMethodCalled_);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::limitedTo(uint64_t limit, bool first) const {
    if (queryParams_->limitSet()) {
        raiseQueryParameter(first ? "Can't call queryLimitedToFirst: if a limit was previously set"
                                  : "Can't call queryLimitedToLast: if a limit was previously set");
    }
    validateLimitRange(limit);
    FQueryParamsPtr params =
        first ? queryParams_->limitToFirst(int64_t(limit)) : queryParams_->limitToLast(int64_t(limit));
    return withParams(std::move(params), orderByCalled_, priorityMethodCalled_);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryLimitedToFirst(uint64_t limit) const { return limitedTo(limit, true); }

QRVDatabaseQueryPtr QRVDatabaseQuery::queryLimitedToLast(uint64_t limit) const { return limitedTo(limit, false); }

QRVDatabaseQueryPtr QRVDatabaseQuery::orderedBy(FIndexPtr index, bool checkEndpoints) const {
    validateNoPreviousOrderByCalled(orderByCalled_);
    FQueryParamsPtr params = queryParams_->orderBy(std::move(index));
    if (checkEndpoints) validateQueryEndpoints(*params, true);
    return withParams(std::move(params), true, priorityMethodCalled_);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryOrderedByChild(const std::string& indexPathString) const {
    const auto replacementFor = [&]() -> const char* {
        if (indexPathString == "$key" || indexPathString == ".key") return "queryOrderedByKey:";
        if (indexPathString == "$priority" || indexPathString == ".priority") return "queryOrderedByPriority:";
        if (indexPathString == "$value" || indexPathString == ".value") return "queryOrderedByValue:";
        return nullptr;
    };
    if (const char* use = replacementFor()) {
        raiseQueryParameter(
            ns::format("(queryOrderedByChild:) %@ is invalid.  Use %@ instead.", indexPathString, use));
    }
    validateNoPreviousOrderByCalled(orderByCalled_);
    FValidation::validatePathString("queryOrderedByChild:", indexPathString);
    FPath indexPath(indexPathString);
    if (indexPath.isEmpty()) {
        raiseQueryParameter(
            "(queryOrderedByChild:) with an empty path is invalid.  Use queryOrderedByValue: instead.");
    }
    return orderedBy(FPathIndex::make(std::move(indexPath)), true);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryOrderedByKey() const { return orderedBy(FKeyIndex::keyIndex(), true); }

QRVDatabaseQueryPtr QRVDatabaseQuery::queryOrderedByValue() const {
    return orderedBy(FValueIndex::valueIndex(), false);
}

QRVDatabaseQueryPtr QRVDatabaseQuery::queryOrderedByPriority() const {
    return orderedBy(FPriorityIndex::priorityIndex(), false);
}

// Observers.

QRVDatabaseHandle QRVDatabaseQuery::observeEventType(QRVDataEventType eventType, QRVDataSnapshotBlock block) {
    FValidation::validateKnownEventType("observeEventType:withBlock:", eventType);
    return observeEventType(eventType, std::move(block), QRVCancelBlock{});
}

QRVDatabaseHandle QRVDatabaseQuery::observeEventType(QRVDataEventType eventType, QRVDataSnapshotPrevKeyBlock block) {
    FValidation::validateKnownEventType("observeEventType:andPreviousSiblingKeyWithBlock:", eventType);
    return observeEventType(eventType, std::move(block), QRVCancelBlock{});
}

QRVDatabaseHandle QRVDatabaseQuery::observeEventType(QRVDataEventType eventType, QRVDataSnapshotBlock block,
                                                     QRVCancelBlock cancelBlock) {
    FValidation::validateKnownEventType("observeEventType:withBlock:withCancelBlock:", eventType);
    if (eventType == QRVDataEventTypeValue) {
        QRVDatabaseHandle handle = FUtilities::LUIDGenerator();
        observeValueEventWithHandle(handle, std::move(block), std::move(cancelBlock));
        return handle;
    }
    QRVDataSnapshotPrevKeyBlock wrapped;
    if (block) {
        wrapped = [block = std::move(block)](QRVDataSnapshotPtr snapshot, std::optional<std::string>) {
            block(std::move(snapshot));
        };
    }
    return observeEventType(eventType, std::move(wrapped), std::move(cancelBlock));
}

QRVDatabaseHandle QRVDatabaseQuery::observeEventType(QRVDataEventType eventType, QRVDataSnapshotPrevKeyBlock block,
                                                     QRVCancelBlock cancelBlock) {
    FValidation::validateKnownEventType("observeEventType:andPreviousSiblingKeyWithBlock:withCancelBlock:",
                                        eventType);
    if (!block) {
        // The one-entry callbacks table cannot hold an absent block.
        throw ns::Exception(ns::kInvalidArgumentException,
                            "attempt to insert nil object from objects[0]");
    }
    QRVDatabaseHandle handle = FUtilities::LUIDGenerator();
    observeChildEventWithHandle(handle, eventType, std::move(block), std::move(cancelBlock));
    return handle;
}

void QRVDatabaseQuery::observeValueEventWithHandle(QRVDatabaseHandle handle, QRVDataSnapshotBlock block,
                                                   QRVCancelBlock cancelBlock) {
    auto registration =
        std::make_shared<FValueEventRegistration>(repo_, handle, std::move(block), std::move(cancelBlock));
    sharedQueue()->async([repo = repo_, registration, query = querySpec()] {
        repo->addEventRegistration(registration, query);
    });
}

void QRVDatabaseQuery::observeChildEventWithHandle(QRVDatabaseHandle handle, QRVDataEventType eventType,
                                                   QRVDataSnapshotPrevKeyBlock block, QRVCancelBlock cancelBlock) {
    FChildEventRegistration::Callbacks callbacks{{eventType, std::move(block)}};
    auto registration =
        std::make_shared<FChildEventRegistration>(repo_, handle, std::move(callbacks), std::move(cancelBlock));
    sharedQueue()->async([repo = repo_, registration, query = querySpec()] {
        repo->addEventRegistration(registration, query);
    });
}

void QRVDatabaseQuery::removeRegistration(const FRepoPtr& repo, const FQuerySpec& query, QRVDatabaseHandle handle) {
    if (!repo) return;
    // A registration without blocks, used only to match by handle.
    auto registration =
        std::make_shared<FValueEventRegistration>(repo, handle, QRVDataSnapshotBlock{}, QRVCancelBlock{});
    sharedQueue()->async([repo, registration, query] { repo->removeEventRegistration(registration, query); });
}

void QRVDatabaseQuery::removeObserverWithHandle(QRVDatabaseHandle handle) {
    removeRegistration(repo_, querySpec(), handle);
}

void QRVDatabaseQuery::removeAllObservers() { removeObserverWithHandle(kFRegistrationHandleMatchAll); }

void QRVDatabaseQuery::keepSynced(bool synced) {
    if (!path_.isEmpty() && path_.pieceAt(0) == ".info") {
        throw ns::Exception(ns::kInvalidArgumentException,
                            "Can't keep query on .info tree synced (this already is the case).");
    }
    sharedQueue()->async([repo = repo_, query = querySpec(), synced] { repo->keepQuery(query, synced); });
}

void QRVDatabaseQuery::observeSingleEventOfType(QRVDataEventType eventType, QRVDataSnapshotBlock block) {
    observeSingleEventOfType(eventType, std::move(block), QRVCancelBlock{});
}

void QRVDatabaseQuery::observeSingleEventOfType(QRVDataEventType eventType, QRVDataSnapshotPrevKeyBlock block) {
    observeSingleEventOfType(eventType, std::move(block), QRVCancelBlock{});
}

void QRVDatabaseQuery::observeSingleEventOfType(QRVDataEventType eventType, QRVDataSnapshotBlock block,
                                                QRVCancelBlock cancelBlock) {
    QRVDataSnapshotPrevKeyBlock wrapped;
    if (block) {
        wrapped = [block = std::move(block)](QRVDataSnapshotPtr snapshot, std::optional<std::string>) {
            block(std::move(snapshot));
        };
    }
    observeSingleEventOfType(eventType, std::move(wrapped), std::move(cancelBlock));
}

void QRVDatabaseQuery::observeSingleEventOfType(QRVDataEventType eventType, QRVDataSnapshotPrevKeyBlock block,
                                                QRVCancelBlock cancelBlock) {
    FValidation::validateKnownEventType("observeEventType:andPreviousSiblingKeyWithBlock:withCancelBlock:",
                                        eventType);
    if (!block) {
        throw ns::Exception(ns::kInvalidArgumentException,
                            "attempt to insert nil object from objects[0]");
    }
    // The handle is taken before anything is queued and the wrappers hold
    // its value, so the removal always names this registration, whatever
    // thread the wrappers and the caller run on.
    const QRVDatabaseHandle handle = FUtilities::LUIDGenerator();
    // Events already queued for the registration when the removal is
    // applied still arrive; only the first one reaches the user.
    auto firstCall = std::make_shared<std::atomic<bool>>(true);
    // The registration lives in the repository's views, so its blocks hold
    // the repository weakly.
    std::weak_ptr<FRepo> weakRepo = repo_;
    const FQuerySpec query = querySpec();
    // The block runs before the removal is queued: the removal wakes the
    // worker and sends an unlisten, which would otherwise compete for the
    // processor with the block and whoever it signals. Work the block queues
    // on the worker meanwhile comes before the removal, which names this
    // registration by its handle whatever was added since.
    QRVDataSnapshotPrevKeyBlock dataWrapper = [weakRepo, query, handle, firstCall, block = std::move(block)](
                                                  QRVDataSnapshotPtr snapshot, std::optional<std::string> prevKey) {
        if (!firstCall->exchange(false)) return;
        try {
            block(std::move(snapshot), std::move(prevKey));
        } catch (...) {
            // A block that fails still ends its observer.
            removeRegistration(weakRepo.lock(), query, handle);
            throw;
        }
        removeRegistration(weakRepo.lock(), query, handle);
    };
    QRVCancelBlock cancelWrapper = [weakRepo, query, handle, cancelBlock = std::move(cancelBlock)](
                                       ns::ErrorRef error) {
        removeRegistration(weakRepo.lock(), query, handle);
        if (cancelBlock) cancelBlock(std::move(error));
    };
    observeChildEventWithHandle(handle, eventType, std::move(dataWrapper), std::move(cancelWrapper));
}
