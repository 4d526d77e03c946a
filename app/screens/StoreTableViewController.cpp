#include "app/StoreTableViewController.h"

#include "app/StoreDirectory.h"
#include "platform/dispatch.h"
#include "uikit/UIImage.h"

namespace almavel {

namespace {

constexpr const char* kCellID = "LabelCell";

std::shared_ptr<ns::UILabel> cellLabel(ns::CGRect frame, ns::UIFont font, int lines = 1) {
    auto label = ns::UILabel::make(frame);
    label->setFont(font);
    label->setNumberOfLines(lines);
    return label;
}

}  // namespace

StoreTableViewCell::StoreTableViewCell() : ns::UITableViewCell(kCellID) {
    auto photo = ns::UIImageView::make(ns::CGRectMake(8, 10, 100, 100));
    photo->setAccessibilityIdentifier("storePhoto");
    photo->setContentMode(ns::UIViewContentMode::ScaleAspectFill);
    contentView()->addSubview(photo);
    storePhoto = photo;
    const std::pair<std::weak_ptr<ns::UILabel>*, std::shared_ptr<ns::UILabel>> labels[] = {
        {&storeName, cellLabel(ns::CGRectMake(116, 6, 251, 22), ns::UIFont::boldSystemFontOfSize(16))},
        {&storeHours, cellLabel(ns::CGRectMake(116, 28, 251, 44), ns::UIFont::systemFontOfSize(12), 0)},
        {&storePhone, cellLabel(ns::CGRectMake(116, 74, 251, 18), ns::UIFont::systemFontOfSize(13))},
        {&storeFax, cellLabel(ns::CGRectMake(116, 94, 251, 18), ns::UIFont::systemFontOfSize(13))},
    };
    const char* names[] = {"storeName", "storeHours", "storePhone", "storeFax"};
    int i = 0;
    for (const auto& [outlet, label] : labels) {
        label->setAccessibilityIdentifier(names[i++]);
        contentView()->addSubview(label);
        *outlet = label;
    }
    // A long store name shrinks a little before anything is cut.
    if (auto name = storeName.lock()) {
        name->setAdjustsFontSizeToFitWidth(true);
        name->setMinimumScaleFactor(0.8);
    }
}

StoreTableViewController::StoreTableViewController() : ns::UITableViewController("StoreTableViewController") {
    for (const auto& store : kStoreDirectory) {
        stores.emplace_back(store.name);
        storePhotos.emplace_back(store.photo);
        hours.emplace_back(store.hours);
        phones.emplace_back(store.phone);
        fax.emplace_back(store.fax);
    }
}

void StoreTableViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UITableViewController::loadView();
    tableView()->setRowHeight(120);
    tableView()->registerCellFactory(kCellID, [] { return std::make_shared<StoreTableViewCell>(); });
}

void StoreTableViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UITableViewController::viewDidLoad();
    setTitle("Sucursales");
}

int StoreTableViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return static_cast<int>(stores.size());
}

std::shared_ptr<ns::UITableViewCell> StoreTableViewController::tableViewCellForRowAtIndexPath(
    ns::UITableView& tableView, ns::NSIndexPath indexPath) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto cell = tableView.dequeueReusableCellWithIdentifier(kCellID, indexPath);
    auto store = std::dynamic_pointer_cast<StoreTableViewCell>(cell);
    if (!store) return cell;
    const auto r = static_cast<size_t>(indexPath.row);
    if (auto label = store->storeName.lock()) label->setText(stores.at(r));
    if (auto image = store->storePhoto.lock()) image->setImage(ns::UIImage::imageNamed(storePhotos.at(r)));
    if (auto label = store->storeHours.lock()) label->setText(hours.at(r));
    if (auto label = store->storePhone.lock()) label->setText(phones.at(r));
    if (auto label = store->storeFax.lock()) label->setText(fax.at(r));
    return cell;
}

}  // namespace almavel
