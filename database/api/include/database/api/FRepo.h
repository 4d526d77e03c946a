#pragma once
// The repository: one per (session identifier, host, namespace). It owns the
// wire-protocol client, the sync tree of server data (with the local cache
// when there is one), a second sync tree for the client-side ".info" data,
// the event raiser, the server-time estimate, the on-disconnect writes and
// the transaction queues. Every write, observer and transaction of the public
// classes enters here, and every push of the server comes back here through
// the connection's delegate calls.
//
// make(), name(), description() and serverTime() may be called from any
// thread; make() queues the rest of the set-up on the worker queue. Every
// other operation runs on the worker queue (Debug builds raise elsewhere for
// the entry points). User blocks and events leave through the event
// raiser, asynchronously on the configured callback queue, in the order they
// were raised. Nothing here throws across the queue: a push the repository
// cannot read, or an update block that raises, is logged and dropped or
// completed as an abort.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "database/api/FTupleTransaction.h"
#include "database/api/QRVDatabaseReference.h"
#include "database/connection/FPersistentConnection.h"
#include "database/connection/QRVDatabaseConfig.h"
#include "database/model/FClock.h"
#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/model/FRepoInfo.h"
#include "database/model/FTree.h"
#include "database/sync/FEvent.h"
#include "database/sync/FPersistenceManager.h"
#include "database/sync/FServerValues.h"
#include "database/sync/FSyncTree.h"

class QRVDatabase;

// A transaction is sent at most this many times.
inline constexpr int32_t kFTransactionMaxRetries = 25;
// Abort statuses of transactions.
inline constexpr const char* kFTransactionTooManyRetries = "maxretry";
inline constexpr const char* kFTransactionSet = "set";
// The server's answer to a put whose hash no longer matches.
inline constexpr const char* kFWPResponseForActionStatusDataStale = "datastale";

class FRepo : public FPersistentConnectionDelegate, public std::enable_shared_from_this<FRepo> {
public:
    using TransactionQueue = std::vector<FTupleTransactionPtr>;
    using TransactionTree = FTree<TransactionQueue>;
    // Replaces the data of every server data push (path string, data).
    using InterceptServerDataCallback = std::function<ns::Value(const std::string& pathString, const ns::Value& data)>;

    // initWithRepoInfo:config:database: the connection and the event raiser
    // are made here; the rest of the set-up is queued on the worker queue,
    // ahead of anything the caller queues afterwards. The database is held
    // weakly: it owns the repository.
    static std::shared_ptr<FRepo> make(std::shared_ptr<FRepoInfo> repoInfo, QRVDatabaseConfigPtr config,
                                       const std::shared_ptr<QRVDatabase>& database);
    ~FRepo() override;

    // The namespace, and the location's description.
    std::string name() const;
    std::string description() const;

    // The connection stays down for "repo_interrupt" until resume().
    void interrupt();
    void resume();
    // Interrupts for good and closes the cache.
    void dispose();
    const std::unordered_map<FQuerySpec, std::shared_ptr<FOutstandingQuery>>& dumpListens() const;

    // Post-increment: 0 first, or one more than the highest restored write.
    int64_t nextWriteId();
    // The estimate of the server's time, seconds since 1970. Any thread
    // (references make push ids with it on the caller's thread).
    double serverTime() const;

    // Writes: applied locally at once (events raised), persisted, sent; the
    // callback (may be empty) gets the server's answer on the callback queue.
    void set(const FPath& path, const FNodePtr& node, QRVDatabaseReferenceCompletion onComplete);
    void update(const FPath& path, const FCompoundWrite& nodes, QRVDatabaseReferenceCompletion onComplete);
    // Drops every pending write locally and on the connection; their
    // callbacks get "Write cancelled by user".
    void purgeOutstandingWrites();

    void callOnComplete(const QRVDatabaseReferenceCompletion& onComplete, const std::string& status,
                        const std::optional<std::string>& errorReason, const FPath& path);
    // The two steps every write answer runs first.
    void ackWrite(int64_t writeId, const FPath& path, const std::string& status);
    void warnIfWriteFailed(const FPath& path, const std::string& status, const std::string& message);

    // Observers: ".info" paths go to the ".info" tree, the rest to the
    // server tree; a null registration removes every one of the query.
    void addEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query);
    void removeEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query);
    // Always the server tree.
    void keepQuery(const FQuerySpec& query, bool synced);

    // On-disconnect writes: kept by the server, mirrored here once accepted
    // and applied locally when this client sees the connection drop.
    void onDisconnectSet(const FPath& path, const FNodePtr& node, QRVDatabaseReferenceCompletion onComplete);
    void onDisconnectUpdate(const FPath& path, const FCompoundWrite& nodes, QRVDatabaseReferenceCompletion onComplete);
    void onDisconnectCancel(const FPath& path, QRVDatabaseReferenceCompletion onComplete);
    void runOnDisconnectEvents();

    // Transactions.
    void startTransactionOnPath(const FPath& path, QRVTransactionUpdateBlock update,
                                QRVTransactionCompletion onComplete, bool applyLocally);
    // Both answer the path at which the queue was (or is to be) rerun; the
    // given path when no transaction is queued.
    FPath rerunTransactionsForPath(const FPath& path);
    FPath abortTransactionsAtPath(const FPath& path, const std::string& reason);

    // FPersistentConnectionDelegate.
    void onDataUpdate(FPersistentConnection& connection, const std::string& pathString, const ns::Value& message,
                      bool isMerge, std::optional<FQueryTag> tagId) override;
    void onCheckedDataUpdate(FPersistentConnection& connection, const std::string& pathString, bool isMerge,
                             std::optional<FQueryTag> tagId, const FCheckedServerData& checked) override;
    void onRangeMerge(const std::vector<FRangeMerge>& ranges, const std::string& pathString,
                      std::optional<FQueryTag> tagId) override;
    void onConnect(FPersistentConnection& connection) override;
    void onDisconnect(FPersistentConnection& connection) override;
    void onServerInfoUpdate(FPersistentConnection& connection, const ns::Dictionary& updates) override;

    // The folder of this session's cache below the storage root: the session
    // identifier, then host and namespace joined by "_". Each piece is
    // percent-encoded, so an identifier such as "../x" or "a/b" stays one
    // folder name inside the root; distinct identifiers stay distinct.
    static std::string cacheFolder(const std::string& sessionIdentifier, const FRepoInfo& repoInfo);
    // This repository's cache folder when persistence is on, else empty.
    const std::string& cacheFolderPath() const { return cacheFolderPath_; }

    std::shared_ptr<QRVDatabase> database() const { return database_.lock(); }
    const QRVDatabaseConfigPtr& config() const { return config_; }
    const std::shared_ptr<FRepoInfo>& repoInfo() const { return repoInfo_; }
    const std::shared_ptr<FPersistentConnection>& connection() const { return connection_; }
    const std::shared_ptr<FSyncTree>& serverSyncTree() const { return serverSyncTree_; }
    const std::shared_ptr<FSyncTree>& infoSyncTree() const { return infoSyncTree_; }
    const FEventRaiser& eventRaiser() const { return eventRaiser_; }

    // Diagnostics and test hooks (worker queue).
    int64_t dataUpdateCount() const { return dataUpdateCount_; }
    int64_t rangeMergeUpdateCount() const { return rangeMergeUpdateCount_; }
    void setInterceptServerDataCallback(InterceptServerDataCallback callback) {
        interceptServerDataCallback_ = std::move(callback);
    }
    // Transaction puts carry the hash "badhash" while set.
    void setHijackHash(bool hijack) { hijackHash_ = hijack; }
    // Only for tests that drive the cache by hand; set before the deferred
    // initialisation has run.
    void setPersistenceManagerForTesting(FPersistenceManagerPtr manager) { persistenceManager_ = std::move(manager); }
    const FPersistenceManagerPtr& persistenceManagerForTesting() const { return persistenceManager_; }

    struct Passkey {};
    FRepo(Passkey, std::shared_ptr<FRepoInfo> repoInfo, QRVDatabaseConfigPtr config,
          const std::shared_ptr<QRVDatabase>& database);

private:
    void deferredInit();
    void restoreWrites();
    void updateInfo(const std::string& key, const ns::Value& value);
    void setupNotifications();
    void didEnterBackground();
    FEventList infoStartListening(const FQuerySpec& query, const FListenCompleteBlock& onComplete);
    FEventList serverStartListening(const FQuerySpec& query, std::optional<FQueryTag> tag,
                                    const FSyncTreeHashPtr& hash, const FListenCompleteBlock& onComplete);
    // The server's answer to a write the user made (or one restored).
    FCallbackStatusBlock writeAnswer(int64_t writeId, const FPath& path, std::string label,
                                     QRVDatabaseReferenceCompletion onComplete);
    // A push's data, converted once: the connection's conversion when it
    // is given and the data are still what it converted.
    void applyDataUpdate(const std::string& pathString, const ns::Value* message, bool isMerge,
                         std::optional<FQueryTag> tagId, const FCheckedServerData* checked);
    // The sync tree's events for a push, or nullopt when the data cannot be
    // read as a node (logged).
    std::optional<FEventList> applyServerData(const FPath& path, const ns::Value& data, bool isMerge,
                                              std::optional<FQueryTag> tagId, const FCheckedServerData* checked);
    void raiseEvents(const FEventList& events) const;
    QRVDatabaseReferencePtr referenceAt(const FPath& path);

    // Transactions.
    void initTransactions();
    FNodePtr latestStateAtPath(const FPath& path, const std::vector<int64_t>& excludeWriteIds) const;
    // Runs the user's update block; an exception it raises counts as an
    // abort (logged), so it never crosses the worker queue.
    std::shared_ptr<QRVTransactionResult> runUpdateBlock(const FTupleTransaction& transaction,
                                                         const FNodePtr& input) const;
    void sendAllReadyTransactions();
    void sendReadyTransactionsForTree(const TransactionTree::Ptr& node);
    void sendTransactionQueue(const TransactionQueue& queue, const FPath& path);
    void transactionPutAnswered(const TransactionQueue& queue, const FPath& path, const std::string& status,
                                const std::optional<std::string>& reason);
    void rerunTransactionQueue(const TransactionQueue& queue, const FPath& path);
    TransactionTree::Ptr getAncestorTransactionNodeForPath(const FPath& path);
    TransactionQueue buildTransactionQueueAtNode(const TransactionTree::Ptr& node);
    void aggregateTransactionQueuesForNode(const TransactionTree::Ptr& node, TransactionQueue& queue);
    void pruneCompletedTransactionsBelowNode(const TransactionTree::Ptr& node);
    void abortTransactionsAtNode(const TransactionTree::Ptr& node, const std::string& reason);
    // The completion of a transaction, as a callback for the event raiser.
    ns::Block transactionCompletion(const FTupleTransactionPtr& transaction, ns::ErrorRef error, bool committed,
                                    const FNodePtr& node);

    bool hijackHash_ = false;
    bool loggedTransactionPersistenceWarning_ = false;
    QRVDatabaseConfigPtr config_;
    std::weak_ptr<QRVDatabase> database_;
    // Replaced on the worker queue, read from any thread through
    // serverClock().
    FClockPtr serverClock() const;
    mutable std::mutex serverClockMutex_;
    FClockPtr serverClock_;
    FPersistenceManagerPtr persistenceManager_;
    std::shared_ptr<FSyncTree> infoSyncTree_;
    int64_t writeIdCounter_ = 0;
    TransactionTree::Ptr transactionQueueTree_;
    InterceptServerDataCallback interceptServerDataCallback_;
    std::shared_ptr<FRepoInfo> repoInfo_;
    std::shared_ptr<FPersistentConnection> connection_;
    FSnapshotHolder infoData_;
    std::shared_ptr<FSparseSnapshotTree> onDisconnect_;
    FEventRaiser eventRaiser_;
    std::shared_ptr<FSyncTree> serverSyncTree_;
    int64_t dataUpdateCount_ = 0;
    int64_t rangeMergeUpdateCount_ = 0;
    ns::ObserverToken backgroundObserver_ = 0;
    std::string cacheFolderPath_;
};
