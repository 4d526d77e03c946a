#include "testing/temp_sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "platform/file_manager.h"
#include "platform/plist.h"

namespace ns::testing {

namespace {

std::string makeTempDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/almavel-sandbox-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("cannot create a temporary sandbox under " + tmpl);
    return buf.data();
}

void checkRelative(const std::string& name) {
    std::filesystem::path p(name);
    if (name.empty() || p.is_absolute()) throw std::invalid_argument("bundle file name must be relative: " + name);
    for (const auto& part : p) {
        if (part == "..") throw std::invalid_argument("bundle file name must stay inside the bundle: " + name);
    }
}

}  // namespace

TempSandbox::TempSandbox() : sandbox_(Sandbox::open(makeTempDirectory())) {
    previous_ = Sandbox::setCurrent(sandbox_);
}

TempSandbox::TempSandbox(const DeviceProfile& profile) : TempSandbox() {
    sandbox_->setDeviceProfile(profile);
}

TempSandbox::~TempSandbox() {
    Sandbox::setCurrent(previous_);
    sandbox_->removeAllAttachments();
    std::error_code ec;
    std::filesystem::remove_all(sandbox_->rootPath(), ec);
}

std::string TempSandbox::writeBundlePlist(const std::string& name, const Value& value) {
    std::string file = name;
    if (std::filesystem::path(file).extension() != ".plist") file += ".plist";
    checkRelative(file);
    std::string path = sandbox_->bundlePath() + "/" + file;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    ErrorRef error;
    if (!plist::writeFile(path, value, plist::Format::XML, &error)) {
        throw std::runtime_error("cannot write " + path + ": " + error->localizedDescription());
    }
    return path;
}

std::string TempSandbox::writeBundleFile(const std::string& name, const Data& bytes) {
    checkRelative(name);
    std::string path = sandbox_->bundlePath() + "/" + name;
    FileWriteOptions options;
    options.createIntermediateDirectories = true;
    ErrorRef error;
    if (!FileManager().writeData(path, bytes, &error, options)) {
        throw std::runtime_error("cannot write " + path + ": " + error->localizedDescription());
    }
    return path;
}

std::string TempSandbox::writeBundleFile(const std::string& name, std::string_view bytes) {
    return writeBundleFile(name, Data(bytes.begin(), bytes.end()));
}

void TempSandbox::setDeviceProfile(const DeviceProfile& profile) {
    sandbox_->setDeviceProfile(profile);
}

void TempSandbox::relaunch() {
    sandbox_->removeAllAttachments();
}

}  // namespace ns::testing
