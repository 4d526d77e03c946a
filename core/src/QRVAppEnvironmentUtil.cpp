#include "core/QRVAppEnvironmentUtil.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"

namespace {

constexpr uint32_t kMachMagic32 = 0xfeedface;
constexpr uint32_t kMachMagic64 = 0xfeedfacf;
constexpr uint32_t kLoadCommandEncryptionInfo = 0x21;
constexpr uint32_t kLoadCommandEncryptionInfo64 = 0x2C;

uint32_t swapped(uint32_t v) { return __builtin_bswap32(v); }

}  // namespace

bool QRVAppEnvironmentUtil::executableHasEncryptionInfo(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    uint32_t header[7];
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
    bool swap = false;
    bool is64;
    if (header[0] == kMachMagic32 || header[0] == kMachMagic64) {
        is64 = header[0] == kMachMagic64;
    } else if (swapped(header[0]) == kMachMagic32 || swapped(header[0]) == kMachMagic64) {
        swap = true;
        is64 = swapped(header[0]) == kMachMagic64;
    } else {
        return false;
    }
    auto rd = [swap](uint32_t v) { return swap ? swapped(v) : v; };
    uint32_t ncmds = rd(header[4]);
    uint32_t sizeofcmds = rd(header[5]);
    // Load commands follow the header (28 bytes, plus a reserved word in 64-bit files).
    std::streamoff offset = is64 ? 32 : 28;
    if (sizeofcmds > (64u << 20)) return false;
    std::vector<char> commands(sizeofcmds);
    in.seekg(offset);
    if (!in.read(commands.data(), std::streamsize(commands.size()))) return false;
    size_t pos = 0;
    for (uint32_t i = 0; i < ncmds; ++i) {
        if (pos + 8 > commands.size()) return false;
        uint32_t cmd, cmdsize;
        std::memcpy(&cmd, &commands[pos], 4);
        std::memcpy(&cmdsize, &commands[pos + 4], 4);
        cmd = rd(cmd);
        cmdsize = rd(cmdsize);
        if (cmdsize < 8 || pos + cmdsize > commands.size()) return false;
        if (cmd == kLoadCommandEncryptionInfo || cmd == kLoadCommandEncryptionInfo64) {
            // cryptoff, cryptsize, cryptid follow cmd and cmdsize.
            if (cmdsize < 20) return false;
            uint32_t cryptid;
            std::memcpy(&cryptid, &commands[pos + 16], 4);
            return rd(cryptid) != 0;
        }
        pos += cmdsize;
    }
    return false;
}

bool QRVAppEnvironmentUtil::isSimulator() {
    auto machine = ns::Sandbox::current()->deviceProfile().machine;
    return machine == "x86_64" || machine == "i386";
}

bool QRVAppEnvironmentUtil::isAppStoreReceiptSandbox() {
    std::string receipt = ns::Bundle::mainBundle()->appStoreReceiptURL();
    if (receipt.empty()) return false;
    return std::string_view(receipt).substr(receipt.rfind('/') + 1) == "sandboxReceipt";
}

bool QRVAppEnvironmentUtil::isFromAppStore() {
    return isFromAppStore(
        [] { return executableHasEncryptionInfo(ns::Bundle::mainBundle()->executablePath()); });
}

// The store installs an app with an "SC_Info" folder; an encrypted build
// without one is the store's only when it is neither a test-flight build
// (sandbox receipt) nor a developer's (an embedded provisioning profile,
// a file in the bundle).
bool QRVAppEnvironmentUtil::isFromAppStore(const std::function<bool()>& executableIsEncrypted) {
    if (isSimulator()) return false;
    auto bundle = ns::Bundle::mainBundle();
    if (ns::FileManager::defaultManager().isDirectory(bundle->bundlePath() + "/SC_Info")) return true;
    if (!executableIsEncrypted()) return false;
    if (isAppStoreReceiptSandbox()) return false;
    return !bundle->pathForResource("embedded", "mobileprovision").has_value();
}

NS_REGISTER_LOAD_HOOK(10, "QRVAppEnvironmentUtil", [] {
    auto answer = [](bool (*fn)()) {
        return [fn](ns::Object*, const std::vector<ns::Value>&) { return ns::Value(fn()); };
    };
    ns::Runtime::registerClass("QRVAppEnvironmentUtil")
        .addClassMethod("isSimulator", answer(&QRVAppEnvironmentUtil::isSimulator))
        .addClassMethod("isFromAppStore", answer(&QRVAppEnvironmentUtil::isFromAppStore))
        .addClassMethod("isAppStoreReceiptSandbox", answer(&QRVAppEnvironmentUtil::isAppStoreReceiptSandbox));
});
