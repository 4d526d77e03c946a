// Uploads and downloads against the local storage service over loopback
// HTTPS: the resumable upload's requests, chunks and recovery from a cut
// connection, files both ways, pausing and resuming, metadata and download
// URLs.

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/http.h"
#include "platform/url.h"
#include "storage/QRVStorageErrors.h"
#include "storage_test_support.h"

using namespace storagetest;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string queryValue(const std::string& query, const std::string& key) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t amp = query.find('&', start);
        if (amp == std::string::npos) amp = query.size();
        std::string pair = query.substr(start, amp - start);
        if (pair.rfind(key + "=", 0) == 0) return pair.substr(key.size() + 1);
        start = amp + 1;
    }
    return "(absent)";
}

std::string header(const json& request, const std::string& name) {
    for (const auto& h : request["headers"])
        if (strcasecmp(h["name"].get<std::string>().c_str(), name.c_str()) == 0) return h["value"];
    return "(absent)";
}

class StorageTransferTest : public StorageBackendTest {};

TEST_F(StorageTransferTest, ProfilePhotoGoesUpResumablyAndComesBack) {
    std::string uid = signIn("staff-ana");
    auto ref = storage_->reference()->child("profiles/" + uid + ".jpg");
    ns::Data photo = bytesOf(40000);
    QRVStorageMetadata metadata;
    metadata.setContentType("image/jpeg");

    auto uploaded = put(ref, photo, &metadata);
    ASSERT_FALSE(uploaded.error) << uploaded.error->description();
    EXPECT_EQ(uploaded.calls, 1);
    EXPECT_TRUE(uploaded.onMainThread);
    ASSERT_TRUE(uploaded.value);
    EXPECT_EQ(uploaded.value->path(), "profiles/staff-ana.jpg");
    EXPECT_EQ(uploaded.value->name(), "staff-ana.jpg");
    EXPECT_EQ(uploaded.value->size(), int64_t(photo.size()));
    EXPECT_EQ(uploaded.value->contentType(), "image/jpeg");
    EXPECT_TRUE(uploaded.value->isFile());

    json requests = storageRequests();
    ASSERT_GE(requests.size(), 2u);
    const json& first = requests[0];
    EXPECT_EQ(first["kind"], "startUpload");
    EXPECT_EQ(first["method"], "POST");
    EXPECT_EQ(queryValue(first["query"], "uploadType"), "resumable");
    EXPECT_EQ(queryValue(first["query"], "name"), "profiles%2Fstaff-ana.jpg");
    EXPECT_EQ(header(first, "x-quorvane-storage-version"), "ios/2.0.0");
    EXPECT_EQ(header(first, "x-quorvane-vlpid"), kAppID);
    EXPECT_EQ(header(first, "Authorization").rfind("Quorvane ", 0), 0u);
    EXPECT_EQ(header(first, "Content-Type"), "application/json; charset=UTF-8");

    // The first request's body is the upload's metadata, naming the object.
    auto task = ref->putData(photo, &metadata);
    ns::URLRequest opening = task->uploadFetcher()->request();
    json body = json::parse(std::string(opening.HTTPBody().begin(), opening.HTTPBody().end()));
    EXPECT_EQ(body["name"], "profiles/staff-ana.jpg");
    EXPECT_EQ(body["contentType"], "image/jpeg");
    EXPECT_EQ(opening.valueForHTTPHeaderField("Content-Length"), std::to_string(opening.HTTPBody().size()));
    int done = 0;
    task->observeStatus(QRVStorageTaskStatusSuccess, [&](QRVStorageTaskSnapshotPtr) { ++done; });
    ASSERT_TRUE(pumpUntil([&] { return done == 1; }));

    clearStorageRequests();
    auto downloaded = get(ref, 1 << 20);
    ASSERT_FALSE(downloaded.error) << downloaded.error->description();
    EXPECT_EQ(downloaded.calls, 1);
    json downloads = storageRequests();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0]["kind"], "download");
    EXPECT_EQ(downloads[0]["query"], "alt=media");
    EXPECT_TRUE(downloaded.onMainThread);
    ASSERT_TRUE(downloaded.value);
    EXPECT_EQ(*downloaded.value, photo);
}

TEST_F(StorageTransferTest, ALargeUploadGoesInChunksAndSurvivesACutConnection) {
    std::string uid = signIn("staff-ben");
    auto ref = storage_->reference()->child("profiles/" + uid + ".jpg");
    ns::Data photo = bytesOf(5 * 1000 * 1000, 11);
    // The first chunk's connection breaks after part of its body arrived.
    addFault({{"kind", "uploadChunk"}, {"cut", true}, {"cutAfterBytes", 300000}});

    auto task = ref->putData(photo);
    std::vector<int64_t> progress;
    task->observeStatus(QRVStorageTaskStatusProgress, [&](QRVStorageTaskSnapshotPtr snapshot) {
        progress.push_back(snapshot->progress()->completedUnitCount());
        EXPECT_EQ(snapshot->progress()->totalUnitCount(), int64_t(photo.size()));
    });
    int successes = 0;
    task->observeStatus(QRVStorageTaskStatusSuccess, [&](QRVStorageTaskSnapshotPtr) { ++successes; });
    ASSERT_TRUE(pumpUntil([&] { return successes > 0; })) << [&] {
        std::string out;
        for (const auto& r : storageRequests())
            out += r["kind"].get<std::string>() + " " + std::to_string(r["status"].get<int>()) + " " +
                   header(r, "Content-Range") + " " + std::to_string(r["bodySize"].get<int64_t>()) + "\n";
        return out;
    }();
    settle();
    EXPECT_EQ(successes, 1);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), int64_t(photo.size()));

    // Chunks of at most 4 MiB; after the cut the client asks where the
    // server stands and sends from there. (The transport may first send the
    // cut chunk again on a fresh connection, which the server refuses.)
    int queries = 0;
    std::vector<std::string> ranges;
    for (const auto& r : storageRequests()) {
        queries += r["kind"] == "uploadQuery";
        if (r["kind"] != "uploadChunk") continue;
        std::string range = header(r, "Content-Range");
        if (ranges.empty() || ranges.back() != range) ranges.push_back(range);
    }
    EXPECT_EQ(queries, 1);
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes 0-4194303/5000000", "bytes 300000-4494303/5000000",
                                                "bytes 4494304-4999999/5000000"}));

    auto downloaded = get(ref, 10 << 20);
    ASSERT_FALSE(downloaded.error);
    EXPECT_EQ(*downloaded.value, photo);
}

TEST_F(StorageTransferTest, FilesRoundTripWithTheirExtensionsType) {
    std::string uid = signIn("staff-cira");
    auto ref = storage_->reference()->child("profiles/" + uid + ".jpg");
    ns::Data photo = bytesOf(70000, 3);
    std::string source = sandbox_.root() + "/photo.jpg";
    {
        std::ofstream out(source, std::ios::binary);
        out.write(reinterpret_cast<const char*>(photo.data()), std::streamsize(photo.size()));
    }
    Completion<QRVStorageMetadataPtr> uploaded;
    ref->putFile(ns::fileURLWithPath(source), nullptr, [&](QRVStorageMetadataPtr metadata, ns::ErrorRef error) {
        uploaded.value = metadata;
        uploaded.error = error;
        ++uploaded.calls;
    });
    ASSERT_TRUE(pumpUntil([&] { return uploaded.done(); }));
    ASSERT_FALSE(uploaded.error) << uploaded.error->description();
    EXPECT_EQ(uploaded.value->contentType(), "image/jpeg");
    EXPECT_EQ(uploaded.value->size(), int64_t(photo.size()));

    std::string target = ns::fileURLWithPath(sandbox_.root() + "/copy of photo.jpg");
    Completion<std::optional<std::string>> written;
    std::vector<int64_t> totals;
    auto task = ref->writeToFile(target, [&](std::optional<std::string> url, ns::ErrorRef error) {
        written.value = url;
        written.error = error;
        ++written.calls;
    });
    task->observeStatus(QRVStorageTaskStatusProgress, [&](QRVStorageTaskSnapshotPtr snapshot) {
        totals.push_back(snapshot->progress()->totalUnitCount());
    });
    ASSERT_TRUE(pumpUntil([&] { return written.done(); }));
    settle();
    ASSERT_FALSE(written.error) << written.error->description();
    EXPECT_EQ(written.calls, 1);
    EXPECT_EQ(written.value, target);
    EXPECT_EQ(readFile(ns::filePathFromURL(target)), std::string(photo.begin(), photo.end()));
    ASSERT_FALSE(totals.empty());
    EXPECT_EQ(totals.back(), int64_t(photo.size()));
}

TEST_F(StorageTransferTest, ACancelledFileDownloadLeavesNoPartialFile) {
    signIn("staff-ivo");
    putObject("products/4040.jpg", bytesOf(2 * 1000 * 1000, 4));
    // Half the body arrives, then the connection breaks and the client waits to retry.
    addFault({{"kind", "download"}, {"cut", true}, {"cutAfterBytes", 1000000}});
    std::string folder = sandbox_.root() + "/downloads";
    std::filesystem::create_directories(folder);
    Completion<std::optional<std::string>> written;
    auto task = storage_->referenceWithPath("products/4040.jpg")
                    ->writeToFile(ns::fileURLWithPath(folder + "/4040.jpg"),
                                  [&](std::optional<std::string> url, ns::ErrorRef error) {
                                      written.value = url;
                                      written.error = error;
                                      ++written.calls;
                                  });
    int64_t seen = 0;
    task->observeStatus(QRVStorageTaskStatusProgress,
                        [&](QRVStorageTaskSnapshotPtr s) { seen = s->progress()->completedUnitCount(); });
    ASSERT_TRUE(pumpUntil([&] { return seen >= 500000; }));
    task->cancel();
    ASSERT_TRUE(pumpUntil([&] { return written.done(); }));
    EXPECT_EQ(written.error->code(), QRVStorageErrorCodeCancelled);
    EXPECT_FALSE(written.value);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
}

TEST_F(StorageTransferTest, APausedDownloadResumesWithARangeRequest) {
    signIn("staff-dora");
    ns::Data photo = bytesOf(3 * 1000 * 1000, 5);
    putObject("products/7501234.jpg", photo);
    // The first download stalls after half of the body until paused.
    addFault({{"kind", "download"}, {"cut", true}, {"cutAfterBytes", 1500000}, {"delayMs", 0}});
    auto ref = storage_->referenceWithPath("products/7501234.jpg");
    auto task = ref->dataWithMaxSize(10 << 20, nullptr);
    std::vector<std::string> statuses;
    task->observeStatus(QRVStorageTaskStatusPause, [&](QRVStorageTaskSnapshotPtr) { statuses.push_back("pause"); });
    int64_t seen = 0;
    task->observeStatus(QRVStorageTaskStatusProgress,
                        [&](QRVStorageTaskSnapshotPtr s) { seen = s->progress()->completedUnitCount(); });
    ASSERT_TRUE(pumpUntil([&] { return seen >= 1000000; }));
    task->pause();
    ASSERT_TRUE(pumpUntil([&] { return !statuses.empty(); }));
    ASSERT_TRUE(task->downloadData());
    // Observed while paused: fires when the task resumes, not before.
    task->observeStatus(QRVStorageTaskStatusResume, [&](QRVStorageTaskSnapshotPtr) { statuses.push_back("resume"); });
    task->resume();
    int successes = 0;
    task->observeStatus(QRVStorageTaskStatusSuccess, [&](QRVStorageTaskSnapshotPtr) { ++successes; });
    ASSERT_TRUE(pumpUntil([&] { return successes > 0; }));
    EXPECT_EQ(statuses, (std::vector<std::string>{"pause", "resume"}));
    ASSERT_TRUE(task->downloadData());
    EXPECT_EQ(*task->downloadData(), photo);

    json downloads;
    for (const auto& r : storageRequests())
        if (r["kind"] == "download") downloads.push_back(r);
    ASSERT_GE(downloads.size(), 2u);
    EXPECT_EQ(header(downloads[0], "Range"), "(absent)");
    std::string range = header(downloads.back(), "Range");
    EXPECT_EQ(range.rfind("bytes=", 0), 0u) << range;
    EXPECT_NE(range, "bytes=0-");
}

TEST_F(StorageTransferTest, APausedUploadContinuesFromWhatTheServerHolds) {
    std::string uid = signIn("staff-gala");
    auto ref = storage_->reference()->child("profiles/" + uid + ".jpg");
    ns::Data photo = bytesOf(6 * 1000 * 1000, 21);
    // The first chunk's answer comes late enough to pause while it is out.
    addFault({{"kind", "uploadChunk"}, {"delayMs", 2000}});
    auto task = ref->putData(photo);
    std::vector<std::string> statuses;
    task->observeStatus(QRVStorageTaskStatusPause, [&](QRVStorageTaskSnapshotPtr s) {
        EXPECT_EQ(s->metadata()->path(), "profiles/staff-gala.jpg");
        statuses.push_back("pause");
    });
    bool sending = false;
    // (A progress observer of a running task is called at once: wait for bytes.)
    task->observeStatus(QRVStorageTaskStatusProgress,
                        [&](QRVStorageTaskSnapshotPtr s) { sending |= s->progress()->completedUnitCount() > 0; });
    ASSERT_TRUE(pumpUntil([&] { return sending; }));
    task->pause();
    ASSERT_TRUE(pumpUntil([&] { return !statuses.empty(); }));
    task->observeStatus(QRVStorageTaskStatusResume, [&](QRVStorageTaskSnapshotPtr) { statuses.push_back("resume"); });
    task->resume();
    QRVStorageTaskSnapshotPtr success;
    task->observeStatus(QRVStorageTaskStatusSuccess, [&](QRVStorageTaskSnapshotPtr s) { success = s; });
    ASSERT_TRUE(pumpUntil([&] { return success != nullptr; }));
    EXPECT_EQ(statuses, (std::vector<std::string>{"pause", "resume"}));
    EXPECT_EQ(success->metadata()->size(), int64_t(photo.size()));
    std::vector<std::string> kinds = requestKinds();
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), "uploadQuery"), kinds.end()) << json(kinds).dump();
    EXPECT_EQ(*get(ref, 10 << 20).value, photo);
}

TEST_F(StorageTransferTest, AnEmptyObjectUploadsAndDownloads) {
    std::string uid = signIn("staff-hana");
    auto ref = storage_->reference()->child("profiles/" + uid + ".jpg");
    auto uploaded = put(ref, ns::Data{});
    ASSERT_FALSE(uploaded.error) << uploaded.error->description();
    EXPECT_EQ(uploaded.value->size(), 0);
    auto downloaded = get(ref, 100);
    ASSERT_FALSE(downloaded.error) << downloaded.error->description();
    ASSERT_TRUE(downloaded.value);
    EXPECT_TRUE(downloaded.value->empty());
}

TEST_F(StorageTransferTest, MetadataIsReadUpdatedAndDeleted) {
    std::string uid = signIn("staff-eva");
    auto ref = storage_->reference()->child("profiles/" + uid + ".jpg");
    ASSERT_FALSE(put(ref, bytesOf(1000)).error);

    auto read = readMetadata(ref);
    ASSERT_FALSE(read.error);
    EXPECT_TRUE(read.onMainThread);
    EXPECT_EQ(read.value->bucket(), kBucket);
    EXPECT_EQ(read.value->contentType(), "application/octet-stream");
    EXPECT_EQ(read.value->metageneration(), 1);
    EXPECT_TRUE(read.value->timeCreated());

    QRVStorageMetadata change;
    change.setContentType("image/png");
    change.setCustomMetadata(QRVStorageMetadata::StringMap{{"store", "David"}});
    Completion<QRVStorageMetadataPtr> updated;
    ref->updateMetadata(change, [&](QRVStorageMetadataPtr metadata, ns::ErrorRef error) {
        updated.value = metadata;
        updated.error = error;
        ++updated.calls;
    });
    ASSERT_TRUE(pumpUntil([&] { return updated.done(); }));
    ASSERT_FALSE(updated.error) << updated.error->description();
    EXPECT_EQ(updated.value->contentType(), "image/png");
    EXPECT_EQ(updated.value->customMetadata()->at("store"), "David");
    EXPECT_EQ(updated.value->metageneration(), 2);
    EXPECT_EQ(readMetadata(ref).value->customMetadata()->at("store"), "David");

    std::vector<ns::ErrorRef> deletes;
    ref->deleteWithCompletion([&](ns::ErrorRef error) { deletes.push_back(error); });
    ASSERT_TRUE(pumpUntil([&] { return deletes.size() == 1; }));
    EXPECT_FALSE(deletes[0]);
    ref->deleteWithCompletion([&](ns::ErrorRef error) { deletes.push_back(error); });
    ASSERT_TRUE(pumpUntil([&] { return deletes.size() == 2; }));
    ASSERT_TRUE(deletes[1]);
    EXPECT_EQ(deletes[1]->code(), QRVStorageErrorCodeObjectNotFound);
    EXPECT_EQ(readMetadata(ref).error->code(), QRVStorageErrorCodeObjectNotFound);
}

TEST_F(StorageTransferTest, DownloadURLsCarryTheTokenAndNeedNoHeader) {
    signIn("staff-fito");
    ns::Data photo = bytesOf(5000, 9);
    putObject("products/123.jpg", photo);
    Completion<std::optional<std::string>> url;
    storage_->referenceWithPath("products/123.jpg")
        ->downloadURLWithCompletion([&](std::optional<std::string> u, ns::ErrorRef error) {
            url.value = u;
            url.error = error;
            ++url.calls;
        });
    ASSERT_TRUE(pumpUntil([&] { return url.done(); }));
    ASSERT_FALSE(url.error);
    ASSERT_TRUE(url.value);
    EXPECT_EQ(url.value->rfind("https://quorvanestorage.quorvaneapis.com/v0/b/almavel-pa.quorvanestorage.com/o/"
                               "products%2F123.jpg?alt=media&token=",
                               0),
              0u)
        << *url.value;

    // A plain request, no storage client and no Authorization header.
    bool done = false;
    ns::Data body;
    long status = 0;
    ns::URLSessionConfiguration configuration;
    configuration.delegateQueue = ns::DispatchQueue::main();
    ns::URLSession::make(configuration)
        ->dataTask(*url.value,
                   [&](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef) {
                       status = response ? response->statusCode() : 0;
                       body = std::move(data);
                       done = true;
                   })
        ->resume();
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, photo);
}

}  // namespace
