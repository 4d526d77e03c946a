#include "database/cache/FLevelDBStorageEngine.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "database/cache/FCacheNodeReader.h"
#include "database/connection/FLog.h"
#include "database/model/FSlotPool.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/json.h"
#include "platform/parallel.h"

namespace {

const char* const kServerDBName = "server_data";
const char* const kWritesDBName = "writes";
const char* const kServerCachePrefix = "/server_cache/";
// '~' sorts after '/', so this bounds every server-cache key from above.
const char* const kServerCacheEnd = "/server_cache~";
const char* const kTrackedQueriesPrefix = "/tracked_queries/";
const char* const kTrackedQueryKeysPrefix = "/tracked_query_keys/";
const char* const kVersionFile = "version";
const char* const kCurrentVersion = "1";

double nowMs() { return ns::Clock::nowSeconds() * 1000.0; }

std::string trackedQueryKey(uint64_t queryId) { return kTrackedQueriesPrefix + std::to_string(queryId); }
std::string trackedKeysPrefix(uint64_t queryId) {
    return kTrackedQueryKeysPrefix + std::to_string(queryId) + "/";
}

std::string writeKey(uint64_t writeId) { return std::to_string(writeId); }

std::string asText(std::string_view bytes) { return std::string(bytes); }

// A write's row text, or nothing (with the writer's reason logged) for a
// record the writer refuses: an empty row would stand for a write that is
// no longer there, and the caller must learn that it was not kept.
std::optional<std::string> writeRowText(ns::Dictionary record, uint64_t writeId) {
    ns::ErrorRef error;
    std::string text = ns::json::serialize(ns::Value(std::move(record)), &error);
    if (error) {
        FFWarn("I-RDB076037", "Cannot store write %lu (Error: %@)", (unsigned long)writeId, error->description());
        return std::nullopt;
    }
    return text;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// Why a stored write row cannot be restored, or empty when it can.
std::string writeRowProblem(const ns::Value& row) {
    if (!row.isDictionary()) return "the row is not a JSON object";
    const ns::Dictionary& dict = row.asDictionary();
    auto id = dict.find("id");
    if (id == dict.end() || !id->second.isNumber()) return "the row has no numeric \"id\"";
    if (id->second.isDouble()) {
        double d = id->second.asDouble();
        if (!(d >= 0 && d < 9.2e18 && std::floor(d) == d)) return "the row's \"id\" is not a write id";
    } else if (id->second.type() == ns::Value::Type::UInt ||
               (id->second.type() == ns::Value::Type::Int && id->second.asInt() < 0)) {
        // An unsigned id is above every int64, so no write id either.
        return "the row's \"id\" is not a write id";
    }
    auto path = dict.find("path");
    if (path == dict.end() || !path->second.isString()) return "the row has no string \"path\"";
    const bool hasOverwrite = dict.count("o") != 0;
    const bool hasMerge = dict.count("m") != 0;
    if (hasOverwrite == hasMerge) return "the row must hold exactly one of \"o\" and \"m\"";
    if (hasMerge && !dict.at("m").isDictionary()) return "the row's \"m\" is not an object";
    return {};
}

std::string exceptionText(const std::exception& e) {
    if (const auto* nsException = dynamic_cast<const ns::Exception*>(&e)) {
        return nsException->name() + ": " + nsException->reason();
    }
    return e.what();
}

// The compound write of an update's members, added in their order. Members
// that are each one key (the usual update) hold no write above another, so
// their tree is made in one step from the members' trees.
FCompoundWrite mergeFrom(FCacheNodeReader::WriteRow& row) {
    using Tree = FImmutableTree<FNodePtr>;
    auto& members = row.merge;
    if (row.mergeByPath) {
        FCompoundWrite merge;
        for (const auto& [path, tree] : members) merge = merge.addWrite(*tree.value(), FPath(path.str()));
        return merge;
    }
    const FKeyComparator compare;
    auto less = [&](const auto& a, const auto& b) { return compare(a.first, b.first) < 0; };
    // Members come in byte order, which is the key order but for integer
    // keys and characters below "/".
    if (!row.mergeInKeyOrder && !std::is_sorted(members.begin(), members.end(), less)) {
        std::sort(members.begin(), members.end(), less);
    }
    Tree::Children sorted = Tree::Children::fromSortedRange(members.data(), members.size());
    members.clear();
    return FCompoundWrite(Tree(std::nullopt, std::move(sorted)));
}

// What one reader of write rows keeps from row to row.
struct WriteRowReader {
    FCacheNodeReader::WriteRow row;
    FCacheNodeReader::WriteSharing sharing;

    // The record of a row in the form the cache writes; nullptr for any
    // other row, or when a part of it is refused on the way.
    FWriteRecordPtr read(std::string_view bytes) {
        if (!FCacheNodeReader::writeRowFromJSON(bytes, row, &sharing)) return nullptr;
        // Records take pooled slots, as nodes do: a restore makes thousands
        // at once, and the slots of acknowledged writes serve the next ones.
        const FSlotAllocator<FWriteRecord> slots;
        try {
            if (row.overwrite) {
                return std::allocate_shared<FWriteRecord>(slots, std::move(row.path), std::move(row.overwrite),
                                                          row.writeId, true);
            }
            return std::allocate_shared<FWriteRecord>(slots, std::move(row.path), mergeFrom(row),
                                                      row.writeId);
        } catch (const std::exception&) {
            return nullptr;
        }
    }
};

// Keys down to the deepest place a checked row writes: its path's, and for
// an update its deepest member's.
size_t writeRowKeys(const ns::Dictionary& row) {
    size_t deepest = 0;
    if (auto merge = row.find("m"); merge != row.end()) {
        for (const auto& [member, value] : merge->second.asDictionary()) {
            deepest = std::max(deepest, FCacheNodeReader::pathKeyCount(member));
        }
    }
    return FCacheNodeReader::pathKeyCount(row.at("path").asString()) + deepest;
}

// Whether a checked row writes no deeper than a location may lie. A deeper
// write was never acknowledged (a server refuses it), and a path has as many
// keys as the row it is read from, so the row is removed as damage, counted
// before any path or tree of it is made.
bool isWithinTreeDepth(const std::string& key, const ns::Dictionary& row) {
    const size_t keys = writeRowKeys(row);
    if (keys <= kQuorvaneMaxTreeDepth) return true;
    FFWarn("I-RDB076043", "Removing write with key %@: it writes %lu keys deep, past the %lu a location may lie", key,
           (unsigned long)keys, (unsigned long)kQuorvaneMaxTreeDepth);
    return false;
}

// The generic reading of a write row: the JSON as a value, checked, then
// converted. A bad row is dropped (nullptr) rather than raised: raising here
// would end every start of the program, and a row without its write
// restored as a set of null would delete the server's data.
FWriteRecordPtr genericWriteRecord(const std::string& key, std::string_view bytes) {
    ns::ErrorRef error;
    ns::Value row = ns::json::parse(bytes, &error);
    std::string problem = error ? std::string() : writeRowProblem(row);
    if (!error && problem.empty() && !isWithinTreeDepth(key, row.asDictionary())) return nullptr;
    FWriteRecordPtr record;
    if (!error && problem.empty()) {
        const ns::Dictionary& dict = row.asDictionary();
        const int64_t writeId = dict.at("id").asInt();
        FPath path = FPath::pathWithString(dict.at("path").asString());
        try {
            if (dict.count("m")) {
                record = std::make_shared<FWriteRecord>(
                    path, FCompoundWrite::compoundWriteWithValueDictionary(dict.at("m").asDictionary()), writeId);
            } else {
                record =
                    std::make_shared<FWriteRecord>(path, FSnapshotUtilities::nodeFrom(dict.at("o")), writeId, true);
            }
        } catch (const std::exception& e) {
            problem = exceptionText(e);
        }
    }
    if (!record) {
        if (!error) error = ns::Error::make(ns::kCocoaErrorDomain, ns::json::kJSONErrorCode, problem);
        FFWarn("I-RDB076012", "Failed to deserialize write (%@), likely because of out of range doubles (Error: %@)",
               asText(bytes), error->description());
        FFWarn("I-RDB076013", "Removing failed write with key %@", key);
    }
    return record;
}

// Whether a row's key is the one the cache gives its write id.
bool isWriteKey(std::string_view key, int64_t writeId) {
    // The usual key, up to 19 digits without a leading zero, read as a
    // number rather than the id written out.
    if (writeId >= 0 && !key.empty() && key.size() <= 19 && (key[0] != '0' || key.size() == 1)) {
        uint64_t value = 0;
        for (const char c : key) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + uint64_t(c - '0');
        }
        return value == uint64_t(writeId);
    }
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, writeId);
    return error == std::errc() && key == std::string_view(digits, size_t(end - digits));
}

// Past kRowsBeforeThreads rows the next kRowsCopiedAhead are copied out, and
// when rows remain past those the rest are read on several threads, each
// taking kWriteRowsPerTurn at a time: waking a parked thread costs about
// what reading some tens of rows does, copying a row costs a tenth of
// reading it, a restore of fewer rows copies none, and small turns leave
// little for the others to wait on when a thread loses its processor.
constexpr size_t kRowsBeforeThreads = 64;
constexpr size_t kRowsCopiedAhead = 192;
constexpr size_t kWriteRowsPerTurn = 64;

// A turn's rows copied out of the database (keys and values one after
// another), and what reading them made.
struct RowTurn {
    struct Row {
        uint32_t at;
        uint32_t keySize;
        uint32_t valueSize;
    };
    std::string bytes;
    std::vector<Row> rows;
    std::vector<FWriteRecordPtr> records;
    // Each record's write id, and whether the row's key is that id: the
    // thread that puts the records in order reads neither record, which
    // another processor's cache holds.
    std::vector<int64_t> ids;
    std::vector<uint8_t> keyIsId;

    size_t size() const { return rows.size(); }
    std::string_view key(size_t i) const { return std::string_view(bytes).substr(rows[i].at, rows[i].keySize); }
    std::string_view value(size_t i) const {
        return std::string_view(bytes).substr(rows[i].at + rows[i].keySize, rows[i].valueSize);
    }
};

// The rows from an iterator's place on, read on several threads: one of
// them copies turns of rows out of the database while the others read the
// turns copied so far, and joins them once the rows are all out, so the
// copying costs the restore little more than the leveldb iteration itself.
class ParallelWriteRows {
public:
    // Copies up to `rows` rows before any thread starts; whether rows
    // remain past them.
    bool copyAhead(APLevelDBIterator& iterator, size_t rows) {
        while (iterator.valid() && rows > 0) rows -= copyTurn(iterator, std::min(rows, kWriteRowsPerTurn));
        return iterator.valid();
    }
    // Reads the rows copied ahead and the rest on up to `threads` threads.
    void read(APLevelDBIterator& iterator, unsigned threads) {
        ns::parallel::runPerThread(threads, threads, 1, [this, &iterator] {
            auto reader = std::make_shared<WriteRowReader>();
            return [this, &iterator, reader](size_t i) {
                if (i == 0) copyRows(iterator);
                readTurns(*reader);
            };
        });
    }
    std::deque<RowTurn>& turns() { return turns_; }

private:
    // Copies a turn of up to `rows` rows and hands it to the readers; the
    // rows copied.
    size_t copyTurn(APLevelDBIterator& iterator, size_t rows) {
        RowTurn turn;
        turn.rows.reserve(rows);
        turn.bytes.reserve(rows * 128);
        for (; iterator.valid() && turn.rows.size() < rows; iterator.next()) {
            const std::string_view key = iterator.rawKey();
            const std::string_view value = iterator.rawValue();
            turn.rows.push_back({uint32_t(turn.bytes.size()), uint32_t(key.size()), uint32_t(value.size())});
            turn.bytes.append(key).append(value);
        }
        const size_t copied = turn.size();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            turns_.push_back(std::move(turn));
        }
        ready_.notify_one();
        return copied;
    }

    void copyRows(APLevelDBIterator& iterator) {
        // The readers stop waiting however the copying ends.
        struct Done {
            ParallelWriteRows& rows;
            ~Done() {
                {
                    std::lock_guard<std::mutex> hold(rows.mutex_);
                    rows.copied_ = true;
                }
                rows.ready_.notify_all();
            }
        } done{*this};
        while (iterator.valid()) copyTurn(iterator, kWriteRowsPerTurn);
    }

    void readTurns(WriteRowReader& reader) {
        for (;;) {
            RowTurn* turn;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                ready_.wait(hold, [this] { return next_ < turns_.size() || copied_; });
                if (next_ == turns_.size()) return;
                turn = &turns_[next_++];
            }
            turn->records.resize(turn->size());
            turn->ids.resize(turn->size());
            turn->keyIsId.resize(turn->size());
            for (size_t i = 0; i < turn->size(); ++i) {
                turn->records[i] = reader.read(turn->value(i));
                if (!turn->records[i]) continue;
                turn->ids[i] = turn->records[i]->writeId();
                turn->keyIsId[i] = isWriteKey(turn->key(i), turn->ids[i]);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    // Turns are only added, and a deque keeps those it holds in place.
    std::deque<RowTurn> turns_;
    size_t next_ = 0;
    bool copied_ = false;
};

// The stored writes as they are restored, row by row in key order: a row
// the cache reader did not take (a row written too deep among them) is read
// the generic way, with its checks and warnings.
struct RestoredWrites {
    std::vector<FWriteRecordPtr> records;
    std::vector<int64_t> ids;
    std::vector<std::string> badKeys;
    // Keys other than the write id's own, for the warning on an id taken
    // twice, by position among the records.
    std::vector<std::pair<size_t, std::string>> otherKeys;

    void add(std::string_view key, std::string_view bytes, FWriteRecordPtr record) {
        if (!record) record = genericWriteRecord(std::string(key), bytes);
        if (!record) {
            badKeys.emplace_back(key);
            return;
        }
        const int64_t id = record->writeId();
        add(key, std::move(record), id, isWriteKey(key, id));
    }
    // A record read already, with its id and whether the key is that id.
    void add(std::string_view key, FWriteRecordPtr record, int64_t id, bool keyIsId) {
        if (!keyIsId) otherKeys.emplace_back(records.size(), key);
        ids.push_back(id);
        records.push_back(std::move(record));
    }

    std::string keyOf(size_t i) const {
        auto other = std::lower_bound(otherKeys.begin(), otherKeys.end(), i,
                                      [](const auto& entry, size_t at) { return entry.first < at; });
        return other != otherKeys.end() && other->first == i ? other->second : std::to_string(ids[i]);
    }
};

// Positions of the ids in increasing order; of equal ids the first keeps
// its place first. Rows come in key order and a key is its id in decimal,
// so the ids of one digit count already come in order, and grouping by
// digit count usually sorts them in one pass.
std::vector<uint32_t> writeIdOrder(const std::vector<int64_t>& ids) {
    // Digits of a non-negative id from its bit width, without dividing.
    static constexpr uint64_t kPowersOfTen[] = {1ULL,
                                                10ULL,
                                                100ULL,
                                                1000ULL,
                                                10000ULL,
                                                100000ULL,
                                                1000000ULL,
                                                10000000ULL,
                                                100000000ULL,
                                                1000000000ULL,
                                                10000000000ULL,
                                                100000000000ULL,
                                                1000000000000ULL,
                                                10000000000000ULL,
                                                100000000000000ULL,
                                                1000000000000000ULL,
                                                10000000000000000ULL,
                                                100000000000000000ULL,
                                                1000000000000000000ULL};
    auto digits = [](int64_t id) {
        const uint64_t v = uint64_t(std::max<int64_t>(id, 0)) | 1;
        const size_t estimate = size_t(std::bit_width(v)) * 1233 >> 12;
        return estimate + 1 - size_t(v < kPowersOfTen[estimate]);
    };
    size_t starts[21] = {};
    for (const int64_t id : ids) ++starts[digits(id)];
    for (size_t d = 20, total = ids.size(); d-- > 0;) starts[d] = total -= starts[d];
    std::vector<uint32_t> order(ids.size());
    for (uint32_t i = 0; i < ids.size(); ++i) order[starts[digits(ids[i])]++] = i;
    auto byId = [&](uint32_t a, uint32_t b) { return ids[a] < ids[b]; };
    if (!std::is_sorted(order.begin(), order.end(), byId)) std::stable_sort(order.begin(), order.end(), byId);
    return order;
}

}  // namespace

// ---------------------------------------------------------------- life cycle

FLevelDBStorageEngine::FLevelDBStorageEngine(const std::string& path) {
    basePath_ = quorvaneDir() + "/" + path;
    ensureDir(basePath_, true);
    runMigration();
    openDatabases();
}

FLevelDBStorageEngine::~FLevelDBStorageEngine() { close(); }

std::string FLevelDBStorageEngine::quorvaneDir() {
    return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::Documents) + "/quorvane";
}

void FLevelDBStorageEngine::ensureDir(const std::string& path, bool markAsDoNotBackup) {
    ns::FileManager& files = ns::FileManager::defaultManager();
    if (!files.createDirectory(path, true)) {
        throw ns::Exception("FailedToCreatePersistenceDir", "Failed to create persistence directory.",
                            ns::Dictionary{{"path", ns::Value(path)}});
    }
    if (markAsDoNotBackup) {
        ns::ErrorRef error;
        if (!files.setExcludedFromBackup(path, true, &error)) {
            FFWarn("I-RDB076035", "Failed to mark quorvane database folder as do not backup: %@",
                   error ? error->description() : std::string());
            ns::Exception::raise("Error marking as do not backup",
                                 ns::format("Failed to mark folder %@ as do not backup", "file://" + path));
        }
    }
}

namespace {

bool isVersionNumber(const std::string& text) {
    return !text.empty() && text.size() <= 9 && text[0] != '0' &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A version file that holds no version number was damaged (it is written in
// place): refusing the folder for it would leave every later start without
// its cache and its pending writes. It is kept aside and the folders are
// read as the version written here; damage to them is leveldb's repair's
// to meet. (A damage that leaves another number looks like a newer layout
// and is refused, as one must be.)
bool setAsideDamagedVersion(const std::string& versionFile, const std::string& text) {
    ns::ErrorRef error;
    const std::optional<std::string> aside = ns::FileManager::defaultManager().setAside(versionFile, &error);
    if (!aside) {
        FFWarn("I-RDB076041", "Could not set aside the damaged version file %@: %@", versionFile,
               error ? error->description() : "");
        return false;
    }
    FFWarn("I-RDB076040", "The version file %@ was damaged (%ld bytes, no version number); it was kept as %@",
           versionFile, long(text.size()), *aside);
    return true;
}

}  // namespace

void FLevelDBStorageEngine::runMigration() {
    ns::FileManager& files = ns::FileManager::defaultManager();
    const std::string versionFile = basePath_ + "/" + kVersionFile;
    std::optional<ns::Data> version = files.readData(versionFile);
    if (version) {
        std::string text(version->begin(), version->end());
        if (text == kCurrentVersion) return;
        if (isVersionNumber(text) || !setAsideDamagedVersion(versionFile, text)) {
            ns::Exception::raise("NSInternalInconsistencyException",
                                 ns::format("Unrecognized database version: %@", text));
        }
    }
    ns::ErrorRef error;
    ns::FileWriteOptions options;
    options.atomically = false;
    const std::string one = kCurrentVersion;
    if (!files.writeData(versionFile, ns::Data(one.begin(), one.end()), &error, options)) {
        FFWarn("I-RDB076001", "Failed to write version for database: %@", error ? error->description() : "");
    }
}

void FLevelDBStorageEngine::openDatabases() {
    serverCacheDB_ = createDB(kServerDBName);
    writesDB_ = createDB(kWritesDBName);
}

APLevelDBPtr FLevelDBStorageEngine::createDB(const std::string& name) {
    ns::ErrorRef error;
    APLevelDBPtr db = APLevelDB::levelDBWithPath(basePath_ + "/" + name, &error);
    if (!db) {
        ns::Exception::raise("QuorvaneDatabasePersistenceFailure",
                             ns::format("Error initializing persistence: %@", error ? error->description() : ""));
    }
    return db;
}

void FLevelDBStorageEngine::close() {
    if (serverCacheDB_) serverCacheDB_->close();
    serverCacheDB_.reset();
    if (writesDB_) writesDB_->close();
    writesDB_.reset();
}

void FLevelDBStorageEngine::purgeEverything() {
    close();
    for (const char* name : {kServerDBName, kWritesDBName}) {
        const std::string path = basePath_ + "/" + name;
        FFLog("I-RDB076009", "Deleting database at path %@", path);
        ns::ErrorRef error;
        if (!ns::FileManager::defaultManager().removeItem(path, &error)) {
            ns::Exception::raise("NSInternalInconsistencyException",
                                 ns::format("Failed to delete database files: %@", error ? error->description() : ""));
        }
    }
    openDatabases();
}

// ---------------------------------------------------------------- user writes

bool FLevelDBStorageEngine::saveUserOverwrite(const FNodePtr& node, const FPath& path, uint64_t writeId) {
    ns::Dictionary write{{"id", ns::Value(writeId)},
                         {"path", ns::Value(path.toStringWithTrailingSlash())},
                         {"o", node->valForExport(true)}};
    const std::optional<std::string> text = writeRowText(std::move(write), writeId);
    return text && writesDB_->setString(*text, writeKey(writeId));
}

bool FLevelDBStorageEngine::saveUserMerge(const FCompoundWrite& merge, const FPath& path, uint64_t writeId) {
    ns::Dictionary write{{"id", ns::Value(writeId)},
                         {"path", ns::Value(path.toStringWithTrailingSlash())},
                         {"m", merge.valForExport(true)}};
    const std::optional<std::string> text = writeRowText(std::move(write), writeId);
    return text && writesDB_->setString(*text, writeKey(writeId));
}

bool FLevelDBStorageEngine::removeUserWrite(uint64_t writeId) { return writesDB_->removeKey(writeKey(writeId)); }

bool FLevelDBStorageEngine::removeAllUserWrites() {
    const double start = nowMs();
    auto batch = writesDB_->beginWriteBatch();
    unsigned long count = 0;
    writesDB_->enumerateKeys([&](const std::string& key, bool&) {
        batch->removeKey(key);
        ++count;
    });
    if (!batch->commit()) {
        FFWarn("I-RDB076010", "Failed to remove all users writes on disk!");
        return false;
    }
    FFLog("I-RDB076011", "Removed %lu writes in %fms", count, nowMs() - start);
    return true;
}

std::vector<FWriteRecordPtr> FLevelDBStorageEngine::userWrites() {
    const double start = nowMs();
    RestoredWrites restored;
    WriteRowReader reader;
    const unsigned threads = ns::parallel::threadCount();
    APLevelDBIterator iterator(writesDB_);
    size_t rowCount = 0;
    for (; iterator.valid() && (rowCount < kRowsBeforeThreads || threads < 2); iterator.next(), ++rowCount) {
        const std::string_view value = iterator.rawValue();
        restored.add(iterator.rawKey(), value, reader.read(value));
    }
    if (iterator.valid()) {
        ParallelWriteRows rest;
        rest.read(iterator, rest.copyAhead(iterator, kRowsCopiedAhead) ? threads : 1);
        for (const RowTurn& turn : rest.turns()) rowCount += turn.size();
        restored.records.reserve(rowCount);
        restored.ids.reserve(rowCount);
        for (RowTurn& turn : rest.turns()) {
            for (size_t i = 0; i < turn.size(); ++i) {
                if (turn.records[i]) {
                    restored.add(turn.key(i), std::move(turn.records[i]), turn.ids[i], turn.keyIsId[i]);
                } else {
                    restored.add(turn.key(i), turn.value(i), nullptr);
                }
            }
        }
    }
    // Removed once the enumeration is over; the enumeration's iterator
    // would not see them anyway.
    for (const std::string& key : restored.badKeys) writesDB_->removeKey(key);
    const std::vector<int64_t>& ids = restored.ids;
    std::vector<FWriteRecordPtr> writes;
    writes.reserve(ids.size());
    int64_t lastId = 0;
    for (const uint32_t i : writeIdOrder(ids)) {
        if (!writes.empty() && ids[i] == lastId) {
            FFWarn("I-RDB076036", "Skipping write with key %@: its id %ld is already taken by another stored write",
                   restored.keyOf(i), long(ids[i]));
            continue;
        }
        lastId = ids[i];
        writes.push_back(std::move(restored.records[i]));
    }
    FFLog("I-RDB076014", "Loaded %lu writes in %fms", (unsigned long)writes.size(), nowMs() - start);
    return writes;
}

// ---------------------------------------------------------------- server cache rows

std::string FLevelDBStorageEngine::serverCacheKey(const FPath& path) {
    return kServerCachePrefix + path.toStringWithTrailingSlash();
}

std::string FLevelDBStorageEngine::serializePrimitive(const ns::Value& value) {
    // The bare JSON value: what a one-element array's text holds between its
    // brackets.
    return ns::json::serialize(value);
}

std::optional<ns::Value> FLevelDBStorageEngine::deserializePrimitive(std::string_view bytes) {
    ns::ErrorRef error;
    ns::Value value = ns::json::parse(bytes, &error);
    if (error) {
        FFWarn("I-RDB076034", "Failed to load primitive %@, likely because doubles where out of range (Error: %@)",
               asText(bytes), error->description());
        return std::nullopt;
    }
    // The reader keeps a number's kind and converts a fraction with the
    // standard text-to-double conversion, so no correction of doubles is
    // needed here.
    return value;
}

void FLevelDBStorageEngine::removeAllLeafNodesOnPath(const FPath& path, APLevelDBWriteBatch& batch) {
    std::optional<FPath> current = path;
    while (current) {
        batch.removeKey(serverCacheKey(*current));
        current = current->parent();
    }
}

void FLevelDBStorageEngine::removeAllWithPrefix(const std::string& prefix, APLevelDBWriteBatch& batch,
                                                APLevelDB& database) {
    database.enumerateKeysWithPrefix(prefix, [&](const std::string& key, bool&) { batch.removeKey(key); });
}

void FLevelDBStorageEngine::saveNodeInternal(const FNodePtr& node, const FPath& path, APLevelDBWriteBatch& batch,
                                             uint64_t& counter) {
    std::string key = serverCacheKey(path);
    saveNodeRows(node, key, batch, counter);
}

// The rows of the node's export form, walked on the node itself: a leaf
// with a priority is {".value", ".priority"}, children sit beside a
// ".priority" row, and an empty node has none.
void FLevelDBStorageEngine::saveNodeRows(const FNodePtr& node, std::string& key, APLevelDBWriteBatch& batch,
                                         uint64_t& counter) {
    if (node->isEmpty()) return;
    const size_t length = key.size();
    // By reference: a counted copy per row is two atomic operations a row.
    const FNode& priority = node->priorityNode();
    const bool hasPriority = !priority.isEmpty();
    if (node->isLeafNode()) {
        if (!hasPriority) {
            batch.setString(serializeLeaf(static_cast<const FLeafNode&>(*node)), key);
            ++counter;
            return;
        }
        key.append(".value/");
        batch.setString(serializeLeaf(static_cast<const FLeafNode&>(*node)), key);
        key.resize(length);
        ++counter;
    } else {
        node->enumerateChildren([&](const std::string& name, const FNodePtr& child, bool&) {
            key.append(name).push_back('/');
            saveNodeRows(child, key, batch, counter);
            key.resize(length);
        });
    }
    if (hasPriority) {
        key.append(".priority/");
        batch.setString(serializeLeaf(static_cast<const FLeafNode&>(priority)), key);
        key.resize(length);
        ++counter;
    }
}

std::string FLevelDBStorageEngine::serializeLeaf(const FLeafNode& leaf) {
    if (leaf.isBool()) return leaf.boolValue() ? "true" : "false";
    if (!leaf.isString()) return serializePrimitive(leaf.value());
    // Strings are most rows: quoted here without building a value first.
    // Node strings are valid UTF-8, which JSON carries as it is.
    const std::string_view text = leaf.stringValue();
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    // Runs of characters that need no escape go in whole.
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char* escape = nullptr;
        switch (c) {
            case '"': escape = "\\\""; break;
            case '\\': escape = "\\\\"; break;
            case '\n': escape = "\\n"; break;
            case '\r': escape = "\\r"; break;
            case '\t': escape = "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20) continue;
        }
        out.append(text.substr(run, i - run));
        run = i + 1;
        if (escape) {
            out.append(escape);
        } else {
            static const char kHex[] = "0123456789abcdef";
            out.append("\\u00");
            out.push_back(kHex[(c >> 4) & 0xf]);
            out.push_back(kHex[c & 0xf]);
        }
    }
    out.append(text.substr(run));
    out.push_back('"');
    return out;
}

FNodePtr FLevelDBStorageEngine::rowNode(std::string_view bytes, FCacheNodeReader::Sharing::Place& place) {
    if (FNodePtr node = FCacheNodeReader::nodeFromJSON(bytes, &place)) return node;
    std::optional<ns::Value> value = deserializePrimitive(bytes);
    if (!value) return nullptr;
    return FSnapshotUtilities::nodeFrom(*value);
}

FNodePtr FLevelDBStorageEngine::nodeAtPath(const FPath& path) {
    std::string prefix = serverCacheKey(path);
    APLevelDBIterator iterator(serverCacheDB_);
    if (!iterator.seekToKey(prefix) || !startsWith(iterator.rawKey(), prefix)) return FEmptyNode::emptyNode();
    // Rows straight into nodes, bottom up: no nested value in between.
    return FCacheNodeReader::nodeFromRows(iterator, std::move(prefix), path.length(), &FLevelDBStorageEngine::rowNode);
}

FNodePtr FLevelDBStorageEngine::serverCacheAtPath(const FPath& path) {
    const double start = nowMs();
    FNodePtr node = nodeAtPath(path);
    FFLog("I-RDB076015", "Loaded node with %d children at %@ in %fms", int(node->numChildren()), path.description(),
          nowMs() - start);
    return node;
}

FNodePtr FLevelDBStorageEngine::serverCacheForKeys(const std::set<std::string>& keys, const FPath& path) {
    const double start = nowMs();
    FNodePtr node = FEmptyNode::emptyNode();
    for (const std::string& key : keys) {
        node = node->updateImmediateChild(key, nodeAtPath(path.childFromString(key)));
    }
    FFLog("I-RDB076016", "Loaded node with %d children for %lu keys at %@ in %fms", int(node->numChildren()),
          (unsigned long)keys.size(), path.description(), nowMs() - start);
    return node;
}

bool FLevelDBStorageEngine::updateServerCache(const FNodePtr& node, const FPath& path, bool merge) {
    const double start = nowMs();
    auto batch = serverCacheDB_->beginWriteBatch();
    uint64_t counter = 0;
    removeAllLeafNodesOnPath(path, *batch);
    if (!merge) {
        removeAllWithPrefix(serverCacheKey(path), *batch, *serverCacheDB_);
        saveNodeInternal(node, path, *batch, counter);
    } else {
        node->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            const FPath childPath = path.childFromString(key);
            removeAllWithPrefix(serverCacheKey(childPath), *batch, *serverCacheDB_);
            saveNodeInternal(child, childPath, *batch, counter);
        });
    }
    if (!batch->commit()) {
        FFWarn("I-RDB076017", "Failed to update server cache on disk!");
        return false;
    }
    FFLog("I-RDB076018", "Saved %lu leaf nodes for overwrite in %fms", (unsigned long)counter, nowMs() - start);
    return true;
}

bool FLevelDBStorageEngine::updateServerCacheWithMerge(const FCompoundWrite& merge, const FPath& path) {
    const double start = nowMs();
    auto batch = serverCacheDB_->beginWriteBatch();
    uint64_t counter = 0;
    removeAllLeafNodesOnPath(path, *batch);
    merge.enumerateWrites([&](const FPath& relativePath, const FNodePtr& node, bool&) {
        const FPath childPath = path.child(relativePath);
        removeAllWithPrefix(serverCacheKey(childPath), *batch, *serverCacheDB_);
        saveNodeInternal(node, childPath, *batch, counter);
    });
    if (!batch->commit()) {
        FFWarn("I-RDB076019", "Failed to update server cache on disk!");
        return false;
    }
    FFLog("I-RDB076020", "Saved %lu leaf nodes for merge in %fms", (unsigned long)counter, nowMs() - start);
    return true;
}

uint64_t FLevelDBStorageEngine::serverCacheEstimatedSizeInBytes() {
    return serverCacheDB_->exactSizeFrom(kServerCachePrefix, kServerCacheEnd);
}

bool FLevelDBStorageEngine::pruneCache(const FPruneForest& pruneForest, const FPath& path) {
    const double start = nowMs();
    auto batch = serverCacheDB_->beginWriteBatch();
    unsigned long pruned = 0;
    unsigned long kept = 0;
    const std::string prefix = serverCacheKey(path);
    serverCacheDB_->enumerateKeysWithPrefix(prefix, [&](const std::string& key, bool&) {
        FPath relative(std::string_view(key).substr(prefix.size()));
        if (pruneForest.shouldPruneUnkeptDescendantsAtPath(relative)) {
            batch->removeKey(key);
            ++pruned;
        } else {
            ++kept;
        }
    });
    if (!batch->commit()) {
        FFWarn("I-RDB076021", "Failed to prune cache on disk!");
        return false;
    }
    FFLog("I-RDB076022", "Pruned %lu paths, kept %lu paths in %fms", pruned, kept, nowMs() - start);
    return true;
}

// ---------------------------------------------------------------- tracked queries

std::vector<FTrackedQuery> FLevelDBStorageEngine::loadTrackedQueries() {
    const double start = nowMs();
    std::vector<FTrackedQuery> queries;
    std::vector<std::string> badKeys;
    serverCacheDB_->enumerateKeysWithPrefixAsData(kTrackedQueriesPrefix, [&](const std::string& key,
                                                                             std::string_view bytes, bool&) {
        ns::ErrorRef error;
        ns::Value row = ns::json::parse(bytes, &error);
        std::optional<FTrackedQuery> query;
        if (!error) {
            // A record that is JSON but not a record is dropped like one
            // that is not JSON: raising here would stop every start.
            try {
                const ns::Dictionary& dict = row.asDictionary();
                const ns::Value& params = dict.at("p");
                query.emplace(dict.at("id").asUInt(),
                              FQuerySpec(FPath::pathWithString(dict.at("path").asString()),
                                         FQueryParams::fromQueryObject(params)),
                              dict.at("lu").asDouble(), dict.at("a").asBool(), dict.at("c").asBool());
            } catch (const std::exception& e) {
                error = ns::Error::make(ns::kCocoaErrorDomain, ns::json::kJSONErrorCode, exceptionText(e));
            }
        }
        if (!query) {
            FFWarn("I-RDB076023",
                   "Failed to deserialize tracked query (%@), likely because of out of range doubles (Error: %@)",
                   asText(bytes), error->description());
            FFWarn("I-RDB076024", "Removing failed tracked query with key %@", key);
            badKeys.push_back(key);
            return;
        }
        queries.push_back(std::move(*query));
    });
    for (const std::string& key : badKeys) serverCacheDB_->removeKey(key);
    FFLog("I-RDB076025", "Loaded %lu tracked queries in %fms", (unsigned long)queries.size(), nowMs() - start);
    return queries;
}

bool FLevelDBStorageEngine::removeTrackedQuery(uint64_t queryId) {
    const double start = nowMs();
    auto batch = serverCacheDB_->beginWriteBatch();
    batch->removeKey(trackedQueryKey(queryId));
    unsigned long keys = 0;
    serverCacheDB_->enumerateKeysWithPrefix(trackedKeysPrefix(queryId), [&](const std::string& key, bool&) {
        batch->removeKey(key);
        ++keys;
    });
    if (!batch->commit()) {
        FFWarn("I-RDB076026", "Failed to remove tracked query on disk!");
        return false;
    }
    FFLog("I-RDB076027", "Removed query with id %lu (and removed %lu keys) in %fms", (unsigned long)queryId, keys,
          nowMs() - start);
    return true;
}

bool FLevelDBStorageEngine::saveTrackedQuery(const FTrackedQuery& query) {
    const double start = nowMs();
    ns::Dictionary record{{"id", ns::Value(query.queryId())},
                          {"path", ns::Value(query.query().path().toStringWithTrailingSlash())},
                          {"p", ns::Value(query.query().params()->wireProtocolParams())},
                          {"lu", ns::Value(query.lastUse())},
                          {"c", ns::Value(query.isComplete())},
                          {"a", ns::Value(query.isActive())}};
    const bool saved =
        serverCacheDB_->setString(ns::json::serialize(ns::Value(std::move(record))), trackedQueryKey(query.queryId()));
    FFLog("I-RDB076028", "Saved tracked query %lu in %fms", (unsigned long)query.queryId(), nowMs() - start);
    return saved;
}

bool FLevelDBStorageEngine::setTrackedQueryKeys(const std::set<std::string>& keys, uint64_t queryId) {
    const double start = nowMs();
    auto batch = serverCacheDB_->beginWriteBatch();
    const std::string prefix = trackedKeysPrefix(queryId);
    std::set<std::string> present;
    unsigned long removed = 0;
    unsigned long added = 0;
    serverCacheDB_->enumerateKeysWithPrefixAsStrings(
        prefix, [&](const std::string& key, const std::string& value, bool&) {
            if (keys.count(value)) {
                present.insert(value);
            } else {
                batch->removeKey(key);
                ++removed;
            }
        });
    for (const std::string& key : keys) {
        if (present.count(key)) continue;
        batch->setString(key, prefix + key);
        ++added;
    }
    if (!batch->commit()) {
        FFWarn("I-RDB076029", "Failed to set tracked queries on disk!");
        return false;
    }
    FFLog("I-RDB076030", "Set %lu tracked keys (%lu added, %lu removed) for query %lu in %fms",
          (unsigned long)keys.size(), added, removed, (unsigned long)queryId, nowMs() - start);
    return true;
}

bool FLevelDBStorageEngine::updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added,
                                                                const std::set<std::string>& removed,
                                                                uint64_t queryId) {
    const double start = nowMs();
    auto batch = serverCacheDB_->beginWriteBatch();
    const std::string prefix = trackedKeysPrefix(queryId);
    for (const std::string& key : removed) batch->removeKey(prefix + key);
    for (const std::string& key : added) batch->setString(key, prefix + key);
    if (!batch->commit()) {
        FFWarn("I-RDB076031", "Failed to update tracked queries on disk!");
        return false;
    }
    FFLog("I-RDB076032", "Added %lu tracked keys, removed %lu for query %lu in %fms", (unsigned long)added.size(),
          (unsigned long)removed.size(), (unsigned long)queryId, nowMs() - start);
    return true;
}

std::set<std::string> FLevelDBStorageEngine::trackedQueryKeysForQuery(uint64_t queryId) {
    const double start = nowMs();
    std::set<std::string> keys;
    serverCacheDB_->enumerateKeysWithPrefixAsStrings(
        trackedKeysPrefix(queryId), [&](const std::string&, const std::string& value, bool&) { keys.insert(value); });
    FFLog("I-RDB076033", "Loaded %lu tracked keys for query %lu in %fms", (unsigned long)keys.size(),
          (unsigned long)queryId, nowMs() - start);
    return keys;
}
