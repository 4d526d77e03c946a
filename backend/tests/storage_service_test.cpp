// The storage service of the almavel-backend program, started for real
// (seeded) and spoken to over loopback HTTPS.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backend/core/http_util.h"
#include "backend/core/request_log.h"
#include "backend/storage/storage_seed.h"
#include "backend/storage/storage_service.h"
#include "backend/storage/storage_store.h"
#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using ns::testing::Backend;

constexpr const char* kBucket = "almavel-pa.quorvanestorage.com";
constexpr const char* kApiKey = "AKlocal-almavel-0000000000000000000000";
constexpr const char* kStaffProfile = "profiles%2FalmavelStaff0000000000000001.jpg";

json parse(const std::string& text) { return json::parse(text, nullptr, false); }

std::string objectPath(const std::string& escapedName, const std::string& query = "") {
    return std::string("/v0/b/") + kBucket + "/o/" + escapedName + (query.empty() ? "" : "?" + query);
}

// Bytes that are not all alike, so a misplaced chunk shows.
std::string pattern(std::size_t size, unsigned seed = 7) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = char((i * 31 + seed * 17 + i / 251) & 0xff);
    return out;
}

struct Reply {
    int status = 0;  // 0: no answer
    std::string body;
    httplib::Headers headers;
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
    json parsed() const { return parse(body); }
};

class StorageServiceTest : public ::testing::Test {
protected:
    void SetUp() override { launch(); }

    // A seeded back end, the staff member and another user signed in.
    void launch(std::vector<std::string> extraArgs = {}) {
        Backend::Options options;
        options.seed = true;
        options.extraArgs = std::move(extraArgs);
        backend_.reset();
        backend_ = Backend::start(options);
        staff_ = signIn("personal@almavel.com.pa", "Almavel2024");
        auto made = backend_->post("/__admin/auth/users",
                                   json{{"email", "otra@almavel.com.pa"}, {"password", "secreto1"}, {"uid", "otherUid"}}.dump());
        ASSERT_EQ(made.status, 200) << made.body;
        other_ = signIn("otra@almavel.com.pa", "secreto1");
    }

    std::string signIn(const std::string& email, const std::string& password) {
        auto reply = backend_->post(std::string("/account/v1/signIn?key=") + kApiKey,
                                    json{{"email", email}, {"password", password}}.dump());
        EXPECT_EQ(reply.status, 200) << reply.body;
        return parse(reply.body).value("idToken", "");
    }

    // One request on the HTTPS listener, as the SDK sends it.
    Reply send(const std::string& method, const std::string& path, const std::string& token = "",
               const std::string& body = "", httplib::Headers headers = {}) {
        auto client = backend_->tlsClient();
        client->set_url_encode(false);
        headers.emplace("x-quorvane-storage-version", "ios/2.0.0");
        if (!token.empty()) headers.emplace("Authorization", "Quorvane " + token);
        const std::string type = "application/json; charset=UTF-8";
        auto result = [&] {
            if (method == "POST") return client->Post(path, headers, body, type);
            if (method == "PUT") return client->Put(path, headers, body, "application/octet-stream");
            if (method == "PATCH") return client->Patch(path, headers, body, type);
            if (method == "DELETE") return client->Delete(path, headers);
            return client->Get(path, headers);
        }();
        Reply reply;
        if (result) {
            reply.status = result->status;
            reply.body = result->body;
            reply.headers = result->headers;
        }
        return reply;
    }

    // The path of a new upload session's URL (after the host).
    std::string startUpload(const std::string& escapedName, const std::string& token, const json& metadata) {
        // The name first: the service reads the query by key.
        auto reply = send("POST", objectPath(escapedName, "name=" + escapedName + "&uploadType=resumable"), token,
                          metadata.dump());
        EXPECT_EQ(reply.status, 200) << reply.body;
        const std::string location = reply.header("Location");
        const auto scheme = location.find("://");
        const auto path = scheme == std::string::npos ? std::string::npos : location.find('/', scheme + 3);
        EXPECT_NE(path, std::string::npos) << location;
        return path == std::string::npos ? "" : location.substr(path);
    }

    Reply putChunk(const std::string& session, const std::string& bytes, std::size_t first, const std::string& total) {
        const std::string range = bytes.empty() ? "bytes */" + total
                                                : "bytes " + std::to_string(first) + "-" +
                                                      std::to_string(first + bytes.size() - 1) + "/" + total;
        return send("PUT", session, "", bytes, {{"Content-Range", range}});
    }

    json objects() {
        auto reply = backend_->get(std::string("/__admin/storage/objects?bucket=") + kBucket);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return parse(reply.body)["objects"];
    }
    json sessions() { return parse(backend_->get("/__admin/storage/sessions").body)["sessions"]; }
    // Moves the clock upload sessions lapse by.
    void advanceSessionClock(int64_t ms) {
        auto reply = backend_->post("/__admin/storage/clock", json{{"advanceMs", ms}}.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    // The escaped names of the seeded product photos under 1 MiB.
    std::vector<std::string> smallProductPhotos() {
        std::vector<std::string> out;
        for (const auto& o : objects()) {
            const std::string name = o["name"];
            if (name.rfind("products/", 0) == 0 && std::stoll(o["size"].get<std::string>()) <= 1048576) {
                out.push_back("products%2F" + name.substr(9));
            }
        }
        return out;
    }

    std::unique_ptr<Backend> backend_;
    std::string staff_, other_;
};

TEST_F(StorageServiceTest, ChunkedUploadIsReadBackWholeAndInRanges) {
    const std::string data = pattern(300000);
    const std::string total = std::to_string(data.size());
    const json seeded = objects();
    const std::string session =
        startUpload(kStaffProfile, staff_, {{"name", "profiles/almavelStaff0000000000000001.jpg"},
                                            {"contentType", "image/jpeg"},
                                            {"metadata", {{"taken", "hoy"}}}});

    auto status = putChunk(session, "", 0, total);
    EXPECT_EQ(status.status, 308);
    EXPECT_EQ(status.header("Range"), "");

    auto first = putChunk(session, data.substr(0, 100000), 0, "*");
    EXPECT_EQ(first.status, 308);
    EXPECT_EQ(first.header("Range"), "bytes=0-99999");
    status = putChunk(session, "", 0, total);
    EXPECT_EQ(status.status, 308);
    EXPECT_EQ(status.header("Range"), "bytes=0-99999");

    // An overlap, a gap and a total that changes are refused; nothing of them counts.
    EXPECT_EQ(putChunk(session, data.substr(50000, 100000), 50000, total).status, 400);
    EXPECT_EQ(putChunk(session, data.substr(150000, 1000), 150000, total).status, 400);
    EXPECT_EQ(putChunk(session, data.substr(100000, 1000), 100000, "400000").status, 400);
    EXPECT_EQ(send("PUT", session, "", data.substr(100000, 10), {{"Content-Range", "bytes 100000-100019/300000"}}).status,
              400);
    EXPECT_EQ(putChunk(session, "", 0, total).header("Range"), "bytes=0-99999");
    EXPECT_EQ(objects(), seeded);  // the profile photo is replaced only at the end

    auto done = putChunk(session, data.substr(100000), 100000, total);
    ASSERT_EQ(done.status, 200) << done.body;
    const json metadata = done.parsed();
    EXPECT_EQ(metadata["name"], "profiles/almavelStaff0000000000000001.jpg");
    EXPECT_EQ(metadata["bucket"], kBucket);
    EXPECT_EQ(metadata["size"], total);
    EXPECT_EQ(metadata["contentType"], "image/jpeg");
    EXPECT_EQ(metadata["metadata"], (json{{"taken", "hoy"}}));
    EXPECT_EQ(metadata["metageneration"], "1");
    EXPECT_TRUE(metadata["downloadTokens"].is_string());
    EXPECT_EQ(metadata["timeCreated"].get<std::string>().back(), 'Z');

    // A repeat of the last chunk (its answer lost) gets the same object.
    auto again = putChunk(session, data.substr(100000), 100000, total);
    EXPECT_EQ(again.status, 200);
    EXPECT_EQ(again.parsed()["generation"], metadata["generation"]);

    auto whole = send("GET", objectPath(kStaffProfile, "alt=media"), other_);
    ASSERT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, data);
    EXPECT_EQ(whole.header("Content-Type"), "image/jpeg");
    EXPECT_EQ(send("GET", objectPath(kStaffProfile), other_).parsed(), metadata);

    auto tail = send("GET", objectPath(kStaffProfile, "alt=media"), staff_, "", {{"Range", "bytes=123456-"}});
    ASSERT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body, data.substr(123456));
    EXPECT_EQ(tail.header("Content-Range"), "bytes 123456-299999/300000");
    // A resume against another generation starts over.
    auto changed = send("GET", objectPath(kStaffProfile, "alt=media"), staff_, "",
                        {{"Range", "bytes=123456-"}, {"If-Range", "\"1\""}});
    EXPECT_EQ(changed.status, 200);
    EXPECT_EQ(changed.body.size(), data.size());
    EXPECT_EQ(send("GET", objectPath(kStaffProfile, "alt=media"), staff_, "", {{"Range", "bytes=300000-"}}).status,
              416);
}

TEST_F(StorageServiceTest, AnnouncedUploadsAndEmptyObjects) {
    auto started = send("POST", objectPath(kStaffProfile, "uploadType=resumable"), staff_, "{}",
                        {{"X-Upload-Content-Length", "10"}, {"X-Upload-Content-Type", "image/jpeg"}});
    ASSERT_EQ(started.status, 200);
    const std::string location = started.header("Location");
    const std::string session = location.substr(location.find("/v0/"));
    EXPECT_EQ(putChunk(session, "abcd", 0, "12").status, 400);  // not the announced total
    EXPECT_EQ(putChunk(session, "abcd", 0, "*").status, 308);
    auto done = putChunk(session, "efghij", 4, "*");
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.parsed()["contentType"], "image/jpeg");
    EXPECT_EQ(send("GET", objectPath(kStaffProfile, "alt=media"), staff_).body, "abcdefghij");

    // Nothing to send: the status query with a total of 0 finishes it.
    const std::string empty = startUpload(kStaffProfile, staff_, json::object());
    auto made = putChunk(empty, "", 0, "0");
    ASSERT_EQ(made.status, 200) << made.body;
    EXPECT_EQ(made.parsed()["size"], "0");
    EXPECT_EQ(made.parsed()["contentType"], "application/octet-stream");
    auto bytes = send("GET", objectPath(kStaffProfile, "alt=media"), staff_);
    EXPECT_EQ(bytes.status, 200);
    EXPECT_EQ(bytes.body, "");
}

TEST_F(StorageServiceTest, RestartKeepsObjectsAndAcknowledgedUploadBytes) {
    const std::string data = pattern(200000, 3);
    const std::string session = startUpload(kStaffProfile, staff_, {{"contentType", "image/jpeg"}});
    ASSERT_EQ(putChunk(session, data.substr(0, 80000), 0, "*").status, 308);

    backend_->kill();  // a crash, not a clean stop
    // ...that came after more bytes were written but before they were acknowledged.
    const std::string id = session.substr(session.find("upload_id=") + 10);
    std::ofstream(backend_->dataDir() + "/storage/sessions/" + id + ".part", std::ios::app) << "unacknowledged";
    backend_->restart();

    auto status = putChunk(session, "", 0, std::to_string(data.size()));
    EXPECT_EQ(status.status, 308);
    EXPECT_EQ(status.header("Range"), "bytes=0-79999");
    // The old photo is still the one served until the upload finishes.
    auto before = send("GET", objectPath(kStaffProfile, "alt=media"), staff_);
    ASSERT_EQ(before.status, 200);
    EXPECT_NE(before.body, data);

    ASSERT_EQ(putChunk(session, data.substr(80000), 80000, std::to_string(data.size())).status, 200);
    backend_->restart();
    auto after = send("GET", objectPath(kStaffProfile, "alt=media"), staff_);
    ASSERT_EQ(after.status, 200);
    EXPECT_EQ(after.body, data);
    EXPECT_EQ(send("GET", objectPath(smallProductPhotos().at(0)), staff_).status, 200);

    // A cancelled session is gone with its bytes.
    const std::string cancelled = startUpload(kStaffProfile, staff_, json::object());
    ASSERT_EQ(putChunk(cancelled, data.substr(0, 1000), 0, "*").status, 308);
    EXPECT_EQ(send("DELETE", cancelled).status, 204);
    EXPECT_EQ(send("DELETE", cancelled).status, 404);
    EXPECT_EQ(putChunk(cancelled, "", 0, "*").status, 404);
}

TEST_F(StorageServiceTest, SeededPhotosAndDownloadTokens) {
    // Every product of the seeded database but one has a JPEG photo, one of them over 1 MiB.
    const json database = parse(*backend::readFile(backend_->dataDir() + "/database.json"));
    int missing = 0, large = 0;
    for (const auto& [code, product] : database["Productos"].items()) {
        auto photo = send("GET", objectPath("products%2F" + code + ".jpg", "alt=media"), staff_);
        if (photo.status == 404) {
            ++missing;
            continue;
        }
        ASSERT_EQ(photo.status, 200) << code;
        EXPECT_EQ(photo.body.substr(0, 3), "\xFF\xD8\xFF") << code;
        EXPECT_EQ(photo.header("Content-Type"), "image/jpeg");
        if (photo.body.size() > 1048576) ++large;
    }
    EXPECT_EQ(missing, 1);
    EXPECT_EQ(large, 1);
    EXPECT_EQ(send("GET", objectPath(kStaffProfile, "alt=media"), other_).status, 200);

    const auto photos = smallProductPhotos();
    ASSERT_GE(photos.size(), 2u);
    const json metadata = send("GET", objectPath(photos[0]), staff_).parsed();
    const std::string token = metadata["downloadTokens"];
    EXPECT_EQ(send("GET", objectPath(photos[0], "alt=media")).status, 401);
    auto byToken = send("GET", objectPath(photos[0], "token=" + token + "&alt=media"));
    EXPECT_EQ(byToken.status, 200);
    EXPECT_EQ(byToken.header("Content-Length"), metadata["size"]);
    EXPECT_EQ(send("GET", objectPath(photos[0], "alt=media&token=0000")).status, 403);
    // A token opens only its own object.
    EXPECT_EQ(send("GET", objectPath(photos[1], "alt=media&token=" + token)).status, 403);

    // Without a credential to read it, a token that does not open an object
    // does not tell whether the object exists.
    const std::string profileToken = send("GET", objectPath(kStaffProfile), staff_).parsed()["downloadTokens"];
    const std::string wrongToken = objectPath(kStaffProfile, "alt=media&token=0000");
    const std::string oldToken = objectPath(kStaffProfile, "alt=media&token=" + profileToken);
    const Reply existing = send("GET", wrongToken);
    ASSERT_EQ(send("DELETE", objectPath(kStaffProfile), staff_).status, 204);
    for (const auto& target : {wrongToken, oldToken}) {
        const Reply missing = send("GET", target);
        EXPECT_EQ(missing.status, existing.status) << target;
        EXPECT_EQ(missing.body, existing.body) << target;
    }
    EXPECT_EQ(existing.status, 403);
    EXPECT_EQ(existing.parsed()["error"]["code"], 403);
    // A caller who may read it learns no more than without the token.
    EXPECT_EQ(send("GET", oldToken, other_).status, 404);
}

TEST_F(StorageServiceTest, UpdateChangesWritableFieldsAndBumpsMetageneration) {
    const std::string path = objectPath(smallProductPhotos().at(0));
    // Only the owner of a profile writes it, so the updates go to the staff member's photo.
    const std::string profile = objectPath(kStaffProfile);
    const json read = send("GET", profile, staff_).parsed();
    json change = read;  // the client sends back what it read, read-only keys included
    change["contentType"] = "image/png";
    change["metadata"] = {{"color", "azul"}, {"size", "M"}};
    auto updated = send("PATCH", profile, staff_, change.dump());
    ASSERT_EQ(updated.status, 200) << updated.body;
    EXPECT_EQ(updated.parsed()["metageneration"], "2");
    EXPECT_EQ(updated.parsed()["generation"], read["generation"]);
    EXPECT_EQ(updated.parsed()["contentType"], "image/png");

    auto merged = send("PATCH", profile, staff_, json{{"metadata", {{"size", nullptr}, {"pais", "PA"}}}}.dump());
    ASSERT_EQ(merged.status, 200);
    EXPECT_EQ(merged.parsed()["metadata"], (json{{"color", "azul"}, {"pais", "PA"}}));
    EXPECT_EQ(merged.parsed()["metageneration"], "3");

    EXPECT_EQ(send("PATCH", path, staff_, json{{"contentType", "x/y"}}.dump()).status, 403);
    EXPECT_EQ(send("PATCH", objectPath("profiles%2Fnobody.jpg"), "", "{}").status, 401);
    EXPECT_EQ(send("GET", profile, staff_).parsed()["metageneration"], "3");
}

TEST_F(StorageServiceTest, RulesForProductsAndProfiles) {
    const std::string tampered = staff_.substr(0, staff_.size() - 4) + "AAAA";
    // The seeded bucket belongs to the sample app: a token issued for another app is not accepted.
    ASSERT_EQ(backend_->post("/__admin/auth/apiKeys", json{{"apiKey", "AKother"}, {"appId", "1:9:ios:9"}}.dump()).status,
              200);
    auto otherSignIn = backend_->post("/account/v1/signIn?key=AKother",
                                      json{{"email", "otra@almavel.com.pa"}, {"password", "secreto1"}}.dump());
    const std::string otherApp = parse(otherSignIn.body).value("idToken", "");
    ASSERT_FALSE(otherApp.empty()) << otherSignIn.body;
    struct Case {
        const char* method;
        std::string name;
        std::string token;
        int status;
    };
    const std::string otherProfile = "profiles%2FotherUid.jpg";
    const std::string product = smallProductPhotos().at(0);
    const std::vector<Case> cases = {
        {"GET", product, "", 401},
        {"GET", product, staff_, 200},
        {"GET", product, other_, 200},
        {"GET", product, tampered, 401},
        {"GET", kStaffProfile, "", 401},
        {"GET", kStaffProfile, other_, 200},
        {"GET", product, otherApp, 401},
        {"GET", "secret%2Fplan.txt", staff_, 403},
        {"GET", "secret%2Fplan.txt", "", 401},
        {"POST", product, staff_, 403},
        {"POST", kStaffProfile, other_, 403},
        {"POST", kStaffProfile, "", 401},
        {"POST", otherProfile, other_, 200},
        {"POST", kStaffProfile, staff_, 200},
        {"PATCH", kStaffProfile, other_, 403},
        {"DELETE", kStaffProfile, other_, 403},
        {"DELETE", product, staff_, 403},
        {"DELETE", kStaffProfile, staff_, 204},
        {"DELETE", kStaffProfile, staff_, 404},
        {"GET", kStaffProfile, staff_, 404},
    };
    for (const auto& c : cases) {
        const std::string query = std::string(c.method) == "POST" ? "uploadType=resumable" : "";
        auto reply = send(c.method, objectPath(c.name, query), c.token, std::string(c.method) == "GET" ? "" : "{}");
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.name << " " << reply.body;
        if (reply.status >= 400) {
            const json error = reply.parsed()["error"];
            EXPECT_EQ(error["code"], c.status) << reply.body;
            EXPECT_TRUE(error["message"].is_string()) << reply.body;
        }
    }
}

TEST_F(StorageServiceTest, BadInputIsRefusedAndChangesNothing) {
    const json before = objects();
    const std::string longName(1100, 'a');
    const std::vector<std::string> targets = {
        objectPath("products%2FP-10%zz.jpg"),
        objectPath("products%2FP-1001.jpg%2"),
        objectPath("products%2F..%2Fprofiles%2Fx.jpg"),
        objectPath("profiles%2F%2FalmavelStaff0000000000000001.jpg"),
        objectPath("profiles%2Fa%0Ab.jpg"),
        objectPath("profiles%2F" + longName + ".jpg"),
        objectPath(kStaffProfile, "alt=media&alt=json"),
        "/v0/b/Bad%20Bucket/o/x",
    };
    for (const auto& target : targets) {
        EXPECT_EQ(send("GET", target, staff_).status, 400) << target;
        EXPECT_EQ(send("PATCH", target, staff_, "{}").status, 400) << target;
        EXPECT_EQ(send("DELETE", target, staff_).status, 400) << target;
    }
    const std::vector<json> metadata = {
        {{"contentType", 5}},
        {{"metadata", {{"a", 1}}}},
        {{"metadata", "text"}},
        {{"metadata", {{"big", std::string(9000, 'x')}}}},
        {{"cacheControl", std::string(2000, 'x')}},
        {{"generation", true}},
        {{"unknown", "x"}},
        {{"name", "profiles/otherUid.jpg"}},
        json::array(),
    };
    for (const auto& body : metadata) {
        EXPECT_EQ(send("PATCH", objectPath(kStaffProfile), staff_, body.dump()).status, 400) << body;
        EXPECT_EQ(send("POST", objectPath(kStaffProfile, "uploadType=resumable"), staff_, body.dump()).status, 400)
            << body;
    }
    EXPECT_EQ(send("PATCH", objectPath(kStaffProfile), staff_, "{\"contentType\":").status, 400);
    EXPECT_EQ(send("POST", objectPath(kStaffProfile, "uploadType=media"), staff_, "{}").status, 400);
    EXPECT_EQ(send("POST", objectPath(kStaffProfile, "uploadType=resumable&name=profiles%2FotherUid.jpg"), staff_, "{}")
                  .status,
              400);
    const std::string session = startUpload(kStaffProfile, staff_, json::object());
    for (const char* range : {"bytes 5-3/10", "bytes 0-1", "items 0-1/2", "bytes -1-0/2", "bytes 0-1/x"}) {
        EXPECT_EQ(send("PUT", session, "", "ab", {{"Content-Range", range}}).status, 400) << range;
    }
    EXPECT_EQ(send("PUT", session, "", "abc", {{"Content-Range", "bytes 0-1/3"}}).status, 400);
    EXPECT_EQ(send("PUT", session, "", "ab", {{"Content-Range", "bytes */2"}}).status, 400);
    EXPECT_EQ(send("PUT", objectPath(kStaffProfile), staff_, "ab").status, 400);  // no session

    EXPECT_EQ(objects(), before);
    EXPECT_EQ(putChunk(session, "", 0, "*").header("Range"), "");
}

TEST_F(StorageServiceTest, QuotaRefusesUploadsThatWouldExceedIt) {
    ASSERT_EQ(backend_->post("/__admin/storage/buckets", json{{"bucket", kBucket}, {"quotaBytes", 1}}.dump()).status,
              200);
    const json before = objects();
    // An announced size is checked at once.
    auto announced = send("POST", objectPath(kStaffProfile, "uploadType=resumable"), staff_, "{}",
                          {{"X-Upload-Content-Length", "1000"}});
    EXPECT_EQ(announced.status, 402);
    EXPECT_EQ(announced.header("Location"), "");
    EXPECT_TRUE(sessions().empty());
    const std::string session = startUpload(kStaffProfile, staff_, json::object());
    auto refused = putChunk(session, pattern(1000), 0, "1000");
    EXPECT_EQ(refused.status, 402);
    EXPECT_EQ(objects(), before);
    ASSERT_EQ(backend_->post("/__admin/storage/buckets", json{{"bucket", kBucket}, {"quotaBytes", nullptr}}.dump()).status,
              200);
    EXPECT_EQ(putChunk(session, pattern(1000), 0, "1000").status, 200);
}

TEST_F(StorageServiceTest, FaultsAnswerDelayAndCut) {
    const std::string product = smallProductPhotos().at(0);
    const std::string photo = objectPath(product);
    backend_->addStorageFault({.kind = "metadata", .count = 2, .status = 503});
    EXPECT_EQ(send("GET", photo, staff_).status, 503);
    EXPECT_EQ(send("GET", photo, staff_).status, 503);
    EXPECT_EQ(send("GET", photo, staff_).status, 200);
    // A delay alone still acts on the request.
    backend_->addStorageFault({.kind = "metadata", .delayMs = 20});
    EXPECT_EQ(send("GET", photo, staff_).status, 200);

    // A download cut after its head and 100 bytes.
    backend_->addStorageFault({.kind = "download", .cut = true, .cutAfterBytes = 100});
    EXPECT_EQ(send("GET", objectPath(product, "alt=media"), staff_).status, 0);
    auto resumed = send("GET", objectPath(product, "alt=media"), staff_, "", {{"Range", "bytes=100-"}});
    EXPECT_EQ(resumed.status, 206);

    // A chunk cut after 1000 of its bytes: no answer, and those bytes arrived.
    const std::string data = pattern(5000);
    const std::string session = startUpload(kStaffProfile, staff_, json::object());
    backend_->addStorageFault({.kind = "uploadChunk", .cut = true, .cutAfterBytes = 1000});
    EXPECT_EQ(putChunk(session, data, 0, "5000").status, 0);
    auto status = putChunk(session, "", 0, "5000");
    EXPECT_EQ(status.status, 308);
    EXPECT_EQ(status.header("Range"), "bytes=0-999");
    EXPECT_EQ(putChunk(session, data.substr(1000), 1000, "5000").status, 200);
    EXPECT_EQ(send("GET", objectPath(kStaffProfile, "alt=media"), staff_).body, data);

    const auto seen = backend_->storageRequests();
    std::vector<std::string> kinds;
    for (const auto& r : seen) kinds.push_back(r.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"metadata", "metadata", "metadata", "metadata", "download", "download",
                                               "startUpload", "uploadChunk", "uploadQuery", "uploadChunk", "download"}));
    EXPECT_TRUE(seen[0].fault);
    EXPECT_FALSE(seen[2].fault);
    EXPECT_TRUE(seen[3].fault);
    EXPECT_EQ(seen[3].status, 200);
    EXPECT_EQ(seen[4].status, 200);
    EXPECT_EQ(seen[5].header("Range"), "bytes=100-");
    EXPECT_EQ(seen[7].status, 0);
    EXPECT_EQ(seen[7].header("Content-Range"), "bytes 0-4999/5000");
    EXPECT_NE(seen[6].query.find("uploadType=resumable"), std::string::npos);
    backend_->clearStorageRequests();
    EXPECT_TRUE(backend_->storageRequests().empty());

    auto refused = backend_->post("/__admin/storage/faults", json{{"status", 503}, {"cut", true}}.dump());
    EXPECT_EQ(refused.status, 400);
}

TEST_F(StorageServiceTest, OpenSessionsAreBoundedPerUserAndNeverEvictOthers) {
    // The staff member's upload holds an acknowledged mebibyte.
    const std::string data = pattern(1 << 20, 5);
    const std::string kept = startUpload(kStaffProfile, staff_, json::object());
    ASSERT_EQ(putChunk(kept, data, 0, "*").status, 308);

    // Another user opens sessions until refused, and far past where the
    // oldest sessions of everyone used to be dropped.
    const std::string mine = objectPath("profiles%2FotherUid.jpg", "uploadType=resumable");
    int opened = 0;
    Reply refused;
    std::string first;
    for (int i = 0; i < 1100 && refused.status == 0; ++i) {
        auto reply = send("POST", mine, other_, "{}");
        if (reply.status == 200) {
            ++opened;
            if (first.empty()) first = reply.header("Location").substr(reply.header("Location").find("/v0/"));
        } else {
            refused = reply;
        }
    }
    EXPECT_EQ(opened, int(backend::storage::kMaxOpenSessionsPerOwner));
    ASSERT_EQ(refused.status, 429) << refused.body;
    EXPECT_EQ(refused.parsed()["error"]["code"], 429);
    EXPECT_TRUE(refused.parsed()["error"]["message"].is_string());
    EXPECT_EQ(refused.header("Location"), "");

    auto status = putChunk(kept, "", 0, "*");
    EXPECT_EQ(status.status, 308);
    EXPECT_EQ(status.header("Range"), "bytes=0-1048575");
    // The owner of the kept session is not held back by the other user.
    EXPECT_EQ(send("POST", objectPath(kStaffProfile, "uploadType=resumable"), staff_, "{}").status, 200);
    // A finished or cancelled session frees its place.
    ASSERT_EQ(send("DELETE", first).status, 204);
    EXPECT_EQ(send("POST", mine, other_, "{}").status, 200);
    EXPECT_EQ(send("POST", mine, other_, "{}").status, 429);
    ASSERT_EQ(putChunk(kept, data.substr(0, 10), 1 << 20, std::to_string((1 << 20) + 10)).status, 200);
    EXPECT_EQ(send("GET", objectPath(kStaffProfile, "alt=media"), staff_).body, data + data.substr(0, 10));
}

// The finishing step of an upload (part file -> blob -> object record ->
// finished session) killed at each of its points and at random moments:
// afterwards the upload is complete with exactly its bytes, or resumes with
// at least the bytes it had acknowledged.
TEST_F(StorageServiceTest, KillWhileFinishingKeepsEveryAcknowledgedByte) {
    // A chunk may be mid-send when the back end dies: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::mt19937 random(20240607);
    const char* const steps[] = {"journaled", "renamed", "committed", nullptr};  // null: a kill from outside
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string data = pattern(40000 + std::size_t(round) * 997, unsigned(round));
        const std::string total = std::to_string(data.size());
        const std::size_t acknowledged = 30000;
        const std::string session = startUpload(kStaffProfile, staff_, {{"contentType", "image/jpeg"}});
        ASSERT_EQ(putChunk(session, data.substr(0, acknowledged), 0, "*").status, 308);

        const char* step = steps[round % 4];
        if (step) {
            ASSERT_EQ(backend_->post("/__admin/storage/faults",
                                     json{{"kind", "uploadChunk"}, {"step", step}, {"crash", true}}.dump())
                          .status,
                      200);
            EXPECT_EQ(putChunk(session, data.substr(acknowledged), acknowledged, total).status, 0);
        } else {
            std::thread finisher([&] { putChunk(session, data.substr(acknowledged), acknowledged, total); });
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
            backend_->kill();
            finisher.join();
        }
        backend_->kill();
        backend_->restart();

        auto status = putChunk(session, "", 0, total);
        if (status.status == 308) {
            const std::string range = status.header("Range");
            const std::size_t received = range.empty() ? 0 : std::stoul(range.substr(range.find('-') + 1)) + 1;
            ASSERT_GE(received, acknowledged) << range;
            ASSERT_EQ(putChunk(session, data.substr(received), received, total).status, 200);
        } else {
            ASSERT_EQ(status.status, 200) << status.body;
            EXPECT_EQ(status.parsed()["size"], total);
        }
        auto bytes = send("GET", objectPath(kStaffProfile, "alt=media"), staff_);
        ASSERT_EQ(bytes.status, 200);
        ASSERT_EQ(bytes.body, data);
    }
    // Nothing was left behind for the restarts to collect.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(backend_->dataDir() + "/storage/sessions"),
                            std::filesystem::directory_iterator()),
              std::ptrdiff_t(sessions().size()));
}

TEST_F(StorageServiceTest, LargeObjectDownloadsByteExactWholeAndInRanges) {
    const std::size_t size = 64u << 20, chunk = 8u << 20;
    const std::string data = pattern(size, 11);
    const std::string session = startUpload(kStaffProfile, staff_, {{"contentType", "video/mp4"}});
    for (std::size_t at = 0; at < size; at += chunk) {
        ASSERT_EQ(putChunk(session, data.substr(at, chunk), at, std::to_string(size)).status,
                  at + chunk < size ? 308 : 200);
    }
    auto whole = send("GET", objectPath(kStaffProfile, "alt=media"), staff_);
    ASSERT_EQ(whole.status, 200);
    EXPECT_EQ(whole.header("Content-Length"), std::to_string(size));
    EXPECT_EQ(whole.header("Content-Type"), "video/mp4");
    EXPECT_TRUE(whole.body == data) << "the downloaded bytes differ";
    struct Case {
        std::string range;
        std::size_t first, last;
    };
    for (const Case& c : std::vector<Case>{{"bytes=10000000-20000000", 10000000, 20000000},
                                           {"bytes=67100000-", 67100000, size - 1},
                                           {"bytes=-65537", size - 65537, size - 1},
                                           {"bytes=0-0", 0, 0}}) {
        auto part = send("GET", objectPath(kStaffProfile, "alt=media"), staff_, "", {{"Range", c.range}});
        ASSERT_EQ(part.status, 206) << c.range;
        EXPECT_EQ(part.header("Content-Range"), "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/" +
                                                    std::to_string(size));
        EXPECT_TRUE(part.body == data.substr(c.first, c.last - c.first + 1)) << c.range;
    }
    // A cut download still sends its head and the bytes asked for, from the file.
    backend_->addStorageFault({.kind = "download", .cut = true, .cutAfterBytes = 5000});
    EXPECT_EQ(send("GET", objectPath(kStaffProfile, "alt=media"), staff_).status, 0);
}

// A chunk held inside the store just after its bytes were synced, before the
// session moves on: what other callers do meanwhile must not wait for it.
TEST_F(StorageServiceTest, AChunkBeingStoredHoldsUpNoOtherRequest) {
    const std::string data = pattern(100000);
    const std::string held = startUpload(kStaffProfile, staff_, json::object());
    const std::string id = held.substr(held.find("upload_id=") + 10);
    ASSERT_EQ(backend_->post("/__admin/storage/faults",
                             json{{"kind", "uploadChunk"}, {"step", "chunkSynced"}, {"delayMs", 60000}}.dump())
                  .status,
              200);
    std::atomic<bool> answered{false};
    Reply heldReply;
    std::thread holder([&] {
        heldReply = putChunk(held, data, 0, "*");
        answered = true;
    });
    const std::string part = backend_->dataDir() + "/storage/sessions/" + id + ".part";
    for (int i = 0; i < 3000 && !(std::filesystem::exists(part) && std::filesystem::file_size(part) == data.size());
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Each of these gives up long before the held step would end by itself.
    auto quick = [&](const std::string& method, const std::string& path, const std::string& token,
                     const std::string& body, httplib::Headers headers = {}) {
        auto client = backend_->tlsClient();
        client->set_url_encode(false);
        client->set_read_timeout(20);
        if (!token.empty()) headers.emplace("Authorization", "Quorvane " + token);
        auto result = method == "GET"  ? client->Get(path, headers)
                      : method == "PUT" ? client->Put(path, headers, body, "application/octet-stream")
                                        : client->Post(path, headers, body, "application/json");
        return result ? result->status : 0;
    };
    const std::string product = smallProductPhotos().at(0);
    EXPECT_EQ(quick("GET", objectPath(product), staff_, ""), 200);
    EXPECT_EQ(quick("GET", objectPath(product, "alt=media"), staff_, ""), 200);
    const std::string other = startUpload("profiles%2FotherUid.jpg", other_, json::object());
    EXPECT_EQ(quick("PUT", other, "", "abc", {{"Content-Range", "bytes 0-2/3"}}), 200);
    EXPECT_EQ(quick("GET", "/__admin/storage/sessions", "", ""), 200);
    EXPECT_FALSE(answered) << "the held chunk was let go early";

    backend_->clearStorageFaults();
    holder.join();
    EXPECT_EQ(heldReply.status, 308);
    EXPECT_EQ(heldReply.header("Range"), "bytes=0-99999");
}

TEST_F(StorageServiceTest, OverlongFieldsAreRefusedAndTheLogKeepsSummaries) {
    const std::string longText(4000, 'a');
    std::string manyParameters = "alt=media";
    for (int i = 0; i < 70; ++i) manyParameters += "&p" + std::to_string(i) + "=1";
    struct Case {
        std::string method, target;
        httplib::Headers headers;
    };
    const std::vector<Case> cases = {
        {"GET", objectPath(longText), {}},
        {"GET", "/v0/b/" + std::string(700, 'b') + "/o/x", {}},
        {"GET", objectPath(kStaffProfile, "alt=media&" + std::string(9000, 'q')), {}},
        {"GET", objectPath(kStaffProfile, manyParameters), {}},
        {"GET", objectPath(kStaffProfile, "alt=media&" + std::string(100, 'k') + "=1"), {}},
        {"POST", objectPath(kStaffProfile, "uploadType=resumable&name=" + longText), {}},
        {"POST", objectPath(kStaffProfile, "uploadType=" + longText), {}},
        {"PUT", objectPath(kStaffProfile, "uploadType=resumable&upload_id=" + longText), {}},
        {"POST", objectPath(kStaffProfile, "uploadType=resumable"), {{"X-Upload-Content-Type", longText}}},
        {"POST", objectPath(kStaffProfile, "uploadType=resumable"), {{"X-Upload-Content-Length", std::string(300, '1')}}},
        {"GET", objectPath(kStaffProfile, "alt=media"), {{"Range", "bytes=" + std::string(300, '1') + "-"}}},
        {"GET", objectPath(kStaffProfile, "alt=media"), {{"If-Range", longText}, {"Range", "bytes=1-"}}},
        {"GET", objectPath(kStaffProfile), {{"Authorization", "Quorvane " + std::string(9000, 'x')}}},
    };
    const json before = objects();
    backend_->clearStorageRequests();
    for (const auto& c : cases) {
        auto reply = send(c.method, c.target, c.method == "GET" ? "" : staff_, c.method == "GET" ? "" : "{}", c.headers);
        EXPECT_EQ(reply.status, 400) << c.method << " " << c.target.substr(0, 80) << " " << reply.body;
        EXPECT_EQ(reply.parsed()["error"]["code"], 400) << reply.body;
    }
    EXPECT_EQ(objects(), before);
    EXPECT_TRUE(sessions().empty());

    // The log keeps a summary of each, however much the request held.
    const auto seen = backend_->storageRequests();
    ASSERT_EQ(seen.size(), cases.size());
    for (const auto& r : seen) {
        EXPECT_LE(r.target.size(), backend::StorageService::kMaxLoggedFieldBytes);
        EXPECT_LE(r.path.size(), backend::StorageService::kMaxLoggedFieldBytes);
        std::size_t headerBytes = 0;
        for (const auto& [name, value] : r.headers) headerBytes += name.size() + value.size();
        EXPECT_LE(headerBytes, backend::StorageService::kMaxLoggedHeaderBytes);
        EXPECT_EQ(r.status, 400);
    }
    EXPECT_EQ(seen[2].bodySize, 0u);
    EXPECT_EQ(seen[5].method, "POST");
}

// Sessions nobody finishes lapse on the service's clock, those it finds on
// disk too: an hour without a byte, else a week without moving. Before that
// no session is dropped, and a lapsed one frees its owner's place.
TEST_F(StorageServiceTest, AbandonedUploadSessionsLapseOnTheServiceClock) {
    constexpr int64_t kMinute = 60 * 1000, kWeek = 7 * 24 * 60 * kMinute;
    const std::string data = pattern(1000, 9);
    const std::string mine = objectPath("profiles%2FotherUid.jpg", "uploadType=resumable");
    for (std::size_t i = 0; i < backend::storage::kMaxOpenSessionsPerOwner; ++i) {
        ASSERT_EQ(send("POST", mine, other_, "{}").status, 200);
    }
    ASSERT_EQ(send("POST", mine, other_, "{}").status, 429);
    const std::string unused = startUpload(kStaffProfile, staff_, json::object());
    const std::string idle = startUpload(kStaffProfile, staff_, json::object());    // bytes, then nothing
    const std::string active = startUpload(kStaffProfile, staff_, json::object());  // bytes, and more later
    const std::string stale = startUpload(kStaffProfile, staff_, json::object());   // lapses while down
    ASSERT_EQ(putChunk(idle, data, 0, "*").status, 308);
    ASSERT_EQ(putChunk(active, data, 0, "*").status, 308);

    backend_->kill();
    const std::string sessionsDir = backend_->dataDir() + "/storage/sessions/";
    const std::string staleRecord = sessionsDir + stale.substr(stale.find("upload_id=") + 10) + ".json";
    json record = parse(backend::readFile(staleRecord).value_or(""));
    ASSERT_TRUE(record.is_object());
    record["createdMs"] = record["movedMs"] = record["createdMs"].get<int64_t>() - 61 * kMinute;
    backend::writeFileAtomic(staleRecord, record.dump());
    backend_->restart();
    EXPECT_FALSE(std::filesystem::exists(staleRecord));

    // A status query does not move a session, so it probes without renewing.
    auto open = [&](const std::string& session) { return putChunk(session, "", 0, "*").status == 308; };
    struct Step {
        int64_t at;
        bool unused, idle, active;
        int otherStart;  // 0: not tried
    };
    const Step steps[] = {
        {59 * kMinute, true, true, true, 429},
        {61 * kMinute, false, true, true, 200},
        {kWeek - kMinute, false, true, true, 0},
        {kWeek + 30 * kMinute, false, false, true, 0},
        {kWeek + 62 * kMinute, false, false, false, 0},
    };
    int64_t now = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE("at minute " + std::to_string(step.at / kMinute));
        advanceSessionClock(step.at - now);
        now = step.at;
        EXPECT_EQ(open(unused), step.unused);
        EXPECT_EQ(open(idle), step.idle);
        EXPECT_EQ(open(active), step.active);
        if (step.otherStart) {
            EXPECT_EQ(send("POST", mine, other_, "{}").status, step.otherStart);
        }
        // The active upload moves an hour in, so it lasts a week from then.
        if (now == 61 * kMinute) {
            ASSERT_EQ(putChunk(active, data, 1000, "*").status, 308);
        }
    }
    EXPECT_TRUE(sessions().empty());
    EXPECT_TRUE(std::filesystem::is_empty(sessionsDir));

    // An admin drops sessions by hand, one or all.
    const std::string first = startUpload(kStaffProfile, staff_, json::object());
    startUpload(kStaffProfile, staff_, json::object());
    const std::string firstId = first.substr(first.find("upload_id=") + 10);
    auto drop = [&](const std::string& query) {
        auto client = backend_->client();
        auto reply = client->Delete("/__admin/storage/sessions" + query);
        return reply ? std::pair(reply->status, parse(reply->body)) : std::pair(0, json());
    };
    EXPECT_EQ(drop("?id=" + firstId), std::pair(200, json{{"dropped", 1}}));
    EXPECT_EQ(putChunk(first, "", 0, "*").status, 404);
    EXPECT_EQ(drop("?id=" + firstId).first, 404);
    EXPECT_EQ(drop(""), std::pair(200, json{{"dropped", 1}}));
    EXPECT_TRUE(sessions().empty());
    for (const char* bad : {R"({"advanceMs": -1})", R"({"advanceMs": "60000"})", "{}", R"({"advanceMs": 1, "x": 2})"}) {
        EXPECT_EQ(backend_->post("/__admin/storage/clock", bad).status, 400) << bad;
    }
}

// At the bound of everyone's open sessions, a start drops the session quiet
// longest once it has not moved for an hour; its client finds it gone, as a
// lapsed one. A session that moved within the hour is never dropped.
TEST_F(StorageServiceTest, AtTheBoundOfAllSessionsTheOneQuietLongestPastAnHourMakesRoom) {
    constexpr int64_t kMinute = 60 * 1000;
    launch({"--max-upload-sessions", "4"});
    // The other user's four sessions hold a byte each, ten minutes apart.
    const std::string mine = "profiles%2FotherUid.jpg";
    std::vector<std::string> held;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) advanceSessionClock(10 * kMinute);
        held.push_back(startUpload(mine, other_, json::object()));
        ASSERT_EQ(putChunk(held.back(), "x", 0, "*").status, 308);
    }
    const std::string staffStart = objectPath(kStaffProfile, "uploadType=resumable");
    const Reply unknown = putChunk(objectPath(mine, "uploadType=resumable&upload_id=none"), "", 0, "*");
    struct Step {
        const char* name;
        int64_t advance;
        int start;
        int dropped;  // the held session gone, -1 none
    };
    const Step steps[] = {
        {"the oldest quiet 59 minutes", 29 * kMinute, 429, -1},
        {"all quiet past an hour", 36 * kMinute, 200, 0},
        {"the third moved just now", 0, 200, 1},
        {"the third is skipped", 0, 200, 3},
        {"only the third is left", 0, 429, -1},
    };
    std::set<int> gone;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.advance) advanceSessionClock(step.advance);
        const Reply started = send("POST", staffStart, staff_, "{}");
        EXPECT_EQ(started.status, step.start) << started.body;
        if (step.dropped >= 0) gone.insert(step.dropped);
        for (int i = 0; i < 4; ++i) {
            const Reply status = putChunk(held[size_t(i)], "", 0, "*");
            if (gone.count(i)) {
                // As a lapsed or unknown session answers.
                EXPECT_EQ(status.status, 404) << i;
                EXPECT_EQ(status.body, unknown.body) << i;
            } else {
                EXPECT_EQ(status.status, 308) << i;
            }
        }
        if (step.dropped == 0) {
            ASSERT_EQ(putChunk(held[2], "y", 1, "*").status, 308);
        }
    }
    EXPECT_EQ(putChunk(held[2], "", 0, "*").header("Range"), "bytes=0-1");
}

// Requests made to cost the log much (long target, long headers): the log
// keeps as many as fit in its memory, not ten thousand of them, and lists
// them a page at a time.
TEST_F(StorageServiceTest, RequestLogIsBoundedByMemoryAndListedInPages) {
    using backend::StorageService;
    const httplib::Headers headers{{"X-A", std::string(1000, 'a')},
                                   {"X-B", std::string(1000, 'b')},
                                   {"X-C", std::string(1000, 'c')}};
    const std::string target = objectPath(std::string(1000, 'n'), "alt=media&q=" + std::string(2000, 'q'));
    // Each entry takes at least its target, path and query, each cut to
    // 1 KiB, and its headers.
    constexpr std::size_t kLeast = 3 * StorageService::kMaxLoggedFieldBytes + 3000;
    const std::size_t sent = StorageService::kMaxLoggedRequestBytes / kLeast + 200;
    ASSERT_LT(sent, StorageService::kMaxLoggedRequests);
    backend_->clearStorageRequests();
    std::vector<std::thread> senders;
    std::atomic<std::size_t> unauthorized{0};
    for (std::size_t t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            auto client = backend_->client();
            for (std::size_t i = t; i < sent; i += 4) {
                auto reply = client->Get(target, headers);
                if (reply && reply->status == 401) ++unauthorized;
            }
        });
    }
    for (auto& sender : senders) sender.join();
    ASSERT_EQ(unauthorized.load(), sent);

    const json first = parse(backend_->get("/__admin/storage/requests").body);
    const std::size_t kept = first["total"].get<std::size_t>();
    EXPECT_LT(kept, sent);
    EXPECT_GT(kept, StorageService::kMaxLoggedRequestBytes / (2 * kLeast));
    ASSERT_EQ(first["requests"].size(), backend::kMaxLogPage);
    EXPECT_EQ(first["next"], backend::kMaxLogPage);
    for (std::size_t i = 1; i < backend::kMaxLogPage; ++i) {
        EXPECT_EQ(first["requests"][i]["id"], first["requests"][i - 1]["id"].get<uint64_t>() + 1);
    }
    const json& oldest = first["requests"][0];
    EXPECT_EQ(oldest["status"], 401);
    EXPECT_EQ(oldest["target"].get<std::string>().size(), StorageService::kMaxLoggedFieldBytes);
    EXPECT_EQ(oldest["query"].get<std::string>().size(), StorageService::kMaxLoggedFieldBytes);
    EXPECT_EQ(oldest["truncated"], true);
    const json last = parse(backend_->get("/__admin/storage/requests?offset=" + std::to_string(kept - 1)).body);
    ASSERT_EQ(last["requests"].size(), 1u);
    EXPECT_FALSE(last.contains("next"));
    EXPECT_EQ(last["requests"][0]["id"], oldest["id"].get<uint64_t>() + kept - 1);
}

// --- pieces ---------------------------------------------------------------

TEST(StorageNames, ObjectNamesAndEscapes) {
    using backend::storage::isValidObjectName;
    EXPECT_EQ(backend::percentDecodeStrict("products%2FP-1%20a.jpg"), "products/P-1 a.jpg");
    for (const char* bad : {"%", "%2", "%zz", "a%g0"}) EXPECT_FALSE(backend::percentDecodeStrict(bad)) << bad;
    for (const char* good : {"a", "products/P-1001.jpg", "a/b/c", "ñandú/ü.jpg", "a..b"}) {
        EXPECT_TRUE(isValidObjectName(good)) << good;
    }
    for (const char* bad : {"", "/a", "a/", "a//b", "./a", "a/../b", "..", "a\nb", "a\x7f", "\xff\xfe"}) {
        EXPECT_FALSE(isValidObjectName(bad)) << bad;
    }
    EXPECT_FALSE(isValidObjectName(std::string(1025, 'a')));
}

TEST(StorageSeed, PhotosAreDeterministicJpegs) {
    const std::string a = backend::storage::drawJpeg(64, 48, 5, false, 85);
    EXPECT_EQ(a, backend::storage::drawJpeg(64, 48, 5, false, 85));
    EXPECT_NE(a, backend::storage::drawJpeg(64, 48, 6, false, 85));
    EXPECT_EQ(a.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(a.substr(a.size() - 2), "\xFF\xD9");
    EXPECT_THROW(backend::storage::drawJpeg(0, 10, 1, false, 85), std::runtime_error);
}

}  // namespace
