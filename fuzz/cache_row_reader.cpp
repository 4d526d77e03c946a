// The database cache's stored rows as it reads them back at start: the
// user's pending writes, the server cache's leaf rows under "/server_cache/",
// tracked-query records and their tracked keys, through the storage engine
// over leveldb (one engine for the run, its databases made afresh for each
// input), each row's text through the cache's fast node reader, and the
// older layout's pending writes, moved into the writes database as a start
// moves them.
//
// Input: one row per line, "<db><key>\t<value>": a first byte of 'w' puts
// the row in the writes database, 'l' in the older layout's (its value a
// keyed archive: XML on one line, or binary without a line break), any other
// in the server data; the key runs to the first tab, the value to the end of
// the line.
//
// Invariants: a row the fast reader takes reads as the generic reader reads
// it; a write, older or current, is taken only if it writes no deeper than
// a location may lie, and the move stores every write it takes; what the
// engine restores (writes, the server cache, tracked queries and their
// keys), stored again through the engine, reads back the same.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/QRVLogger.h"
#include "database/cache/FCacheNodeReader.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/file_manager.h"
#include "platform/json.h"
#include "platform/sandbox.h"
#include "require.h"
#include "scratch_dir.h"

namespace {

FLevelDBStorageEngine& engine() {
    static FLevelDBStorageEngine* shared = [] {
        ns::Sandbox::setCurrent(ns::Sandbox::open(scratchDir()));
        // The warnings about dropped rows are built but not written.
        QRVSetLoggerLevel(QRVLoggerLevelError);
        return new FLevelDBStorageEngine("fuzz/cache");
    }();
    return *shared;
}

void empty(APLevelDB& db) {
    auto batch = db.beginWriteBatch();
    db.enumerateKeys([&](const std::string& key, bool&) { batch->removeKey(key); });
    db.commitWriteBatch(batch);
}

// The fast reader answers only for text the generic one reads the same.
void checkRowText(std::string_view text) {
    const FNodePtr fast = FCacheNodeReader::nodeFromJSON(text);
    if (!fast) return;
    ns::ErrorRef error;
    const ns::Value value = ns::json::parse(text, &error);
    require(!error);  // the fast reader took text that is not JSON
    FNodePtr generic;
    try {
        generic = FSnapshotUtilities::nodeFrom(value);
    } catch (const std::exception&) {
    }
    require(generic && generic->isEqual(*fast));  // the two readers differ
}

using Rows = std::vector<std::pair<std::string, std::string_view>>;

// The deepest a write reaches: its path, and for an update each member's
// below it.
size_t deepestPlace(const FWriteRecord& write) {
    size_t deepest = write.path().length();
    if (write.isMerge()) {
        write.compoundWrite().enumerateWrites([&](const FPath& member, const FNodePtr&, bool&) {
            deepest = std::max(deepest, write.path().length() + member.length());
        });
    }
    return deepest;
}

void migrateLegacyRows(FLevelDBStorageEngine& cache, const Rows& rows) {
    if (rows.empty()) return;
    for (const auto& [key, bytes] : rows) {
        const FWriteRecordPtr write = FLevelDBStorageEngine::legacyWriteRecord(key, bytes);
        require(!write || deepestPlace(*write) <= kQuorvaneMaxTreeDepth);  // a write deeper than any location
    }
    const FRepoInfo repo("db.example.com", true, "db");
    const std::string folder = FLevelDBStorageEngine::quorvaneDir() + "/1/db.example.com_db/v1";
    auto& files = ns::FileManager::defaultManager();
    require(files.createDirectory(folder, true));
    {
        // Closed before the move opens it.
        const APLevelDBPtr legacy = APLevelDB::levelDBWithPath(folder + "/outstanding_puts", nullptr);
        require(legacy != nullptr);
        for (const auto& [key, bytes] : rows) legacy->setData(bytes, key);
    }
    cache.runLegacyMigration(repo);
    require(!files.fileExists(folder));  // a write the move took could not be stored
}

void checkWrites(FLevelDBStorageEngine& cache) {
    const auto writes = cache.userWrites();
    cache.removeAllUserWrites();
    for (const auto& write : writes) {
        require(deepestPlace(*write) <= kQuorvaneMaxTreeDepth);  // a restored write deeper than any location
        const uint64_t id = uint64_t(write->writeId());
        require(write->isOverwrite() ? cache.saveUserOverwrite(write->overwrite(), write->path(), id)
                                     : cache.saveUserMerge(write->compoundWrite(), write->path(), id));
    }
    const auto again = cache.userWrites();
    require(again.size() == writes.size());  // a restored write was lost once stored again
    for (size_t i = 0; i < writes.size(); ++i) require(*again[i] == *writes[i]);  // a write read differently
}

void checkServerCache(FLevelDBStorageEngine& cache) {
    const FNodePtr node = cache.serverCacheAtPath(FPath::empty());
    cache.serverCacheEstimatedSizeInBytes();
    require(cache.updateServerCache(node, FPath::empty(), false));
    require(cache.serverCacheAtPath(FPath::empty())->isEqual(*node));  // the cache read differently once stored
}

// Records are compared by id: two rows may hold one id, and the last read
// is the one kept.
void checkTrackedQueries(FLevelDBStorageEngine& cache) {
    std::map<uint64_t, FTrackedQuery> queries;
    std::map<uint64_t, std::set<std::string>> keys;
    for (const auto& query : cache.loadTrackedQueries()) {
        queries.insert_or_assign(query.queryId(), query);
        keys[query.queryId()] = cache.trackedQueryKeysForQuery(query.queryId());
        cache.serverCacheForKeys(keys[query.queryId()], query.query().path());
    }
    empty(*cache.serverCacheDB());
    for (const auto& [id, query] : queries) {
        require(cache.saveTrackedQuery(query));
        require(cache.setTrackedQueryKeys(keys[id], id));
    }
    std::map<uint64_t, FTrackedQuery> again;
    for (const auto& query : cache.loadTrackedQueries()) again.insert_or_assign(query.queryId(), query);
    require(again == queries);  // a tracked query was lost or read differently once stored again
    for (const auto& [id, tracked] : keys) require(cache.trackedQueryKeysForQuery(id) == tracked);  // keys changed
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FLevelDBStorageEngine& cache = engine();
    // Fresh databases each time: rows deleted in place would pile up as
    // tombstones that every later scan steps over.
    cache.purgeEverything();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Rows legacy;
    for (size_t at = 0; at < input.size();) {
        size_t end = input.find('\n', at);
        if (end == std::string_view::npos) end = input.size();
        const std::string_view line = input.substr(at, end - at);
        at = end + 1;
        if (line.empty()) continue;
        const size_t tab = line.find('\t');
        const std::string_view key = line.substr(1, tab == std::string_view::npos ? line.size() : tab - 1);
        const std::string_view value = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
        if (line[0] == 'l') {
            legacy.emplace_back(key, value);
            continue;
        }
        checkRowText(value);
        (line[0] == 'w' ? cache.writesDB() : cache.serverCacheDB())->setData(value, key);
    }
    migrateLegacyRows(cache, legacy);
    checkWrites(cache);
    checkServerCache(cache);
    checkTrackedQueries(cache);
    return 0;
}
