#pragma once
// The HTTP recorder the core's network tests talk to: every request under
// "/__recorder/" is kept (method, target, headers, raw body, listener) and
// answered with the configured response, which can be delayed or held until
// released so client time-outs can be tested deterministically. Bodies and
// headers are kept exactly as sent (no decoding of Content-Encoding, no
// splitting of multipart bodies); the admin secret header is left out.
// The log keeps the latest kMaxRecorded requests within kMaxRecordedBytes of
// memory (bodies, targets, headers in their flat form and what each entry
// takes besides), dropping the oldest; the latest is kept whatever its size.
//
// Admin endpoints (JSON):
//   GET    /__admin/recorder/requests[?offset=&limit=]
//                                        {"requests": [...], "total", "offset", "next"?}: the
//                                        recorded requests, oldest first, a page at a time
//                                        (backend/core/request_log.h)
//   DELETE /__admin/recorder/requests   forget them
//   GET    /__admin/recorder/response   the configured response
//   POST   /__admin/recorder/response   {"status","body","bodyBase64","headers","delayMs","hold"}
//   POST   /__admin/recorder/release    answer every held request now
//   GET    /__admin/recorder/held       {"held": number of requests waiting}

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "backend/core/request_log.h"
#include "backend/core/service.h"

namespace backend {

class RecorderService : public Service {
public:
    // A held request is answered anyway after this long, so a forgotten
    // release never hangs the server.
    static constexpr int kHoldCapSeconds = 60;
    static constexpr std::size_t kMaxRecorded = 1000;
    static constexpr std::size_t kMaxRecordedBytes = 32u * 1024u * 1024u;

    std::string name() const override { return "recorder"; }
    void install(HttpRouter& server, const Listener& listener, Context& context) override;
    void stop() override;

private:
    struct Recorded {
        uint64_t id = 0;
        std::string method, path, target, query, remoteAddr;
        int remotePort = 0, localPort = 0;
        FlatHeaders headers;
        std::string body;
        std::string listener;
        bool tls = false;
        double time = 0;
        bool held = false;
        bool clientClosed = false;
        std::size_t heapBytes() const;
    };
    struct Reply {
        int status = 200;
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
        int delayMs = 0;
        bool hold = false;
    };

    void record(const Request& req, Response& res, const std::string& body, const Listener& listener);
    void configure(const std::string& body, Response& res);

    std::mutex mutex_;
    std::condition_variable cv_;
    BoundedLog<Recorded> requests_{kMaxRecorded, kMaxRecordedBytes};
    uint64_t nextId_ = 1;
    Reply reply_;
    uint64_t releases_ = 0;
    int heldNow_ = 0;
    bool stopping_ = false;
};

}  // namespace backend
