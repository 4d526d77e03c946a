#include "app/StockRecordScreen.h"

#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "app/WaitDeadline.h"
#include "database/api/QRVDatabase.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"

namespace almavel {

std::shared_ptr<ns::UILabel> rowLabel(ns::UIView& content, ns::CGRect frame, const std::string& outlet, bool bold) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto label = ns::UILabel::make(frame);
    label->setAccessibilityIdentifier(outlet);
    label->setFont(bold ? ns::UIFont::boldSystemFontOfSize(16) : ns::UIFont::systemFontOfSize(16));
    content.addSubview(label);
    return label;
}

void addToTotal(int64_t& total, int64_t value) {
    if (__builtin_add_overflow(total, value, &total)) total = value > 0 ? INT64_MAX : INT64_MIN;
}

int64_t unitsAt(const ns::Value& record, const StockPlace& place) {
    return integerField(record, stockField(place).c_str()).value_or(0);
}

bool isStockRecord(const ns::Value& record) {
    return integerField(record, stockField(kStockPlaces[0]).c_str()).has_value();
}

std::string codeFromDefaults() {
    const ns::Value codigo = ns::UserDefaults::standard()->objectForKey(kCodigoKey);
    return codigo.isString() ? codigo.asString() : std::string();
}

StockRecordScreen::StockRecordScreen(std::string className)
    : ns::UIViewController(std::move(className)), ref(QRVDatabase::database()->reference()) {}

void StockRecordScreen::readRecord(const std::string& root, const std::string& code,
                                   std::function<void(StockRecordScreen&, const QRVDataSnapshotPtr&)> fill) {
    if (!isDatabaseKey(code)) {
        showNotFound(code);
        return;
    }
    beginWaiting(actInd, view());
    auto self = std::static_pointer_cast<StockRecordScreen>(shared_from_this());
    std::weak_ptr<StockRecordScreen> weak = self;
    auto readFailed = waitingCancelBlock(self, actInd);
    auto wait = WaitDeadline::start([readFailed] { readFailed(WaitDeadline::timedOutError()); });
    ref->child(root)->child(code)->observeSingleEventOfType(
        QRVDataEventTypeValue,
        wait->guard([weak, fill = std::move(fill)](QRVDataSnapshotPtr snapshot) {
            if (auto screen = weak.lock()) {
                fill(*screen, snapshot);
            } else {
                ns::Application::shared()->endIgnoringInteractionEvents();
            }
        }),
        wait->guard(readFailed));
}

std::optional<ns::Value> StockRecordScreen::recordOrNotFound(const QRVDataSnapshotPtr& snapshot,
                                                             const std::string& code,
                                                             const std::function<bool(const ns::Value&)>& isRecord) {
    ns::Value record = snapshot ? snapshot->value() : ns::Value();
    if (isRecord(record)) return record;
    endWaiting(actInd, view());
    showNotFound(code);
    return std::nullopt;
}

void StockRecordScreen::showNotFound(const std::string& code) {
    presentAlert(*this, kNotFoundTitle, kNotFoundMessage + code, "Cerrar");
}

std::shared_ptr<ns::UITableView> StockRecordScreen::makeTable(
    ns::UIView& root, ns::CGRect frame, std::function<std::shared_ptr<ns::UITableViewCell>()> factory) {
    auto list = ns::UITableView::make(frame);
    list->setAccessibilityIdentifier("table");
    list->setRowHeight(44);
    list->registerCellFactory("LabelCell", std::move(factory));
    root.addSubview(list);
    auto self = shared_from_this();
    list->setDelegate(std::dynamic_pointer_cast<ns::UITableViewDelegate>(self));
    list->setDataSource(std::dynamic_pointer_cast<ns::UITableViewDataSource>(self));
    return list;
}

}  // namespace almavel
