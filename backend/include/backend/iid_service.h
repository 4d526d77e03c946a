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
// endpoints (/__admin/iid/...): counters, the request log, devices and
// registrations, and queued faults:
//   POST /__admin/iid/faults {"action": A, "count": N}
//     A = "phoneRegistrationError" (answer Error=PHONE_REGISTRATION_ERROR),
//         "sync" / "rst" (a token reply carrying the |ID|...|SYNC| or
//         |ID|...|RST| command), "otherRequestId" (a token for another
//         request id), "shortId" (an |ID| reply without a token), "drop"
//         (close without answering), "checkinRefuse" (503 to a check-in),
//         "checkinDrop".

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backend/iid_store.h"
#include "backend/service.h"

namespace backend {

namespace iid {

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
    nlohmann::json requests() const;
    void clearRequests();
    void addFault(Fault fault);
    void clearFaults();
    // Uses up one turn of the first queued fault whose action is one of
    // `actions`.
    std::optional<std::string> takeFault(const std::set<std::string>& actions);

private:
    mutable std::mutex mutex_;
    std::map<std::string, int64_t> counters_;
    std::deque<nlohmann::json> requests_;
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
