#pragma once
// Screen tracking: which view controller the user sees, named as a screen
// (`QRVAScreen`), the automatic screen-view event "_vs" logged each time the
// screen changes, and the screen parameters ("_sc" class, "_si" id, "_sn"
// name) the facade adds to every event.
//
// UIViewController's "viewDidAppear:" and "viewDidDisappear:" are replaced
// through the runtime when the program loads (unless the Info.plist switch
// "QuorvaneScreenReportingEnabled", or without it
// "QuorvaneAutomaticScreenReportingEnabled", is NO), so every controller's
// appearance reaches the reporter after the controller's own handling. The
// reporter keeps, per key window, a stack of the controllers that appeared,
// and picks the current one from it (the visible child of a navigation
// controller, what a controller presents, a screen the app named itself).
// A controller keeps its screen, and so its id, for its lifetime; ids start
// at a random number and grow by one per new screen.
//
// The reporter also owns the process-wide app-active flag (between the
// application's did-become-active and will-resign-active notifications),
// which the facade hands down to the foundation (QRVAFacadeHooks), and it
// passes activation, resignation and screen changes on to the engine's
// session reporter. It tells the engine's first open its screen: the app's
// first one, decided by the app's own steps (QRVAFirstScreen.cpp).
//
// Threads: appearance callbacks and the application notifications run on
// the main thread (checked in Debug builds). `setScreenName` belongs there
// too, as it reads the key window, but the facade passes it on from its
// caller's thread, so it is not checked. `screenParameters`,
// `getScreenName` and `isAppActive` may be called from any thread. The
// reporter's lock guards the current and previous screens, the id counter
// and the first screen; it is never held while an event is logged, a
// screen change is handed on or the first screen is handed over, so the
// facade may ask for the screen parameters from inside any of them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/QRVAValue.h"
#include "platform/notification_center.h"

namespace ns {
class UIViewController;
class UIWindow;
}  // namespace ns

inline constexpr const char* kQRVAScreenReportingEnabledPlistKey = "QuorvaneScreenReportingEnabled";
inline constexpr const char* kQRVAAutomaticScreenReportingEnabledPlistKey = "QuorvaneAutomaticScreenReportingEnabled";

// A screen: the app's name for it (if any), its class (the controller's
// class name or the app's override) and its id. Immutable but for the
// manual flag; a copy has the same name, class and id.
class QRVAScreen {
public:
    QRVAScreen(std::optional<std::string> name, std::string className, int64_t instanceID)
        : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}
    const std::optional<std::string>& name() const { return name_; }
    const std::string& className() const { return className_; }
    int64_t instanceID() const { return instanceID_; }
    // Named through setScreenName.
    bool isManuallySet() const { return manuallySet_; }
    void setManuallySet(bool manuallySet) { manuallySet_ = manuallySet; }
    std::shared_ptr<QRVAScreen> copy() const { return std::make_shared<QRVAScreen>(name_, className_, instanceID_); }

private:
    std::optional<std::string> name_;
    std::string className_;
    int64_t instanceID_;
    bool manuallySet_ = false;
};
using QRVAScreenPtr = std::shared_ptr<QRVAScreen>;

// "_sc" (class), "_si" (id) and "_sn" (name) as plain values: empty when the
// class is not 1 to 100 characters; without "_sn" when the name is absent or
// not 1 to 100 characters. Empty for no screen.
QRVAObjectParameters QRVAScreenParameters(const QRVAScreen* screen);
// The same under "_pc", "_pi" and "_pn", for the screen left.
QRVAObjectParameters QRVAPreviousScreenParameters(const QRVAScreen* screen);
// The Info.plist switches: a number gives its boolean, anything else
// (absence too) YES. Any thread.
bool QRVAIsScreenReportingEnabled();

// What a view controller or a window carries for the reporter (associated
// with the object for its lifetime; main thread).
using QRVAViewControllerStack = std::vector<std::weak_ptr<ns::UIViewController>>;
QRVAScreenPtr QRVAViewControllerScreen(const ns::UIViewController& viewController);
void QRVASetViewControllerScreen(const ns::UIViewController& viewController, QRVAScreenPtr screen);
std::shared_ptr<QRVAViewControllerStack> QRVAWindowStack(const ns::UIWindow& window);
void QRVASetWindowStack(const ns::UIWindow& window, std::shared_ptr<QRVAViewControllerStack> stack);

// The controller's index in the stack by identity; nullopt when absent.
std::optional<size_t> QRVAIndexOfViewControllerInStack(const ns::UIViewController& viewController,
                                                       const QRVAViewControllerStack& stack);
// The controller the user sees among those of the stack (see the source);
// nullptr, logged (31011), for an empty stack. Compacts the stack.
std::shared_ptr<ns::UIViewController> QRVACurrentViewControllerInStack(QRVAViewControllerStack& stack);

// Replaces "viewDidAppear:" and "viewDidDisappear:" of the runtime class so
// that they also reach the shared reporter; both or neither (a missing
// method leaves the class as it was, 36003 / 36004). Nothing when screen
// reporting is off (36001). The program's load hook does this once for
// "UIViewController"; returns whether the methods were replaced.
bool QRVAReplaceViewControllerAppearanceMethods(std::string_view className = "UIViewController");

class QRVAScreenViewReporter : public std::enable_shared_from_this<QRVAScreenViewReporter> {
public:
    // The one reporter, made once with its observers; it installs the
    // app-active provider.
    static std::shared_ptr<QRVAScreenViewReporter> sharedInstance();
    // Stands for a new process: the next sharedInstance() is a fresh one.
    static void resetSharedForTesting();
    QRVAScreenViewReporter();
    ~QRVAScreenViewReporter();
    QRVAScreenViewReporter(const QRVAScreenViewReporter&) = delete;
    QRVAScreenViewReporter& operator=(const QRVAScreenViewReporter&) = delete;

    // Any thread.
    bool isAppActive() const { return appActive_.load(); }
    // The current screen's parameters as QRVAValue objects; empty unless
    // screen reporting is on and the app is active. Any thread.
    QRVAObjectParameters screenParameters();
    // Copies of the current screen's name and class.
    void getScreenName(std::optional<std::string>* screenName, std::optional<std::string>* screenClass);
    QRVAScreenPtr currentScreen();
    QRVAScreenPtr previousScreen();

    // The app names the current screen itself; a nullopt class keeps the
    // top controller's class name. Main thread expected.
    void setScreenName(const std::optional<std::string>& screenName, const std::optional<std::string>& screenClass);

    // Main thread from here on.
    void viewControllerDidAppear(const std::shared_ptr<ns::UIViewController>& viewController);
    void viewControllerDidDisappear(const std::shared_ptr<ns::UIViewController>& viewController);
    void setCurrentViewController(const std::shared_ptr<ns::UIViewController>& viewController);
    // Hands a screen change to the session reporter (while active).
    void postScreenDidChangeNotificationWithPreviousScreen(const QRVAScreenPtr& previous, const QRVAScreenPtr& next);
    // "_vs" with the new screen's parameters and the previous one's.
    void logViewScreenEventWithPreviousScreen(const QRVAScreenPtr& previous, const QRVAScreenPtr& next);
    void handleWindowDidResign();
    void handleApplicationDidBecomeActive();
    void handleApplicationWillResignActive();

    // MARK: The first screen (QRVAFirstScreen.cpp)
    // Hands `deliver` the parameters of the first screen of the analytics
    // start, once, outside the lock (any thread): the current screen's if
    // the app is active when analytics starts; else, while an application
    // is launching, those current when it next becomes active (empty if no
    // controller appeared); else none. Decided on the facade's start, or
    // when first asked if the engine was made without it.
    void whenFirstScreenKnown(std::function<void(QRVAObjectParameters)> deliver);
    // kQRVAnalyticsWillStartNotification, on the starting thread.
    void handleAnalyticsWillStart();

private:
    enum class FirstScreen { Undecided, AtActivation, Known };
    void decideFirstScreen();
    void settleFirstScreenAtActivation();
    void settleFirstScreen(QRVAObjectParameters screen);

    struct Change {
        QRVAScreenPtr previous;
        QRVAScreenPtr next;
    };
    void trackCurrentViewControllerInKeyWindow(QRVAViewControllerStack& stack);
    void announce(const std::optional<Change>& change);
    int64_t takeScreenID();

    std::atomic<bool> appActive_{false};
    std::mutex mutex_;
    std::weak_ptr<ns::UIViewController> currentViewController_;
    QRVAScreenPtr currentScreen_;
    QRVAScreenPtr previousScreen_;
    int64_t nextScreenID_;
    FirstScreen firstScreenState_ = FirstScreen::Undecided;
    QRVAObjectParameters firstScreen_;
    std::vector<std::function<void(QRVAObjectParameters)>> firstScreenWaiters_;
    std::vector<ns::ObserverToken> observers_;
};
