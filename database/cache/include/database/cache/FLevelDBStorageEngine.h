#pragma once
// The store behind the persistence manager: two leveldb databases in a
// directory under the documents folder's "quorvane" root. "writes" keeps the
// user's unacknowledged writes, one JSON row per write id; "server_data"
// keeps the server's data one row per leaf (keyed "/server_cache/" + the
// leaf's path with a trailing slash, so a subtree is one prefix scan), the
// tracked-query records and their tracked keys.

#include <memory>
#include <string>

#include "database/cache/APLevelDB.h"
#include "database/cache/FCacheNodeReader.h"
#include "database/cache/FStorageEngine.h"
#include "database/model/FRepoInfo.h"

class FLevelDBStorageEngine : public FStorageEngine {
public:
    // Roots the engine at quorvaneDir() + "/" + path, creating and version-
    // checking the directory and opening both databases. Raises
    // "FailedToCreatePersistenceDir", NSInternalInconsistencyException
    // "Unrecognized database version: %@" (a version number other than 1)
    // or "QuorvaneDatabasePersistenceFailure" when it cannot. A version file
    // holding no version number is damaged: it is set aside ("version.damaged")
    // and written again.
    explicit FLevelDBStorageEngine(const std::string& path);
    ~FLevelDBStorageEngine() override;

    static std::string quorvaneDir();
    static void ensureDir(const std::string& path, bool markAsDoNotBackup);

    const std::string& basePath() const { return basePath_; }
    const APLevelDBPtr& writesDB() const { return writesDB_; }
    const APLevelDBPtr& serverCacheDB() const { return serverCacheDB_; }

    void runMigration();
    void openDatabases();
    APLevelDBPtr createDB(const std::string& name);
    void purgeEverything();
    // Moves the older layout's pending writes into "writes" once.
    void runLegacyMigration(const FRepoInfo& repoInfo);
    // The write an older layout's row holds under its write id (a keyed
    // archive of FPendingPut, FPendingPutPriority or FPendingUpdate);
    // nullptr for a row the current layout cannot take.
    static FWriteRecordPtr legacyWriteRecord(const std::string& key, std::string_view bytes);

    void close() override;

    bool saveUserOverwrite(const FNodePtr& node, const FPath& path, uint64_t writeId) override;
    bool saveUserMerge(const FCompoundWrite& merge, const FPath& path, uint64_t writeId) override;
    bool removeUserWrite(uint64_t writeId) override;
    bool removeAllUserWrites() override;
    std::vector<FWriteRecordPtr> userWrites() override;

    FNodePtr serverCacheAtPath(const FPath& path) override;
    FNodePtr serverCacheForKeys(const std::set<std::string>& keys, const FPath& path) override;
    bool updateServerCache(const FNodePtr& node, const FPath& path, bool merge) override;
    bool updateServerCacheWithMerge(const FCompoundWrite& merge, const FPath& path) override;
    uint64_t serverCacheEstimatedSizeInBytes() override;
    bool pruneCache(const FPruneForest& pruneForest, const FPath& path) override;

    std::vector<FTrackedQuery> loadTrackedQueries() override;
    bool removeTrackedQuery(uint64_t queryId) override;
    bool saveTrackedQuery(const FTrackedQuery& query) override;
    bool setTrackedQueryKeys(const std::set<std::string>& keys, uint64_t queryId) override;
    bool updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added, const std::set<std::string>& removed,
                                             uint64_t queryId) override;
    std::set<std::string> trackedQueryKeysForQuery(uint64_t queryId) override;

    // Row helpers, public for the tests and the benchmarks.
    static std::string serverCacheKey(const FPath& path);
    static std::string serializePrimitive(const ns::Value& value);
    // nullopt (with a warning) when the row is not a JSON value.
    static std::optional<ns::Value> deserializePrimitive(std::string_view bytes);

private:
    void removeAllLeafNodesOnPath(const FPath& path, APLevelDBWriteBatch& batch);
    void removeAllWithPrefix(const std::string& prefix, APLevelDBWriteBatch& batch, APLevelDB& database);
    void saveNodeInternal(const FNodePtr& node, const FPath& path, APLevelDBWriteBatch& batch, uint64_t& counter);
    void saveNodeRows(const FNodePtr& node, std::string& key, APLevelDBWriteBatch& batch, uint64_t& counter);
    static std::string serializeLeaf(const FLeafNode& leaf);
    // A row's value as a node; nullptr (with a warning) when it is not JSON.
    static FNodePtr rowNode(std::string_view bytes, FCacheNodeReader::Sharing::Place& place);
    FNodePtr nodeAtPath(const FPath& path);
    bool writeLegacyMigrationMark();

    std::string basePath_;
    APLevelDBPtr writesDB_;
    APLevelDBPtr serverCacheDB_;
};
