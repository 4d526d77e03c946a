#pragma once
// The app registry: configured apps by name, the configure road that starts
// analytics and announces each app to the other SDK parts, and the token hook
// that authentication installs.

#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>

#include "core/QRVOptions.h"
#include "platform/error.h"
#include "platform/notification_center.h"

inline constexpr const char* kQRVDefaultAppName = "__QRVAPP_DEFAULT";

// Notifications and their userInfo keys.
inline constexpr const char* kQRVAppReadyToConfigureSDKNotification = "QRVAppReadyToConfigureSDKNotification";
inline constexpr const char* kQRVAppDeleteNotification = "QRVAppDeleteNotification";
inline constexpr const char* kQRVAppDiagnosticsNotification = "QRVAppDiagnosticsNotification";
inline constexpr const char* kQRVAppNameKey = "QRVAppNameKey";
inline constexpr const char* kQRVAppIsDefaultAppKey = "QRVAppIsDefaultAppKey";
inline constexpr const char* kQRVOndrixAppIDKey = "QRVOndrixAppIDKey";
inline constexpr const char* kQRVAppDiagnosticsConfigurationTypeKey = "ConfigType";
inline constexpr const char* kQRVAppDiagnosticsSDKNameKey = "SDKName";
inline constexpr const char* kQRVAppDiagnosticsSDKVersionKey = "SDKVersion";
inline constexpr const char* kQRVAppDiagnosticsQRVAppKey = "QRVApp";
inline constexpr const char* kQRVAppDiagnosticsErrorKey = "Error";
// "ConfigType" of a diagnostics post sent by an SDK part.
inline constexpr int kQRVConfigTypeSDK = 2;

// Constants the messaging part passes to the diagnostics call and the logger.
inline constexpr const char* kQuorvaneCloudMessagingErrorDomain = "com.quorvane.cloudmessaging";
inline constexpr const char* kQRVServiceMessaging = "Messaging";

// Name of the exception raised by a configure call that cannot succeed.
inline constexpr const char* kQRVAppConfigureException = "com.quorvane.core";

class QRVApp : public ns::Object {
public:
    using TokenCallback = std::function<void(std::optional<std::string> token, ns::ErrorRef error)>;
    using TokenImplementation = std::function<void(bool forceRefresh, TokenCallback callback)>;

    // Configures the default app from the main bundle's options file, read
    // once. Raises when the file is missing or unusable, when the default app
    // exists already, or when the app ID is empty.
    static void configure();
    // Configures the default app with the given options.
    static void configure(std::shared_ptr<const QRVOptions> options);
    // Configures an app of that name; the name kQRVDefaultAppName makes the default app.
    static void configure(const std::string& name, std::shared_ptr<const QRVOptions> options);

    // The default app, or nullptr (logging "I-COR000003") when none is configured.
    static std::shared_ptr<QRVApp> defaultApp();
    // The app of that name, or nullptr after logging "I-COR000004".
    static std::shared_ptr<QRVApp> appNamed(const std::string& name);
    static std::map<std::string, std::shared_ptr<QRVApp>> allApps();

    const std::string& name() const { return name_; }
    // A copy of the app's options.
    std::shared_ptr<const QRVOptions> options() const { return options_->copy(); }
    bool isDefaultApp() const { return name_ == kQRVDefaultAppName; }

    // The token hook installed by authentication, or an empty function.
    TokenImplementation getTokenImplementation() const;
    void setGetTokenImplementation(TokenImplementation implementation);
    // Calls the hook with both arguments; without a hook, calls the callback
    // at once on the caller's thread with (nullopt, nullptr). The hook answers
    // on the main queue.
    void getTokenForcingRefresh(bool forceRefresh, TokenCallback callback) const;

    // An error of that domain and code whose description is "Configuration
    // failed for service <service>." and whose failure reason is `reason`.
    static ns::ErrorRef errorForSubspecConfigurationFailureWithDomain(const std::string& domain, long code,
                                                                      const std::string& service,
                                                                      const std::string& reason);

    // Posts kQRVAppDiagnosticsNotification for an SDK part.
    void sendLogsWithServiceName(const std::string& serviceName, const std::string& version,
                                 ns::ErrorRef error) const;

    // Default app only: starts analytics by class name, once per process.
    void configureCore();

    // How an SDK part learns of each configured app: `configure` gets the
    // name of every app announced after the call (only announcements sent by
    // this class count), synchronously on the thread that configured it.
    // Parts call it from their load hook, before any app exists, and keep
    // it for the process; the token is for callers that stop listening.
    static ns::ObserverToken observeReadyToConfigureSDK(std::function<void(const std::string& appName)> configure);

    std::string className() const override { return "QRVApp"; }
    std::string description() const override;

    // Removes every configured app and forgets that analytics was started.
    static void resetForTesting();

    // Use configure(); public for std::make_shared.
    QRVApp(std::string name, std::shared_ptr<const QRVOptions> options);

private:
    std::string name_;
    std::shared_ptr<const QRVOptions> options_;
    mutable std::mutex hookMutex_;
    TokenImplementation getTokenImplementation_;
};

// Process-wide SDK configuration: the analytics configuration handed to
// analytics at start, and the logger level.
class QRVAnalyticsConfiguration;
class QRVConfiguration : public ns::Object {
public:
    static QRVConfiguration& sharedInstance();
    std::shared_ptr<QRVAnalyticsConfiguration> analyticsConfiguration() const { return analyticsConfiguration_; }
    void setLoggerLevel(int64_t level);
    std::string className() const override { return "QRVConfiguration"; }

private:
    QRVConfiguration();
    std::shared_ptr<QRVAnalyticsConfiguration> analyticsConfiguration_;
};

inline constexpr const char* kQRVAnalyticsConfigurationSetEnabledNotification =
    "QRVAnalyticsConfigurationSetEnabledNotification";
inline constexpr const char* kQRVAnalyticsConfigurationSetMinimumSessionIntervalNotification =
    "QRVAnalyticsConfigurationSetMinimumSessionIntervalNotification";
inline constexpr const char* kQRVAnalyticsConfigurationSetSessionTimeoutIntervalNotification =
    "QRVAnalyticsConfigurationSetSessionTimeoutIntervalNotification";
inline constexpr const char* kQRVAPersistedConfigMeasurementEnabledStateKey =
    "/ondrix/measurement/measurement_enabled_state";

// The singleton handed to analytics at start. Each setter posts its
// notification with this object as sender and a userInfo whose one key is
// the notification's own name.
class QRVAnalyticsConfiguration : public ns::Object {
public:
    enum MeasurementEnabledState : int64_t { Unset = 0, Enabled = 1, Disabled = 2 };

    static std::shared_ptr<QRVAnalyticsConfiguration> sharedInstance();

    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);
    // Also stores 1 (enabled) or 2 (disabled) under
    // "/ondrix/measurement/measurement_enabled_state" in the standard defaults.
    void setAnalyticsCollectionEnabled(bool enabled);

    std::string className() const override { return "QRVAnalyticsConfiguration"; }

private:
    void post(const char* name, ns::Value value);
};
