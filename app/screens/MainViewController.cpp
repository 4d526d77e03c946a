#include "app/MainViewController.h"

#include <algorithm>

#include "app/AppConsole.h"
#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/SignInState.h"
#include "app/UserDefaultsKeys.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

std::shared_ptr<ns::UIButton> menuButton(double y, const std::string& title, const std::string& name) {
    auto button = ns::UIButton::make(ns::CGRectMake(16, y, MainViewController::kMenuWidth - 32, 44), title);
    button->setAccessibilityIdentifier(name);
    button->setTitleColor(ns::UIColor::whiteColor());
    return button;
}

}  // namespace

MainViewController::MainViewController() : ns::UIViewController("MainViewController") {
    setTitle("Almavel");
    navigationItem()->setHidesBackButton(true);
    navigationItem()->setLeftBarButtonItem([] {
        auto item = ns::UIBarButtonItem::make("Menú", ns::UIBarButtonItemStyle::Plain,
                                              ns::TargetAction::block("ShowHideMenu:", [](const ns::ObjectPtr&) {}));
        item->setAccessibilityIdentifier("ShowHideMenu");
        return item;
    }());
}

void MainViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ColorFromHex hex;
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom;

    // The capture button's corner radius comes in viewDidLoad.
    auto cap = filledButton(ns::CGRectMake(40, top + 120, 295, 64), "Escanear código", "btCap",
                            hex.colorFromHex(kBrandBlue, 1), 20);
    cap->layer()->setCornerRadius(0);
    cap->addTarget(ns::TargetAction::to(this, "capturar:", &MainViewController::capturar),
                   ns::UIControlEventTouchUpInside);
    root->addSubview(cap);
    btCap = cap;

    auto find = filledButton(ns::CGRectMake(40, top + 204, 295, 64), "Buscar producto", "search",
                             hex.colorFromHex(kBrandBlue, 0.85), 20);
    find->addTarget(ns::TargetAction::to(this, "search:", &MainViewController::search), ns::UIControlEventTouchUpInside);
    root->addSubview(find);

    // The panel sits below the bar and starts off screen to the left.
    auto panel = ns::UIView::make(ns::CGRectMake(kMenuHiddenConstant, top, kMenuWidth, screen.height() - top));
    panel->setAccessibilityIdentifier("mView");
    panel->setBackgroundColor(hex.colorFromHex(kMenuPanelNavy, 1));
    auto heading = ns::UILabel::make(ns::CGRectMake(16, 16, kMenuWidth - 32, 28));
    heading->setText("Menú");
    heading->setFont(ns::UIFont::boldSystemFontOfSize(20));
    heading->setTextColor(ns::UIColor::whiteColor());
    panel->addSubview(heading);
    if (auto usuario = ns::UserDefaults::standard()->stringForKey(kUsuarioKey)) {
        auto who = ns::UILabel::make(ns::CGRectMake(16, 48, kMenuWidth - 32, 20));
        who->setText(*usuario);
        who->setFont(ns::UIFont::systemFontOfSize(13));
        who->setTextColor(hex.colorFromHex(0xffffff, 0.8));
        panel->addSubview(who);
    }
    auto panelSearch = menuButton(88, "Buscar producto", "menuSearch");
    panelSearch->addTarget(ns::TargetAction::to(this, "search:", &MainViewController::search),
                           ns::UIControlEventTouchUpInside);
    panel->addSubview(panelSearch);
    // Screens reached only through the storyboard's roads from the panel.
    std::weak_ptr<ns::Object> weakSelf = weak_from_this();
    const std::pair<const char*, const char*> roads[] = {{"Ofertas", kSalesConID},
                                                         {"Sucursales", kStoreConID},
                                                         {"Cotización", kQuoteViewID},
                                                         {"Tarjeta Almavel", kTarjConID},
                                                         {"Perfil", kProfileConID}};
    double y = 140;
    for (const auto& [title, identifier] : roads) {
        auto road = menuButton(y, title, std::string("menu") + identifier);
        road->addTarget(ns::TargetAction::block(identifier,
                                                [weakSelf, id = identifier](const ns::ObjectPtr&) {
                                                    auto self = weakSelf.lock();
                                                    if (self) showScreen(static_cast<MainViewController&>(*self), id);
                                                }),
                        ns::UIControlEventTouchUpInside);
        panel->addSubview(road);
        y += 52;
    }
    auto signOut = menuButton(screen.height() - top - 64, "Cerrar sesión", "CloseSession");
    signOut->addTarget(ns::TargetAction::to(this, "CloseSession:", &MainViewController::CloseSession),
                       ns::UIControlEventTouchUpInside);
    panel->addSubview(signOut);
    root->addSubview(panel);
    mView = panel;

    menuConstraint_ = ns::NSLayoutConstraint::constraintWithItem(panel, ns::NSLayoutAttribute::Leading, root,
                                                                 ns::NSLayoutAttribute::Leading, 1, kMenuHiddenConstant);
    menuConstraint_->setActive(true);
    MenuLeadConst = menuConstraint_;

    // The bar button's action reaches this screen now that it exists.
    if (auto item = navigationItem()->leftBarButtonItem()) {
        item->setAction(ns::TargetAction::to(this, "ShowHideMenu:", &MainViewController::ShowHideMenu));
    }
    setView(root);
}

void MainViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    if (auto panel = mView.lock()) {
        panel->layer()->setShadowOpacity(1.0);
        panel->layer()->setShadowRadius(6.0);
    }
    if (auto cap = btCap.lock()) cap->layer()->setCornerRadius(5.0);
}

void MainViewController::viewDidAppear(bool animated) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
}

void MainViewController::viewDidDisappear(bool animated) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (menuShowig) ShowHideMenu(nullptr);
}

void MainViewController::capturar(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    showScreen(*this, kCapViewID);
}

void MainViewController::search(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    showScreen(*this, kSearchViewID);
}

void MainViewController::ShowHideMenu(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto constraint = MenuLeadConst.lock()) constraint->setConstant(menuShowig ? kMenuHiddenConstant : 0);
    std::weak_ptr<ns::Object> weak = weak_from_this();
    ns::UIView::animateWithDuration(0.3, [weak] {
        if (auto self = std::static_pointer_cast<MainViewController>(weak.lock())) self->view()->layoutIfNeeded();
    });
    menuShowig = !menuShowig;
}

void MainViewController::CloseSession(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // A step that could not be kept leaves the clerk signed in, on this
    // screen, with the stores as they were before that step.
    if (const auto stopped = endSignIn()) {
        presentAlert(*this, kSignOutTitle, *stopped, "Cerrar");
        return;
    }
    auto sb = storyboard();
    auto window = view()->window();
    if (!sb || !window) return;
    auto login = sb->instantiateViewControllerWithIdentifier(kLoginVID);
    // A new root: the navigation controller, its stack and what it presents
    // leave the window; nothing signed-in stays reachable.
    std::static_pointer_cast<ns::UIWindow>(window->shared_from_this())->setRootViewController(login);
}

}  // namespace almavel
