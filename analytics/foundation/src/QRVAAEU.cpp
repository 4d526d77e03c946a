#include "analytics/QRVAAEU.h"

#include <filesystem>
#include <mutex>

#include "core/QRVAppEnvironmentUtil.h"
#include "platform/bundle.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"

namespace {

// What a phone reads once per process; kept with the sandbox, so a test's
// own sandbox (and its device profile) is read afresh.
struct ExecutableFacts {
    std::string machine;
    bool encrypted = false;
};

std::shared_ptr<ExecutableFacts> executableFacts() {
    auto sandbox = ns::Sandbox::current();
    return sandbox->attachment<ExecutableFacts>("QRVAAEU", [&sandbox] {
        auto made = std::make_shared<ExecutableFacts>();
        made->machine = sandbox->deviceProfile().machine;
        made->encrypted =
            QRVAppEnvironmentUtil::executableHasEncryptionInfo(ns::Bundle::mainBundle(sandbox)->executablePath());
        return made;
    });
}

std::mutex& appActiveMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}
std::function<bool()>& appActiveProvider() {
    static auto* provider = new std::function<bool()>();
    return *provider;
}

}  // namespace

bool QRVAAEU::isFAS() {
    if (isNOD()) return false;
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::path(ns::Bundle::mainBundle()->bundlePath()) / "SC_Info", ec)) {
        return true;
    }
    if (!executableFacts()->encrypted) return false;
    if (isASRS()) return false;
    return !ns::Bundle::mainBundle()->pathForResource("embedded", "mobileprovision").has_value();
}

bool QRVAAEU::isASRS() {
    std::string receipt = ns::Bundle::mainBundle()->appStoreReceiptURL();
    return !receipt.empty() && std::filesystem::path(receipt).filename() == "sandboxReceipt";
}

bool QRVAAEU::isNOD() {
    auto model = deviceModel();
    return model && (*model == "x86_64" || *model == "i386");
}

std::optional<std::string> QRVAAEU::deviceModel() {
    std::string machine = executableFacts()->machine;
    if (machine.empty()) return std::nullopt;
    return machine;
}

std::string QRVAAEU::systemVersion() { return ns::Sandbox::current()->deviceProfile().systemVersion; }

bool QRVAAEU::isAEX() { return ns::Bundle::mainBundle()->bundlePath().ends_with(".appex"); }

ns::Value QRVAAEU::sharedApplication() {
    if (isAEX()) return {};
    ns::Class* application = ns::Runtime::lookUpClass("UIApplication");
    if (!application || !application->classRespondsTo("sharedApplication")) return {};
    return ns::Runtime::sendClass("UIApplication", "sharedApplication");
}

bool QRVAIsAppActive() {
    std::function<bool()> provider;
    {
        std::lock_guard lock(appActiveMutex());
        provider = appActiveProvider();
    }
    return provider && provider();
}

void QRVASetAppActiveProvider(std::function<bool()> provider) {
    std::lock_guard lock(appActiveMutex());
    appActiveProvider() = std::move(provider);
}
