#pragma once
// The client side of the realtime database's wire protocol. It keeps a
// connection to the server up (a token from the provider before every
// attempt, then a framed connection; after a drop the next attempt through
// the retry helper; down while any interrupt reason is set), numbers every
// request and matches the server's responses to them, keeps every active
// listen, unanswered write and queued on-disconnect request so that it can
// authenticate and restore them after each handshake, and turns the server's
// pushes into calls on its delegate.
//
// Everything runs on the worker queue: call every operation there (Debug
// builds raise when an operation is called elsewhere); the delegate is
// called there. Only make() may be called from anywhere. No request times out: it is answered, or its
// response block is dropped when the connection goes down.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "database/connection/FConnection.h"
#include "database/connection/QRVDatabaseConfig.h"
#include "database/connection/QRVRetryHelper.h"
#include "database/model/FAtomicNumber.h"
#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/model/FRepoInfo.h"
#include "database/model/FTuples.h"
#include "database/sync/FQueryParams.h"
#include "database/sync/FRangeMerge.h"
#include "database/sync/FSyncTree.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "platform/value.h"

enum FPersistentConnectionState : int32_t {
    ConnectionStateDisconnected = 0,
    ConnectionStateGettingToken = 1,
    ConnectionStateConnecting = 2,
    ConnectionStateAuthenticating = 3,
    ConnectionStateConnected = 4,
};

class FPersistentConnection;

// A data push's data as the connection converted them to check them: the
// node of an overwrite, or the compound write of a merge.
struct FCheckedServerData {
    FNodePtr node;
    FCompoundWrite merge;

    // The data as values (a merge's: a dictionary of relative path strings
    // to values). When the connection read the data straight from the
    // packet's text, they are made from it at the first call, so that only
    // whoever looks at them pays for them; only during the delegate's call.
    const ns::Value& message() const;
    // What message() makes them with when they are not given.
    std::function<ns::Value()> makeMessage;
    mutable std::optional<ns::Value> givenMessage;
};

// Implemented by the repository; called on the worker queue.
class FPersistentConnectionDelegate {
public:
    virtual ~FPersistentConnectionDelegate() = default;
    // onDataUpdate:forPath:message:isMerge:tagId: (a merge's message is a
    // dictionary of relative path strings to values).
    virtual void onDataUpdate(FPersistentConnection& connection, const std::string& pathString,
                              const ns::Value& message, bool isMerge, std::optional<FQueryTag> tagId) = 0;
    // What the connection calls: the same push with the data it has already
    // converted, so that a delegate need not convert them again (their
    // values are checked.message()). By default the conversion is set aside
    // and onDataUpdate called.
    virtual void onCheckedDataUpdate(FPersistentConnection& connection, const std::string& pathString, bool isMerge,
                                     std::optional<FQueryTag> tagId, const FCheckedServerData& checked) {
        onDataUpdate(connection, pathString, checked.message(), isMerge, tagId);
    }
    // onRangeMerge:forPath:tagId:
    virtual void onRangeMerge(const std::vector<FRangeMerge>& ranges, const std::string& pathString,
                              std::optional<FQueryTag> tagId) = 0;
    virtual void onConnect(FPersistentConnection& connection) = 0;
    virtual void onDisconnect(FPersistentConnection& connection) = 0;
    // onServerInfoUpdate:updates: ".info" child names to values.
    virtual void onServerInfoUpdate(FPersistentConnection& connection, const ns::Dictionary& updates) = 0;
};

using FListenOnComplete = std::function<void(const std::string& status)>;

// One active listen, sent or not.
struct FOutstandingQuery {
    FQuerySpec query;
    std::optional<FQueryTag> tagId;
    FSyncTreeHashPtr syncTreeHash;
    FListenOnComplete onComplete;
};

// One write not yet answered.
struct FOutstandingPut {
    std::string action;
    // The request's body, a dictionary: kept as a value so that every send
    // of it shares the one dictionary.
    ns::Value request;
    FCallbackStatusBlock onCompleteBlock;
    bool sent = false;
};

class FPersistentConnection : public FConnectionDelegate, public std::enable_shared_from_this<FPersistentConnection> {
public:
    static constexpr double kMinRetryDelayAfterFailure = 1.0;
    static constexpr double kMaxRetryDelay = 30.0;
    // Held in single precision, as the helper is given it.
    static constexpr float kRetryExponent = 1.3f;
    static constexpr double kJitterFactor = 0.7;
    // A connection that lived longer than this retries at once after a drop.
    static constexpr double kSuccessfulConnectionEstablishedDelay = 30.0;

    // initWithRepoInfo:dispatchQueue:config: nothing is sent or opened until
    // open().
    static std::shared_ptr<FPersistentConnection> make(std::shared_ptr<FRepoInfo> repoInfo,
                                                       ns::DispatchQueuePtr dispatchQueue,
                                                       QRVDatabaseConfigPtr config);
    ~FPersistentConnection() override;

    void setDelegate(std::weak_ptr<FPersistentConnectionDelegate> delegate) { delegate_ = std::move(delegate); }

    void open();

    void listen(const FQuerySpec& query, std::optional<FQueryTag> tagId, FSyncTreeHashPtr hash,
                FListenOnComplete onComplete);
    void unlisten(const FQuerySpec& query, std::optional<FQueryTag> tagId);

    // putData:forPath:withHash:withCallback: and mergeData:forPath:withCallback:
    void putData(const ns::Value& data, const std::string& pathString, const std::optional<std::string>& hash,
                 FCallbackStatusBlock onComplete);
    void mergeData(const ns::Dictionary& data, const std::string& pathString, FCallbackStatusBlock onComplete);

    void onDisconnectPutData(const ns::Value& data, const FPath& path, FCallbackStatusBlock onComplete);
    void onDisconnectMergeData(const ns::Dictionary& data, const FPath& path, FCallbackStatusBlock onComplete);
    void onDisconnectCancelPath(const FPath& path, FCallbackStatusBlock onComplete);

    // A new token (nullopt: signed out); sent at once while connected.
    void refreshAuthToken(const std::optional<std::string>& token);

    void interruptForReason(const std::string& reason);
    void resumeForReason(const std::string& reason);
    bool isInterruptedForReason(const std::string& reason) const { return interruptReasons_.count(reason) > 0; }
    bool shouldReconnect() const { return interruptReasons_.empty(); }

    // Completes every outstanding write and queued on-disconnect request
    // with "write_canceled" and forgets them.
    void purgeOutstandingWrites();

    const std::unordered_map<FQuerySpec, std::shared_ptr<FOutstandingQuery>>& dumpListens() const { return listens_; }

    // Listens and unlistens are sent (states 3 and 4).
    bool connected() const;
    // Writes and on-disconnect requests are sent (state 4).
    bool canSendWrites() const;

    FPersistentConnectionState connectionState() const { return connectionState_; }
    const std::shared_ptr<FRepoInfo>& repoInfo() const { return repoInfo_; }
    const std::shared_ptr<FConnection>& realtimeForTesting() const { return realtime_; }
    const std::shared_ptr<QRVRetryHelper>& retryHelperForTesting() const { return retryHelper_; }
    size_t outstandingPutCountForTesting() const { return outstandingPuts_.size(); }
    // Called with each data push's path and data, converted and checked,
    // just before the delegate hears of them (benchmarks time the split).
    using DataPushObserver = std::function<void(const std::string& pathString, const FCheckedServerData& checked)>;
    void setDataPushObserverForTesting(DataPushObserver observer) { dataPushObserver_ = std::move(observer); }

    // FConnectionDelegate.
    void onReady(FConnection& fconnection, std::optional<double> timestamp,
                 const std::optional<std::string>& sessionID) override;
    void onDataMessage(FConnection& fconnection, const ns::Dictionary& message) override;
    bool onDataPush(FConnection& fconnection, const std::string& action, const ns::json::Element& body) override;
    bool onAnswer(FConnection& fconnection, int64_t number, const ns::json::Element& body) override;
    void onDisconnect(FConnection& fconnection, FDisconnectReason reason) override;
    void onKill(FConnection& fconnection, const std::string& reason) override;

    struct Passkey {};
    FPersistentConnection(Passkey, std::shared_ptr<FRepoInfo> repoInfo, ns::DispatchQueuePtr dispatchQueue,
                          QRVDatabaseConfigPtr config);

private:
    using ResponseBlock = std::function<void(const ns::Value& response)>;

    void setUpObservers();
    void networkReachabilityChanged(ns::Reachability::Flags flags);
    void enteringForeground();

    void tryScheduleReconnect();
    void fetchTokenAnswered(uint64_t attempt, const std::optional<std::string>& token, const ns::ErrorRef& error);
    void openNetworkConnectionWithToken(const std::optional<std::string>& token);

    int64_t sendAction(const std::string& action, const ns::Value& body, bool sensitive, ResponseBlock onMessage);
    void handleTimestamp(double timestamp);
    void sendConnectStats();
    void restoreAuth();
    void sendAuthAndRestoreStateAfterComplete(bool restoreStateAfterComplete);
    void sendUnauth();
    void restoreState();
    void sendListen(const std::shared_ptr<FOutstandingQuery>& listen);
    void sendUnlisten(const FPath& path, const FQueryParamsPtr& params, std::optional<FQueryTag> tagId);
    void putInternal(const ns::Value& data, const std::string& action, const std::string& pathString,
                     const std::optional<std::string>& hash, FCallbackStatusBlock onComplete);
    void sendPut(uint64_t putId);
    void ackPuts();
    void sendOnDisconnectAction(const std::string& action, const std::string& pathString, const ns::Value& data,
                                FCallbackStatusBlock onComplete);
    void onDataPushWithAction(const std::string& action, const ns::Value& body);
    void deliverDataUpdate(const std::string& pathString, bool isMerge, std::optional<FQueryTag> tag,
                           const FCheckedServerData& checked);
    void onAuthRevokedWithStatus(const std::string& status, const std::string& reason);
    void onListenRevoked(const FPath& path);
    void cancelSentTransactions();
    void failInFlightOnDisconnects();
    void closeRealtime();

    FPersistentConnectionState connectionState_ = ConnectionStateDisconnected;
    bool firstConnection_ = true;
    double lastConnectionEstablishedTime_ = 0;
    std::shared_ptr<ns::Reachability> reachability_;
    ns::ObserverToken foregroundObserver_ = 0;
    std::weak_ptr<FPersistentConnectionDelegate> delegate_;
    std::shared_ptr<FConnection> realtime_;
    std::unordered_map<FQuerySpec, std::shared_ptr<FOutstandingQuery>> listens_;
    std::map<uint64_t, std::shared_ptr<FOutstandingPut>> outstandingPuts_;
    std::vector<FTupleOnDisconnect> onDisconnectQueue_;
    std::shared_ptr<FRepoInfo> repoInfo_;
    FAtomicNumber putCounter_;
    FAtomicNumber requestNumber_;
    std::unordered_map<int64_t, ResponseBlock> requestCBHash_;
    // On-disconnect requests sent and not answered, by request number: a
    // drop completes them with "disconnect".
    std::map<int64_t, FCallbackStatusBlock> inFlightOnDisconnects_;
    QRVDatabaseConfigPtr config_;
    size_t unackedListensCount_ = 0;
    std::vector<FTupleCallbackStatus> putsToAck_;
    ns::DispatchQueuePtr dispatchQueue_;
    std::optional<std::string> lastSessionID_;
    std::set<std::string> interruptReasons_;
    std::shared_ptr<QRVRetryHelper> retryHelper_;
    FAuthTokenProviderPtr authTokenProvider_;
    std::optional<std::string> authToken_;
    bool forceAuthTokenRefresh_ = false;
    DataPushObserver dataPushObserver_;
    uint64_t currentFetchTokenAttempt_ = 0;
};
