#include "database/sync/FQueryParams.h"

#include <mutex>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "database/sync/FNodeFilter.h"
#include "platform/error.h"
#include "platform/format.h"

FQueryParams::FQueryParams() : index_(FPriorityIndex::priorityIndex()) {}

const FQueryParamsPtr& FQueryParams::defaultInstance() {
    // Never destroyed: the worker queue may still use it while the process exits.
    static const FQueryParamsPtr& kDefault = *new FQueryParamsPtr(std::make_shared<const FQueryParams>());
    return kDefault;
}

std::shared_ptr<FQueryParams> FQueryParams::mutableCopy() const { return std::make_shared<FQueryParams>(*this); }

FQueryParamsPtr FQueryParams::limitTo(int64_t limit) const {
    auto copy = mutableCopy();
    copy->limitSet_ = true;
    copy->limit_ = limit;
    copy->viewFrom_.reset();
    return copy;
}

FQueryParamsPtr FQueryParams::limitToFirst(int64_t limit) const {
    auto copy = mutableCopy();
    copy->limitSet_ = true;
    copy->limit_ = limit;
    copy->viewFrom_ = kFQPViewFromLeft;
    return copy;
}

FQueryParamsPtr FQueryParams::limitToLast(int64_t limit) const {
    auto copy = mutableCopy();
    copy->limitSet_ = true;
    copy->limit_ = limit;
    copy->viewFrom_ = kFQPViewFromRight;
    return copy;
}

FQueryParamsPtr FQueryParams::startAt(FNodePtr indexValue, std::optional<std::string> childKey) const {
    auto copy = mutableCopy();
    copy->indexStartValue_ = std::move(indexValue);
    copy->indexStartKey_ = std::move(childKey);
    return copy;
}

FQueryParamsPtr FQueryParams::endAt(FNodePtr indexValue, std::optional<std::string> childKey) const {
    auto copy = mutableCopy();
    copy->indexEndValue_ = std::move(indexValue);
    copy->indexEndKey_ = std::move(childKey);
    return copy;
}

FQueryParamsPtr FQueryParams::orderBy(FIndexPtr index) const {
    auto copy = mutableCopy();
    copy->index_ = std::move(index);
    return copy;
}

const std::string& FQueryParams::indexStartKey() const {
    return indexStartKey_ ? *indexStartKey_ : FUtilities::minName();
}

const std::string& FQueryParams::indexEndKey() const {
    return indexEndKey_ ? *indexEndKey_ : FUtilities::maxName();
}

bool FQueryParams::isViewFromLeft() const {
    if (viewFrom_) return *viewFrom_ == kFQPViewFromLeft;
    return hasStart();
}

bool FQueryParams::isDefault() const {
    return loadsAllData() && index_->isEqual(FPriorityIndex::priorityIndex());
}

bool FQueryParams::isValid() const { return !(hasStart() && hasEnd() && limitSet_ && !hasAnchoredLimit()); }

std::shared_ptr<const FNodeFilter> FQueryParams::nodeFilter() const {
    if (loadsAllData()) return std::make_shared<const FIndexedFilter>(index_);
    if (limitSet_) return std::make_shared<const FLimitedFilter>(*this);
    return std::make_shared<const FRangedFilter>(*this);
}

ns::Dictionary FQueryParams::wireProtocolParams() const {
    ns::Dictionary dict;
    if (hasStart()) {
        dict[kFQPIndexStartValue] = indexStartValue_->valForExport(true);
        if (indexStartKey_) dict[kFQPIndexStartName] = *indexStartKey_;
    }
    if (hasEnd()) {
        dict[kFQPIndexEndValue] = indexEndValue_->valForExport(true);
        if (indexEndKey_) dict[kFQPIndexEndName] = *indexEndKey_;
    }
    if (limitSet_) {
        dict[kFQPLimit] = limit_;
        std::string viewFrom = viewFrom_ ? *viewFrom_ : (hasStart() ? kFQPViewFromLeft : kFQPViewFromRight);
        dict[kFQPViewFrom] = viewFrom;
    }
    if (!index_->isEqual(FPriorityIndex::priorityIndex())) dict[kFQPIndex] = index_->queryDefinition();
    return dict;
}

namespace {

const ns::Value* member(const ns::Dictionary& dict, const char* key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : &it->second;
}

const std::string& stringMember(const ns::Value& value, const char* what) {
    if (!value.isString()) {
        ns::Exception::raise(ns::kInvalidArgumentException,
                             ns::format("Invalid %s in query object: %@", what, value));
    }
    return value.asString();
}

}  // namespace

FQueryParamsPtr FQueryParams::fromQueryObject(const ns::Value& value) {
    if (!value.isDictionary()) {
        ns::Exception::raise(ns::kInvalidArgumentException, ns::format("Query object is not a dictionary: %@", value));
    }
    return fromQueryObject(value.asDictionary());
}

FQueryParamsPtr FQueryParams::fromQueryObject(const ns::Dictionary& dict) {
    if (dict.empty()) return defaultInstance();
    auto params = std::make_shared<FQueryParams>();
    if (const ns::Value* limit = member(dict, kFQPLimit)) {
        // A limit of 0 or beyond 32 bits would leave a window without an
        // edge; whatever wrote it, it cannot come back as a query.
        bool integral = limit->isInteger() || (limit->isDouble() && limit->asDouble() == double(int64_t(limit->asDouble())));
        if (!integral || limit->intValue() < 1 || limit->intValue() > 2147483647) {
            ns::Exception::raise(ns::kInvalidArgumentException, ns::format("Invalid limit in query object: %@", *limit));
        }
        params->limitSet_ = true;
        params->limit_ = limit->intValue();
    }
    if (const ns::Value* start = member(dict, kFQPIndexStartValue)) {
        params->indexStartValue_ = FSnapshotUtilities::nodeFrom(*start);
        if (const ns::Value* name = member(dict, kFQPIndexStartName)) {
            params->indexStartKey_ = stringMember(*name, "start name");
        }
    }
    if (const ns::Value* end = member(dict, kFQPIndexEndValue)) {
        params->indexEndValue_ = FSnapshotUtilities::nodeFrom(*end);
        if (const ns::Value* name = member(dict, kFQPIndexEndName)) {
            params->indexEndKey_ = stringMember(*name, "end name");
        }
    }
    if (const ns::Value* viewFrom = member(dict, kFQPViewFrom)) {
        const std::string* s = viewFrom->stringOrNull();
        if (!s || (*s != kFQPViewFromLeft && *s != kFQPViewFromRight)) {
            ns::Exception::raise(ns::kInvalidArgumentException, ns::format("Unknown view from paramter: %@", *viewFrom));
        }
        // The side a window is seen from means something only with a limit,
        // and is written back only then (wireProtocolParams): kept without
        // one it would make a query that never reads back as itself.
        if (params->limitSet_) params->viewFrom_ = *s;
    }
    if (const ns::Value* index = member(dict, kFQPIndex)) {
        params->index_ = FIndex::indexFromQueryDefinition(stringMember(*index, "index"));
    }
    return params;
}

namespace {

template <class T, class Eq>
bool optEqual(const T& a, const T& b, Eq eq) {
    if (!a && !b) return true;
    if (!a || !b) return false;
    return eq(a, b);
}

}  // namespace

bool FQueryParams::isEqual(const FQueryParams& other) const {
    if (this == &other) return true;
    if (limitSet_ != other.limitSet_ || limit_ != other.limit_) return false;
    if (!FIndexEqual()(index_, other.index_)) return false;
    auto nodeEq = [](const FNodePtr& a, const FNodePtr& b) { return a == b || a->isEqual(*b); };
    auto strEq = [](const std::optional<std::string>& a, const std::optional<std::string>& b) { return *a == *b; };
    if (!optEqual(indexStartKey_, other.indexStartKey_, strEq)) return false;
    if (!optEqual(indexStartValue_, other.indexStartValue_, nodeEq)) return false;
    if (!optEqual(indexEndKey_, other.indexEndKey_, strEq)) return false;
    if (!optEqual(indexEndValue_, other.indexEndValue_, nodeEq)) return false;
    return isViewFromLeft() == other.isViewFromLeft();
}

uint64_t FQueryParams::hash() const {
    auto strHash = [](const std::optional<std::string>& s) -> uint64_t { return s ? std::hash<std::string>()(*s) : 0; };
    auto nodeHash = [](const FNodePtr& n) -> uint64_t { return n ? n->hash() : 0; };
    uint64_t h = limitSet_ ? uint64_t(limit_) * 31 : 0;
    h += isViewFromLeft() ? 1231 : 1237;
    h = h * 31 + strHash(indexStartKey_);
    h = h * 31 + nodeHash(indexStartValue_);
    h = h * 31 + strHash(indexEndKey_);
    h = h * 31 + nodeHash(indexEndValue_);
    h = h * 31 + (index_ ? uint64_t(index_->hash()) : 0);
    return h;
}

std::string FQueryParams::description() const { return ns::Value(wireProtocolParams()).description(); }

FQuerySpec::FQuerySpec(FPath path, FQueryParamsPtr params)
    : path_(std::move(path)), params_(params ? std::move(params) : FQueryParams::defaultInstance()) {}

FQuerySpec FQuerySpec::defaultQueryAtPath(const FPath& path) { return FQuerySpec(path, FQueryParams::defaultInstance()); }

bool FQuerySpec::isEqual(const FQuerySpec& other) const {
    if (this == &other) return true;
    return path_.isEqual(other.path_) && FQueryParamsEqual()(params_, other.params_);
}

uint64_t FQuerySpec::hash() const { return uint64_t(path_.hash()) * 31 + params_->hash(); }

std::string FQuerySpec::description() const {
    return ns::format("FQuerySpec (path: %@, params: %@)", path_.description(), params_->description());
}
