#pragma once
// What a database server computes for a listen over its own data: the window
// a query selects at a location, the simple hash of that window, and, when
// the client sent a compound hash, the hashes of the same ranges over the
// server's data and the range merges that bring the client's ranges up to
// date. The local back end answers listens with it, and the sync engine's
// tests use it as their server.

#include <optional>
#include <string>
#include <vector>

#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FCompoundHash.h"
#include "database/sync/FQueryParams.h"
#include "database/sync/FRangeMerge.h"

class FQueryEvaluator {
public:
    // The data the query selects from the node at its location: the node
    // itself for a query that loads all data, otherwise the children within
    // its range and limit (without the location's priority).
    static FNodePtr queryWindow(const FNodePtr& node, const FQueryParams& params);

    // The hash a client compares with its cached data.
    static std::string simpleHash(const FNodePtr& window) { return window->dataHash(); }
    static FCompoundHash compoundHash(const FNodePtr& window) { return FCompoundHash::fromNode(window); }

    // The node's data cut at the given posts (the client's): one hash per
    // range up to each post, then one for everything after the last; a
    // range without data hashes to "", as after the last post.
    static std::vector<std::string> rangeHashes(const FNodePtr& node, const std::vector<FPath>& posts);

    // The range merges that turn data hashed as `clientHash` into `node`:
    // one for each range whose hash differs, carrying the node's data in
    // that range.
    static std::vector<FRangeMerge> rangeMergesFor(const FNodePtr& node, const FCompoundHash& clientHash);

    // The children whose data differ between two windows, as writes (the
    // empty node for a child that left): what a server pushes to a listen
    // when its window changes.
    static FCompoundWrite windowChanges(const FNodePtr& oldWindow, const FNodePtr& newWindow);

    // The answer to a listen, given the client's hashes.
    struct ListenAnswer {
        enum class Kind {
            UpToDate,     // the client holds the window already
            Overwrite,    // send the whole window
            RangeMerges,  // send only the ranges that differ
        };
        Kind kind = Kind::Overwrite;
        FNodePtr window;
        std::vector<FRangeMerge> rangeMerges;
    };
    static ListenAnswer answerListen(const FNodePtr& locationData, const FQueryParams& params,
                                     const std::string& clientSimpleHash,
                                     const std::optional<FCompoundHash>& clientCompoundHash);
};
