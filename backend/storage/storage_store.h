#pragma once
// The storage service's disk: objects, their metadata, resumable upload
// sessions and the bucket settings, under <data dir>/storage/ (0700, files
// 0600):
//
//   buckets.json            {"<bucket>": {"appId": id|null, "quotaBytes": n|null}}
//   objects/<key>.json      one object's metadata (key: SHA-256 of bucket and name)
//   blobs/<id>              one generation's bytes, never changed once written
//   sessions/<id>.json      an upload session: target, metadata, total, bytes acknowledged
//   sessions/<id>.part      the bytes of that session so far
//
// Order of writes: an object's bytes are complete and synced in their blob
// before the metadata that names the blob replaces the old one (atomically),
// and the old blob goes only after that, so a crash at any point leaves
// either the old object or the new one; blobs no metadata names are removed
// on the next start. A chunk of an upload is appended and synced before the
// session's acknowledged count moves, and on start each part file is cut
// back to that count, so an acknowledged byte is never lost and an
// unacknowledged one is never counted. Sessions survive a restart; only a
// finished upload makes an object.
//
// Sessions lapse, so abandoned ones cannot hold the bounds below forever: an
// open session that has received no byte an hour after it was started, any
// other a week after it last moved (a chunk acknowledged, the total named,
// the upload finished). A lapsed session is dropped with its bytes when it is
// next looked at, when a session starts or is listed, and on start (for those
// that lapsed while the back end was down); until then it answers as gone.
// Their ages are read on the store's session clock, the real one moved
// forward by advanceSessionClock (tests of the lapse; not kept on disk).
//
// Finishing an upload is journaled: the session record first names the blob
// its part file is about to become ("finishing"), then the part is renamed
// into blobs/, then the object record is written, then the session is marked
// finished. A start that finds a session still "finishing" completes it from
// whichever of part file or blob holds the bytes, so a crash at any point of
// the step neither loses the bytes nor lets the blob be taken for garbage.
//
// Thread-safe. A short mutex guards the tables only; disk writes and syncs
// happen under a lock of their own session (chunks) or object (records), so
// a read never waits for another upload's sync.

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace backend::storage {

// Bounds on what a client may send.
inline constexpr std::size_t kMaxObjectNameBytes = 1024;
inline constexpr std::size_t kMaxBucketNameBytes = 222;
inline constexpr int64_t kMaxObjectBytes = 1ll << 30;
inline constexpr std::size_t kMaxMetadataBodyBytes = 64 * 1024;
inline constexpr std::size_t kMaxFieldBytes = 1024;
inline constexpr std::size_t kMaxCustomMetadataBytes = 8 * 1024;
// Open sessions one caller may have, and open sessions in all. A start past
// the caller's own bound is refused; one at the bound of all is too, unless
// a session of anyone has not moved for kQuietSessionMs: the one quiet
// longest is then dropped to make room (its client finds it gone, as a
// lapsed one, and starts again), so a few users cannot hold everyone's
// uploads off for the week their sessions last. A session that moved within
// that time is never dropped. Finished sessions only answer a repeated last
// chunk; past their bound the oldest go.
inline constexpr std::size_t kMaxOpenSessionsPerOwner = 100;
inline constexpr std::size_t kMaxOpenSessions = 10000;
inline constexpr std::size_t kMaxFinishedSessions = 1000;
// How long a session lasts without a byte, and without moving.
inline constexpr int64_t kUnusedSessionLifetimeMs = 60ll * 60 * 1000;
inline constexpr int64_t kQuietSessionMs = 60ll * 60 * 1000;
inline constexpr int64_t kSessionLifetimeMs = 7ll * 24 * 60 * 60 * 1000;

// The five content fields a client may set, by their JSON keys.
inline constexpr const char* kContentFields[] = {"cacheControl", "contentDisposition", "contentEncoding",
                                                 "contentLanguage", "contentType"};
inline constexpr const char* kDefaultContentType = "application/octet-stream";

// An object name: 1 to kMaxObjectNameBytes bytes of UTF-8 without control
// characters, made of non-empty "/"-separated segments none of which is "."
// or "..".
bool isValidObjectName(std::string_view name);
// A bucket name: 1 to kMaxBucketNameBytes of a-z, 0-9, ".", "-", "_",
// beginning and ending with a letter or digit.
bool isValidBucketName(std::string_view name);

// What a client asks to change: absent keys are left alone, a null clears a
// field (or, inside "metadata", removes that custom key).
struct MetadataPatch {
    std::map<std::string, std::optional<std::string>> fields;
    std::optional<std::map<std::string, std::optional<std::string>>> custom;
    std::optional<std::string> name;    // "name", checked against the target
    std::optional<std::string> bucket;  // "bucket", likewise
};
// Reads a metadata body (upload or update). The read-only keys the client's
// metadata carries ("generation", "metageneration", "timeCreated",
// "updated", "size", "md5Hash", "downloadTokens", "downloadURLs") are checked
// for their type and otherwise ignored; any other key is refused. Returns ""
// or what is wrong.
std::string parseMetadataPatch(const nlohmann::json& body, MetadataPatch& out);

struct ObjectRecord {
    std::string bucket, name;
    int64_t generation = 0, metageneration = 0, size = 0;
    std::map<std::string, std::string> fields;  // the content fields that are set
    std::map<std::string, std::string> custom;
    int64_t createdMs = 0, updatedMs = 0;
    std::vector<std::string> downloadTokens;
    std::string blob;  // file name under blobs/
};
// The metadata as the client reads it: "name", "bucket", "generation" and
// "metageneration" and "size" as decimal text, the content fields,
// "metadata", "timeCreated" and "updated" (RFC 3339 with milliseconds, "Z"),
// "downloadTokens" (comma-separated).
nlohmann::json toWireJson(const ObjectRecord& object);
// RFC 3339 UTC with milliseconds: 2026-12-07T13:04:33.123Z.
std::string formatTime(int64_t millisecondsSince1970);

struct BucketSettings {
    // Tokens must be issued for this app; none: any app of this back end.
    std::optional<std::string> appId;
    // Bytes all the bucket's objects may take; none: no limit.
    std::optional<int64_t> quotaBytes;
};

struct Session {
    std::string id, bucket, name;
    std::string owner;  // the uid that started it ("" in records from before owners were kept)
    MetadataPatch metadata;
    std::optional<int64_t> total;  // known once a chunk or query has named it
    int64_t received = 0;          // bytes acknowledged
    int64_t createdMs = 0;
    int64_t movedMs = 0;  // when it last moved (createdMs in records from before this was kept)
    // Set once the upload made its object: the generation it made.
    std::optional<int64_t> finishedGeneration;
};

// What became of a chunk.
struct ChunkOutcome {
    enum class Kind { Stored, Finished, Refused, NotFound, QuotaExceeded, TooLarge, TooManySessions };
    Kind kind = Kind::Refused;
    std::string message;           // why, when refused
    Session session;               // as it stands afterwards
    std::optional<ObjectRecord> object;  // when finished
};

class Store {
public:
    // Opens (creating) <dir>; cuts part files back to what their sessions
    // acknowledged and removes blobs no object names. `maxOpenSessions`
    // bounds the open sessions of everyone (tests set a small one). Throws
    // std::runtime_error.
    explicit Store(std::filesystem::path dir, std::size_t maxOpenSessions = kMaxOpenSessions);

    std::map<std::string, BucketSettings> buckets();
    std::optional<BucketSettings> bucket(const std::string& name);
    void setBucket(const std::string& name, const BucketSettings& settings);

    std::optional<ObjectRecord> find(const std::string& bucket, const std::string& name);
    std::vector<ObjectRecord> list(const std::string& bucket);
    // The file holding the generation `object` names. It may be removed once
    // a newer generation replaces it: open it, then check it is still there.
    std::filesystem::path blobPath(const ObjectRecord& object) const;
    // Creates or replaces an object in one step (seeding, admin). QuotaExceeded
    // or TooLarge refuse it.
    ChunkOutcome put(const std::string& bucket, const std::string& name, const MetadataPatch& metadata,
                     std::string_view bytes);
    // Applies a patch: metageneration + 1, updated = now. Nullopt when missing.
    std::optional<ObjectRecord> update(const std::string& bucket, const std::string& name, const MetadataPatch& patch);
    bool remove(const std::string& bucket, const std::string& name);

    // `total`: the size the client announced, when it did. QuotaExceeded or
    // TooLarge refuse a total that cannot fit, TooManySessions an owner (or
    // everyone, with no session quiet enough to drop) at the bound of open
    // sessions (the session is then not made).
    ChunkOutcome startSession(const std::string& bucket, const std::string& name, const MetadataPatch& metadata,
                              std::optional<int64_t> total, const std::string& owner);
    std::optional<Session> session(const std::string& id);
    std::vector<Session> sessions();
    // `first` must be the next byte expected; `total`, when given, must agree
    // with what the session knows. The last byte of the total finishes the
    // upload. An empty `bytes` with `first` < 0 only names the total (a
    // status query), which finishes an upload whose bytes are all there.
    // `atStep`, when set, is called at the named points of the write
    // ("chunkSynced", and when finishing "journaled", "renamed",
    // "committed") so faults can stop the process or hold the step there.
    ChunkOutcome appendChunk(const std::string& id, int64_t first, std::string_view bytes,
                             std::optional<int64_t> total,
                             const std::function<void(std::string_view step)>& atStep = {});
    // Removes an open session and its bytes; false when there is none.
    bool cancelSession(const std::string& id);
    // Drops the session `id`, open or finished, or every one when `id` is
    // empty, with their bytes; how many went.
    std::size_t dropSessions(const std::string& id = "");
    // Moves the session clock `ms` forward; how far it now is ahead of the
    // real one.
    int64_t advanceSessionClock(int64_t ms);

private:
    // A session and the lock its disk writes happen under. `session` changes
    // only with both `io` and the store's mutex held, so either lock reads it.
    struct SessionSlot {
        std::mutex io;
        Session session;
        bool gone = false;  // dropped from the table (read and set under `io`)
    };
    using ObjectKey = std::pair<std::string, std::string>;

    std::filesystem::path objectFile(const std::string& bucket, const std::string& name) const;
    std::filesystem::path sessionFile(const std::string& id, const char* extension) const;
    // The lock an object's record is written under (shared by a few objects).
    std::mutex& objectLock(const std::string& bucket, const std::string& name);
    void load();
    void loadBuckets();
    void loadObjects();
    void loadSessions();
    void dropUnusedBlobs();
    std::optional<ChunkOutcome> answerBeforeWriting(const Session& session, int64_t first, std::size_t size,
                                                    std::optional<int64_t> total);
    ChunkOutcome finishUpload(const std::string& id, SessionSlot& slot, Session updated,
                              const std::function<void(std::string_view step)>& step);
    // Completes a session the last start left "finishing" with `blob`; false
    // when its bytes are nowhere (the session is then dropped).
    bool recoverFinishing(Session& session, const std::string& blob);
    void saveBucketsLocked();
    void saveSession(const Session& session, const std::string& finishingBlob = "");
    // Removes the session's files; the caller holds its `io` and marks it gone.
    void removeSessionFiles(const std::string& id);
    void trimFinishedSessionsLocked();
    int64_t sessionNow() const;
    bool lapsed(const Session& session) const;
    // At the bound of open sessions, and with `owner` within their own,
    // drops the open session quiet longest, if it is quiet past
    // kQuietSessionMs and no chunk of it is being stored.
    void dropQuietestAtBound(const std::string& owner);
    // Drops the sessions `doomed` picks (asked again under each one's `io`,
    // since a chunk may have moved it meanwhile) with their files. Without
    // `waitForWrites`, a session whose chunk is being stored is left alone,
    // so no start or listing waits for another upload's write.
    std::size_t dropSessionsWhere(const std::function<bool(const Session&)>& doomed, bool waitForWrites = false);
    // Drops a session and its files; the caller holds its `io`, not the mutex.
    void dropHeldSession(const std::string& id, SessionSlot& slot);
    std::optional<std::string> quotaProblemLocked(const std::string& bucket, const std::string& name,
                                                  int64_t newSize);
    // Commits bytes already synced in blobs/<blob> as the object's new
    // generation. The caller holds the object's lock, not the store's mutex.
    ObjectRecord commit(const std::string& bucket, const std::string& name, const MetadataPatch& metadata,
                        const std::string& blob, int64_t size);

    std::filesystem::path dir_;
    const std::size_t maxOpenSessions_;
    std::mutex mutex_;
    std::map<std::string, BucketSettings> buckets_;
    std::map<ObjectKey, ObjectRecord> objects_;
    // Sizes of objects being committed, counted against their bucket's quota.
    std::map<ObjectKey, int64_t> pending_;
    std::map<std::string, std::shared_ptr<SessionSlot>> sessions_;
    std::array<std::mutex, 64> objectLocks_;
    int64_t lastGeneration_ = 0;
    std::atomic<int64_t> sessionClockOffsetMs_{0};
};

}  // namespace backend::storage
