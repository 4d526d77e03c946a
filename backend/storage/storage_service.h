#pragma once
// The storage service: objects in buckets over REST, on both HTTP listeners
// (the SDK's storage client uses HTTPS). Objects, metadata and upload
// sessions live on disk (storage_store.h); a restart keeps every object and
// every acknowledged byte of an unfinished upload.
//
// Object URLs are /v0/b/<bucket>/o/<object>, the object name escaped ("/" as
// "%2F"; a bad escape, an empty or "."/".." segment, a control character or
// more than 1024 bytes is 400). Query parameters are read by key, in any
// order; a key given twice is 400.
//   GET    <object>                 200 metadata JSON (below)
//   GET    <object>?alt=media       200 the bytes (Content-Length, ETag "<generation>",
//                                   Accept-Ranges); "Range: bytes=N-" / "N-M" / "-N" gives 206
//                                   with Content-Range (416 past the end; an If-Range that is
//                                   not the current ETag gives the whole object);
//                                   &token=<download token> authorises without a header
//   PATCH  <object>                 JSON metadata: the content fields and "metadata" change (null
//                                   clears; custom keys merge, a null value removes one),
//                                   metageneration + 1 -> 200 metadata JSON
//   DELETE <object>                 204, 404 when missing
//   POST   <object or /o>?uploadType=resumable&name=<escaped name>
//                                   JSON metadata body -> 200, empty body, "Location" the
//                                   session URL: the object URL with
//                                   ?uploadType=resumable&upload_id=<id>. An
//                                   "X-Upload-Content-Length" fixes the total (402/413 at once
//                                   when it cannot fit); "X-Upload-Content-Type" is the content
//                                   type when the metadata has none
//   PUT    <session URL>            "Content-Range: bytes a-b/total" ("/*": total not known yet)
//                                   with b-a+1 body bytes, a = the next byte expected -> 308 with
//                                   "Range: bytes=0-<last byte received>" (none while nothing has
//                                   arrived), or, with the last byte, 200 and the metadata JSON;
//                                   a gap, an overlap, a body of another length or a total that
//                                   changes is 400 and stores nothing of the chunk. An empty PUT
//                                   with "Content-Range: bytes */total" answers the same way with
//                                   what has arrived (200 once everything has). After the upload
//                                   finished, any PUT answers 200 with the object it made.
//   DELETE <session URL>            cancels: 204, 404 when no open session
// Metadata JSON: "name", "bucket", "generation", "metageneration", "size"
// (decimal text), "contentType" (default application/octet-stream) and the
// other content fields that are set, "metadata" (custom strings),
// "timeCreated", "updated" (2026-12-07T13:04:33.123Z), "downloadTokens"
// (comma-separated; made with the object and kept when it is uploaded
// again). Metadata bodies: at most 64 KiB, content fields strings of at most
// 1 KiB, custom metadata at most 8 KiB; read-only keys are type-checked and
// ignored; unknown keys, a "name" or "bucket" other than the target's and
// wrong types are 400.
//
// Callers: "Authorization: Quorvane <ID token>" (or Bearer) is checked by the
// shared token verifier against the bucket's app (buckets.json); a bad token
// is 401, no header is anonymous. Rules: products/<file> is readable by
// signed-in users; profiles/<uid>.jpg readable by signed-in users and
// writable (upload, update, delete) only by <uid>; nothing else is open.
// Refusals: 401 anonymous, 403 signed in but not allowed, 404 missing, 402
// over the bucket's quota, 413 over 1 GiB, 429 a start while the caller
// already has 100 unfinished uploads (or everyone 10000, --max-upload-sessions,
// and none of them has moved for an hour: else the one quiet longest is
// dropped to make room; an unfinished upload lapses an hour after its start
// without a byte, else a week after it last moved, and is then gone: 404, as
// storage_store.h says). A download token
// that does not open the object is 403 whether the object exists or not,
// unless the caller may read it anyway (then as without a token). Every field
// is bounded before it is read, and more is 400: the target 8 KiB, at most 64
// query parameters, an escaped bucket, object name or query value 3 KiB, a
// query key 64 bytes; Authorization 8 KiB, Host and X-Upload-Content-Type
// 1 KiB, Content-Range, Range, If-Range and X-Upload-Content-Length 256
// bytes. Upload
// session URLs are themselves the permission to send chunks (128 random
// bits), checked when the session is made. Every error body is
// {"error": {"code": <status>, "message": "..."}}.
//
// Buckets: any well-formed bucket name works; a bucket in
// <data dir>/storage/buckets.json may be bound to an app (tokens of other
// apps are refused) and have a quota. A seeded data dir's storage.json names
// the buckets and the sample photos, drawn as JPEGs on the first start:
//   {"buckets": {"<bucket>": {"appId"?, "quotaBytes"?}},
//    "productPhotos": {"bucket", "largePhoto": [codes], "withoutPhoto": [codes]},
//    "photos": [{"bucket", "name", "width", "height", "seed", "noise"?, "quality"?}]}
// "productPhotos" gives every product of the seeded database.json
// ("Productos/<code>") the photo products/<code>.jpg, except the first
// listed code the database has under "withoutPhoto"; the first one under
// "largePhoto" gets one over 1 MiB.
//
// Admin endpoints (loopback, the run's admin secret, JSON):
//   GET    /__admin/storage/requests[?offset=&limit=]
//                                       {"requests": [{"id","kind","method","target","path","query",
//                                       "headers":[{name,value}],"bodySize","status","fault"}],
//                                       "total","offset","next"?} oldest first, a page at a time
//                                       (backend/core/request_log.h). The log keeps the last 10000
//                                       requests within 24 MiB of memory, each a summary: the target,
//                                       path and query cut to 1 KiB, at most 4 KiB of headers (their
//                                       flat form), with "truncated" when something was cut; kind:
//                                       download, metadata, update, delete, startUpload, uploadChunk,
//                                       uploadQuery, cancelUpload, other
//   DELETE /__admin/storage/requests   forget them
//   GET    /__admin/storage/faults     {"faults": [...]} still pending
//   POST   /__admin/storage/faults     {"kind"?, "object"?, "count"? (1), "status"?, "message"?,
//                                       "delayMs"?, "cut"?, "cutAfterBytes"?, "step"?, "crash"?}: the next `count`
//                                       requests of that kind (any) and object name (any) are
//                                       delayed, then answered with `status` without acting, or
//                                       cut: a download sends its head and `cutAfterBytes` of the
//                                       body (default half) and closes; a chunk keeps its first
//                                       `cutAfterBytes` bytes (default half) as received and
//                                       closes without an answer; anything else closes without
//                                       acting. With "step" (uploadChunk/uploadQuery only: chunkSynced,
//                                       journaled, renamed, committed) the fault acts at that point of
//                                       storing the chunk instead: "crash" ends the process there as a
//                                       kill -9 would, a delay holds the step until it passes or the
//                                       faults are cleared. Faults queue in order; the first that
//                                       matches is used.
//   DELETE /__admin/storage/faults     none pending
//   GET    /__admin/storage/buckets    {"buckets": {"<bucket>": {"appId","quotaBytes"}}}
//   POST   /__admin/storage/buckets    {"bucket", "appId"?: id|null, "quotaBytes"?: n|null}
//   GET    /__admin/storage/objects?bucket=   {"objects": [metadata JSON...]}
//   PUT    /__admin/storage/objects?bucket=&name=[&contentType=]   body: the bytes -> metadata
//   GET    /__admin/storage/sessions   {"sessions": [{"id","bucket","name","received","total","finished"}]}
//   DELETE /__admin/storage/sessions[?id=]   drops that upload session (404 when there is none),
//                                       or every one, with their bytes -> {"dropped": n}
//   POST   /__admin/storage/clock      {"advanceMs": n}: moves the clock upload sessions lapse by
//                                       (storage_store.h) n ms forward, until the back end stops ->
//                                       {"offsetMs": how far it is ahead of the real one}

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backend/core/request_log.h"
#include "backend/core/service.h"

namespace backend {

class TokenVerifier;

namespace storage {
class Store;
}

class StorageService : public Service {
public:
    // Requests the log keeps, and the memory they may take.
    static constexpr std::size_t kMaxLoggedRequests = 10000;
    static constexpr std::size_t kMaxLoggedRequestBytes = 24u * 1024u * 1024u;
    // Longest delay a fault may ask for.
    static constexpr int kMaxDelayMs = 60000;
    // Bounds on what a request may carry, checked before anything reads it.
    static constexpr std::size_t kMaxTargetBytes = 8192;
    static constexpr std::size_t kMaxQueryParameters = 64;
    static constexpr std::size_t kMaxEscapedFieldBytes = 3 * 1024;
    // What the request log keeps of one request.
    static constexpr std::size_t kMaxLoggedFieldBytes = 1024;
    static constexpr std::size_t kMaxLoggedHeaderBytes = 4096;

    StorageService();
    ~StorageService() override;
    std::string name() const override { return "storage"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;
    void stop() override;

    struct Fault {
        std::string kind;    // "" any
        std::string object;  // "" any
        int count = 1;
        int status = 0;  // 0: act normally after the delay
        std::string message;
        int delayMs = 0;
        bool cut = false;
        std::optional<int64_t> cutAfterBytes;
        std::string step;  // "": before the request
        bool crash = false;
    };

    // A request as the log keeps it.
    struct LoggedRequest {
        uint64_t id = 0;
        std::string kind, method, target, path, query;
        FlatHeaders headers;
        std::size_t bodySize = 0;
        int status = 0;
        bool fault = false;
        bool truncated = false;
        std::size_t heapBytes() const;
    };

private:
    void serve(const Request& req, Response& res, const Listener& listener);
    void installAdmin(HttpRouter& server);
    // The admin endpoints' handlers (storage_admin.cpp).
    struct Admin;
    friend struct Admin;
    // The first pending fault for the request, taken (its count lowered).
    std::optional<Fault> takeFault(const std::string& kind, const std::string& object);
    // Waits `ms` unless the service stops first (or, with `untilCleared`,
    // the faults are cleared).
    void pause(int ms, bool untilCleared = false);
    void log(const Request& req, const std::string& kind, const Response& res, const std::optional<Fault>& fault);

    std::unique_ptr<storage::Store> store_;
    std::shared_ptr<const TokenVerifier> verifier_;

    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    uint64_t faultsCleared_ = 0;
    std::vector<Fault> faults_;
    BoundedLog<LoggedRequest> requests_{kMaxLoggedRequests, kMaxLoggedRequestBytes};
    uint64_t nextRequestId_ = 1;
};

}  // namespace backend
