#include "database/cache/APLevelDB.h"

#include <leveldb/env.h>

#include <algorithm>
#include <cstring>

#include "database/connection/FLog.h"
#include "platform/file_manager.h"
#include "platform/store_writes.h"
#include "platform/utf8.h"

namespace {

leveldb::Slice slice(std::string_view s) { return leveldb::Slice(s.data(), s.size()); }
std::string_view view(const leveldb::Slice& s) { return std::string_view(s.data(), s.size()); }

bool startsWith(const leveldb::Slice& key, std::string_view prefix) {
    return key.size() >= prefix.size() && std::string_view(key.data(), prefix.size()) == prefix;
}

// A folder whose index (CURRENT) is gone but whose tables or logs are
// there: opened as it is, leveldb would start a new database over them and
// delete the tables it no longer knows, pending writes among them.
bool lostItsIndex(const std::string& path) {
    const ns::FileManager& files = ns::FileManager::defaultManager();
    if (files.fileExists(path + "/CURRENT")) return false;
    const auto names = files.contentsOfDirectory(path);
    if (!names) return false;
    return std::any_of(names->begin(), names->end(), [](const std::string& name) {
        return name.starts_with("MANIFEST-") || name.ends_with(".log") || name.ends_with(".ldb") ||
               name.ends_with(".sst");
    });
}

// leveldb's repair rebuilds the index from the tables and logs it finds,
// keeping every record it can read; what it cannot read it moves into the
// folder's "lost" subfolder rather than deleting it. It takes no lock of
// its own, so it runs under the database's, and not at all when another
// holds it (that one is no damage).
leveldb::Status repair(const std::string& path, const leveldb::Options& options) {
    leveldb::Env* env = leveldb::Env::Default();
    leveldb::FileLock* lock = nullptr;
    leveldb::Status locked = env->LockFile(path + "/LOCK", &lock);
    if (!locked.ok()) return locked;
    leveldb::Status repaired = leveldb::RepairDB(path, options);
    env->UnlockFile(lock);
    return repaired;
}

// Opens the database; a damaged one is repaired first and opened again.
leveldb::Status openOrRepair(const std::string& path, const leveldb::Options& options, leveldb::DB** raw) {
    if (const int failure = ns::storeWrites::opening("cache open")) {
        return leveldb::Status::IOError(path + "/LOCK", std::strerror(failure));
    }
    leveldb::Status status = lostItsIndex(path) ? leveldb::Status::Corruption("CURRENT is missing")
                                                : leveldb::DB::Open(options, path, raw);
    if (!status.IsCorruption()) return status;
    FFWarn("I-RDB076038", "The local cache at %@ is damaged (%@); repairing it", path, status.ToString());
    leveldb::Status repaired = repair(path, options);
    if (!repaired.ok()) {
        FFWarn("I-RDB076039", "Could not repair the local cache at %@: %@", path, repaired.ToString());
        return status;
    }
    return leveldb::DB::Open(options, path, raw);
}

}  // namespace

APLevelDB::~APLevelDB() { close(); }

leveldb::Options APLevelDB::defaultCreateOptions() {
    leveldb::Options options;
    options.create_if_missing = true;
    return options;
}

std::shared_ptr<APLevelDB> APLevelDB::levelDBWithPath(const std::string& path, ns::ErrorRef* error) {
    auto db = std::make_shared<APLevelDB>(Passkey{}, path);
    leveldb::DB* raw = nullptr;
    leveldb::Status status = openOrRepair(path, defaultCreateOptions(), &raw);
    if (!status.ok()) {
        if (error) {
            *error = ns::Error::make(kAPLevelDBErrorDomain, 0, status.ToString());
        }
        return nullptr;
    }
    db->db_.reset(raw);
    db->readOptions_.verify_checksums = false;
    db->readOptions_.fill_cache = true;
    db->writeOptions_.sync = false;
    return db;
}

void APLevelDB::close() { db_.reset(); }

bool APLevelDB::setData(std::string_view bytes, std::string_view key) {
    return db_->Put(writeOptions_, slice(key), slice(bytes)).ok();
}

bool APLevelDB::setData(const ns::Data& bytes, std::string_view key) {
    return setData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), key);
}

bool APLevelDB::setString(std::string_view value, std::string_view key) { return setData(value, key); }

std::optional<ns::Data> APLevelDB::dataForKey(std::string_view key) {
    std::string value;
    if (!db_->Get(readOptions_, slice(key), &value).ok()) return std::nullopt;
    return ns::Data(value.begin(), value.end());
}

std::optional<std::string> APLevelDB::stringForKey(std::string_view key) {
    std::string value;
    if (!db_->Get(readOptions_, slice(key), &value).ok()) return std::nullopt;
    if (!ns::utf8::isValid(value)) return std::nullopt;
    return value;
}

bool APLevelDB::removeKey(std::string_view key) { return db_->Delete(writeOptions_, slice(key)).ok(); }

std::vector<std::string> APLevelDB::allKeys() {
    std::vector<std::string> keys;
    enumerateKeys([&](const std::string& key, bool&) { keys.push_back(key); });
    return keys;
}

template <class F>
void APLevelDB::scanPrefix(std::string_view prefix, F&& visit) {
    std::unique_ptr<leveldb::Iterator> iter(db_->NewIterator(readOptions_));
    for (iter->Seek(slice(prefix)); iter->Valid(); iter->Next()) {
        if (!startsWith(iter->key(), prefix)) break;
        bool stop = false;
        visit(iter.get(), stop);
        if (stop) break;
    }
}

void APLevelDB::enumerateKeys(const KeyBlock& block) { enumerateKeysWithPrefix("", block); }

void APLevelDB::enumerateKeysWithPrefix(std::string_view prefix, const KeyBlock& block) {
    scanPrefix(prefix, [&](leveldb::Iterator* iter, bool& stop) { block(iter->key().ToString(), stop); });
}

void APLevelDB::enumerateKeysAndValuesAsStrings(const KeyStringBlock& block) {
    enumerateKeysWithPrefixAsStrings("", block);
}

void APLevelDB::enumerateKeysWithPrefixAsStrings(std::string_view prefix, const KeyStringBlock& block) {
    scanPrefix(prefix, [&](leveldb::Iterator* iter, bool& stop) {
        std::string value = iter->value().ToString();
        if (!ns::utf8::isValid(value)) return;
        block(iter->key().ToString(), value, stop);
    });
}

void APLevelDB::enumerateKeysAndValuesAsData(const KeyDataBlock& block) { enumerateKeysWithPrefixAsData("", block); }

void APLevelDB::enumerateKeysWithPrefixAsData(std::string_view prefix, const KeyDataBlock& block) {
    scanPrefix(prefix,
               [&](leveldb::Iterator* iter, bool& stop) { block(iter->key().ToString(), view(iter->value()), stop); });
}

uint64_t APLevelDB::exactSizeFrom(std::string_view from, std::string_view to) {
    std::unique_ptr<leveldb::Iterator> iter(db_->NewIterator(readOptions_));
    uint64_t size = 0;
    const leveldb::Slice end = slice(to);
    for (iter->Seek(slice(from)); iter->Valid(); iter->Next()) {
        if (iter->key().compare(end) > 0) break;
        size += iter->value().size();
    }
    return size;
}

uint64_t APLevelDB::approximateSizeFrom(std::string_view from, std::string_view to) {
    leveldb::Range range(slice(from), slice(to));
    uint64_t size = 0;
    db_->GetApproximateSizes(&range, 1, &size);
    return size;
}

std::shared_ptr<APLevelDBWriteBatch> APLevelDB::beginWriteBatch() {
    return std::make_shared<APLevelDBWriteBatch>(shared_from_this());
}

bool APLevelDB::commitWriteBatch(const std::shared_ptr<APLevelDBWriteBatch>& batch) {
    return commitWriteBatch(batch.get());
}

bool APLevelDB::commitWriteBatch(APLevelDBWriteBatch* batch) {
    if (!batch || !db_) return false;
    leveldb::WriteBatch copy = batch->batch();
    return db_->Write(writeOptions_, &copy).ok();
}

// ---------------------------------------------------------------- iterator

std::unique_ptr<APLevelDBIterator> APLevelDBIterator::iteratorWithLevelDB(APLevelDBPtr levelDB) {
    return std::make_unique<APLevelDBIterator>(std::move(levelDB));
}

APLevelDBIterator::APLevelDBIterator(APLevelDBPtr levelDB)
    : iter_(levelDB->db()->NewIterator(levelDB->readOptions())), levelDB_(std::move(levelDB)) {
    iter_->SeekToFirst();
}

bool APLevelDBIterator::seekToKey(std::string_view key) {
    iter_->Seek(slice(key));
    return iter_->Valid();
}

void APLevelDBIterator::seekToFirst() { iter_->SeekToFirst(); }
void APLevelDBIterator::seekToLast() { iter_->SeekToLast(); }

std::optional<std::string> APLevelDBIterator::nextKey() {
    if (iter_->Valid()) iter_->Next();
    return key();
}

std::optional<std::string> APLevelDBIterator::key() const {
    if (!iter_->Valid()) return std::nullopt;
    std::string key = iter_->key().ToString();
    if (!ns::utf8::isValid(key)) return std::nullopt;
    return key;
}

std::optional<std::string> APLevelDBIterator::valueAsString() const {
    if (!iter_->Valid()) return std::nullopt;
    std::string value = iter_->value().ToString();
    if (!ns::utf8::isValid(value)) return std::nullopt;
    return value;
}

std::optional<ns::Data> APLevelDBIterator::valueAsData() const {
    if (!iter_->Valid()) return std::nullopt;
    leveldb::Slice value = iter_->value();
    return ns::Data(value.data(), value.data() + value.size());
}

std::string_view APLevelDBIterator::rawKey() const { return iter_->Valid() ? view(iter_->key()) : std::string_view(); }
std::string_view APLevelDBIterator::rawValue() const {
    return iter_->Valid() ? view(iter_->value()) : std::string_view();
}

// ---------------------------------------------------------------- write batch

void APLevelDBWriteBatch::setData(std::string_view bytes, std::string_view key) { batch_.Put(slice(key), slice(bytes)); }
void APLevelDBWriteBatch::setData(const ns::Data& bytes, std::string_view key) {
    setData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), key);
}
void APLevelDBWriteBatch::setString(std::string_view value, std::string_view key) { setData(value, key); }
void APLevelDBWriteBatch::removeKey(std::string_view key) { batch_.Delete(slice(key)); }
bool APLevelDBWriteBatch::commit() { return levelDB_ && levelDB_->commitWriteBatch(this); }
