#pragma once
// One location in the database, and the object the application writes
// through: set, priority, update, remove, transactions and the writes the
// server carries out when this client goes away. A reference is a query over
// all the data at its location, so it observes too, and it navigates to
// children, the parent and the root. Every write is validated and converted
// on the calling thread and then handed to the repository on the worker
// queue; completion blocks run on the callback queue.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "database/api/QRVDatabaseQuery.h"
#include "database/connection/QRVDatabaseConfig.h"
#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"

class QRVDatabase;
class QRVMutableData;
class QRVTransactionResult;

// Called once the server has answered a write (or the write was cancelled),
// with the error (nullptr on success) and the written location.
using QRVDatabaseReferenceCompletion = std::function<void(ns::ErrorRef error, QRVDatabaseReferencePtr ref)>;
// A transaction's update block and its completion (committed or not, with
// the final data).
using QRVTransactionUpdateBlock =
    std::function<std::shared_ptr<QRVTransactionResult>(std::shared_ptr<QRVMutableData> currentData)>;
using QRVTransactionCompletion =
    std::function<void(ns::ErrorRef error, bool committed, QRVDataSnapshotPtr snapshot)>;

class QRVDatabaseReference : public QRVDatabaseQuery {
public:
    // initWithRepo:path:
    QRVDatabaseReference(FRepoPtr repo, FPath path);
    // initWithUrl: and initWithUrl:config: the URL's path must be a valid
    // root path; the repository is the session's one for the URL's location.
    explicit QRVDatabaseReference(const std::string& url);
    QRVDatabaseReference(const std::string& url, QRVDatabaseConfigPtr config);

    static QRVDatabaseConfigPtr defaultConfig();
    // Every repository of the process.
    static void goOffline();
    static void goOnline();

    // Navigation: new references on the same repository.
    // The last key; nullopt at the root.
    std::optional<std::string> key() const;
    // nullptr at the root.
    QRVDatabaseReferencePtr parent() const;
    QRVDatabaseReferencePtr root() const;
    // The path extended by the string's keys. Raises "InvalidPathValidation"
    // for an empty string or one holding ".", "#", "$", "[" or "]"; at the
    // root a leading ".info" key is allowed.
    QRVDatabaseReferencePtr child(const std::string& pathString) const;
    QRVDatabaseReferencePtr childByAppendingPath(const std::string& pathString) const { return child(pathString); }
    // A child at a new push key, which sorts after every key made before.
    QRVDatabaseReferencePtr childByAutoId() const;

    // The database that made the repository.
    std::shared_ptr<QRVDatabase> database() const;
    // "http[s]://host/<url-encoded keys>".
    std::string URL() const;

    // Writes. A null value deletes.
    void setValue(const ns::Value& value);
    void setValue(const ns::Value& value, QRVDatabaseReferenceCompletion block);
    void setValue(const ns::Value& value, const ns::Value& priority);
    void setValue(const ns::Value& value, const ns::Value& priority, QRVDatabaseReferenceCompletion block);
    void removeValue();
    void removeValue(QRVDatabaseReferenceCompletion block);
    void setPriority(const ns::Value& priority);
    void setPriority(const ns::Value& priority, QRVDatabaseReferenceCompletion block);
    // Keys are paths relative to this location.
    void updateChildValues(const ns::Dictionary& values);
    void updateChildValues(const ns::Dictionary& values, QRVDatabaseReferenceCompletion block);

    // Writes the server carries out when this client disconnects.
    void onDisconnectSetValue(const ns::Value& value);
    void onDisconnectSetValue(const ns::Value& value, QRVDatabaseReferenceCompletion block);
    void onDisconnectSetValue(const ns::Value& value, const ns::Value& priority);
    void onDisconnectSetValue(const ns::Value& value, const ns::Value& priority, QRVDatabaseReferenceCompletion block);
    void onDisconnectRemoveValue();
    void onDisconnectRemoveValue(QRVDatabaseReferenceCompletion block);
    void onDisconnectUpdateChildValues(const ns::Dictionary& values);
    void onDisconnectUpdateChildValues(const ns::Dictionary& values, QRVDatabaseReferenceCompletion block);
    void cancelDisconnectOperations();
    void cancelDisconnectOperations(QRVDatabaseReferenceCompletion block);

    // Transactions: the update block runs on the current data until the
    // server accepts its result or it aborts.
    void runTransactionBlock(QRVTransactionUpdateBlock update);
    void runTransactionBlock(QRVTransactionUpdateBlock update, QRVTransactionCompletion completion);
    void runTransactionBlock(QRVTransactionUpdateBlock update, QRVTransactionCompletion completion,
                             bool localEvents);

    // The URL.
    std::string description() const override { return URL(); }
    std::string className() const override { return "QRVDatabaseReference"; }

private:
    struct Location {
        FRepoPtr repo;
        FPath path;
    };
    explicit QRVDatabaseReference(Location location);
    static Location locationFromUrl(const std::string& url, const QRVDatabaseConfigPtr& config);

    QRVDatabaseReferencePtr at(FPath path) const;

    void setValueInternal(const ns::Value& value, const ns::Value& priority, QRVDatabaseReferenceCompletion block,
                          std::string_view from);
    void setPriorityInternal(const ns::Value& priority, QRVDatabaseReferenceCompletion block, std::string_view from);
    void updateChildValuesInternal(const ns::Dictionary& values, QRVDatabaseReferenceCompletion block,
                                   std::string_view from);
    void onDisconnectSetValueInternal(const ns::Value& value, const ns::Value& priority,
                                      QRVDatabaseReferenceCompletion block, std::string_view from);
    void onDisconnectUpdateChildValuesInternal(const ns::Dictionary& values, QRVDatabaseReferenceCompletion block,
                                               std::string_view from);
    void runTransactionInternal(QRVTransactionUpdateBlock update, QRVTransactionCompletion completion,
                                bool localEvents, std::string_view from);
};
