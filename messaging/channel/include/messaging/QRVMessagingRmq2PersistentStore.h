#pragma once
// The SQLite file of the reliable-message store and every statement run on
// it: outgoing messages until the server confirms them, the saved outgoing id
// counter, the ids of received messages until the server knows they arrived,
// and the received sync messages with the paths they came by.
//
// The file is <Application Support>/Ondrix/QuorvaneMessaging/<name>.sqlite
// when that folder exists (a file left in Documents by an earlier version is
// moved there, or deleted when both exist); otherwise <Documents>/<name>.sqlite.
// Opening makes every table the file lacks, whether the file is new or was
// found (emptied, or left by a launch that ended before its tables), and
// drops the older received-id table from a file that was found.
// A damaged file (isDamage) is set aside beside itself ("<name>.damaged",
// "-2", ..., with its journal under the copy's name) and a new one made. A
// file that cannot be opened or laid out for any other reason (another
// program holds its lock past kQRVMessagingRmqBusyTimeoutMilliseconds, no
// permission, a full disk) is kept as it is and the store is without a
// database (logged as an error): every operation then answers NO, 0, none or
// an empty list, and the next operation once the retry time has come (5 s of
// ns::Clock, doubling to 5 min) opens it again.
//
// One connection, no lock of its own: call it on one thread (the main
// thread). A lock another connection holds is waited for at each statement,
// at most kQRVMessagingRmqBusyTimeoutMilliseconds.
// Statements are prepared per call and finalised at once.
//
// Every commit is an ns::StoreWrite ("messaging commit"), so the program's
// end waits for it and a crash test can end the process right before it.
// A write of several statements (the tables of a file, a delete of more ids
// than one statement takes, a caller's writeInOneCommit) is one transaction:
// a process ended during it leaves the file as it was before.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "messaging/QRVMessagingPersistentSyncMessage.h"
#include "platform/error.h"
#include "platform/value.h"

struct sqlite3;

// Where the file lies.
enum QRVMessagingRmqDirectory : int {
    QRVMessagingRmqDirectoryDocuments = 1,
    QRVMessagingRmqDirectoryApplicationSupport = 2,
};

inline constexpr const char* kQRVMessagingOutgoingRmqTable = "outgoingRmqMessages";
inline constexpr const char* kQRVMessagingLastRmqIdTable = "lastrmqid";
inline constexpr const char* kQRVMessagingS2dRmqIdsTable = "s2dRmqIds_1";
inline constexpr const char* kQRVMessagingOldS2dRmqIdsTable = "s2dRmqIds";
inline constexpr const char* kQRVMessagingSyncMessagesTable = "incomingSyncMessages";
// Ids per delete statement.
inline constexpr size_t kQRVMessagingMaxIdsPerDelete = 100;
// How long a statement waits for a lock another connection holds. The
// store's caller is the main thread, which waits with it: another writer's
// transactions last milliseconds, so one second outlasts them on a slow
// disk without freezing the screen for longer; a holder that keeps the
// lock longer is tried again later.
inline constexpr int kQRVMessagingRmqBusyTimeoutMilliseconds = 1000;
inline constexpr double kQRVMessagingRmqFirstReopenSeconds = 5;
inline constexpr double kQRVMessagingRmqMaxReopenSeconds = 300;

class QRVMessagingRmq2PersistentStore {
public:
    // Outgoing message handler: (reliable-message id, frame tag, bytes).
    using RmqMessageHandler = std::function<void(int64_t rmqId, int8_t tag, const ns::Data& data)>;

    explicit QRVMessagingRmq2PersistentStore(std::string databaseName);
    ~QRVMessagingRmq2PersistentStore();
    QRVMessagingRmq2PersistentStore(const QRVMessagingRmq2PersistentStore&) = delete;
    QRVMessagingRmq2PersistentStore& operator=(const QRVMessagingRmq2PersistentStore&) = delete;

    // Where the file lies below Application Support.
    static constexpr const char* kSubDirectory = "Ondrix/QuorvaneMessaging";

    const std::string& databaseName() const { return databaseName_; }
    QRVMessagingRmqDirectory currentDirectory() const { return currentDirectory_; }
    bool isOpen() const { return db_ != nullptr; }

    // The file of `databaseName` in the given place.
    static std::string pathForDatabase(const std::string& databaseName, QRVMessagingRmqDirectory directory);
    // Deletes the file of `databaseName` in both places (tests start fresh).
    static void removeDatabase(const std::string& databaseName);
    // Whether a failure with this SQLite result code (primary or extended)
    // means the file is damaged: SQLITE_CORRUPT and SQLITE_NOTADB only. A
    // lock held elsewhere, a permission, a full disk or an I/O error is no
    // reason to give up a file whose messages may still be sent.
    static bool isDamage(int resultCode);
    // Moves the Documents file to Application Support/<subDirectory>; NO
    // (the file stays in Documents) when that folder does not exist.
    static bool moveToApplicationSupportSubDirectory(const std::string& databaseName, const std::string& subDirectory);

    // Runs `body` (which calls this store's writes) as one transaction,
    // committed when it returns true, rolled back otherwise; the result is
    // whether it was committed. Inside another such call it runs as part of
    // that one.
    bool writeInOneCommit(const std::function<bool()>& body);

    // Outgoing messages.
    bool saveMessageWithRmqId(int64_t rmqId, int8_t tag, const ns::Data& data, ns::ErrorRef* error);
    // The highest stored outgoing id, 0 when none.
    int64_t queryHighestRmqId();
    // The saved counter, 0 when none.
    int64_t queryLastRmqId();
    // The larger of the two; nullopt when the store cannot tell (not open,
    // or a read failed), so that no id is taken for unused.
    std::optional<int64_t> highestRmqIdOnRecord();
    bool updateLastOutgoingRmqId(int64_t rmqId);
    // Ascending id; rows with id 0 skipped.
    void scanOutgoingRmqMessagesWithHandler(const RmqMessageHandler& handler);

    // Received ids.
    bool saveUnackedS2dMessageWithRmqId(const std::string& rmqId);
    // In numeric order of the ids ("9" before "10"); ids that are not
    // numbers come first, in text order.
    std::vector<std::string> unackedS2dRmqIds();

    // Deletes the ids from `table` in statements of at most 100 ids (bound
    // as integers for the outgoing table, as text otherwise); the number of
    // rows deleted.
    int deleteMessagesFromTable(const std::string& table, const std::vector<std::string>& rmqIds);

    // Sync messages.
    std::shared_ptr<QRVMessagingPersistentSyncMessage> querySyncMessageWithRmqID(const std::string& rmqID);
    bool saveSyncMessageWithRmqID(const std::string& rmqID, int64_t expirationTime, bool apnsReceived,
                                  bool mcsReceived, ns::ErrorRef* error);
    bool updateSyncMessageViaAPNSWithRmqID(const std::string& rmqID, ns::ErrorRef* error);
    bool updateSyncMessageViaMCSWithRmqID(const std::string& rmqID, ns::ErrorRef* error);
    bool deleteSyncMessageWithRmqID(const std::string& rmqID);
    // Rows past their expiry (strictly before now) or seen by both paths.
    int deleteExpiredOrFinishedSyncMessages(ns::ErrorRef* error);

private:
    void openDatabase();
    // SQLITE_OK with the file open and laid out, else the failure's code
    // with the store closed.
    int openAndLayOut(const std::string& path);
    // Opens again a file kept after a failure, once its retry time has come.
    void reopenIfDue();
    // Makes the tables the file lacks (and drops the old received-id table
    // from a file that was found) in one commit; false with `failure` and
    // `code` set when the file cannot hold them.
    bool layOutTables(bool existed, std::string& failure, int& code);
    // The delete statements of deleteMessagesFromTable; the rows deleted.
    int deleteInStatements(const std::string& table, const std::vector<std::string>& rmqIds, bool bindAsInteger);
    bool updateSyncMessageWithRmqID(const std::string& rmqID, const char* column, ns::ErrorRef* error);
    void logDatabaseError(int code);

    std::string databaseName_;
    QRVMessagingRmqDirectory currentDirectory_ = QRVMessagingRmqDirectoryDocuments;
    sqlite3* db_ = nullptr;
    double nextOpenAt_ = 0;
    double reopenDelay_ = kQRVMessagingRmqFirstReopenSeconds;
    // Inside writeInOneCommit: a body's statements must not open the file
    // part-way through.
    int commitDepth_ = 0;
};
