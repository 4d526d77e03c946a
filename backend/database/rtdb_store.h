#pragma once
// Persistence of one realtime-database namespace in its folder of the data
// dir: a snapshot of the whole tree ("snapshot.json") and an append-only
// journal ("journal.log") of the writes applied since. Every journal record
// is framed by its length and a CRC-32 of its bytes, so a record torn by a
// crash is recognised on the next start: it and anything after it are cut
// off, and everything before it is replayed.
//
// Appending only keeps the record. Appended records are written and made
// durable (write, fdatasync) in groups, so many writes share one of each: a writer that has handled a burst
// of writes calls syncNow(), and otherwise a thread of the store syncs a
// moment after the first unsynced append. Whoever acknowledges a write waits
// for its sequence number to be durable (whenDurable). Once the journal
// grows past a threshold the owner writes a new snapshot (compact), which
// empties the journal.
//
// Thread-safe. The owner keeps the tree itself and calls append only after
// deciding to apply a write, in the order the writes are applied.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"

namespace backend {

class RtdbStore {
public:
    struct Options {
        // Journal size after which wantsCompaction() answers true, or the
        // snapshot's size when that is larger, so a write never costs more
        // than about one byte of snapshot for each byte journalled.
        uint64_t compactAfterBytes = 4u * 1024u * 1024u;
    };

    // What opening found.
    struct Recovery {
        bool fresh = false;            // no snapshot and no journal: the seed was stored
        uint64_t replayedRecords = 0;  // journal records applied on top of the snapshot
        bool droppedTornTail = false;  // a damaged record (and what followed) was cut off
    };

    // Opens the folder (made when missing) and recovers the tree. A folder
    // that holds nothing yet starts with `seed` (nullptr: the empty tree),
    // which is written as the first snapshot. Throws std::runtime_error when
    // the folder or its snapshot cannot be read or written.
    RtdbStore(std::filesystem::path folder, const FNodePtr& seed, Options options);
    RtdbStore(std::filesystem::path folder, const FNodePtr& seed) : RtdbStore(std::move(folder), seed, Options{}) {}
    // Makes everything appended durable, then stops the sync thread.
    ~RtdbStore();
    RtdbStore(const RtdbStore&) = delete;
    RtdbStore& operator=(const RtdbStore&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    // The tree as recovered when the store was opened.
    const FNodePtr& recoveredRoot() const { return recoveredRoot_; }
    const Recovery& recovery() const { return recovery_; }

    // Appends one applied write and answers its sequence number. Throws
    // std::runtime_error when it cannot be journalled (too large, or the
    // journal failed to be written or synced before; then nothing was
    // appended, and the write must not be applied).
    uint64_t appendSet(const FPath& path, const FNodePtr& node);
    uint64_t appendMerge(const FPath& path, const FCompoundWrite& write);

    uint64_t appendedSeq() const;
    uint64_t durableSeq() const;
    // True when `seq` is durable already (the callback is then dropped);
    // otherwise the callback runs once it is, on the store's sync thread.
    bool whenDurable(uint64_t seq, std::function<void()> callback);
    // Makes what is appended durable now, on this thread (unless another
    // thread is syncing already, whose sync then covers it or the store's
    // thread does shortly after). Waiters run here.
    void syncNow();
    // Returns once everything appended so far is durable.
    void flush();

    bool wantsCompaction() const;
    uint64_t journalBytes() const;
    // Writes `root`, which must hold every write appended so far, as the
    // snapshot and empties the journal. Throws std::runtime_error when the
    // snapshot cannot be written (the journal is then kept).
    void compact(const FNodePtr& root);

private:
    uint64_t appendRecord(const char* action, const FPath& path, const ns::Value& data);
    uint64_t append(const std::string& payload);
    void recover(const FNodePtr& seed);
    void writeSnapshot(const FNodePtr& root, uint64_t seq);
    void syncLoop();
    // With the lock held; unlocks while syncing and running waiters.
    void syncLocked(std::unique_lock<std::mutex>& lock);

    std::filesystem::path folder_;
    Options options_;
    FNodePtr recoveredRoot_;
    Recovery recovery_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable synced_;
    int fd_ = -1;
    uint64_t appended_ = 0;
    uint64_t durable_ = 0;
    uint64_t journalBytes_ = 0;  // with the records not yet written
    uint64_t fileBytes_ = 0;     // in the file
    uint64_t snapshotBytes_ = 0; // the last snapshot written or read
    std::string pending_;        // appended records not yet written
    bool failed_ = false;
    bool stopping_ = false;
    bool syncing_ = false;
    // The store's thread is looking on its own every grace period, so an
    // append needs not wake it.
    bool watching_ = false;
    std::multimap<uint64_t, std::function<void()>> waiters_;
    std::thread syncThread_;
};

}  // namespace backend
