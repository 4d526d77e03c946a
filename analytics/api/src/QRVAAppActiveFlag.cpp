// The one screen-view reporter and the process-wide app-active flag it
// keeps: made once (the facade hands the flag down to the foundation), and the
// application's did-become-active and will-resign-active notifications
// set and clear it, passing them on to the session and ad-exposure
// reporters.
#include <mutex>

#include "QRVAScreenViewShared.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAdExposureReporter.h"
#include "analytics/QRVASessionReporter.h"
#include "platform/dispatch.h"

using qrva_screen_view::engineSessionReporter;

namespace {

// Never destroyed: the load hook makes the reporter, and it may be asked
// for while the process exits.
struct SharedReporter {
    std::mutex mutex;
    std::shared_ptr<QRVAScreenViewReporter> reporter;
};

SharedReporter& shared() {
    static auto* held = new SharedReporter;
    return *held;
}

}  // namespace

std::shared_ptr<QRVAScreenViewReporter> QRVAScreenViewReporter::sharedInstance() {
    std::lock_guard lock(shared().mutex);
    auto& slot = shared().reporter;
    if (!slot) slot = std::make_shared<QRVAScreenViewReporter>();
    return slot;
}

void QRVAScreenViewReporter::resetSharedForTesting() {
    std::shared_ptr<QRVAScreenViewReporter> gone;
    std::lock_guard lock(shared().mutex);
    gone = std::exchange(shared().reporter, nullptr);
}

// MARK: Application notifications

void QRVAScreenViewReporter::handleApplicationDidBecomeActive() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    appActive_ = true;
    settleFirstScreenAtActivation();
    if (auto sessions = engineSessionReporter()) sessions->handleAppDidBecomeActive();
    QRVAAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
    QRVAScreenPtr previous;
    QRVAScreenPtr current;
    {
        std::lock_guard lock(mutex_);
        previous = previousScreen_;
        current = currentScreen_;
    }
    // A screen change while inactive is reported now.
    if (previous != current) logViewScreenEventWithPreviousScreen(previous, current);
}

void QRVAScreenViewReporter::handleApplicationWillResignActive() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    QRVAScreenPtr screen;
    if (QRVAIsScreenReportingEnabled() && isAppActive()) screen = currentScreen();
    if (auto sessions = engineSessionReporter()) sessions->handleAppWillResignActiveWithScreen(screen);
    QRVAAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(screen);
    // Only now, so that both reporters still saw the app as active.
    appActive_ = false;
}
