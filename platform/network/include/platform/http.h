#pragma once
// NSURLSession stand-in on libcurl: requests, HTTP responses, sessions and
// data tasks.
//
// All sessions share one curl multi handle driven by one background thread.
// Host names go through ns::HostRouting (the connection is made to the routed
// loopback endpoint while TLS still checks the original name) and TLS trusts
// ns::TrustStore's anchors. Proxies from the environment are never used.
//
// Completions run on the session's delegate queue, exactly once per task:
// with a response and the body, or with an error in NSURLErrorDomain (HTTP
// error statuses are responses, not errors). The error's userInfo carries the
// failing URL (kURLErrorFailingURLStringErrorKey) and, for transport
// failures, an underlying error in the domain "libcurl" whose code is the
// CURLcode and whose description is curl's message.
//
// Time-outs follow NSURLSession: the request time-out is an idle time-out
// (no bytes sent or received for that long) and the session's resource
// time-out bounds the whole transfer. Both are read from ns::Clock, so with
// ns::VirtualClock installed, advancing virtual time past a time-out fails
// the transfer with kURLErrorTimedOut without any real waiting.
//
// Redirects are followed up to 16 times (-1007 after that); a 303, or a 301/302
// answering a POST, is re-sent as GET, as Foundation does.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

namespace ns {

inline constexpr long kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr const char* kCurlErrorDomain = "libcurl";

// An NSURLErrorDomain error of that code described as the URL loading
// system describes it, in the phone's language (platform/system_language.h),
// for a failure found outside a transfer (a wait that gives up).
ErrorRef URLError(long code, const std::string& failingURL = {});

struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// Header fields by name, looked up case-insensitively (the first spelling
// seen is kept).
using HTTPHeaderFields = std::map<std::string, std::string, CaseInsensitiveLess>;

enum class URLRequestCachePolicy {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

// NSMutableURLRequest. A plain value: copy it to change it for another task.
class URLRequest {
public:
    static constexpr double kDefaultTimeoutInterval = 60;

    URLRequest() = default;
    explicit URLRequest(std::string url,
                        URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                        double timeoutInterval = kDefaultTimeoutInterval);

    const std::string& URL() const { return url_; }
    void setURL(std::string url) { url_ = std::move(url); }

    // "GET" by default.
    const std::string& HTTPMethod() const { return method_; }
    void setHTTPMethod(std::string method) { method_ = std::move(method); }

    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
    // Replaces the field; an empty optional removes it.
    void setValue(std::optional<std::string> value, std::string_view field);
    // Appends to the field with ", " as Foundation does.
    void addValue(const std::string& value, std::string_view field);
    const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }
    void setAllHTTPHeaderFields(HTTPHeaderFields headers) { headers_ = std::move(headers); }

    const Data& HTTPBody() const { return body_; }
    void setHTTPBody(Data body) { body_ = std::move(body); }
    void setHTTPBody(std::string_view body) { body_.assign(body.begin(), body.end()); }

    // Seconds without any traffic before the task fails with -1001.
    double timeoutInterval() const { return timeout_; }
    void setTimeoutInterval(double seconds) {
        timeout_ = seconds;
        timeoutSet_ = true;
    }
    // True once set explicitly (then it wins over the session's
    // timeoutIntervalForRequest, as in Foundation).
    bool hasExplicitTimeout() const { return timeoutSet_; }

    // Recorded only: the platform keeps no URL cache.
    URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(URLRequestCachePolicy p) { cachePolicy_ = p; }

    // NSURLProtocol's per-request properties (propertyForKey:inRequest:,
    // setProperty:forKey:inRequest:): values that travel with the request
    // and are never sent. A null Value when absent.
    const Value& protocolProperty(std::string_view key) const {
        auto it = protocolProperties_.find(key);
        return it == protocolProperties_.end() ? nullValue() : it->second;
    }
    void setProtocolProperty(std::string key, Value value) { protocolProperties_[std::move(key)] = std::move(value); }

private:
    std::string url_;
    std::string method_ = "GET";
    HTTPHeaderFields headers_;
    Data body_;
    double timeout_ = kDefaultTimeoutInterval;
    bool timeoutSet_ = false;
    URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
    Dictionary protocolProperties_;
};

// NSHTTPURLResponse.
class HTTPURLResponse : public Object {
public:
    HTTPURLResponse(std::string url, long statusCode, std::string httpVersion, HTTPHeaderFields headers);

    // The final URL (after redirects).
    const std::string& URL() const { return url_; }
    long statusCode() const { return statusCode_; }
    // "HTTP/1.1", "HTTP/2".
    const std::string& HTTPVersion() const { return version_; }
    const HTTPHeaderFields& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
    // From Content-Length; -1 when unknown.
    int64_t expectedContentLength() const { return expectedContentLength_; }
    // From Content-Type, without parameters, lower case; empty when absent.
    const std::string& MIMEType() const { return mimeType_; }
    // The charset parameter of Content-Type; empty when absent.
    const std::string& textEncodingName() const { return textEncoding_; }

    // Foundation's reason phrase for a status ("not found", "no error", ...).
    static std::string localizedStringForStatusCode(long statusCode);

    std::string description() const override;
    std::string className() const override { return "NSHTTPURLResponse"; }

private:
    std::string url_;
    long statusCode_;
    std::string version_;
    HTTPHeaderFields headers_;
    int64_t expectedContentLength_ = -1;
    std::string mimeType_;
    std::string textEncoding_;
};
using HTTPURLResponsePtr = std::shared_ptr<HTTPURLResponse>;

struct URLSessionConfiguration {
    // Seconds without traffic before a task fails (used when the request has
    // no explicit time-out).
    double timeoutIntervalForRequest = 60;
    // Upper bound for a whole transfer.
    double timeoutIntervalForResource = 7 * 24 * 3600;
    // Added to every request unless the request sets the same field.
    HTTPHeaderFields HTTPAdditionalHeaders;
    // Background sessions are recorded but behave like default sessions:
    // there is no separate transfer daemon.
    std::string identifier;
    bool isBackground = false;
    // Recorded only; there is no cellular link.
    bool allowsCellularAccess = true;
    // Completions run here; nullptr makes the session create its own serial queue.
    DispatchQueuePtr delegateQueue;

    static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
    static URLSessionConfiguration ephemeralSessionConfiguration() { return {}; }
    static URLSessionConfiguration backgroundSessionConfiguration(std::string identifier) {
        URLSessionConfiguration c;
        c.identifier = std::move(identifier);
        c.isBackground = true;
        return c;
    }
};

class URLSession;
using URLSessionPtr = std::shared_ptr<URLSession>;

using DataTaskCompletion = std::function<void(HTTPURLResponsePtr response, Data data, ErrorRef error)>;

// NSURLSessionDataDelegate's per-task callbacks, reduced to what streaming
// callers (the session fetcher) need. They run on the session's transfer
// thread, in order and all before the completion is queued, so they must be
// quick and must not call back into the task synchronously.
struct URLSessionDataDelegate {
    // The head of the final response (not of redirects or 1xx answers),
    // before any of its body.
    std::function<void(const HTTPURLResponsePtr& response)> didReceiveResponse;
    // Body bytes of the final response as they arrive. When set, the body is
    // not kept: the completion receives empty data.
    std::function<void(const uint8_t* bytes, size_t length)> didReceiveData;
    // Request-body progress: bytes sent since the last call, the total sent
    // and the body's length.
    std::function<void(int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend)>
        didSendBodyData;
};

class URLSessionDataTask : public std::enable_shared_from_this<URLSessionDataTask> {
public:
    enum class State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

    ~URLSessionDataTask();

    // Starts the transfer (tasks are created suspended). Calling it again, or
    // after cancel, does nothing.
    void resume();
    // Stops the transfer; the completion receives kURLErrorCancelled (-999)
    // unless it already ran. Safe from any thread, any number of times.
    void cancel();

    uint64_t taskIdentifier() const { return identifier_; }
    State state() const;
    const URLRequest& originalRequest() const { return request_; }
    // Set when the task completes with a response.
    HTTPURLResponsePtr response() const;
    ErrorRef error() const;
    int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    int64_t countOfBytesSent() const { return bytesSent_.load(); }

    std::string taskDescription() const;
    void setTaskDescription(std::string d);

    // Streaming callbacks; set before resume() (later calls are ignored).
    void setDataDelegate(URLSessionDataDelegate delegate);

    struct Transfer;  // engine-side state, see http.cpp

private:
    friend class URLSession;
    friend struct HTTPEngineAccess;
    URLSessionDataTask(std::shared_ptr<URLSession> session, URLRequest request, DataTaskCompletion completion,
                       uint64_t identifier);
    // The single exit: runs the completion on the delegate queue once.
    void finish(HTTPURLResponsePtr response, Data data, ErrorRef error);

    const uint64_t identifier_;
    const URLRequest request_;
    std::weak_ptr<URLSession> session_;
    DispatchQueuePtr queue_;

    mutable std::mutex mutex_;
    State state_ = State::Suspended;
    bool started_ = false;
    bool finished_ = false;
    DataTaskCompletion completion_;
    HTTPURLResponsePtr response_;
    ErrorRef error_;
    std::string description_;
    URLSessionDataDelegate delegate_;
    std::atomic<int64_t> bytesReceived_{0};
    std::atomic<int64_t> bytesSent_{0};
};
using URLSessionDataTaskPtr = std::shared_ptr<URLSessionDataTask>;

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    static URLSessionPtr make(URLSessionConfiguration configuration = {});
    // A process-wide default session (default configuration).
    static URLSessionPtr shared();

    ~URLSession();

    const URLSessionConfiguration& configuration() const { return configuration_; }
    const DispatchQueuePtr& delegateQueue() const { return queue_; }

    // A suspended task; call resume() to start it. Raises
    // NSInvalidArgumentException without a completion, or after the session
    // was invalidated.
    URLSessionDataTaskPtr dataTask(const URLRequest& request, DataTaskCompletion completion);
    // Takes the request over (a large body is not copied).
    URLSessionDataTaskPtr dataTask(URLRequest&& request, DataTaskCompletion completion);
    URLSessionDataTaskPtr dataTask(const std::string& url, DataTaskCompletion completion);

    // Cancels every unfinished task and refuses new ones.
    void invalidateAndCancel();
    // Lets running tasks finish and refuses new ones.
    void finishTasksAndInvalidate();

private:
    explicit URLSession(URLSessionConfiguration configuration);

    URLSessionConfiguration configuration_;
    DispatchQueuePtr queue_;
    std::mutex mutex_;
    bool invalidated_ = false;
    std::map<uint64_t, std::weak_ptr<URLSessionDataTask>> tasks_;
    friend class URLSessionDataTask;
};

}  // namespace ns
