// Moves the older cache layout's pending writes (keyed archives of
// FPendingPut, FPendingPutPriority and FPendingUpdate records in the leveldb
// database "outstanding_puts") into the current "writes" database.

#include <algorithm>
#include <charconv>

#include "database/cache/FLevelDBStorageEngine.h"
#include "database/connection/FLog.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/keyed_archive.h"

namespace {

// Set in "server_data" once the older writes have been moved. While the
// older folder cannot be deleted, later starts see it and do not move the
// writes again: by then the server may have acknowledged them, and moving
// them once more would send them again over newer data.
const char* const kLegacyMigratedKey = "/legacy_migrated";

std::optional<uint64_t> writeIdFromKey(const std::string& key) {
    uint64_t id = 0;
    auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), id);
    if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
    return id;
}

const ns::Value& member(const ns::Dictionary& members, const char* key) {
    auto found = members.find(key);
    return found == members.end() ? ns::nullValue() : found->second;
}

// Whether a record writing at a location `keys` deep can be moved. Deeper
// writes were never acknowledged (a server refuses them), and a path is as
// long as the row it was read from: deeper ones are dropped as damage.
bool isWithinTreeDepth(const std::string& key, size_t keys) {
    if (keys <= kQuorvaneMaxTreeDepth) return true;
    FFWarn("I-RDB076042", "Legacy write %@ writes %lu keys deep, past the %lu a location may lie", key,
           (unsigned long)keys, (unsigned long)kQuorvaneMaxTreeDepth);
    return false;
}

// Keys of the deepest member path of an update.
size_t deepestMember(const ns::Dictionary& members) {
    size_t deepest = 0;
    for (const auto& [place, value] : members) deepest = std::max(deepest, FPath(place).length());
    return deepest;
}

void deleteLegacyFolder(const std::string& folder) {
    FFWarn("I-RDB076005", "Deleting legacy database...");
    ns::ErrorRef error;
    if (ns::FileManager::defaultManager().removeItem(folder, &error)) {
        FFWarn("I-RDB076007", "Finished migrating legacy database.");
    } else {
        FFWarn("I-RDB076006", "Failed to delete legacy database: %@", error ? error->description() : "");
    }
}

}  // namespace

FWriteRecordPtr FLevelDBStorageEngine::legacyWriteRecord(const std::string& key, std::string_view bytes) {
    std::optional<uint64_t> writeId = writeIdFromKey(key);
    std::optional<ns::keyed_archive::ArchivedObject> record = ns::keyed_archive::unarchiveRoot(
        ns::Data(reinterpret_cast<const uint8_t*>(bytes.data()), reinterpret_cast<const uint8_t*>(bytes.data()) + bytes.size()));
    if (!writeId || !record) return nullptr;
    const ns::Dictionary& m = record->members;
    if (!ns::keyed_archive::expandsWithinReason(m, bytes.size())) {
        // A write is sent as text with every place written out: one naming
        // its values from so many places was never one the app made.
        FFWarn("I-RDB076044", "Legacy write %@ names its values from more places than a write holds", key);
        return nullptr;
    }
    const ns::Value& path = member(m, "path");
    if (!path.isString()) return nullptr;
    try {
        const FPath at(path.asString());
        if (record->className == "FPendingPut") {
            if (!isWithinTreeDepth(key, at.length())) return nullptr;
            FNodePtr node = FSnapshotUtilities::nodeFrom(member(m, "data"), member(m, "priority"));
            return std::make_shared<FWriteRecord>(at, node, int64_t(*writeId), true);
        }
        if (record->className == "FPendingPutPriority") {
            if (!isWithinTreeDepth(key, at.length() + 1)) return nullptr;
            FNodePtr node = FSnapshotUtilities::nodeFrom(member(m, "priority"));
            return std::make_shared<FWriteRecord>(at.childFromString(".priority"), node, int64_t(*writeId), true);
        }
        if (record->className == "FPendingUpdate" && member(m, "data").isDictionary()) {
            const ns::Dictionary& members = member(m, "data").asDictionary();
            if (!isWithinTreeDepth(key, at.length() + deepestMember(members))) return nullptr;
            return std::make_shared<FWriteRecord>(at, FCompoundWrite::compoundWriteWithValueDictionary(members),
                                                  int64_t(*writeId));
        }
    } catch (const std::exception&) {
        // data the current layout cannot hold
    }
    return nullptr;
}

bool FLevelDBStorageEngine::writeLegacyMigrationMark() { return serverCacheDB_->setString("1", kLegacyMigratedKey); }

void FLevelDBStorageEngine::runLegacyMigration(const FRepoInfo& repoInfo) {
    const std::string folder =
        ns::format("%@/1/%@/v1", quorvaneDir(), ns::format("%@_%@", repoInfo.host(), repoInfo.getNamespace()));
    if (!ns::FileManager::defaultManager().isDirectory(folder)) return;
    if (serverCacheDB_->stringForKey(kLegacyMigratedKey)) {
        // Moved by an earlier start whose delete failed: only retry that.
        deleteLegacyFolder(folder);
        return;
    }
    FFWarn("I-RDB076002", "Legacy database found, migrating...");
    ns::ErrorRef error;
    APLevelDBPtr legacy = APLevelDB::levelDBWithPath(folder + "/outstanding_puts", &error);
    if (!legacy) {
        FFWarn("I-RDB076008", "Failed to migrate old database: %@", error ? error->description() : "");
        return;
    }
    unsigned long migrated = 0;
    bool stored = true;
    legacy->enumerateKeysAndValuesAsData([&](const std::string& key, std::string_view bytes, bool&) {
        FWriteRecordPtr write = legacyWriteRecord(key, bytes);
        if (!write) {
            FFWarn("I-RDB076003", "Failed to migrate legacy write, meh!");
            return;
        }
        const bool saved = write->isOverwrite()
                               ? saveUserOverwrite(write->overwrite(), write->path(), uint64_t(write->writeId()))
                               : saveUserMerge(write->compoundWrite(), write->path(), uint64_t(write->writeId()));
        stored = saved && stored;
        ++migrated;
    });
    FFWarn("I-RDB076004", "Migrated %lu writes", migrated);
    legacy->close();
    if (!stored || !writeLegacyMigrationMark()) {
        // Without the mark a later start must move the writes again, so the
        // older folder stays until then.
        FFWarn("I-RDB076008", "Failed to migrate old database: %@", "the migrated writes could not be stored");
        return;
    }
    deleteLegacyFolder(folder);
}
