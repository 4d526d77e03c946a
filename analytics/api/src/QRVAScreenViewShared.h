#pragma once
// What the screen-view reporter's sources share (the window stacks, the
// appearance-method exchange, the reporter and its app-active flag): the
// key window and its stack of controllers, which controllers may be a
// screen, the measurement monitor's log and the engine's session reporter.
// Not a public header. The window helpers read UIKit state, so they belong
// where the reporter's appearance callbacks run.

#include <memory>
#include <string>

#include "analytics/QRVAScreenViewReporter.h"
#include "platform/value.h"

class QRVASessionReporter;

namespace qrva_screen_view {

// The application's key window; null without one.
std::shared_ptr<ns::UIWindow> keyWindow();
// Whether the controller's view is loaded and in a window.
bool isViewInWindow(ns::UIViewController& viewController);
// Whether the controller may be a screen: not a private system class (nor
// a system class under a private one), its view in the key window.
bool isTrackable(ns::UIViewController& viewController);
// The key window's stack, made empty and attached when it has none; null
// without a key window.
std::shared_ptr<QRVAViewControllerStack> keyWindowStack();
// Drops the entries whose controllers are gone.
void compact(QRVAViewControllerStack& stack);

// The measurement monitor's log, with its contexts when there are any.
// The engine's session reporter; null until the engine exists.
std::shared_ptr<QRVASessionReporter> engineSessionReporter();

}  // namespace qrva_screen_view
