#include "core/QRVNetwork.h"

#include "core/QRVLogger.h"
#include "platform/format.h"
#include "platform/process_info.h"
#include "platform/toolbox.h"

namespace {

constexpr const char* kSessionIDPrefix = "com.ondrix.network.session.";
constexpr const char* kBackgroundSessionIDPrefix = "com.ondrix.network.background-session.";

// Background sessions of every network object, so that a relaunch can be
// handed to the one that owns the session.
struct BackgroundRegistry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<QRVNetwork>> owners;
    std::map<std::string, std::vector<std::function<void()>>> pendingCompletions;
};

BackgroundRegistry& backgroundRegistry() {
    static BackgroundRegistry* r = new BackgroundRegistry();
    return *r;
}

void completeBackgroundSession(const std::string& sessionID) {
    std::vector<std::function<void()>> completions;
    {
        auto& r = backgroundRegistry();
        std::lock_guard lock(r.mutex);
        r.owners.erase(sessionID);
        auto it = r.pendingCompletions.find(sessionID);
        if (it != r.pendingCompletions.end()) {
            completions = std::move(it->second);
            r.pendingCompletions.erase(it);
        }
    }
    for (auto& completion : completions) ns::DispatchQueue::main()->async(std::move(completion));
}

std::string contextText(const ns::Value& context) { return context.description(); }

}  // namespace

// Receives the checker's answers without making the network object itself
// a delegate that the checker could keep alive.
class QRVNetwork::ReachabilityBridge : public QRVReachabilityDelegate {
public:
    explicit ReachabilityBridge(std::weak_ptr<QRVNetwork> owner) : owner_(std::move(owner)) {}
    void reachability(QRVReachabilityChecker&, QRVReachabilityStatus status) override {
        if (auto owner = owner_.lock()) owner->reachabilityChanged(status);
    }

private:
    std::weak_ptr<QRVNetwork> owner_;
};

std::shared_ptr<QRVNetwork> QRVNetwork::make(std::string reachabilityHost) {
    std::shared_ptr<QRVNetwork> network(new QRVNetwork(reachabilityHost));
    network->bridge_ = std::make_shared<ReachabilityBridge>(network);
    network->reachability_ = QRVReachabilityChecker::make(network->bridge_, {}, std::move(reachabilityHost));
    network->reachability_->start();
    return network;
}

QRVNetwork::QRVNetwork(std::string) {}

QRVNetwork::~QRVNetwork() {
    if (reachability_) reachability_->stop();
}

void QRVNetwork::setLoggerDelegate(const std::shared_ptr<ns::Object>& loggerDelegate) {
    auto logger = std::dynamic_pointer_cast<QRVNetworkLoggerDelegate>(loggerDelegate);
    if (loggerDelegate && !logger) {
        QRVLogBasic(QRVLoggerLevelError, kQRVLoggerNetwork, ns::format("I-NET%06ld", long(kQRVNetworkMessageCodeNetwork002)),
                    "Cannot set the network logger delegate: delegate does not conform to the network logger protocol.");
        return;
    }
    std::lock_guard lock(mutex_);
    loggerDelegate_ = logger;
}

void QRVNetwork::setIsDebugModeEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    debugMode_ = enabled;
}

bool QRVNetwork::isDebugModeEnabled() const {
    std::lock_guard lock(mutex_);
    return debugMode_;
}

void QRVNetwork::setReachabilityDelegate(std::weak_ptr<QRVNetworkReachabilityDelegate> delegate) {
    std::lock_guard lock(mutex_);
    reachabilityDelegate_ = std::move(delegate);
}

bool QRVNetwork::isNetworkConnected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool QRVNetwork::hasUploadInProgress() const {
    std::lock_guard lock(mutex_);
    return !requests_.empty();
}

void QRVNetwork::setTimeoutInterval(double seconds) {
    std::lock_guard lock(mutex_);
    timeout_ = seconds > 0 ? seconds : kQRVNetworkTimeoutInterval;
}

double QRVNetwork::timeoutInterval() const {
    std::lock_guard lock(mutex_);
    return timeout_;
}

void QRVNetwork::reachabilityChanged(QRVReachabilityStatus status) {
    std::shared_ptr<QRVNetworkReachabilityDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        connected_ = QRVReachabilityChecker::isReachable(status);
        delegate = reachabilityDelegate_.lock();
    }
    if (delegate) delegate->reachabilityDidChange();
}

std::optional<std::string> QRVNetwork::postURL(const std::string& url, const ns::Data& payload,
                                               ns::DispatchQueuePtr queue, bool usingBackgroundSession,
                                               QRVNetworkCompletionHandler handler) {
    if (!queue) queue = ns::DispatchQueue::main();
    if (url.empty()) {
        fail(QRVNetworkErrorCodeInvalidURL, "empty URL", queue, handler);
        return std::nullopt;
    }
    ns::Data body;
    if (!payload.empty()) {
        ns::ErrorRef error;
        body = htk_dataByGzippingData(payload, &error);
        if (error || body.empty()) {
            fail(QRVNetworkErrorCodeCompressionFailed, error ? error->localizedDescription() : "empty result", queue,
                 handler);
            return std::nullopt;
        }
    }
    ns::URLRequest request(url, ns::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeoutInterval());
    request.setHTTPMethod("POST");
    request.setValue(std::to_string(body.size()), "Content-Length");
    request.setValue(std::string("application/x-www-form-urlencoded"), "Content-Type");
    request.setValue(std::string("gzip"), "Content-Encoding");
    request.setHTTPBody(std::move(body));
    return send("POST", url, std::move(request), std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> QRVNetwork::getURL(const std::string& url, const ns::HTTPHeaderFields& headers,
                                              ns::DispatchQueuePtr queue, bool usingBackgroundSession,
                                              QRVNetworkCompletionHandler handler) {
    if (!queue) queue = ns::DispatchQueue::main();
    if (url.empty()) {
        fail(QRVNetworkErrorCodeInvalidURL, "empty URL", queue, handler);
        return std::nullopt;
    }
    ns::URLRequest request(url, ns::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeoutInterval());
    request.setHTTPMethod("GET");
    for (const auto& [field, value] : headers) request.setValue(value, field);
    return send("GET", url, std::move(request), std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> QRVNetwork::send(const std::string& method, const std::string& url, ns::URLRequest request,
                                            ns::DispatchQueuePtr queue, bool background,
                                            QRVNetworkCompletionHandler handler) {
    // A URL without a scheme and a host cannot become a request.
    auto schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos || schemeEnd == 0 || schemeEnd + 3 >= url.size()) {
        fail(QRVNetworkErrorCodeRequestCreationFailed, "malformed URL " + url, queue, handler);
        return std::nullopt;
    }
    std::string sessionID = (background ? kBackgroundSessionIDPrefix : kSessionIDPrefix) +
                            ns::ProcessInfo::processInfo().globallyUniqueString();
    auto configuration = background ? ns::URLSessionConfiguration::backgroundSessionConfiguration(sessionID)
                                    : ns::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.identifier = sessionID;
    ns::URLSessionPtr session;
    ns::URLSessionDataTaskPtr task;
    std::weak_ptr<QRVNetwork> weakSelf = std::static_pointer_cast<QRVNetwork>(shared_from_this());
    try {
        session = ns::URLSession::make(configuration);
        task = session->dataTask(request, [weakSelf, sessionID, queue, handler, background](
                                              ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef error) {
            if (auto self = weakSelf.lock()) {
                if (error) {
                    self->log(QRVLoggerLevelDebug, kQRVNetworkMessageCodeNetwork003, "Request finished with an error",
                              ns::Value(std::const_pointer_cast<ns::Error>(error)));
                }
                self->finished(sessionID);
            }
            if (background) completeBackgroundSession(sessionID);
            if (handler) {
                queue->async([handler, response, data = std::move(data), error] { handler(response, data, error); });
            }
        });
    } catch (const std::exception& e) {
        fail(QRVNetworkErrorCodeRequestCreationFailed, e.what(), queue, handler);
        return std::nullopt;
    }
    {
        std::lock_guard lock(mutex_);
        requests_[sessionID] = Request{session, task, background};
    }
    if (background) {
        auto& r = backgroundRegistry();
        std::lock_guard lock(r.mutex);
        r.owners[sessionID] = weakSelf;
    }
    if (method == "POST") {
        log(QRVLoggerLevelDebug, kQRVNetworkMessageCodeNetwork000, "Uploading data. Host", ns::Value(url));
    } else {
        log(QRVLoggerLevelDebug, kQRVNetworkMessageCodeNetwork001, "Downloading data. Host", ns::Value(url));
    }
    task->resume();
    session->finishTasksAndInvalidate();
    return sessionID;
}

void QRVNetwork::finished(const std::string& sessionID) {
    std::lock_guard lock(mutex_);
    requests_.erase(sessionID);
}

void QRVNetwork::fail(long code, const std::string& detail, const ns::DispatchQueuePtr& queue,
                      const QRVNetworkCompletionHandler& handler) {
    auto error = ns::Error::make(kQRVNetworkErrorDomain, code, "Failed to create network request", detail);
    log(QRVLoggerLevelWarning, kQRVNetworkMessageCodeNetwork002, "Failed to create network request. Code, error",
        ns::Array{ns::Value(int64_t(code)), ns::Value(std::const_pointer_cast<ns::Error>(error))});
    if (handler) queue->async([handler, error] { handler(nullptr, {}, error); });
}

void QRVNetwork::handleEventsForBackgroundURLSessionID(const std::string& sessionID, std::function<void()> completion) {
    if (sessionID.rfind(kBackgroundSessionIDPrefix, 0) != 0) return;
    auto& r = backgroundRegistry();
    std::unique_lock lock(r.mutex);
    auto it = r.owners.find(sessionID);
    bool inFlight = false;
    if (it != r.owners.end()) {
        if (auto owner = it->second.lock()) {
            std::lock_guard ownerLock(owner->mutex_);
            inFlight = owner->requests_.count(sessionID) > 0;
        }
    }
    if (inFlight) {
        r.pendingCompletions[sessionID].push_back(std::move(completion));
        return;
    }
    lock.unlock();
    // The session is ours by name but has nothing left to do.
    if (completion) ns::DispatchQueue::main()->async(std::move(completion));
}

void QRVNetwork::log(int level, int code, const std::string& message) const {
    log(level, code, message, ns::Array{});
}

bool QRVNetwork::shouldLog(int level, std::shared_ptr<QRVNetworkLoggerDelegate>& logger) const {
    std::lock_guard lock(mutex_);
    if (level == QRVLoggerLevelDebug && !debugMode_) return false;
    logger = loggerDelegate_.lock();
    return true;
}

void QRVNetwork::log(int level, int code, const std::string& message, const ns::Value& context) const {
    std::shared_ptr<QRVNetworkLoggerDelegate> logger;
    if (!shouldLog(level, logger)) return;
    if (logger) {
        logger->qrvNetwork_logWithLevel(level, code, message, context);
        return;
    }
    QRVLogBasic(QRVLoggerLevel(level), kQRVLoggerNetwork, ns::format("I-NET%06ld", long(code)), "%@: %@", message,
                contextText(context));
}

void QRVNetwork::log(int level, int code, const std::string& message, const ns::Array& contexts) const {
    std::shared_ptr<QRVNetworkLoggerDelegate> logger;
    if (!shouldLog(level, logger)) return;
    if (logger) {
        if (contexts.empty()) logger->qrvNetwork_logWithLevel(level, code, message);
        else logger->qrvNetwork_logWithLevel(level, code, message, contexts);
        return;
    }
    std::string text = message;
    for (size_t i = 0; i < contexts.size(); ++i) text += (i == 0 ? ": " : ", ") + contextText(contexts[i]);
    QRVLogBasic(QRVLoggerLevel(level), kQRVLoggerNetwork, ns::format("I-NET%06ld", long(code)), "%@", text);
}
