#pragma once
// A fresh sandbox for one test.
//
// Makes a new directory under $TMPDIR (or /tmp), installs it as the current
// sandbox, and on destruction puts the previous sandbox back and removes the
// directory. Per-sandbox services (standard user defaults, the keychain, the
// main bundle) live with the sandbox, so each test starts from empty ones.
//
//   ns::testing::TempSandbox sandbox;
//   sandbox.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.example.app"}});

#include <memory>
#include <string>
#include <string_view>

#include "platform/sandbox.h"
#include "platform/value.h"

namespace ns::testing {

class TempSandbox {
public:
    TempSandbox();
    // With a device profile in place from the start.
    explicit TempSandbox(const DeviceProfile& profile);
    ~TempSandbox();
    TempSandbox(const TempSandbox&) = delete;
    TempSandbox& operator=(const TempSandbox&) = delete;

    const std::shared_ptr<Sandbox>& sandbox() const { return sandbox_; }
    const std::string& root() const { return sandbox_->rootPath(); }

    // Writes a property list into the bundle (XML form) and returns its path.
    // `name` is the file name, e.g. "Info.plist" or "OndrixService-Info.plist"
    // (".plist" is added when missing); it may contain subdirectories.
    // Throws std::runtime_error when it can't be written.
    std::string writeBundlePlist(const std::string& name, const Value& value);
    // Writes raw bytes into the bundle, creating subdirectories; returns the path.
    std::string writeBundleFile(const std::string& name, std::string_view bytes);
    std::string writeBundleFile(const std::string& name, const Data& bytes);

    void setDeviceProfile(const DeviceProfile& profile);

    // Starts every per-sandbox service afresh (as a relaunch would), keeping
    // the files.
    void relaunch();

private:
    std::shared_ptr<Sandbox> sandbox_;
    std::shared_ptr<Sandbox> previous_;
};

}  // namespace ns::testing
