#pragma once
// One transaction while the repository runs it: the user's blocks, where it
// stands, the local write that shows its result and the data its update
// block last saw and returned. Owned by the transaction queue it sits in and
// by the blocks that capture it; confined to the worker queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "database/api/QRVDatabaseReference.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "platform/error.h"

enum FTransactionStatus : int64_t {
    // Made; the update block has not yet returned a value.
    FTransactionInitializing = 0,
    // The block's value is applied locally and waits to be sent.
    FTransactionRun = 1,
    // Sent in a put, not yet answered.
    FTransactionSent = 2,
    // Committed or aborted; leaves its queue at the next prune.
    FTransactionCompleted = 3,
    // Sent, and an abort came meanwhile: aborted unless the answer is "ok".
    FTransactionSentNeedsAbort = 4,
    // Aborted at the next rerun.
    FTransactionNeedsAbort = 5,
};

struct FTupleTransaction {
    FPath path;
    QRVTransactionUpdateBlock update;
    QRVTransactionCompletion onComplete;
    int64_t status = FTransactionInitializing;
    // Queues are sorted by it, so transactions keep their start order.
    uint64_t order = 0;
    bool applyLocally = true;
    // How many times it was sent.
    int32_t retryCount = 0;
    // Removes the listen that keeps the path current while it runs.
    std::function<void()> unwatcher;
    std::optional<std::string> abortStatus;
    std::optional<std::string> abortReason;
    std::optional<int64_t> currentWriteId;
    FNodePtr currentInputSnapshot;
    // Placeholders unresolved (what is sent) and resolved (what is shown).
    FNodePtr currentOutputSnapshotRaw;
    FNodePtr currentOutputSnapshotResolved;

    void setAbortStatus(std::optional<std::string> status, std::optional<std::string> reason) {
        abortStatus = std::move(status);
        abortReason = std::move(reason);
    }
    // nullptr without an abort status.
    ns::ErrorRef abortError() const;
};

using FTupleTransactionPtr = std::shared_ptr<FTupleTransaction>;
