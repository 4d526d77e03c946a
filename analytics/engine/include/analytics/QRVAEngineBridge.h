// What the measurement engine, and the identity classes beneath it, ask of
// the layers around them, in one place.
//
// From the analytics API above: how to make the session and the search-ad
// reporters, and the shared purchase reporter to switch on. The API installs
// its hooks once, when it loads (QRVAnalyticsRuntime.cpp, beside the
// foundation's QRVAFacadeHooks); until then, and in programs without it, each
// question has the plain answer given below, so the engine works alone.
//
// From the engine to the identity classes beneath it: the started engine's
// identity (QRVAIdentifiers answers from it) and its advertising-ID cache time
// (QRVAIdentity). Their plain answers come from the engine that started last,
// which its start records here; a hook installed for them answers instead.
//
// Threads: any thread.
#pragma once

#include <functional>
#include <memory>

#include "analytics/QRVAPurchaseReporting.h"
#include "analytics/QRVASearchAdReporting.h"
#include "analytics/QRVASessionReporting.h"

class QRVAIdentity;
class QRVAPersistedConfig;
class QRVARemoteConfig;

// Members start empty, so a test may name only the hooks it installs.
struct QRVAEngineHooks {
    // Makes the session reporter the engine's first start keeps.
    QRVASessionReporterFactory makeSessionReporter{};
    // The shared purchase reporter each start switches on.
    QRVAPurchaseReporterProvider purchaseReporter{};
    // Makes the search-ad reporter of the first start the settings allow.
    QRVASearchAdReporterFactory makeSearchAdReporter{};
    // The engine's identity; null while there is no engine or it has none.
    std::function<std::shared_ptr<QRVAIdentity>()> engineIdentity{};
    // How long (seconds) advertising fields read from the platform stay fresh.
    std::function<double()> adIDCacheTime{};
};

// Installs the hooks; an empty member keeps its plain answer. Passing a
// default-constructed value removes them all.
void QRVASetEngineHooks(QRVAEngineHooks hooks);

// Without a hook: nullptr (no session reporting).
std::shared_ptr<QRVASessionReporting> QRVAEngineMakeSessionReporter(std::shared_ptr<QRVAPersistedConfig> persistedConfig);
// Without a hook: nullptr (no purchase reporting).
std::shared_ptr<QRVAPurchaseReporting> QRVAEnginePurchaseReporter();
// Without a hook: nullptr (no search-ad reporting).
std::shared_ptr<QRVASearchAdReporting> QRVAEngineMakeSearchAdReporter(
    ns::DispatchQueuePtr workerQueue, std::shared_ptr<QRVAPersistedConfig> persistedConfig);
// Without a hook: the started engine's identity; null before any start.
std::shared_ptr<QRVAIdentity> QRVAEngineIdentity();
// Without a hook: the started engine's setting (its default when the
// settings are gone); 1 s before any start.
double QRVAEngineAdIDCacheTime();

// The engine's start records its identity and settings (held weakly) for the
// plain answers above; a new process (resetSharedForTesting) forgets them.
void QRVAEngineRecordStart(std::weak_ptr<QRVAIdentity> identity, std::weak_ptr<QRVARemoteConfig> settings);
void QRVAEngineForgetStart();
