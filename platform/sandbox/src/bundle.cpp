#include "platform/bundle.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "platform/error.h"
#include "platform/format.h"
#include "platform/plist.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"

namespace ns {

namespace {

// Identity of one version of a file: a rewrite (atomic or in place) changes
// at least one of these.
struct FileStamp {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

FileStamp stampOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return FileStamp{true, st.st_ino, st.st_size, int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

}  // namespace

struct Bundle::Cache {
    FileStamp stamp;
    Dictionary info;
};

Bundle::Bundle(std::string path) : path_(std::move(path)) {
    while (path_.size() > 1 && path_.back() == '/') path_.pop_back();
}

std::shared_ptr<Bundle> Bundle::mainBundle() {
    return mainBundle(Sandbox::current());
}

std::shared_ptr<Bundle> Bundle::mainBundle(const std::shared_ptr<Sandbox>& sandbox) {
    return sandbox->attachment<Bundle>("ns.Bundle.main",
                                       [&] { return std::make_shared<Bundle>(sandbox->bundlePath()); });
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type,
                                                   const std::string& directory) const {
    if (name.empty() && type.empty()) return std::nullopt;
    std::string file = name;
    if (!type.empty()) file += type[0] == '.' ? type : "." + type;
    // A resource name never climbs out of the bundle.
    for (const std::string& part : {file, directory}) {
        if (part == ".." || part.rfind("../", 0) == 0 || part.find("/../") != std::string::npos ||
            (part.size() >= 3 && part.compare(part.size() - 3, 3, "/..") == 0) || (!part.empty() && part[0] == '/')) {
            return std::nullopt;
        }
    }
    std::string path = path_ + "/" + (directory.empty() ? std::string() : directory + "/") + file;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return path;
}

Dictionary Bundle::infoDictionary() const {
    const std::string path = path_ + "/Info.plist";
    FileStamp stamp = stampOf(path);
    std::lock_guard lock(mutex_);
    if (cache_ && cache_->stamp == stamp) return cache_->info;
    auto cache = std::make_shared<Cache>();
    cache->stamp = stamp;
    if (stamp.exists) {
        ErrorRef error;
        Value v = plist::readFile(path, &error);
        if (const Dictionary* d = v.dictionaryOrNull()) {
            cache->info = *d;
        } else {
            SystemLog::write(SystemLog::kError,
                             error ? format("Bundle: %s", error->localizedDescription().c_str())
                                   : format("Bundle: %s does not hold a dictionary; ignoring it.", path.c_str()));
        }
    }
    cache_ = cache;
    return cache->info;
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    Dictionary info = infoDictionary();
    auto it = info.find(key);
    return it == info.end() ? Value() : it->second;
}

std::string Bundle::bundleIdentifier() const {
    Value v = objectForInfoDictionaryKey("CFBundleIdentifier");
    return v.isString() ? v.asString() : std::string();
}

std::string Bundle::appStoreReceiptURL() const {
    const std::string sandboxReceipt = path_ + "/StoreKit/sandboxReceipt";
    struct stat st;
    if (::stat(sandboxReceipt.c_str(), &st) == 0) return sandboxReceipt;
    return path_ + "/StoreKit/receipt";
}

std::string Bundle::executablePath() const {
    Value v = objectForInfoDictionaryKey("CFBundleExecutable");
    if (v.isString() && !v.asString().empty()) return path_ + "/" + v.asString();
    return path_ + "/" + std::filesystem::path(path_).stem().string();
}

}  // namespace ns
