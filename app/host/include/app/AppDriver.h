#pragma once
// Drives the running app as a person would, for the hosts (the script
// player, the browser page) and for tests: find a control by name, tap it,
// type into a field, scroll a list, choose a table row, answer an alert, go
// back, and let the main loop run until the app is idle. Input goes through the key
// window, so it is refused exactly when a person's would be (interaction
// events ignored, a control covered by an overlay or an alert).
//
// Names are those uikit/inspection.h gives: the outlet name
// (accessibilityIdentifier), else a button's title; a control is also found
// by the text it shows. Main thread only.

#include <functional>
#include <memory>
#include <string>

#include "platform/value.h"
#include "uikit/UIWindow.h"
#include "uikit/inspection.h"

namespace almavel {

// How far a scroll of the screen's list goes: a line (the arrow keys), a
// page (the view's height less a row, so the last row seen stays in sight),
// or to either end.
enum class ScrollStep { LineUp, LineDown, PageUp, PageDown, Top, Bottom };

class AppDriver {
public:
    // Launches the app in the current sandbox (UIApplicationLaunch with
    // AppDelegate); the driver then works on its key window.
    static AppDriver launch();
    // A driver over the key window of an app already launched.
    AppDriver() = default;

    std::shared_ptr<ns::UIWindow> window() const;

    // The reachable control of that name (or showing that text), if any.
    std::optional<ns::UIElement> element(const std::string& name) const;
    // Any view in the window with that outlet name, reachable or not
    // (visible ones first): for reading state such as a panel's frame.
    ns::UIViewPtr find(const std::string& name) const;
    template <class T>
    std::shared_ptr<T> find(const std::string& name) const {
        return std::dynamic_pointer_cast<T>(find(name));
    }

    // Each returns false, and sets lastError(), when the input is refused
    // or there is nothing of that name to take it.
    bool tap(const std::string& name);
    bool type(const std::string& name, const std::string& text);
    // A row out of sight is first scrolled into view (the least move that
    // shows all of it), as a person drags a list to reach a row.
    bool selectRow(int row, int section = 0);
    // The screen's list (the largest list a tap can reach) moves by a step,
    // or by `points` (positive: towards its end). Refused when there is no
    // such list; a list already at that end stays where it is.
    bool scroll(ScrollStep step);
    bool scroll(double points);
    // A drag or a turn of the mouse wheel over `point` (window coordinates)
    // moving the content by `delta` (uikit's UIScrollView::scrollAtPoint):
    // refused only when input is ignored; over no list nothing happens.
    bool scrollAt(ns::CGPoint point, ns::CGPoint delta);
    bool answerAlert(const std::string& buttonTitle);
    bool back();
    const std::string& lastError() const { return lastError_; }
    // The same refusal worded for the page, which speaks the phone's
    // language.
    const std::string& lastErrorInSpanish() const { return lastErrorInSpanish_; }

    // Runs the main loop until nothing is left to do now: interaction is
    // no longer ignored and the main queue stays empty for a moment. Under a
    // virtual clock, work already due is fired (time is not moved). False
    // when the app was still busy after `timeoutSeconds` of real time.
    bool waitUntilIdle(double timeoutSeconds = 30) const;

    // What the screen shows, as text (uikit/inspection.h) and as PNG bytes
    // of the 750 x 1334 snapshot.
    std::string screenText() const;
    ns::Data screenshotPNG() const;

private:
    bool refuse(std::string why, std::string porQue);
    void clearError() {
        lastError_.clear();
        lastErrorInSpanish_.clear();
    }
    bool scrollList(const std::function<double(ns::UIScrollView&)>& distance);
    std::string lastError_;
    std::string lastErrorInSpanish_;
};

}  // namespace almavel
