#pragma once
// A thin object wrapper over one leveldb database: string keys (stored as
// their UTF-8 bytes, so every enumeration runs in byte order), byte values,
// prefix enumeration, exact and approximate range sizes, iterators and write
// batches. It adds no locking; its one user calls it from the worker queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <leveldb/db.h>
#include <leveldb/options.h>
#include <leveldb/write_batch.h>

#include "platform/error.h"
#include "platform/value.h"

inline constexpr const char* kAPLevelDBErrorDomain = "APLevelDBErrorDomain";

class APLevelDBWriteBatch;

class APLevelDB : public std::enable_shared_from_this<APLevelDB> {
public:
    struct Passkey {
        explicit Passkey() = default;
    };
    APLevelDB(Passkey, std::string path) : path_(std::move(path)) {}
    ~APLevelDB();
    APLevelDB(const APLevelDB&) = delete;
    APLevelDB& operator=(const APLevelDB&) = delete;

    // Opens (creating when missing) the database in the directory. A damaged
    // one (leveldb finds it corrupt, or its index is gone while its tables
    // are there) is repaired with leveldb's repair, which keeps every record
    // it can read and moves what it cannot into the folder's "lost"
    // subfolder, and opened again; nothing is deleted. On failure answers
    // nullptr and, when asked, an APLevelDBErrorDomain error (code 0) whose
    // description is leveldb's status text.
    static std::shared_ptr<APLevelDB> levelDBWithPath(const std::string& path, ns::ErrorRef* error);
    static leveldb::Options defaultCreateOptions();

    // Closes and frees the database; nothing when already closed.
    void close();
    bool isOpen() const { return db_ != nullptr; }

    bool setData(std::string_view bytes, std::string_view key);
    bool setData(const ns::Data& bytes, std::string_view key);
    bool setString(std::string_view value, std::string_view key);
    // A copy of the value; nullopt when absent or when the read fails.
    std::optional<ns::Data> dataForKey(std::string_view key);
    // nullopt also when the value is not UTF-8.
    std::optional<std::string> stringForKey(std::string_view key);
    // True when deleted (also for an absent key).
    bool removeKey(std::string_view key);
    std::vector<std::string> allKeys();

    using KeyBlock = std::function<void(const std::string& key, bool& stop)>;
    using KeyStringBlock = std::function<void(const std::string& key, const std::string& value, bool& stop)>;
    // The value's bytes, valid during the call.
    using KeyDataBlock = std::function<void(const std::string& key, std::string_view value, bool& stop)>;

    void enumerateKeys(const KeyBlock& block);
    void enumerateKeysWithPrefix(std::string_view prefix, const KeyBlock& block);
    void enumerateKeysAndValuesAsStrings(const KeyStringBlock& block);
    // Rows whose value is not UTF-8 are passed over.
    void enumerateKeysWithPrefixAsStrings(std::string_view prefix, const KeyStringBlock& block);
    void enumerateKeysAndValuesAsData(const KeyDataBlock& block);
    void enumerateKeysWithPrefixAsData(std::string_view prefix, const KeyDataBlock& block);

    // Sum of the value lengths of the keys from `from` to `to`, both included.
    uint64_t exactSizeFrom(std::string_view from, std::string_view to);
    // leveldb's file-space estimate for [from, to).
    uint64_t approximateSizeFrom(std::string_view from, std::string_view to);

    std::shared_ptr<APLevelDBWriteBatch> beginWriteBatch();
    // False for nullptr; else the batch's operations, all or none.
    bool commitWriteBatch(const std::shared_ptr<APLevelDBWriteBatch>& batch);
    bool commitWriteBatch(APLevelDBWriteBatch* batch);

    const std::string& path() const { return path_; }
    leveldb::DB* db() const { return db_.get(); }
    const leveldb::ReadOptions& readOptions() const { return readOptions_; }

private:
    template <class F>
    void scanPrefix(std::string_view prefix, F&& visit);

    std::unique_ptr<leveldb::DB> db_;
    leveldb::ReadOptions readOptions_;
    leveldb::WriteOptions writeOptions_;
    std::string path_;
};

using APLevelDBPtr = std::shared_ptr<APLevelDB>;

class APLevelDBIterator {
public:
    // Keeps the database and stands on its first key. Over an empty database
    // the iterator is still made, standing on no key.
    static std::unique_ptr<APLevelDBIterator> iteratorWithLevelDB(APLevelDBPtr levelDB);
    explicit APLevelDBIterator(APLevelDBPtr levelDB);

    bool seekToKey(std::string_view key);
    void seekToFirst();
    void seekToLast();
    // Steps on, then answers `key`.
    std::optional<std::string> nextKey();
    std::optional<std::string> key() const;
    std::optional<std::string> valueAsString() const;
    std::optional<ns::Data> valueAsData() const;
    // The raw current key and value (valid until the iterator moves); the
    // key is empty when the iterator stands on no key.
    bool valid() const { return iter_->Valid(); }
    std::string_view rawKey() const;
    std::string_view rawValue() const;
    void next() { iter_->Next(); }

    const APLevelDBPtr& levelDB() const { return levelDB_; }

private:
    std::unique_ptr<leveldb::Iterator> iter_;
    APLevelDBPtr levelDB_;
};

class APLevelDBWriteBatch {
public:
    explicit APLevelDBWriteBatch(APLevelDBPtr levelDB) : levelDB_(std::move(levelDB)) {}

    void setData(std::string_view bytes, std::string_view key);
    void setData(const ns::Data& bytes, std::string_view key);
    void setString(std::string_view value, std::string_view key);
    void removeKey(std::string_view key);
    void clear() { batch_.Clear(); }
    bool commit();

    const leveldb::WriteBatch& batch() const { return batch_; }
    const APLevelDBPtr& levelDB() const { return levelDB_; }
    void setLevelDB(APLevelDBPtr levelDB) { levelDB_ = std::move(levelDB); }

private:
    leveldb::WriteBatch batch_;
    APLevelDBPtr levelDB_;
};
