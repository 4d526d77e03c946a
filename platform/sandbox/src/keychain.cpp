#include "platform/keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/error.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/plist.h"
#include "platform/sandbox.h"
#include "platform/store_writes.h"
#include "platform/system_log.h"

namespace ns {

namespace {

constexpr const char* kAttachmentKey = "ns.Keychain";

// The file's layout (see keychain.h): a sealed file is the header, a binary
// property list of the items, and the SHA-256 of everything before it. The
// header shares no byte, position for position, with a property list's
// "bplist00", so one changed byte in it can neither make the file look like
// an unsealed one nor leave it looking sealed: either way it is damage.
constexpr std::string_view kSealedHeader{"KEYCHN2\n", 8};
constexpr std::string_view kPropertyListHeader{"bplist00", 8};
constexpr size_t kDigestSize = 32;
constexpr int64_t kSealedVersion = 2;
// Files written before they were sealed: a bare binary property list holding
// "version" 1 and "items", nothing else.
constexpr int64_t kUnsealedVersion = 1;

constexpr bool differsAtEveryPosition(std::string_view a, std::string_view b) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) return false;
    }
    return a.size() == b.size();
}
static_assert(differsAtEveryPosition(kSealedHeader, kPropertyListHeader));

// Attributes that identify an item: adding a second item equal in all of
// them is a duplicate.
// Never destroyed: a key pair made on the shared pool may still be saved
// while the process exits.
const std::vector<std::string>& primaryKeyOf(const std::string& itemClass) {
    static const auto* password = new std::vector<std::string>{kSecAttrAccount, kSecAttrService, kSecAttrAccessGroup,
                                                               kSecAttrSynchronizable};
    static const auto* key =
        new std::vector<std::string>{kSecAttrKeyClass, kSecAttrApplicationLabel, kSecAttrApplicationTag,
                                     kSecAttrKeyType,  kSecAttrKeySizeInBits,    kSecAttrAccessGroup,
                                     kSecAttrSynchronizable};
    return itemClass == kSecClassKey ? *key : *password;
}

bool isControlKey(const std::string& key) {
    return key.rfind("r_", 0) == 0 || key.rfind("m_", 0) == 0 || key.rfind("u_", 0) == 0;
}

bool knownClass(const Value& c) {
    return c.isString() && (c.asString() == kSecClassGenericPassword || c.asString() == kSecClassKey);
}

bool plistStorable(const Value& v) {
    switch (v.type()) {
        case Value::Type::Null:
        case Value::Type::Object: return false;
        case Value::Type::Array: return std::all_of(v.asArray().begin(), v.asArray().end(), plistStorable);
        case Value::Type::Dictionary:
            for (const auto& [k, e] : v.asDictionary()) {
                if (!plistStorable(e)) return false;
            }
            return true;
        default: return true;
    }
}

// Brings the spellings callers use for one attribute to one form, so that a
// tag given as text matches the same tag given as bytes. False when the
// value can't be that attribute.
bool normalizeAttribute(const std::string& key, Value& v) {
    if (key == kSecAttrApplicationTag || key == kSecAttrApplicationLabel || key == kSecAttrGeneric) {
        if (v.isString()) v = Value(Data(v.asString().begin(), v.asString().end()));
        return v.isData();
    }
    if (key == kSecAttrKeyClass || key == kSecAttrKeyType) {
        if (v.type() == Value::Type::UInt) v = Value(std::to_string(v.asUInt()));
        if (v.type() == Value::Type::Int) v = Value(std::to_string(v.asInt()));
        return v.isString();
    }
    if (key == kSecAttrKeySizeInBits) {
        if (v.isString()) {
            const std::string& s = v.asString();
            char* end = nullptr;
            long long n = std::strtoll(s.c_str(), &end, 10);
            if (s.empty() || !end || *end != '\0') return false;
            v = Value(n);
        }
        // A whole real within range reads as that integer; past it the cast
        // would be undefined.
        if (v.isDouble() && std::trunc(v.asDouble()) == v.asDouble() && std::fabs(v.asDouble()) < 0x1p62) {
            v = Value(int64_t(v.asDouble()));
        }
        return v.isInteger();
    }
    if (key == kSecAttrIsPermanent || key == kSecAttrSynchronizable) {
        if (v.isNumber()) v = Value(v.boolValue());
        return v.isBool();
    }
    if (key == kSecAttrService || key == kSecAttrAccount || key == kSecAttrLabel || key == kSecAttrAccessGroup ||
        key == kSecAttrAccessible) {
        return v.isString();
    }
    if (key == kSecAttrCreationDate || key == kSecAttrModificationDate) return v.isDate();
    return plistStorable(v);
}

struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    friend bool operator==(const Stamp&, const Stamp&) = default;
};

Stamp stampOf(const struct stat& st) {
    return Stamp{true, st.st_dev, st.st_ino, st.st_size,
                 int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// flock on a file next to the keychain, held for one operation, so that
// keychain objects in this and other processes don't interleave their
// read-modify-write cycles.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

struct Item {
    Dictionary attributes;  // includes kSecClass
    Data data;
    bool permanent = true;

    const std::string& itemClass() const { return attributes.find(kSecClass)->second.asString(); }
    friend bool operator==(const Item&, const Item&) = default;
};

bool samePrimaryKey(const Item& a, const Item& b) {
    if (a.itemClass() != b.itemClass()) return false;
    for (const std::string& k : primaryKeyOf(a.itemClass())) {
        auto ia = a.attributes.find(k);
        auto ib = b.attributes.find(k);
        bool hasA = ia != a.attributes.end(), hasB = ib != b.attributes.end();
        if (hasA != hasB) return false;
        if (hasA && !(ia->second == ib->second)) return false;
    }
    return true;
}

std::string_view viewOf(const Data& bytes, size_t from, size_t size) {
    return {reinterpret_cast<const char*>(bytes.data()) + from, size};
}

bool startsWith(const Data& bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && viewOf(bytes, 0, prefix.size()) == prefix;
}

// The whole file for the permanent items, sealed; nullopt with *error when
// an item has no property-list form.
std::optional<Data> sealedFile(const std::vector<Item>& items, ErrorRef* error) {
    Array list;
    for (const Item& i : items) {
        if (i.permanent) list.push_back(Value(Dictionary{{"attributes", i.attributes}, {"data", i.data}}));
    }
    Data body = plist::serialize(Value(Dictionary{{"version", kSealedVersion}, {"items", std::move(list)}}),
                                 plist::Format::Binary, error);
    if (body.empty()) return std::nullopt;
    Data file(kSealedHeader.size() + body.size() + kDigestSize);
    auto at = std::copy(kSealedHeader.begin(), kSealedHeader.end(), file.begin());
    at = std::copy(body.begin(), body.end(), at);
    const Data digest = crypto::sha256(viewOf(file, 0, size_t(at - file.begin())));
    std::copy(digest.begin(), digest.end(), at);
    return file;
}

// The items a file holds into `out`, or what is wrong with it. Only two
// kinds of file are the keychain's own: a sealed one whose digest matches
// every byte before it, and an unsealed one exactly as the earlier writer
// left it (read as it is; its next write seals it). Anything else, such as a
// sealed file with any one byte changed, was changed outside the keychain.
std::optional<std::string> readItems(const Data& bytes, std::vector<Item>& out) {
    Data body;
    int64_t version = kUnsealedVersion;
    if (startsWith(bytes, kSealedHeader)) {
        if (bytes.size() < kSealedHeader.size() + kDigestSize) return "cut short";
        const size_t sealed = bytes.size() - kDigestSize;
        if (crypto::sha256(viewOf(bytes, 0, sealed)) != Data(bytes.begin() + long(sealed), bytes.end())) {
            return "its digest does not match its content: it was changed outside the keychain";
        }
        body.assign(bytes.begin() + long(kSealedHeader.size()), bytes.begin() + long(sealed));
        version = kSealedVersion;
    } else if (startsWith(bytes, kPropertyListHeader)) {
        body = bytes;
    } else {
        return "not a keychain file";
    }
    ErrorRef error;
    Value root = plist::parse(body, &error);
    if (error) return error->localizedDescription();
    const Dictionary* top = root.dictionaryOrNull();
    const Array* list = root["items"].arrayOrNull();
    if (!top || !list) return "no item list";
    const Value& stored = root["version"];
    if (top->size() != 2 || !stored.isInteger() || stored.asInt() != version) {
        return format("not a keychain file of version %lld", static_cast<long long>(version));
    }
    out.clear();
    for (const Value& entry : *list) {
        const Dictionary* attrs = entry["attributes"].dictionaryOrNull();
        const Value& data = entry["data"];
        if (!attrs || !data.isData() || !knownClass((*attrs).count(kSecClass) ? attrs->at(kSecClass) : Value())) {
            return "an item is malformed";
        }
        out.push_back(Item{*attrs, data.asData(), true});
    }
    return std::nullopt;
}

struct Outcome {
    OSStatus status = errSecSuccess;
    std::string message;
};

// A parsed query: the attributes to match and what to return.
struct Query {
    Dictionary attributes;  // includes kSecClass
    bool returnData = false;
    bool returnAttributes = false;
    size_t limit = 1;  // SIZE_MAX for all
};

bool matches(const Item& item, const Dictionary& attributes) {
    for (const auto& [k, v] : attributes) {
        auto it = item.attributes.find(k);
        if (it == item.attributes.end() || !(it->second == v)) return false;
    }
    return true;
}

Value resultFor(const Item& item, bool returnData, bool returnAttributes) {
    if (returnAttributes) {
        Dictionary d = item.attributes;
        if (returnData) d[kSecValueData] = item.data;
        return Value(std::move(d));
    }
    if (returnData) return Value(item.data);
    return Value();
}

const char* operationName(Keychain::Operation op) {
    switch (op) {
        case Keychain::Operation::Add: return "add";
        case Keychain::Operation::CopyMatching: return "copyMatching";
        case Keychain::Operation::Update: return "update";
        case Keychain::Operation::Delete: return "delete";
        case Keychain::Operation::Any: break;
    }
    return "any";
}

}  // namespace

struct Keychain::Impl {
    std::string path;
    std::vector<std::string> accessGroups;

    std::mutex mutex;
    std::vector<Item> items;
    bool loaded = false;
    Stamp stamp;
    int heldFd = -1;
    std::string lastError;
    struct Injection {
        OSStatus status;
        int remaining;  // -1: until cleared
        Operation operation;
    };
    std::vector<Injection> injections;

    ~Impl() { release(); }

    std::string directory() const { return path.substr(0, path.rfind('/')); }

    OSStatus finish(Outcome outcome) {
        lastError = std::move(outcome.message);
        // Not-found and duplicate answers are ordinary results (every first
        // launch looks for items that are not there yet); only real failures
        // are worth a line in the log.
        bool ordinary = outcome.status == errSecItemNotFound || outcome.status == errSecDuplicateItem;
        if (outcome.status != errSecSuccess && !ordinary && !lastError.empty()) {
            SystemLog::write(SystemLog::kError, "Keychain: " + lastError);
        }
        return outcome.status;
    }

    std::optional<Outcome> injected(Operation op) {
        for (auto it = injections.begin(); it != injections.end(); ++it) {
            if (it->operation != Operation::Any && it->operation != op) continue;
            OSStatus status = it->status;
            if (it->remaining > 0 && --it->remaining == 0) injections.erase(it);
            return Outcome{status, format("Injected failure %d for %s.", int(status), operationName(op))};
        }
        return std::nullopt;
    }

    std::optional<Outcome> checkAccessGroup(const Dictionary& attributes) const {
        auto g = attributes.find(kSecAttrAccessGroup);
        if (g == attributes.end() || accessGroups.empty()) return std::nullopt;
        if (std::find(accessGroups.begin(), accessGroups.end(), g->second.asString()) != accessGroups.end()) {
            return std::nullopt;
        }
        return Outcome{errSecMissingEntitlement,
                       format("The access group \"%s\" is not among the app's keychain access groups.",
                              g->second.asString().c_str())};
    }

    // Reads kSecClass, the attributes (normalised) and the return / limit
    // keys of a query.
    std::optional<Outcome> parseQuery(const Dictionary& in, Query& q) const {
        auto cls = in.find(kSecClass);
        if (cls == in.end() || !knownClass(cls->second)) {
            return Outcome{errSecParam, "The query has no known kSecClass."};
        }
        for (const auto& [k, v] : in) {
            if (k == kSecClass) {
                q.attributes[k] = v;
            } else if (k == kSecReturnData) {
                q.returnData = v.boolValue();
            } else if (k == kSecReturnAttributes) {
                q.returnAttributes = v.boolValue();
            } else if (k == kSecMatchLimit) {
                if (v.isString() && v.asString() == kSecMatchLimitAll) {
                    q.limit = SIZE_MAX;
                } else if (v.isString() && v.asString() == kSecMatchLimitOne) {
                    q.limit = 1;
                } else if (v.isInteger() && v.intValue() > 0) {
                    q.limit = size_t(v.intValue());
                } else {
                    return Outcome{errSecParam, format("Unsupported kSecMatchLimit %@.", v)};
                }
            } else if (k == kSecValueData || isControlKey(k)) {
                continue;
            } else {
                Value nv = v;
                if (!normalizeAttribute(k, nv)) {
                    return Outcome{errSecParam, format("Attribute %s has a value of the wrong kind: %@", k.c_str(), v)};
                }
                q.attributes.insert_or_assign(k, std::move(nv));
            }
        }
        if (auto bad = checkAccessGroup(q.attributes)) return bad;
        return std::nullopt;
    }

    // Holding the loaded version of the file open keeps its inode from being
    // reused, so "same inode, size and time" reliably means "same version".
    void hold(int fd, const struct stat& st) {
        if (heldFd >= 0) ::close(heldFd);
        heldFd = fd;
        stamp = stampOf(st);
    }
    void release() {
        if (heldFd >= 0) ::close(heldFd);
        heldFd = -1;
        stamp = Stamp{};
    }

    // Brings the items up to date with the file. Leaves an unreadable file
    // alone and reports it.
    Outcome refresh() {
        const int failure = storeWrites::opening("keychain open");
        int fd = failure ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            int err = failure ? failure : errno;
            if (err != ENOENT) {
                return {errSecIO, format("The keychain file “%s” can't be read (%s); it was left untouched.",
                                         path.c_str(), std::strerror(err))};
            }
            // No file: an empty keychain (items that were never written stay).
            std::erase_if(items, [](const Item& i) { return i.permanent; });
            release();
            loaded = true;
            return {};
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
            ::close(fd);
            return {errSecIO, format("The keychain file “%s” can't be read (%s); it was left untouched.",
                                     path.c_str(), std::strerror(err))};
        }
        if (loaded && stampOf(st) == stamp) {
            ::close(fd);
            return {};
        }

        Data bytes;
        uint8_t buf[65536];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int err = errno;
                ::close(fd);
                return {errSecIO, format("The keychain file “%s” can't be read (%s); it was left untouched.",
                                         path.c_str(), std::strerror(err))};
            }
            if (n == 0) break;
            bytes.insert(bytes.end(), buf, buf + n);
        }
        std::vector<Item> loadedItems;
        if (std::optional<std::string> problem = readItems(bytes, loadedItems)) {
            ::close(fd);
            return setAsideCorrupt(*problem);
        }
        for (Item& i : items) {
            if (!i.permanent) loadedItems.push_back(std::move(i));
        }
        items = std::move(loadedItems);
        hold(fd, st);
        loaded = true;
        return {};
    }

    // A file that reads but holds no keychain was damaged (cut short,
    // overwritten): nothing in it can be trusted, and refusing every
    // operation would leave the app unable to keep anything, for good, on a
    // phone where nobody can move the file. It is kept beside itself for
    // inspection, logged, and the keychain goes on empty (items that were
    // never written stay). Only when it cannot be moved is it reported.
    Outcome setAsideCorrupt(const std::string& problem) {
        ErrorRef error;
        std::optional<std::string> aside = FileManager().setAside(path, &error);
        if (!aside) {
            return {errSecDecode, format("The keychain file “%s” is corrupt (%s) and could not be set aside (%s); "
                                         "it was left untouched.",
                                         path.c_str(), problem.c_str(),
                                         error ? error->localizedDescription().c_str() : "")};
        }
        SystemLog::write(SystemLog::kError, format("Keychain: the file “%s” is corrupt (%s); it was kept as “%s” "
                                                   "and the keychain starts empty.",
                                                   path.c_str(), problem.c_str(), aside->c_str()));
        std::erase_if(items, [](const Item& i) { return i.permanent; });
        release();
        loaded = true;
        return {};
    }

    Outcome persist() {
        // One atomic replacement carries the items and their digest
        // together, so no crash leaves the two disagreeing.
        StoreWrite held("keychain write");
        ErrorRef error;
        if (held.failure()) {
            return {errSecIO, format("Cannot write the keychain file “%s”: %s", path.c_str(), std::strerror(held.failure()))};
        }
        std::optional<Data> file = sealedFile(items, &error);
        if (!file || !FileManager().writeData(path, *file, &error, {.permissions = 0600})) {
            return {errSecIO, format("Cannot write the keychain file “%s”: %s", path.c_str(),
                                     error ? error->localizedDescription().c_str() : "")};
        }
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0) {
            hold(fd, st);
        } else {
            if (fd >= 0) ::close(fd);
            release();
            loaded = false;  // read it back next time
        }
        return {};
    }

    // Runs `body` on up-to-date items under the file lock; a failing body or
    // a failed write leaves the items as they were.
    template <class Body>
    OSStatus transact(bool mutates, Body&& body) {
        const std::string dir = directory();
        if (mutates && ::access(dir.c_str(), F_OK) != 0) ::mkdir(dir.c_str(), 0700);
        FileLock lock(path + ".lock");
        if (Outcome o = refresh(); o.status != errSecSuccess) return finish(std::move(o));
        std::vector<Item> before = items;
        Outcome outcome = body(items);
        if (outcome.status != errSecSuccess) {
            items = std::move(before);
            return finish(std::move(outcome));
        }
        // A change that leaves every item as it was (an item stored again
        // as it is) is not written: the file already holds it, and each
        // write costs two syncs.
        if (mutates && items != before) {
            if (Outcome w = persist(); w.status != errSecSuccess) {
                items = std::move(before);
                return finish(std::move(w));
            }
        }
        return finish({});
    }
};

Keychain::Keychain(std::string path, std::vector<std::string> accessGroups)
    : path_(path), impl_(std::make_unique<Impl>()) {
    impl_->path = std::move(path);
    impl_->accessGroups = std::move(accessGroups);
}

Keychain::~Keychain() = default;

std::shared_ptr<Keychain> Keychain::shared() {
    auto sandbox = Sandbox::current();
    return sandbox->attachment<Keychain>(kAttachmentKey, [&] {
        // The entitled access groups, when the bundle declares them.
        std::vector<std::string> groups;
        if (auto path = Bundle(sandbox->bundlePath()).pathForResource("Entitlements", "plist")) {
            Value v = plist::readFile(*path);
            if (const Array* a = v["keychain-access-groups"].arrayOrNull()) {
                for (const Value& g : *a) {
                    if (g.isString()) groups.push_back(g.asString());
                }
            }
        }
        return std::make_shared<Keychain>(sandbox->keychainPath(), std::move(groups));
    });
}

void Keychain::injectFailure(OSStatus status, int count, Operation operation) {
    std::lock_guard lock(impl_->mutex);
    if (count == 0) return;
    impl_->injections.push_back(Impl::Injection{status, count < 0 ? -1 : count, operation});
}

void Keychain::clearInjectedFailures() {
    std::lock_guard lock(impl_->mutex);
    impl_->injections.clear();
}

std::string Keychain::lastErrorMessage() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lastError;
}

OSStatus Keychain::add(const Dictionary& attributesIn, Value* result) {
    Impl& k = *impl_;
    std::lock_guard lock(k.mutex);
    if (result) *result = Value();
    if (auto o = k.injected(Operation::Add)) return k.finish(std::move(*o));

    Item item;
    bool returnData = false, returnAttributes = false;
    if (!knownClass(attributesIn.count(kSecClass) ? attributesIn.at(kSecClass) : Value())) {
        return k.finish({errSecParam, "The item has no known kSecClass."});
    }
    for (const auto& [key, v] : attributesIn) {
        if (key == kSecValueData) {
            if (!v.isData()) return k.finish({errSecParam, "kSecValueData must be data."});
            item.data = v.asData();
        } else if (key == kSecReturnData) {
            returnData = v.boolValue();
        } else if (key == kSecReturnAttributes) {
            returnAttributes = v.boolValue();
        } else if (isControlKey(key)) {
            continue;
        } else {
            Value nv = v;
            if (key != kSecClass && !normalizeAttribute(key, nv)) {
                return k.finish({errSecParam, format("Attribute %s has a value of the wrong kind: %@", key.c_str(), v)});
            }
            if (key == kSecAttrIsPermanent) item.permanent = nv.asBool();
            item.attributes.insert_or_assign(key, std::move(nv));
        }
    }
    if (auto bad = k.checkAccessGroup(item.attributes)) return k.finish(std::move(*bad));
    if (!k.accessGroups.empty() && !item.attributes.contains(kSecAttrAccessGroup)) {
        item.attributes[kSecAttrAccessGroup] = k.accessGroups.front();
    }
    if (!item.attributes.contains(kSecAttrAccessible)) {
        item.attributes[kSecAttrAccessible] = kSecAttrAccessibleWhenUnlocked;
    }
    const Date now{Clock::nowSeconds()};
    item.attributes[kSecAttrCreationDate] = now;
    item.attributes[kSecAttrModificationDate] = now;

    return k.transact(item.permanent, [&](std::vector<Item>& items) -> Outcome {
        for (const Item& existing : items) {
            if (samePrimaryKey(existing, item)) {
                return {errSecDuplicateItem, "The item already exists in the keychain."};
            }
        }
        if (result) *result = resultFor(item, returnData, returnAttributes);
        items.push_back(item);
        return {};
    });
}

OSStatus Keychain::copyMatching(const Dictionary& queryIn, Value* result) {
    Impl& k = *impl_;
    std::lock_guard lock(k.mutex);
    if (result) *result = Value();
    if (auto o = k.injected(Operation::CopyMatching)) return k.finish(std::move(*o));
    Query q;
    if (auto bad = k.parseQuery(queryIn, q)) return k.finish(std::move(*bad));
    return k.transact(false, [&](std::vector<Item>& items) -> Outcome {
        Array found;
        for (const Item& i : items) {
            if (found.size() >= q.limit) break;
            if (matches(i, q.attributes)) found.push_back(resultFor(i, q.returnData, q.returnAttributes));
        }
        if (found.empty()) return {errSecItemNotFound, "The specified item could not be found in the keychain."};
        if (result) *result = q.limit == 1 ? found.front() : Value(std::move(found));
        return {};
    });
}

OSStatus Keychain::update(const Dictionary& queryIn, const Dictionary& changesIn) {
    Impl& k = *impl_;
    std::lock_guard lock(k.mutex);
    if (auto o = k.injected(Operation::Update)) return k.finish(std::move(*o));
    Query q;
    if (auto bad = k.parseQuery(queryIn, q)) return k.finish(std::move(*bad));
    Dictionary changes;
    std::optional<Data> newData;
    std::optional<bool> newPermanent;
    for (const auto& [key, v] : changesIn) {
        if (key == kSecClass || isControlKey(key)) {
            return k.finish({errSecParam, format("%s can't be changed by an update.", key.c_str())});
        }
        if (key == kSecValueData) {
            if (!v.isData()) return k.finish({errSecParam, "kSecValueData must be data."});
            newData = v.asData();
            continue;
        }
        Value nv = v;
        if (!normalizeAttribute(key, nv)) {
            return k.finish({errSecParam, format("Attribute %s has a value of the wrong kind: %@", key.c_str(), v)});
        }
        if (key == kSecAttrIsPermanent) newPermanent = nv.asBool();
        changes.insert_or_assign(key, std::move(nv));
    }
    if (auto bad = k.checkAccessGroup(changes)) return k.finish(std::move(*bad));
    const Date now{Clock::nowSeconds()};
    return k.transact(true, [&](std::vector<Item>& items) -> Outcome {
        size_t changed = 0;
        for (Item& i : items) {
            if (!matches(i, q.attributes)) continue;
            for (const auto& [key, v] : changes) i.attributes.insert_or_assign(key, v);
            if (newData) i.data = *newData;
            if (newPermanent) i.permanent = *newPermanent;
            i.attributes[kSecAttrModificationDate] = now;
            ++changed;
        }
        if (changed == 0) return {errSecItemNotFound, "The specified item could not be found in the keychain."};
        for (size_t a = 0; a < items.size(); ++a) {
            for (size_t b = a + 1; b < items.size(); ++b) {
                if (samePrimaryKey(items[a], items[b])) {
                    return {errSecDuplicateItem, "The update would make two items identical."};
                }
            }
        }
        return {};
    });
}

OSStatus Keychain::remove(const Dictionary& queryIn) {
    Impl& k = *impl_;
    std::lock_guard lock(k.mutex);
    if (auto o = k.injected(Operation::Delete)) return k.finish(std::move(*o));
    Query q;
    if (auto bad = k.parseQuery(queryIn, q)) return k.finish(std::move(*bad));
    return k.transact(true, [&](std::vector<Item>& items) -> Outcome {
        size_t removed = std::erase_if(items, [&](const Item& i) { return matches(i, q.attributes); });
        if (removed == 0) return {errSecItemNotFound, "The specified item could not be found in the keychain."};
        return {};
    });
}

OSStatus SecItemAdd(const Dictionary& attributes, Value* result) {
    return Keychain::shared()->add(attributes, result);
}

OSStatus SecItemCopyMatching(const Dictionary& query, Value* result) {
    return Keychain::shared()->copyMatching(query, result);
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    return Keychain::shared()->update(query, attributesToUpdate);
}

OSStatus SecItemDelete(const Dictionary& query) {
    return Keychain::shared()->remove(query);
}

std::string SecCopyErrorMessageString(OSStatus status) {
    switch (status) {
        case errSecSuccess: return "No error.";
        case errSecUnimplemented: return "Function or operation not implemented.";
        case errSecIO: return "I/O error.";
        case errSecParam: return "One or more parameters passed to a function were not valid.";
        case errSecAllocate: return "Failed to allocate memory.";
        case errSecNotAvailable: return "No keychain is available.";
        case errSecDuplicateItem: return "The specified item already exists in the keychain.";
        case errSecItemNotFound: return "The specified item could not be found in the keychain.";
        case errSecInteractionNotAllowed: return "User interaction is not allowed.";
        case errSecDecode: return "Unable to decode the provided data.";
        case errSecMissingEntitlement: return "A required entitlement isn't present.";
        default: return format("OSStatus %d", int(status));
    }
}

}  // namespace ns
