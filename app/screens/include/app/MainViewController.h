#pragma once
// The main menu (storyboard "MainStor"), first screen inside "NavCon": the
// capture and search buttons and a menu panel that slides in from the left
// under the bar's "Menú" button, with the sign-out. Sign-out (endSignIn,
// app/SignInState.h) makes a fresh sign-in screen the window's root, so the
// signed-in screens and everything they presented are gone with no way back;
// a step it could not keep leaves the clerk here, signed in, with an alert.
//
// Main thread only.

#include <memory>

#include "uikit/UIViewController.h"

namespace almavel {

class MainViewController : public ns::UIViewController {
public:
    // Where the panel rests while hidden: its whole width off the left edge.
    static constexpr double kMenuHiddenConstant = -230;
    static constexpr double kMenuWidth = 230;

    MainViewController();

    std::weak_ptr<ns::UIButton> btCap;
    std::weak_ptr<ns::UIView> mView;
    std::weak_ptr<ns::NSLayoutConstraint> MenuLeadConst;
    bool menuShowig = false;

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;

    // Actions.
    void capturar(const ns::ObjectPtr& sender);
    void search(const ns::ObjectPtr& sender);
    void ShowHideMenu(const ns::ObjectPtr& sender);
    void CloseSession(const ns::ObjectPtr& sender);

private:
    // The panel's constraint, kept alive with the panel's view.
    std::shared_ptr<ns::NSLayoutConstraint> menuConstraint_;
};

}  // namespace almavel
