// How the rest of the program reaches the facade: the runtime class
// "QRVAnalytics" the core and messaging send to by name, and the answers the
// foundation and the engine ask of the layer above them.

#include "analytics/QRVAAutomaticEvents.h"
#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAInAppPurchaseTransactionReporter.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVASearchAdReporter.h"
#include "analytics/QRVASessionReporter.h"
#include "analytics/QRVAnalytics.h"
#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "platform/runtime.h"

namespace {

using Args = std::vector<ns::Value>;

std::string stringArg(const Args& args, size_t index) {
    return index < args.size() && args[index].isString() ? args[index].asString() : std::string();
}

ns::Value arg(const Args& args, size_t index) { return index < args.size() ? args[index] : ns::Value(); }

// Parameters come as a dictionary, or as ordered parameters to keep their order.
QRVAObjectParameters parametersArg(const Args& args, size_t index) {
    const ns::Value value = arg(args, index);
    if (auto ordered = value.asObjectOf<QRVAObjectParameters>()) return *ordered;
    if (value.isDictionary()) return QRVAObjectParameters(value.asDictionary());
    return {};
}

ns::Value start(ns::Object*, const Args& args) {
    QRVAnalytics::startWithConfiguration(arg(args, 0).asObjectOf<QRVAnalyticsConfiguration>(),
                                         arg(args, 1).asObjectOf<QRVOptions>());
    return {};
}

ns::Value logInternalEvent(ns::Object*, const Args& args) {
    QRVAnalytics::logInternalEventWithOrigin(stringArg(args, 0), stringArg(args, 1), parametersArg(args, 2));
    return {};
}

ns::Value setAutoUserProperty(ns::Object*, const Args& args) {
    QRVAnalytics::setInternalUserProperty(arg(args, 0), stringArg(args, 1));
    return {};
}

ns::Value setInternalUserPropertyWithOrigin(ns::Object*, const Args& args) {
    QRVAnalytics::sharedInstance()->setInternalUserProperty(arg(args, 0), stringArg(args, 1), stringArg(args, 2));
    return {};
}

}  // namespace

void QRVAnalytics::registerRuntimeClass() {
    auto& cls = ns::Runtime::registerClass("QRVAnalytics");
    cls.addClassMethod("startWithConfiguration:options:", start)
        .addClassMethod("logInternalEventWithOrigin:name:parameters:", logInternalEvent)
        .addClassMethod("setInternalUserProperty:forName:", setAutoUserProperty)
        .addClassMethod("sharedInstance", [](ns::Object*, const Args&) { return ns::Value(sharedInstance()); });
    cls.addInstanceMethod("logInternalEventWithOrigin:name:parameters:", logInternalEvent);
    cls.addInstanceMethod("setInternalUserProperty:forName:withOrigin:", setInternalUserPropertyWithOrigin);
}

void QRVAnalytics::installBridges() {
    QRVAFacadeHooks hooks;
    hooks.dispatchAsyncOnSerialQueue = [](std::function<void()> block) { dispatchAsyncOnSerialQueue(std::move(block)); };
    hooks.loadTimestamp = [] { return loadTimestamp(); };
    hooks.notifyEventListeners = [](const QRVAEvent& event) { notifyEventListeners(event); };
    hooks.screenParameters = [] { return QRVAScreenViewReporter::sharedInstance()->screenParameters(); };
    // The shared reporter's flag; one made anew (after a reset) starts off.
    hooks.isAppActive = [] { return QRVAScreenViewReporter::sharedInstance()->isAppActive(); };
    hooks.logInternalEvent = [](const std::string& origin, const std::string& name,
                                const QRVAObjectParameters& parameters) {
        logInternalEventWithOrigin(origin, name, parameters);
    };
    QRVASetFacadeHooks(std::move(hooks));

    QRVAEngineHooks engine;
    engine.makeSessionReporter = [](std::shared_ptr<QRVAPersistedConfig> persistedConfig) {
        return std::static_pointer_cast<QRVASessionReporting>(
            QRVASessionReporter::initWithPersistedConfig(std::move(persistedConfig)));
    };
    engine.purchaseReporter = [] {
        return std::static_pointer_cast<QRVAPurchaseReporting>(QRVAInAppPurchaseTransactionReporter::sharedInstance());
    };
    engine.makeSearchAdReporter = [](ns::DispatchQueuePtr workerQueue,
                                     std::shared_ptr<QRVAPersistedConfig> persistedConfig) {
        return std::static_pointer_cast<QRVASearchAdReporting>(
            QRVASearchAdReporter::initWithWorkerQueue(std::move(workerQueue), std::move(persistedConfig)));
    };
    QRVASetEngineHooks(std::move(engine));
    // The first open's screen is the screen-view reporter's to tell: it sees
    // the launch the engine's start may run ahead of (QRVAFirstScreen.cpp).
    QRVAAutomaticEvents::setFirstScreenSource([](std::function<void(QRVAObjectParameters)> deliver) {
        QRVAScreenViewReporter::sharedInstance()->whenFirstScreenKnown(std::move(deliver));
    });
}

// After the core's registry (10) and before the parts that reach analytics
// by name at their own load.
NS_REGISTER_LOAD_HOOK(20, "QRVAnalytics", [] { QRVAnalytics::load(); });
