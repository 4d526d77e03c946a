#pragma once
// A query's constraints (ordering index, optional start and end bounds, an
// optional limit anchored at either end) and a query's identity (path plus
// constraints). Both are immutable values: builders answer new objects, and
// queries are map keys by value equality and hash everywhere in the engine.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "database/model/FIndex.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "platform/value.h"

// Keys and values of the wire form.
inline constexpr const char* kFQPIndexStartValue = "sp";
inline constexpr const char* kFQPIndexStartName = "sn";
inline constexpr const char* kFQPIndexEndValue = "ep";
inline constexpr const char* kFQPIndexEndName = "en";
inline constexpr const char* kFQPLimit = "l";
inline constexpr const char* kFQPViewFrom = "vf";
inline constexpr const char* kFQPViewFromLeft = "l";
inline constexpr const char* kFQPViewFromRight = "r";
inline constexpr const char* kFQPIndex = "i";

class FNodeFilter;
class FQueryParams;
using FQueryParamsPtr = std::shared_ptr<const FQueryParams>;

class FQueryParams {
public:
    // All defaults: no limit, no bounds, the priority index.
    FQueryParams();

    // The one shared default instance (every default query shares it).
    static const FQueryParamsPtr& defaultInstance();

    // A new mutable instance of this class with all eight fields copied.
    std::shared_ptr<FQueryParams> mutableCopy() const;

    // Plain setters, for building a fresh copy only.
    void setLimitSet(bool limitSet) { limitSet_ = limitSet; }
    void setViewFrom(std::optional<std::string> viewFrom) { viewFrom_ = std::move(viewFrom); }
    void setIndex(FIndexPtr index) { index_ = std::move(index); }
    void setLimit(int64_t limit) { limit_ = limit; }
    void setIndexStartValue(FNodePtr value) { indexStartValue_ = std::move(value); }
    void setIndexStartKey(std::optional<std::string> key) { indexStartKey_ = std::move(key); }
    void setIndexEndValue(FNodePtr value) { indexEndValue_ = std::move(value); }
    void setIndexEndKey(std::optional<std::string> key) { indexEndKey_ = std::move(key); }

    // Builders: each answers a new instance, the receiver is untouched.
    FQueryParamsPtr limitTo(int64_t limit) const;
    FQueryParamsPtr limitToFirst(int64_t limit) const;
    FQueryParamsPtr limitToLast(int64_t limit) const;
    FQueryParamsPtr startAt(FNodePtr indexValue, std::optional<std::string> childKey) const;
    FQueryParamsPtr startAt(FNodePtr indexValue) const { return startAt(std::move(indexValue), std::nullopt); }
    FQueryParamsPtr endAt(FNodePtr indexValue, std::optional<std::string> childKey) const;
    FQueryParamsPtr endAt(FNodePtr indexValue) const { return endAt(std::move(indexValue), std::nullopt); }
    FQueryParamsPtr orderBy(FIndexPtr index) const;

    // Stored fields (nullptr / nullopt for nil).
    bool limitSet() const { return limitSet_; }
    const std::optional<std::string>& viewFrom() const { return viewFrom_; }
    const FIndexPtr& index() const { return index_; }
    int64_t limit() const { return limit_; }
    const FNodePtr& indexStartValue() const { return indexStartValue_; }
    const FNodePtr& indexEndValue() const { return indexEndValue_; }
    // The stored keys, without the sentinel defaults.
    const std::optional<std::string>& storedIndexStartKey() const { return indexStartKey_; }
    const std::optional<std::string>& storedIndexEndKey() const { return indexEndKey_; }

    // The stored start key, or "[MIN_NAME]"; the stored end key, or "[MAX_NAME]".
    const std::string& indexStartKey() const;
    const std::string& indexEndKey() const;

    bool hasStart() const { return indexStartValue_ != nullptr; }
    bool hasEnd() const { return indexEndValue_ != nullptr; }
    bool hasAnchoredLimit() const { return limitSet_ && viewFrom_.has_value(); }
    // With an explicit anchor, whether it is "l"; with none, hasStart.
    bool isViewFromLeft() const;
    bool loadsAllData() const { return !hasStart() && !hasEnd() && !limitSet_; }
    bool isDefault() const;
    // NO only for a plain limit combined with both bounds.
    bool isValid() const;

    // The filter of the query's views: indexed, ranged or limited.
    std::shared_ptr<const FNodeFilter> nodeFilter() const;

    // The dictionary sent in tagged listens and stored with tracked queries.
    ns::Dictionary wireProtocolParams() const;
    // Reads the wire form back; an empty dictionary gives the shared default
    // instance. Raises NSInvalidArgumentException for a "vf" other than "l"
    // or "r" ("Unknown view from paramter: %@"), and, since the dictionary
    // may come from disk, for members of the wrong kind and for a limit
    // outside 1 to 2147483647.
    static FQueryParamsPtr fromQueryObject(const ns::Dictionary& dict);
    // The same for any value; anything but a dictionary raises.
    static FQueryParamsPtr fromQueryObject(const ns::Value& value);

    bool isEqual(const FQueryParams& other) const;
    friend bool operator==(const FQueryParams& a, const FQueryParams& b) { return a.isEqual(b); }
    uint64_t hash() const;

    // The description of the wire dictionary.
    std::string description() const;

private:
    bool limitSet_ = false;
    std::optional<std::string> viewFrom_;
    FIndexPtr index_;
    int64_t limit_ = 0;
    FNodePtr indexStartValue_;
    std::optional<std::string> indexStartKey_;
    FNodePtr indexEndValue_;
    std::optional<std::string> indexEndKey_;
};

// Equality and hash of parameter pointers by value, for hash maps.
struct FQueryParamsEqual {
    bool operator()(const FQueryParamsPtr& a, const FQueryParamsPtr& b) const {
        return a == b || (a && b && a->isEqual(*b));
    }
};
struct FQueryParamsHash {
    size_t operator()(const FQueryParamsPtr& p) const { return p ? size_t(p->hash()) : 0; }
};

// A query's identity: a path and its parameters.
class FQuerySpec {
public:
    FQuerySpec(FPath path, FQueryParamsPtr params);

    static FQuerySpec defaultQueryAtPath(const FPath& path);

    const FPath& path() const { return path_; }
    const FQueryParamsPtr& params() const { return params_; }

    const FIndexPtr& index() const { return params_->index(); }
    bool isDefault() const { return params_->isDefault(); }
    bool loadsAllData() const { return params_->loadsAllData(); }

    bool isEqual(const FQuerySpec& other) const;
    friend bool operator==(const FQuerySpec& a, const FQuerySpec& b) { return a.isEqual(b); }
    friend bool operator!=(const FQuerySpec& a, const FQuerySpec& b) { return !a.isEqual(b); }
    uint64_t hash() const;

    // "FQuerySpec (path: %@, params: %@)"
    std::string description() const;

private:
    FPath path_;
    FQueryParamsPtr params_;
};

template <>
struct std::hash<FQuerySpec> {
    size_t operator()(const FQuerySpec& q) const { return size_t(q.hash()); }
};
