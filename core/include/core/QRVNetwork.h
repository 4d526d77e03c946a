#pragma once
// The core's HTTP front: gzip-compressed POST uploads and GET downloads, each
// on a URL session of its own, with a table of the requests in flight and a
// connected flag fed by reachability.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/QRVReachabilityChecker.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/http.h"

inline constexpr const char* kQRVNetworkErrorDomain = "com.quorvane.network.ErrorDomain";
inline constexpr double kQRVNetworkTimeoutInterval = 60;

// Message codes of the network layer, logged as "I-NET%06ld".
enum QRVNetworkMessageCode : int {
    kQRVNetworkMessageCodeNetwork000 = 900000,  // uploading
    kQRVNetworkMessageCodeNetwork001 = 900001,  // downloading
    kQRVNetworkMessageCodeNetwork002 = 900002,  // request creation failed / delegate refused
    kQRVNetworkMessageCodeNetwork003 = 900003,  // a request finished with an error
    kQRVNetworkMessageCodeNetwork004 = 900004,  // a request finished
    kQRVNetworkMessageCodeReachability000 = 902000,
    kQRVNetworkMessageCodeReachability001 = 902001,
    kQRVNetworkMessageCodeReachability002 = 902002,
};

// Failure codes of a request that could not be made.
enum QRVNetworkErrorCode : long {
    QRVNetworkErrorCodeInvalidURL = 1,
    QRVNetworkErrorCodeCompressionFailed = 3,
    QRVNetworkErrorCodeRequestCreationFailed = 4,
};

// Where the network layer's own lines go instead of the logger.
class QRVNetworkLoggerDelegate {
public:
    virtual ~QRVNetworkLoggerDelegate() = default;
    virtual void qrvNetwork_logWithLevel(int level, int messageCode, const std::string& message) = 0;
    virtual void qrvNetwork_logWithLevel(int level, int messageCode, const std::string& message,
                                         const ns::Value& context) = 0;
    virtual void qrvNetwork_logWithLevel(int level, int messageCode, const std::string& message,
                                         const ns::Array& contexts) = 0;
};

class QRVNetworkReachabilityDelegate {
public:
    virtual ~QRVNetworkReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

using QRVNetworkCompletionHandler = std::function<void(ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef error)>;

class QRVNetwork : public ns::Object {
public:
    // A network object with a 60-second time-out and a reachability checker
    // for `reachabilityHost`.
    static std::shared_ptr<QRVNetwork> make(std::string reachabilityHost);
    ~QRVNetwork() override;

    // Kept weakly when it implements QRVNetworkLoggerDelegate; any other
    // object is refused with a logged error.
    void setLoggerDelegate(const std::shared_ptr<ns::Object>& loggerDelegate);
    void setIsDebugModeEnabled(bool enabled);
    bool isDebugModeEnabled() const;
    // Kept weakly; told after every reachability change, once the connected
    // flag has been updated.
    void setReachabilityDelegate(std::weak_ptr<QRVNetworkReachabilityDelegate> delegate);

    bool isNetworkConnected() const;
    // Whether any request of this object is in flight.
    bool hasUploadInProgress() const;

    // The time-out of the following requests; 0 means 60 s.
    void setTimeoutInterval(double seconds);
    double timeoutInterval() const;

    // POSTs the gzip-compressed payload. Returns the session identifier, or
    // nullopt when the request could not be made (the handler is then called
    // asynchronously with an error). The handler runs on `queue`, the main
    // queue when null.
    std::optional<std::string> postURL(const std::string& url, const ns::Data& payload, ns::DispatchQueuePtr queue,
                                       bool usingBackgroundSession, QRVNetworkCompletionHandler handler);
    // GETs the URL with the given header fields; as postURL otherwise.
    std::optional<std::string> getURL(const std::string& url, const ns::HTTPHeaderFields& headers,
                                      ns::DispatchQueuePtr queue, bool usingBackgroundSession,
                                      QRVNetworkCompletionHandler handler);

    // When `sessionID` names a background session of the network layer, takes
    // over: `completion` runs on the main queue once that session's request
    // has finished (at once when it already has). Other identifiers are left
    // alone.
    static void handleEventsForBackgroundURLSessionID(const std::string& sessionID, std::function<void()> completion);

    std::string className() const override { return "QRVNetwork"; }

private:
    class ReachabilityBridge;
    struct Request {
        ns::URLSessionPtr session;
        ns::URLSessionDataTaskPtr task;
        bool background = false;
    };

    explicit QRVNetwork(std::string reachabilityHost);
    std::optional<std::string> send(const std::string& method, const std::string& url, ns::URLRequest request,
                                    ns::DispatchQueuePtr queue, bool background, QRVNetworkCompletionHandler handler);
    void fail(long code, const std::string& detail, const ns::DispatchQueuePtr& queue,
              const QRVNetworkCompletionHandler& handler);
    void finished(const std::string& sessionID);
    void reachabilityChanged(QRVReachabilityStatus status);
    // Whether a line of that level is written, and where (null: the core logger).
    bool shouldLog(int level, std::shared_ptr<QRVNetworkLoggerDelegate>& logger) const;
    void log(int level, int code, const std::string& message) const;
    void log(int level, int code, const std::string& message, const ns::Value& context) const;
    void log(int level, int code, const std::string& message, const ns::Array& contexts) const;

    std::shared_ptr<ReachabilityBridge> bridge_;
    std::shared_ptr<QRVReachabilityChecker> reachability_;
    mutable std::mutex mutex_;
    std::map<std::string, Request> requests_;
    std::weak_ptr<QRVNetworkLoggerDelegate> loggerDelegate_;
    std::weak_ptr<QRVNetworkReachabilityDelegate> reachabilityDelegate_;
    bool connected_ = false;
    bool debugMode_ = false;
    double timeout_ = kQRVNetworkTimeoutInterval;
};
