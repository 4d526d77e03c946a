#pragma once
// The SDK maker's session-fetcher library (HTKSessionFetcherService,
// HTKSessionFetcher, HTKSessionUploadFetcher) over the platform URL session.
// Declared at global scope, like the library's classes they stand in for.
//
// A service holds what its fetchers share: the retry switch and retry block,
// the authorizer, the callback queue and the maximum retry interval; a
// fetcher copies them when the service makes it. One fetch:
//   1. the authorizer (when there is one) may add headers to a copy of the
//      request and tells the fetcher to go on or to fail;
//   2. the request is sent; a device with no network (the reachability
//      override says so) fails at once with NSURLErrorDomain -1009, as the
//      phone's URL loading does;
//   3. an answer with a status of 300 or more is a failure whose error has the
//      domain kHTKSessionFetcherStatusDomain, the status as code and the body
//      under "data" (kHTKSessionFetcherStatusDataKey) in its userInfo;
//   4. a failure is retried when retries are on and the retry block (or,
//      without one, the fetcher's own suggestion: 408, 429, 500, 502, 503,
//      504, time-outs and lost or refused connections) says so. Waits start
//      at kHTKSessionFetcherMinRetryInterval and double; a retry is made only
//      while the time since the first failure of the run, plus the wait, stays
//      within the maximum retry interval. Waits read ns::Clock, so a virtual
//      clock drives them; each wait posts
//      kHTKSessionFetcherRetryDelayStartedNotification (object: the fetcher,
//      userInfo "delay": seconds) once it is scheduled.
//
// Threads: every block the caller gives (completion, progress, retry block)
// runs on the callback queue, the main queue when none is set, except the
// resume-data block, which runs inside stopFetching on the caller's thread
// so that the bytes are there when stopFetching returns. Progress blocks are
// coalesced: at most one is queued at a time and it reports the latest
// totals; all of them run before the completion. stopFetching ends a fetch
// without calling its completion. Fetchers may be driven from any thread.
//
// Downloads keep the body in memory or write it to a destination file
// (through "<destination>.htkdownload", renamed into place when complete).
// Stopping a GET hands resume data to the resume-data block: an opaque
// property list that +fetcherWithDownloadResumeData: turns back into a
// fetcher of the same service, which asks for the rest with a Range request.
// A download retried after a failure also continues from what arrived.
//
// The resumable upload (HTKSessionUploadFetcher): the first request (the
// caller's POST with the object's metadata) answers 200 with the upload
// session's URL in Location; the bytes then go in chunks, each a PUT to that
// URL with "Content-Range: bytes a-b/total", answered 308 with
// "Range: bytes=0-b" (what the server holds) until the last, answered 200
// with the final body. An empty PUT with "Content-Range: bytes */total" asks
// what arrived; a connection cut mid-chunk (or a chunk refused with 400,
// which is what a transport that re-sent a partly received chunk gets) is
// recovered by asking at once and sending from there. Pausing cancels the chunk in flight; resuming asks
// and continues. Stopping sends DELETE to the session URL.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/guarded.h"
#include "platform/http.h"
#include "platform/value.h"

// Errors for answers with a failure status: the code is the HTTP status.
inline constexpr const char* kHTKSessionFetcherStatusDomain = "com.htk.HTTPStatus";
// The userInfo key of such an error's response body (Data).
inline constexpr const char* kHTKSessionFetcherStatusDataKey = "data";
// Errors of the fetcher itself (bad resume data, unreadable upload file,
// answers the upload protocol does not allow).
inline constexpr const char* kHTKSessionFetcherErrorDomain = "com.htk.HTKSessionFetcher";
inline constexpr long kHTKSessionFetcherErrorDownloadFailed = -1;
inline constexpr long kHTKSessionFetcherErrorUploadFailed = -2;

// Posted on the default centre before each retry wait.
inline constexpr const char* kHTKSessionFetcherRetryDelayStartedNotification =
    "HTKSessionFetcherRetryDelayStartedNotification";
inline constexpr const char* kHTKSessionFetcherRetryDelayKey = "delay";

// Seconds of the first retry wait; each further wait doubles.
inline constexpr double kHTKSessionFetcherMinRetryInterval = 1.0;
// The maximum retry interval of a service nobody configured.
inline constexpr double kHTKSessionFetcherDefaultMaxRetryInterval = 600.0;

// Bytes per PUT of a resumable upload unless the caller asks otherwise.
inline constexpr int64_t kHTKSessionUploadFetcherStandardChunkSize = int64_t(4) << 20;

class HTKSessionFetcherService;
class HTKSessionFetcher;
class HTKSessionUploadFetcher;

// Adds credentials to requests before they are sent. The fetcher calls
// authorizeRequest with a copy of each attempt's request and waits for the
// finishing call, which must come exactly once (from any thread) when a
// finish handler is given.
class HTKFetcherAuthorizationProtocol {
public:
    using FinishHandler = std::function<void(HTKFetcherAuthorizationProtocol& authorizer,
                                             const std::shared_ptr<ns::URLRequest>& request, ns::ErrorRef error)>;
    virtual ~HTKFetcherAuthorizationProtocol() = default;

    virtual void authorizeRequest(const std::shared_ptr<ns::URLRequest>& request, FinishHandler finish) = 0;
    virtual bool isAuthorizedRequest(const ns::URLRequest& request) const = 0;
    virtual bool isAuthorizingRequest(const ns::URLRequest& request) const = 0;
    virtual void stopAuthorization() = 0;
    virtual void stopAuthorizationForRequest(const ns::URLRequest& request) = 0;
    virtual std::optional<std::string> userEmail() const = 0;
};

// Called with (suggested will-retry, the failure); answers through `response`.
using HTKRetryResponse = std::function<void(bool shouldRetry)>;
using HTKRetryBlock = std::function<void(bool suggestedWillRetry, ns::ErrorRef error, HTKRetryResponse response)>;

class HTKSessionFetcherService : public ns::Object {
public:
    static std::shared_ptr<HTKSessionFetcherService> make();
    ~HTKSessionFetcherService() override;

    bool retryEnabled() const;
    void setRetryEnabled(bool enabled);
    HTKRetryBlock retryBlock() const;
    void setRetryBlock(HTKRetryBlock block);
    std::shared_ptr<HTKFetcherAuthorizationProtocol> authorizer() const;
    void setAuthorizer(std::shared_ptr<HTKFetcherAuthorizationProtocol> authorizer);
    // nullptr until set (fetchers then call back on the main queue).
    ns::DispatchQueuePtr callbackQueue() const;
    void setCallbackQueue(ns::DispatchQueuePtr queue);
    double maxRetryInterval() const;
    void setMaxRetryInterval(double seconds);

    // A fetcher for the request with the service's current settings.
    std::shared_ptr<HTKSessionFetcher> fetcherWithRequest(const ns::URLRequest& request);

    // Identifies the service inside resume data; serviceWithID finds it while it lives.
    uint64_t serviceID() const { return id_; }
    static std::shared_ptr<HTKSessionFetcherService> serviceWithID(uint64_t id);

    // The URL session every fetcher of the service sends through.
    const ns::URLSessionPtr& session() const { return session_; }
    // The serial queue the fetchers' own bookkeeping runs on.
    const ns::DispatchQueuePtr& workQueue() const { return workQueue_; }

    std::string className() const override { return "HTKSessionFetcherService"; }

private:
    HTKSessionFetcherService();
    const uint64_t id_;
    ns::DispatchQueuePtr workQueue_;
    ns::URLSessionPtr session_;
    ns::Guarded<bool> retryEnabled_{false};
    ns::Guarded<HTKRetryBlock> retryBlock_;
    ns::Guarded<std::shared_ptr<HTKFetcherAuthorizationProtocol>> authorizer_;
    ns::Guarded<ns::DispatchQueuePtr> callbackQueue_;
    ns::Guarded<double> maxRetryInterval_{kHTKSessionFetcherDefaultMaxRetryInterval};
};

class HTKSessionFetcher : public ns::Object {
public:
    // Body bytes or nullopt (downloads to a file, failures), and the error.
    using CompletionHandler = std::function<void(std::optional<ns::Data> data, ns::ErrorRef error)>;
    using ReceivedProgressBlock = std::function<void(int64_t bytesReceived, int64_t totalBytesReceived)>;
    using DownloadProgressBlock =
        std::function<void(int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite)>;
    using SendProgressBlock =
        std::function<void(int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend)>;
    using ResumeDataBlock = std::function<void(const ns::Data& resumeData)>;

    // A fetcher outside any service: no authorizer, no retries, main queue.
    static std::shared_ptr<HTKSessionFetcher> fetcherWithRequest(const ns::URLRequest& request);
    // A GET that continues the download the resume data describes, in the
    // service it came from when that still exists. Bad resume data gives a
    // fetcher whose fetch fails with kHTKSessionFetcherErrorDownloadFailed.
    static std::shared_ptr<HTKSessionFetcher> fetcherWithDownloadResumeData(const ns::Data& resumeData);
    // Removes what resume data keeps on disk (a download's partial file),
    // for a download that will not be resumed.
    static void discardDownloadResumeData(const ns::Data& resumeData);

    ~HTKSessionFetcher() override;

    ns::URLRequest request() const;
    void setRequest(ns::URLRequest request);
    std::string comment() const;
    void setComment(std::string comment);
    double maxRetryInterval() const;
    void setMaxRetryInterval(double seconds);
    bool retryEnabled() const;
    void setRetryEnabled(bool enabled);
    void setRetryBlock(HTKRetryBlock block);
    void setAuthorizer(std::shared_ptr<HTKFetcherAuthorizationProtocol> authorizer);
    ns::DispatchQueuePtr callbackQueue() const;
    void setCallbackQueue(ns::DispatchQueuePtr queue);

    // A file URL ("file:///...") or a path; the body is written there.
    void setDestinationFileURL(std::string fileURL);
    void setResumeDataBlock(ResumeDataBlock block);
    void setDownloadProgressBlock(DownloadProgressBlock block);
    void setReceivedProgressBlock(ReceivedProgressBlock block);
    void setSendProgressBlock(SendProgressBlock block);

    // The final answer's head (nullptr before it came). After a download
    // resumed with a Range request it describes the whole body: its
    // expected content length is the object's full length.
    ns::HTTPURLResponsePtr response() const;
    // Retries made so far in this fetch.
    int retryCount() const;
    bool isFetching() const;

    // Starts the fetch; the completion runs once on the callback queue unless
    // the fetch is stopped. Raises NSInternalInconsistencyException when the
    // fetcher was started before.
    void beginFetchWithCompletionHandler(CompletionHandler completion);
    // Ends the fetch at once without its completion; hands resume data to
    // the resume-data block for a GET that can continue.
    virtual void stopFetching();
    // Waits (ns::Clock time) until the fetch ended; true when it did.
    bool waitForCompletionWithTimeout(double seconds);

    static void setLoggingEnabled(bool enabled);
    static bool isLoggingEnabled();

    std::string className() const override { return "HTKSessionFetcher"; }

protected:
    HTKSessionFetcher(ns::URLRequest request, std::shared_ptr<HTKSessionFetcherService> service);

    // One HTTP exchange with authorization, the offline check and retries.
    // `done` runs on the service's work queue with the response and body of
    // an answer below 300, or with the final error; never after a stop.
    struct Exchange;
    using ExchangeDone = std::function<void(ns::HTTPURLResponsePtr response, ns::Data body, ns::ErrorRef error)>;
    void perform(ns::URLRequest request, ExchangeDone done);
    std::shared_ptr<Exchange> makeExchange(ns::URLRequest request, ExchangeDone done);
    void attempt(const std::shared_ptr<Exchange>& exchange);
    // Calls the completion (once) and ends the fetch.
    void finish(std::optional<ns::Data> data, ns::ErrorRef error);
    // The first step of a fetch; the upload fetcher replaces it.
    virtual void start();
    // True once stopped or finished: nothing more may be reported.
    bool ended() const;
    // Queues a progress report on the callback queue unless one is queued.
    void scheduleProgress();
    virtual void reportProgress();
    ns::DispatchQueuePtr effectiveCallbackQueue() const;
    void cancelCurrentTask();
    void log(const std::string& line) const;

    // The settings: each is set whole by its setter, usually before the
    // fetch begins, and read by the fetch as it goes.
    ns::Guarded<ns::URLRequest> request_;
    ns::Guarded<std::string> comment_;
    ns::Guarded<double> maxRetryInterval_{kHTKSessionFetcherDefaultMaxRetryInterval};
    ns::Guarded<bool> retryEnabled_{false};
    ns::Guarded<HTKRetryBlock> retryBlock_;
    ns::Guarded<std::shared_ptr<HTKFetcherAuthorizationProtocol>> authorizer_;
    ns::Guarded<ns::DispatchQueuePtr> callbackQueue_;
    ns::Guarded<SendProgressBlock> sendProgressBlock_;

    // The state of the fetch, which changes together.
    mutable std::recursive_mutex mutex_;
    std::shared_ptr<HTKSessionFetcherService> service_;
    ns::DispatchQueuePtr workQueue_;
    ns::URLSessionPtr session_;

    bool started_ = false;
    bool fetching_ = false;
    bool stopped_ = false;
    // Bumped by every stop or pause: late answers of older sends are dropped.
    uint64_t generation_ = 0;
    CompletionHandler completion_;
    ns::URLSessionDataTaskPtr currentTask_;
    ns::HTTPURLResponsePtr response_;
    int retryCount_ = 0;
    // The current run of failures: when it began (0: none) and the next wait.
    double firstFailure_ = 0;
    double nextRetryDelay_ = kHTKSessionFetcherMinRetryInterval;
    bool progressQueued_ = false;
    // When the last progress report was queued, or is due.
    double lastProgressAt_ = -1e9;
    ns::DispatchGroup group_;

private:
    struct Download;
    void startDownload();
    void sendDownload();
    void finishDownload(ns::HTTPURLResponsePtr response, ns::ErrorRef error);
    ns::Data makeResumeData();
    void retryOrFail(const std::shared_ptr<Exchange>& exchange, ns::ErrorRef error);
    void send(const std::shared_ptr<Exchange>& exchange, ns::URLRequest request);

    std::unique_ptr<Download> download_;
    ns::Guarded<std::string> destination_;
    ns::Guarded<ResumeDataBlock> resumeDataBlock_;
    ns::Guarded<DownloadProgressBlock> downloadProgressBlock_;
    ns::Guarded<ReceivedProgressBlock> receivedProgressBlock_;
    ns::ErrorRef resumeDataError_;
    friend class HTKSessionFetcherService;
    friend class HTKSessionUploadFetcher;
};

class HTKSessionUploadFetcher : public HTKSessionFetcher {
public:
    // `request` is the upload's first request (it asks for a resumable
    // upload); `chunkSize` bytes go in each PUT (at least 1).
    static std::shared_ptr<HTKSessionUploadFetcher> uploadFetcherWithRequest(
        const ns::URLRequest& request, std::string uploadMIMEType, int64_t chunkSize,
        const std::shared_ptr<HTKSessionFetcherService>& service);

    void setUploadData(ns::Data data);
    // Shares the caller's bytes instead of copying them.
    void setUploadData(std::shared_ptr<const ns::Data> data);
    // A file URL or a path, read chunk by chunk while sending.
    void setUploadFileURL(std::string fileURL);
    // The session URL once the first request was answered ("" before).
    std::string uploadLocationURL() const;
    const std::string& uploadMIMEType() const { return mimeType_; }

    // Pausing cancels the chunk in flight and sends nothing until resumed;
    // resuming asks the server what it holds and goes on from there.
    void pauseFetching();
    void resumeFetching();
    bool isPaused() const;
    void stopFetching() override;

    std::string className() const override { return "HTKSessionUploadFetcher"; }

private:
    HTKSessionUploadFetcher(ns::URLRequest request, std::string mimeType, int64_t chunkSize,
                            std::shared_ptr<HTKSessionFetcherService> service);
    void start() override;
    void reportProgress() override;
    // The next request of the upload: a status query or the chunk at offset_.
    void step();
    void sendChunk();
    void queryStatus();
    // A 200 ends the upload, a 308 moves offset_; false for anything else.
    bool takeUploadAnswer(const ns::HTTPURLResponsePtr& response, ns::Data& body);
    bool readChunk(int64_t offset, int64_t length, ns::Data& out, ns::ErrorRef& error);

    std::string mimeType_;
    int64_t chunkSize_;
    std::shared_ptr<const ns::Data> data_;
    std::string filePath_;
    int64_t total_ = 0;
    std::string location_;
    int64_t offset_ = 0;
    int64_t inFlightSent_ = 0;
    bool paused_ = false;
    bool needsStatus_ = false;
    // The offset at which the last cut connection was recovered at once; a
    // second cut there goes through the retry rules.
    int64_t recoveredAt_ = -1;
    int64_t reportedSent_ = 0;
};
