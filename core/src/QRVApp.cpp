#include "core/QRVApp.h"

#include <atomic>
#include <mutex>

#include "core/QRVLogger.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/notification_center.h"
#include "platform/runtime.h"
#include "platform/user_defaults.h"

namespace {

struct Registry {
    std::mutex mutex;  // the class's own lock: every look-up and change of the table
    std::map<std::string, std::shared_ptr<QRVApp>> apps;
    std::shared_ptr<QRVApp> defaultApp;
    std::atomic<bool> analyticsStarted{false};
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

// Parts that observe the configure notification accept it only from the
// QRVApp class, looked up by name.
ns::ObjectPtr qrvAppClassObject() {
    ns::Runtime::registerClass("QRVApp");
    return ns::Runtime::classObject("QRVApp");
}

[[noreturn]] void raise(const std::string& reason) { throw ns::Exception(kQRVAppConfigureException, reason); }

}  // namespace

QRVApp::QRVApp(std::string name, std::shared_ptr<const QRVOptions> options)
    : name_(std::move(name)), options_(std::move(options)) {}

void QRVApp::configure() {
    auto options = QRVOptions::defaultOptions();
    if (!options) {
        raise(ns::format("QRVApp::configure() could not find a valid %@.plist in the main bundle.",
                         kQRVOptionsFileName));
    }
    configure(kQRVDefaultAppName, options);
}

void QRVApp::configure(std::shared_ptr<const QRVOptions> options) { configure(kQRVDefaultAppName, std::move(options)); }

void QRVApp::configure(const std::string& name, std::shared_ptr<const QRVOptions> options) {
    if (name.empty()) raise("App name can't be empty.");
    if (!options) raise("Options can't be nil.");
    auto appID = options->ondrixAppID();
    if (!appID || appID->empty()) {
        raise(ns::format("Configuration fails. It may be caused by an invalid %@ in %@.plist or set in the "
                         "customized options.",
                         kQRVOptionsKeyOndrixAppID, kQRVOptionsFileName));
    }

    bool isDefault = name == kQRVDefaultAppName;
    std::shared_ptr<QRVApp> app;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.apps.count(name)) {
            raise(isDefault ? std::string("Default app has already been configured.")
                            : ns::format("App named %@ has already been configured.", name));
        }
        // The app keeps its own copy, so later changes to the caller's object cannot reach it.
        app = std::make_shared<QRVApp>(name, options->copy());
        r.apps[name] = app;
        if (isDefault) r.defaultApp = app;
    }
    QRVLogDebug(kQRVLoggerCore, "I-COR000001", "Configuring app %@.", name);

    if (isDefault) app->configureCore();

    ns::Dictionary userInfo{{kQRVAppNameKey, name},
                            {kQRVAppIsDefaultAppKey, isDefault},
                            {kQRVOndrixAppIDKey, *appID}};
    ns::NotificationCenter::defaultCenter().post(kQRVAppReadyToConfigureSDKNotification,
                                                 qrvAppClassObject(), std::move(userInfo));
}

ns::ObserverToken QRVApp::observeReadyToConfigureSDK(std::function<void(const std::string& appName)> configure) {
    return ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAppReadyToConfigureSDKNotification, qrvAppClassObject(), nullptr,
        [configure = std::move(configure)](const ns::Notification& note) {
            auto name = note.userInfo.find(kQRVAppNameKey);
            if (name == note.userInfo.end() || !name->second.isString()) return;
            configure(name->second.asString());
        });
}

std::shared_ptr<QRVApp> QRVApp::defaultApp() {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.defaultApp) return r.defaultApp;
    }
    QRVLogError(kQRVLoggerCore, "I-COR000003",
                "The default Quorvane app has not yet been configured. Call QRVApp::configure() when the "
                "application starts.");
    return nullptr;
}

std::shared_ptr<QRVApp> QRVApp::appNamed(const std::string& name) {
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.apps.find(name);
        if (it != r.apps.end()) return it->second;
    }
    QRVLogError(kQRVLoggerCore, "I-COR000004", "App with name %@ does not exist.", name);
    return nullptr;
}

std::map<std::string, std::shared_ptr<QRVApp>> QRVApp::allApps() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.apps;
}

QRVApp::TokenImplementation QRVApp::getTokenImplementation() const {
    std::lock_guard lock(hookMutex_);
    return getTokenImplementation_;
}

void QRVApp::setGetTokenImplementation(TokenImplementation implementation) {
    std::lock_guard lock(hookMutex_);
    getTokenImplementation_ = std::move(implementation);
}

void QRVApp::getTokenForcingRefresh(bool forceRefresh, TokenCallback callback) const {
    auto hook = getTokenImplementation();
    if (!hook) {
        if (callback) callback(std::nullopt, nullptr);
        return;
    }
    hook(forceRefresh, std::move(callback));
}

ns::ErrorRef QRVApp::errorForSubspecConfigurationFailureWithDomain(const std::string& domain, long code,
                                                                  const std::string& service,
                                                                  const std::string& reason) {
    return ns::Error::make(domain, code, ns::format("Configuration failed for service %@.", service), reason);
}

void QRVApp::sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                                     ns::ErrorRef error) const {
    ns::Dictionary userInfo{
        {kQRVAppDiagnosticsConfigurationTypeKey, kQRVConfigTypeSDK},
        {kQRVAppDiagnosticsSDKNameKey, serviceName},
        {kQRVAppDiagnosticsSDKVersionKey, version},
        {kQRVAppDiagnosticsQRVAppKey, ns::Value(std::const_pointer_cast<QRVApp>(
                                          std::static_pointer_cast<const QRVApp>(shared_from_this())))},
    };
    if (error) userInfo[kQRVAppDiagnosticsErrorKey] = ns::Value(std::const_pointer_cast<ns::Error>(error));
    ns::NotificationCenter::defaultCenter().post(kQRVAppDiagnosticsNotification, nullptr, std::move(userInfo));
}

void QRVApp::configureCore() {
    if (!isDefaultApp()) return;
    // Analytics is started once per process, from the default app only.
    if (registry().analyticsStarted.exchange(true)) return;
    ns::Class* analytics = ns::Runtime::lookUpClass("QRVAnalytics");
    if (!analytics || !analytics->classRespondsTo("startWithConfiguration:options:")) return;
    ns::Runtime::sendClass("QRVAnalytics", "startWithConfiguration:options:",
                           {ns::Value(QRVConfiguration::sharedInstance().analyticsConfiguration()),
                            ns::Value(std::const_pointer_cast<QRVOptions>(options()))});
}

std::string QRVApp::description() const {
    return ns::format("<QRVApp %@ default=%d appID=%@>", name_, int(isDefaultApp()),
                      options_->ondrixAppID().value_or("(null)"));
}

void QRVApp::resetForTesting() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.apps.clear();
    r.defaultApp.reset();
    r.analyticsStarted = false;
}

// MARK: - Configuration

QRVConfiguration& QRVConfiguration::sharedInstance() {
    static QRVConfiguration* instance = new QRVConfiguration();
    return *instance;
}

QRVConfiguration::QRVConfiguration() : analyticsConfiguration_(QRVAnalyticsConfiguration::sharedInstance()) {}

void QRVConfiguration::setLoggerLevel(int64_t level) { QRVSetLoggerLevel(QRVLoggerLevel(level)); }

std::shared_ptr<QRVAnalyticsConfiguration> QRVAnalyticsConfiguration::sharedInstance() {
    static ns::NoDestructor<std::shared_ptr<QRVAnalyticsConfiguration>> instance(
        std::make_shared<QRVAnalyticsConfiguration>());
    return *instance;
}

void QRVAnalyticsConfiguration::post(const char* name, ns::Value value) {
    ns::NotificationCenter::defaultCenter().post(name, shared_from_this(), ns::Dictionary{{name, std::move(value)}});
}

void QRVAnalyticsConfiguration::setMinimumSessionInterval(double seconds) {
    post(kQRVAnalyticsConfigurationSetMinimumSessionIntervalNotification, seconds);
}

void QRVAnalyticsConfiguration::setSessionTimeoutInterval(double seconds) {
    post(kQRVAnalyticsConfigurationSetSessionTimeoutIntervalNotification, seconds);
}

void QRVAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
    ns::UserDefaults::standard()->setObject(ns::Value(int64_t(enabled ? Enabled : Disabled)),
                                           kQRVAPersistedConfigMeasurementEnabledStateKey);
    post(kQRVAnalyticsConfigurationSetEnabledNotification, enabled);
}

// The database, messaging and instance identity reach the app registry by
// class name.
NS_REGISTER_LOAD_HOOK(10, "QRVApp", [] {
    auto& cls = ns::Runtime::registerClass("QRVApp");
    cls.addClassMethod("defaultApp", [](ns::Object*, const std::vector<ns::Value>&) {
        return ns::Value(QRVApp::defaultApp());
    });
    cls.addClassMethod("appNamed:", [](ns::Object*, const std::vector<ns::Value>& args) {
        if (args.empty() || !args[0].isString()) return ns::Value();
        return ns::Value(QRVApp::appNamed(args[0].asString()));
    });
    cls.addInstanceMethod("name", [](ns::Object* self, const std::vector<ns::Value>&) {
        return ns::Value(static_cast<QRVApp*>(self)->name());
    });
    cls.addInstanceMethod("options", [](ns::Object* self, const std::vector<ns::Value>&) {
        return ns::Value(std::const_pointer_cast<QRVOptions>(static_cast<QRVApp*>(self)->options()));
    });
    cls.addInstanceMethod("sendLogsWithServiceName:version:error:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              auto* app = static_cast<QRVApp*>(self);
                              std::string service = args.size() > 0 && args[0].isString() ? args[0].asString() : "";
                              std::string version = args.size() > 1 && args[1].isString() ? args[1].asString() : "";
                              ns::ErrorRef error = args.size() > 2 ? args[2].asObjectOf<ns::Error>() : nullptr;
                              app->sendLogsWithServiceName(service, version, error);
                              return ns::Value();
                          });
});
