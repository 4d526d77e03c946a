#include "platform/session_fetcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <strings.h>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/notification_center.h"
#include "platform/plist.h"
#include "platform/reachability.h"
#include "platform/system_log.h"
#include "platform/url.h"

namespace {

// What a download to a file writes until it is complete: "<destination>.htkdownload".
constexpr const char* kPartialSuffix = ".htkdownload";

std::atomic<bool> loggingEnabled{false};
std::atomic<uint64_t> nextServiceID{1};

// Progress reaches the callback queue at most this often (seconds), the last
// of a body's before its completion. Each report is a hand-off to the
// callback queue and, in the storage client, a snapshot for every observer:
// reported per received piece, they took a fifth of a fast download.
constexpr double kProgressInterval = 0.008;

struct ServiceRegistry {
    std::mutex mutex;
    std::map<uint64_t, std::weak_ptr<HTKSessionFetcherService>> services;
    static ServiceRegistry& shared() {
        static auto* registry = new ServiceRegistry;
        return *registry;
    }
};

ns::ErrorRef fetcherError(long code, const std::string& description) {
    return ns::Error::make(kHTKSessionFetcherErrorDomain, code, description);
}

ns::ErrorRef posixError(int err, const std::string& path) {
    ns::Dictionary info;
    info[ns::kLocalizedDescriptionKey] = std::string(std::strerror(err));
    info[ns::kFilePathErrorKey] = path;
    return ns::Error::make(ns::kPOSIXErrorDomain, err, std::move(info));
}

ns::ErrorRef statusError(long status, ns::Data body) {
    ns::Dictionary info;
    info[ns::kLocalizedDescriptionKey] =
        ns::format("HTTP status %ld (%s)", status, ns::HTTPURLResponse::localizedStringForStatusCode(status));
    info[kHTKSessionFetcherStatusDataKey] = ns::Value(std::move(body));
    return ns::Error::make(kHTKSessionFetcherStatusDomain, status, std::move(info));
}

// What the library itself would retry: answers that say "try later" and
// connections that failed on the way.
bool suggestsRetry(const ns::ErrorRef& error) {
    if (!error) return false;
    if (error->domain() == kHTKSessionFetcherStatusDomain) {
        switch (error->code()) {
            case 408: case 429: case 500: case 502: case 503: case 504: return true;
            default: return false;
        }
    }
    if (error->domain() == ns::kURLErrorDomain) {
        return error->code() == ns::kURLErrorTimedOut || error->code() == ns::kURLErrorCannotConnectToHost ||
               error->code() == ns::kURLErrorNetworkConnectionLost;
    }
    return false;
}

ns::ErrorRef notConnectedError(const std::string& url) {
    ns::Dictionary info;
    info[ns::kLocalizedDescriptionKey] = "The Internet connection appears to be offline.";
    info[ns::kURLErrorFailingURLStringErrorKey] = url;
    return ns::Error::make(ns::kURLErrorDomain, ns::kURLErrorNotConnectedToInternet, std::move(info));
}

// "bytes=0-b" (what a resumable-upload server holds) -> b + 1; 0 without one.
int64_t heldBytes(const ns::HTTPURLResponsePtr& response) {
    auto range = response->valueForHTTPHeaderField("Range");
    if (!range) return 0;
    size_t dash = range->rfind('-');
    if (dash == std::string::npos) return 0;
    long long last = std::strtoll(range->c_str() + dash + 1, nullptr, 10);
    // A server that claims the largest count there is holds at most all of it
    // (the caller bounds it by the upload's size); one more would overflow.
    if (last == std::numeric_limits<long long>::max()) return last;
    return last >= 0 ? last + 1 : 0;
}

// "bytes a-b/total" of a 206 -> (a, total); total -1 when "*".
std::optional<std::pair<int64_t, int64_t>> contentRange(const ns::HTTPURLResponsePtr& response) {
    auto value = response->valueForHTTPHeaderField("Content-Range");
    if (!value || !value->starts_with("bytes ")) return std::nullopt;
    long long first = 0, last = 0;
    char total[32] = {};
    if (std::sscanf(value->c_str() + 6, "%lld-%lld/%31s", &first, &last, total) != 3) return std::nullopt;
    int64_t length = total[0] == '*' ? -1 : std::strtoll(total, nullptr, 10);
    return std::make_pair(int64_t(first), length);
}

std::string resolveLocation(const std::string& location, const std::string& requestURL) {
    if (location.find("://") != std::string::npos) return location;
    auto url = ns::URL::parse(requestURL);
    if (!url || location.empty() || location[0] != '/') return location;
    std::string origin = url->scheme() + "://" + url->host();
    if (url->port()) origin += ":" + std::to_string(*url->port());
    return origin + location;
}

}  // namespace

// ---- the service ----

HTKSessionFetcherService::HTKSessionFetcherService() : id_(nextServiceID++) {
    workQueue_ = ns::DispatchQueue::serial(ns::format("com.htk.sessionfetcher.%llu", (unsigned long long)id_));
    ns::URLSessionConfiguration configuration;
    configuration.delegateQueue = workQueue_;
    session_ = ns::URLSession::make(std::move(configuration));
}

HTKSessionFetcherService::~HTKSessionFetcherService() {
    auto& registry = ServiceRegistry::shared();
    std::lock_guard lock(registry.mutex);
    registry.services.erase(id_);
}

std::shared_ptr<HTKSessionFetcherService> HTKSessionFetcherService::make() {
    std::shared_ptr<HTKSessionFetcherService> service(new HTKSessionFetcherService());
    auto& registry = ServiceRegistry::shared();
    std::lock_guard lock(registry.mutex);
    registry.services[service->id_] = service;
    return service;
}

std::shared_ptr<HTKSessionFetcherService> HTKSessionFetcherService::serviceWithID(uint64_t id) {
    auto& registry = ServiceRegistry::shared();
    std::lock_guard lock(registry.mutex);
    auto it = registry.services.find(id);
    return it == registry.services.end() ? nullptr : it->second.lock();
}

bool HTKSessionFetcherService::retryEnabled() const { return retryEnabled_.get(); }
void HTKSessionFetcherService::setRetryEnabled(bool enabled) { retryEnabled_.set(enabled); }
HTKRetryBlock HTKSessionFetcherService::retryBlock() const { return retryBlock_.get(); }
void HTKSessionFetcherService::setRetryBlock(HTKRetryBlock block) { retryBlock_.set(std::move(block)); }
std::shared_ptr<HTKFetcherAuthorizationProtocol> HTKSessionFetcherService::authorizer() const {
    return authorizer_.get();
}
void HTKSessionFetcherService::setAuthorizer(std::shared_ptr<HTKFetcherAuthorizationProtocol> authorizer) {
    authorizer_.set(std::move(authorizer));
}
ns::DispatchQueuePtr HTKSessionFetcherService::callbackQueue() const { return callbackQueue_.get(); }
void HTKSessionFetcherService::setCallbackQueue(ns::DispatchQueuePtr queue) { callbackQueue_.set(std::move(queue)); }
double HTKSessionFetcherService::maxRetryInterval() const { return maxRetryInterval_.get(); }
void HTKSessionFetcherService::setMaxRetryInterval(double seconds) { maxRetryInterval_.set(seconds); }

std::shared_ptr<HTKSessionFetcher> HTKSessionFetcherService::fetcherWithRequest(const ns::URLRequest& request) {
    auto self = std::static_pointer_cast<HTKSessionFetcherService>(shared_from_this());
    return std::shared_ptr<HTKSessionFetcher>(new HTKSessionFetcher(request, self));
}

// ---- one fetch ----

// One HTTP exchange: what to send and what to do with the answer.
struct HTKSessionFetcher::Exchange {
    ns::URLRequest request;
    ExchangeDone done;
    uint64_t generation = 0;
    // 308 is a normal answer (resumable upload).
    bool accepts308 = false;
    // Adjusts each attempt's copy of the request (a download's Range).
    std::function<void(ns::URLRequest&)> prepare;
    std::function<ns::URLSessionDataDelegate()> makeDelegate;
    // The body of a failure status when the delegate streamed it away.
    std::function<ns::Data()> takeErrorBody;
    // Handles a failure itself instead of the retry rules (true = handled).
    std::function<bool(const ns::ErrorRef&)> intercept;
    // What a retry does; attempting the same request again when empty.
    std::function<void()> retryAction;
};

// The body of a download as it arrives.
struct HTKSessionFetcher::Download {
    ns::Data buffer;
    int64_t received = 0;   // body bytes held (memory or partial file)
    int64_t reported = 0;   // received as last reported to progress blocks
    std::string partialPath;
    FILE* file = nullptr;
    bool bodyOK = false;    // the current answer's body is the object's
    ns::Data errorBody;
    ns::ErrorRef writeError;

    void closeFile() {
        if (file) std::fclose(file);
        file = nullptr;
    }
    ~Download() { closeFile(); }
};

HTKSessionFetcher::HTKSessionFetcher(ns::URLRequest request, std::shared_ptr<HTKSessionFetcherService> service)
    : request_(std::move(request)), service_(std::move(service)) {
    if (service_) {
        workQueue_ = service_->workQueue();
        session_ = service_->session();
        retryEnabled_.set(service_->retryEnabled());
        retryBlock_.set(service_->retryBlock());
        authorizer_.set(service_->authorizer());
        callbackQueue_.set(service_->callbackQueue());
        maxRetryInterval_.set(service_->maxRetryInterval());
    } else {
        workQueue_ = ns::DispatchQueue::serial("com.htk.sessionfetcher");
        ns::URLSessionConfiguration configuration;
        configuration.delegateQueue = workQueue_;
        session_ = ns::URLSession::make(std::move(configuration));
    }
}

HTKSessionFetcher::~HTKSessionFetcher() = default;

std::shared_ptr<HTKSessionFetcher> HTKSessionFetcher::fetcherWithRequest(const ns::URLRequest& request) {
    return std::shared_ptr<HTKSessionFetcher>(new HTKSessionFetcher(request, nullptr));
}

std::shared_ptr<HTKSessionFetcher> HTKSessionFetcher::fetcherWithDownloadResumeData(const ns::Data& resumeData) {
    ns::ErrorRef parseError;
    ns::Value plist = ns::plist::parse(resumeData, &parseError);
    const ns::Dictionary* d = plist.dictionaryOrNull();
    const std::string* url = d ? plist["url"].stringOrNull() : nullptr;
    if (!url) {
        auto fetcher = fetcherWithRequest(ns::URLRequest());
        fetcher->resumeDataError_ = fetcherError(kHTKSessionFetcherErrorDownloadFailed, "Unreadable resume data");
        return fetcher;
    }
    ns::URLRequest request(*url);
    if (const ns::Dictionary* headers = plist["headers"].dictionaryOrNull())
        for (const auto& [name, value] : *headers)
            if (value.isString()) request.setValue(value.asString(), name);
    if (plist["timeout"].isNumber()) request.setTimeoutInterval(plist["timeout"].asDouble());
    auto service = HTKSessionFetcherService::serviceWithID(uint64_t(plist["serviceID"].intValue()));
    auto fetcher = service ? service->fetcherWithRequest(request) : fetcherWithRequest(request);
    if (plist["maxRetryInterval"].isNumber()) fetcher->maxRetryInterval_.set(plist["maxRetryInterval"].asDouble());
    fetcher->download_ = std::make_unique<Download>();
    Download& download = *fetcher->download_;
    download.received = plist["received"].intValue();
    if (plist["body"].isData()) download.buffer = plist["body"].asData();
    if (plist["partialPath"].isString()) download.partialPath = plist["partialPath"].asString();
    if (!plist["body"].isData() && download.partialPath.empty()) download.received = 0;
    download.reported = download.received;
    return fetcher;
}

void HTKSessionFetcher::discardDownloadResumeData(const ns::Data& resumeData) {
    // Resume data is kept by the caller and may come back damaged: only a
    // partial file this fetcher names as its own is removed, never any other
    // file the bytes happen to name.
    ns::Value plist = ns::plist::parse(resumeData);
    const std::string* partial = plist["partialPath"].stringOrNull();
    if (partial && partial->ends_with(kPartialSuffix) && partial->size() > std::strlen(kPartialSuffix)) {
        std::remove(partial->c_str());
    }
}

ns::URLRequest HTKSessionFetcher::request() const { return request_.get(); }
void HTKSessionFetcher::setRequest(ns::URLRequest request) { request_.set(std::move(request)); }
std::string HTKSessionFetcher::comment() const { return comment_.get(); }
void HTKSessionFetcher::setComment(std::string comment) { comment_.set(std::move(comment)); }
double HTKSessionFetcher::maxRetryInterval() const { return maxRetryInterval_.get(); }
void HTKSessionFetcher::setMaxRetryInterval(double seconds) { maxRetryInterval_.set(seconds); }
bool HTKSessionFetcher::retryEnabled() const { return retryEnabled_.get(); }
void HTKSessionFetcher::setRetryEnabled(bool enabled) { retryEnabled_.set(enabled); }
void HTKSessionFetcher::setRetryBlock(HTKRetryBlock block) { retryBlock_.set(std::move(block)); }
void HTKSessionFetcher::setAuthorizer(std::shared_ptr<HTKFetcherAuthorizationProtocol> authorizer) {
    authorizer_.set(std::move(authorizer));
}
ns::DispatchQueuePtr HTKSessionFetcher::callbackQueue() const { return callbackQueue_.get(); }
void HTKSessionFetcher::setCallbackQueue(ns::DispatchQueuePtr queue) { callbackQueue_.set(std::move(queue)); }
void HTKSessionFetcher::setDestinationFileURL(std::string fileURL) {
    destination_.set(ns::filePathFromURL(fileURL));
}
void HTKSessionFetcher::setResumeDataBlock(ResumeDataBlock block) { resumeDataBlock_.set(std::move(block)); }
void HTKSessionFetcher::setDownloadProgressBlock(DownloadProgressBlock block) {
    downloadProgressBlock_.set(std::move(block));
}
void HTKSessionFetcher::setReceivedProgressBlock(ReceivedProgressBlock block) {
    receivedProgressBlock_.set(std::move(block));
}
void HTKSessionFetcher::setSendProgressBlock(SendProgressBlock block) { sendProgressBlock_.set(std::move(block)); }
ns::HTTPURLResponsePtr HTKSessionFetcher::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}
int HTKSessionFetcher::retryCount() const {
    std::lock_guard lock(mutex_);
    return retryCount_;
}
bool HTKSessionFetcher::isFetching() const {
    std::lock_guard lock(mutex_);
    return fetching_;
}

void HTKSessionFetcher::setLoggingEnabled(bool enabled) { loggingEnabled.store(enabled); }
bool HTKSessionFetcher::isLoggingEnabled() { return loggingEnabled.load(); }

void HTKSessionFetcher::log(const std::string& line) const {
    if (!loggingEnabled.load()) return;
    ns::SystemLog::write(ns::SystemLog::kDebug, "HTKSessionFetcher " + comment_.get() + ": " + line);
}

ns::DispatchQueuePtr HTKSessionFetcher::effectiveCallbackQueue() const {
    auto queue = callbackQueue_.get();
    return queue ? queue : ns::DispatchQueue::main();
}

bool HTKSessionFetcher::ended() const {
    std::lock_guard lock(mutex_);
    return !fetching_;
}

void HTKSessionFetcher::cancelCurrentTask() {
    ns::URLSessionDataTaskPtr task;
    {
        std::lock_guard lock(mutex_);
        task = std::move(currentTask_);
        currentTask_.reset();
    }
    if (task) task->cancel();
}

void HTKSessionFetcher::beginFetchWithCompletionHandler(CompletionHandler completion) {
    {
        std::lock_guard lock(mutex_);
        if (started_)
            ns::Exception::raise(ns::kInternalInconsistencyException, "A fetcher can begin only once");
        started_ = fetching_ = true;
        completion_ = std::move(completion);
        group_.enter();
        log(request_.with([](const ns::URLRequest& r) { return "begin " + r.HTTPMethod() + " " + r.URL(); }));
    }
    start();
}

bool HTKSessionFetcher::waitForCompletionWithTimeout(double seconds) { return group_.wait(seconds); }

void HTKSessionFetcher::finish(std::optional<ns::Data> data, ns::ErrorRef error) {
    CompletionHandler completion;
    bool progressWaits = false;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_) return;
        fetching_ = false;
        ++generation_;
        completion = std::move(completion_);
        completion_ = nullptr;
        progressWaits = progressQueued_;
        log(error ? "failed: " + error->description() : "finished");
    }
    // A progress report already queued runs first: the queue is the same.
    // One held back for its interval would come after the completion, so
    // what it would report is reported now (it then finds nothing new).
    if (progressWaits) {
        auto self = std::static_pointer_cast<HTKSessionFetcher>(shared_from_this());
        effectiveCallbackQueue()->async([self] { self->reportProgress(); });
    }
    if (completion) {
        effectiveCallbackQueue()->async(
            [completion = std::move(completion), data = std::move(data), error]() mutable {
                completion(std::move(data), error);
            });
    }
    group_.leave();
}

void HTKSessionFetcher::stopFetching() {
    ResumeDataBlock block;
    ns::Data resumeData;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_) return;
        fetching_ = false;
        stopped_ = true;
        ++generation_;
        completion_ = nullptr;
        if (download_) {
            download_->closeFile();
            auto resumeDataBlock = resumeDataBlock_.get();
            if (resumeDataBlock && request_.with([](const ns::URLRequest& r) { return r.HTTPMethod() == "GET"; })) {
                resumeData = makeResumeData();
                block = std::move(resumeDataBlock);
            }
        }
        log("stopped");
    }
    cancelCurrentTask();
    if (block) block(resumeData);
    group_.leave();
}

ns::Data HTKSessionFetcher::makeResumeData() {
    const ns::URLRequest request = request_.get();
    ns::Dictionary d;
    d["url"] = request.URL();
    ns::Dictionary headers;
    // Credentials are added again by the authorizer of the resumed fetch.
    for (const auto& [name, value] : request.allHTTPHeaderFields())
        if (strcasecmp(name.c_str(), "Authorization") != 0) headers[name] = value;
    d["headers"] = std::move(headers);
    d["timeout"] = request.timeoutInterval();
    d["maxRetryInterval"] = maxRetryInterval_.get();
    d["serviceID"] = int64_t(service_ ? service_->serviceID() : 0);
    const Download& download = *download_;
    d["received"] = download.bodyOK || download.received > 0 ? download.received : int64_t(0);
    if (!download.partialPath.empty()) d["partialPath"] = download.partialPath;
    else d["body"] = download.buffer;
    return ns::plist::serialize(ns::Value(std::move(d)), ns::plist::Format::Binary);
}

void HTKSessionFetcher::scheduleProgress() {
    double delay = 0;
    {
        std::lock_guard lock(mutex_);
        if (progressQueued_ || !fetching_) return;
        progressQueued_ = true;
        const double now = ns::Clock::nowSeconds();
        delay = lastProgressAt_ + kProgressInterval - now;
        lastProgressAt_ = delay > 0 ? lastProgressAt_ + kProgressInterval : now;
    }
    auto self = std::static_pointer_cast<HTKSessionFetcher>(shared_from_this());
    auto report = [self] {
        {
            std::lock_guard lock(self->mutex_);
            self->progressQueued_ = false;
        }
        self->reportProgress();
    };
    if (delay > 0) {
        effectiveCallbackQueue()->after(delay, std::move(report));
    } else {
        effectiveCallbackQueue()->async(std::move(report));
    }
}

void HTKSessionFetcher::reportProgress() {
    DownloadProgressBlock toFile;
    ReceivedProgressBlock toMemory;
    int64_t delta = 0, total = 0, expected = -1;
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || !download_ || download_->received == download_->reported) return;
        delta = download_->received - download_->reported;
        total = download_->received;
        download_->reported = total;
        expected = response_ ? response_->expectedContentLength() : -1;
        if (destination_.with([](const std::string& d) { return d.empty(); })) toMemory = receivedProgressBlock_.get();
        else toFile = downloadProgressBlock_.get();
    }
    if (toFile) toFile(delta, total, expected);
    if (toMemory) toMemory(delta, total);
}

// ---- exchanges: authorization, sending, retries ----

std::shared_ptr<HTKSessionFetcher::Exchange> HTKSessionFetcher::makeExchange(ns::URLRequest request,
                                                                              ExchangeDone done) {
    auto exchange = std::make_shared<Exchange>();
    exchange->request = std::move(request);
    exchange->done = std::move(done);
    std::lock_guard lock(mutex_);
    exchange->generation = generation_;
    return exchange;
}

void HTKSessionFetcher::perform(ns::URLRequest request, ExchangeDone done) {
    attempt(makeExchange(std::move(request), std::move(done)));
}

void HTKSessionFetcher::attempt(const std::shared_ptr<Exchange>& exchange) {
    auto self = std::static_pointer_cast<HTKSessionFetcher>(shared_from_this());
    ns::URLRequest request = exchange->request;
    std::shared_ptr<HTKFetcherAuthorizationProtocol> authorizer;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_ || exchange->generation != generation_) return;
        if (exchange->prepare) exchange->prepare(request);
        authorizer = authorizer_.get();
    }
    if (ns::Reachability::currentOverride() == ns::Reachability::Status::NotReachable) {
        workQueue_->async([self, exchange, url = request.URL()] { self->retryOrFail(exchange, notConnectedError(url)); });
        return;
    }
    if (!authorizer) {
        send(exchange, std::move(request));
        return;
    }
    auto shared = std::make_shared<ns::URLRequest>(std::move(request));
    authorizer->authorizeRequest(
        shared, [self, exchange](HTKFetcherAuthorizationProtocol&, const std::shared_ptr<ns::URLRequest>& authorized,
                                 ns::ErrorRef error) {
            self->workQueue_->async([self, exchange, authorized, error] {
                {
                    std::lock_guard lock(self->mutex_);
                    if (!self->fetching_ || exchange->generation != self->generation_) return;
                }
                // Credentials that cannot be had will not come by asking again.
                if (error) exchange->done(nullptr, {}, error);
                else self->send(exchange, *authorized);
            });
        });
}

void HTKSessionFetcher::send(const std::shared_ptr<Exchange>& exchange, ns::URLRequest request) {
    auto self = std::static_pointer_cast<HTKSessionFetcher>(shared_from_this());
    ns::URLSessionDataTaskPtr task;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_ || exchange->generation != generation_) return;
        log("send " + request.HTTPMethod() + " " + request.URL());
        task = session_->dataTask(std::move(request), [self, exchange](ns::HTTPURLResponsePtr response, ns::Data body,
                                                            ns::ErrorRef error) {
            {
                std::lock_guard lock(self->mutex_);
                if (!self->fetching_ || exchange->generation != self->generation_) return;
                self->currentTask_.reset();
            }
            long status = response ? response->statusCode() : 0;
            if (!error && status >= 300 && !(exchange->accepts308 && status == 308)) {
                if (exchange->takeErrorBody) body = exchange->takeErrorBody();
                error = statusError(status, std::move(body));
                body.clear();
            }
            if (error) {
                if (exchange->intercept && exchange->intercept(error)) return;
                self->retryOrFail(exchange, error);
                return;
            }
            {
                std::lock_guard lock(self->mutex_);
                self->firstFailure_ = 0;
                self->nextRetryDelay_ = kHTKSessionFetcherMinRetryInterval;
            }
            exchange->done(std::move(response), std::move(body), nullptr);
        });
        if (exchange->makeDelegate) task->setDataDelegate(exchange->makeDelegate());
        currentTask_ = task;
    }
    task->resume();
}

void HTKSessionFetcher::retryOrFail(const std::shared_ptr<Exchange>& exchange, ns::ErrorRef error) {
    auto self = std::static_pointer_cast<HTKSessionFetcher>(shared_from_this());
    HTKRetryBlock retryBlock;
    bool retryEnabled;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_ || exchange->generation != generation_) return;
        retryEnabled = retryEnabled_.get();
        if (firstFailure_ == 0) firstFailure_ = ns::Clock::nowSeconds();
        retryBlock = retryBlock_.get();
    }
    if (!retryEnabled) {
        exchange->done(nullptr, {}, error);
        return;
    }
    bool suggested = suggestsRetry(error);
    auto decide = [self, exchange, error](bool retry) {
        self->workQueue_->async([self, exchange, error, retry]() mutable {
            double delay = 0;
            {
                std::lock_guard lock(self->mutex_);
                if (!self->fetching_ || exchange->generation != self->generation_) return;
                delay = self->nextRetryDelay_;
                // The whole run of failures stays within the maximum retry interval.
                double elapsed = ns::Clock::nowSeconds() - self->firstFailure_;
                retry = retry && elapsed + delay <= self->maxRetryInterval_.get();
                if (retry) {
                    self->nextRetryDelay_ *= 2;
                    ++self->retryCount_;
                    self->log(ns::format("retry %d in %g s", self->retryCount_, delay));
                } else {
                    self->log("not retrying: " + error->description());
                }
            }
            if (!retry) {
                exchange->done(nullptr, {}, error);
                return;
            }
            self->workQueue_->after(delay, [self, exchange] {
                {
                    // A pause or stop during the wait has taken over.
                    std::lock_guard lock(self->mutex_);
                    if (!self->fetching_ || exchange->generation != self->generation_) return;
                }
                if (exchange->retryAction) exchange->retryAction();
                else self->attempt(exchange);
            });
            // Announced once the wait is scheduled, so whoever moves the clock
            // on hearing it moves it past the wait.
            ns::NotificationCenter::defaultCenter().post(kHTKSessionFetcherRetryDelayStartedNotification, self,
                                                         {{kHTKSessionFetcherRetryDelayKey, delay}});
        });
    };
    if (retryBlock) {
        effectiveCallbackQueue()->async([retryBlock, suggested, error, decide] { retryBlock(suggested, error, decide); });
    } else {
        decide(suggested);
    }
}

// ---- downloads (and every fetch that is not an upload) ----

void HTKSessionFetcher::start() { startDownload(); }

void HTKSessionFetcher::startDownload() {
    {
        std::lock_guard lock(mutex_);
        if (resumeDataError_) {
            auto error = resumeDataError_;
            workQueue_->async([self = std::static_pointer_cast<HTKSessionFetcher>(shared_from_this()), error] {
                self->finish(std::nullopt, error);
            });
            return;
        }
        if (!download_) download_ = std::make_unique<Download>();
        Download& download = *download_;
        const std::string destination = destination_.get();
        std::string partial = destination.empty() ? std::string() : destination + kPartialSuffix;
        // Resume data from a memory download continued into a file (or the
        // other way round, or a partial file that changed) starts over.
        bool fileMatches = !partial.empty() && download.partialPath == partial;
        if (fileMatches) {
            struct stat st {};
            fileMatches = ::stat(partial.c_str(), &st) == 0 && int64_t(st.st_size) == download.received;
        }
        bool memoryMatches = partial.empty() && download.partialPath.empty() &&
                             int64_t(download.buffer.size()) == download.received;
        if (!fileMatches && !memoryMatches) {
            download.received = download.reported = 0;
            download.buffer.clear();
        }
        download.partialPath = partial;
    }
    sendDownload();
}

void HTKSessionFetcher::sendDownload() {
    auto self = std::static_pointer_cast<HTKSessionFetcher>(shared_from_this());
    auto exchange = makeExchange(request(), [self](ns::HTTPURLResponsePtr response, ns::Data, ns::ErrorRef error) {
        self->finishDownload(std::move(response), std::move(error));
    });
    exchange->prepare = [self](ns::URLRequest& request) {
        // Called under the lock.
        const Download& download = *self->download_;
        if (download.received > 0 && request.HTTPMethod() == "GET")
            request.setValue(ns::format("bytes=%lld-", (long long)download.received), "Range");
    };
    exchange->makeDelegate = [self] {
        ns::URLSessionDataDelegate delegate;
        delegate.didReceiveResponse = [self](const ns::HTTPURLResponsePtr& response) {
            std::lock_guard lock(self->mutex_);
            if (!self->fetching_) return;
            Download& download = *self->download_;
            download.errorBody.clear();
            long status = response->statusCode();
            download.bodyOK = status < 300;
            if (!download.bodyOK) return;
            auto range = status == 206 ? contentRange(response) : std::nullopt;
            bool continues = range && range->first == download.received;
            if (!continues) {
                download.received = download.reported = 0;
                download.buffer.clear();
            }
            ns::HTTPURLResponsePtr visible = response;
            if (continues && range->second >= 0) {
                // Seen from above, a continued download is one body.
                ns::HTTPHeaderFields headers = response->allHeaderFields();
                headers["Content-Length"] = std::to_string(range->second);
                visible = std::make_shared<ns::HTTPURLResponse>(response->URL(), response->statusCode(),
                                                                response->HTTPVersion(), std::move(headers));
            }
            self->response_ = visible;
            if (!download.partialPath.empty()) {
                download.closeFile();
                download.file = std::fopen(download.partialPath.c_str(), continues ? "ab" : "wb");
                if (!download.file) download.writeError = posixError(errno, download.partialPath);
            } else if (response->expectedContentLength() > 0) {
                download.buffer.reserve(size_t(download.received + response->expectedContentLength()));
            }
        };
        delegate.didReceiveData = [self](const uint8_t* bytes, size_t length) {
            {
                std::lock_guard lock(self->mutex_);
                if (!self->fetching_) return;
                Download& download = *self->download_;
                if (!download.bodyOK) {
                    download.errorBody.insert(download.errorBody.end(), bytes, bytes + length);
                    return;
                }
                if (download.file) {
                    if (std::fwrite(bytes, 1, length, download.file) != length && !download.writeError)
                        download.writeError = posixError(errno ? errno : EIO, download.partialPath);
                } else if (download.partialPath.empty()) {
                    download.buffer.insert(download.buffer.end(), bytes, bytes + length);
                }
                download.received += int64_t(length);
            }
            self->scheduleProgress();
        };
        return delegate;
    };
    exchange->takeErrorBody = [self] {
        std::lock_guard lock(self->mutex_);
        return std::move(self->download_->errorBody);
    };
    attempt(exchange);
}

void HTKSessionFetcher::finishDownload(ns::HTTPURLResponsePtr response, ns::ErrorRef error) {
    std::optional<ns::Data> body;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_) return;
        Download& download = *download_;
        if (download.file) {
            if (std::fflush(download.file) != 0 && !download.writeError)
                download.writeError = posixError(errno, download.partialPath);
            download.closeFile();
        }
        if (!error && download.writeError) error = download.writeError;
        if (!error && !download.partialPath.empty()) {
            // A body that was empty never opened the file.
            FILE* empty = download.received == 0 ? std::fopen(download.partialPath.c_str(), "ab") : nullptr;
            if (empty) std::fclose(empty);
            if (download.received == 0 && !empty) {
                error = posixError(errno, download.partialPath);
            } else if (const std::string destination = destination_.get();
                       std::rename(download.partialPath.c_str(), destination.c_str()) != 0) {
                error = posixError(errno, destination);
            }
        }
        if (error) {
            if (!download.partialPath.empty()) std::remove(download.partialPath.c_str());
        } else if (download.partialPath.empty()) {
            body = std::move(download.buffer);
            download.buffer.clear();
        }
    }
    finish(std::move(body), std::move(error));
}

// ---- the resumable upload ----

HTKSessionUploadFetcher::HTKSessionUploadFetcher(ns::URLRequest request, std::string mimeType, int64_t chunkSize,
                                                 std::shared_ptr<HTKSessionFetcherService> service)
    : HTKSessionFetcher(std::move(request), std::move(service)), mimeType_(std::move(mimeType)),
      chunkSize_(std::max<int64_t>(chunkSize, 1)) {}

std::shared_ptr<HTKSessionUploadFetcher> HTKSessionUploadFetcher::uploadFetcherWithRequest(
    const ns::URLRequest& request, std::string uploadMIMEType, int64_t chunkSize,
    const std::shared_ptr<HTKSessionFetcherService>& service) {
    return std::shared_ptr<HTKSessionUploadFetcher>(
        new HTKSessionUploadFetcher(request, std::move(uploadMIMEType), chunkSize, service));
}

void HTKSessionUploadFetcher::setUploadData(ns::Data data) {
    setUploadData(std::make_shared<const ns::Data>(std::move(data)));
}

void HTKSessionUploadFetcher::setUploadData(std::shared_ptr<const ns::Data> data) {
    std::lock_guard lock(mutex_);
    data_ = std::move(data);
    filePath_.clear();
}

void HTKSessionUploadFetcher::setUploadFileURL(std::string fileURL) {
    std::lock_guard lock(mutex_);
    filePath_ = ns::filePathFromURL(fileURL);
    data_.reset();
}

std::string HTKSessionUploadFetcher::uploadLocationURL() const {
    std::lock_guard lock(mutex_);
    return location_;
}

bool HTKSessionUploadFetcher::isPaused() const {
    std::lock_guard lock(mutex_);
    return paused_;
}

void HTKSessionUploadFetcher::start() {
    auto self = std::static_pointer_cast<HTKSessionUploadFetcher>(shared_from_this());
    ns::URLRequest first;
    ns::ErrorRef error;
    {
        std::lock_guard lock(mutex_);
        if (data_) {
            total_ = int64_t(data_->size());
        } else if (!filePath_.empty()) {
            struct stat st {};
            if (::stat(filePath_.c_str(), &st) != 0) error = posixError(errno, filePath_);
            else total_ = int64_t(st.st_size);
        } else {
            error = fetcherError(kHTKSessionFetcherErrorUploadFailed, "Nothing to upload");
        }
        first = request_.get();
        first.setValue(std::to_string(total_), "X-Upload-Content-Length");
        if (!mimeType_.empty()) first.setValue(mimeType_, "X-Upload-Content-Type");
    }
    if (error) {
        workQueue_->async([self, error] { self->finish(std::nullopt, error); });
        return;
    }
    perform(std::move(first), [self](ns::HTTPURLResponsePtr response, ns::Data, ns::ErrorRef error) {
        if (error) {
            self->finish(std::nullopt, error);
            return;
        }
        auto location = response->valueForHTTPHeaderField("Location");
        if (!location || location->empty()) {
            self->finish(std::nullopt,
                         fetcherError(kHTKSessionFetcherErrorUploadFailed, "The upload was not given a session URL"));
            return;
        }
        {
            std::lock_guard lock(self->mutex_);
            self->location_ =
                resolveLocation(*location, self->request_.with([](const ns::URLRequest& r) { return r.URL(); }));
            self->offset_ = 0;
            self->needsStatus_ = false;
        }
        self->step();
    });
}

void HTKSessionUploadFetcher::step() {
    bool query;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_ || paused_) return;
        query = needsStatus_;
    }
    if (query) queryStatus();
    else sendChunk();
}

bool HTKSessionUploadFetcher::takeUploadAnswer(const ns::HTTPURLResponsePtr& response, ns::Data& body) {
    long status = response->statusCode();
    if (status == 200 || status == 201) {
        {
            std::lock_guard lock(mutex_);
            offset_ = total_;
            inFlightSent_ = 0;
        }
        // Queued ahead of the completion on the same queue.
        scheduleProgress();
        finish(std::move(body), nullptr);
        return true;
    }
    if (status != 308) return false;
    {
        std::lock_guard lock(mutex_);
        offset_ = std::min(heldBytes(response), total_);
        inFlightSent_ = 0;
        needsStatus_ = false;
    }
    scheduleProgress();
    step();
    return true;
}

bool HTKSessionUploadFetcher::readChunk(int64_t offset, int64_t length, ns::Data& out, ns::ErrorRef& error) {
    std::lock_guard lock(mutex_);
    if (data_) {
        out.assign(data_->begin() + offset, data_->begin() + offset + length);
        return true;
    }
    FILE* file = std::fopen(filePath_.c_str(), "rb");
    if (!file) {
        error = posixError(errno, filePath_);
        return false;
    }
    out.resize(size_t(length));
    bool ok = fseeko(file, off_t(offset), SEEK_SET) == 0 && std::fread(out.data(), 1, out.size(), file) == out.size();
    if (!ok) error = posixError(errno ? errno : EIO, filePath_);
    std::fclose(file);
    return ok;
}

void HTKSessionUploadFetcher::sendChunk() {
    auto self = std::static_pointer_cast<HTKSessionUploadFetcher>(shared_from_this());
    int64_t offset, length, total;
    ns::URLRequest put;
    {
        std::lock_guard lock(mutex_);
        offset = offset_;
        total = total_;
        length = std::min(chunkSize_, total - offset);
        put.setURL(location_);
        put.setTimeoutInterval(request_.with([](const ns::URLRequest& r) { return r.timeoutInterval(); }));
    }
    ns::Data chunk;
    ns::ErrorRef readError;
    if (!readChunk(offset, length, chunk, readError)) {
        finish(std::nullopt, readError);
        return;
    }
    put.setHTTPMethod("PUT");
    put.setValue(total == 0 ? std::string("bytes */0")
                            : ns::format("bytes %lld-%lld/%lld", (long long)offset, (long long)(offset + length - 1),
                                         (long long)total),
                 "Content-Range");
    put.setValue(mimeType_.empty() ? std::string("application/octet-stream") : mimeType_, "Content-Type");
    put.setHTTPBody(std::move(chunk));

    auto exchange = makeExchange(std::move(put), [self](ns::HTTPURLResponsePtr response, ns::Data body,
                                                        ns::ErrorRef error) {
        if (!error && !self->takeUploadAnswer(response, body))
            error = fetcherError(kHTKSessionFetcherErrorUploadFailed,
                                 ns::format("Unexpected upload answer %ld", response->statusCode()));
        if (error) self->finish(std::nullopt, error);
    });
    exchange->accepts308 = true;
    exchange->makeDelegate = [self] {
        ns::URLSessionDataDelegate delegate;
        delegate.didSendBodyData = [self](int64_t, int64_t totalSent, int64_t) {
            {
                std::lock_guard lock(self->mutex_);
                if (!self->fetching_) return;
                self->inFlightSent_ = totalSent;
            }
            self->scheduleProgress();
        };
        return delegate;
    };
    // A connection cut mid-chunk: ask at once what arrived and go on from
    // there. A chunk refused as out of place (400) is handled the same way:
    // the transport may have sent it again on a new connection after the
    // server had kept part of it. A second failure at the same place takes
    // the retry rules.
    exchange->intercept = [self, offset](const ns::ErrorRef& error) {
        bool cut = error->domain() == ns::kURLErrorDomain && error->code() != ns::kURLErrorCancelled;
        bool refused = error->domain() == kHTKSessionFetcherStatusDomain && error->code() == 400;
        if (!cut && !refused) return false;
        {
            std::lock_guard lock(self->mutex_);
            if (self->recoveredAt_ == offset) return false;
            self->recoveredAt_ = offset;
            self->needsStatus_ = true;
            self->inFlightSent_ = 0;
        }
        self->step();
        return true;
    };
    // The server may hold part of the failed chunk: a retry asks first.
    exchange->retryAction = [self] {
        {
            std::lock_guard lock(self->mutex_);
            self->needsStatus_ = true;
            self->inFlightSent_ = 0;
        }
        self->step();
    };
    attempt(exchange);
}

void HTKSessionUploadFetcher::queryStatus() {
    auto self = std::static_pointer_cast<HTKSessionUploadFetcher>(shared_from_this());
    ns::URLRequest query;
    {
        std::lock_guard lock(mutex_);
        query.setURL(location_);
        query.setTimeoutInterval(request_.with([](const ns::URLRequest& r) { return r.timeoutInterval(); }));
        query.setValue(ns::format("bytes */%lld", (long long)total_), "Content-Range");
    }
    query.setHTTPMethod("PUT");
    auto exchange = makeExchange(std::move(query), [self](ns::HTTPURLResponsePtr response, ns::Data body,
                                                          ns::ErrorRef error) {
        if (!error && !self->takeUploadAnswer(response, body))
            error = fetcherError(kHTKSessionFetcherErrorUploadFailed,
                                 ns::format("Unexpected upload answer %ld", response->statusCode()));
        if (error) self->finish(std::nullopt, error);
    });
    exchange->accepts308 = true;
    exchange->retryAction = [self] { self->step(); };
    attempt(exchange);
}

void HTKSessionUploadFetcher::pauseFetching() {
    {
        std::lock_guard lock(mutex_);
        if (!fetching_ || paused_) return;
        paused_ = true;
        ++generation_;
        inFlightSent_ = 0;
        firstFailure_ = 0;
        nextRetryDelay_ = kHTKSessionFetcherMinRetryInterval;
        log("paused");
    }
    cancelCurrentTask();
}

void HTKSessionUploadFetcher::resumeFetching() {
    bool restart;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_ || !paused_) return;
        paused_ = false;
        restart = location_.empty();
        needsStatus_ = !restart;
        log("resumed");
    }
    if (restart) start();
    else step();
}

void HTKSessionUploadFetcher::stopFetching() {
    std::string location;
    std::shared_ptr<HTKFetcherAuthorizationProtocol> authorizer;
    {
        std::lock_guard lock(mutex_);
        if (!fetching_) return;
        location = location_;
        authorizer = authorizer_.get();
    }
    HTKSessionFetcher::stopFetching();
    if (location.empty()) return;
    // Lets the server drop what it holds of the upload; nobody waits for the answer.
    auto cancel = std::make_shared<ns::URLRequest>(location);
    cancel->setHTTPMethod("DELETE");
    auto sendCancel = [session = session_](const ns::URLRequest& request) {
        session->dataTask(request, [](ns::HTTPURLResponsePtr, ns::Data, ns::ErrorRef) {})->resume();
    };
    if (!authorizer) {
        sendCancel(*cancel);
        return;
    }
    authorizer->authorizeRequest(cancel, [sendCancel](HTKFetcherAuthorizationProtocol&,
                                                      const std::shared_ptr<ns::URLRequest>& request,
                                                      ns::ErrorRef error) {
        if (!error) sendCancel(*request);
    });
}

void HTKSessionUploadFetcher::reportProgress() {
    SendProgressBlock block;
    int64_t delta, sent, total;
    {
        std::lock_guard lock(mutex_);
        sent = offset_ + inFlightSent_;
        if (stopped_ || sent <= reportedSent_) return;
        delta = sent - reportedSent_;
        reportedSent_ = sent;
        total = total_;
        block = sendProgressBlock_.get();
    }
    if (block) block(delta, sent, total);
}
