#include "app/SalesTableViewController.h"

#include "app/StoreDirectory.h"
#include "platform/dispatch.h"
#include "uikit/UIImage.h"

namespace almavel {

namespace {

constexpr const char* kCellID = "LabelCell";

}  // namespace

SalesTableViewCell::SalesTableViewCell() : ns::UITableViewCell(kCellID) {
    auto image = ns::UIImageView::make(ns::CGRectMake(8, 6, 359, 184));
    image->setAccessibilityIdentifier("imgOferta");
    image->setContentMode(ns::UIViewContentMode::ScaleAspectFit);
    contentView()->addSubview(image);
    imgOferta = image;
}

SalesTableViewController::SalesTableViewController()
    : ns::UITableViewController("SalesTableViewController"),
      salesPhotos(kOfferFlyers.begin(), kOfferFlyers.end()) {}

void SalesTableViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UITableViewController::loadView();
    tableView()->setRowHeight(196);
    tableView()->registerCellFactory(kCellID, [] { return std::make_shared<SalesTableViewCell>(); });
}

void SalesTableViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UITableViewController::viewDidLoad();
    setTitle("Ofertas");
}

int SalesTableViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return static_cast<int>(salesPhotos.size());
}

std::shared_ptr<ns::UITableViewCell> SalesTableViewController::tableViewCellForRowAtIndexPath(
    ns::UITableView& tableView, ns::NSIndexPath indexPath) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto cell = tableView.dequeueReusableCellWithIdentifier(kCellID, indexPath);
    auto sales = std::dynamic_pointer_cast<SalesTableViewCell>(cell);
    if (!sales) return cell;
    if (auto image = sales->imgOferta.lock()) image->setImage(ns::UIImage::imageNamed(salesPhotos.at(indexPath.row)));
    return cell;
}

}  // namespace almavel
