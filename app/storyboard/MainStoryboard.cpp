#include "app/MainStoryboard.h"

#include "app/CantViewController.h"
#include "app/CapturaViewController.h"
#include "app/DatosViewController.h"
#include "app/DispoViewController.h"
#include "app/ExistViewController.h"
#include "app/IngresoViewController.h"
#include "app/MainViewController.h"
#include "app/ProfileViewController.h"
#include "app/QuoteViewController.h"
#include "app/RegisterViewController.h"
#include "app/ResetViewController.h"
#include "app/ResultViewController.h"
#include "app/SalesTableViewController.h"
#include "app/SearchViewController.h"
#include "app/SorryViewController.h"
#include "app/StoreTableViewController.h"
#include "app/TarjetaViewController.h"
#include "app/ViewController.h"
#include "platform/dispatch.h"
#include "platform/runtime.h"

namespace almavel {

std::shared_ptr<ns::UIStoryboard> registerMainStoryboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto storyboard = ns::UIStoryboard::registerStoryboard(kMainStoryboardName);
    storyboard->registerViewController(kLoginVID, [](const auto&) { return std::make_shared<ViewController>(); });
    storyboard->registerViewController(kMainStorID,
                                       [](const auto&) { return std::make_shared<MainViewController>(); });
    storyboard->registerViewController(kNavConID, [](const std::shared_ptr<ns::UIStoryboard>& sb) {
        auto nav = ns::UINavigationController::initWithRootViewController(
            sb->instantiateViewControllerWithIdentifier(kMainStorID));
        return std::static_pointer_cast<ns::UIViewController>(nav);
    });
    storyboard->registerViewController(kCapViewID,
                                       [](const auto&) { return std::make_shared<CapturaViewController>(); });
    storyboard->registerViewController(kResConID,
                                       [](const auto&) { return std::make_shared<ResultViewController>(); });
    storyboard->registerViewController(kSearchViewID,
                                       [](const auto&) { return std::make_shared<SearchViewController>(); });
    storyboard->registerViewController(kExistContID,
                                       [](const auto&) { return std::make_shared<ExistViewController>(); });
    storyboard->registerViewController(kUltIngID,
                                       [](const auto&) { return std::make_shared<IngresoViewController>(); });
    // The older stock screen: no screen leads to it, but it is in the layout.
    storyboard->registerViewController(kDispoID,
                                       [](const auto&) { return std::make_shared<DispoViewController>(); });
    storyboard->registerViewController(kRegisterConID,
                                       [](const auto&) { return std::make_shared<RegisterViewController>(); });
    storyboard->registerViewController(kResetConID,
                                       [](const auto&) { return std::make_shared<ResetViewController>(); });
    storyboard->registerViewController(kProfileConID,
                                       [](const auto&) { return std::make_shared<ProfileViewController>(); });
    storyboard->registerViewController(kSalesConID,
                                       [](const auto&) { return std::make_shared<SalesTableViewController>(); });
    storyboard->registerViewController(kStoreConID,
                                       [](const auto&) { return std::make_shared<StoreTableViewController>(); });
    storyboard->registerViewController(kCantViewID,
                                       [](const auto&) { return std::make_shared<CantViewController>(); });
    storyboard->registerViewController(kQuoteViewID,
                                       [](const auto&) { return std::make_shared<QuoteViewController>(); });
    storyboard->registerViewController(kTarjConID,
                                       [](const auto&) { return std::make_shared<TarjetaViewController>(); });
    storyboard->registerViewController(kDatosConID,
                                       [](const auto&) { return std::make_shared<DatosViewController>(); });
    storyboard->registerViewController(kSrryConID,
                                       [](const auto&) { return std::make_shared<SorryViewController>(); });
    storyboard->setInitialViewControllerIdentifier(kLoginVID);
    return storyboard;
}

// After UIKit's own hook (which registers the controller classes).
NS_REGISTER_LOAD_HOOK(700, "AlmavelMainStoryboard", [] { registerMainStoryboard(); });

}  // namespace almavel
