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
// Refusals: 401 anonymous, 403 signed in but not allowed (or a wrong download
// token), 404 missing, 402 over the bucket's quota, 413 over 1 GiB. Upload
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
//   GET    /__admin/storage/requests   {"requests": [{"id","kind","method","target","path","query",
//                                       "headers":[{name,value}],"bodySize","status","fault"}]}
//                                       oldest first (the last 10000); kind: download, metadata,
//                                       update, delete, startUpload, uploadChunk, uploadQuery,
//                                       cancelUpload, other
//   DELETE /__admin/storage/requests   forget them
//   GET    /__admin/storage/faults     {"faults": [...]} still pending
//   POST   /__admin/storage/faults     {"kind"?, "object"?, "count"? (1), "status"?, "message"?,
//                                       "delayMs"?, "cut"?, "cutAfterBytes"?}: the next `count`
//                                       requests of that kind (any) and object name (any) are
//                                       delayed, then answered with `status` without acting, or
//                                       cut: a download sends its head and `cutAfterBytes` of the
//                                       body (default half) and closes; a chunk keeps its first
//                                       `cutAfterBytes` bytes (default half) as received and
//                                       closes without an answer; anything else closes without
//                                       acting. Faults queue in order; the first that matches is used.
//   DELETE /__admin/storage/faults     none pending
//   GET    /__admin/storage/buckets    {"buckets": {"<bucket>": {"appId","quotaBytes"}}}
//   POST   /__admin/storage/buckets    {"bucket", "appId"?: id|null, "quotaBytes"?: n|null}
//   GET    /__admin/storage/objects?bucket=   {"objects": [metadata JSON...]}
//   PUT    /__admin/storage/objects?bucket=&name=[&contentType=]   body: the bytes -> metadata
//   GET    /__admin/storage/sessions   {"sessions": [{"id","bucket","name","received","total","finished"}]}

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "backend/service.h"

namespace backend {

class TokenVerifier;

namespace storage {
class Store;
}

class StorageService : public Service {
public:
    // Requests the log keeps.
    static constexpr std::size_t kMaxLoggedRequests = 10000;
    // Longest delay a fault may ask for.
    static constexpr int kMaxDelayMs = 60000;

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
    };

private:
    void serve(const Request& req, Response& res, const Listener& listener);
    void installAdmin(HttpRouter& server);
    // The first pending fault for the request, taken (its count lowered).
    std::optional<Fault> takeFault(const std::string& kind, const std::string& object);
    // Waits `ms` unless the service stops first.
    void pause(int ms);
    void log(const Request& req, const std::string& kind, const Response& res, const std::optional<Fault>& fault);

    std::unique_ptr<storage::Store> store_;
    std::shared_ptr<const TokenVerifier> verifier_;

    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<Fault> faults_;
    std::deque<nlohmann::json> requests_;
    uint64_t nextRequestId_ = 1;
};

}  // namespace backend
