#include "app/ScreenSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "app/AppConsole.h"
#include "auth/QRVAuth.h"
#include "platform/application.h"
#include "platform/dispatch.h"

namespace almavel {

std::optional<std::string> signedInUid() {
    if (auto current = QRVAuth::auth()->currentUser()) return current->uid();
    return std::nullopt;
}

void beginWaiting(ActivityInicator& actInd, const ns::UIViewPtr& view) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    actInd.showActivityIndicator(view);
    ns::Application::shared()->beginIgnoringInteractionEvents();
}

void endWaiting(ActivityInicator& actInd, const ns::UIViewPtr& view) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    actInd.hideActivityIndicator(view);
    ns::Application::shared()->endIgnoringInteractionEvents();
}

void showScreen(ns::UIViewController& screen, const char* identifier) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto sb = screen.storyboard();
    if (!sb) return;
    const auto ids = sb->identifiers();
    if (std::find(ids.begin(), ids.end(), identifier) == ids.end()) {
        AppConsole::write(std::string(identifier) + " is not available in this version");
        return;
    }
    auto next = sb->instantiateViewControllerWithIdentifier(identifier);
    screen.showViewController(next, next);
}

void prepareSpinner(ns::UIActivityIndicatorView& spinner, const ns::UIViewPtr& root) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    spinner.setCenter(root->center());
    spinner.setHidesWhenStopped(true);
    spinner.setActivityIndicatorViewStyle(ns::UIActivityIndicatorViewStyle::Gray);
    if (spinner.superview() != root) root->addSubview(std::static_pointer_cast<ns::UIView>(spinner.shared_from_this()));
}

void presentAlert(ns::UIViewController& screen, const std::string& title, const std::string& message,
                  const std::string& button, std::function<void()> handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto alert = ns::UIAlertController::alertControllerWithTitle(title, message, ns::UIAlertControllerStyle::Alert);
    ns::UIAlertAction::Handler onTap;
    if (handler) onTap = [handler = std::move(handler)](const auto&) { handler(); };
    alert->addAction(ns::UIAlertAction::actionWithTitle(button, ns::UIAlertActionStyle::Default, std::move(onTap)));
    screen.presentViewController(alert, true);
}

bool isDatabaseKey(const std::string& code) {
    // The database refuses a longer key as an invalid path, which a clerk
    // would read as a connection error; no record can have such a key.
    constexpr std::size_t kMaxKeyBytes = 768;
    if (code.empty() || code.size() > kMaxKeyBytes) return false;
    for (unsigned char c : code) {
        if (c < 0x20 || c == 0x7f) return false;
        switch (c) {
            case '.': case '#': case '$': case '[': case ']': case '/': return false;
            default: break;
        }
    }
    return true;
}

std::string readFailedMessage(const ns::ErrorRef& error) {
    return kReadFailedMessage + (error ? error->localizedDescription() : std::string());
}

QRVCancelBlock waitingCancelBlock(const std::shared_ptr<ns::UIViewController>& screen, ActivityInicator& actInd) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    std::weak_ptr<ns::UIViewController> weak = screen;
    ActivityInicator* overlay = &actInd;  // lives as long as the screen
    return [weak, overlay](ns::ErrorRef error) {
        auto self = weak.lock();
        if (!self) {
            ns::Application::shared()->endIgnoringInteractionEvents();
            return;
        }
        endWaiting(*overlay, self->view());
        presentAlert(*self, kReadFailedTitle, readFailedMessage(error), "Cerrar");
    };
}

std::optional<double> numberValue(const ns::Value& v) {
    if (!v.isNumber()) return std::nullopt;
    return v.asDouble();
}

std::optional<int64_t> integerValue(const ns::Value& v) {
    if (v.isInteger()) {
        if (v.type() == ns::Value::Type::UInt && v.asUInt() > uint64_t(std::numeric_limits<int64_t>::max())) {
            return std::nullopt;
        }
        return v.asInt();
    }
    if (v.isDouble()) {
        const double d = v.asDouble();
        // Whole and inside the 64-bit range: the number converts exactly.
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18) {
            return static_cast<int64_t>(d);
        }
    }
    return std::nullopt;
}

std::optional<double> doubleField(const ns::Value& record, const char* key) {
    if (!record.isDictionary() || !record.contains(key)) return std::nullopt;
    return numberValue(record[key]);
}

std::optional<int64_t> integerField(const ns::Value& record, const char* key) {
    if (!record.isDictionary() || !record.contains(key)) return std::nullopt;
    return integerValue(record[key]);
}

std::optional<std::string> stringField(const ns::Value& record, const char* key) {
    if (!record.isDictionary() || !record.contains(key)) return std::nullopt;
    const ns::Value& v = record[key];
    if (!v.isString()) return std::nullopt;
    return v.asString();
}

std::string formatAmount(double amount) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", amount);
    return buffer;
}

}  // namespace almavel
