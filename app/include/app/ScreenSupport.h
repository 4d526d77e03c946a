#pragma once
// What the screens that wait for the back end share: the busy overlay with
// touches ignored while a request runs, the one-button alerts, the checks a
// code must pass before it names a database child, and the conversions of
// record fields that may be missing or of another type. What touches views,
// alerts or the interaction count is main thread only (checked in Debug);
// the checks of codes and the field conversions are plain functions of their
// arguments, fit for any thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/ActivityInicator.h"
#include "database/api/QRVDatabaseQuery.h"
#include "platform/dispatch.h"
#include "platform/value.h"
#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr const char* kNotFoundTitle = "Producto no existe";
inline constexpr const char* kNotFoundMessage = "Este producto no se encuentra en nuestro catalogo: ";
inline constexpr const char* kReadFailedTitle = "Error de conexión";
inline constexpr const char* kReadFailedMessage = "No se pudo consultar la información: ";
inline constexpr const char* kNoUserTitle = "Sesión no iniciada";
inline constexpr const char* kNoUserMessage = "Inicie sesión para usar esta opción.";

// The signed-in user's id, if anyone is signed in.
std::optional<std::string> signedInUid();

// Overlay over `view`, then touches ignored; and the way back.
void beginWaiting(ActivityInicator& actInd, const ns::UIViewPtr& view);
void endWaiting(ActivityInicator& actInd, const ns::UIViewPtr& view);

// Makes the storyboard's screen `identifier` and shows it from `screen`.
// A screen of a later release, not in this storyboard yet, is not shown:
// the console says so.
void showScreen(ns::UIViewController& screen, const char* identifier);

// Pops back to the screen of class T when the navigation stack holds one,
// so going back and forth never piles up copies; makes a new one only
// when there is none.
template <class T>
void returnToScreen(ns::UIViewController& from, const char* identifier) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto nav = from.navigationController()) {
        auto stack = nav->viewControllers();
        for (size_t i = stack.size(); i-- > 0;) {
            if (!std::dynamic_pointer_cast<T>(stack[i])) continue;
            stack.resize(i + 1);
            nav->setViewControllers(std::move(stack), true);
            return;
        }
    }
    showScreen(from, identifier);
}

// A screen's own spinner (the signed-out screens use one instead of the
// overlay): centred on `root`, gray, hidden when stopped, added once. Not
// started here.
void prepareSpinner(ns::UIActivityIndicatorView& spinner, const ns::UIViewPtr& root);

// Presents, animated, an alert with one default-style button.
void presentAlert(ns::UIViewController& screen, const std::string& title, const std::string& message,
                  const std::string& button, std::function<void()> handler = {});

// Whether `code` names exactly one child key: not empty, at most 768 bytes
// (the server's longest key), and none of the characters a database path forbids or reads as a separator (". # $ [ ] /"
// and control characters). Anything else would raise in child: or read
// another record than the one typed.
bool isDatabaseKey(const std::string& code);

// The read-failed alert's message for the error a cancel block received.
std::string readFailedMessage(const ns::ErrorRef& error);

// A read's cancel block for a screen waiting on it: ends the wait and says
// the read failed (the server refused it or the connection was lost), so the
// screen never stays covered with touches ignored. When the screen is gone
// only the touches are given back.
QRVCancelBlock waitingCancelBlock(const std::shared_ptr<ns::UIViewController>& screen, ActivityInicator& actInd);

// Record fields: nullopt when missing or not exactly of the type (a string,
// a boolean, or a fraction where a whole number is wanted).
std::optional<double> numberValue(const ns::Value& value);
std::optional<int64_t> integerValue(const ns::Value& value);
std::optional<double> doubleField(const ns::Value& record, const char* key);
std::optional<int64_t> integerField(const ns::Value& record, const char* key);
std::optional<std::string> stringField(const ns::Value& record, const char* key);

// "%.2f" with a point and no grouping, whatever the locale.
std::string formatAmount(double amount);

}  // namespace almavel
