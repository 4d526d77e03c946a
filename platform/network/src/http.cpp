#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/host_routing.h"
#include "platform/no_destructor.h"
#include "platform/system_language.h"
#include "platform/trust_store.h"

namespace ns {

// ---- headers ----

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = std::tolower(static_cast<unsigned char>(a[i]));
        int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

namespace {

std::string trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return std::string(s);
}

std::string lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool validHeaderName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || c == ':') return false;
    }
    return true;
}

bool validHeaderValue(std::string_view value) {
    return value.find_first_of("\r\n") == std::string_view::npos && value.find('\0') == std::string_view::npos;
}

}  // namespace

// ---- URLRequest ----

URLRequest::URLRequest(std::string url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : url_(std::move(url)), timeout_(timeoutInterval), timeoutSet_(timeoutInterval != kDefaultTimeoutInterval),
      cachePolicy_(cachePolicy) {}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view field) const {
    auto it = headers_.find(field);
    if (it == headers_.end()) return std::nullopt;
    return it->second;
}

void URLRequest::setValue(std::optional<std::string> value, std::string_view field) {
    auto it = headers_.find(field);
    if (!value) {
        if (it != headers_.end()) headers_.erase(it);
        return;
    }
    if (it != headers_.end()) it->second = std::move(*value);
    else headers_.emplace(std::string(field), std::move(*value));
}

void URLRequest::addValue(const std::string& value, std::string_view field) {
    auto it = headers_.find(field);
    if (it == headers_.end()) headers_.emplace(std::string(field), value);
    else it->second += ", " + value;
}

// ---- HTTPURLResponse ----

HTTPURLResponse::HTTPURLResponse(std::string url, long statusCode, std::string httpVersion, HTTPHeaderFields headers)
    : url_(std::move(url)), statusCode_(statusCode), version_(std::move(httpVersion)), headers_(std::move(headers)) {
    if (auto it = headers_.find("Content-Length"); it != headers_.end()) {
        char* end = nullptr;
        const std::string& v = it->second;
        long long n = std::strtoll(v.c_str(), &end, 10);
        if (!v.empty() && end && *end == '\0' && n >= 0) expectedContentLength_ = n;
    }
    if (auto it = headers_.find("Content-Type"); it != headers_.end()) {
        std::string_view v = it->second;
        size_t semi = v.find(';');
        mimeType_ = lower(trim(v.substr(0, semi)));
        while (semi != std::string_view::npos) {
            v = v.substr(semi + 1);
            semi = v.find(';');
            std::string param = trim(v.substr(0, semi));
            if (lower(param.substr(0, 8)) == "charset=") {
                std::string cs = trim(std::string_view(param).substr(8));
                if (cs.size() >= 2 && cs.front() == '"' && cs.back() == '"') cs = cs.substr(1, cs.size() - 2);
                textEncoding_ = lower(cs);
            }
        }
    }
}

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view field) const {
    auto it = headers_.find(field);
    if (it == headers_.end()) return std::nullopt;
    return it->second;
}

std::string HTTPURLResponse::localizedStringForStatusCode(long code) {
    switch (code) {
        case 100: return "continue";
        case 101: return "switching protocols";
        case 200: return "no error";
        case 201: return "created";
        case 202: return "accepted";
        case 204: return "no content";
        case 206: return "partial content";
        case 301: return "moved permanently";
        case 302: return "found";
        case 303: return "see other";
        case 304: return "not modified";
        case 307: return "temporarily redirected";
        case 308: return "permanent redirect";
        case 400: return "bad request";
        case 401: return "unauthorized";
        case 403: return "forbidden";
        case 404: return "not found";
        case 405: return "method not allowed";
        case 408: return "request timed out";
        case 409: return "conflict";
        case 410: return "no longer exists";
        case 412: return "precondition failed";
        case 413: return "request too large";
        case 429: return "too many requests";
        case 500: return "internal server error";
        case 501: return "unimplemented";
        case 502: return "bad gateway";
        case 503: return "service unavailable";
        case 504: return "gateway timed out";
        default: break;
    }
    if (code >= 100 && code < 200) return "informational";
    if (code >= 200 && code < 300) return "success";
    if (code >= 300 && code < 400) return "redirected";
    if (code >= 400 && code < 500) return "client error";
    if (code >= 500 && code < 600) return "server error";
    return "unknown";
}

std::string HTTPURLResponse::description() const {
    return ns::format("<NSHTTPURLResponse: %p> { URL: %s } { Status Code: %ld, Headers: %zu fields }",
                      static_cast<const void*>(this), url_, statusCode_, headers_.size());
}

// ---- errors ----

namespace {

// As the phone words them in its own language.
std::string urlErrorDescription(long code, const std::string& host) {
    switch (code) {
        case kURLErrorCancelled: return systemText("cancelled", "cancelado");
        case kURLErrorBadURL: return systemText("bad URL", "URL incorrecta");
        case kURLErrorTimedOut:
            return systemText("The request timed out.", "Se ha agotado el tiempo de espera de la solicitud.");
        case kURLErrorUnsupportedURL: return systemText("unsupported URL", "URL no admitida");
        case kURLErrorCannotFindHost:
            return systemText("A server with the specified hostname could not be found.",
                              "No se ha podido encontrar un servidor con el nombre de host especificado.");
        case kURLErrorCannotConnectToHost:
            return systemText("Could not connect to the server.", "No se ha podido conectar con el servidor.");
        case kURLErrorNetworkConnectionLost:
            return systemText("The network connection was lost.", "Se ha perdido la conexión de red.");
        case kURLErrorHTTPTooManyRedirects:
            return systemText("too many HTTP redirects", "demasiadas redirecciones HTTP");
        case kURLErrorBadServerResponse:
            return systemText("The server returned an invalid response.",
                              "El servidor ha devuelto una respuesta no válida.");
        case kURLErrorSecureConnectionFailed:
            return systemText("An SSL error has occurred and a secure connection to the server cannot be made.",
                              "Se ha producido un error de SSL y no se puede establecer una conexión segura con el "
                              "servidor.");
        case kURLErrorServerCertificateUntrusted:
            return ns::format(
                systemText("The certificate for this server is invalid. You might be connecting to a server that is "
                           "pretending to be “%s” which could put your confidential information at risk.",
                           "El certificado de este servidor no es válido. Es posible que se esté conectando a un "
                           "servidor que se hace pasar por “%s”, lo que podría poner en riesgo su información "
                           "confidencial."),
                host);
        default: return systemText("An unknown error occurred.", "Se ha producido un error desconocido.");
    }
}

}  // namespace

ErrorRef URLError(long code, const std::string& failingURL) {
    Dictionary info;
    info[kLocalizedDescriptionKey] = urlErrorDescription(code, {});
    if (!failingURL.empty()) info[kURLErrorFailingURLStringErrorKey] = failingURL;
    return Error::make(kURLErrorDomain, code, std::move(info));
}

namespace {

ErrorRef urlError(long code, const std::string& url, const std::string& host, ErrorRef underlying = nullptr) {
    Dictionary info;
    info[kLocalizedDescriptionKey] = urlErrorDescription(code, host);
    info[kURLErrorFailingURLStringErrorKey] = url;
    if (underlying) info[kUnderlyingErrorKey] = Value(std::const_pointer_cast<Error>(underlying));
    return Error::make(kURLErrorDomain, code, std::move(info));
}

long mapCurlCode(CURLcode rc) {
    switch (rc) {
        case CURLE_UNSUPPORTED_PROTOCOL: return kURLErrorUnsupportedURL;
        case CURLE_URL_MALFORMAT: return kURLErrorBadURL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return kURLErrorCannotFindHost;
        case CURLE_COULDNT_CONNECT: return kURLErrorCannotConnectToHost;
        case CURLE_OPERATION_TIMEDOUT: return kURLErrorTimedOut;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS: return kURLErrorServerCertificateUntrusted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_USE_SSL_FAILED: return kURLErrorSecureConnectionFailed;
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3: return kURLErrorNetworkConnectionLost;
        case CURLE_TOO_MANY_REDIRECTS: return kURLErrorHTTPTooManyRedirects;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
        case CURLE_RANGE_ERROR: return kURLErrorBadServerResponse;
        case CURLE_ABORTED_BY_CALLBACK: return kURLErrorCancelled;
        default: return kURLErrorUnknown;
    }
}

// What a URL means to the transfer: scheme, host and port for routing.
struct ParsedURL {
    std::string scheme;
    std::string host;
    uint16_t port = 0;
};

std::optional<ParsedURL> parseURL(const std::string& url, long& errorCode) {
    CURLU* u = curl_url();
    ParsedURL out;
    auto part = [&](CURLUPart which, unsigned flags, std::string& dst) {
        char* v = nullptr;
        CURLUcode rc = curl_url_get(u, which, &v, flags);
        if (rc == CURLUE_OK && v) dst = v;
        curl_free(v);
        return rc == CURLUE_OK;
    };
    std::optional<ParsedURL> result;
    errorCode = kURLErrorBadURL;
    if (!url.empty() && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        std::string port;
        part(CURLUPART_SCHEME, 0, out.scheme);
        out.scheme = lower(out.scheme);
        if (out.scheme != "http" && out.scheme != "https") {
            errorCode = kURLErrorUnsupportedURL;
        } else if (part(CURLUPART_HOST, 0, out.host) && !out.host.empty() &&
                   part(CURLUPART_PORT, CURLU_DEFAULT_PORT, port)) {
            out.port = uint16_t(std::atoi(port.c_str()));
            result = out;
        }
    }
    curl_url_cleanup(u);
    return result;
}

}  // namespace

// ---- the transfer engine ----

// One transfer in flight. Owned by the engine thread; the time-out checker
// only reads the atomics through a weak reference.
struct URLSessionDataTask::Transfer {
    std::shared_ptr<URLSessionDataTask> task;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    curl_slist* connectTo = nullptr;

    std::string url;
    std::string host;
    std::string method;
    // The task's own request body (the transfer holds the task, so it stays
    // put): large uploads are not copied again. Empty after a redirect to GET.
    const Data* body = nullptr;
    HTTPHeaderFields requestHeaders;
    int redirects = 0;

    // Response of the current hop.
    long status = 0;
    std::string httpVersion;
    HTTPHeaderFields headers;
    Data received;

    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::atomic<double> lastActivity{0};
    double idleTimeout = 60;
    double resourceDeadline = 0;
    curl_off_t lastDown = -1;
    curl_off_t lastUp = -1;
    int64_t bytesBefore = 0;  // received by earlier hops (redirects)
    int64_t sentBefore = 0;
    // The final response's head went to the data delegate; its body goes
    // there too instead of into `received`.
    bool headDelivered = false;
    bool streamBody = false;
    int64_t streamed = 0;

    void releaseCurl() {
        if (easy) curl_easy_cleanup(easy);
        easy = nullptr;
        curl_slist_free_all(headerList);
        headerList = nullptr;
        curl_slist_free_all(connectTo);
        connectTo = nullptr;
    }
    ~Transfer() { releaseCurl(); }
};

struct HTTPEngineAccess {
    static void finish(URLSessionDataTask& t, HTTPURLResponsePtr r, Data d, ErrorRef e) {
        t.finish(std::move(r), std::move(d), std::move(e));
    }
    static bool cancelRequested(const URLSessionDataTask& t) {
        std::lock_guard lock(t.mutex_);
        return t.state_ == URLSessionDataTask::State::Canceling;
    }
    static std::atomic<int64_t>& received(URLSessionDataTask& t) { return t.bytesReceived_; }
    static std::atomic<int64_t>& sent(URLSessionDataTask& t) { return t.bytesSent_; }
    // Fixed once the task started, so the transfer thread reads it unlocked.
    static const URLSessionDataDelegate& delegate(const URLSessionDataTask& t) { return t.delegate_; }
};

namespace {

using Transfer = URLSessionDataTask::Transfer;

class Engine {
public:
    static Engine& shared() {
        static Engine* engine = [] {
            auto* e = new Engine();
            // Registered after curl (and through it OpenSSL) initialised, so it
            // runs before their exit-time clean-up: the thread must be gone by then.
            std::atexit([] { Engine::shared().shutdown(); });
            return e;
        }();
        return *engine;
    }

    void start(std::shared_ptr<Transfer> t) {
        post([this, t = std::move(t)]() mutable { begin(std::move(t)); });
    }

    // Ends the task's transfer with `code` unless it already ended.
    void abort(const std::shared_ptr<URLSessionDataTask>& task, long code) {
        post([this, weak = std::weak_ptr<URLSessionDataTask>(task), code] {
            // A transfer holds its task, so a task that is gone has nothing to abort.
            std::shared_ptr<URLSessionDataTask> task = weak.lock();
            if (!task) return;
            auto it = byTask_.find(task.get());
            if (it == byTask_.end()) return;
            std::shared_ptr<Transfer> t = it->second;
            detach(*t);
            HTTPEngineAccess::finish(*t->task, nullptr, {}, urlError(code, t->url, t->host));
        });
    }

    // The time-out watch: reads the clock in force, so a virtual clock
    // drives it. Re-arms itself until the transfer is gone.
    void watchTimeout(std::weak_ptr<Transfer> weak, double delay) {
        timerQueue_->after(std::max(delay, 0.0), [this, weak] {
            std::shared_ptr<Transfer> t = weak.lock();
            if (!t) return;
            double now = Clock::nowSeconds();
            double due = std::min(t->lastActivity.load() + t->idleTimeout, t->resourceDeadline);
            if (now >= due) abort(t->task, kURLErrorTimedOut);
            else watchTimeout(weak, due - now);
        });
    }

private:
    Engine() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        multi_ = curl_multi_init();
        timerQueue_ = DispatchQueue::serial("com.almavel.urlsession.timeouts", DispatchQueue::QoS::Utility);
        thread_ = std::thread([this] { loop(); });
    }

    void shutdown() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        if (thread_.joinable()) thread_.join();
        // Tasks still running at exit are dropped without completion: their
        // queues may already be gone.
        for (auto& [easy, t] : byEasy_) {
            curl_multi_remove_handle(multi_, easy);
            t->releaseCurl();
        }
        byEasy_.clear();
        byTask_.clear();
        {
            std::lock_guard lock(mutex_);
            commands_.clear();
        }
        curl_multi_cleanup(multi_);
        multi_ = nullptr;
    }

    void post(std::function<void()> command) {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        commands_.push_back(std::move(command));
        // Under the lock: shutdown frees the multi handle only after it set stopping_.
        curl_multi_wakeup(multi_);
    }

    void loop() {
        for (;;) {
            std::vector<std::function<void()>> commands;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) return;
                commands.swap(commands_);
            }
            for (auto& c : commands) c();
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
                if (msg->msg == CURLMSG_DONE) done(msg->easy_handle, msg->data.result);
            }
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        size_t n = size * count;
        std::string_view line(data, n);
        if (trim(line).empty()) {
            deliverHead(*t);
        } else if (line.starts_with("HTTP/")) {
            // A new response (after 1xx interim answers): start over.
            t->headers.clear();
            size_t sp = line.find(' ');
            t->httpVersion = trim(line.substr(0, sp));
        } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
            std::string name = trim(line.substr(0, colon));
            std::string value = trim(line.substr(colon + 1));
            if (!name.empty()) {
                auto it = t->headers.find(name);
                if (it == t->headers.end()) t->headers.emplace(std::move(name), std::move(value));
                else it->second += ", " + value;
            }
        }
        t->lastActivity.store(Clock::nowSeconds());
        return n;
    }

    // End of a response head: hands the final response's head to the data
    // delegate (interim answers and redirects are not the final response).
    static void deliverHead(Transfer& t) {
        if (t.headDelivered) return;
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        bool redirect = (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
                        t.headers.find("Location") != t.headers.end();
        if (status < 200 || redirect) return;
        t.headDelivered = true;
        const URLSessionDataDelegate& d = HTTPEngineAccess::delegate(*t.task);
        if (d.didReceiveResponse) {
            char* effective = nullptr;
            curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &effective);
            d.didReceiveResponse(std::make_shared<HTTPURLResponse>(
                effective ? effective : t.url, status, t.httpVersion.empty() ? "HTTP/1.1" : t.httpVersion, t.headers));
        }
        t.streamBody = bool(d.didReceiveData);
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        size_t n = size * count;
        if (t->streamBody) {
            HTTPEngineAccess::delegate(*t->task).didReceiveData(reinterpret_cast<const uint8_t*>(data), n);
            t->streamed += int64_t(n);
        } else {
            t->received.insert(t->received.end(), data, data + n);
        }
        HTTPEngineAccess::received(*t->task).store(t->bytesBefore + t->streamed + int64_t(t->received.size()));
        t->lastActivity.store(Clock::nowSeconds());
        return n;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto* t = static_cast<Transfer*>(user);
        if (dlnow != t->lastDown || ulnow != t->lastUp) {
            const URLSessionDataDelegate& d = HTTPEngineAccess::delegate(*t->task);
            if (d.didSendBodyData && ulnow > std::max<curl_off_t>(t->lastUp, 0))
                d.didSendBodyData(int64_t(ulnow - std::max<curl_off_t>(t->lastUp, 0)), t->sentBefore + int64_t(ulnow),
                                  t->sentBefore + int64_t(t->body->size()));
            t->lastDown = dlnow;
            t->lastUp = ulnow;
            HTTPEngineAccess::sent(*t->task).store(t->sentBefore + int64_t(ulnow));
            t->lastActivity.store(Clock::nowSeconds());
        }
        return 0;
    }

    // Sets up the curl handle for the transfer's current URL; false with the
    // task finished when that is impossible.
    bool configure(Transfer& t) {
        long badCode = 0;
        std::optional<ParsedURL> parsed = parseURL(t.url, badCode);
        if (!parsed) {
            HTTPEngineAccess::finish(*t.task, nullptr, {}, urlError(badCode, t.url, t.host));
            return false;
        }
        t.host = parsed->host;
        if (HostRouting::isInvalidName(parsed->host)) {
            HTTPEngineAccess::finish(*t.task, nullptr, {}, urlError(kURLErrorCannotFindHost, t.url, t.host));
            return false;
        }
        startHop(t);
        CURL* e = t.easy;
        trustAnchors(e);
        routeHost(e, t, *parsed);
        setRequest(e, t);
        return true;
    }

    // Forgets what the previous hop received and gives the transfer a new
    // curl handle for this one, its callbacks pointing at the transfer.
    static void startHop(Transfer& t) {
        t.releaseCurl();
        t.status = 0;
        t.httpVersion.clear();
        t.headers.clear();
        t.received.clear();
        t.headDelivered = t.streamBody = false;
        t.streamed = 0;
        t.lastDown = t.lastUp = -1;
        t.errorBuffer[0] = '\0';

        CURL* e = curl_easy_init();
        t.easy = e;
        curl_easy_setopt(e, CURLOPT_URL, t.url.c_str());
        curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        // Tests and the local back end are loopback only: never a proxy.
        curl_easy_setopt(e, CURLOPT_PROXY, "");
        curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
        // Redirects are followed here, hop by hop, so each hop is routed.
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Engine::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Engine::onBody);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Engine::onProgress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    }

    // Trust: the platform's anchors only, verified against the original name.
    static void trustAnchors(CURL* e) {
        std::shared_ptr<const std::string> bundle = TrustStore::shared().pemBundle();
        curl_blob blob{const_cast<char*>(bundle->data()), bundle->size(), CURL_BLOB_COPY};
        curl_easy_setopt(e, CURLOPT_CAINFO, static_cast<char*>(nullptr));
        curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<char*>(nullptr));
        curl_easy_setopt(e, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    }

    // A host the platform routes elsewhere (the local back end's) is
    // connected to there, still named as the URL names it.
    static void routeHost(CURL* e, Transfer& t, const ParsedURL& parsed) {
        if (auto endpoint = HostRouting::shared().resolve(parsed.host, parsed.port)) {
            std::string address = endpoint->address.find(':') != std::string::npos ? "[" + endpoint->address + "]"
                                                                                   : endpoint->address;
            std::string rule = ns::format("%s:%u:%s:%u", parsed.host, unsigned(parsed.port), address,
                                          unsigned(endpoint->port));
            t.connectTo = curl_slist_append(nullptr, rule.c_str());
            curl_easy_setopt(e, CURLOPT_CONNECT_TO, t.connectTo);
        }
    }

    // The method, the body and the request's headers.
    static void setRequest(CURL* e, Transfer& t) {
        const std::string& m = t.method;
        if (m == "GET") {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        } else if (m == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else {
            if (m != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, m.c_str());
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(t.body->size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS,
                             t.body->empty() ? "" : reinterpret_cast<const char*>(t.body->data()));
        }

        for (const auto& [name, value] : t.requestHeaders) {
            // "Name;" is curl's way of sending a header with an empty value.
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            t.headerList = curl_slist_append(t.headerList, line.c_str());
        }
        // curl would otherwise stall larger bodies behind "Expect: 100-continue".
        if (t.requestHeaders.find("Expect") == t.requestHeaders.end())
            t.headerList = curl_slist_append(t.headerList, "Expect:");
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);
    }

    void begin(std::shared_ptr<Transfer> t) {
        if (HTTPEngineAccess::cancelRequested(*t->task)) {
            byTask_.erase(t->task.get());
            HTTPEngineAccess::finish(*t->task, nullptr, {}, urlError(kURLErrorCancelled, t->url, t->host));
            return;
        }
        if (!configure(*t)) {
            byTask_.erase(t->task.get());
            return;
        }
        if (curl_multi_add_handle(multi_, t->easy) != CURLM_OK) {
            byTask_.erase(t->task.get());
            HTTPEngineAccess::finish(*t->task, nullptr, {}, urlError(kURLErrorUnknown, t->url, t->host));
            return;
        }
        byEasy_[t->easy] = t;
        byTask_[t->task.get()] = t;
    }

    void detach(Transfer& t) {
        if (t.easy) {
            curl_multi_remove_handle(multi_, t.easy);
            byEasy_.erase(t.easy);
        }
        byTask_.erase(t.task.get());
        t.releaseCurl();
    }

    void done(CURL* easy, CURLcode rc) {
        auto it = byEasy_.find(easy);
        if (it == byEasy_.end()) return;
        std::shared_ptr<Transfer> t = it->second;
        URLSessionDataTask& task = *t->task;
        if (HTTPEngineAccess::cancelRequested(task)) {
            detach(*t);
            HTTPEngineAccess::finish(task, nullptr, {}, urlError(kURLErrorCancelled, t->url, t->host));
            return;
        }
        if (rc != CURLE_OK) {
            std::string message = t->errorBuffer[0] ? t->errorBuffer : curl_easy_strerror(rc);
            ErrorRef underlying = Error::make(kCurlErrorDomain, long(rc), message);
            long code = mapCurlCode(rc);
            detach(*t);
            HTTPEngineAccess::finish(task, nullptr, {}, urlError(code, t->url, t->host, underlying));
            return;
        }
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        char* redirect = nullptr;
        curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &redirect);
        bool isRedirect = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
        if (isRedirect && redirect && *redirect) {
            if (t->redirects >= kMaxRedirects) {
                detach(*t);
                HTTPEngineAccess::finish(task, nullptr, {}, urlError(kURLErrorHTTPTooManyRedirects, t->url, t->host));
                return;
            }
            std::string next = redirect;
            ++t->redirects;
            curl_multi_remove_handle(multi_, easy);
            byEasy_.erase(easy);
            t->bytesBefore += int64_t(t->received.size());
            if (t->lastUp > 0) t->sentBefore += int64_t(t->lastUp);
            // As Foundation: 303 always, and 301/302 after a POST, become a GET without body.
            if ((status == 303 && t->method != "HEAD") || ((status == 301 || status == 302) && t->method == "POST")) {
                t->method = "GET";
                static const NoDestructor<Data> kNoBody;
                t->body = kNoBody.get();
                t->requestHeaders.erase("Content-Type");
                t->requestHeaders.erase("Content-Length");
            }
            t->url = std::move(next);
            begin(t);
            return;
        }
        char* effective = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
        auto response = std::make_shared<HTTPURLResponse>(effective ? effective : t->url, status,
                                                          t->httpVersion.empty() ? "HTTP/1.1" : t->httpVersion,
                                                          std::move(t->headers));
        Data body = std::move(t->received);
        detach(*t);
        HTTPEngineAccess::finish(task, std::move(response), std::move(body), nullptr);
    }

    static constexpr int kMaxRedirects = 16;

    CURLM* multi_ = nullptr;
    std::thread thread_;
    DispatchQueuePtr timerQueue_;
    std::mutex mutex_;
    bool stopping_ = false;
    std::vector<std::function<void()>> commands_;
    // Engine thread only.
    std::unordered_map<CURL*, std::shared_ptr<Transfer>> byEasy_;
    std::unordered_map<URLSessionDataTask*, std::shared_ptr<Transfer>> byTask_;
};

std::atomic<uint64_t> sessionCounter{0};

}  // namespace

// ---- URLSessionDataTask ----

URLSessionDataTask::URLSessionDataTask(std::shared_ptr<URLSession> session, URLRequest request,
                                       DataTaskCompletion completion, uint64_t identifier)
    : identifier_(identifier), request_(std::move(request)), session_(session), queue_(session->queue_),
      completion_(std::move(completion)) {}

URLSessionDataTask::~URLSessionDataTask() = default;

URLSessionDataTask::State URLSessionDataTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

HTTPURLResponsePtr URLSessionDataTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

ErrorRef URLSessionDataTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string URLSessionDataTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSessionDataTask::setTaskDescription(std::string d) {
    std::lock_guard lock(mutex_);
    description_ = std::move(d);
}

void URLSessionDataTask::setDataDelegate(URLSessionDataDelegate delegate) {
    std::lock_guard lock(mutex_);
    if (started_) return;
    delegate_ = std::move(delegate);
}

void URLSessionDataTask::resume() {
    std::shared_ptr<URLSession> session = session_.lock();
    {
        std::lock_guard lock(mutex_);
        if (started_ || state_ != State::Suspended) return;
        started_ = true;
        state_ = State::Running;
    }
    auto t = std::make_shared<Transfer>();
    t->task = shared_from_this();
    t->url = request_.URL();
    t->method = request_.HTTPMethod().empty() ? "GET" : request_.HTTPMethod();
    for (char& c : t->method) c = char(std::toupper(static_cast<unsigned char>(c)));
    t->body = &request_.HTTPBody();
    t->requestHeaders = request_.allHTTPHeaderFields();
    double now = Clock::nowSeconds();
    const URLSessionConfiguration* config = session ? &session->configuration_ : nullptr;
    if (config) {
        for (const auto& [name, value] : config->HTTPAdditionalHeaders) t->requestHeaders.emplace(name, value);
    }
    t->idleTimeout = request_.hasExplicitTimeout() || !config ? request_.timeoutInterval()
                                                              : config->timeoutIntervalForRequest;
    if (t->idleTimeout <= 0) t->idleTimeout = URLRequest::kDefaultTimeoutInterval;
    double resource = config ? config->timeoutIntervalForResource : 7 * 24 * 3600.0;
    t->resourceDeadline = now + (resource > 0 ? resource : 7 * 24 * 3600.0);
    t->lastActivity.store(now);

    // Bad header fields are the caller's bug: report them as a bad URL
    // request rather than sending something the caller did not mean.
    for (const auto& [name, value] : t->requestHeaders) {
        if (!validHeaderName(name) || !validHeaderValue(value)) {
            finish(nullptr, {}, urlError(kURLErrorBadURL, t->url, {}));
            return;
        }
    }
    Engine& engine = Engine::shared();
    engine.watchTimeout(t, std::min(t->idleTimeout, t->resourceDeadline - now));
    engine.start(std::move(t));
}

void URLSessionDataTask::cancel() {
    bool started;
    {
        std::lock_guard lock(mutex_);
        if (finished_ || state_ == State::Canceling || state_ == State::Completed) return;
        state_ = State::Canceling;
        started = started_;
    }
    if (started) {
        Engine::shared().abort(shared_from_this(), kURLErrorCancelled);
    } else {
        finish(nullptr, {}, urlError(kURLErrorCancelled, request_.URL(), {}));
    }
}

void URLSessionDataTask::finish(HTTPURLResponsePtr response, Data data, ErrorRef error) {
    DataTaskCompletion completion;
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        finished_ = true;
        state_ = State::Completed;
        response_ = response;
        error_ = error;
        completion = std::move(completion_);
        completion_ = nullptr;
    }
    if (auto session = session_.lock()) {
        std::lock_guard lock(session->mutex_);
        session->tasks_.erase(identifier_);
    }
    if (!completion) return;
    queue_->async([completion = std::move(completion), response = std::move(response), data = std::move(data),
                   error = std::move(error)]() mutable { completion(std::move(response), std::move(data), error); });
}

// ---- URLSession ----

URLSession::URLSession(URLSessionConfiguration configuration) : configuration_(std::move(configuration)) {
    queue_ = configuration_.delegateQueue;
    if (!queue_) {
        queue_ = DispatchQueue::serial(ns::format("com.almavel.urlsession.%llu",
                                                  static_cast<unsigned long long>(++sessionCounter)));
    }
}

URLSession::~URLSession() = default;

URLSessionPtr URLSession::make(URLSessionConfiguration configuration) {
    return URLSessionPtr(new URLSession(std::move(configuration)));
}

URLSessionPtr URLSession::shared() {
    static ns::NoDestructor<URLSessionPtr> session(make());
    return *session;
}

URLSessionDataTaskPtr URLSession::dataTask(const URLRequest& request, DataTaskCompletion completion) {
    return dataTask(URLRequest(request), std::move(completion));
}

URLSessionDataTaskPtr URLSession::dataTask(URLRequest&& request, DataTaskCompletion completion) {
    if (!completion) Exception::raise(kInvalidArgumentException, "dataTask needs a completion handler");
    std::lock_guard lock(mutex_);
    if (invalidated_)
        Exception::raise(kInvalidArgumentException, "Task created in a session that has been invalidated");
    static std::atomic<uint64_t> nextIdentifier{1};
    uint64_t id = nextIdentifier++;
    URLSessionDataTaskPtr task(new URLSessionDataTask(shared_from_this(), std::move(request), std::move(completion), id));
    tasks_[id] = task;
    return task;
}

URLSessionDataTaskPtr URLSession::dataTask(const std::string& url, DataTaskCompletion completion) {
    return dataTask(URLRequest(url), std::move(completion));
}

void URLSession::invalidateAndCancel() {
    std::vector<URLSessionDataTaskPtr> running;
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        for (auto& [id, weak] : tasks_)
            if (auto t = weak.lock()) running.push_back(std::move(t));
    }
    for (auto& t : running) t->cancel();
}

void URLSession::finishTasksAndInvalidate() {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
}

}  // namespace ns
