#include "analytics/QRVAAEU.h"

#include <mutex>

#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAMonitor.h"
#include "core/QRVAppEnvironmentUtil.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/keychain.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"
#include "platform/utf8.h"

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

}  // namespace

// The core's checks, with the executable's encryption as read once per
// sandbox.
bool QRVAAEU::isFAS() {
    return QRVAppEnvironmentUtil::isFromAppStore([] { return executableFacts()->encrypted; });
}

bool QRVAAEU::isASRS() { return QRVAppEnvironmentUtil::isAppStoreReceiptSandbox(); }

bool QRVAAEU::isNOD() { return QRVAppEnvironmentUtil::isSimulator(); }

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

bool QRVAIsAppActive() { return QRVAFacadeIsAppActive(); }

// MARK: - Advertising identifier

std::shared_ptr<QRVAASIdentifierManager> QRVAASIdentifierManager::sharedInstance() {
    static ns::OnceFlag once;
    static auto* shared = new std::shared_ptr<QRVAASIdentifierManager>();
    ns::dispatchOnce(once, [] {
        ns::ObjectPtr manager;
        ns::Class* managerClass = ns::Runtime::lookUpClass("ASIdentifierManager");
        if (managerClass && managerClass->classRespondsTo("sharedManager") &&
            managerClass->instanceRespondsTo("isAdvertisingTrackingEnabled") &&
            managerClass->instanceRespondsTo("advertisingIdentifier")) {
            manager = ns::Runtime::sendClass("ASIdentifierManager", "sharedManager").asObject();
        } else {
            QRVAMeasurementMonitor()->logWithLevel(
                4, 5000,
                "The AdSupport Framework is not currently linked. Some features will not function properly. "
                "Learn more at https://quorvane.ondrix.com/docs/analytics/ios/ad-support");
        }
        *shared = std::make_shared<QRVAASIdentifierManager>(std::move(manager));
    });
    return *shared;
}

QRVAASIdentifierManager::QRVAASIdentifierManager(ns::ObjectPtr manager) : manager_(std::move(manager)) {}

std::optional<std::string> QRVAASIdentifierManager::advertisingIdentifierString() const {
    if (!manager_) return std::nullopt;
    ns::Value identifier = ns::Runtime::send(*manager_, "advertisingIdentifier");
    if (identifier.isNull()) return std::nullopt;
    return identifier.description();
}

bool QRVAASIdentifierManager::hasLimitedAdTracking() const { return manager_ != nullptr; }

bool QRVAASIdentifierManager::limitedAdTracking() const {
    return manager_ && !ns::Runtime::send(*manager_, "isAdvertisingTrackingEnabled").boolValue();
}

// MARK: - Keychain

std::optional<ns::Dictionary> QRVAKeychainWrapper::searchDirectoryForIdentifier(const std::string& identifier,
                                                                                const std::string& appID) {
    if (identifier.empty() || appID.empty()) return std::nullopt;
    // The platform's keychain takes the account only as text; the generic
    // attribute keeps the identifier's bytes.
    return ns::Dictionary{{ns::kSecClass, ns::kSecClassGenericPassword},
                          {ns::kSecAttrService, appID},
                          {ns::kSecAttrGeneric, ns::Data(identifier.begin(), identifier.end())},
                          {ns::kSecAttrAccount, identifier}};
}

std::optional<ns::Data> QRVAKeychainWrapper::keychainDataWithIdentifier(const std::string& identifier,
                                                                        const std::string& appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return std::nullopt;
    (*query)[ns::kSecMatchLimit] = ns::kSecMatchLimitOne;
    (*query)[ns::kSecReturnData] = true;
    ns::Value result;
    if (ns::SecItemCopyMatching(*query, &result) != ns::errSecSuccess || !result.isData()) return std::nullopt;
    return result.asData();
}

std::optional<std::string> QRVAKeychainWrapper::keychainValueWithIdentifier(const std::string& identifier,
                                                                            const std::string& appID) {
    auto data = keychainDataWithIdentifier(identifier, appID);
    if (!data || data->empty()) return std::nullopt;
    return ns::utf8::decode(data->data(), data->size());
}

bool QRVAKeychainWrapper::upsertKeychainValue(const std::string& value, const std::string& identifier,
                                              const std::string& appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (value.empty() || !query) return false;
    ns::Data data(value.begin(), value.end());
    (*query)[ns::kSecAttrAccessible] = ns::kSecAttrAccessibleAlwaysThisDeviceOnly;
    auto existing = keychainValueWithIdentifier(identifier, appID);
    if (existing && !existing->empty()) {
        return ns::SecItemUpdate(*query, ns::Dictionary{{ns::kSecValueData, data}}) == ns::errSecSuccess;
    }
    (*query)[ns::kSecValueData] = data;
    return ns::SecItemAdd(*query) == ns::errSecSuccess;
}

void QRVAKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID) {
    if (auto query = searchDirectoryForIdentifier(identifier, appID)) ns::SecItemDelete(*query);
}
