#pragma once
// NSBundle stand-in: a directory of resources with an Info.plist.
//
// The main bundle is the current sandbox's Bundle directory. The info
// dictionary is re-read when Info.plist changes on disk, so tests may write
// it after the bundle was first used.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/value.h"

namespace ns {

class Sandbox;

class Bundle {
public:
    explicit Bundle(std::string path);

    // The current sandbox's bundle (one object per sandbox).
    static std::shared_ptr<Bundle> mainBundle();
    static std::shared_ptr<Bundle> mainBundle(const std::shared_ptr<Sandbox>& sandbox);

    const std::string& bundlePath() const { return path_; }
    // Resources live at the top of the bundle.
    const std::string& resourcePath() const { return path_; }

    // The path of <name>.<type> in the bundle (or in `directory` inside it),
    // nullopt when there is no such file. `type` may be given with or without
    // the dot, or empty when `name` carries its extension.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type,
                                               const std::string& directory = {}) const;

    // Info.plist parsed; an empty dictionary when it is absent, unreadable or
    // not a dictionary (the problem is logged once per change of the file).
    Dictionary infoDictionary() const;
    // A null Value when absent.
    Value objectForInfoDictionaryKey(const std::string& key) const;
    // CFBundleIdentifier; empty when absent or not a string.
    std::string bundleIdentifier() const;

    // Where the App Store receipt lives: <bundle>/StoreKit/sandboxReceipt for
    // test-flight style installs (that file is present), else
    // <bundle>/StoreKit/receipt. A file path; the file need not exist.
    std::string appStoreReceiptURL() const;

    // <bundle>/<CFBundleExecutable>, or <bundle>/<last component of the
    // bundle path without extension> when the key is absent.
    std::string executablePath() const;

private:
    std::string path_;
    mutable std::mutex mutex_;
    struct Cache;
    mutable std::shared_ptr<Cache> cache_;
};

}  // namespace ns
