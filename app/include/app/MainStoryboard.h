#pragma once
// The application's storyboard "Main": the screens by identifier. Sign-in
// ("LoginV") comes first; "NavCon" is the navigation controller that holds
// the signed-in screens, with the main menu ("MainStor") at its root.
// Registered by a load hook, so UIApplicationLaunch finds it; the screens
// of later releases add their identifiers here. Main thread only.

#include <memory>

#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr const char* kMainStoryboardName = "Main";

// Registers (or registers again, fresh) the "Main" storyboard.
std::shared_ptr<ns::UIStoryboard> registerMainStoryboard();

}  // namespace almavel
