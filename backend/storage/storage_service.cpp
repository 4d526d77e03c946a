#include "backend/storage/storage_service.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>

#include "backend/accounts/accounts.h"
#include "backend/core/http_util.h"
#include "backend/storage/storage_seed.h"
#include "backend/storage/storage_store.h"
#include "backend/accounts/tokens.h"
#include "platform/url.h"

namespace backend {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace storage;

namespace {

// Any byte after the prefix: a decoded name may hold a line break (refused later, with 400).
constexpr const char* kObjectRoutes = "/v0/b/**";
constexpr const char* kObjectsPrefix = "/v0/b/";

void sendStorageError(Response& res, int status, const std::string& message) {
    res.status = status;
    sendJson(res, status, json{{"error", {{"code", status}, {"message", message}}}});
}

// --- request targets ------------------------------------------------------------

// /v0/b/<bucket>/o[/<object>][?<query>], taken from the target as sent: the
// object name is one escaped piece ("/" as %2F), so the decoded path the
// router sees cannot tell its slashes from the URL's.
struct Target {
    std::string bucket;
    std::optional<std::string> object;  // none: the bucket's /o
    std::map<std::string, std::string> query;

    std::string param(const std::string& key) const {
        auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    }
    bool has(const std::string& key) const { return query.count(key) != 0; }
};

constexpr std::size_t kMaxQueryKeyBytes = 64;

// The headers the service reads and how long each may be.
constexpr std::pair<const char*, std::size_t> kHeaderBounds[] = {
    {"Authorization", 8192},        {"Host", 1024},          {"X-Upload-Content-Type", kMaxFieldBytes},
    {"X-Upload-Content-Length", 256}, {"Content-Range", 256}, {"Range", 256},
    {"If-Range", 256},
};

// "" or which field of the request is over its bound. Runs before anything
// else reads the request, so no later step sees an unbounded field.
std::string oversizedField(const Request& req) {
    if (req.target.size() > StorageService::kMaxTargetBytes) {
        return "the request target is longer than " + std::to_string(StorageService::kMaxTargetBytes) + " bytes";
    }
    for (const auto& [name, bound] : kHeaderBounds) {
        if (req.has_header(name) && req.get_header_value(name).size() > bound) {
            return std::string("the ") + name + " header is longer than " + std::to_string(bound) + " bytes";
        }
    }
    return "";
}

// "" or what is wrong with the target.
std::string parseTarget(const std::string& raw, Target& out) {
    const auto q = raw.find('?');
    std::string_view path = std::string_view(raw).substr(0, q);
    if (path.rfind(kObjectsPrefix, 0) != 0) return "not a storage URL";
    path.remove_prefix(std::string_view(kObjectsPrefix).size());
    const auto slash = path.find('/');
    if (std::min(slash, path.size()) > 3 * kMaxBucketNameBytes) return "the bucket name is too long";
    if (slash != std::string_view::npos && path.size() - slash > 3 + StorageService::kMaxEscapedFieldBytes) {
        return "the object name is too long";
    }
    auto bucket = percentDecodeStrict(path.substr(0, slash));
    if (!bucket) return "the bucket name has a bad escape";
    if (!isValidBucketName(*bucket)) return "\"" + *bucket + "\" is not a bucket name";
    out.bucket = *bucket;
    std::string_view rest = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    if (rest != "/o" && rest != "/o/" && rest.rfind("/o/", 0) != 0) return "storage URLs are /v0/b/<bucket>/o/<object>";
    if (rest.size() > 3) {
        auto object = percentDecodeStrict(rest.substr(3));
        if (!object) return "the object name has a bad escape";
        if (!isValidObjectName(*object)) return "\"" + *object + "\" is not an object name";
        out.object = *object;
    }
    if (q == std::string::npos) return "";
    std::string_view query = std::string_view(raw).substr(q + 1);
    std::size_t count = 0;
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view piece = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (piece.empty()) continue;
        if (++count > StorageService::kMaxQueryParameters) return "the query has too many parameters";
        const auto equals = piece.find('=');
        if (std::min(equals, piece.size()) > kMaxQueryKeyBytes ||
            (equals != std::string_view::npos && piece.size() - equals - 1 > StorageService::kMaxEscapedFieldBytes)) {
            return "a query parameter is too long";
        }
        std::string pair(piece);
        std::replace(pair.begin(), pair.end(), '+', ' ');
        const auto eq = pair.find('=');
        auto key = percentDecodeStrict(std::string_view(pair).substr(0, eq));
        auto value = percentDecodeStrict(eq == std::string::npos ? std::string_view() : std::string_view(pair).substr(eq + 1));
        if (!key || !value) return "the query has a bad escape";
        if (!out.query.emplace(*key, *value).second) return "the query parameter \"" + *key + "\" is given twice";
    }
    return "";
}

// Escapes a path piece as the SDK does: everything but letters, digits and
// -._~!$'()*,;=:@ as %XX.
std::string escapeComponent(std::string_view text) { return ns::percentEncode(text, "-._~!$'()*,;=:@"); }

// What a request asks for, by method and query (also for requests that turn
// out malformed), as the request log and the faults name it.
std::string kindOf(const Request& req) {
    const bool session = req.has_param("upload_id");
    if (req.method == "GET" || req.method == "HEAD") {
        return req.get_param_value("alt") == "media" ? "download" : "metadata";
    }
    if (req.method == "PATCH") return "update";
    if (req.method == "DELETE") return session ? "cancelUpload" : "delete";
    if (req.method == "POST") return "startUpload";
    if (req.method == "PUT") {
        const std::string range = req.get_header_value("Content-Range");
        return req.body.empty() && (range.empty() || range.rfind("bytes */", 0) == 0) ? "uploadQuery" : "uploadChunk";
    }
    return "other";
}

// The object name for fault matching, read leniently from the decoded path.
std::string objectOf(const Request& req) {
    const auto o = req.path.find("/o/");
    return o == std::string::npos ? std::string() : req.path.substr(o + 3);
}

bool parseInt(std::string_view text, int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out >= 0;
}

// "Content-Range: bytes a-b/total", "bytes a-b/*", "bytes */total", "bytes */*".
struct ContentRange {
    int64_t first = -1, last = -1;  // -1: no bytes (a status query)
    std::optional<int64_t> total;
};
std::optional<ContentRange> parseContentRange(std::string_view text) {
    if (text.rfind("bytes ", 0) != 0) return std::nullopt;
    text.remove_prefix(6);
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    ContentRange range;
    const std::string_view span = text.substr(0, slash), total = text.substr(slash + 1);
    if (total != "*") {
        int64_t value;
        if (!parseInt(total, value)) return std::nullopt;
        range.total = value;
    }
    if (span == "*") return range;
    const auto dash = span.find('-');
    if (dash == std::string_view::npos || !parseInt(span.substr(0, dash), range.first) ||
        !parseInt(span.substr(dash + 1), range.last) || range.last < range.first) {
        return std::nullopt;
    }
    return range;
}

// A single "Range: bytes=..." against an object of `size` bytes.
struct ByteRange {
    bool satisfiable = true;
    int64_t first = 0, last = 0;
};
// Nullopt when the header is to be ignored (malformed or several ranges).
std::optional<ByteRange> parseRange(std::string_view text, int64_t size) {
    if (text.rfind("bytes=", 0) != 0) return std::nullopt;
    text.remove_prefix(6);
    if (text.find(',') != std::string_view::npos) return std::nullopt;
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    const std::string_view from = text.substr(0, dash), to = text.substr(dash + 1);
    ByteRange range;
    if (from.empty()) {  // the last N bytes
        int64_t count;
        if (!parseInt(to, count)) return std::nullopt;
        if (count == 0 || size == 0) return ByteRange{false};
        range.first = std::max<int64_t>(0, size - count);
        range.last = size - 1;
        return range;
    }
    if (!parseInt(from, range.first)) return std::nullopt;
    range.last = size - 1;
    if (!to.empty()) {
        int64_t last;
        if (!parseInt(to, last) || last < range.first) return std::nullopt;
        range.last = std::min(last, size - 1);
    }
    if (range.first >= size) return ByteRange{false};
    return range;
}

// --- permissions ------------------------------------------------------------------

enum class Access { Read, Write };

// The owner of profiles/<uid>.jpg, or "".
std::string profileOwner(const std::string& name) {
    static constexpr std::string_view kPrefix = "profiles/", kSuffix = ".jpg";
    if (name.size() <= kPrefix.size() + kSuffix.size() || name.rfind(kPrefix, 0) != 0 ||
        name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
        return "";
    }
    std::string uid = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    return uid.find('/') == std::string::npos ? uid : "";
}

bool isProductPhoto(const std::string& name) {
    static constexpr std::string_view kPrefix = "products/";
    return name.size() > kPrefix.size() && name.rfind(kPrefix, 0) == 0 &&
           name.find('/', kPrefix.size()) == std::string::npos;
}

// 0 when the caller (nullopt: anonymous) may do it, else the refusal's status.
int ruleFor(const std::optional<std::string>& uid, const std::string& name, Access access) {
    const std::string owner = profileOwner(name);
    bool allowed = false;
    if (uid) {
        allowed = access == Access::Read ? (isProductPhoto(name) || !owner.empty()) : (!owner.empty() && owner == *uid);
    }
    if (allowed) return 0;
    return uid ? 403 : 401;
}

// One storage request while it is served.
struct Call {
    const Request& req;
    Response& res;
    Store& store;
    const TokenVerifier& verifier;
    Target target;

    void fail(int status, const std::string& message) { sendStorageError(res, status, message); }

    // The object name the URL names; answers 400 when it names none.
    const std::string* object() {
        if (!target.object) {
            fail(400, "the URL names no object");
            return nullptr;
        }
        return &*target.object;
    }

    // Who asks: the uid of a valid token, nullopt without one. Answers 401
    // and gives false for a token that is not accepted.
    bool identify(std::optional<std::string>& uid) {
        if (!req.has_header("Authorization")) return true;
        auto token = idTokenFromAuthorization(req.get_header_value("Authorization"));
        if (!token) {
            fail(401, "the Authorization header must be \"Quorvane <ID token>\"");
            return false;
        }
        auto bucket = store.bucket(target.bucket);
        auto accepted = verifier.accept(*token, bucket ? bucket->appId : std::nullopt);
        if (!accepted) {
            fail(401, std::string("the ID token is not accepted (") + describe(accepted.refusal) + ")");
            return false;
        }
        uid = accepted.claims.uid;
        return true;
    }

    // Answers 401 or 403 and gives false when the caller may not; `who`
    // receives the caller's uid.
    bool authorize(const std::string& name, Access access, std::optional<std::string>* who = nullptr) {
        std::optional<std::string> uid;
        if (!identify(uid)) return false;
        if (who) *who = uid;
        if (int status = ruleFor(uid, name, access)) {
            fail(status, status == 401 ? "sign in to " + std::string(access == Access::Read ? "read " : "write ") + name
                                       : "User does not have permission to access vbk://" + target.bucket + "/" + name);
            return false;
        }
        return true;
    }

    // The metadata body of an upload or update; answers 400/413 and gives
    // false when it is not acceptable. An empty body is no change.
    bool metadataBody(const std::string& name, MetadataPatch& patch) {
        if (req.body.size() > kMaxMetadataBodyBytes) {
            fail(413, "the metadata is larger than " + std::to_string(kMaxMetadataBodyBytes) + " bytes");
            return false;
        }
        json body = json::object();
        if (!req.body.empty() && !parseJsonObject(req.body, res, body)) {
            fail(400, "the metadata must be a JSON object");
            return false;
        }
        if (auto problem = parseMetadataPatch(body, patch); !problem.empty()) {
            fail(400, problem);
            return false;
        }
        if ((patch.name && *patch.name != name) || (patch.bucket && *patch.bucket != target.bucket)) {
            fail(400, "the metadata names another object than the URL");
            return false;
        }
        return true;
    }
};

void getObject(Call& c) {
    const std::string* name = c.object();
    if (!name) return;
    const std::string alt = c.target.param("alt");
    if (!alt.empty() && alt != "media" && alt != "json") return c.fail(400, "\"alt\" must be media or json");
    const bool media = alt == "media";
    auto object = c.store.find(c.target.bucket, *name);
    auto opens = [&](const ObjectRecord& o) {
        return std::find(o.downloadTokens.begin(), o.downloadTokens.end(), c.target.param("token")) !=
               o.downloadTokens.end();
    };
    if (media && c.target.has("token") && !(object && opens(*object))) {
        // To a caller who may not read the object, a token that does not open
        // it must not tell whether it exists: missing and wrong answer alike.
        std::optional<std::string> uid;
        if (!c.identify(uid)) return;
        if (ruleFor(uid, *name, Access::Read) != 0) {
            return c.fail(403, "the download token is not valid for " + *name);
        }
        if (!object) return c.fail(404, "Object " + *name + " does not exist.");
    } else if (!(media && c.target.has("token"))) {
        if (!c.authorize(*name, Access::Read)) return;
        if (!object) return c.fail(404, "Object " + *name + " does not exist.");
    }
    if (!media) return sendJson(c.res, 200, toWireJson(*object));

    // The bytes; a replacement between the look-up and the read is looked up again.
    for (int attempt = 0; attempt < 3 && object; ++attempt) {
        const std::string etag = "\"" + std::to_string(object->generation) + "\"";
        ByteRange range{true, 0, object->size - 1};
        bool partial = false;
        if (c.req.has_header("Range") &&
            (!c.req.has_header("If-Range") || c.req.get_header_value("If-Range") == etag)) {
            if (auto asked = parseRange(c.req.get_header_value("Range"), object->size)) {
                if (!asked->satisfiable) {
                    c.fail(416, "the range is past the end of " + *name);
                    c.res.set_header("Content-Range", "bytes */" + std::to_string(object->size));
                    return;
                }
                range = *asked;
                partial = true;
            }
        }
        // Sent from the file as the client reads, never held whole. Opened
        // before the answer is made: a newer generation may have removed it.
        auto file = FileBody::open(c.store.blobPath(*object).string(), uint64_t(range.first),
                                   uint64_t(range.last - range.first + 1));
        if (!file) {
            auto again = c.store.find(c.target.bucket, *name);
            if (again && again->blob == object->blob) {
                return c.fail(500, "the bytes of " + *name + " cannot be read");
            }
            object = std::move(again);
            continue;
        }
        c.res.status = partial ? 206 : 200;
        auto type = object->fields.find("contentType");
        c.res.set_file(std::move(file), type != object->fields.end() ? type->second : kDefaultContentType);
        c.res.set_header("ETag", etag);
        c.res.set_header("Accept-Ranges", "bytes");
        if (partial) {
            c.res.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                  std::to_string(range.last) + "/" + std::to_string(object->size));
        }
        for (const auto& [field, header] : {std::pair{"cacheControl", "Cache-Control"},
                                            {"contentDisposition", "Content-Disposition"},
                                            {"contentLanguage", "Content-Language"}}) {
            if (auto it = object->fields.find(field); it != object->fields.end()) c.res.set_header(header, it->second);
        }
        return;
    }
    c.fail(404, "Object " + *name + " does not exist.");
}

void updateObject(Call& c) {
    const std::string* name = c.object();
    if (!name || !c.authorize(*name, Access::Write)) return;
    MetadataPatch patch;
    if (!c.metadataBody(*name, patch)) return;
    auto updated = c.store.update(c.target.bucket, *name, patch);
    if (!updated) return c.fail(404, "Object " + *name + " does not exist.");
    sendJson(c.res, 200, toWireJson(*updated));
}

void deleteObject(Call& c) {
    const std::string* name = c.object();
    if (!name || !c.authorize(*name, Access::Write)) return;
    if (!c.store.remove(c.target.bucket, *name)) return c.fail(404, "Object " + *name + " does not exist.");
    c.res.status = 204;
}

// The URL the session's chunks go to, on the host the client used.
std::string sessionURL(const Call& c, const Session& session) {
    std::string host = c.req.get_header_value("Host");
    const bool plain = !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char ch) {
        return std::isalnum(ch) || ch == '.' || ch == '-' || ch == ':' || ch == '[' || ch == ']';
    });
    if (!plain) host = "127.0.0.1:" + std::to_string(c.req.local_port);
    return std::string(c.req.tls ? "https" : "http") + "://" + host + kObjectsPrefix + escapeComponent(session.bucket) +
           "/o/" + escapeComponent(session.name) + "?uploadType=resumable&upload_id=" + session.id;
}

void startUpload(Call& c) {
    if (c.target.param("uploadType") != "resumable") {
        return c.fail(400, "uploads must ask for uploadType=resumable");
    }
    std::string name = c.target.object.value_or("");
    if (c.target.has("name")) {
        const std::string given = c.target.param("name");
        if (!isValidObjectName(given)) return c.fail(400, "\"" + given + "\" is not an object name");
        if (!name.empty() && given != name) return c.fail(400, "the name parameter names another object than the URL");
        name = given;
    }
    if (name.empty()) return c.fail(400, "the upload names no object");
    std::optional<std::string> uid;
    if (!c.authorize(name, Access::Write, &uid)) return;
    MetadataPatch patch;
    if (!c.metadataBody(name, patch)) return;
    // The announced size and type: the size is checked against the bucket
    // now, the type stands in for a content type the metadata leaves out.
    std::optional<int64_t> total;
    if (c.req.has_header("X-Upload-Content-Length")) {
        int64_t length;
        if (!parseInt(c.req.get_header_value("X-Upload-Content-Length"), length)) {
            return c.fail(400, "X-Upload-Content-Length must be a number of bytes");
        }
        total = length;
    }
    const std::string announcedType = c.req.get_header_value("X-Upload-Content-Type");
    if (!patch.fields.count("contentType") && !announcedType.empty() &&
        announcedType.find_first_of("\r\n") == std::string::npos) {
        patch.fields["contentType"] = announcedType;
    }
    const ChunkOutcome outcome = c.store.startSession(c.target.bucket, name, patch, total, uid.value_or(""));
    if (outcome.kind == ChunkOutcome::Kind::QuotaExceeded) return c.fail(402, outcome.message);
    if (outcome.kind == ChunkOutcome::Kind::TooLarge) return c.fail(413, outcome.message);
    if (outcome.kind == ChunkOutcome::Kind::TooManySessions) return c.fail(429, outcome.message);
    c.res.status = 200;
    c.res.set_header("Location", sessionURL(c, outcome.session));
}

// 308 with what has arrived, the answer to a chunk that did not finish.
void sendProgress(Response& res, const Session& session) {
    res.status = 308;
    if (session.received > 0) res.set_header("Range", "bytes=0-" + std::to_string(session.received - 1));
}

// `keep`: a fault cuts the chunk after that many bytes; `atStep`: a fault
// acting inside the store's write.
void putChunk(Call& c, std::optional<int64_t> keep, const std::function<void(std::string_view)>& atStep) {
    const std::string id = c.target.param("upload_id");
    auto session = id.empty() ? std::nullopt : c.store.session(id);
    if (!session || session->bucket != c.target.bucket || (c.target.object && *c.target.object != session->name)) {
        return c.fail(404, "there is no such upload session");
    }
    ContentRange range;
    const std::string& body = c.req.body;
    if (c.req.has_header("Content-Range")) {
        auto parsed = parseContentRange(c.req.get_header_value("Content-Range"));
        if (!parsed) return c.fail(400, "Content-Range must be \"bytes first-last/total\" or \"bytes */total\"");
        range = *parsed;
        const int64_t length = range.first < 0 ? 0 : range.last - range.first + 1;
        if (int64_t(body.size()) != length) {
            return c.fail(400, "the body holds " + std::to_string(body.size()) + " bytes but Content-Range names " +
                                   std::to_string(length));
        }
    } else if (!body.empty()) {
        range = ContentRange{0, int64_t(body.size()) - 1, int64_t(body.size())};  // the whole object at once
    }
    std::string_view bytes = body;
    if (keep) bytes = bytes.substr(0, std::size_t(std::min<int64_t>(*keep, int64_t(bytes.size()))));
    const ChunkOutcome outcome = c.store.appendChunk(session->id, range.first, bytes, range.total, atStep);
    using Kind = ChunkOutcome::Kind;
    switch (outcome.kind) {
    case Kind::Stored: return sendProgress(c.res, outcome.session);
    case Kind::Finished: return sendJson(c.res, 200, toWireJson(*outcome.object));
    case Kind::Refused:
        c.fail(400, outcome.message);
        if (outcome.session.received > 0) {
            c.res.set_header("Range", "bytes=0-" + std::to_string(outcome.session.received - 1));
        }
        return;
    case Kind::NotFound: return c.fail(404, outcome.message);
    case Kind::QuotaExceeded: return c.fail(402, outcome.message);
    case Kind::TooLarge: return c.fail(413, outcome.message);
    case Kind::TooManySessions: return c.fail(429, outcome.message);
    }
}

void cancelUpload(Call& c) {
    const std::string id = c.target.param("upload_id");
    auto session = c.store.session(id);
    if (!session || session->bucket != c.target.bucket || !c.store.cancelSession(id)) {
        return c.fail(404, "there is no open upload session " + id);
    }
    c.res.status = 204;
}

}  // namespace

StorageService::StorageService() = default;
StorageService::~StorageService() = default;

void StorageService::start(Context& context) {
    const int maxSessions = context.options().maxUploadSessions;
    store_ = std::make_unique<Store>(context.dataDir() / "storage",
                                     maxSessions > 0 ? std::size_t(maxSessions) : storage::kMaxOpenSessions);
    verifier_ = tokenVerifier(context);
    seedStorage(*store_, context.dataDir());
}

void StorageService::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
}

void StorageService::pause(int ms, bool untilCleared) {
    std::unique_lock lock(mutex_);
    const uint64_t cleared = faultsCleared_;
    stopped_.wait_for(lock, std::chrono::milliseconds(ms),
                      [&] { return stopping_ || (untilCleared && faultsCleared_ != cleared); });
}

std::optional<StorageService::Fault> StorageService::takeFault(const std::string& kind, const std::string& object) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((!it->kind.empty() && it->kind != kind) || (!it->object.empty() && it->object != object)) continue;
        Fault taken = *it;
        if (--it->count <= 0) faults_.erase(it);
        return taken;
    }
    return std::nullopt;
}

void StorageService::log(const Request& req, const std::string& kind, const Response& res,
                         const std::optional<Fault>& fault) {
    // A summary, so ten thousand entries stay small whatever the requests held.
    LoggedRequest entry;
    auto bounded = [&](std::string_view text) {
        if (text.size() <= kMaxLoggedFieldBytes) return std::string(text);
        entry.truncated = true;
        return std::string(text.substr(0, kMaxLoggedFieldBytes));
    };
    const auto q = req.target.find('?');
    entry.kind = kind;
    entry.method = bounded(req.method);
    entry.target = bounded(req.target);
    entry.path = bounded(req.path);
    entry.query = q == std::string::npos ? "" : bounded(std::string_view(req.target).substr(q + 1));
    // The room is what the headers take as kept, so a thousand one-letter
    // headers cost what they hold and not more.
    std::size_t room = kMaxLoggedHeaderBytes;
    forEachLoggedHeader(req, [&](const std::string& name, const std::string& value) {
        const std::string_view kept = std::string_view(value).substr(0, kMaxLoggedFieldBytes);
        if (kept.size() < value.size()) entry.truncated = true;
        const std::size_t cost = FlatHeaders::cost(name, kept);
        if (cost > room) {
            entry.truncated = true;
            return;
        }
        room -= cost;
        entry.headers.add(name, kept);
    });
    entry.headers.shrink();
    entry.bodySize = req.body.size();
    entry.status = res.has_header(kCloseWithoutAnswerHeader) ? 0 : res.status;
    entry.fault = bool(fault);
    std::lock_guard lock(mutex_);
    entry.id = nextRequestId_++;
    requests_.push(std::move(entry));
}

std::size_t StorageService::LoggedRequest::heapBytes() const {
    return backend::heapBytes(kind) + backend::heapBytes(method) + backend::heapBytes(target) +
           backend::heapBytes(path) + backend::heapBytes(query) + headers.heapBytes();
}

void StorageService::serve(const Request& req, Response& res, const Listener&) {
    Call call{req, res, *store_, *verifier_, {}};
    if (auto problem = oversizedField(req); !problem.empty()) {
        call.fail(400, problem);
        return log(req, "other", res, std::nullopt);
    }
    const std::string kind = kindOf(req);
    const auto fault = takeFault(kind, objectOf(req));
    const bool atStep = fault && !fault->step.empty();
    if (fault && fault->delayMs > 0 && !atStep) pause(fault->delayMs);
    if (fault && fault->status) {
        call.fail(fault->status, fault->message.empty() ? statusText(fault->status) : fault->message);
    } else if (fault && fault->cut && kind != "download" && kind != "uploadChunk") {
        res.set_header(kCloseWithoutAnswerHeader, "1");
    } else if (auto problem = parseTarget(req.target, call.target); !problem.empty()) {
        call.fail(400, problem);
    } else if (kind == "download" || kind == "metadata") {
        getObject(call);
    } else if (kind == "update") {
        updateObject(call);
    } else if (kind == "delete") {
        deleteObject(call);
    } else if (kind == "startUpload") {
        startUpload(call);
    } else if (kind == "uploadChunk" || kind == "uploadQuery") {
        if (!call.target.has("upload_id")) {
            call.fail(400, "chunks go to the session URL an upload's first request answered with");
        } else {
            const bool cutChunk = fault && fault->cut;
            std::function<void(std::string_view)> hook;
            if (atStep) {
                hook = [this, step = fault->step, crash = fault->crash, delayMs = fault->delayMs](std::string_view at) {
                    if (at != step) return;
                    if (crash) std::raise(SIGKILL);  // as a kill -9 would land: no clean-up of any kind
                    pause(delayMs, true);
                };
            }
            putChunk(call,
                     cutChunk ? std::optional<int64_t>(fault->cutAfterBytes.value_or(int64_t(req.body.size()) / 2))
                              : std::nullopt,
                     hook);
            if (cutChunk) res.set_header(kCloseWithoutAnswerHeader, "1");
        }
    } else if (kind == "cancelUpload") {
        cancelUpload(call);
    } else {
        call.fail(405, "method not allowed");
    }
    if (fault && fault->cut && kind == "download" && (res.status == 200 || res.status == 206)) {
        const int64_t length = int64_t(res.contentLength());
        const int64_t after = fault->cutAfterBytes.value_or(length / 2);
        res.set_header(kCutAfterBytesHeader, std::to_string(std::min<int64_t>(after, length)));
    }
    log(req, kind, res, fault);
}

void StorageService::install(HttpRouter& server, const Listener& listener, Context&) {
    for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE"}) {
        route(server, method, kObjectRoutes,
              [this, listener](const Request& req, Response& res, const std::string&) { serve(req, res, listener); });
    }
    installAdmin(server);
}

}  // namespace backend
