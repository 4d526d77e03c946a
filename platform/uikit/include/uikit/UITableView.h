#pragma once
// UITableView stand-in: one column of rows in sections, filled by a data
// source, with cells reused as they scroll out of sight. Main thread only.
//
// Cells come from prototypes registered by reuse identifier (the storyboard's
// "LabelCell"): dequeueReusableCellWithIdentifier(identifier, indexPath)
// hands out a cell that left the screen (after prepareForReuse) or makes one
// with the prototype's factory. The table is a scroll view whose content is
// its rows, one under the other below the top inset, each cell's frame its
// row's rectangle in the content. Only rows that intersect the visible band
// [contentOffset.y, contentOffset.y + height) have cells: when it lays
// itself out after reloadData or a scroll, the cells of rows that left the
// band go back for reuse first, then the data source is asked for the rows
// that came into it (and only those).
//
// The protocols are C++ interfaces held weakly. Their methods are named after
// the whole selector (tableViewCellForRowAtIndexPath for
// tableView:cellForRowAtIndexPath:), since the selectors' first pieces are
// all "tableView".

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "uikit/UIControls.h"

namespace ns {

class UITableView;

struct NSIndexPath {
    int section = 0;
    int row = 0;
    static NSIndexPath indexPathForRow(int row, int section) { return {section, row}; }
    friend auto operator<=>(const NSIndexPath&, const NSIndexPath&) = default;
};

enum class UITableViewCellStyle { Default = 0, Value1 = 1, Value2 = 2, Subtitle = 3 };
enum class UITableViewCellSelectionStyle { None = 0, Blue = 1, Gray = 2, Default = 3 };

class UITableViewCell : public UIView {
public:
    explicit UITableViewCell(std::string reuseIdentifier = "",
                             UITableViewCellStyle style = UITableViewCellStyle::Default);
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    // Holds the cell's own views; fills the cell.
    const UIViewPtr& contentView() const { return contentView_; }
    // Made on first use, inside the content view.
    std::shared_ptr<UILabel> textLabel();
    std::shared_ptr<UILabel> detailTextLabel();
    UITableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
    void setSelectionStyle(UITableViewCellSelectionStyle s) { selectionStyle_ = s; }
    bool isSelected() const { return selected_; }
    void setSelected(bool s) { selected_ = s; }
    // Called before the cell is handed out again.
    virtual void prepareForReuse() { selected_ = false; }

    void layoutSubviews() override;
    std::string className() const override { return "UITableViewCell"; }

private:
    std::string reuseIdentifier_;
    UITableViewCellStyle style_;
    UIViewPtr contentView_;
    std::shared_ptr<UILabel> textLabel_;
    std::shared_ptr<UILabel> detailTextLabel_;
    UITableViewCellSelectionStyle selectionStyle_ = UITableViewCellSelectionStyle::Default;
    bool selected_ = false;
};

class UITableViewDataSource {
public:
    virtual ~UITableViewDataSource() = default;
    virtual int numberOfSectionsInTableView(UITableView&) { return 1; }
    virtual int tableViewNumberOfRowsInSection(UITableView& tableView, int section) = 0;
    virtual std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView& tableView,
                                                                           NSIndexPath indexPath) = 0;
};

class UITableViewDelegate {
public:
    virtual ~UITableViewDelegate() = default;
    virtual void tableViewDidSelectRowAtIndexPath(UITableView&, NSIndexPath) {}
    // A negative answer means the table's rowHeight.
    virtual double tableViewHeightForRowAtIndexPath(UITableView&, NSIndexPath) { return -1; }
};

enum class UITableViewScrollPosition { None = 0, Top = 1, Middle = 2, Bottom = 3 };

class UITableView : public UIScrollView {
public:
    explicit UITableView(CGRect frame = {});
    static std::shared_ptr<UITableView> make(CGRect frame = {}) { return std::make_shared<UITableView>(frame); }

    void setDataSource(const std::shared_ptr<UITableViewDataSource>& d) { dataSource_ = d; }
    std::shared_ptr<UITableViewDataSource> dataSource() const { return dataSource_.lock(); }
    void setDelegate(const std::shared_ptr<UITableViewDelegate>& d) { delegate_ = d; }
    std::shared_ptr<UITableViewDelegate> delegate() const { return delegate_.lock(); }

    using CellFactory = std::function<std::shared_ptr<UITableViewCell>()>;
    // The storyboard's prototype cell for `identifier`.
    void registerCellFactory(const std::string& identifier, CellFactory factory);
    // A reusable cell or a new one from the prototype. Raises
    // NSInternalInconsistencyException when no prototype has the identifier.
    std::shared_ptr<UITableViewCell> dequeueReusableCellWithIdentifier(const std::string& identifier,
                                                                       NSIndexPath indexPath);
    // The older form: nullptr when no cell is waiting for reuse.
    std::shared_ptr<UITableViewCell> dequeueReusableCellWithIdentifier(const std::string& identifier);

    double rowHeight() const { return rowHeight_; }
    void setRowHeight(double h);
    bool allowsSelection() const { return allowsSelection_; }
    void setAllowsSelection(bool a) { allowsSelection_ = a; }

    // Forgets the row counts and the visible cells; they are asked for again
    // at the next layout.
    void reloadData();
    int numberOfSections();
    int numberOfRowsInSection(int section);
    // The visible cell of the row, or nullptr.
    std::shared_ptr<UITableViewCell> cellForRowAtIndexPath(NSIndexPath indexPath);
    std::vector<std::shared_ptr<UITableViewCell>> visibleCells();
    std::vector<NSIndexPath> indexPathsForVisibleRows();
    // The row a cell of this table shows; false when it shows none.
    bool indexPathForCell(const UITableViewCell& cell, NSIndexPath* out) const;
    CGRect rectForRowAtIndexPath(NSIndexPath indexPath);

    // Room above the first row (a bar lying over the table's top), part of
    // the content.
    double contentInsetTop() const { return insetTop_; }
    void setContentInsetTop(double inset);
    // Moves the offset so that the row lies at that place of the part of
    // the view below the top inset (None: the least move that shows the
    // whole row there), as far as the content allows.
    void scrollToRowAtIndexPath(NSIndexPath indexPath, UITableViewScrollPosition position);

    // Selection by the program: no delegate call (as in UIKit).
    void selectRowAtIndexPath(NSIndexPath indexPath);
    void deselectRowAtIndexPath(NSIndexPath indexPath);
    bool indexPathForSelectedRow(NSIndexPath* out) const;
    // A person's tap on a row: selects it and tells the delegate.
    void userSelectRow(NSIndexPath indexPath);

    // How many cells the prototypes have made, per identifier (tests of reuse).
    int cellsMade(const std::string& identifier) const;

    void layoutSubviews() override;
    std::string className() const override { return "UITableView"; }

protected:
    void updateContentSize() override;

private:
    void loadCounts();
    double heightOf(NSIndexPath indexPath);
    void enqueue(const std::shared_ptr<UITableViewCell>& cell);

    std::weak_ptr<UITableViewDataSource> dataSource_;
    std::weak_ptr<UITableViewDelegate> delegate_;
    std::map<std::string, CellFactory> factories_;
    std::map<std::string, int> made_;
    std::map<std::string, std::vector<std::shared_ptr<UITableViewCell>>> reusable_;
    std::map<NSIndexPath, std::shared_ptr<UITableViewCell>> visible_;
    std::vector<int> rowCounts_;
    bool countsLoaded_ = false;
    bool reloadPending_ = true;
    double rowHeight_ = 44;
    double insetTop_ = 0;
    bool allowsSelection_ = true;
    bool hasSelection_ = false;
    NSIndexPath selected_;
};

}  // namespace ns
