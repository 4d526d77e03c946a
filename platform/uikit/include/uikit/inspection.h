#pragma once
// What a person sees and can touch on the window, for the hosts that show
// the app (the browser page lays a control over each element; the script
// player prints the screen as text) and for tests that find controls by
// name. Main thread only; the window is laid out first.

#include <memory>
#include <string>
#include <vector>

#include "uikit/UIWindow.h"
#include "uikit/renderer.h"

namespace ns {

struct UIElement {
    enum class Kind { Button, TextField, TableRow };
    Kind kind = Kind::Button;
    std::weak_ptr<UIView> view;
    // The outlet name (accessibilityIdentifier), else the title, else the
    // label; for rows "row <section>.<row>".
    std::string name;
    // A button's title, a field's text (bullets when secure), a row's label
    // texts joined by " | ".
    std::string text;
    CGRect frame;  // window coordinates
    bool enabled = true;
    bool secure = false;
    std::string placeholder;
    NSIndexPath row;  // for TableRow
};

// Every element a tap would reach now: visible, not covered by another view
// (an alert or a busy overlay covers what is under it), in drawing order.
std::vector<UIElement> interactiveElements(UIWindow& window);

// The screen as text: the title, then one line per visible label, field,
// button and table row, and the alert on top when there is one, e.g.
//   screen: Login (ViewController)
//   field txtUser: ana@almavel.pa
//   button Entrar
//   alert: Login Error / Usuario o contraseña incorrectos, vuelva a intentar [Cerrar]
std::string describeScreen(UIWindow& window);

// The texts the screen shows cut short now (it is drawn to find out).
std::vector<UITruncatedText> truncatedTexts(UIWindow& window);

}  // namespace ns
