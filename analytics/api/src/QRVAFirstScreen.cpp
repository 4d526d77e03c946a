// The first screen of an analytics start, which the engine's first open
// carries (QRVAAutomaticEvents.h): decided on the main thread's own events,
// never by how far the engine's worker queue has got meanwhile.

#include "analytics/QRVAScreenViewReporter.h"
#include "platform/application.h"

// The app configures from its launch, before the launch shows the first
// controller and makes the app active; so a launching app's first screen is
// the one current when it becomes active. An application with a delegate is
// launching or has launched (the launch sets the delegate first); without
// one there is no launch, and no screen to wait for.
void QRVAScreenViewReporter::decideFirstScreen() {
    if (isAppActive()) {
        settleFirstScreen(screenParameters());
    } else if (ns::Application::shared()->delegate()) {
        std::lock_guard lock(mutex_);
        firstScreenState_ = FirstScreen::AtActivation;
    } else {
        settleFirstScreen({});
    }
}

void QRVAScreenViewReporter::handleAnalyticsWillStart() { decideFirstScreen(); }

void QRVAScreenViewReporter::whenFirstScreenKnown(std::function<void(QRVAObjectParameters)> deliver) {
    if (!deliver) return;
    bool undecided = false;
    {
        std::lock_guard lock(mutex_);
        undecided = firstScreenState_ == FirstScreen::Undecided;
    }
    if (undecided) decideFirstScreen();
    QRVAObjectParameters known;
    {
        std::lock_guard lock(mutex_);
        if (firstScreenState_ != FirstScreen::Known) {
            firstScreenWaiters_.push_back(std::move(deliver));
            return;
        }
        known = firstScreen_;
    }
    deliver(std::move(known));
}

void QRVAScreenViewReporter::settleFirstScreenAtActivation() {
    {
        std::lock_guard lock(mutex_);
        if (firstScreenState_ != FirstScreen::AtActivation) return;
    }
    settleFirstScreen(screenParameters());
}

// The waiters are called outside the lock: one may ask for the screen
// parameters again.
void QRVAScreenViewReporter::settleFirstScreen(QRVAObjectParameters screen) {
    std::vector<std::function<void(QRVAObjectParameters)>> waiters;
    {
        std::lock_guard lock(mutex_);
        firstScreenState_ = FirstScreen::Known;
        firstScreen_ = screen;
        waiters = std::exchange(firstScreenWaiters_, {});
    }
    for (auto& deliver : waiters) deliver(screen);
}
