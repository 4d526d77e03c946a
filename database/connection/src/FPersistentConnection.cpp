#include "database/connection/FPersistentConnection.h"

#include <algorithm>

#include "FLog.h"
#include "FServerData.h"
#include "database/connection/FConstants.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/runloop.h"

namespace {

// Statuses and reasons as the server sends them in a response body.
std::string statusOf(const ns::Value& response) {
    if (const std::string* status = response[kFWPResponseForActionStatus].stringOrNull()) return *status;
    // A response without a status cannot be "ok".
    return "error";
}

std::optional<std::string> reasonOf(const ns::Value& response) {
    const ns::Value& data = response[kFWPResponseForActionData];
    if (data.isNull()) return std::nullopt;
    if (const std::string* text = data.stringOrNull()) return *text;
    return data.description();
}

// The optional tag of a push: absent, or a non-negative integer. Anything
// else makes the push unusable.
bool readTag(const ns::Value& value, std::optional<FQueryTag>& tag) {
    tag.reset();
    if (value.isNull()) return true;
    if (!value.isNumber()) return false;
    try {
        tag = value.asUInt();
    } catch (const ns::Exception&) {
        return false;
    }
    return true;
}

bool contains(const ns::Value& dict, const char* key) { return dict.contains(key); }

const ns::Value* member(const ns::Dictionary& dict, const char* key) {
    auto it = dict.find(std::string_view(key));
    return it == dict.end() ? nullptr : &it->second;
}

// The ranges of a range-merge push as the sync tree takes them; throws
// ns::Exception when one is not a range.
std::vector<FRangeMerge> rangeMergesFrom(const ns::Array& ranges) {
    std::vector<FRangeMerge> merges;
    merges.reserve(ranges.size());
    for (const ns::Value& range : ranges) {
        if (!range.isDictionary()) throw ns::Exception(ns::kInvalidArgumentException, "a range is not an object");
        const ns::Value& start = range[kFWPAsyncServerDataUpdateStartPath];
        const ns::Value& end = range[kFWPAsyncServerDataUpdateEndPath];
        if ((!start.isNull() && !start.isString()) || (!end.isNull() && !end.isString())) {
            throw ns::Exception(ns::kInvalidArgumentException, "a range bound is not a path");
        }
        std::optional<FPath> startPath, endPath;
        if (start.isString()) startPath = FPath(start.asString());
        if (end.isString()) endPath = FPath(end.asString());
        merges.emplace_back(std::move(startPath), std::move(endPath),
                            FSnapshotUtilities::nodeFrom(range[kFWPAsyncServerDataUpdateRangeMerge]));
    }
    return merges;
}

// The security rules' debug text, logged a line at a time.
void logSecurityDebug(const std::string& msg) {
    size_t begin = 0;
    while (true) {
        const size_t end = msg.find('\n', begin);
        FFWarn("I-RDB034031", "%@", msg.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) break;
        begin = end + 1;
    }
}

}  // namespace

FPersistentConnection::FPersistentConnection(Passkey, std::shared_ptr<FRepoInfo> repoInfo,
                                             ns::DispatchQueuePtr dispatchQueue, QRVDatabaseConfigPtr config)
    : repoInfo_(std::move(repoInfo)),
      config_(std::move(config)),
      dispatchQueue_(std::move(dispatchQueue)),
      retryHelper_(std::make_shared<QRVRetryHelper>(dispatchQueue_, kMinRetryDelayAfterFailure, kMaxRetryDelay,
                                                    double(kRetryExponent), kJitterFactor)),
      authTokenProvider_(config_ ? config_->authTokenProvider() : nullptr) {}

std::shared_ptr<FPersistentConnection> FPersistentConnection::make(std::shared_ptr<FRepoInfo> repoInfo,
                                                                   ns::DispatchQueuePtr dispatchQueue,
                                                                   QRVDatabaseConfigPtr config) {
    auto connection = std::make_shared<FPersistentConnection>(Passkey{}, std::move(repoInfo),
                                                              std::move(dispatchQueue), std::move(config));
    connection->setUpObservers();
    // Made on any thread: a fresh connection has nothing to close or cancel
    // yet, it only starts out waiting for open().
    FFLog("I-RDB034006", "Connection interrupted for: %@", std::string(kFInterruptReasonWaitingForOpen));
    connection->interruptReasons_.insert(kFInterruptReasonWaitingForOpen);
    connection->connectionState_ = ConnectionStateDisconnected;
    return connection;
}

FPersistentConnection::~FPersistentConnection() {
    if (foregroundObserver_) ns::NotificationCenter::defaultCenter().removeObserver(foregroundObserver_);
    if (reachability_) {
        reachability_->setCallback({});
        reachability_->unschedule();
    }
    // The framed connection is closed where it lives.
    if (realtime_) {
        dispatchQueue_->async([realtime = std::move(realtime_)] { realtime->close(); });
    }
}

// ---------------------------------------------------------------- network and foreground

void FPersistentConnection::setUpObservers() {
    std::weak_ptr<FPersistentConnection> weakSelf = weak_from_this();
    foregroundObserver_ = ns::NotificationCenter::defaultCenter().addObserver(
        ns::kUIApplicationWillEnterForegroundNotification, nullptr, dispatchQueue_,
        [weakSelf](const ns::Notification&) {
            if (auto self = weakSelf.lock()) self->enteringForeground();
        });

    reachability_ = ns::Reachability::make("0.0.0.0");
    reachability_->setCallback([weakSelf, queue = dispatchQueue_](ns::Reachability::Flags flags) {
        queue->async([weakSelf, flags] {
            if (auto self = weakSelf.lock()) self->networkReachabilityChanged(flags);
        });
    });
    if (!reachability_->scheduleOnRunLoop(ns::RunLoop::main())) {
        FFLog("I-RDB034016", "Failed to set up network reachability monitoring");
        reachability_->setCallback({});
        reachability_.reset();
    }
}

void FPersistentConnection::networkReachabilityChanged(ns::Reachability::Flags flags) {
    if (flags & ns::Reachability::kReachable) {
        FFLog("I-RDB034014", "Network became reachable. Trigger a connection attempt");
        retryHelper_->signalSuccess();
        if (connectionState_ == ConnectionStateDisconnected) tryScheduleReconnect();
    } else {
        FFLog("I-RDB034015", "Network is not reachable");
    }
}

void FPersistentConnection::enteringForeground() {
    retryHelper_->signalSuccess();
    if (connectionState_ == ConnectionStateDisconnected) tryScheduleReconnect();
}

// ---------------------------------------------------------------- states

bool FPersistentConnection::connected() const {
    return connectionState_ == ConnectionStateAuthenticating || connectionState_ == ConnectionStateConnected;
}

bool FPersistentConnection::canSendWrites() const { return connectionState_ == ConnectionStateConnected; }

void FPersistentConnection::open() {
    ns::dispatchAssertQueue(dispatchQueue_);
    resumeForReason(kFInterruptReasonWaitingForOpen);
}

void FPersistentConnection::interruptForReason(const std::string& reason) {
    ns::dispatchAssertQueue(dispatchQueue_);
    FFLog("I-RDB034006", "Connection interrupted for: %@", reason);
    interruptReasons_.insert(reason);
    if (realtime_) {
        // Its disconnect report runs here and, interrupted, schedules nothing.
        closeRealtime();
    } else {
        retryHelper_->cancel();
        connectionState_ = ConnectionStateDisconnected;
    }
    retryHelper_->signalSuccess();
}

void FPersistentConnection::resumeForReason(const std::string& reason) {
    ns::dispatchAssertQueue(dispatchQueue_);
    FFLog("I-RDB034007", "Connection no longer interrupted for: %@", reason);
    interruptReasons_.erase(reason);
    if (shouldReconnect() && connectionState_ == ConnectionStateDisconnected) tryScheduleReconnect();
}

void FPersistentConnection::closeRealtime() {
    if (auto realtime = realtime_) {
        realtime->close();
        realtime_.reset();
    }
}

// ---------------------------------------------------------------- connecting

void FPersistentConnection::tryScheduleReconnect() {
    if (!shouldReconnect()) return;
    const bool forceRefresh = forceAuthTokenRefresh_;
    forceAuthTokenRefresh_ = false;
    FFLog("I-RDB034008", "Scheduling connection attempt");
    std::weak_ptr<FPersistentConnection> weakSelf = weak_from_this();
    retryHelper_->retry([weakSelf, forceRefresh] {
        auto self = weakSelf.lock();
        if (!self) return;
        FFLog("I-RDB034009", "Trying to fetch auth token");
        self->connectionState_ = ConnectionStateGettingToken;
        const uint64_t attempt = ++self->currentFetchTokenAttempt_;
        auto answer = [weakSelf, attempt](std::optional<std::string> token, ns::ErrorRef error) {
            if (auto me = weakSelf.lock()) me->fetchTokenAnswered(attempt, token, error);
        };
        if (self->authTokenProvider_) {
            self->authTokenProvider_->fetchTokenForcingRefresh(forceRefresh, std::move(answer));
        } else {
            // Without a provider there is never a token; answer as one would.
            self->dispatchQueue_->async([answer] { answer(std::nullopt, nullptr); });
        }
    });
}

void FPersistentConnection::fetchTokenAnswered(uint64_t attempt, const std::optional<std::string>& token,
                                               const ns::ErrorRef& error) {
    if (attempt != currentFetchTokenAttempt_) {
        FFLog("I-RDB034013", "Ignoring fetch token result, because this was not the latest attempt.");
        return;
    }
    if (error) {
        connectionState_ = ConnectionStateDisconnected;
        FFLog("I-RDB034010", "Error fetching token: %@", error->description());
        tryScheduleReconnect();
    } else if (connectionState_ == ConnectionStateGettingToken) {
        FFLog("I-RDB034011", "Successfully fetched token, opening connection");
        openNetworkConnectionWithToken(token);
    } else {
        FFLog("I-RDB034012", "Not opening connection after token refresh, because connection was set to disconnected.");
    }
}

void FPersistentConnection::openNetworkConnectionWithToken(const std::optional<std::string>& token) {
    authToken_ = token;
    connectionState_ = ConnectionStateConnecting;
    std::shared_ptr<FConnection> realtime;
    try {
        realtime = FConnection::make(repoInfo_, dispatchQueue_, lastSessionID_);
    } catch (const ns::Exception& e) {
        // Only a location no URL can be made of gets here; a redirect is
        // forgotten so that the configured host is tried next.
        FFWarn("I-RDB034045", "Cannot connect to %@: %@", repoInfo_->internalHost(), e.reason());
        connectionState_ = ConnectionStateDisconnected;
        repoInfo_->clearInternalHostCache();
        tryScheduleReconnect();
        return;
    }
    realtime_ = realtime;
    realtime->setDelegate(std::static_pointer_cast<FConnectionDelegate>(shared_from_this()));
    realtime->open();
}

void FPersistentConnection::onReady(FConnection& fconnection, std::optional<double> timestamp,
                                    const std::optional<std::string>& sessionID) {
    FFLog("I-RDB034003", "On ready");
    lastConnectionEstablishedTime_ = ns::Clock::nowSeconds();
    if (timestamp) handleTimestamp(*timestamp);
    if (firstConnection_) sendConnectStats();
    restoreAuth();
    firstConnection_ = false;
    lastSessionID_ = sessionID;
    std::weak_ptr<FPersistentConnection> weakSelf = weak_from_this();
    // Behind the handshake processing: the auth request (or the restored
    // state) is out when the repository hears of the connection.
    dispatchQueue_->async([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        if (auto delegate = self->delegate_.lock()) delegate->onConnect(*self);
    });
}

void FPersistentConnection::handleTimestamp(double timestamp) {
    FFLog("I-RDB034041", "Handling timestamp: %@", timestamp);
    const double offset = timestamp - ns::Clock::nowSeconds() * 1000;
    if (auto delegate = delegate_.lock()) {
        delegate->onServerInfoUpdate(*this, ns::Dictionary{{kDotInfoServerTimeOffset, offset}});
    }
}

void FPersistentConnection::sendConnectStats() {
    ns::Dictionary stats;
    if (config_ && config_->persistenceEnabled()) stats["persistence.ios.enabled"] = 1;
    std::string sdkVersion = FDatabaseVersion::sdkVersion();
    std::replace(sdkVersion.begin(), sdkVersion.end(), '.', '-');
    stats["sdk.objc." + sdkVersion] = 1;
    if (stats.empty()) {
        FFLog("I-RDB034043", "Not sending stats because stats are empty");
        return;
    }
    FFLog("I-RDB034044", "Sending first connection stats");
    sendAction(kFWPRequestActionStats, ns::Dictionary{{kFWPRequestCounters, stats}}, false,
               [](const ns::Value& response) {
                   if (statusOf(response) != kFWPResponseForActionStatusOk) {
                       FFLog("I-RDB034042", "Failed to send stats: %@", response[kFWPResponseForActionData]);
                   }
               });
}

void FPersistentConnection::restoreAuth() {
    FFLog("I-RDB034033", "Calling restore state");
    if (!authToken_) {
        FFLog("I-RDB034034", "Not restoring auth because token is nil");
        connectionState_ = ConnectionStateConnected;
        restoreState();
    } else {
        FFLog("I-RDB034035", "Restoring auth");
        connectionState_ = ConnectionStateAuthenticating;
        sendAuthAndRestoreStateAfterComplete(true);
    }
}

void FPersistentConnection::sendAuthAndRestoreStateAfterComplete(bool restoreStateAfterComplete) {
    if (!authToken_) return;
    std::weak_ptr<FPersistentConnection> weakSelf = weak_from_this();
    sendAction(kFWPRequestActionAuth, ns::Dictionary{{kFWPRequestCredential, *authToken_}}, true,
               [weakSelf, restoreStateAfterComplete](const ns::Value& response) {
                   auto self = weakSelf.lock();
                   if (!self) return;
                   self->connectionState_ = ConnectionStateConnected;
                   const std::string status = statusOf(response);
                   const std::string reason = reasonOf(response).value_or("error");
                   if (status == kFWPResponseForActionStatusOk) {
                       if (restoreStateAfterComplete) self->restoreState();
                       return;
                   }
                   self->authToken_.reset();
                   self->forceAuthTokenRefresh_ = true;
                   if (status == "expired_token") {
                       FFLog("I-RDB034017", "Authentication failed: %@ (%@)", status, reason);
                   } else {
                       FFWarn("I-RDB034018", "Authentication failed: %@ (%@)", status, reason);
                   }
                   // The disconnect that follows asks for a refreshed token.
                   self->closeRealtime();
               });
}

void FPersistentConnection::sendUnauth() { sendAction(kFWPRequestActionUnauth, ns::Dictionary{}, false, nullptr); }

void FPersistentConnection::refreshAuthToken(const std::optional<std::string>& token) {
    ns::dispatchAssertQueue(dispatchQueue_);
    authToken_ = token;
    if (!connected()) return;
    if (token) {
        sendAuthAndRestoreStateAfterComplete(false);
    } else {
        sendUnauth();
    }
}

void FPersistentConnection::restoreState() {
    // Copies: a completion run meanwhile may change the tables.
    std::vector<std::shared_ptr<FOutstandingQuery>> listens;
    listens.reserve(listens_.size());
    for (const auto& [query, listen] : listens_) listens.push_back(listen);
    for (const auto& listen : listens) {
        FFLog("I-RDB034036", "Restoring listen for %@", listen->query.description());
        sendListen(listen);
    }

    std::vector<uint64_t> putIds;
    putIds.reserve(outstandingPuts_.size());
    for (const auto& [putId, put] : outstandingPuts_) putIds.push_back(putId);
    for (size_t i = 0; i < putIds.size(); ++i) {
        FFLog("I-RDB034037", "Restoring put: %d", int(i));
        sendPut(putIds[i]);
    }

    std::vector<FTupleOnDisconnect> queued = std::move(onDisconnectQueue_);
    onDisconnectQueue_.clear();
    for (const auto& tuple : queued) {
        sendOnDisconnectAction(tuple.action, tuple.pathString, tuple.data, tuple.onComplete);
    }
}

// ---------------------------------------------------------------- requests

int64_t FPersistentConnection::sendAction(const std::string& action, const ns::Value& body, bool sensitive,
                                          ResponseBlock onMessage) {
    const int64_t number = int64_t(requestNumber_.getAndIncrement());
    if (realtime_) realtime_->sendRequest(number, action, body, sensitive);
    if (onMessage) requestCBHash_[number] = std::move(onMessage);
    return number;
}

void FPersistentConnection::listen(const FQuerySpec& query, std::optional<FQueryTag> tagId, FSyncTreeHashPtr hash,
                                   FListenOnComplete onComplete) {
    ns::dispatchAssertQueue(dispatchQueue_);
    FFLog("I-RDB034001", "Listen called for %@", query.description());
    auto listen = std::make_shared<FOutstandingQuery>(
        FOutstandingQuery{query, tagId, std::move(hash), std::move(onComplete)});
    listens_.insert_or_assign(query, listen);
    if (connected()) sendListen(listen);
}

void FPersistentConnection::sendListen(const std::shared_ptr<FOutstandingQuery>& listen) {
    const FQuerySpec& query = listen->query;
    FFLog("I-RDB034026", "Listen for %@", query.description());
    ns::Dictionary body{{kFWPRequestPath, query.path().toString()}};
    if (listen->tagId) {
        body[kFWPRequestQueries] = query.params()->wireProtocolParams();
        body[kFWPRequestTag] = *listen->tagId;
    }
    if (listen->syncTreeHash) {
        body[kFWPRequestHash] = listen->syncTreeHash->simpleHash();
        if (listen->syncTreeHash->includeCompoundHash()) {
            const FCompoundHash compoundHash = listen->syncTreeHash->compoundHash();
            ns::Array posts;
            posts.reserve(compoundHash.posts().size());
            for (const auto& post : compoundHash.posts()) posts.emplace_back(post.wireFormat());
            ns::Array hashes(compoundHash.hashes().begin(), compoundHash.hashes().end());
            body[kFWPRequestCompoundHash] = ns::Dictionary{{kFWPRequestCompoundHashPaths, std::move(posts)},
                                                           {kFWPRequestCompoundHashHashes, std::move(hashes)}};
        }
    } else {
        body[kFWPRequestHash] = "";
    }

    std::weak_ptr<FPersistentConnection> weakSelf = weak_from_this();
    sendAction(kFWPRequestActionTaggedListen, ns::Value(std::move(body)), false, [weakSelf, listen](const ns::Value& response) {
        auto self = weakSelf.lock();
        if (!self) return;
        FFLog("I-RDB034027", "Listen response %@", response);
        const std::string status = statusOf(response);
        const ns::Value& data = response[kFWPResponseForActionData];
        if (const ns::Array* warnings = data[kFWPResponseDataWarnings].arrayOrNull()) {
            if (std::find(warnings->begin(), warnings->end(), ns::Value("no_index")) != warnings->end()) {
                const std::string indexSpec =
                    ns::format("\".indexOn\": \"%@\"", listen->query.index()->queryDefinition());
                FFWarn("I-RDB034028",
                       "Using an unspecified index. Consider adding %@ at %@ to your security rules for better "
                       "performance",
                       indexSpec, listen->query.path().toString());
            }
        }
        // Only the very listen that was sent: a removed or replaced one's
        // answer reaches no completion.
        auto it = self->listens_.find(listen->query);
        if (it != self->listens_.end() && it->second == listen) {
            if (status != kFWPResponseForActionStatusOk) self->listens_.erase(it);
            if (listen->onComplete) listen->onComplete(status);
        }
        if (self->unackedListensCount_ > 0) self->unackedListensCount_ -= 1;
        if (self->unackedListensCount_ == 0) self->ackPuts();
    });
    unackedListensCount_ += 1;
}

void FPersistentConnection::unlisten(const FQuerySpec& query, std::optional<FQueryTag> tagId) {
    ns::dispatchAssertQueue(dispatchQueue_);
    FFLog("I-RDB034002", "Unlistening for %@", query.description());
    auto it = listens_.find(query);
    if (it == listens_.end()) {
        FFLog("I-RDB034039", "Trying to remove listener for query %@ but no listener exists", query.description());
        return;
    }
    listens_.erase(it);
    if (connected()) sendUnlisten(query.path(), query.params(), tagId);
}

void FPersistentConnection::sendUnlisten(const FPath& path, const FQueryParamsPtr& params,
                                         std::optional<FQueryTag> tagId) {
    FFLog("I-RDB034023", "Unlisten on %@ for %@", path.toString(), params->description());
    ns::Dictionary body{{kFWPRequestPath, path.toString()}};
    if (tagId) {
        body[kFWPRequestQueries] = params->wireProtocolParams();
        body[kFWPRequestTag] = *tagId;
    }
    sendAction(kFWPRequestActionTaggedUnlisten, ns::Value(std::move(body)), false, nullptr);
}

void FPersistentConnection::putData(const ns::Value& data, const std::string& pathString,
                                    const std::optional<std::string>& hash, FCallbackStatusBlock onComplete) {
    ns::dispatchAssertQueue(dispatchQueue_);
    putInternal(data, kFWPRequestActionPut, pathString, hash, std::move(onComplete));
}

void FPersistentConnection::mergeData(const ns::Dictionary& data, const std::string& pathString,
                                      FCallbackStatusBlock onComplete) {
    ns::dispatchAssertQueue(dispatchQueue_);
    putInternal(ns::Value(data), kFWPRequestActionMerge, pathString, std::nullopt, std::move(onComplete));
}

void FPersistentConnection::putInternal(const ns::Value& data, const std::string& action,
                                        const std::string& pathString, const std::optional<std::string>& hash,
                                        FCallbackStatusBlock onComplete) {
    ns::Dictionary request{{kFWPRequestPath, pathString}, {kFWPRequestData, data}};
    if (hash) request[kFWPRequestHash] = *hash;
    const uint64_t putId = putCounter_.getAndIncrement();
    auto put = std::make_shared<FOutstandingPut>();
    put->action = action;
    put->request = ns::Value(std::move(request));
    put->onCompleteBlock = std::move(onComplete);
    outstandingPuts_[putId] = std::move(put);
    if (canSendWrites()) {
        FFLog("I-RDB034024", "Was connected, and added as index: %@", putId);
        sendPut(putId);
    } else {
        FFLog("I-RDB034025", "Wasn't connected or writes paused, so added to outstanding puts only. Path: %@",
              pathString);
    }
}

void FPersistentConnection::sendPut(uint64_t putId) {
    auto found = outstandingPuts_.find(putId);
    if (found == outstandingPuts_.end()) return;
    FOutstandingPut& put = *found->second;
    put.sent = true;
    // Answers run only from this object's own handling of a packet, while
    // it is alive; a put's id is never given again, so the id alone finds
    // the put. Two words fit in the function itself, with no block of their
    // own for each put.
    FPersistentConnection* self = this;
    sendAction(put.action, put.request, false, [self, putId](const ns::Value& response) {
        auto it = self->outstandingPuts_.find(putId);
        if (it == self->outstandingPuts_.end()) {
            FFLog("I-RDB034022", "Ignoring on complete for put %@ because it was already removed", putId);
            return;
        }
        const std::shared_ptr<FOutstandingPut> put = std::move(it->second);
        self->outstandingPuts_.erase(it);
        if (!put->onCompleteBlock) return;
        const std::string status = statusOf(response);
        const std::optional<std::string> reason = reasonOf(response);
        if (self->unackedListensCount_ > 0) {
            // Held until the listens' data have arrived, so that a write's
            // completion never runs before the data it was written over.
            self->putsToAck_.push_back(FTupleCallbackStatus{put->onCompleteBlock, status, reason});
        } else {
            put->onCompleteBlock(status, reason);
        }
    });
}

void FPersistentConnection::ackPuts() {
    std::vector<FTupleCallbackStatus> held = std::move(putsToAck_);
    putsToAck_.clear();
    for (const auto& tuple : held) {
        if (tuple.block) tuple.block(tuple.status, tuple.errorReason);
    }
}

void FPersistentConnection::onDisconnectPutData(const ns::Value& data, const FPath& path,
                                                FCallbackStatusBlock onComplete) {
    ns::dispatchAssertQueue(dispatchQueue_);
    if (canSendWrites()) {
        sendOnDisconnectAction(kFWPRequestActionDisconnectPut, path.toString(), data, std::move(onComplete));
    } else {
        onDisconnectQueue_.push_back(
            FTupleOnDisconnect{path.toString(), kFWPRequestActionDisconnectPut, data, std::move(onComplete)});
    }
}

void FPersistentConnection::onDisconnectMergeData(const ns::Dictionary& data, const FPath& path,
                                                  FCallbackStatusBlock onComplete) {
    ns::dispatchAssertQueue(dispatchQueue_);
    if (canSendWrites()) {
        sendOnDisconnectAction(kFWPRequestActionDisconnectMerge, path.toString(), ns::Value(data),
                               std::move(onComplete));
    } else {
        onDisconnectQueue_.push_back(FTupleOnDisconnect{path.toString(), kFWPRequestActionDisconnectMerge,
                                                        ns::Value(data), std::move(onComplete)});
    }
}

void FPersistentConnection::onDisconnectCancelPath(const FPath& path, FCallbackStatusBlock onComplete) {
    ns::dispatchAssertQueue(dispatchQueue_);
    if (canSendWrites()) {
        sendOnDisconnectAction(kFWPRequestActionDisconnectCancel, path.toString(), ns::Value(),
                               std::move(onComplete));
    } else {
        onDisconnectQueue_.push_back(FTupleOnDisconnect{path.toString(), kFWPRequestActionDisconnectCancel,
                                                        ns::Value(), std::move(onComplete)});
    }
}

void FPersistentConnection::sendOnDisconnectAction(const std::string& action, const std::string& pathString,
                                                   const ns::Value& data, FCallbackStatusBlock onComplete) {
    ns::Dictionary body{{kFWPRequestPath, pathString}, {kFWPRequestData, data}};
    FFLog("I-RDB034021", "onDisconnect %@: %@", action, ns::Value(body));
    std::weak_ptr<FPersistentConnection> weakSelf = weak_from_this();
    auto number = std::make_shared<int64_t>(0);
    const int64_t sent = sendAction(action, body, false, [weakSelf, number, onComplete](const ns::Value& response) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->inFlightOnDisconnects_.erase(*number);
        if (onComplete) onComplete(statusOf(response), reasonOf(response));
    });
    *number = sent;
    if (onComplete) inFlightOnDisconnects_[sent] = std::move(onComplete);
}

void FPersistentConnection::purgeOutstandingWrites() {
    ns::dispatchAssertQueue(dispatchQueue_);
    ackPuts();
    auto puts = std::move(outstandingPuts_);
    outstandingPuts_.clear();
    auto queued = std::move(onDisconnectQueue_);
    onDisconnectQueue_.clear();
    for (const auto& [putId, put] : puts) {
        if (put->onCompleteBlock) put->onCompleteBlock(kFErrorWriteCanceled, std::nullopt);
    }
    for (const auto& tuple : queued) {
        if (tuple.onComplete) tuple.onComplete(kFErrorWriteCanceled, std::nullopt);
    }
}

// ---------------------------------------------------------------- incoming

void FPersistentConnection::onDataMessage(FConnection&, const ns::Dictionary& message) {
    // Read in place: every answer and push passes here.
    if (const ns::Value* number = member(message, kFWPRequestNumber)) {
        if (!number->isNumber()) return;
        const int64_t key = number->intValue();
        auto it = requestCBHash_.find(key);
        if (it == requestCBHash_.end()) return;
        ResponseBlock block = std::move(it->second);
        requestCBHash_.erase(it);
        const ns::Value* data = member(message, kFWPResponseForRNData);
        block(data ? *data : ns::nullValue());
    } else if (const ns::Value* error = member(message, kFWPRequestError)) {
        // A server error ends the processing of its message, nothing more.
        FFWarn("I-RDB034046", "QuorvaneDatabaseServerError: %@", *error);
    } else if (const ns::Value* actionValue = member(message, kFWPAsyncServerAction)) {
        const std::string* action = actionValue->stringOrNull();
        if (!action) {
            FFLog("I-RDB034032", "Unsupported action from server: %@", *actionValue);
            return;
        }
        const ns::Value* body = member(message, kFWPAsyncServerPayloadBody);
        onDataPushWithAction(*action, body ? *body : ns::nullValue());
    }
}

bool FPersistentConnection::onAnswer(FConnection&, int64_t number, const ns::json::Element& body) {
    // As onDataMessage does for an answer, with only its body made values.
    auto it = requestCBHash_.find(number);
    if (it == requestCBHash_.end()) return true;
    std::optional<ns::Value> response = body.value();
    if (!response) return false;
    ResponseBlock block = std::move(it->second);
    requestCBHash_.erase(it);
    block(*response);
    return true;
}

void FPersistentConnection::onDataPushWithAction(const std::string& action, const ns::Value& body) {
    FFLog("I-RDB034029", "handleServerMessage: %@, %@", action, body);
    auto delegate = delegate_.lock();
    if (action == kFWPAsyncServerDataUpdate || action == kFWPAsyncServerDataMerge) {
        const bool isMerge = action == kFWPAsyncServerDataMerge;
        if (!contains(body, kFWPAsyncServerDataUpdateBodyPath) || !contains(body, kFWPAsyncServerDataUpdateBodyData)) {
            FFLog("I-RDB034030", "Malformed data response from server missing path or data: %@", body);
            return;
        }
        const std::string* path = body[kFWPAsyncServerDataUpdateBodyPath].stringOrNull();
        const ns::Value& data = body[kFWPAsyncServerDataUpdateBodyData];
        std::optional<FQueryTag> tag;
        if (!path || !readTag(body[kFWPAsyncServerDataUpdateBodyTag], tag)) {
            FFWarn("I-RDB034047", "Dropping a data push with an unusable path or tag: %@", body);
            return;
        }
        if (isMerge) {
            const ns::Dictionary* changes = data.dictionaryOrNull();
            if (!changes) {
                FFWarn("I-RDB034047", "Dropping a merge push whose data is not an object: %@", body);
                return;
            }
            if (changes->empty()) return;
        }
        // Data the repository could not store are refused here, where they
        // can be dropped without harm; the conversion goes with the push so
        // that it is made once.
        FCheckedServerData checked;
        checked.givenMessage = data;
        try {
            if (isMerge) {
                checked.merge = FSnapshotUtilities::compoundWriteFromDictionary(data.asDictionary(), "onDataUpdate");
            } else {
                checked.node = nodeFromServerData(data);
            }
        } catch (const ns::Exception& e) {
            FFWarn("I-RDB034047", "Dropping a data push the database cannot store: %@", e.reason());
            return;
        }
        deliverDataUpdate(*path, isMerge, tag, checked);
    } else if (action == kFWPAsyncServerDataRangeMerge) {
        const std::string* path = body[kFWPAsyncServerDataUpdateBodyPath].stringOrNull();
        const ns::Array* ranges = body[kFWPAsyncServerDataUpdateBodyData].arrayOrNull();
        std::optional<FQueryTag> tag;
        if (!path || !ranges || !readTag(body[kFWPAsyncServerDataUpdateBodyTag], tag)) {
            FFWarn("I-RDB034047", "Dropping a range merge with an unusable path, ranges or tag: %@", body);
            return;
        }
        std::vector<FRangeMerge> merges;
        try {
            merges = rangeMergesFrom(*ranges);
        } catch (const ns::Exception& e) {
            FFWarn("I-RDB034047", "Dropping a range merge the database cannot use: %@", e.reason());
            return;
        }
        if (delegate) delegate->onRangeMerge(merges, *path, tag);
    } else if (action == kFWPAsyncServerAuthRevoked) {
        const ns::Value& status = body[kFWPResponseForActionStatus];
        const ns::Value& reason = body[kFWPResponseForActionData];
        onAuthRevokedWithStatus(status.isString() ? status.asString() : status.description(),
                                reason.isString() ? reason.asString() : reason.description());
    } else if (action == kFWPASyncServerListenCancelled) {
        const std::string* path = body[kFWPAsyncServerDataUpdateBodyPath].stringOrNull();
        if (!path) {
            FFWarn("I-RDB034047", "Dropping a listen cancellation without a path: %@", body);
            return;
        }
        onListenRevoked(FPath(*path));
    } else if (action == kFWPAsyncServerSecurityDebug) {
        if (const std::string* msg = body["msg"].stringOrNull()) logSecurityDebug(*msg);
    } else {
        FFLog("I-RDB034032", "Unsupported action from server: %@", action);
    }
}

bool FPersistentConnection::onDataPush(FConnection&, const std::string& action, const ns::json::Element& body) {
    // Whatever would be dropped or warned about takes the values' way, which
    // words it; here only the data's conversion may refuse them.
    const std::string path(body.member(kFWPAsyncServerDataUpdateBodyPath)->stringValue());
    const ns::json::Element data = *body.member(kFWPAsyncServerDataUpdateBodyData);
    std::optional<FQueryTag> tag;
    if (std::optional<ns::json::Element> tagElement = body.member(kFWPAsyncServerDataUpdateBodyTag)) {
        std::optional<ns::Value> tagValue = tagElement->value();
        if (!tagValue || !readTag(*tagValue, tag)) return false;
    }
    const bool isMerge = action == kFWPAsyncServerDataMerge;
    FCheckedServerData checked;
    try {
        if (isMerge) {
            // Merges are small: they go through the values.
            std::optional<ns::Value> changes = data.value();
            if (!changes || !changes->isDictionary()) return false;
            if (changes->asDictionary().empty()) return true;
            checked.merge = FSnapshotUtilities::compoundWriteFromDictionary(changes->asDictionary(), "onDataUpdate");
            checked.givenMessage = std::move(*changes);
        } else {
            checked.node = nodeFromServerData(data);
            if (!checked.node) return false;
            checked.makeMessage = [data] { return data.value().value_or(ns::Value()); };
        }
    } catch (const ns::Exception& e) {
        FFWarn("I-RDB034047", "Dropping a data push the database cannot store: %@", e.reason());
        return true;
    }
    deliverDataUpdate(path, isMerge, tag, checked);
    return true;
}

void FPersistentConnection::deliverDataUpdate(const std::string& pathString, bool isMerge,
                                              std::optional<FQueryTag> tag, const FCheckedServerData& checked) {
    if (dataPushObserver_) dataPushObserver_(pathString, checked);
    if (auto delegate = delegate_.lock()) delegate->onCheckedDataUpdate(*this, pathString, isMerge, tag, checked);
}

const ns::Value& FCheckedServerData::message() const {
    if (!givenMessage) givenMessage = makeMessage ? makeMessage() : ns::Value();
    return *givenMessage;
}

void FPersistentConnection::onAuthRevokedWithStatus(const std::string& status, const std::string& reason) {
    if (status == "expired_token") {
        FFLog("I-RDB034019", "Auth token revoked: %@ (%@)", status, reason);
    } else {
        FFWarn("I-RDB034020", "Auth token revoked: %@ (%@)", status, reason);
    }
    authToken_.reset();
    forceAuthTokenRefresh_ = true;
    closeRealtime();
}

void FPersistentConnection::onListenRevoked(const FPath& path) {
    FFLog("I-RDB034040", "Removing all listens at path %@", path.toString());
    std::vector<std::shared_ptr<FOutstandingQuery>> removed;
    for (auto it = listens_.begin(); it != listens_.end();) {
        if (it->first.path() == path) {
            removed.push_back(it->second);
            it = listens_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& listen : removed) {
        if (listen->onComplete) listen->onComplete("permission_denied");
    }
}

// ---------------------------------------------------------------- the end of a connection

void FPersistentConnection::onDisconnect(FConnection&, FDisconnectReason reason) {
    FFLog("I-RDB034004", "Got on disconnect due to %s",
          reason == DISCONNECT_REASON_SERVER_RESET ? "server_reset" : "other");
    auto self = shared_from_this();
    connectionState_ = ConnectionStateDisconnected;
    realtime_.reset();
    // Writes the server answered before the drop complete now: no listen
    // response can come any more to release them.
    unackedListensCount_ = 0;
    ackPuts();
    cancelSentTransactions();
    failInFlightOnDisconnects();
    requestCBHash_.clear();

    if (shouldReconnect()) {
        const bool lastConnectionWasSuccessful =
            lastConnectionEstablishedTime_ > 0 &&
            ns::Clock::nowSeconds() - lastConnectionEstablishedTime_ > kSuccessfulConnectionEstablishedDelay;
        if (reason == DISCONNECT_REASON_SERVER_RESET || lastConnectionWasSuccessful) retryHelper_->signalSuccess();
        tryScheduleReconnect();
    }
    lastConnectionEstablishedTime_ = 0;
    if (auto delegate = delegate_.lock()) delegate->onDisconnect(*this);
}

void FPersistentConnection::cancelSentTransactions() {
    std::vector<std::shared_ptr<FOutstandingPut>> cancelled;
    for (auto it = outstandingPuts_.begin(); it != outstandingPuts_.end();) {
        const auto& put = it->second;
        if (put->sent && put->request.contains(kFWPRequestHash)) {
            cancelled.push_back(put);
            it = outstandingPuts_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& put : cancelled) {
        if (put->onCompleteBlock) {
            put->onCompleteBlock(kFTransactionDisconnect, "Client was disconnected while running a transaction");
        }
    }
}

void FPersistentConnection::failInFlightOnDisconnects() {
    auto inFlight = std::move(inFlightOnDisconnects_);
    inFlightOnDisconnects_.clear();
    for (const auto& [number, onComplete] : inFlight) {
        requestCBHash_.erase(number);
        onComplete(kFTransactionDisconnect, std::nullopt);
    }
}

void FPersistentConnection::onKill(FConnection&, const std::string& reason) {
    FFWarn("I-RDB034005",
           "Quorvane Database connection was forcefully killed by the server.  Will not attempt reconnect. Reason: "
           "%@",
           reason);
    interruptForReason(kFInterruptReasonServerKill);
}
