#pragma once
// "SrryCon": the store credit-card account was not found.
//
// Main thread only.

#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr const char* kNoAccountText = "Lo sentimos, no encontramos una cuenta con esos datos.";

class SorryViewController : public ns::UIViewController {
public:
    SorryViewController();
    void loadView() override;
};

}  // namespace almavel
