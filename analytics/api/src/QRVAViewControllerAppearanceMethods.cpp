// The exchange of UIViewController's appearance methods through the
// runtime, so that every controller's appearance reaches the screen-view
// reporter after the controller's own handling, and the load hook that
// does it once for the program.
#include "analytics/QRVAScreenViewReporter.h"
#include "core/QRVLogger.h"
#include "platform/format.h"
#include "platform/runtime.h"
#include "uikit/UIViewController.h"

namespace {

std::string logCode(long code) { return ns::format("I-ACS%06ld", code); }

using AppearanceHandler = void (QRVAScreenViewReporter::*)(const std::shared_ptr<ns::UIViewController>&);

// Adds the reporting method under `replacement` (calling the class's own
// implementation first, then the reporter) and puts it in place of
// `selector`; the implementation replaced, or nothing when either is
// missing.
std::optional<ns::Method> replaceAppearance(ns::Class* cls, std::string_view selector, std::string_view replacement,
                                            AppearanceHandler handler) {
    if (!cls) return std::nullopt;
    ns::Method original = cls->instanceMethod(selector);
    if (!original) return std::nullopt;
    cls->addInstanceMethod(replacement, [original, handler](ns::Object* self, const std::vector<ns::Value>& args) {
        original(self, args);
        auto* viewController = dynamic_cast<ns::UIViewController*>(self);
        auto held = viewController ? viewController->weak_from_this().lock() : nullptr;
        if (held) {
            auto reporter = QRVAScreenViewReporter::sharedInstance();
            ((*reporter).*handler)(std::static_pointer_cast<ns::UIViewController>(held));
        }
        return ns::Value();
    });
    ns::Method added = cls->instanceMethod(replacement);
    if (!added) return std::nullopt;
    return cls->replaceInstanceMethod(selector, added);
}

}  // namespace

bool QRVAReplaceViewControllerAppearanceMethods(std::string_view className) {
    if (!QRVAIsScreenReportingEnabled()) {
        QRVLogInfo(kQRVLoggerAnalytics, logCode(36001),
                   "Quorvane screen reporting is disabled. UIViewController transitions will not be logged.");
        return false;
    }
    ns::Class* cls = ns::Runtime::lookUpClass(className);
    auto appeared = replaceAppearance(cls, "viewDidAppear:", "qrva_viewDidAppear:",
                                      &QRVAScreenViewReporter::viewControllerDidAppear);
    if (!appeared) {
        QRVLogWarning(kQRVLoggerAnalytics, logCode(36003),
                      "Failed to set implementation of -[UIViewController viewDidAppear:]. UIViewController "
                      "transitions will not be logged.");
        return false;
    }
    auto disappeared = replaceAppearance(cls, "viewDidDisappear:", "qrva_viewDidDisappear:",
                                         &QRVAScreenViewReporter::viewControllerDidDisappear);
    if (!disappeared) {
        cls->replaceInstanceMethod("viewDidAppear:", *appeared);
        QRVLogWarning(kQRVLoggerAnalytics, logCode(36004),
                      "Failed to set implementation of -[UIViewController viewDidDisappear:]. UIViewController "
                      "transitions will not be logged.");
        return false;
    }
    QRVLogInfo(kQRVLoggerAnalytics, logCode(36002),
               "Quorvane screen reporting is enabled. Call +[QRVAnalytics setScreenName:setScreenClass:] to set the "
               "screen name or override the default screen class name. To disable screen reporting, set the flag %@ "
               "to NO (boolean) in the Info.plist",
               kQRVAScreenReportingEnabledPlistKey);
    return true;
}

// After UIKit has registered its classes; the reporter exists from load
// time on, so the app-active flag follows the application from the start.
NS_REGISTER_LOAD_HOOK(20, "QRVAScreenViewReporter", [] {
    QRVAScreenViewReporter::sharedInstance();
    QRVAReplaceViewControllerAppearanceMethods();
});
