#include "backend/database/rtdb_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "backend/database/rtdb_server.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/atomic_file.h"
#include "platform/json.h"

namespace backend {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSnapshotFile = "snapshot.json";
constexpr const char* kJournalFile = "journal.log";
// Length and CRC-32, little-endian.
constexpr size_t kHeaderBytes = 8;
// No write of a client comes near this; a larger length is damage.
constexpr uint32_t kMaxRecordBytes = 256u * 1024u * 1024u;

std::runtime_error ioError(const std::string& what, const fs::path& path) {
    return std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

uint32_t crcOf(std::string_view bytes) {
    return uint32_t(::crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
}

void putLE(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xff);
}

uint32_t getLE(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(p[i]);
    return v;
}

void writeAll(int fd, std::string_view bytes, const fs::path& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ioError("cannot write", path);
        }
        bytes.remove_prefix(size_t(n));
    }
}

std::string readAll(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return {};
        throw ioError("cannot open", path);
    }
    std::string out;
    char buffer[65536];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            throw ioError("cannot read", path);
        }
        if (n == 0) break;
        out.append(buffer, size_t(n));
    }
    ::close(fd);
    return out;
}

// Applies one journal record to the tree; false when the record is not
// one this store wrote.
bool applyRecord(const ns::Value& record, FNodePtr& root, uint64_t& seq) {
    const ns::Value& s = record["s"];
    const std::string* action = record["a"].stringOrNull();
    const std::string* path = record["p"].stringOrNull();
    if (!s.isInteger() || !action || !path) return false;
    seq = s.asUInt();
    FPath at(*path);
    if (*action == "p") {
        root = root->updateChild(at, FSnapshotUtilities::nodeFrom(record["d"]));
        return true;
    }
    if (*action == "m") {
        const ns::Dictionary* children = record["d"].dictionaryOrNull();
        if (!children) return false;
        FCompoundWrite write = FCompoundWrite::compoundWriteWithValueDictionary(*children);
        root = root->updateChild(at, write.applyToNode(root->getChild(at)));
        return true;
    }
    return false;
}

// A snapshot is renamed into place whole, so a leftover temporary file
// (".snapshot.json.XXXXXX", or "snapshot.json.tmp" from older builds) is an
// interrupted compaction and means nothing.
void removeLeftoverSnapshots(const fs::path& folder) {
    std::error_code ignored;
    fs::remove(folder / (std::string(kSnapshotFile) + ".tmp"), ignored);
    const std::string leftoverPrefix = "." + std::string(kSnapshotFile) + ".";
    for (fs::directory_iterator it(folder, ignored), end; !ignored && it != end; it.increment(ignored)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(leftoverPrefix, 0) == 0) fs::remove(it->path(), ignored);
    }
}

// The snapshot's tree into `root` and its length into `bytes`; gives the
// sequence number it holds.
uint64_t readSnapshot(const fs::path& snapshotPath, FNodePtr& root, uint64_t& bytes) {
    const std::string text = readAll(snapshotPath);
    bytes = text.size();
    ns::ErrorRef error;
    ns::Value snapshot = ns::json::parse(text, &error);
    if (error || !snapshot.isDictionary() || !snapshot["seq"].isInteger()) {
        throw std::runtime_error("the snapshot " + snapshotPath.string() + " is damaged");
    }
    // The whole tree: its paths' levels come on top of its data's.
    root = FSnapshotUtilities::nodeFromTree(snapshot["data"], int(rtdb::kMaxTreeDepth));
    return snapshot["seq"].asUInt();
}

// Applies the journal's whole records to `root`, moving `seq` to the last
// one; gives the length of the good prefix (the first damaged or out-of-order
// record and all after it are not applied).
size_t replayJournal(const std::string& journal, uint64_t snapshotSeq, FNodePtr& root, uint64_t& seq,
                     uint64_t& replayed) {
    size_t offset = 0;
    while (offset < journal.size()) {
        if (journal.size() - offset < kHeaderBytes) break;
        const uint32_t length = getLE(journal.data() + offset);
        const uint32_t crc = getLE(journal.data() + offset + 4);
        if (length > kMaxRecordBytes || journal.size() - offset - kHeaderBytes < length) break;
        std::string_view payload(journal.data() + offset + kHeaderBytes, length);
        if (crcOf(payload) != crc) break;
        ns::ErrorRef error;
        ns::Value record = ns::json::parse(payload, &error);
        if (error) break;
        FNodePtr next = root;
        uint64_t recordSeq = 0;
        try {
            if (!applyRecord(record, next, recordSeq)) break;
        } catch (const std::exception&) {
            break;
        }
        // Records the snapshot already holds (a crash between writing it
        // and emptying the journal) are skipped.
        if (recordSeq > snapshotSeq) {
            if (recordSeq <= seq) break;
            root = std::move(next);
            seq = recordSeq;
            ++replayed;
        }
        offset += kHeaderBytes + length;
    }
    return offset;
}

// Appends a batch of records to the journal and makes it durable; answers
// what failed, empty when nothing did. Part of a batch left in the file
// would cut off every later record at the next start, so a failed write is
// cut back to `fileBytes`.
std::string writeAndSync(int fd, std::string_view batch, uint64_t fileBytes) {
    while (!batch.empty()) {
        ssize_t n = ::write(fd, batch.data(), batch.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            (void)::ftruncate(fd, off_t(fileBytes));
            errno = error;
            return "cannot write";
        }
        batch.remove_prefix(size_t(n));
    }
    return ::fdatasync(fd) == 0 ? std::string() : std::string("cannot sync");
}

// Keeps a damaged journal tail for a person to look at; best effort, as the
// store opens whether or not it could be kept.
void keepDamagedTail(const fs::path& folder, std::string_view tail) {
    try {
        const fs::path aside = folder / "journal.damaged";
        int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeAll(fd, tail, aside);
            ::close(fd);
        }
    } catch (const std::exception&) {
    }
}

}  // namespace

RtdbStore::RtdbStore(fs::path folder, const FNodePtr& seed, Options options)
    : folder_(std::move(folder)), options_(options) {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec) throw std::runtime_error("cannot create " + folder_.string() + ": " + ec.message());
    recover(seed);
    syncThread_ = std::thread([this] { syncLoop(); });
}

RtdbStore::~RtdbStore() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (syncThread_.joinable()) syncThread_.join();
    if (fd_ >= 0) ::close(fd_);
}

void RtdbStore::recover(const FNodePtr& seed) {
    const fs::path snapshotPath = folder_ / kSnapshotFile;
    const fs::path journalPath = folder_ / kJournalFile;
    removeLeftoverSnapshots(folder_);

    FNodePtr root = FEmptyNode::emptyNode();
    const bool hasSnapshot = fs::exists(snapshotPath);
    const uint64_t snapshotSeq = hasSnapshot ? readSnapshot(snapshotPath, root, snapshotBytes_) : 0;
    const std::string journal = readAll(journalPath);
    uint64_t seq = snapshotSeq;
    const size_t offset = replayJournal(journal, snapshotSeq, root, seq, recovery_.replayedRecords);

    fd_ = ::open(journalPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) throw ioError("cannot open", journalPath);
    if (offset < journal.size()) {
        // Cut the damaged tail off so new records follow the last good one.
        recovery_.droppedTornTail = true;
        std::cerr << "rtdb: " << journalPath.string() << ": dropping " << journal.size() - offset
                  << " damaged bytes after the last whole record" << std::endl;
        keepDamagedTail(folder_, std::string_view(journal).substr(offset));
        if (::ftruncate(fd_, off_t(offset)) != 0 || ::fsync(fd_) != 0) throw ioError("cannot truncate", journalPath);
    }
    journalBytes_ = fileBytes_ = offset;
    appended_ = durable_ = seq;

    if (!hasSnapshot && offset == 0) {
        recovery_.fresh = true;
        if (seed) root = seed;
        writeSnapshot(root, seq);
    }
    recoveredRoot_ = root;
}

void RtdbStore::writeSnapshot(const FNodePtr& root, uint64_t seq) {
    ns::Dictionary snapshot{{"seq", ns::Value(seq)}, {"data", root->valForExport(true)}};
    ns::ErrorRef error;
    const std::string text = ns::json::serialize(ns::Value(std::move(snapshot)), &error);
    if (error) throw std::runtime_error("cannot write the snapshot: " + error->localizedDescription());
    // Synced, renamed over the old snapshot and the folder synced, each
    // step checked: the journal is cut only after this returns.
    ns::writeFileAtomicallyOrThrow((folder_ / kSnapshotFile).string(), text, 0600);
    snapshotBytes_ = text.size();
}

uint64_t RtdbStore::appendSet(const FPath& path, const FNodePtr& node) {
    return appendRecord("p", path, node->valForExport(true));
}

uint64_t RtdbStore::appendMerge(const FPath& path, const FCompoundWrite& write) {
    return appendRecord("m", path, write.valForExport(true));
}

uint64_t RtdbStore::appendRecord(const char* action, const FPath& path, const ns::Value& data) {
    // The record {"a", "d", "p", "s"} written as the JSON writer writes it,
    // its parts serialised outside the lock and without building the whole.
    ns::ErrorRef error;
    std::string text = ns::json::serialize(data, &error);
    if (error) throw std::runtime_error("cannot journal the write: " + error->localizedDescription());
    const std::string at = ns::json::serialize(ns::Value(path.toString()));
    std::string payload;
    payload.reserve(text.size() + at.size() + 48);
    payload.append("{\"a\":\"").append(action).append("\",\"d\":").append(text).append(",\"p\":").append(at);
    payload.append(",\"s\":");
    std::lock_guard lock(mutex_);
    payload.append(std::to_string(appended_ + 1)).append("}");
    return append(payload);
}

// Called with the lock held. The record waits in memory and goes to the
// file with the next sync, so a burst of writes costs one write call and
// one sync; nobody is told of a record before both are done.
uint64_t RtdbStore::append(const std::string& payload) {
    if (failed_) throw std::runtime_error("the journal of " + folder_.string() + " cannot be synced");
    if (payload.size() > kMaxRecordBytes) throw std::runtime_error("the write is too large to journal");
    pending_.reserve(pending_.size() + kHeaderBytes + payload.size());
    putLE(pending_, uint32_t(payload.size()));
    putLE(pending_, crcOf(payload));
    pending_ += payload;
    journalBytes_ += kHeaderBytes + payload.size();
    // The store's thread needs waking only for the first record it has not
    // synced, and not while it keeps looking on its own (see syncLoop).
    if (appended_++ == durable_ && !watching_) wake_.notify_all();
    return appended_;
}

uint64_t RtdbStore::appendedSeq() const {
    std::lock_guard lock(mutex_);
    return appended_;
}

uint64_t RtdbStore::durableSeq() const {
    std::lock_guard lock(mutex_);
    return durable_;
}

bool RtdbStore::whenDurable(uint64_t seq, std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    if (durable_ >= seq) return true;
    waiters_.emplace(seq, std::move(callback));
    return false;
}

void RtdbStore::flush() {
    std::unique_lock lock(mutex_);
    const uint64_t target = appended_;
    while (durable_ < target && !failed_) {
        if (syncing_) {
            synced_.wait(lock);
        } else {
            syncLocked(lock);
        }
    }
}

bool RtdbStore::wantsCompaction() const {
    std::lock_guard lock(mutex_);
    // A journal shorter than the snapshot is cheaper to keep than to fold
    // in: writing a large tree again after every few megabytes of small
    // writes cost more than the writes themselves.
    return journalBytes_ > std::max(options_.compactAfterBytes, snapshotBytes_);
}

uint64_t RtdbStore::journalBytes() const {
    std::lock_guard lock(mutex_);
    return journalBytes_;
}

void RtdbStore::compact(const FNodePtr& root) {
    std::vector<std::function<void()>> ready;
    {
        std::unique_lock lock(mutex_);
        // A batch being written now must not land after the journal is cut.
        synced_.wait(lock, [&] { return !syncing_; });
        writeSnapshot(root, appended_);
        pending_.clear();
        // The snapshot holds every appended write, so they are durable now,
        // whatever happens to the journal next.
        durable_ = appended_;
        for (auto it = waiters_.begin(); it != waiters_.end() && it->first <= durable_;) {
            ready.push_back(std::move(it->second));
            it = waiters_.erase(it);
        }
        if (::ftruncate(fd_, 0) == 0 && ::fsync(fd_) == 0) {
            journalBytes_ = fileBytes_ = 0;
        } else {
            // Replay skips records the snapshot holds, so a journal that
            // could not be emptied is merely long.
            std::cerr << "rtdb: cannot empty " << (folder_ / kJournalFile).string() << ": " << std::strerror(errno)
                      << std::endl;
        }
    }
    synced_.notify_all();
    for (auto& callback : ready) callback();
}

void RtdbStore::syncNow() {
    std::unique_lock lock(mutex_);
    syncLocked(lock);
}

void RtdbStore::syncLocked(std::unique_lock<std::mutex>& lock) {
    if (failed_ || syncing_ || appended_ <= durable_) return;
    syncing_ = true;
    const uint64_t target = appended_;
    const int fd = fd_;
    std::string batch;
    batch.swap(pending_);
    const uint64_t fileBytes = fileBytes_;
    lock.unlock();
    const std::string failure = writeAndSync(fd, batch, fileBytes);
    lock.lock();
    syncing_ = false;
    if (!failure.empty()) {
        std::cerr << "rtdb: " << failure << " " << (folder_ / kJournalFile).string() << ": " << std::strerror(errno)
                  << std::endl;
        failed_ = true;
        synced_.notify_all();
        return;
    }
    fileBytes_ += batch.size();
    if (target > durable_) durable_ = target;
    std::vector<std::function<void()>> ready;
    for (auto it = waiters_.begin(); it != waiters_.end() && it->first <= durable_;) {
        ready.push_back(std::move(it->second));
        it = waiters_.erase(it);
    }
    synced_.notify_all();
    lock.unlock();
    for (auto& callback : ready) callback();
    lock.lock();
}

void RtdbStore::syncLoop() {
    // How long the thread leaves a burst's writer to sync it itself.
    constexpr auto kGrace = std::chrono::milliseconds(2);
    // Looks without a new record before the thread sleeps until woken.
    constexpr int kQuietLooks = 500;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        wake_.wait(lock, [&] { return stopping_ || (appended_ > durable_ && !failed_); });
        // Once woken it looks every grace period while records keep coming,
        // so that a steady stream of writes does not wake it once each: it
        // syncs what was appended before its last look and is still not
        // durable.
        watching_ = true;
        for (int quiet = 0; !stopping_ && quiet < kQuietLooks;) {
            const uint64_t mark = appended_;
            wake_.wait_for(lock, kGrace, [&] { return stopping_; });
            quiet = appended_ == mark ? quiet + 1 : 0;
            if (!stopping_ && !failed_ && !syncing_ && durable_ < mark) syncLocked(lock);
        }
        watching_ = false;
    }
    // Nothing appended is left unsynced at the end.
    while (!failed_ && appended_ > durable_) {
        if (syncing_) {
            synced_.wait(lock, [&] { return !syncing_; });
        } else {
            syncLocked(lock);
        }
    }
}

}  // namespace backend
