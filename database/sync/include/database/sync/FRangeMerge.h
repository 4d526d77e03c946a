#pragma once
// One range update from the server: everything strictly after a start path
// and up to and including an end path, in path order, is replaced by the
// matching part of an update node; data outside the range is kept.

#include <optional>
#include <string>

#include "database/model/FNode.h"
#include "database/model/FPath.h"

class FRangeMerge {
public:
    // A missing start opens the range at the beginning, a missing end at the end.
    FRangeMerge(std::optional<FPath> optExclusiveStart, std::optional<FPath> optInclusiveEnd, FNodePtr updates);

    const std::optional<FPath>& optExclusiveStart() const { return optExclusiveStart_; }
    const std::optional<FPath>& optInclusiveEnd() const { return optInclusiveEnd_; }
    const FNodePtr& updates() const { return updates_; }

    // The node with the range replaced; untouched parts keep their objects.
    FNodePtr applyToNode(const FNodePtr& node) const;
    FNodePtr updateRangeInNode(const FPath& currentPath, const FNodePtr& node, const FNodePtr& updateNode) const;

    // "RangeMerge (optExclusiveStart = %@, optExclusiveEng = %@, updates = %@)"
    std::string description() const;

private:
    std::optional<FPath> optExclusiveStart_;
    std::optional<FPath> optInclusiveEnd_;
    FNodePtr updates_;
};
