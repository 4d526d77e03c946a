#include "uikit/UITableView.h"

#include <algorithm>

#include "platform/error.h"
#include "platform/format.h"

namespace ns {

// UITableViewCell

UITableViewCell::UITableViewCell(std::string reuseIdentifier, UITableViewCellStyle style)
    : UIView(CGRectMake(0, 0, 320, 44)),
      reuseIdentifier_(std::move(reuseIdentifier)),
      style_(style),
      contentView_(UIView::make(CGRectMake(0, 0, 320, 44))) {
    setBackgroundColor(UIColor::whiteColor());
}

std::shared_ptr<UILabel> UITableViewCell::textLabel() {
    if (!textLabel_) {
        textLabel_ = UILabel::make();
        contentView_->addSubview(textLabel_);
        setNeedsLayout();
    }
    return textLabel_;
}

std::shared_ptr<UILabel> UITableViewCell::detailTextLabel() {
    if (!detailTextLabel_) {
        detailTextLabel_ = UILabel::make();
        detailTextLabel_->setFont(UIFont::systemFontOfSize(style_ == UITableViewCellStyle::Subtitle ? 12 : 17));
        detailTextLabel_->setTextColor(UIColor::grayColor());
        contentView_->addSubview(detailTextLabel_);
        setNeedsLayout();
    }
    return detailTextLabel_;
}

void UITableViewCell::layoutSubviews() {
    if (contentView_->superview().get() != this) insertSubview(contentView_, 0);
    const CGRect b = bounds();
    contentView_->setFrame(b);
    const double w = std::max(0.0, b.width() - 30);
    if (style_ == UITableViewCellStyle::Subtitle && detailTextLabel_) {
        if (textLabel_) textLabel_->setFrame(CGRectMake(15, 4, w, b.height() / 2));
        detailTextLabel_->setFrame(CGRectMake(15, b.height() / 2, w, b.height() / 2 - 4));
    } else {
        if (textLabel_) textLabel_->setFrame(CGRectMake(15, 0, w, b.height()));
        if (detailTextLabel_) {
            detailTextLabel_->setFrame(CGRectMake(15, 0, w, b.height()));
            detailTextLabel_->setTextAlignment(NSTextAlignment::Right);
        }
    }
}

// UITableView

UITableView::UITableView(CGRect frame) : UIScrollView(frame) { setBackgroundColor(UIColor::whiteColor()); }

void UITableView::registerCellFactory(const std::string& identifier, CellFactory factory) {
    factories_[identifier] = std::move(factory);
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCellWithIdentifier(const std::string& identifier) {
    auto& pool = reusable_[identifier];
    if (pool.empty()) return nullptr;
    auto cell = pool.back();
    pool.pop_back();
    cell->prepareForReuse();
    return cell;
}

std::shared_ptr<UITableViewCell> UITableView::dequeueReusableCellWithIdentifier(const std::string& identifier,
                                                                                NSIndexPath indexPath) {
    if (auto cell = dequeueReusableCellWithIdentifier(identifier)) {
        cell->setFrame(rectForRowAtIndexPath(indexPath));
        return cell;
    }
    auto it = factories_.find(identifier);
    if (it == factories_.end()) {
        Exception::raise(kInternalInconsistencyException,
                         format("unable to dequeue a cell with identifier %@ - must register a nib or a class for "
                                "the identifier or connect a prototype cell in a storyboard",
                                identifier));
    }
    auto cell = it->second();
    if (!cell) {
        Exception::raise(kInternalInconsistencyException,
                         format("the prototype of %@ made no cell", identifier));
    }
    ++made_[identifier];
    cell->setFrame(rectForRowAtIndexPath(indexPath));
    return cell;
}

int UITableView::cellsMade(const std::string& identifier) const {
    auto it = made_.find(identifier);
    return it == made_.end() ? 0 : it->second;
}

void UITableView::setRowHeight(double h) {
    rowHeight_ = h;
    reloadData();
}

void UITableView::reloadData() {
    countsLoaded_ = false;
    reloadPending_ = true;
    setNeedsLayout();
}

void UITableView::loadCounts() {
    if (countsLoaded_) return;
    countsLoaded_ = true;
    rowCounts_.clear();
    auto source = dataSource();
    if (!source) return;
    const int sections = std::max(0, source->numberOfSectionsInTableView(*this));
    for (int s = 0; s < sections; ++s) rowCounts_.push_back(std::max(0, source->tableViewNumberOfRowsInSection(*this, s)));
}

int UITableView::numberOfSections() {
    loadCounts();
    return int(rowCounts_.size());
}

int UITableView::numberOfRowsInSection(int section) {
    loadCounts();
    return section >= 0 && section < int(rowCounts_.size()) ? rowCounts_[size_t(section)] : 0;
}

double UITableView::heightOf(NSIndexPath indexPath) {
    if (auto d = delegate()) {
        const double h = d->tableViewHeightForRowAtIndexPath(*this, indexPath);
        if (h >= 0) return h;
    }
    return rowHeight_;
}

CGRect UITableView::rectForRowAtIndexPath(NSIndexPath indexPath) {
    loadCounts();
    double y = insetTop_;
    for (int s = 0; s < int(rowCounts_.size()); ++s) {
        for (int r = 0; r < rowCounts_[size_t(s)]; ++r) {
            const double h = heightOf({s, r});
            if (s == indexPath.section && r == indexPath.row) return CGRectMake(0, y, bounds().width(), h);
            y += h;
        }
    }
    return CGRectMake(0, y, bounds().width(), 0);
}

void UITableView::updateContentSize() {
    loadCounts();
    double y = insetTop_;
    for (int s = 0; s < int(rowCounts_.size()); ++s) {
        for (int r = 0; r < rowCounts_[size_t(s)]; ++r) y += heightOf({s, r});
    }
    setContentSize({bounds().width(), y});
}

void UITableView::setContentInsetTop(double inset) {
    if (inset == insetTop_) return;
    insetTop_ = inset;
    setNeedsLayout();
}

void UITableView::scrollToRowAtIndexPath(NSIndexPath indexPath, UITableViewScrollPosition position) {
    const CGRect row = rectForRowAtIndexPath(indexPath);
    // The band a person sees rows in: below the top inset's bar, which the
    // content scrolls under.
    const double h = bounds().height();
    const double band = h - insetTop_;
    const CGPoint now = contentOffset();
    auto place = [&](double y) { setContentOffset({now.x, y}); };
    switch (position) {
        case UITableViewScrollPosition::Top: place(row.minY() - insetTop_); break;
        case UITableViewScrollPosition::Middle: place(row.midY() - insetTop_ - band / 2); break;
        case UITableViewScrollPosition::Bottom: place(row.maxY() - h); break;
        case UITableViewScrollPosition::None:
            if (row.minY() < now.y + insetTop_) {
                place(row.minY() - insetTop_);
            } else if (row.maxY() > now.y + h) {
                place(row.maxY() - h);
            }
            break;
    }
}

void UITableView::enqueue(const std::shared_ptr<UITableViewCell>& cell) {
    cell->removeFromSuperview();
    reusable_[cell->reuseIdentifier()].push_back(cell);
}

void UITableView::layoutSubviews() {
    loadCounts();
    if (reloadPending_) {
        reloadPending_ = false;
        for (const auto& [path, cell] : visible_) enqueue(cell);
        visible_.clear();
    }
    // The content follows the rows, the inset and the width; an offset the
    // content no longer reaches comes back within it.
    updateContentSize();
    auto source = dataSource();
    const double top = contentOffset().y;
    const double bottom = top + bounds().height();
    // The rows in the visible band, with their places.
    std::vector<std::pair<NSIndexPath, CGRect>> rows;
    double y = insetTop_;
    for (int s = 0; s < int(rowCounts_.size()); ++s) {
        for (int r = 0; r < rowCounts_[size_t(s)]; ++r) {
            const double h = heightOf({s, r});
            if (y + h > top && y < bottom && h > 0) {
                rows.push_back({{s, r}, CGRectMake(0, y, bounds().width(), h)});
            }
            y += h;
        }
    }
    // Cells of rows that scrolled away go back for reuse before new rows ask.
    for (auto it = visible_.begin(); it != visible_.end();) {
        const bool stays = std::any_of(rows.begin(), rows.end(), [&](const auto& row) { return row.first == it->first; });
        if (stays) {
            ++it;
        } else {
            enqueue(it->second);
            it = visible_.erase(it);
        }
    }
    for (const auto& [path, frame] : rows) {
        std::shared_ptr<UITableViewCell> cell;
        if (auto it = visible_.find(path); it != visible_.end()) {
            cell = it->second;
        } else if (source) {
            cell = source->tableViewCellForRowAtIndexPath(*this, path);
            if (cell) visible_[path] = cell;
        }
        if (!cell) continue;
        cell->setFrame(frame);
        cell->setSelected(hasSelection_ && selected_ == path);
        if (cell->superview().get() != this) addSubview(cell);
    }
}

std::shared_ptr<UITableViewCell> UITableView::cellForRowAtIndexPath(NSIndexPath indexPath) {
    layoutIfNeeded();
    auto it = visible_.find(indexPath);
    return it == visible_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<UITableViewCell>> UITableView::visibleCells() {
    layoutIfNeeded();
    std::vector<std::shared_ptr<UITableViewCell>> cells;
    for (const auto& [path, cell] : visible_) cells.push_back(cell);
    return cells;
}

std::vector<NSIndexPath> UITableView::indexPathsForVisibleRows() {
    layoutIfNeeded();
    std::vector<NSIndexPath> paths;
    for (const auto& [path, cell] : visible_) paths.push_back(path);
    return paths;
}

bool UITableView::indexPathForCell(const UITableViewCell& cell, NSIndexPath* out) const {
    for (const auto& [path, c] : visible_) {
        if (c.get() == &cell) {
            if (out) *out = path;
            return true;
        }
    }
    return false;
}

void UITableView::selectRowAtIndexPath(NSIndexPath indexPath) {
    hasSelection_ = true;
    selected_ = indexPath;
    for (const auto& [path, cell] : visible_) cell->setSelected(path == indexPath);
}

void UITableView::deselectRowAtIndexPath(NSIndexPath indexPath) {
    if (hasSelection_ && selected_ == indexPath) hasSelection_ = false;
    if (auto it = visible_.find(indexPath); it != visible_.end()) it->second->setSelected(false);
}

bool UITableView::indexPathForSelectedRow(NSIndexPath* out) const {
    if (hasSelection_ && out) *out = selected_;
    return hasSelection_;
}

void UITableView::userSelectRow(NSIndexPath indexPath) {
    if (!allowsSelection_ || indexPath.section < 0 || indexPath.row < 0 ||
        indexPath.row >= numberOfRowsInSection(indexPath.section)) {
        return;
    }
    selectRowAtIndexPath(indexPath);
    if (auto d = delegate()) d->tableViewDidSelectRowAtIndexPath(*this, indexPath);
}

}  // namespace ns
