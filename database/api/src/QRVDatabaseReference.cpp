#include "database/api/QRVDatabaseReference.h"

#include "database/api/FRepo.h"
#include "database/api/FRepoManager.h"
#include "database/api/QRVDatabase.h"
#include "database/model/FNextPushId.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "database/model/FUtilities.h"
#include "database/model/FValidation.h"

namespace {

const char kPriorityKey[] = ".priority";

}  // namespace

QRVDatabaseReference::QRVDatabaseReference(FRepoPtr repo, FPath path)
    : QRVDatabaseQuery(std::move(repo), std::move(path)) {}

QRVDatabaseReference::QRVDatabaseReference(const std::string& url)
    : QRVDatabaseReference(locationFromUrl(url, QRVDatabaseConfig::defaultConfig())) {}

QRVDatabaseReference::QRVDatabaseReference(const std::string& url, QRVDatabaseConfigPtr config)
    : QRVDatabaseReference(locationFromUrl(url, config)) {}

QRVDatabaseReference::QRVDatabaseReference(Location location)
    : QRVDatabaseQuery(std::move(location.repo), std::move(location.path)) {}

QRVDatabaseReference::Location QRVDatabaseReference::locationFromUrl(const std::string& url,
                                                                    const QRVDatabaseConfigPtr& config) {
    FParsedUrl parsed = FUtilities::parseUrl(url);
    FValidation::validateURL("initWithUrl:", parsed);
    return Location{FRepoManager::getRepo(parsed.repoInfo, config), std::move(parsed.path)};
}

QRVDatabaseConfigPtr QRVDatabaseReference::defaultConfig() { return QRVDatabaseConfig::defaultConfig(); }

void QRVDatabaseReference::goOffline() { FRepoManager::interruptAll(); }

void QRVDatabaseReference::goOnline() { FRepoManager::resumeAll(); }

// Navigation.

QRVDatabaseReferencePtr QRVDatabaseReference::at(FPath path) const {
    return std::make_shared<QRVDatabaseReference>(repo(), std::move(path));
}

std::optional<std::string> QRVDatabaseReference::key() const { return path().getBack(); }

QRVDatabaseReferencePtr QRVDatabaseReference::parent() const {
    std::optional<FPath> parentPath = path().parent();
    return parentPath ? at(std::move(*parentPath)) : nullptr;
}

QRVDatabaseReferencePtr QRVDatabaseReference::root() const { return at(FPath()); }

QRVDatabaseReferencePtr QRVDatabaseReference::child(const std::string& pathString) const {
    if (path().isEmpty()) {
        FValidation::validateRootPathString("child:", pathString);
    } else {
        FValidation::validatePathString("child:", pathString);
    }
    return at(path().childFromString(pathString));
}

QRVDatabaseReferencePtr QRVDatabaseReference::childByAutoId() const {
    FValidation::validateWritablePath("childByAutoId:", path());
    return child(FNextPushId::get(repo()->serverTime()));
}

std::shared_ptr<QRVDatabase> QRVDatabaseReference::database() const { return repo()->database(); }

std::string QRVDatabaseReference::URL() const {
    std::string url = repo()->description();
    for (const std::string& key : path()) {
        url += "/";
        url += FStringUtilities::urlEncoded(key);
    }
    return url;
}

// Writes.

void QRVDatabaseReference::setValue(const ns::Value& value) {
    setValueInternal(value, ns::Value(), nullptr, "setValue:");
}

void QRVDatabaseReference::setValue(const ns::Value& value, QRVDatabaseReferenceCompletion block) {
    setValueInternal(value, ns::Value(), std::move(block), "setValue:withCompletionBlock:");
}

void QRVDatabaseReference::setValue(const ns::Value& value, const ns::Value& priority) {
    setValueInternal(value, priority, nullptr, "setValue:andPriority:");
}

void QRVDatabaseReference::setValue(const ns::Value& value, const ns::Value& priority,
                                    QRVDatabaseReferenceCompletion block) {
    setValueInternal(value, priority, std::move(block), "setValue:andPriority:withCompletionBlock:");
}

void QRVDatabaseReference::removeValue() { setValueInternal(ns::Value(), ns::Value(), nullptr, "removeValue:"); }

void QRVDatabaseReference::removeValue(QRVDatabaseReferenceCompletion block) {
    setValueInternal(ns::Value(), ns::Value(), std::move(block), "removeValueWithCompletionBlock:");
}

void QRVDatabaseReference::setPriority(const ns::Value& priority) {
    setPriorityInternal(priority, nullptr, "setPriority:");
}

void QRVDatabaseReference::setPriority(const ns::Value& priority, QRVDatabaseReferenceCompletion block) {
    setPriorityInternal(priority, std::move(block), "setPriority:withCompletionBlock:");
}

void QRVDatabaseReference::updateChildValues(const ns::Dictionary& values) {
    updateChildValuesInternal(values, nullptr, "updateChildValues:");
}

void QRVDatabaseReference::updateChildValues(const ns::Dictionary& values, QRVDatabaseReferenceCompletion block) {
    updateChildValuesInternal(values, std::move(block), "updateChildValues:withCompletionBlock:");
}

void QRVDatabaseReference::setValueInternal(const ns::Value& value, const ns::Value& priority,
                                            QRVDatabaseReferenceCompletion block, std::string_view from) {
    FValidation::validateWritablePath(from, path());
    FNodePtr node = FSnapshotUtilities::nodeFromWithValidation(value, priority, from);
    sharedQueue()->async([repo = repo(), path = path(), node = std::move(node), block = std::move(block)] {
        repo->set(path, node, block);
    });
}

void QRVDatabaseReference::setPriorityInternal(const ns::Value& priority, QRVDatabaseReferenceCompletion block,
                                               std::string_view from) {
    FValidation::validateWritablePath(from, path());
    // The priority is converted here, with the priority rules and the tag,
    // so that a priority that cannot be stored raises at the caller rather
    // than on the worker queue, where nothing may throw.
    FCompoundWrite write = FSnapshotUtilities::compoundWriteFromDictionary({{kPriorityKey, priority}}, from);
    const FPath priorityPath(kPriorityKey);
    FNodePtr node = write.completeNodeAtPath(priorityPath);
    sharedQueue()->async([repo = repo(), path = path().child(priorityPath), node = std::move(node),
                          block = std::move(block)] { repo->set(path, node, block); });
}

void QRVDatabaseReference::updateChildValuesInternal(const ns::Dictionary& values,
                                                     QRVDatabaseReferenceCompletion block, std::string_view from) {
    FValidation::validateWritablePath(from, path());
    FCompoundWrite write = FSnapshotUtilities::compoundWriteFromDictionary(values, from);
    sharedQueue()->async([repo = repo(), path = path(), write = std::move(write), block = std::move(block)] {
        repo->update(path, write, block);
    });
}

// On-disconnect writes.

void QRVDatabaseReference::onDisconnectSetValue(const ns::Value& value) {
    onDisconnectSetValueInternal(value, ns::Value(), nullptr, "onDisconnectSetValue:");
}

void QRVDatabaseReference::onDisconnectSetValue(const ns::Value& value, QRVDatabaseReferenceCompletion block) {
    onDisconnectSetValueInternal(value, ns::Value(), std::move(block), "onDisconnectSetValue:withCompletionBlock:");
}

void QRVDatabaseReference::onDisconnectSetValue(const ns::Value& value, const ns::Value& priority) {
    onDisconnectSetValueInternal(value, priority, nullptr, "onDisconnectSetValue:andPriority:");
}

void QRVDatabaseReference::onDisconnectSetValue(const ns::Value& value, const ns::Value& priority,
                                                QRVDatabaseReferenceCompletion block) {
    onDisconnectSetValueInternal(value, priority, std::move(block),
                                 "onDisconnectSetValue:andPriority:withCompletionBlock:");
}

void QRVDatabaseReference::onDisconnectRemoveValue() {
    onDisconnectSetValueInternal(ns::Value(), ns::Value(), nullptr, "onDisconnectRemoveValue:");
}

void QRVDatabaseReference::onDisconnectRemoveValue(QRVDatabaseReferenceCompletion block) {
    onDisconnectSetValueInternal(ns::Value(), ns::Value(), std::move(block),
                                 "onDisconnectRemoveValueWithCompletionBlock:");
}

void QRVDatabaseReference::onDisconnectUpdateChildValues(const ns::Dictionary& values) {
    onDisconnectUpdateChildValuesInternal(values, nullptr, "onDisconnectUpdateChildValues:");
}

void QRVDatabaseReference::onDisconnectUpdateChildValues(const ns::Dictionary& values,
                                                         QRVDatabaseReferenceCompletion block) {
    onDisconnectUpdateChildValuesInternal(values, std::move(block),
                                          "onDisconnectUpdateChildValues:withCompletionBlock:");
}

void QRVDatabaseReference::cancelDisconnectOperations() { cancelDisconnectOperations(nullptr); }

void QRVDatabaseReference::cancelDisconnectOperations(QRVDatabaseReferenceCompletion block) {
    sharedQueue()->async([repo = repo(), path = path(), block = std::move(block)] {
        repo->onDisconnectCancel(path, block);
    });
}

void QRVDatabaseReference::onDisconnectSetValueInternal(const ns::Value& value, const ns::Value& priority,
                                                        QRVDatabaseReferenceCompletion block,
                                                        std::string_view from) {
    FValidation::validateWritablePath(from, path());
    FNodePtr node = FSnapshotUtilities::nodeFromWithValidation(value, priority, from);
    sharedQueue()->async([repo = repo(), path = path(), node = std::move(node), block = std::move(block)] {
        repo->onDisconnectSet(path, node, block);
    });
}

void QRVDatabaseReference::onDisconnectUpdateChildValuesInternal(const ns::Dictionary& values,
                                                                 QRVDatabaseReferenceCompletion block,
                                                                 std::string_view from) {
    FValidation::validateWritablePath(from, path());
    FCompoundWrite write = FSnapshotUtilities::compoundWriteFromDictionary(values, from);
    sharedQueue()->async([repo = repo(), path = path(), write = std::move(write), block = std::move(block)] {
        repo->onDisconnectUpdate(path, write, block);
    });
}

// Transactions.

void QRVDatabaseReference::runTransactionBlock(QRVTransactionUpdateBlock update) {
    runTransactionInternal(std::move(update), nullptr, true, "runTransactionBlock:");
}

void QRVDatabaseReference::runTransactionBlock(QRVTransactionUpdateBlock update, QRVTransactionCompletion completion) {
    runTransactionInternal(std::move(update), std::move(completion), true, "runTransactionBlock:andCompletionBlock:");
}

void QRVDatabaseReference::runTransactionBlock(QRVTransactionUpdateBlock update, QRVTransactionCompletion completion,
                                               bool localEvents) {
    runTransactionInternal(std::move(update), std::move(completion), localEvents,
                           "runTransactionBlock:andCompletionBlock:withLocalEvents:");
}

void QRVDatabaseReference::runTransactionInternal(QRVTransactionUpdateBlock update,
                                                  QRVTransactionCompletion completion, bool localEvents,
                                                  std::string_view from) {
    FValidation::validateWritablePath(from, path());
    sharedQueue()->async([repo = repo(), path = path(), update = std::move(update),
                          completion = std::move(completion), localEvents] {
        repo->startTransactionOnPath(path, update, completion, localEvents);
    });
}
