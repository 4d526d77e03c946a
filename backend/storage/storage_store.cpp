#include "backend/storage/storage_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <stdexcept>
#include <system_error>

#include "backend/core/http_util.h"
#include "backend/accounts/tokens.h"
#include "platform/atomic_file.h"
#include "platform/crypto.h"
#include "platform/text.h"
#include "platform/utf8.h"

namespace backend::storage {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kBucketsFile = "buckets.json";
constexpr const char* kObjectsDir = "objects";
constexpr const char* kBlobsDir = "blobs";
constexpr const char* kSessionsDir = "sessions";

// Read-only keys of the client's metadata and the JSON type each must have.
bool readOnlyKeyHasItsType(const std::string& key, const json& value) {
    if (value.is_null()) return true;
    if (key == "generation" || key == "metageneration" || key == "size") {
        return value.is_string() || value.is_number_integer();
    }
    if (key == "timeCreated" || key == "updated" || key == "md5Hash" || key == "downloadTokens") {
        return value.is_string();
    }
    if (key == "downloadURLs") return value.is_array();
    return false;
}

bool isReadOnlyKey(const std::string& key) {
    for (const char* k : {"generation", "metageneration", "size", "timeCreated", "updated", "md5Hash",
                          "downloadTokens", "downloadURLs"}) {
        if (key == k) return true;
    }
    return false;
}

bool isContentField(const std::string& key) {
    return std::any_of(std::begin(kContentFields), std::end(kContentFields),
                       [&](const char* field) { return key == field; });
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return (unsigned char)c < 0x20 || c == 0x7f; });
}

json patchToJson(const MetadataPatch& patch) {
    json out = json::object();
    for (const auto& [key, value] : patch.fields) {
        if (value) out[key] = *value;
    }
    if (patch.custom) {
        json custom = json::object();
        for (const auto& [key, value] : *patch.custom) {
            if (value) custom[key] = *value;
        }
        out["metadata"] = custom;
    }
    if (patch.name) out["name"] = *patch.name;
    if (patch.bucket) out["bucket"] = *patch.bucket;
    return out;
}

json recordToDisk(const ObjectRecord& o) {
    return json{{"bucket", o.bucket},       {"name", o.name},
                {"generation", o.generation}, {"metageneration", o.metageneration},
                {"size", o.size},           {"fields", o.fields},
                {"custom", o.custom},       {"createdMs", o.createdMs},
                {"updatedMs", o.updatedMs}, {"downloadTokens", o.downloadTokens},
                {"blob", o.blob}};
}

ObjectRecord recordFromDisk(const json& j) {
    ObjectRecord o;
    o.bucket = j.at("bucket").get<std::string>();
    o.name = j.at("name").get<std::string>();
    o.generation = j.at("generation").get<int64_t>();
    o.metageneration = j.at("metageneration").get<int64_t>();
    o.size = j.at("size").get<int64_t>();
    o.fields = j.at("fields").get<std::map<std::string, std::string>>();
    o.custom = j.at("custom").get<std::map<std::string, std::string>>();
    o.createdMs = j.at("createdMs").get<int64_t>();
    o.updatedMs = j.at("updatedMs").get<int64_t>();
    o.downloadTokens = j.at("downloadTokens").get<std::vector<std::string>>();
    o.blob = j.at("blob").get<std::string>();
    return o;
}

json sessionToDisk(const Session& s, const std::string& finishingBlob) {
    json out{{"id", s.id},
                {"bucket", s.bucket},
                {"name", s.name},
                {"metadata", patchToJson(s.metadata)},
                {"total", s.total ? json(*s.total) : json(nullptr)},
                {"received", s.received},
                {"createdMs", s.createdMs},
                {"movedMs", s.movedMs},
                {"finishedGeneration", s.finishedGeneration ? json(*s.finishedGeneration) : json(nullptr)}};
    if (!s.owner.empty()) out["owner"] = s.owner;
    if (!finishingBlob.empty()) out["finishing"] = json{{"blob", finishingBlob}};
    return out;
}

Session sessionFromDisk(const json& j) {
    Session s;
    s.id = j.at("id").get<std::string>();
    s.bucket = j.at("bucket").get<std::string>();
    s.name = j.at("name").get<std::string>();
    if (!parseMetadataPatch(j.at("metadata"), s.metadata).empty()) throw std::runtime_error("bad session metadata");
    if (!j.at("total").is_null()) s.total = j.at("total").get<int64_t>();
    s.received = j.at("received").get<int64_t>();
    s.createdMs = j.at("createdMs").get<int64_t>();
    s.movedMs = j.contains("movedMs") ? j.at("movedMs").get<int64_t>() : s.createdMs;
    if (!j.at("finishedGeneration").is_null()) s.finishedGeneration = j.at("finishedGeneration").get<int64_t>();
    if (j.contains("owner")) s.owner = j.at("owner").get<std::string>();
    return s;
}

std::string newId() {
    std::string id = ns::crypto::hex(ns::crypto::randomBytes(16));
    return id;
}

std::string newDownloadToken() {
    std::string token = ns::newUUIDString();
    std::transform(token.begin(), token.end(), token.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return token;
}

void syncFolder(const fs::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + dir.string());
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0) throw std::system_error(err, std::generic_category(), "cannot sync " + dir.string());
}

// Writes `bytes` at `offset` of `file` (created 0600 when missing), cutting
// anything beyond the offset first, and syncs it.
void writeAtAndSync(const fs::path& file, int64_t offset, std::string_view bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
    auto fail = [&](const char* what) {
        const int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), std::string("cannot ") + what + " " + file.string());
    };
    // A part file shorter than what was acknowledged would be filled with
    // zeros by the cut below: refuse rather than store a hole.
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail("inspect");
    if (st.st_size < offset) {
        ::close(fd);
        throw std::runtime_error(file.string() + " holds fewer bytes than were acknowledged");
    }
    if (::ftruncate(fd, offset) != 0) fail("cut");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(offset + int64_t(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        done += std::size_t(n);
    }
    if (::fsync(fd) != 0) fail("sync");
    ::close(fd);
}

int64_t nowMs() { return nowMilliseconds(); }

// A blob name as this store makes them, so a record cannot point outside blobs/.
bool isBlobName(const std::string& name) {
    return name.size() == 32 && std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace

// --- names and metadata -------------------------------------------------------

bool isValidObjectName(std::string_view name) {
    if (name.empty() || name.size() > kMaxObjectNameBytes) return false;
    if (!ns::utf8::isValid(name) || hasControlCharacter(name)) return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = name.find('/', start);
        const std::string_view segment = name.substr(start, slash == std::string_view::npos ? name.npos : slash - start);
        if (segment.empty() || segment == "." || segment == "..") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

bool isValidBucketName(std::string_view name) {
    if (name.empty() || name.size() > kMaxBucketNameBytes) return false;
    auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    if (!alnum(name.front()) || !alnum(name.back())) return false;
    return std::all_of(name.begin(), name.end(), [&](char c) { return alnum(c) || c == '.' || c == '-' || c == '_'; });
}

std::string parseMetadataPatch(const json& body, MetadataPatch& out) {
    if (!body.is_object()) return "the metadata must be a JSON object";
    MetadataPatch patch;
    for (const auto& [key, value] : body.items()) {
        if (isContentField(key)) {
            if (value.is_null()) {
                patch.fields[key] = std::nullopt;
                continue;
            }
            if (!value.is_string()) return "\"" + key + "\" must be a string";
            const auto& text = value.get_ref<const std::string&>();
            if (text.size() > kMaxFieldBytes) {
                return "\"" + key + "\" is longer than " + std::to_string(kMaxFieldBytes) + " bytes";
            }
            if (hasControlCharacter(text)) return "\"" + key + "\" holds a control character";
            patch.fields[key] = text;
        } else if (key == "metadata") {
            if (value.is_null()) {
                patch.custom.emplace();  // every custom key goes
                continue;
            }
            if (!value.is_object()) return "\"metadata\" must be an object of strings";
            std::map<std::string, std::optional<std::string>> custom;
            std::size_t bytes = 0;
            for (const auto& [customKey, customValue] : value.items()) {
                if (customKey.empty()) return "a custom metadata key is empty";
                if (customValue.is_null()) {
                    custom[customKey] = std::nullopt;
                } else if (customValue.is_string()) {
                    custom[customKey] = customValue.get<std::string>();
                    bytes += customValue.get_ref<const std::string&>().size();
                } else {
                    return "custom metadata \"" + customKey + "\" must be a string";
                }
                bytes += customKey.size();
            }
            if (bytes > kMaxCustomMetadataBytes) {
                return "the custom metadata is larger than " + std::to_string(kMaxCustomMetadataBytes) + " bytes";
            }
            patch.custom = std::move(custom);
        } else if (key == "name" || key == "bucket") {
            if (!value.is_string()) return "\"" + key + "\" must be a string";
            (key == "name" ? patch.name : patch.bucket) = value.get<std::string>();
        } else if (isReadOnlyKey(key)) {
            if (!readOnlyKeyHasItsType(key, value)) return "\"" + key + "\" has the wrong type";
        } else {
            return "unknown metadata key \"" + key + "\"";
        }
    }
    out = std::move(patch);
    return "";
}

std::string formatTime(int64_t ms) {
    const std::time_t seconds = std::time_t(ms / 1000);
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
    return buffer;
}

json toWireJson(const ObjectRecord& o) {
    json out{{"name", o.name},
             {"bucket", o.bucket},
             {"generation", std::to_string(o.generation)},
             {"metageneration", std::to_string(o.metageneration)},
             {"size", std::to_string(o.size)},
             {"timeCreated", formatTime(o.createdMs)},
             {"updated", formatTime(o.updatedMs)}};
    for (const auto& [key, value] : o.fields) out[key] = value;
    if (!o.custom.empty()) out["metadata"] = o.custom;
    std::string tokens;
    for (const auto& token : o.downloadTokens) tokens += (tokens.empty() ? "" : ",") + token;
    if (!tokens.empty()) out["downloadTokens"] = tokens;
    return out;
}

// --- the store ---------------------------------------------------------------

Store::Store(fs::path dir, std::size_t maxOpenSessions) : dir_(std::move(dir)), maxOpenSessions_(maxOpenSessions) {
    for (const fs::path& sub : {dir_, dir_ / kObjectsDir, dir_ / kBlobsDir, dir_ / kSessionsDir}) {
        std::error_code ec;
        fs::create_directories(sub, ec);
        if (ec) throw std::runtime_error("cannot create " + sub.string() + ": " + ec.message());
        ::chmod(sub.c_str(), 0700);
    }
    load();
}

fs::path Store::objectFile(const std::string& bucket, const std::string& name) const {
    return dir_ / kObjectsDir / (ns::crypto::sha256Hex(bucket + '\0' + name) + ".json");
}

fs::path Store::sessionFile(const std::string& id, const char* extension) const {
    return dir_ / kSessionsDir / (id + extension);
}

std::mutex& Store::objectLock(const std::string& bucket, const std::string& name) {
    const std::size_t hash = std::hash<std::string>()(bucket) * 31 + std::hash<std::string>()(name);
    return objectLocks_[hash % objectLocks_.size()];
}

// Runs before the store is shared, so it takes no lock of its own (commit
// takes the store's mutex briefly).
void Store::load() {
    loadBuckets();
    loadObjects();
    loadSessions();
    // Those that lapsed while the back end was down.
    dropSessionsWhere([this](const Session& s) { return lapsed(s); });
    dropUnusedBlobs();
}

void Store::loadBuckets() {
    if (auto text = readFile(dir_ / kBucketsFile)) {
        const json j = json::parse(*text, nullptr, false);
        if (!j.is_object()) throw std::runtime_error("cannot read " + (dir_ / kBucketsFile).string());
        for (const auto& [name, settings] : j.items()) {
            BucketSettings b;
            if (settings.contains("appId") && settings["appId"].is_string()) b.appId = settings["appId"];
            if (settings.contains("quotaBytes") && settings["quotaBytes"].is_number_integer()) {
                b.quotaBytes = settings["quotaBytes"].get<int64_t>();
            }
            buckets_[name] = b;
        }
    }
}

void Store::loadObjects() {
    for (const auto& entry : fs::directory_iterator(dir_ / kObjectsDir)) {
        const auto& path = entry.path();
        if (path.extension() != ".json") {
            fs::remove(path);  // a temporary file of a write cut short
            continue;
        }
        auto text = readFile(path);
        const json j = text ? json::parse(*text, nullptr, false) : json();
        try {
            ObjectRecord o = recordFromDisk(j);
            lastGeneration_ = std::max(lastGeneration_, o.generation);
            objects_[{o.bucket, o.name}] = std::move(o);
        } catch (const json::exception& e) {
            throw std::runtime_error("cannot read the object record " + path.string() + ": " + e.what());
        }
    }
}

// Sessions come back with only their acknowledged bytes; one the last start
// left finishing is completed or dropped. Runs after the objects are loaded.
void Store::loadSessions() {
    std::set<std::string> parts;
    for (const auto& entry : fs::directory_iterator(dir_ / kSessionsDir)) {
        const auto& path = entry.path();
        if (path.extension() == ".part") {
            parts.insert(path.stem().string());
            continue;
        }
        if (path.extension() != ".json") {
            fs::remove(path);
            continue;
        }
        auto text = readFile(path);
        const json j = text ? json::parse(*text, nullptr, false) : json();
        Session s;
        std::string finishing;
        try {
            s = sessionFromDisk(j);
            if (j.contains("finishing")) finishing = j.at("finishing").at("blob").get<std::string>();
        } catch (const std::exception&) {
            fs::remove(path);  // unreadable: the client starts over
            continue;
        }
        if (!finishing.empty() && !s.finishedGeneration) {
            if (!isBlobName(finishing) || !recoverFinishing(s, finishing)) {
                fs::remove(path);
                fs::remove(sessionFile(s.id, ".part"));
                continue;
            }
        }
        if (!s.finishedGeneration) {
            // Bytes written after the last acknowledgement never counted.
            const fs::path part = sessionFile(s.id, ".part");
            std::error_code ec;
            const auto size = fs::exists(part) ? int64_t(fs::file_size(part, ec)) : 0;
            if (ec || size < s.received) {
                fs::remove(path);
                fs::remove(part);
                continue;
            }
            if (size > s.received) fs::resize_file(part, uintmax_t(s.received));
        }
        auto slot = std::make_shared<SessionSlot>();
        slot->session = std::move(s);
        sessions_[slot->session.id] = std::move(slot);
    }
    for (const auto& id : parts) {
        auto it = sessions_.find(id);
        if (it == sessions_.end() || it->second->session.finishedGeneration) fs::remove(sessionFile(id, ".part"));
    }
}

void Store::dropUnusedBlobs() {
    // Bytes of uploads that never made it into an object's record. Only now:
    // a session that was finishing may just have made its blob an object's.
    std::set<std::string> blobsInUse;
    for (const auto& [key, o] : objects_) blobsInUse.insert(o.blob);
    for (const auto& entry : fs::directory_iterator(dir_ / kBlobsDir)) {
        if (!blobsInUse.count(entry.path().filename().string())) fs::remove(entry.path());
    }
}

bool Store::recoverFinishing(Session& s, const std::string& blob) {
    auto object = objects_.find({s.bucket, s.name});
    if (object == objects_.end() || object->second.blob != blob) {
        const fs::path blobFile = dir_ / kBlobsDir / blob, part = sessionFile(s.id, ".part");
        if (!fs::exists(blobFile)) {
            // Stopped before the rename: the part file still holds every byte.
            std::error_code ec;
            const auto size = fs::exists(part) ? int64_t(fs::file_size(part, ec)) : -1;
            if (ec || size < s.received) return false;
            if (size > s.received) fs::resize_file(part, uintmax_t(s.received));
            fs::rename(part, blobFile);
            syncFolder(dir_ / kBlobsDir);
        }
        commit(s.bucket, s.name, s.metadata, blob, s.received);
        object = objects_.find({s.bucket, s.name});
    }
    s.finishedGeneration = object->second.generation;
    saveSession(s);
    return true;
}

void Store::saveBucketsLocked() {
    json j = json::object();
    for (const auto& [name, b] : buckets_) {
        j[name] = {{"appId", b.appId ? json(*b.appId) : json(nullptr)},
                   {"quotaBytes", b.quotaBytes ? json(*b.quotaBytes) : json(nullptr)}};
    }
    writeFileAtomic(dir_ / kBucketsFile, j.dump(2) + "\n");
}

std::map<std::string, BucketSettings> Store::buckets() {
    std::lock_guard lock(mutex_);
    return buckets_;
}

std::optional<BucketSettings> Store::bucket(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = buckets_.find(name);
    if (it == buckets_.end()) return std::nullopt;
    return it->second;
}

void Store::setBucket(const std::string& name, const BucketSettings& settings) {
    std::lock_guard lock(mutex_);
    buckets_[name] = settings;
    saveBucketsLocked();
}

std::optional<ObjectRecord> Store::find(const std::string& bucket, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find({bucket, name});
    if (it == objects_.end()) return std::nullopt;
    return it->second;
}

std::vector<ObjectRecord> Store::list(const std::string& bucket) {
    std::lock_guard lock(mutex_);
    std::vector<ObjectRecord> out;
    for (auto it = objects_.lower_bound({bucket, ""}); it != objects_.end() && it->first.first == bucket; ++it) {
        out.push_back(it->second);
    }
    return out;
}

fs::path Store::blobPath(const ObjectRecord& object) const { return dir_ / kBlobsDir / object.blob; }

std::optional<std::string> Store::quotaProblemLocked(const std::string& bucket, const std::string& name,
                                                     int64_t newSize) {
    if (newSize > kMaxObjectBytes) {
        return "an object may hold at most " + std::to_string(kMaxObjectBytes) + " bytes";
    }
    auto b = buckets_.find(bucket);
    if (b == buckets_.end() || !b->second.quotaBytes) return std::nullopt;
    int64_t used = 0;
    for (auto it = objects_.lower_bound({bucket, ""}); it != objects_.end() && it->first.first == bucket; ++it) {
        if (it->first.second != name) used += it->second.size;
    }
    for (auto it = pending_.lower_bound({bucket, ""}); it != pending_.end() && it->first.first == bucket; ++it) {
        // A commit in flight replaces its object's current size.
        if (it->first.second == name) continue;
        auto current = objects_.find(it->first);
        used += it->second - (current == objects_.end() ? 0 : current->second.size);
    }
    if (used + newSize <= *b->second.quotaBytes) return std::nullopt;
    return "the bucket " + bucket + " would hold " + std::to_string(used + newSize) + " bytes, over its quota of " +
           std::to_string(*b->second.quotaBytes);
}

ObjectRecord Store::commit(const std::string& bucket, const std::string& name, const MetadataPatch& metadata,
                           const std::string& blob, int64_t size) {
    ObjectRecord o;
    std::string oldBlob;
    {
        std::lock_guard lock(mutex_);
        if (auto it = objects_.find({bucket, name}); it != objects_.end()) {
            oldBlob = it->second.blob;
            // Download links given out for the object keep working after a new upload.
            o.downloadTokens = it->second.downloadTokens;
        }
        o.createdMs = o.updatedMs = nowMs();
        o.generation = lastGeneration_ = std::max(lastGeneration_ + 1, o.createdMs * 1000);
    }
    if (o.downloadTokens.empty()) o.downloadTokens.push_back(newDownloadToken());
    o.bucket = bucket;
    o.name = name;
    o.metageneration = 1;
    o.size = size;
    for (const auto& [key, value] : metadata.fields) {
        if (value) o.fields[key] = *value;
    }
    if (!o.fields.count("contentType")) o.fields["contentType"] = kDefaultContentType;
    if (metadata.custom) {
        for (const auto& [key, value] : *metadata.custom) {
            if (value) o.custom[key] = *value;
        }
    }
    o.blob = blob;
    writeFileAtomic(objectFile(bucket, name), recordToDisk(o).dump() + "\n");
    {
        std::lock_guard lock(mutex_);
        objects_[{bucket, name}] = o;
    }
    // A download that looked up the old generation and has not opened it yet
    // finds it gone and looks again.
    if (!oldBlob.empty() && oldBlob != blob) fs::remove(dir_ / kBlobsDir / oldBlob);
    return o;
}

ChunkOutcome Store::put(const std::string& bucket, const std::string& name, const MetadataPatch& metadata,
                        std::string_view bytes) {
    std::lock_guard objectGuard(objectLock(bucket, name));
    ChunkOutcome outcome;
    const ObjectKey key{bucket, name};
    {
        std::lock_guard lock(mutex_);
        if (auto problem = quotaProblemLocked(bucket, name, int64_t(bytes.size()))) {
            outcome.kind = int64_t(bytes.size()) > kMaxObjectBytes ? ChunkOutcome::Kind::TooLarge
                                                                   : ChunkOutcome::Kind::QuotaExceeded;
            outcome.message = *problem;
            return outcome;
        }
        pending_[key] = int64_t(bytes.size());
    }
    try {
        const std::string blob = newId();
        ns::writeFileAtomicallyOrThrow((dir_ / kBlobsDir / blob).string(), bytes, 0600);
        outcome.object = commit(bucket, name, metadata, blob, int64_t(bytes.size()));
    } catch (...) {
        std::lock_guard lock(mutex_);
        pending_.erase(key);
        throw;
    }
    std::lock_guard lock(mutex_);
    pending_.erase(key);
    outcome.kind = ChunkOutcome::Kind::Finished;
    return outcome;
}

std::optional<ObjectRecord> Store::update(const std::string& bucket, const std::string& name,
                                          const MetadataPatch& patch) {
    std::lock_guard objectGuard(objectLock(bucket, name));
    std::optional<ObjectRecord> found = find(bucket, name);
    if (!found) return std::nullopt;
    ObjectRecord o = std::move(*found);
    for (const auto& [key, value] : patch.fields) {
        if (value) o.fields[key] = *value;
        else o.fields.erase(key);
    }
    if (patch.custom) {
        if (patch.custom->empty()) o.custom.clear();
        for (const auto& [key, value] : *patch.custom) {
            if (value) o.custom[key] = *value;
            else o.custom.erase(key);
        }
    }
    o.metageneration += 1;
    o.updatedMs = std::max(nowMs(), o.updatedMs);
    writeFileAtomic(objectFile(bucket, name), recordToDisk(o).dump() + "\n");
    std::lock_guard lock(mutex_);
    objects_[{bucket, name}] = o;
    return o;
}

bool Store::remove(const std::string& bucket, const std::string& name) {
    std::lock_guard objectGuard(objectLock(bucket, name));
    std::optional<ObjectRecord> found = find(bucket, name);
    if (!found) return false;
    fs::remove(objectFile(bucket, name));
    syncFolder(dir_ / kObjectsDir);
    {
        std::lock_guard lock(mutex_);
        objects_.erase({bucket, name});
    }
    fs::remove(dir_ / kBlobsDir / found->blob);
    return true;
}

// --- upload sessions -----------------------------------------------------------

void Store::saveSession(const Session& s, const std::string& finishingBlob) {
    writeFileAtomic(sessionFile(s.id, ".json"), sessionToDisk(s, finishingBlob).dump() + "\n");
}

void Store::removeSessionFiles(const std::string& id) {
    fs::remove(sessionFile(id, ".json"));
    fs::remove(sessionFile(id, ".part"));
}

int64_t Store::sessionNow() const { return nowMs() + sessionClockOffsetMs_.load(); }

int64_t Store::advanceSessionClock(int64_t ms) { return sessionClockOffsetMs_ += ms; }

bool Store::lapsed(const Session& s) const {
    const int64_t now = sessionNow();
    if (s.received == 0 && !s.finishedGeneration) return now - s.createdMs >= kUnusedSessionLifetimeMs;
    return now - s.movedMs >= kSessionLifetimeMs;
}

void Store::dropHeldSession(const std::string& id, SessionSlot& slot) {
    removeSessionFiles(id);
    slot.gone = true;
    std::lock_guard lock(mutex_);
    sessions_.erase(id);
}

std::size_t Store::dropSessionsWhere(const std::function<bool(const Session&)>& doomed, bool waitForWrites) {
    std::vector<std::pair<std::string, std::shared_ptr<SessionSlot>>> picked;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, slot] : sessions_) {
            if (doomed(slot->session)) picked.emplace_back(id, slot);
        }
    }
    std::size_t dropped = 0;
    for (const auto& [id, slot] : picked) {
        std::unique_lock io(slot->io, std::defer_lock);
        if (waitForWrites) {
            io.lock();
        } else if (!io.try_lock()) {
            continue;  // a chunk is being stored: the session is not abandoned
        }
        if (slot->gone || !doomed(slot->session)) continue;
        dropHeldSession(id, *slot);
        ++dropped;
    }
    return dropped;
}

std::size_t Store::dropSessions(const std::string& id) {
    return dropSessionsWhere([&](const Session& s) { return id.empty() || s.id == id; }, true);
}

void Store::trimFinishedSessionsLocked() {
    std::vector<std::pair<int64_t, std::string>> finished;
    for (const auto& [id, slot] : sessions_) {
        if (slot->session.finishedGeneration) finished.emplace_back(slot->session.createdMs, id);
    }
    if (finished.size() <= kMaxFinishedSessions) return;
    std::sort(finished.begin(), finished.end());
    // A finished session never writes again, so its files go without its lock.
    for (std::size_t i = 0; i < finished.size() - kMaxFinishedSessions; ++i) {
        fs::remove(sessionFile(finished[i].second, ".json"));
        sessions_.erase(finished[i].second);
    }
}

void Store::dropQuietestAtBound(const std::string& owner) {
    std::string id;
    std::shared_ptr<SessionSlot> quietest;
    const auto quiet = [this](const Session& s) {
        return !s.finishedGeneration && sessionNow() - s.movedMs > kQuietSessionMs;
    };
    {
        std::lock_guard lock(mutex_);
        std::size_t open = 0, mine = 0;
        for (const auto& [key, slot] : sessions_) {
            const Session& s = slot->session;
            if (s.finishedGeneration) continue;
            ++open;
            if (s.owner == owner) ++mine;
            if (quiet(s) && (!quietest || s.movedMs < quietest->session.movedMs)) {
                quietest = slot;
                id = key;
            }
        }
        // Dropping one would not let this start in.
        if (open < maxOpenSessions_ || mine >= kMaxOpenSessionsPerOwner || !quietest) return;
    }
    // A chunk being stored moves the session: it is not the quiet one.
    std::unique_lock io(quietest->io, std::try_to_lock);
    if (!io || quietest->gone || !quiet(quietest->session)) return;
    dropHeldSession(id, *quietest);
}

ChunkOutcome Store::startSession(const std::string& bucket, const std::string& name, const MetadataPatch& metadata,
                                 std::optional<int64_t> total, const std::string& owner) {
    // Lapsed sessions count against no bound.
    dropSessionsWhere([this](const Session& other) { return lapsed(other); });
    dropQuietestAtBound(owner);
    ChunkOutcome outcome;
    auto slot = std::make_shared<SessionSlot>();
    Session& s = slot->session;
    s.total = total;
    s.id = newId();
    s.bucket = bucket;
    s.name = name;
    s.owner = owner;
    s.metadata = metadata;
    s.createdMs = s.movedMs = sessionNow();
    // Held until the record is on disk, so no chunk can reach the session before.
    std::lock_guard io(slot->io);
    {
        std::lock_guard lock(mutex_);
        if (total) {
            if (auto problem = quotaProblemLocked(bucket, name, *total)) {
                outcome.kind = *total > kMaxObjectBytes ? ChunkOutcome::Kind::TooLarge : ChunkOutcome::Kind::QuotaExceeded;
                outcome.message = *problem;
                return outcome;
            }
        }
        std::size_t open = 0, mine = 0;
        for (const auto& [id, other] : sessions_) {
            if (other->session.finishedGeneration) continue;
            ++open;
            if (other->session.owner == owner) ++mine;
        }
        if (mine >= kMaxOpenSessionsPerOwner || open >= maxOpenSessions_) {
            outcome.kind = ChunkOutcome::Kind::TooManySessions;
            outcome.message = mine >= kMaxOpenSessionsPerOwner
                                  ? "there are already " + std::to_string(mine) +
                                        " unfinished uploads of this user; finish or cancel one first"
                                  : "there are too many unfinished uploads; try again later";
            return outcome;
        }
        sessions_[s.id] = slot;
        trimFinishedSessionsLocked();
    }
    try {
        saveSession(s);
    } catch (...) {
        slot->gone = true;
        std::lock_guard lock(mutex_);
        sessions_.erase(s.id);
        throw;
    }
    outcome.kind = ChunkOutcome::Kind::Stored;
    outcome.session = s;
    return outcome;
}

std::optional<Session> Store::session(const std::string& id) {
    {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(id);
        if (it == sessions_.end()) return std::nullopt;
        if (!lapsed(it->second->session)) return it->second->session;
    }
    dropSessionsWhere([&](const Session& s) { return s.id == id && lapsed(s); });
    return std::nullopt;
}

std::vector<Session> Store::sessions() {
    dropSessionsWhere([this](const Session& s) { return lapsed(s); });
    std::lock_guard lock(mutex_);
    std::vector<Session> out;
    for (const auto& [id, slot] : sessions_) out.push_back(slot->session);
    return out;
}

// The answer a chunk gets before any byte is written: the object a finished
// session made, or why the chunk cannot go on. Nothing when it may be written.
std::optional<ChunkOutcome> Store::answerBeforeWriting(const Session& s, int64_t first, std::size_t size,
                                                       std::optional<int64_t> total) {
    ChunkOutcome outcome;
    outcome.session = s;
    auto refuse = [&](ChunkOutcome::Kind kind, std::string message) {
        outcome.kind = kind;
        outcome.message = std::move(message);
        return outcome;
    };
    if (s.finishedGeneration) {
        // A repeat of the last request whose answer was lost: the object it made.
        auto object = find(s.bucket, s.name);
        if (!object || object->generation != *s.finishedGeneration) {
            return refuse(ChunkOutcome::Kind::NotFound, "the upload finished and its object has changed since");
        }
        outcome.kind = ChunkOutcome::Kind::Finished;
        outcome.object = std::move(object);
        return outcome;
    }
    if (total && s.total && *total != *s.total) {
        return refuse(ChunkOutcome::Kind::Refused, "the total size " + std::to_string(*total) +
                                                       " differs from the one given before (" +
                                                       std::to_string(*s.total) + ")");
    }
    const std::optional<int64_t> knownTotal = total ? total : s.total;
    if (knownTotal && *knownTotal < s.received) {
        return refuse(ChunkOutcome::Kind::Refused, "the total size is less than the bytes already received");
    }
    if (first >= 0) {
        if (first != s.received) {
            return refuse(ChunkOutcome::Kind::Refused,
                          "the chunk starts at byte " + std::to_string(first) + " but the next byte expected is " +
                              std::to_string(s.received) +
                              (first < s.received ? " (it overlaps what arrived)" : " (it leaves a gap)"));
        }
        const int64_t end = s.received + int64_t(size);
        if (knownTotal && end > *knownTotal) {
            return refuse(ChunkOutcome::Kind::Refused, "the chunk ends past the total size");
        }
        std::lock_guard lock(mutex_);
        if (auto problem = quotaProblemLocked(s.bucket, s.name, end)) {
            return refuse(end > kMaxObjectBytes ? ChunkOutcome::Kind::TooLarge : ChunkOutcome::Kind::QuotaExceeded,
                          *problem);
        }
    }
    if (knownTotal && *knownTotal > kMaxObjectBytes) {
        return refuse(ChunkOutcome::Kind::TooLarge,
                      "an object may hold at most " + std::to_string(kMaxObjectBytes) + " bytes");
    }
    return std::nullopt;
}

ChunkOutcome Store::appendChunk(const std::string& id, int64_t first, std::string_view bytes,
                                std::optional<int64_t> total,
                                const std::function<void(std::string_view step)>& atStep) {
    auto step = [&](std::string_view name) {
        if (atStep) atStep(name);
    };
    ChunkOutcome outcome;
    std::shared_ptr<SessionSlot> slot;
    {
        std::lock_guard lock(mutex_);
        if (auto it = sessions_.find(id); it != sessions_.end()) slot = it->second;
    }
    std::unique_lock io = slot ? std::unique_lock(slot->io) : std::unique_lock<std::mutex>();
    if (!slot || slot->gone || lapsed(slot->session)) {
        if (slot && !slot->gone) dropHeldSession(id, *slot);
        outcome.kind = ChunkOutcome::Kind::NotFound;
        outcome.message = "there is no upload session " + id;
        return outcome;
    }
    // Only holders of `io` change it, so it is read here without the store's mutex.
    const Session& s = slot->session;
    if (auto answer = answerBeforeWriting(s, first, bytes.size(), total)) return std::move(*answer);

    Session updated = s;
    updated.total = total ? total : s.total;
    if (!bytes.empty()) {
        writeAtAndSync(sessionFile(s.id, ".part"), s.received, bytes);
        updated.received += int64_t(bytes.size());
        step("chunkSynced");
    }
    if (!updated.total || updated.received != *updated.total) {
        if (updated.received != s.received || updated.total != s.total) {
            updated.movedMs = sessionNow();
            saveSession(updated);
        }
        std::lock_guard lock(mutex_);
        slot->session = updated;
        outcome.kind = ChunkOutcome::Kind::Stored;
        outcome.session = updated;
        return outcome;
    }
    return finishUpload(id, *slot, std::move(updated), step);
}

// The last byte arrived: the part file becomes the object's new generation.
// The caller holds the slot's `io`.
ChunkOutcome Store::finishUpload(const std::string& id, SessionSlot& slot, Session updated,
                                 const std::function<void(std::string_view step)>& step) {
    ChunkOutcome outcome;
    const Session& s = slot.session;
    const fs::path part = sessionFile(s.id, ".part");
    std::lock_guard objectGuard(objectLock(s.bucket, s.name));
    const ObjectKey key{s.bucket, s.name};
    {
        std::lock_guard lock(mutex_);
        if (auto problem = quotaProblemLocked(s.bucket, s.name, updated.received)) {
            slot.gone = true;
            sessions_.erase(id);
            removeSessionFiles(id);
            outcome.kind = ChunkOutcome::Kind::QuotaExceeded;
            outcome.message = *problem;
            return outcome;
        }
        pending_[key] = updated.received;
    }
    auto unreserve = [&] {
        std::lock_guard lock(mutex_);
        pending_.erase(key);
    };
    const std::string blob = newId();
    try {
        if (!fs::exists(part)) writeAtAndSync(part, 0, {});
        saveSession(updated, blob);
        step("journaled");
        fs::rename(part, dir_ / kBlobsDir / blob);
    } catch (...) {
        unreserve();
        throw;
    }
    try {
        syncFolder(dir_ / kBlobsDir);
        step("renamed");
        outcome.object = commit(s.bucket, s.name, s.metadata, blob, updated.received);
    } catch (...) {
        // The bytes go back to the session, which the client may finish again.
        std::error_code ignored;
        fs::rename(dir_ / kBlobsDir / blob, part, ignored);
        unreserve();
        throw;
    }
    unreserve();
    step("committed");
    updated.finishedGeneration = outcome.object->generation;
    updated.movedMs = sessionNow();
    saveSession(updated);
    {
        std::lock_guard lock(mutex_);
        slot.session = updated;
    }
    outcome.kind = ChunkOutcome::Kind::Finished;
    outcome.session = updated;
    return outcome;
}

bool Store::cancelSession(const std::string& id) {
    std::shared_ptr<SessionSlot> slot;
    {
        std::lock_guard lock(mutex_);
        if (auto it = sessions_.find(id); it != sessions_.end()) slot = it->second;
    }
    if (!slot) return false;
    std::lock_guard io(slot->io);
    if (slot->gone) return false;
    if (lapsed(slot->session)) {
        dropHeldSession(id, *slot);
        return false;
    }
    if (slot->session.finishedGeneration) return false;
    dropHeldSession(id, *slot);
    return true;
}

}  // namespace backend::storage
