// The engine bridge's holders and plain answers (see QRVAEngineBridge.h).

#include "analytics/QRVAEngineBridge.h"

#include "analytics/QRVAIdentity.h"
#include "analytics/QRVARemoteConfig.h"
#include "platform/guarded.h"

namespace {

// Before any start the identity's freshness is a second: the setting's
// default only applies once there are settings to ask.
constexpr double kQRVANoEngineAdIDCacheTime = 1.0;

struct StartedEngine {
    std::weak_ptr<QRVAIdentity> identity;
    std::weak_ptr<QRVARemoteConfig> settings;
    bool started = false;
};

// Installed from static initializers and read by worker blocks at exit:
// never destroyed.
ns::Guarded<QRVAEngineHooks>& hooks() {
    static auto* installed = new ns::Guarded<QRVAEngineHooks>;
    return *installed;
}
ns::Guarded<StartedEngine>& started() {
    static auto* engine = new ns::Guarded<StartedEngine>;
    return *engine;
}

}  // namespace

void QRVASetEngineHooks(QRVAEngineHooks installed) { hooks().set(std::move(installed)); }

std::shared_ptr<QRVASessionReporting> QRVAEngineMakeSessionReporter(std::shared_ptr<QRVAPersistedConfig> persistedConfig) {
    auto make = hooks().with([](const QRVAEngineHooks& h) { return h.makeSessionReporter; });
    return make ? make(std::move(persistedConfig)) : nullptr;
}

std::shared_ptr<QRVAPurchaseReporting> QRVAEnginePurchaseReporter() {
    auto shared = hooks().with([](const QRVAEngineHooks& h) { return h.purchaseReporter; });
    return shared ? shared() : nullptr;
}

std::shared_ptr<QRVASearchAdReporting> QRVAEngineMakeSearchAdReporter(
    ns::DispatchQueuePtr workerQueue, std::shared_ptr<QRVAPersistedConfig> persistedConfig) {
    auto make = hooks().with([](const QRVAEngineHooks& h) { return h.makeSearchAdReporter; });
    return make ? make(std::move(workerQueue), std::move(persistedConfig)) : nullptr;
}

std::shared_ptr<QRVAIdentity> QRVAEngineIdentity() {
    if (auto hook = hooks().with([](const QRVAEngineHooks& h) { return h.engineIdentity; })) return hook();
    return started().get().identity.lock();
}

double QRVAEngineAdIDCacheTime() {
    if (auto hook = hooks().with([](const QRVAEngineHooks& h) { return h.adIDCacheTime; })) return hook();
    const StartedEngine engine = started().get();
    if (!engine.started) return kQRVANoEngineAdIDCacheTime;
    auto settings = engine.settings.lock();
    return settings ? settings->adIDCacheTime() : double(kQRVAConfigAdIDCacheTime);
}

void QRVAEngineRecordStart(std::weak_ptr<QRVAIdentity> identity, std::weak_ptr<QRVARemoteConfig> settings) {
    started().set(StartedEngine{std::move(identity), std::move(settings), true});
}

void QRVAEngineForgetStart() { started().set(StartedEngine{}); }
