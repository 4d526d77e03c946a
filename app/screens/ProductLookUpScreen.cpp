#include "app/ProductLookUpScreen.h"

#include "app/MainStoryboard.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "app/WaitDeadline.h"
#include "database/api/QRVDatabase.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"

namespace almavel {

ProductLookUpScreen::ProductLookUpScreen(std::string className)
    : ns::UIViewController(std::move(className)), ref(QRVDatabase::database()->reference()) {}

void ProductLookUpScreen::dismissKeyboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    view()->endEditing(true);
}

void ProductLookUpScreen::addKeyboardDismissTap() {
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::to(this, "dismissKeyboard", &ProductLookUpScreen::dismissKeyboard));
    tap->setCancelsTouchesInView(false);
    view()->addGestureRecognizer(tap);
}

void ProductLookUpScreen::lookUpProduct(const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!isDatabaseKey(code)) {
        showNotFound(code);
        return;
    }
    beginWaiting(actInd, view());
    auto self = std::static_pointer_cast<ProductLookUpScreen>(shared_from_this());
    std::weak_ptr<ProductLookUpScreen> weak = self;
    auto readFailed = [weak](ns::ErrorRef error) {
        auto screen = weak.lock();
        if (!screen) {
            ns::Application::shared()->endIgnoringInteractionEvents();
            return;
        }
        endWaiting(screen->actInd, screen->view());
        screen->showReadFailed(kReadFailedTitle, readFailedMessage(error));
    };
    // A server that never answers fails the read at the deadline.
    auto wait = WaitDeadline::start([readFailed] { readFailed(WaitDeadline::timedOutError()); });
    ref->child("Productos")
        ->child(code)
        ->observeSingleEventOfType(
            QRVDataEventTypeValue,
            wait->guard([weak, code](QRVDataSnapshotPtr snapshot) {
                if (auto screen = weak.lock()) {
                    screen->handleProductSnapshot(snapshot, code);
                } else {
                    // The screen is gone; the wait it began still ends.
                    ns::Application::shared()->endIgnoringInteractionEvents();
                }
            }),
            wait->guard(readFailed));
}

void ProductLookUpScreen::showReadFailed(const std::string& title, const std::string& message) {
    presentAlert(*this, title, message, "Cerrar");
}

bool ProductLookUpScreen::writeProductKeys(const ns::Value& record, const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const auto descrip = stringField(record, "Descrip");
    if (!descrip) return false;
    auto defaults = ns::UserDefaults::standard();
    auto put = [&](const char* key, const auto& value) {
        if (value) {
            defaults->setObject(ns::Value(*value), key);
        } else {
            defaults->removeObjectForKey(key);
        }
    };
    defaults->setString(code, kCodigoKey);
    defaults->setString(*descrip, kDescripKey);
    put(kPrecioKey, doubleField(record, "Precio"));
    put(kFecIniKey, integerField(record, "FecIni"));
    put(kFecFinKey, integerField(record, "FecFin"));
    put(kOfertaKey, doubleField(record, "Oferta"));
    put(kMargenKey, doubleField(record, "Margen"));
    return true;
}

void ProductLookUpScreen::handleProductSnapshot(const QRVDataSnapshotPtr& snapshot, const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const bool found = snapshot && writeProductKeys(snapshot->value(), code);
    endWaiting(actInd, view());
    if (!found) {
        showNotFound(code);
        return;
    }
    showScreen(*this, kResConID);
}

}  // namespace almavel
