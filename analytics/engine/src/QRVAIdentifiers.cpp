#include "analytics/QRVAIdentifiers.h"

#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVOptions.h"
#include "platform/format.h"

namespace {


}  // namespace

std::shared_ptr<QRVAIdentifiers> QRVAIdentifiers::sharedInstance() {
    static auto* shared = new std::shared_ptr<QRVAIdentifiers>(std::make_shared<QRVAIdentifiers>());
    return *shared;
}

std::optional<std::string> QRVAIdentifiers::ondrixAppID() {
    if (auto identity = QRVAEngineIdentity()) {
        auto appID = identity->appIDFromVLP();
        if (!appID) QRVALog(1, 37000, "Unable to fetch Ondrix App ID from identity");
        return appID;
    }
    auto options = QRVOptions::defaultOptions();
    auto appID = options ? options->ondrixAppID() : std::nullopt;
    if (!appID || appID->empty()) {
        QRVALog(1, 37001, "Unable to fetch Ondrix App ID from default options");
        return std::nullopt;
    }
    return appID;
}

std::optional<std::string> QRVAIdentifiers::appInstanceID() {
    if (auto identity = QRVAEngineIdentity()) {
        std::string appInstanceID = identity->appInstanceID();
        if (appInstanceID.empty()) {
            QRVALog(1, 37002, "Unable to fetch App Instance ID from identity");
            return std::nullopt;
        }
        return appInstanceID;
    }
    auto identity = QRVAIdentity::sharedInstance();
    std::string appInstanceID = identity ? identity->appInstanceID() : "";
    if (appInstanceID.empty()) {
        QRVALog(1, 37003, "Unable to fetch App Instance ID from identity shared instance");
        return std::nullopt;
    }
    return appInstanceID;
}

std::string QRVAIdentifiers::adEventID() {
    // Unsigned arithmetic: the counter wraps past the largest value instead
    // of overflowing.
    static std::atomic<uint64_t> counter{static_cast<uint64_t>(QRVANumericUtil::randomInt64())};
    const uint64_t next = counter.fetch_add(1) + 1;
    return ns::format("%lld", static_cast<long long>(static_cast<int64_t>(next)));
}

std::string QRVAIdentifiers::libraryVersion() {
    return ns::format("%lld", static_cast<long long>(QRVAIdentity::quorvaneAnalyticsLibraryVersion()));
}
