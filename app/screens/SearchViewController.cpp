#include "app/SearchViewController.h"

#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

// U+F8FF in UTF-8: sorts after every character the part numbers and
// descriptions use, so "<text>" ... "<text>\uF8FF" is "begins with <text>".
constexpr const char* kPrefixEnd = "\xEF\xA3\xBF";

std::shared_ptr<ns::UILabel> cellLabel(ns::UIView& content, ns::CGRect frame, const std::string& outlet, double size,
                                       bool bold = false) {
    auto label = ns::UILabel::make(frame);
    label->setAccessibilityIdentifier(outlet);
    label->setFont(bold ? ns::UIFont::boldSystemFontOfSize(size) : ns::UIFont::systemFontOfSize(size));
    content.addSubview(label);
    return label;
}

}  // namespace

SearchTableViewCell::SearchTableViewCell() : ns::UITableViewCell("LabelCell") {
    auto& content = *contentView();
    txtDesc = cellLabel(content, ns::CGRectMake(12, 4, 351, 22), "txtDesc", 15, true);
    txtParte = cellLabel(content, ns::CGRectMake(12, 28, 120, 18), "txtParte", 13);
    txtCodigo = cellLabel(content, ns::CGRectMake(136, 28, 120, 18), "txtCodigo", 13);
    txtPrecio = cellLabel(content, ns::CGRectMake(258, 28, 105, 18), "txtPrecio", 13, true);
    txtPrecio.lock()->setTextAlignment(ns::NSTextAlignment::Right);
    // Long names and large prices shrink rather than lose their ends.
    for (const auto& label : {txtDesc, txtPrecio}) {
        label.lock()->setAdjustsFontSizeToFitWidth(true);
        label.lock()->setMinimumScaleFactor(0.7);
    }
}

SearchViewController::SearchViewController() : ProductLookUpScreen("SearchViewController") {}

SearchViewController::~SearchViewController() {
    stopFollowing();
    // Gone while a search was running: what it began still ends.
    if (waiting_) ns::Application::shared()->endIgnoringInteractionEvents();
}

void SearchViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom;

    auto bar = ns::UISearchBar::make(ns::CGRectMake(0, top, screen.width(), 44));
    // Typing reaches the bar's field, so input finds the field by the name.
    bar->searchTextField()->setAccessibilityIdentifier("searchBar");
    bar->setPlaceholder("Parte o descripción");
    root->addSubview(bar);
    searchBar = bar;

    auto button = [&](double x, const std::string& title, const std::string& outlet, auto action, const char* sel) {
        auto b = ns::UIButton::make(ns::CGRectMake(x, top + 52, 165, 40), title);
        b->setAccessibilityIdentifier(outlet);
        b->setTitleColor(cfhex.colorFromHex(kBrandBlue, 1));
        b->titleLabel()->setAdjustsFontSizeToFitWidth(true);
        b->titleLabel()->setMinimumScaleFactor(0.7);
        b->addTarget(ns::TargetAction::to(this, sel, action), ns::UIControlEventTouchUpInside);
        root->addSubview(b);
        return b;
    };
    btParte = button(15, "Por número de parte", "btParte", &SearchViewController::buscarParte, "buscarParte:");
    btDesc = button(195, "Por descripción", "btDesc", &SearchViewController::buscarDesc, "buscarDesc:");

    auto list = ns::UITableView::make(ns::CGRectMake(0, top + 100, screen.width(), screen.height() - top - 100));
    list->setAccessibilityIdentifier("table");
    list->setRowHeight(52);
    list->registerCellFactory("LabelCell", [] { return std::make_shared<SearchTableViewCell>(); });
    root->addSubview(list);
    table = list;
    setView(root);
}

void SearchViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    addKeyboardDismissTap();
    if (auto list = table.lock()) {
        auto self = shared_from_this();
        list->setDelegate(std::dynamic_pointer_cast<ns::UITableViewDelegate>(self));
        list->setDataSource(std::dynamic_pointer_cast<ns::UITableViewDataSource>(self));
    }
    for (const auto& weak : {btParte, btDesc}) {
        if (auto b = weak.lock()) {
            b->layer()->setBorderWidth(1);
            b->layer()->setCornerRadius(5);
            b->layer()->setBorderColor(cfhex.colorFromHex(kBrandBlue, 0.5));
        }
    }
    setTitle("Búsqueda avanzada");
}

void SearchViewController::viewDidDisappear(bool animated) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // Rows of a search the user left must not keep arriving.
    stopFollowing();
}

void SearchViewController::buscarParte(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    runSearch(&SearchViewController::searchByPart);
}

void SearchViewController::buscarDesc(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    runSearch(&SearchViewController::searchByDescription);
}

void SearchViewController::runSearch(SearchOperation operation) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    stopFollowing();
    ++generation_;
    prods.clear();
    if (auto list = table.lock()) list->reloadData();
    auto bar = searchBar.lock();
    const std::string text = bar ? bar->text() : std::string();
    if (text.empty()) {
        presentAlert(*this, "Atención", "Debe colocar algún criterio de búsqueda", "OK");
        return;
    }
    (this->*operation)(text);
}

QRVDatabaseQueryPtr SearchViewController::prefixQuery(const std::string& child, const std::string& text) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return ref->child("Productos")
        ->queryOrderedByChild(child)
        ->queryStartingAtValue(ns::Value(text))
        ->queryEndingAtValue(ns::Value(text + kPrefixEnd))
        ->queryLimitedToFirst(kSearchLimit);
}

void SearchViewController::searchByPart(const std::string& text) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    startSearch("qParte", text, false);
}

void SearchViewController::searchByDescription(const std::string& text) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    startSearch("Descrip", text, true);
}

void SearchViewController::startSearch(const std::string& child, const std::string& text, bool closesKeyboard) {
    beginSearchWait();
    std::weak_ptr<SearchViewController> weak = std::static_pointer_cast<SearchViewController>(shared_from_this());
    // A server that never answers fails the search at the deadline, as a
    // refused read would; whatever the search brings later is dropped. The
    // deadline is the newest search's.
    if (deadline_) deadline_->end();
    deadline_ = WaitDeadline::start([weak] {
        auto screen = weak.lock();
        if (!screen) return;
        ++screen->generation_;
        screen->stopFollowing();
        screen->endSearchWait();
        presentAlert(*screen, kReadFailedTitle, readFailedMessage(WaitDeadline::timedOutError()), "Cerrar");
    });
    const uint64_t generation = generation_;
    // Answers of an earlier search are dropped; a screen already gone only
    // gives the touches back if its wait was still on.
    auto current = [weak, generation](const std::function<void(SearchViewController&)>& body) {
        auto screen = weak.lock();
        if (screen && screen->generation_ == generation) body(*screen);
    };
    prefixQuery(child, text)->observeSingleEventOfType(
        QRVDataEventTypeValue,
        [current](QRVDataSnapshotPtr snapshot) {
            current([&](SearchViewController& screen) { screen.handleSearchSnapshot(snapshot); });
        },
        [current](ns::ErrorRef error) {
            current([&](SearchViewController& screen) {
                if (!screen.waiting_) return;
                screen.endSearchWait();
                presentAlert(screen, kReadFailedTitle, readFailedMessage(error), "Cerrar");
            });
        });
    following_ = prefixQuery(child, text);
    followHandle_ = following_->observeEventType(
        QRVDataEventTypeChildAdded,
        [current, closesKeyboard](QRVDataSnapshotPtr snapshot) {
            current([&](SearchViewController& screen) {
                if (closesKeyboard) {
                    screen.appendDescriptionResult(snapshot);
                } else {
                    screen.appendPartResult(snapshot);
                }
            });
        },
        [](ns::ErrorRef) {});  // the single read's cancel block tells the user
}

void SearchViewController::beginSearchWait() {
    if (waiting_) return;
    waiting_ = true;
    beginWaiting(actInd, view());
}

void SearchViewController::endSearchWait() {
    // Every child ends the wait; only the first gives the touches back.
    actInd.hideActivityIndicator(view());
    if (!waiting_) return;
    waiting_ = false;
    if (deadline_) deadline_->end();
    ns::Application::shared()->endIgnoringInteractionEvents();
}

void SearchViewController::stopFollowing() {
    if (following_) following_->removeObserverWithHandle(followHandle_);
    following_.reset();
    followHandle_ = 0;
}

void SearchViewController::handleSearchSnapshot(const QRVDataSnapshotPtr& snapshot) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // With children, the child-added events fill the list and end the wait.
    if (snapshot && snapshot->hasChildren()) return;
    endSearchWait();
    presentAlert(*this, "Búsqueda sin exito", "No se encontró productos con este criterio", "OK");
}

void SearchViewController::appendResult(const QRVDataSnapshotPtr& snapshot) {
    const ns::Value record = snapshot->value();
    Prods row;
    row.Descrip = stringField(record, "Descrip").value_or("");
    row.qParte = stringField(record, "qParte").value_or("");
    row.Precio = doubleField(record, "Precio").value_or(0);
    row.Codigo = snapshot->key().value_or("");
    prods.push_back(std::move(row));
    if (auto list = table.lock()) list->reloadData();
    endSearchWait();
}

void SearchViewController::appendPartResult(const QRVDataSnapshotPtr& snapshot) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    appendResult(snapshot);
}

void SearchViewController::appendDescriptionResult(const QRVDataSnapshotPtr& snapshot) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    appendResult(snapshot);
    view()->endEditing(true);
}

int SearchViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return int(prods.size());
}

std::shared_ptr<ns::UITableViewCell> SearchViewController::tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                                         ns::NSIndexPath indexPath) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto cell = std::dynamic_pointer_cast<SearchTableViewCell>(
        tableView.dequeueReusableCellWithIdentifier("LabelCell", indexPath));
    if (!cell || indexPath.row < 0 || size_t(indexPath.row) >= prods.size()) return cell;
    const Prods& row = prods[size_t(indexPath.row)];
    if (auto l = cell->txtDesc.lock()) l->setText(row.Descrip);
    if (auto l = cell->txtParte.lock()) l->setText(row.qParte);
    if (auto l = cell->txtCodigo.lock()) l->setText(row.Codigo);
    if (auto l = cell->txtPrecio.lock()) l->setText("B/. " + formatAmount(row.Precio));
    return cell;
}

void SearchViewController::tableViewDidSelectRowAtIndexPath(ns::UITableView&, ns::NSIndexPath indexPath) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (indexPath.row < 0 || size_t(indexPath.row) >= prods.size()) return;
    lookUpProduct(prods[size_t(indexPath.row)].Codigo);
}

void SearchViewController::showNotFound(const std::string& code) {
    presentAlert(*this, kNotFoundTitle, kNotFoundMessage + code, "OK");
}

}  // namespace almavel
