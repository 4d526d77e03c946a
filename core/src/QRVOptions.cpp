#include "core/QRVOptions.h"

#include <mutex>

#include "platform/bundle.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/plist.h"

namespace {

const char* const kStringKeys[] = {kQRVOptionsKeyOndrixAppID, kQRVOptionsKeyAPIKey,         kQRVOptionsKeyClientID,
                                   kQRVOptionsKeySenderID,    kQRVOptionsKeyProjectID,      kQRVOptionsKeyDatabaseURL,
                                   kQRVOptionsKeyStorageBucket, kQRVOptionsKeyBundleID};
const char* const kBoolKeys[] = {kQRVOptionsKeyAnalyticsCollectionDeactivated, kQRVOptionsKeyAnalyticsCollectionEnabled};

std::string where(const std::string& path) { return path.empty() ? std::string("the options") : path; }

struct DefaultCache {
    std::mutex mutex;
    bool loaded = false;
    std::string bundlePath;  // the bundle the cached answer came from
    std::shared_ptr<const QRVOptions> options;
};

DefaultCache& defaultCache() {
    static ns::NoDestructor<DefaultCache> cache;
    return *cache;
}

}  // namespace

QRVOptions::QRVOptions(ns::Dictionary dictionary, bool fromDefaultPlist, std::string sourcePath)
    : dictionary_(std::move(dictionary)), fromDefaultPlist_(fromDefaultPlist), sourcePath_(std::move(sourcePath)) {
    for (const char* key : kStringKeys) {
        auto it = dictionary_.find(key);
        if (it != dictionary_.end() && !it->second.isString()) {
            throw ns::Exception(kQRVInvalidOptionsException,
                                ns::format("The value of %s in %@ must be a string.", key, where(sourcePath_)));
        }
    }
    for (const char* key : kBoolKeys) {
        auto it = dictionary_.find(key);
        if (it != dictionary_.end() && !it->second.isBool()) {
            throw ns::Exception(kQRVInvalidOptionsException,
                                ns::format("The value of %s in %@ must be a boolean.", key, where(sourcePath_)));
        }
    }
}

std::shared_ptr<const QRVOptions> QRVOptions::optionsWithContentsOfFile(const std::string& path) {
    ns::ErrorRef error;
    ns::Value value = ns::plist::readFile(path, &error);
    if (error) {
        throw ns::Exception(kQRVInvalidOptionsException,
                            ns::format("Could not read the options file %@: %@", path, error->localizedDescription()));
    }
    if (!value.isDictionary()) {
        throw ns::Exception(kQRVInvalidOptionsException,
                            ns::format("The options file %@ does not hold a dictionary.", path));
    }
    return std::make_shared<const QRVOptions>(value.asDictionary(), false, path);
}

std::shared_ptr<const QRVOptions> QRVOptions::defaultOptions() {
    auto& cache = defaultCache();
    std::lock_guard lock(cache.mutex);
    std::string bundlePath = ns::Bundle::mainBundle()->bundlePath();
    if (!cache.loaded || cache.bundlePath != bundlePath) {
        cache.loaded = false;
        cache.options.reset();
        auto path = ns::Bundle::mainBundle()->pathForResource(kQRVOptionsFileName, "plist");
        if (path) {
            auto options = optionsWithContentsOfFile(*path);
            cache.options = std::make_shared<const QRVOptions>(options->dictionary(), true, *path);
        }
        // Only a successful read is remembered: a broken file raises again on the next call.
        cache.loaded = true;
        cache.bundlePath = bundlePath;
    }
    return cache.options;
}

void QRVOptions::resetForTesting() {
    auto& cache = defaultCache();
    std::lock_guard lock(cache.mutex);
    cache.loaded = false;
    cache.options.reset();
}

std::shared_ptr<const QRVOptions> QRVOptions::copy() const {
    return std::make_shared<const QRVOptions>(dictionary_, fromDefaultPlist_, sourcePath_);
}

std::optional<std::string> QRVOptions::string(const char* key) const {
    auto it = dictionary_.find(key);
    if (it == dictionary_.end() || !it->second.isString()) return std::nullopt;
    return it->second.asString();
}

bool QRVOptions::analyticsSwitch(const char* key, bool fallback) const {
    ns::Value info = ns::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
    if (info.isBool()) return info.asBool();
    auto it = dictionary_.find(key);
    if (it != dictionary_.end() && it->second.isBool()) return it->second.asBool();
    return fallback;
}

bool QRVOptions::isAnalyticsCollectionDeactivated() const {
    return analyticsSwitch(kQRVOptionsKeyAnalyticsCollectionDeactivated, false);
}

bool QRVOptions::isAnalyticsCollectionEnabled() const { return analyticsSwitch(kQRVOptionsKeyAnalyticsCollectionEnabled, true); }

std::string QRVOptions::description() const {
    return ns::format("<QRVOptions appID=%@ senderID=%@ databaseURL=%@ storageBucket=%@>",
                      ondrixAppID().value_or("(null)"), KDXSenderID().value_or("(null)"),
                      databaseURL().value_or("(null)"), storageBucket().value_or("(null)"));
}
