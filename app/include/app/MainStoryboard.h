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

// The screens' identifiers, each with its factory in registerMainStoryboard().
inline constexpr const char* kLoginVID = "LoginV";
inline constexpr const char* kNavConID = "NavCon";
inline constexpr const char* kMainStorID = "MainStor";
inline constexpr const char* kCapViewID = "CapView";
inline constexpr const char* kSearchViewID = "SearchView";
inline constexpr const char* kResConID = "ResCon";
inline constexpr const char* kCantViewID = "CantView";
inline constexpr const char* kQuoteViewID = "QuoteView";
inline constexpr const char* kExistContID = "ExistCont";
inline constexpr const char* kUltIngID = "UltIng";
inline constexpr const char* kTarjConID = "TarjCon";
inline constexpr const char* kDatosConID = "DatosCon";
inline constexpr const char* kSrryConID = "SrryCon";
// Reached from the main menu's panel and from sign-in, by the roads the
// storyboard declares.
inline constexpr const char* kSalesConID = "SalesCon";
inline constexpr const char* kStoreConID = "StoreCon";
inline constexpr const char* kRegisterConID = "RegisterCon";
inline constexpr const char* kResetConID = "ResetCon";
inline constexpr const char* kProfileConID = "ProfileCon";
// The older stock screen, which no screen opens.
inline constexpr const char* kDispoID = "DispoCon";

// Registers (or registers again, fresh) the "Main" storyboard.
std::shared_ptr<ns::UIStoryboard> registerMainStoryboard();

}  // namespace almavel
