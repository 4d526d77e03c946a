#pragma once
// The measurement service: where the analytics client uploads its batches
// and fetches its remote configuration (the measurement host
// app-measurement.quorvaneapis.com, routed here like every service host).
// Both listeners serve it; the client uses HTTPS.
//
//   POST /a    body: gzip (RFC 1952) of an encoded MeasurementBatch, with
//              "Content-Encoding: gzip". 204 once stored. 400 with a short
//              text, nothing stored, for: no body, another content encoding,
//              bad gzip, more than 16 MiB inflated, a batch that does not
//              decode, not 1..10000 bundles, more in a bundle than the
//              bounds of measurement_wire.h (counted on the wire before
//              anything is built), bundles whose app_id is empty, longer
//              than 256 bytes or not the same in all, a bundle without
//              upload_timestamp_millis or uploading_library_version.
//              Delivery is at least once: a bundle whose content but for
//              its upload time is already stored is dropped and counted as
//              a duplicate; the request still answers 204. Each app keeps
//              at most kMaxStoredBytesPerApp of bundles (measurement_store.h):
//              past it its oldest batches are dropped and counted. The
//              store as a whole keeps at most kMaxStoredBytes (or the
//              back end's --analytics-store-limit): past it the oldest
//              batches of any app are dropped, counted the same way.
//              Two uploads are stored at a time and a few more wait their
//              turn; past that the answer is 503 with "Retry-After", so
//              uploads never hold up the handler threads other services
//              answer on.
//   GET /config/app/<app id>?app_instance_id=&platform=&vlp_version=
//              (query keys read by name, in any order, none required)
//              200 the app's encoded MeasurementConfig
//              (application/x-protobuf) with "Last-Modified" (IMF-fixdate,
//              the time it was set); 304 with "Last-Modified" and no body
//              when "If-Modified-Since" is that text or a time not before
//              it; 404 for an app without a configuration. The app id
//              arrives as one path segment ("1:480326711275:ios:...", ":"
//              possibly as "%3A", which the server core decodes).
// Bounds, checked before anything is read (400 past them): the target
// 4 KiB (both routes), the app id 256 bytes, Content-Encoding, Content-Type and
// If-Modified-Since 256 bytes each.
//
// Batches and configurations live in <data dir>/analytics/measurement.sqlite
// (measurement_store.h) and survive restarts. A seeded data dir's
// analytics.json ({"configs": [<MeasurementConfig in libprotobuf's JSON
// mapping>, ...]}, each served for its own app_id) is imported on the first
// start.
//
// Handlers run on the server core's handler threads, several at once; the
// service locks its own faults and log, and the store serialises itself.
//
// Admin endpoints (loopback, the run's admin secret, JSON; measurement_admin.cpp):
//   GET    /__admin/analytics/batches?after=<id>&limit=<1..1000, 100>
//                                          {"batches": [{"id", "receivedMs", "bundles": [<bundle>]}],
//                                           "duplicates": N, "droppedBatches": N, "next"?: <id>}: the
//                                           batches past `after` (0) in arrival order, a page at a time
//                                           (`limit` batches, fewer once the page's text passes 64 MiB);
//                                           "next" is the `after` of the next page, absent on the last.
//                                           A bundle is every field set, by its proto field name, 64-bit
//                                           integers as JSON numbers; a batch whose every bundle was a
//                                           duplicate is not listed. The page is written to a file and
//                                           sent from it, so a page of large batches is never held whole
//   DELETE /__admin/analytics/batches      forget them, and both counts
//   PUT    /__admin/analytics/configs/<app id>
//                                          {"config": <MeasurementConfig in JSON mapping>} or
//                                          {"raw": "<base64 of an encoded MeasurementConfig>"}, served
//                                          byte for byte (it must decode), and "lastModified"?:
//                                          "<IMF-fixdate>"; without it the time is now in whole
//                                          seconds, one second past the previous value when it would
//                                          not be later. -> {"lastModified"}
//   DELETE /__admin/analytics/configs/<app id>   404 when there is none
//   POST   /__admin/analytics/faults       {"path": "/a" | "/config", "count"? (1), "status"?
//                                           (429, 500, 503, 404, 304, 204), "delayMs"?, "cut"?}: the
//                                           next `count` requests to that path wait `delayMs`, then
//                                           are answered with `status` instead of being handled
//                                           (nothing stored), or closed without an answer, or (delay
//                                           alone) handled. Faults are used in the order queued; an
//                                           upload meets its fault once it has its turn to be stored.
//   DELETE /__admin/analytics/faults       none pending
//   GET    /__admin/analytics/requests     {"requests": [{"method", "path", "query", "status" (0: cut),
//                                           "contentType", "contentEncoding", "ifModifiedSince",
//                                           "bodySize", "fault"}]}, the last 200, oldest first
//   DELETE /__admin/analytics/requests     forget them

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "backend/core/http_util.h"
#include "backend/core/service.h"

namespace backend {

namespace measurement {
class Store;
}

class MeasurementService : public Service {
public:
    // Longest delay a fault may ask for.
    static constexpr int kMaxDelayMs = 60000;
    // Uploads stored at once, and uploads that may wait for a turn.
    static constexpr int kUploadsAtOnce = 2;
    static constexpr int kUploadsWaiting = 6;

    // What a fault does to the next requests of its path.
    struct Fault {
        std::string path;  // "/a" or "/config"
        int count = 1;
        int status = 0;  // 0: handled after the delay
        int delayMs = 0;
        bool cut = false;
    };

    MeasurementService();
    ~MeasurementService() override;
    std::string name() const override { return "analytics"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;
    void stop() override;

private:
    void upload(const Request& req, Response& res, const std::string& body);
    void serveConfig(const Request& req, Response& res, const std::string& body);
    void installAdmin(HttpRouter& server);
    // The admin endpoints' handlers (measurement_admin.cpp).
    struct Admin;
    friend struct Admin;
    // Takes a turn of the first pending fault for `path`, waits its delay,
    // and answers for it when it answers instead of the handler; true then.
    bool faulted(const std::string& path, Response& res, bool& met);
    // Waits `ms` unless the service stops first.
    void pause(int ms);
    // Waits for a turn to store an upload; false at once when too many wait
    // already, or when the service stops first.
    bool takeUploadTurn();
    void endUploadTurn();
    void log(const Request& req, const Response& res, bool fault);

    std::unique_ptr<measurement::Store> store_;
    std::filesystem::path listingDir_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    std::condition_variable uploadTurn_;
    int uploadsRunning_ = 0;
    int uploadsWaiting_ = 0;
    bool stopping_ = false;
    std::deque<Fault> faults_;
    JsonHistory requests_{200, 1024u * 1024u};
};

}  // namespace backend
