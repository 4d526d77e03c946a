#include "database/api/FRepo.h"

#include <algorithm>
#include <limits>

#include "database/api/FEventRegistrations.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVMutableData.h"
#include "database/api/QRVTransactionResult.h"
#include "database/cache/FDiskPersistenceManager.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/connection/FConstants.h"
#include "database/connection/FLog.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "database/model/FUtilities.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/notification_center.h"

namespace {

const char* const kDotInfoConnected = "connected";

bool isInfoPath(const FPath& path) { return path.getFront() == std::optional<std::string>(".info"); }

void append(FEventList& into, FEventList&& events) {
    into.insert(into.end(), std::make_move_iterator(events.begin()), std::make_move_iterator(events.end()));
}

std::string exceptionText(const std::exception& e) {
    if (const auto* nsException = dynamic_cast<const ns::Exception*>(&e)) {
        return nsException->name() + ": " + nsException->reason();
    }
    return e.what();
}

FPersistenceManagerPtr makePersistenceManager(const QRVDatabaseConfig& config, const FRepoInfo& repoInfo,
                                              const std::string& cacheFolderPath) {
    auto policy = std::make_shared<FLRUCachePolicy>(config.persistenceCacheSizeBytes());
    std::shared_ptr<FStorageEngine> engine = config.forceStorageEngine();
    if (!engine) {
        // A cache that cannot be opened (another process holds its lock, or
        // its files are damaged) leaves this run without persistence rather
        // than ending it: raising here would stop every start, while the
        // writes already on disk stay there for a later run to restore.
        try {
            auto levelDB = std::make_shared<FLevelDBStorageEngine>(cacheFolderPath);
            levelDB->runLegacyMigration(repoInfo);
            engine = levelDB;
        } catch (const std::exception& e) {
            QRVLogError(kQRVLoggerDatabase, "I-RDB038027",
                        "Could not open the local cache at %@, continuing without persistence: %@", cacheFolderPath,
                        exceptionText(e));
            return nullptr;
        }
    }
    return std::make_shared<FDiskPersistenceManager>(std::move(engine), std::move(policy));
}

}  // namespace

ns::ErrorRef FTupleTransaction::abortError() const {
    if (!abortStatus) return nullptr;
    return FUtilities::errorForStatus(*abortStatus, abortReason);
}

// ---------------------------------------------------------------- creation

std::shared_ptr<FRepo> FRepo::make(std::shared_ptr<FRepoInfo> repoInfo, QRVDatabaseConfigPtr config,
                                   const std::shared_ptr<QRVDatabase>& database) {
    auto repo = std::make_shared<FRepo>(Passkey{}, std::move(repoInfo), std::move(config), database);
    // The block keeps the repository alive until its set-up has run.
    FWorkerQueue::sharedQueue()->async([repo] { repo->deferredInit(); });
    return repo;
}

FRepo::FRepo(Passkey, std::shared_ptr<FRepoInfo> repoInfo, QRVDatabaseConfigPtr config,
             const std::shared_ptr<QRVDatabase>& database)
    : config_(std::move(config)),
      database_(database),
      serverClock_(std::make_shared<FOffsetClock>(FSystemClock::clock(), 0.0)),
      repoInfo_(std::move(repoInfo)),
      connection_(FPersistentConnection::make(repoInfo_, FWorkerQueue::sharedQueue(), config_)),
      eventRaiser_(config_->callbackQueue(), FWorkerQueue::sharedQueue()) {}

FRepo::~FRepo() {
    if (backgroundObserver_) ns::NotificationCenter::defaultCenter().removeObserver(backgroundObserver_);
}

void FRepo::deferredInit() {
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    config_->authTokenProvider()->listenForTokenChanges([weakSelf](std::optional<std::string> token) {
        if (auto self = weakSelf.lock()) self->connection_->refreshAuthToken(token);
    });

    connection_->setDelegate(std::weak_ptr<FPersistentConnectionDelegate>(weakSelf));
    connection_->open();

    dataUpdateCount_ = 0;
    rangeMergeUpdateCount_ = 0;
    interceptServerDataCallback_ = nullptr;

    if (config_->persistenceEnabled()) {
        cacheFolderPath_ = cacheFolder(config_->sessionIdentifier(), *repoInfo_);
        // A manager set for tests is kept.
        if (!persistenceManager_) persistenceManager_ = makePersistenceManager(*config_, *repoInfo_, cacheFolderPath_);
    }

    initTransactions();

    onDisconnect_ = std::make_shared<FSparseSnapshotTree>();
    infoData_ = FSnapshotHolder();

    FListenProvider infoListenProvider;
    infoListenProvider.setStartListening([weakSelf](const FQuerySpec& query, std::optional<FQueryTag>,
                                                    const FSyncTreeHashPtr&, const FListenCompleteBlock& onComplete) {
        auto self = weakSelf.lock();
        return self ? self->infoStartListening(query, onComplete) : FEventList{};
    });
    infoListenProvider.setStopListening([](const FQuerySpec&, std::optional<FQueryTag>) {});
    infoSyncTree_ = FSyncTree::make(nullptr, std::move(infoListenProvider));

    FListenProvider serverListenProvider;
    serverListenProvider.setStartListening([weakSelf](const FQuerySpec& query, std::optional<FQueryTag> tag,
                                                      const FSyncTreeHashPtr& hash,
                                                      const FListenCompleteBlock& onComplete) {
        auto self = weakSelf.lock();
        return self ? self->serverStartListening(query, tag, hash, onComplete) : FEventList{};
    });
    serverListenProvider.setStopListening([weakSelf](const FQuerySpec& query, std::optional<FQueryTag> tag) {
        if (auto self = weakSelf.lock()) self->connection_->unlisten(query, tag);
    });
    serverSyncTree_ = FSyncTree::make(persistenceManager_, std::move(serverListenProvider));

    restoreWrites();
    updateInfo(kDotInfoConnected, ns::Value(false));
    setupNotifications();
}

std::string FRepo::cacheFolder(const std::string& sessionIdentifier, const FRepoInfo& repoInfo) {
    // The host cannot hold "/" and the key always ends in "_<namespace>", so
    // only the identifier, which is an app's name, could leave the root.
    const std::string key = ns::format("%@_%@", repoInfo.host(), repoInfo.getNamespace());
    return ns::format("%@/%@", FStringUtilities::urlEncoded(sessionIdentifier), key);
}

FEventList FRepo::infoStartListening(const FQuerySpec& query, const FListenCompleteBlock& onComplete) {
    FNodePtr node = infoData_.getNode(query.path());
    if (node->isEmpty()) return {};
    FEventList events = infoSyncTree_->applyServerOverwriteAtPath(query.path(), node);
    // The completion changes the ".info" tree, which is in the middle of
    // adding this listen: it runs once the start has returned. Its events
    // add nothing to those just answered.
    FWorkerQueue::sharedQueue()->async([onComplete] { onComplete(kFWPResponseForActionStatusOk); });
    return events;
}

FEventList FRepo::serverStartListening(const FQuerySpec& query, std::optional<FQueryTag> tag,
                                       const FSyncTreeHashPtr& hash, const FListenCompleteBlock& onComplete) {
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    connection_->listen(query, tag, hash, [weakSelf, onComplete](const std::string& status) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->raiseEvents(onComplete(status));
    });
    return {};
}

void FRepo::restoreWrites() {
    std::vector<FWriteRecordPtr> writes = persistenceManager_ ? persistenceManager_->userWrites()
                                                              : std::vector<FWriteRecordPtr>{};
    const ns::Dictionary serverValues = FServerValues::generateServerValues(*serverClock());
    int64_t lastWriteId = std::numeric_limits<int64_t>::min();
    for (const FWriteRecordPtr& write : writes) {
        const int64_t writeId = write->writeId();
        if (writeId <= lastWriteId) {
            // The cache hands its writes over sorted by id; a record out of
            // order is skipped with an error rather than raised here, on
            // the worker queue, where it would end the process.
            QRVLogError(kQRVLoggerDatabase, "I-RDB038026", "Restored writes were not in order! Skipping write %ld",
                        long(writeId));
            continue;
        }
        lastWriteId = writeId;
        writeIdCounter_ = writeId + 1;
        FCallbackStatusBlock answer = writeAnswer(writeId, write->path(), "Persisted write", nullptr);
        // The sync tree's events for restored writes are not raised: no
        // observer can exist yet.
        if (write->isOverwrite()) {
            FFLog("I-RDB038001", "Restoring overwrite with id %ld", long(writeId));
            connection_->putData(write->overwrite()->valForExport(true), write->path().toString(), std::nullopt,
                                 answer);
            FNodePtr resolved = FServerValues::resolveDeferredValueSnapshot(write->overwrite(), serverValues);
            serverSyncTree_->applyUserOverwriteAtPath(write->path(), resolved, writeId, true);
        } else {
            FFLog("I-RDB038002", "Restoring merge with id %ld", long(writeId));
            ns::Value merge = write->compoundWrite().valForExport(true);
            connection_->mergeData(merge.isDictionary() ? merge.asDictionary() : ns::Dictionary{},
                                   write->path().toString(), answer);
            FCompoundWrite resolved =
                FServerValues::resolveDeferredValueCompoundWrite(write->compoundWrite(), serverValues);
            serverSyncTree_->applyUserMergeAtPath(write->path(), resolved, writeId);
        }
    }
}

void FRepo::setupNotifications() {
    // The UIKit stand-in is always linked, so the notification always exists.
    FFLog("I-RDB038015", "Registering for background notification.");
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    backgroundObserver_ = ns::NotificationCenter::defaultCenter().addObserver(
        ns::kUIApplicationDidEnterBackgroundNotification, nullptr, nullptr, [weakSelf](const ns::Notification&) {
            if (auto self = weakSelf.lock()) self->didEnterBackground();
        });
}

void FRepo::didEnterBackground() {
    if (!config_->persistenceEnabled()) return;
    FFLog("I-RDB038017", "Entering background.  Starting background task to finish work.");
    // The application stand-in grants background time without a task
    // object; the block marks when the work queued before it is done.
    const double start = ns::Clock::nowSeconds();
    FWorkerQueue::sharedQueue()->async([start] {
        FFLog("I-RDB038018", "Background task completed.  Queue time: %f", ns::Clock::nowSeconds() - start);
    });
}

// ---------------------------------------------------------------- lifecycle

std::string FRepo::name() const { return repoInfo_->getNamespace(); }

std::string FRepo::description() const { return repoInfo_->description(); }

void FRepo::interrupt() {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    connection_->interruptForReason(kFInterruptReasonRepoInterrupt);
}

void FRepo::resume() {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    connection_->resumeForReason(kFInterruptReasonRepoInterrupt);
}

void FRepo::dispose() {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    connection_->interruptForReason(kFInterruptReasonRepoInterrupt);
    if (persistenceManager_) persistenceManager_->close();
    if (backgroundObserver_) {
        ns::NotificationCenter::defaultCenter().removeObserver(backgroundObserver_);
        backgroundObserver_ = 0;
    }
}

const std::unordered_map<FQuerySpec, std::shared_ptr<FOutstandingQuery>>& FRepo::dumpListens() const {
    return connection_->dumpListens();
}

int64_t FRepo::nextWriteId() { return writeIdCounter_++; }

double FRepo::serverTime() const { return serverClock()->currentTime(); }

FClockPtr FRepo::serverClock() const {
    std::lock_guard lock(serverClockMutex_);
    return serverClock_;
}

void FRepo::raiseEvents(const FEventList& events) const {
    if (!events.empty()) eventRaiser_.raiseEvents(events);
}

QRVDatabaseReferencePtr FRepo::referenceAt(const FPath& path) {
    return std::make_shared<QRVDatabaseReference>(shared_from_this(), path);
}

// ---------------------------------------------------------------- writes

void FRepo::set(const FPath& path, const FNodePtr& node, QRVDatabaseReferenceCompletion onComplete) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    const ns::Value value = node->valForExport(true);
    FFLog("I-RDB038003", "Setting: %@ with %@ pri: %@", path.toString(), value, node->getPriority()->val());
    const ns::Dictionary serverValues = FServerValues::generateServerValues(*serverClock());
    FNodePtr resolved = FServerValues::resolveDeferredValueSnapshot(node, serverValues);
    const int64_t writeId = nextWriteId();
    if (persistenceManager_) persistenceManager_->saveUserOverwrite(node, path, uint64_t(writeId));
    raiseEvents(serverSyncTree_->applyUserOverwriteAtPath(path, resolved, writeId, true));
    connection_->putData(value, path.toString(), std::nullopt,
                         writeAnswer(writeId, path, "setValue: or removeValue:", std::move(onComplete)));
    rerunTransactionsForPath(abortTransactionsAtPath(path, kFTransactionSet));
}

void FRepo::update(const FPath& path, const FCompoundWrite& nodes, QRVDatabaseReferenceCompletion onComplete) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    const ns::Value value = nodes.valForExport(true);
    FFLog("I-RDB038004", "Updating: %@ with %@", path.toString(), value);
    const ns::Dictionary serverValues = FServerValues::generateServerValues(*serverClock());
    FCompoundWrite resolved = FServerValues::resolveDeferredValueCompoundWrite(nodes, serverValues);
    if (resolved.isEmpty()) {
        FFLog("I-RDB038006", "update called with empty data. Doing nothing");
        callOnComplete(onComplete, kFWPResponseForActionStatusOk, std::nullopt, path);
        return;
    }
    const int64_t writeId = nextWriteId();
    if (persistenceManager_) persistenceManager_->saveUserMerge(nodes, path, uint64_t(writeId));
    raiseEvents(serverSyncTree_->applyUserMergeAtPath(path, resolved, writeId));
    connection_->mergeData(value.isDictionary() ? value.asDictionary() : ns::Dictionary{}, path.toString(),
                           writeAnswer(writeId, path, "updateChildValues:", std::move(onComplete)));
    nodes.enumerateWrites([&](const FPath& childPath, const FNodePtr&, bool&) {
        FPath pathToCancel = path.child(childPath);
        FFLog("I-RDB038005", "Cancelling transactions at path: %@", pathToCancel.toString());
        rerunTransactionsForPath(abortTransactionsAtPath(pathToCancel, kFTransactionSet));
    });
}

FCallbackStatusBlock FRepo::writeAnswer(int64_t writeId, const FPath& path, std::string label,
                                        QRVDatabaseReferenceCompletion onComplete) {
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    return [weakSelf, writeId, path, label = std::move(label), onComplete = std::move(onComplete)](
               const std::string& status, const std::optional<std::string>& reason) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->warnIfWriteFailed(path, status, label);
        self->ackWrite(writeId, path, status);
        self->callOnComplete(onComplete, status, reason, path);
    };
}

void FRepo::ackWrite(int64_t writeId, const FPath& path, const std::string& status) {
    // A purged write is already gone from the sync tree.
    if (status == kFErrorWriteCanceled) return;
    FEventList events = serverSyncTree_->ackUserWriteWithWriteId(writeId, status != kFWPResponseForActionStatusOk,
                                                                 true, *serverClock());
    if (!events.empty()) rerunTransactionsForPath(path);
    raiseEvents(events);
}

void FRepo::warnIfWriteFailed(const FPath& path, const std::string& status, const std::string& message) {
    if (status == kFWPResponseForActionStatusOk || status == kFErrorWriteCanceled) return;
    FFWarn("I-RDB038012", "%@ at %@ failed: %@", message, path.toString(), status);
}

void FRepo::callOnComplete(const QRVDatabaseReferenceCompletion& onComplete, const std::string& status,
                           const std::optional<std::string>& errorReason, const FPath& path) {
    if (!onComplete) return;
    QRVDatabaseReferencePtr ref = referenceAt(path);
    ns::ErrorRef error =
        status == kFWPResponseForActionStatusOk ? nullptr : FUtilities::errorForStatus(status, errorReason);
    eventRaiser_.raiseCallback([onComplete, error, ref] { onComplete(error, ref); });
}

void FRepo::purgeOutstandingWrites() {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    FFLog("I-RDB038010", "Purging outstanding writes");
    raiseEvents(serverSyncTree_->removeAllWrites());
    abortTransactionsAtPath(FPath::empty(), kFErrorWriteCanceled);
    connection_->purgeOutstandingWrites();
}

// ---------------------------------------------------------------- observers

void FRepo::addEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    const auto& tree = isInfoPath(query.path()) ? infoSyncTree_ : serverSyncTree_;
    raiseEvents(tree->addEventRegistration(registration, query));
}

void FRepo::removeEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    const auto& tree = isInfoPath(query.path()) ? infoSyncTree_ : serverSyncTree_;
    raiseEvents(tree->removeEventRegistration(registration, query, nullptr));
}

void FRepo::keepQuery(const FQuerySpec& query, bool synced) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    serverSyncTree_->keepQuery(query, synced);
}

// ---------------------------------------------------------------- server data

std::optional<FEventList> FRepo::applyServerData(const FPath& path, const ns::Value& data, bool isMerge,
                                                 std::optional<FQueryTag> tagId, const FCheckedServerData* checked) {
    // The server's data are converted here, on the worker queue, where a
    // conversion that raises would end the process: data that cannot be
    // stored locally are dropped with a warning instead.
    FNodePtr node = checked ? checked->node : nullptr;
    FCompoundWrite merge = checked ? checked->merge : FCompoundWrite();
    try {
        if (checked) {
            // Converted, and checked, by the connection already.
        } else if (isMerge) {
            const ns::Dictionary* children = data.dictionaryOrNull();
            if (!children) {
                FFWarn("I-RDB038024", "Dropping server data at %@ that cannot be read: %@", path.toString(),
                       std::string("a merge must be a dictionary"));
                return std::nullopt;
            }
            merge = FSnapshotUtilities::compoundWriteFromDictionary(*children, "onDataUpdate:");
        } else {
            node = FSnapshotUtilities::nodeFromWithValidation(data, "onDataUpdate:");
        }
    } catch (const std::exception& e) {
        FFWarn("I-RDB038024", "Dropping server data at %@ that cannot be read: %@", path.toString(), exceptionText(e));
        return std::nullopt;
    }
    if (tagId) {
        return isMerge ? serverSyncTree_->applyTaggedQueryMergeAtPath(path, merge, *tagId)
                       : serverSyncTree_->applyTaggedQueryOverwriteAtPath(path, node, *tagId);
    }
    return isMerge ? serverSyncTree_->applyServerMergeAtPath(path, merge)
                   : serverSyncTree_->applyServerOverwriteAtPath(path, node);
}

void FRepo::onDataUpdate(FPersistentConnection&, const std::string& pathString, const ns::Value& message,
                         bool isMerge, std::optional<FQueryTag> tagId) {
    applyDataUpdate(pathString, &message, isMerge, tagId, nullptr);
}

void FRepo::onCheckedDataUpdate(FPersistentConnection&, const std::string& pathString, bool isMerge,
                                std::optional<FQueryTag> tagId, const FCheckedServerData& checked) {
    applyDataUpdate(pathString, nullptr, isMerge, tagId, &checked);
}

namespace {

// True when the callback handed back the very containers it was given (they
// are shared, never changed in place), so the conversion of them holds.
bool sameContainer(const ns::Value& a, const ns::Value& b) {
    if (a.isDictionary()) return b.isDictionary() && &a.asDictionary() == &b.asDictionary();
    return a.isArray() && b.isArray() && &a.asArray() == &b.asArray();
}

}  // namespace

void FRepo::applyDataUpdate(const std::string& pathString, const ns::Value* message, bool isMerge,
                            std::optional<FQueryTag> tagId, const FCheckedServerData* checked) {
    // Checked data have their values made only when something looks at them.
    auto values = [&]() -> const ns::Value& { return message ? *message : checked->message(); };
    FFLog("I-RDB038013", "onDataUpdateForPath: %@ withMessage: %@", pathString, values());
    ++dataUpdateCount_;
    const FPath path(pathString);
    ns::Value data;
    if (interceptServerDataCallback_) {
        data = interceptServerDataCallback_(pathString, values());
        // Other data than the connection converted are converted afresh.
        if (!sameContainer(data, values())) checked = nullptr;
    } else if (!checked) {
        data = *message;
    }
    std::optional<FEventList> events = applyServerData(path, data, isMerge, tagId, checked);
    if (!events) return;
    if (!events->empty()) rerunTransactionsForPath(path);
    raiseEvents(*events);
}

void FRepo::onRangeMerge(const std::vector<FRangeMerge>& ranges, const std::string& pathString,
                         std::optional<FQueryTag> tagId) {
    if (FFIsLoggingEnabled(FLogLevelDebug)) {
        std::string merges;
        for (const FRangeMerge& merge : ranges) merges += (merges.empty() ? "" : ", ") + merge.description();
        FFLog("I-RDB038014", "onRangeMerge: %@ => %@", pathString, "(" + merges + ")");
    }
    ++rangeMergeUpdateCount_;
    const FPath path(pathString);
    FEventList events = tagId ? serverSyncTree_->applyTaggedServerRangeMergeAtPath(path, ranges, *tagId)
                              : serverSyncTree_->applyServerRangeMergeAtPath(path, ranges);
    if (!events.empty()) rerunTransactionsForPath(path);
    raiseEvents(events);
}

// ---------------------------------------------------------------- ".info" and connection state

void FRepo::updateInfo(const std::string& key, const ns::Value& value) {
    FNodePtr node;
    try {
        node = FSnapshotUtilities::nodeFrom(value);
    } catch (const std::exception& e) {
        FFWarn("I-RDB038024", "Dropping server data at %@ that cannot be read: %@", ".info/" + key, exceptionText(e));
        return;
    }
    if (key == kDotInfoServerTimeOffset) {
        auto clock = std::make_shared<FOffsetClock>(FSystemClock::clock(), value.doubleValue() / 1000.0);
        std::lock_guard lock(serverClockMutex_);
        serverClock_ = std::move(clock);
    }
    const FPath path(ns::format("%@/%@", ".info", key));
    infoData_.updateSnapshot(path, node);
    raiseEvents(infoSyncTree_->applyServerOverwriteAtPath(path, node));
}

void FRepo::onServerInfoUpdate(FPersistentConnection&, const ns::Dictionary& updates) {
    for (const auto& [key, value] : updates) updateInfo(key, value);
}

// ".info/connected" is a boolean throughout, so observers can compare it
// with true and false whatever the state.
void FRepo::onConnect(FPersistentConnection&) { updateInfo(kDotInfoConnected, ns::Value(true)); }

void FRepo::onDisconnect(FPersistentConnection&) {
    updateInfo(kDotInfoConnected, ns::Value(false));
    runOnDisconnectEvents();
}

// ---------------------------------------------------------------- on-disconnect writes

void FRepo::onDisconnectSet(const FPath& path, const FNodePtr& node, QRVDatabaseReferenceCompletion onComplete) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    connection_->onDisconnectPutData(
        node->valForExport(true), path,
        [weakSelf, path, node, onComplete](const std::string& status, const std::optional<std::string>& reason) {
            auto self = weakSelf.lock();
            if (!self) return;
            if (status == kFWPResponseForActionStatusOk) {
                self->onDisconnect_->rememberData(node, path);
            } else {
                FFWarn("I-RDB038008", "onDisconnectSetValue: or onDisconnectRemoveValue: at %@ failed: %@",
                       path.toString(), status);
            }
            self->callOnComplete(onComplete, status, reason, path);
        });
}

void FRepo::onDisconnectUpdate(const FPath& path, const FCompoundWrite& nodes,
                               QRVDatabaseReferenceCompletion onComplete) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    if (nodes.isEmpty()) {
        callOnComplete(onComplete, kFWPResponseForActionStatusOk, std::nullopt, path);
        return;
    }
    const ns::Value value = nodes.valForExport(true);
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    connection_->onDisconnectMergeData(
        value.isDictionary() ? value.asDictionary() : ns::Dictionary{}, path,
        [weakSelf, path, nodes, onComplete](const std::string& status, const std::optional<std::string>& reason) {
            auto self = weakSelf.lock();
            if (!self) return;
            if (status == kFWPResponseForActionStatusOk) {
                nodes.enumerateWrites([&](const FPath& childPath, const FNodePtr& node, bool&) {
                    self->onDisconnect_->rememberData(node, path.child(childPath));
                });
            } else {
                FFWarn("I-RDB038009", "onDisconnectUpdateChildValues: at %@ failed %@", path.toString(), status);
            }
            self->callOnComplete(onComplete, status, reason, path);
        });
}

void FRepo::onDisconnectCancel(const FPath& path, QRVDatabaseReferenceCompletion onComplete) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    connection_->onDisconnectCancelPath(
        path, [weakSelf, path, onComplete](const std::string& status, const std::optional<std::string>& reason) {
            auto self = weakSelf.lock();
            if (!self) return;
            if (status == kFWPResponseForActionStatusOk) {
                self->onDisconnect_->forgetPath(path);
            } else {
                FFLog("I-RDB038007", "cancelDisconnectOperations: at %@ failed: %@", path.toString(), status);
            }
            self->callOnComplete(onComplete, status, reason, path);
        });
}

void FRepo::runOnDisconnectEvents() {
    FFLog("I-RDB038019", "Running onDisconnectEvents");
    const ns::Dictionary serverValues = FServerValues::generateServerValues(*serverClock());
    FSparseSnapshotTreePtr resolved = FServerValues::resolveDeferredValueTree(*onDisconnect_, serverValues);
    FEventList events;
    resolved->forEachTreeAtPath(FPath::empty(), [&](const FPath& path, const FNodePtr& node) {
        append(events, serverSyncTree_->applyServerOverwriteAtPath(path, node));
        rerunTransactionsForPath(abortTransactionsAtPath(path, kFTransactionSet));
    });
    onDisconnect_ = std::make_shared<FSparseSnapshotTree>();
    raiseEvents(events);
}

// ---------------------------------------------------------------- transactions

void FRepo::initTransactions() {
    transactionQueueTree_ = TransactionTree::make();
    hijackHash_ = false;
    loggedTransactionPersistenceWarning_ = false;
}

FNodePtr FRepo::latestStateAtPath(const FPath& path, const std::vector<int64_t>& excludeWriteIds) const {
    FNodePtr node = serverSyncTree_->calcCompleteEventCacheAtPath(path, excludeWriteIds);
    return node ? node : FEmptyNode::emptyNode();
}

std::shared_ptr<QRVTransactionResult> FRepo::runUpdateBlock(const FTupleTransaction& transaction,
                                                            const FNodePtr& input) const {
    std::shared_ptr<QRVTransactionResult> result;
    try {
        result = transaction.update(std::make_shared<QRVMutableData>(input));
    } catch (const std::exception& e) {
        // The block runs on the worker queue: what it raises must not leave it.
        FFWarn("I-RDB038025", "runTransactionBlock: at %@ raised %@; the transaction is aborted",
               transaction.path.toString(), exceptionText(e));
        return QRVTransactionResult::abort();
    }
    if (!result || (result->isSuccess() && !result->update())) {
        FFWarn("I-RDB038025", "runTransactionBlock: at %@ raised %@; the transaction is aborted",
               transaction.path.toString(), std::string("no result data"));
        return QRVTransactionResult::abort();
    }
    return result;
}

ns::Block FRepo::transactionCompletion(const FTupleTransactionPtr& transaction, ns::ErrorRef error, bool committed,
                                       const FNodePtr& node) {
    QRVDataSnapshotPtr snapshot;
    if (node) snapshot = std::make_shared<QRVDataSnapshot>(referenceAt(transaction->path),
                                                           FIndexedNode::indexedNodeWithNode(node));
    return [onComplete = transaction->onComplete, error = std::move(error), committed, snapshot] {
        onComplete(error, committed, snapshot);
    };
}

void FRepo::startTransactionOnPath(const FPath& path, QRVTransactionUpdateBlock update,
                                   QRVTransactionCompletion onComplete, bool applyLocally) {
    ns::dispatchAssertQueue(FWorkerQueue::sharedQueue());
    if (config_->persistenceEnabled() && !loggedTransactionPersistenceWarning_) {
        loggedTransactionPersistenceWarning_ = true;
        QRVLogError(kQRVLoggerDatabase, "I-RDB038020",
                    "runTransactionBlock: usage detected while persistence is enabled. Please be aware that "
                    "transactions *will not* be persisted across app restarts. See the documentation on handling "
                    "transactions while offline for details.");
    }

    // A value listener keeps the path current while the transaction lives.
    const FQuerySpec query = FQuerySpec::defaultQueryAtPath(path);
    auto watcher = std::make_shared<FValueEventRegistration>(
        shared_from_this(), FUtilities::LUIDGenerator(), [](QRVDataSnapshotPtr) {}, nullptr);
    addEventRegistration(watcher, query);
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    // Removed later on the worker queue, as an observer removal would be.
    auto unwatcher = [weakSelf, watcher, query] {
        FWorkerQueue::sharedQueue()->async([weakSelf, watcher, query] {
            if (auto self = weakSelf.lock()) self->removeEventRegistration(watcher, query);
        });
    };

    auto transaction = std::make_shared<FTupleTransaction>();
    transaction->path = path;
    transaction->update = std::move(update);
    transaction->onComplete = std::move(onComplete);
    transaction->status = FTransactionInitializing;
    transaction->order = FUtilities::LUIDGenerator();
    transaction->applyLocally = applyLocally;
    transaction->retryCount = 0;
    transaction->unwatcher = unwatcher;

    FNodePtr currentState = latestStateAtPath(path, {});
    transaction->currentInputSnapshot = currentState;
    std::shared_ptr<QRVTransactionResult> result = runUpdateBlock(*transaction, currentState);

    if (result->isSuccess()) {
        transaction->status = FTransactionRun;
        TransactionTree::Ptr node = transactionQueueTree_->subTree(path);
        TransactionQueue queue = node->getValue().value_or(TransactionQueue{});
        queue.push_back(transaction);
        node->setValue(std::move(queue));

        const ns::Dictionary serverValues = FServerValues::generateServerValues(*serverClock());
        FNodePtr raw = result->update()->nodeValue();
        transaction->currentOutputSnapshotRaw = raw;
        transaction->currentOutputSnapshotResolved = FServerValues::resolveDeferredValueSnapshot(raw, serverValues);
        transaction->currentWriteId = nextWriteId();
        raiseEvents(serverSyncTree_->applyUserOverwriteAtPath(path, transaction->currentOutputSnapshotResolved,
                                                              *transaction->currentWriteId, applyLocally));
        sendAllReadyTransactions();
    } else {
        transaction->unwatcher();
        transaction->currentOutputSnapshotRaw = nullptr;
        transaction->currentOutputSnapshotResolved = nullptr;
        if (transaction->onComplete) {
            eventRaiser_.raiseCallback(transactionCompletion(transaction, nullptr, false, currentState));
        }
    }
}

void FRepo::sendAllReadyTransactions() {
    pruneCompletedTransactionsBelowNode(transactionQueueTree_);
    sendReadyTransactionsForTree(transactionQueueTree_);
}

void FRepo::sendReadyTransactionsForTree(const TransactionTree::Ptr& node) {
    if (node->getValue()) {
        TransactionQueue queue = buildTransactionQueueAtNode(node);
        const bool allRun = std::all_of(queue.begin(), queue.end(), [](const FTupleTransactionPtr& t) {
            return t->status == FTransactionRun;
        });
        if (!queue.empty() && allRun) sendTransactionQueue(queue, node->path());
        return;
    }
    node->forEachChildMutationSafe([this](const TransactionTree::Ptr& child) { sendReadyTransactionsForTree(child); });
}

void FRepo::sendTransactionQueue(const TransactionQueue& queue, const FPath& path) {
    std::vector<int64_t> setsToIgnore;
    for (const auto& transaction : queue) {
        if (transaction->currentWriteId) setsToIgnore.push_back(*transaction->currentWriteId);
    }
    FNodePtr latestState = latestStateAtPath(path, setsToIgnore);
    FNodePtr snapToSend = latestState;
    const std::string latestHash = latestState->dataHash();
    for (const auto& transaction : queue) {
        FFLog("I-RDB038021", "Transaction at %@ set to SENT", transaction->path.toString());
        transaction->status = FTransactionSent;
        ++transaction->retryCount;
        FPath relativePath = FPath::relativePathFrom(path, transaction->path);
        snapToSend = snapToSend->updateChild(relativePath, transaction->currentOutputSnapshotRaw);
    }
    std::weak_ptr<FRepo> weakSelf = weak_from_this();
    connection_->putData(snapToSend->valForExport(true), path.toString(),
                         hijackHash_ ? std::string("badhash") : latestHash,
                         [weakSelf, queue, path](const std::string& status, const std::optional<std::string>& reason) {
                             if (auto self = weakSelf.lock()) self->transactionPutAnswered(queue, path, status, reason);
                         });
}

void FRepo::transactionPutAnswered(const TransactionQueue& queue, const FPath& path, const std::string& status,
                                   const std::optional<std::string>& reason) {
    FFLog("I-RDB038022", "Transaction put response: %@ : %@", path.toString(), status);
    FEventList events;
    if (status == kFWPResponseForActionStatusOk) {
        std::vector<ns::Block> callbacks;
        for (const auto& transaction : queue) {
            transaction->status = FTransactionCompleted;
            append(events,
                   serverSyncTree_->ackUserWriteWithWriteId(*transaction->currentWriteId, false, false, *serverClock()));
            if (transaction->onComplete) {
                callbacks.push_back(
                    transactionCompletion(transaction, nullptr, true, transaction->currentOutputSnapshotResolved));
            }
            transaction->unwatcher();
        }
        pruneCompletedTransactionsBelowNode(transactionQueueTree_->subTree(path));
        sendAllReadyTransactions();
        eventRaiser_.raiseCallbacks(callbacks);
    } else if (status == kFWPResponseForActionStatusDataStale) {
        for (const auto& transaction : queue) {
            transaction->status =
                transaction->status == FTransactionSentNeedsAbort ? FTransactionNeedsAbort : FTransactionRun;
        }
    } else {
        FFWarn("I-RDB038023", "runTransactionBlock: at %@ failed: %@", path.toString(), status);
        for (const auto& transaction : queue) {
            transaction->status = FTransactionNeedsAbort;
            transaction->setAbortStatus(status, reason);
        }
    }
    rerunTransactionsForPath(path);
    raiseEvents(events);
}

FPath FRepo::rerunTransactionsForPath(const FPath& path) {
    if (transactionQueueTree_->isEmpty()) return path;
    TransactionTree::Ptr rootMostTransactionNode = getAncestorTransactionNodeForPath(path);
    FPath rootMostPath = rootMostTransactionNode->path();
    rerunTransactionQueue(buildTransactionQueueAtNode(rootMostTransactionNode), rootMostPath);
    return rootMostPath;
}

void FRepo::rerunTransactionQueue(const TransactionQueue& queue, const FPath& path) {
    if (queue.empty()) return;
    std::vector<ns::Block> callbacks;
    std::vector<int64_t> setsToIgnore;
    for (const auto& transaction : queue) {
        if (transaction->currentWriteId) setsToIgnore.push_back(*transaction->currentWriteId);
    }
    auto revert = [this](const FTupleTransaction& transaction) {
        if (!transaction.currentWriteId) return FEventList{};
        return serverSyncTree_->ackUserWriteWithWriteId(*transaction.currentWriteId, true, false, *serverClock());
    };

    for (const auto& transaction : queue) {
        FEventList events;
        bool abortTransaction = false;
        if (transaction->status == FTransactionNeedsAbort) {
            abortTransaction = true;
            if (transaction->abortStatus != std::optional<std::string>(kFErrorWriteCanceled)) {
                events = revert(*transaction);
            }
        } else if (transaction->status == FTransactionRun) {
            if (transaction->retryCount >= kFTransactionMaxRetries) {
                abortTransaction = true;
                transaction->setAbortStatus(std::string(kFTransactionTooManyRetries), std::nullopt);
                events = revert(*transaction);
            } else {
                FNodePtr currentNode = latestStateAtPath(transaction->path, setsToIgnore);
                transaction->currentInputSnapshot = currentNode;
                std::shared_ptr<QRVTransactionResult> result = runUpdateBlock(*transaction, currentNode);
                if (result->isSuccess()) {
                    const std::optional<int64_t> oldWriteId = transaction->currentWriteId;
                    const ns::Dictionary serverValues = FServerValues::generateServerValues(*serverClock());
                    FNodePtr raw = result->update()->nodeValue();
                    transaction->currentOutputSnapshotRaw = raw;
                    transaction->currentOutputSnapshotResolved =
                        FServerValues::resolveDeferredValueSnapshot(raw, serverValues);
                    transaction->currentWriteId = nextWriteId();
                    if (oldWriteId) std::erase(setsToIgnore, *oldWriteId);
                    events = serverSyncTree_->applyUserOverwriteAtPath(
                        transaction->path, transaction->currentOutputSnapshotResolved, *transaction->currentWriteId,
                        transaction->applyLocally);
                    if (oldWriteId) {
                        append(events,
                               serverSyncTree_->ackUserWriteWithWriteId(*oldWriteId, true, false, *serverClock()));
                    }
                } else {
                    abortTransaction = true;
                    transaction->setAbortStatus(std::nullopt, std::nullopt);
                    events = revert(*transaction);
                }
            }
        }
        raiseEvents(events);
        if (abortTransaction) {
            transaction->status = FTransactionCompleted;
            transaction->unwatcher();
            if (transaction->onComplete) {
                callbacks.push_back(transactionCompletion(transaction, transaction->abortError(), false,
                                                          transaction->currentInputSnapshot));
            }
        }
    }
    pruneCompletedTransactionsBelowNode(transactionQueueTree_);
    eventRaiser_.raiseCallbacks(callbacks);
    sendAllReadyTransactions();
}

FRepo::TransactionTree::Ptr FRepo::getAncestorTransactionNodeForPath(const FPath& path) {
    TransactionTree::Ptr node = transactionQueueTree_;
    FPath rest = path;
    while (!rest.isEmpty() && !node->getValue()) {
        node = node->subTree(FPath(std::vector<std::string>{*rest.getFront()}, 0));
        rest = rest.popFront();
    }
    return node;
}

FRepo::TransactionQueue FRepo::buildTransactionQueueAtNode(const TransactionTree::Ptr& node) {
    TransactionQueue queue;
    aggregateTransactionQueuesForNode(node, queue);
    std::stable_sort(queue.begin(), queue.end(),
                     [](const FTupleTransactionPtr& a, const FTupleTransactionPtr& b) { return a->order < b->order; });
    return queue;
}

void FRepo::aggregateTransactionQueuesForNode(const TransactionTree::Ptr& node, TransactionQueue& queue) {
    if (const auto& own = node->getValue()) queue.insert(queue.end(), own->begin(), own->end());
    node->forEachChild([&](const TransactionTree::Ptr& child) { aggregateTransactionQueuesForNode(child, queue); });
}

void FRepo::pruneCompletedTransactionsBelowNode(const TransactionTree::Ptr& node) {
    if (const auto& own = node->getValue()) {
        TransactionQueue kept;
        for (const auto& transaction : *own) {
            if (transaction->status != FTransactionCompleted) kept.push_back(transaction);
        }
        node->setValue(kept.empty() ? std::nullopt : std::optional<TransactionQueue>(std::move(kept)));
    }
    node->forEachChildMutationSafe([this](const TransactionTree::Ptr& child) { pruneCompletedTransactionsBelowNode(child); });
}

FPath FRepo::abortTransactionsAtPath(const FPath& path, const std::string& reason) {
    if (transactionQueueTree_->isEmpty()) return path;
    FPath affectedPath = getAncestorTransactionNodeForPath(path)->path();
    TransactionTree::Ptr transactionNode = transactionQueueTree_->subTree(path);
    transactionNode->forEachAncestor([&](const TransactionTree::Ptr& ancestor) {
        abortTransactionsAtNode(ancestor, reason);
        return false;
    });
    abortTransactionsAtNode(transactionNode, reason);
    // Each node before its children; aborting may empty a node and take it
    // out of its parent, so each level walks a copy of its children.
    std::function<void(const TransactionTree::Ptr&)> abortBelow = [&](const TransactionTree::Ptr& node) {
        node->forEachChildMutationSafe([&](const TransactionTree::Ptr& child) {
            abortTransactionsAtNode(child, reason);
            abortBelow(child);
        });
    };
    abortBelow(transactionNode);
    return affectedPath;
}

void FRepo::abortTransactionsAtNode(const TransactionTree::Ptr& node, const std::string& reason) {
    const auto& own = node->getValue();
    if (!own) return;
    FEventList events;
    std::vector<ns::Block> callbacks;
    // Transactions whose put is out stay queued until the answer: counting
    // the ones an earlier abort already marked keeps a second abort from
    // dropping them, which would lose their completion and their listen.
    TransactionQueue stillSent;
    for (const auto& transaction : *own) {
        if (transaction->status == FTransactionSentNeedsAbort) {
            stillSent.push_back(transaction);
        } else if (transaction->status == FTransactionSent) {
            transaction->status = FTransactionSentNeedsAbort;
            transaction->setAbortStatus(reason, std::nullopt);
            stillSent.push_back(transaction);
        } else if (transaction->status != FTransactionCompleted) {
            transaction->unwatcher();
            if (reason == kFTransactionSet && transaction->currentWriteId) {
                append(events, serverSyncTree_->ackUserWriteWithWriteId(*transaction->currentWriteId, true, false,
                                                                        *serverClock()));
            }
            if (transaction->onComplete) {
                callbacks.push_back(
                    transactionCompletion(transaction, FUtilities::errorForStatus(reason, std::nullopt), false, nullptr));
            }
        }
    }
    node->setValue(stillSent.empty() ? std::nullopt : std::optional<TransactionQueue>(std::move(stillSent)));
    raiseEvents(events);
    eventRaiser_.raiseCallbacks(callbacks);
}
