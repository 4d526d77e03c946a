#pragma once
// The instance-identity services of the back end:
//
//   POST /checkin          (CheckinService, checkin_service.cpp) the device
//                          check-in: id 0 gets a new device id and secret, a
//                          known id with its secret a fresh digest and time.
//   POST /kdx/register4    (IidService) token registration and deletion, a
//                          form authorised by "VdxLogin <id>:<secret>" or by
//                          the IID auth token handed out in "X-iid-auth";
//                          the key items are checked strictly (the identifier
//                          against "pub2", a 2048-bit key, the raw signature
//                          recomputed block by block).
//
// Bad input gets a 4xx error reply and changes nothing stored. Admin
// endpoints (/__admin/iid/...): counters, the request log (GET
// /__admin/iid/requests[?offset=&limit=], a page at a time as
// backend/core/request_log.h says), devices and registrations, and queued
// faults:
//   POST /__admin/iid/faults {"action": A, "count": N}
//     A = "phoneRegistrationError" (answer Error=PHONE_REGISTRATION_ERROR),
//         "sync" / "rst" (a token reply carrying the |ID|...|SYNC| or
//         |ID|...|RST| command), "otherRequestId" (a token for another
//         request id), "shortId" (an |ID| reply without a token), "drop"
//         (close without answering), "checkinRefuse" (503 to a check-in),
//         "checkinDrop".

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "backend/core/http_util.h"
#include "backend/core/request_log.h"
#include "backend/instanceid/iid_store.h"
#include "backend/core/service.h"

namespace backend {

namespace iid {

// Request logs keep bounded summaries: a body longer than kLoggedBodyBytes
// is kept as its first kLoggedBodyBytes with its size, other texts (header
// values, problems) are cut to kLoggedTextBytes, and a log keeps at most
// `maxEntries` entries and `maxBytes` of memory, dropping the oldest. Each
// entry is kept as its JSON text, a fraction of what the parsed document
// takes. Anyone can send a request, so what a log holds may never grow with
// what was sent.
inline constexpr std::size_t kLoggedBodyBytes = 4096;
inline constexpr std::size_t kLoggedTextBytes = 1024;

// Thread-safe.
class RequestLog {
public:
    RequestLog(std::size_t maxEntries, std::size_t maxBytes) : entries_(maxEntries, maxBytes) {}
    void add(const nlohmann::json& entry);
    // Every entry kept, oldest first.
    nlohmann::json entries() const;
    // Answers a page of the entries under `key` (backend/core/request_log.h).
    void sendPage(const Request& req, Response& res, std::string_view key) const;
    void clear();
    // What the entries take, as the bound counts it.
    std::size_t bytes() const;

private:
    struct Entry {
        std::string text;
        std::size_t heapBytes() const { return backend::heapBytes(text); }
    };
    mutable std::mutex mutex_;
    BoundedLog<Entry> entries_;
};

// `text` cut to `limit` bytes (never inside a UTF-8 sequence).
std::string clipped(const std::string& text, std::size_t limit = kLoggedTextBytes);
// Sets "body" (cut to kLoggedBodyBytes), "bodySize" and, when cut,
// "bodyTruncated" in a log entry.
void logBody(nlohmann::json& entry, const std::string& body);

// The first form item longer than its limit (`limits`, else
// `defaultLimit`), or "" when every one fits.
std::string overlongItem(const std::map<std::string, std::string>& form,
                         const std::map<std::string, std::size_t>& limits, std::size_t defaultLimit);

// Counters, the request log and the queued faults both services share.
class Activity {
public:
    struct Fault {
        std::string action;
        int count = 1;
    };
    static const std::set<std::string>& faultActions();

    void count(const std::string& what);
    nlohmann::json counters() const;
    void log(nlohmann::json entry);
    void sendRequests(const Request& req, Response& res) const;
    void clearRequests();
    void addFault(Fault fault);
    void clearFaults();
    // Uses up one turn of the first queued fault whose action is one of
    // `actions`.
    std::optional<std::string> takeFault(const std::set<std::string>& actions);

private:
    mutable std::mutex mutex_;
    std::map<std::string, int64_t> counters_;
    RequestLog requests_{200, 2u * 1024u * 1024u};
    std::vector<Fault> faults_;
};

std::shared_ptr<Activity> activity(Context& context);

}  // namespace iid

class CheckinService : public Service {
public:
    std::string name() const override { return "checkin"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;

private:
    void handleCheckin(const Request& req, Response& res, const std::string& body);
    std::shared_ptr<iid::Store> store_;
    std::shared_ptr<iid::Activity> activity_;
};

class IidService : public Service {
public:
    std::string name() const override { return "iid"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;

private:
    void handleRegister(const Request& req, Response& res, const std::string& body);
    void installAdmin(HttpRouter& server);
    std::shared_ptr<iid::Store> store_;
    std::shared_ptr<iid::Activity> activity_;
};

}  // namespace backend
