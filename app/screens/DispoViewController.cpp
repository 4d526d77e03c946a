#include "app/DispoViewController.h"

#include "app/AppConsole.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

DispoViewController::DispoViewController() : StockRecordScreen("DispoViewController") { setTitle("Disponibilidad"); }

void DispoViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom + 16;
    for (size_t i = 0; i < nameLabels.size(); ++i) {
        const StockPlace& place = kStockPlaces[i];
        const double y = top + 40 * double(i);
        auto name = rowLabel(*root, ns::CGRectMake(16, y, 250, 28), std::string("txt") + place.code + "h");
        name->setText(place.name);
        nameLabels[i] = name;
        auto units = rowLabel(*root, ns::CGRectMake(270, y, 89, 28), std::string("txt") + place.code + "q", true);
        units->setTextAlignment(ns::NSTextAlignment::Right);
        quantityLabels[i] = units;
    }
    auto sorry = rowLabel(*root, ns::CGRectMake(16, top + 300, 343, 48), "txtSrry");
    sorry->setText(kStockSorryText);
    sorry->setNumberOfLines(2);
    txtSrry = sorry;
    setView(root);
}

void DispoViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    for (size_t i = 0; i < nameLabels.size(); ++i) {
        if (auto l = nameLabels[i].lock()) l->setHidden(true);
        if (auto l = quantityLabels[i].lock()) l->setHidden(true);
    }
    if (auto sorry = txtSrry.lock()) sorry->setHidden(true);
    const ns::Value codigo = ns::UserDefaults::standard()->objectForKey(kCodigoKey);
    if (codigo.isNull()) return;
    loadDispoLabels(codigo.isString() ? codigo.asString() : codigo.description());
}

void DispoViewController::loadDispoLabels(const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    AppConsole::write(code);
    auto total = std::make_shared<int64_t>(0);
    readRecord("d1sp0", code, [total, code](StockRecordScreen& screen, const QRVDataSnapshotPtr& snapshot) {
        static_cast<DispoViewController&>(screen).fillDispoLabels(snapshot, total, code);
    });
}

void DispoViewController::fillDispoLabels(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int64_t>& total,
                                          const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const auto record = recordOrNotFound(snapshot, code, isStockRecord);
    if (!record) return;
    bool shown = false;
    for (size_t i = 0; i < nameLabels.size(); ++i) {
        const int64_t units = unitsAt(*record, kStockPlaces[i]);
        if (units != 0) {
            shown = true;
            if (auto l = nameLabels[i].lock()) l->setHidden(false);
            if (auto l = quantityLabels[i].lock()) {
                l->setHidden(false);
                l->setText(std::to_string(units));
            }
        }
        addToTotal(*total, units);
    }
    // As on the stock screen: the sorry label only when no place is shown.
    if (!shown) {
        if (auto sorry = txtSrry.lock()) sorry->setHidden(false);
    }
    endWaiting(actInd, view());
}

}  // namespace almavel
