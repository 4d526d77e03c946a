#include <gtest/gtest.h>

#include "platform/application.h"
#include "screen_fixture.h"
#include "platform/error.h"
#include "platform/runtime.h"
#include "uikit/UIWindow.h"

namespace {

using ns::CGRectMake;

// A screen with a field, a button and a table, the way a storyboard would
// lay it out; the test plays the person.
class FormController : public ns::UIViewController,
                       public ns::UITableViewDataSource,
                       public ns::UITableViewDelegate {
public:
    FormController() : ns::UIViewController("FormController") {}

    void loadView() override {
        ns::UIViewController::loadView();
        field = ns::UITextField::make(CGRectMake(20, 100, 335, 40));
        field->setAccessibilityIdentifier("txtUser");
        field->addTarget(ns::TargetAction::to(this, "textChanged:", &FormController::textChanged),
                         ns::UIControlEventEditingChanged);
        button = ns::UIButton::make(CGRectMake(20, 160, 335, 44), "Entrar");
        button->addTarget(ns::TargetAction::to(this, "logIn:", &FormController::logIn), ns::UIControlEventTouchUpInside);
        table = ns::UITableView::make(CGRectMake(0, 227, 375, 440));
        table->registerCellFactory("LabelCell", [] { return std::make_shared<ns::UITableViewCell>("LabelCell"); });
        view()->addSubview(field);
        view()->addSubview(button);
        view()->addSubview(table);
    }
    void viewDidLoad() override {
        auto self = std::static_pointer_cast<FormController>(shared_from_this());
        table->setDataSource(self);
        table->setDelegate(self);
    }

    void textChanged(const ns::ObjectPtr& sender) { changes.push_back(std::dynamic_pointer_cast<ns::UITextField>(sender)->text()); }
    void logIn() { ++logIns; }

    int tableViewNumberOfRowsInSection(ns::UITableView&, int) override { return rows; }
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                       ns::NSIndexPath indexPath) override {
        auto cell = tableView.dequeueReusableCellWithIdentifier("LabelCell", indexPath);
        cell->textLabel()->setText("Fila " + std::to_string(indexPath.row));
        return cell;
    }
    void tableViewDidSelectRowAtIndexPath(ns::UITableView&, ns::NSIndexPath indexPath) override {
        selected.push_back(indexPath.row);
    }

    std::shared_ptr<ns::UITextField> field;
    std::shared_ptr<ns::UIButton> button;
    std::shared_ptr<ns::UITableView> table;
    std::vector<std::string> changes;
    std::vector<int> selected;
    int logIns = 0;
    int rows = 0;
};

using InputTest = ns::testing::ScreenTest<FormController>;

TEST_F(InputTest, ButtonsAndFieldsSendTheirActionsWhenAPersonUsesThem) {
    ASSERT_TRUE(window->sendTapToView(*screen->button));
    EXPECT_EQ(screen->logIns, 1);

    ASSERT_TRUE(window->sendTapToView(*screen->field));
    EXPECT_TRUE(screen->field->isEditing());
    ASSERT_TRUE(window->sendText("ana@"));
    ASSERT_TRUE(window->sendText("x.pa"));
    ASSERT_TRUE(window->sendDeleteBackward());
    EXPECT_EQ(screen->field->text(), "ana@x.p");
    EXPECT_EQ(screen->changes, (std::vector<std::string>{"ana@", "ana@x.pa", "ana@x.p"}));

    // Setting text from code is not an editing change.
    screen->field->setText("otro");
    EXPECT_EQ(screen->changes.size(), 3u);

    // selectAll selects everything, and typing replaces the selection.
    screen->field->selectAll(nullptr);
    EXPECT_EQ(screen->field->selectedText(), "otro");
    ASSERT_TRUE(window->sendText("ñu"));
    EXPECT_EQ(screen->field->text(), "ñu");

    ASSERT_TRUE(window->sendReplaceText(*screen->field, "staff@almavel.pa"));
    EXPECT_EQ(screen->field->text(), "staff@almavel.pa");

    // A disabled button takes no action.
    screen->button->setEnabled(false);
    EXPECT_FALSE(window->sendTapToView(*screen->button));
    EXPECT_EQ(screen->logIns, 1);
}

TEST_F(InputTest, SecureEntryShowsBulletsButKeepsTheText) {
    screen->field->setSecureTextEntry(true);
    screen->field->setText("clave1");
    EXPECT_EQ(screen->field->text(), "clave1");
    EXPECT_EQ(screen->field->displayText(), "\u2022\u2022\u2022\u2022\u2022\u2022");
}

TEST_F(InputTest, IgnoringInteractionEventsNestsAndRefusesEveryInput) {
    auto app = ns::Application::shared();
    ASSERT_TRUE(window->sendTapToView(*screen->field));
    app->beginIgnoringInteractionEvents();
    app->beginIgnoringInteractionEvents();
    EXPECT_FALSE(window->sendTapToView(*screen->button));
    EXPECT_FALSE(window->sendText("x"));
    EXPECT_FALSE(window->sendTap({40, 180}));
    app->endIgnoringInteractionEvents();
    EXPECT_TRUE(app->isIgnoringInteractionEvents()) << "one end for each begin";
    EXPECT_FALSE(window->sendTapToView(*screen->button));
    app->endIgnoringInteractionEvents();
    EXPECT_FALSE(app->isIgnoringInteractionEvents());
    EXPECT_EQ(screen->logIns, 0);
    EXPECT_TRUE(screen->field->text().empty());

    // An unbalanced end must not leave a credit that would open the next
    // begin at once.
    app->endIgnoringInteractionEvents();
    EXPECT_EQ(app->ignoringInteractionEventsCount(), 0);
    app->beginIgnoringInteractionEvents();
    EXPECT_FALSE(window->sendTapToView(*screen->button));
    app->endIgnoringInteractionEvents();
    EXPECT_TRUE(window->sendTapToView(*screen->button));
    EXPECT_EQ(screen->logIns, 1);
}

TEST_F(InputTest, ACoveringViewTakesTheTapAndATapRecognizerCanLetTouchesThrough) {
    // A busy overlay over the whole screen swallows taps on the button.
    auto overlay = ns::UIView::make(window->bounds());
    screen->view()->addSubview(overlay);
    EXPECT_FALSE(window->sendTapToView(*screen->button));
    overlay->removeFromSuperview();

    int dismissals = 0;
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::block("dismissKeyboard", [&](const ns::ObjectPtr&) {
            ++dismissals;
            screen->view()->endEditing(true);
        }));
    tap->setCancelsTouchesInView(false);
    screen->view()->addGestureRecognizer(tap);
    ASSERT_TRUE(window->sendTapToView(*screen->field));
    EXPECT_TRUE(screen->field->isEditing()) << "the recogniser runs, then the field still gets the tap";
    ASSERT_TRUE(window->sendTap({300, 215}));  // the background
    EXPECT_EQ(dismissals, 2);
    EXPECT_FALSE(screen->field->isEditing());
    ASSERT_TRUE(window->sendTapToView(*screen->button));
    EXPECT_EQ(screen->logIns, 1);

    // One that cancels touches keeps them from the controls.
    tap->setCancelsTouchesInView(true);
    ASSERT_TRUE(window->sendTapToView(*screen->button));
    EXPECT_EQ(screen->logIns, 1);
    EXPECT_EQ(dismissals, 4);
}

TEST_F(InputTest, TableAsksOnlyForVisibleRowsReusesCellsAndReportsTaps) {
    screen->rows = 100;
    screen->table->reloadData();
    window->layoutIfNeeded();
    // 440 points of 44-point rows: ten rows on screen.
    EXPECT_EQ(screen->table->visibleCells().size(), 10u);
    EXPECT_EQ(screen->table->cellsMade("LabelCell"), 10);
    auto row3 = screen->table->cellForRowAtIndexPath({0, 3});
    ASSERT_NE(row3, nullptr);
    EXPECT_EQ(row3->textLabel()->text(), "Fila 3");

    screen->table->setContentOffset({0, 44 * 50});
    window->layoutIfNeeded();
    EXPECT_EQ(screen->table->cellsMade("LabelCell"), 10) << "scrolled rows reuse the cells that left";
    auto row55 = screen->table->cellForRowAtIndexPath({0, 55});
    ASSERT_NE(row55, nullptr);
    EXPECT_EQ(row55->textLabel()->text(), "Fila 55");
    EXPECT_EQ(screen->table->cellForRowAtIndexPath({0, 3}), nullptr);

    ASSERT_TRUE(window->sendTapToView(*row55));
    EXPECT_EQ(screen->selected, std::vector<int>{55});
    ns::NSIndexPath selected;
    ASSERT_TRUE(screen->table->indexPathForSelectedRow(&selected));
    EXPECT_EQ(selected.row, 55);

    // Fewer rows after a reload: the extra cells go back to the pool.
    screen->rows = 2;
    screen->table->reloadData();
    window->layoutIfNeeded();
    EXPECT_EQ(screen->table->visibleCells().size(), 2u);
    EXPECT_EQ(screen->table->contentOffset().y, 0);
    EXPECT_EQ(screen->table->cellsMade("LabelCell"), 10);

    EXPECT_THROW(screen->table->dequeueReusableCellWithIdentifier("OtherCell", {0, 0}), ns::Exception);
}

class SearchDelegate : public ns::UISearchBarDelegate {
public:
    void searchBarTextDidChange(ns::UISearchBar&, const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

TEST_F(InputTest, TypingIntoTheSearchBarGoesToItsFieldAndTellsTheDelegate) {
    auto bar = ns::UISearchBar::make(CGRectMake(0, 64, 375, 56));
    screen->view()->addSubview(bar);
    auto delegate = std::make_shared<SearchDelegate>();
    bar->setDelegate(delegate);
    ASSERT_TRUE(window->sendTapToView(*bar->searchTextField()));
    ASSERT_TRUE(window->sendText("LLAVE"));
    EXPECT_EQ(bar->text(), "LLAVE");
    EXPECT_EQ(delegate->texts, std::vector<std::string>{"LLAVE"});
    // One made without make() gets its field at its first layout.
    auto plain = std::make_shared<ns::UISearchBar>(CGRectMake(0, 120, 375, 56));
    screen->view()->addSubview(plain);
    window->layoutIfNeeded();
    EXPECT_EQ(plain->searchTextField()->superview(), plain);
    ASSERT_TRUE(window->sendReplaceText(*plain->searchTextField(), "tornillo"));
    EXPECT_EQ(plain->text(), "tornillo");
}

class PickerDelegate : public ns::UIImagePickerControllerDelegate {
public:
    void imagePickerControllerDidFinishPickingMediaWithInfo(ns::UIImagePickerController& picker,
                                                            const ns::Dictionary& info) override {
        image = info.at(ns::UIImagePickerControllerOriginalImage).asObjectOf<ns::UIImage>();
        picker.dismissViewControllerAnimated(true);
    }
    std::shared_ptr<ns::UIImage> image;
};

TEST_F(InputTest, TheCameraPickerHandsThePictureFromTheDevicesCamera) {
    ns::UIImagePickerController::setCameraSource({});
    EXPECT_FALSE(ns::UIImagePickerController::isSourceTypeAvailable(ns::UIImagePickerControllerSourceType::Camera));
    auto picker = ns::UIImagePickerController::make();
    EXPECT_THROW(picker->setSourceType(ns::UIImagePickerControllerSourceType::Camera), ns::Exception);

    auto photo = ns::UIImage::filled({4, 3}, ns::UIColor::redColor());
    ns::UIImagePickerController::setCameraSource([photo] { return photo; });
    picker->setSourceType(ns::UIImagePickerControllerSourceType::Camera);
    auto delegate = std::make_shared<PickerDelegate>();
    picker->setDelegate(delegate);
    screen->presentViewController(picker, true);
    auto shutter = picker->view()->viewWithIdentifier("Take Photo");
    ASSERT_NE(shutter, nullptr);
    ASSERT_TRUE(window->sendTapToView(*shutter));
    EXPECT_EQ(delegate->image, photo);
    EXPECT_EQ(screen->presentedViewController(), nullptr);

    // Cancelling without a delegate method of its own closes the picker.
    screen->presentViewController(picker, true);
    ASSERT_TRUE(window->sendTapToView(*picker->view()->viewWithIdentifier("Cancel")));
    EXPECT_EQ(screen->presentedViewController(), nullptr);
    ns::UIImagePickerController::setCameraSource({});
}

class StoreList : public ns::UITableViewController {
public:
    StoreList() : ns::UITableViewController("StoreTableViewController") {}
    void viewDidLoad() override {
        setTitle("Sucursales");
        tableView()->registerCellFactory("LabelCell", [] { return std::make_shared<ns::UITableViewCell>("LabelCell"); });
    }
    int tableViewNumberOfRowsInSection(ns::UITableView&, int) override { return 3; }
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& table,
                                                                       ns::NSIndexPath path) override {
        auto cell = table.dequeueReusableCellWithIdentifier("LabelCell", path);
        cell->textLabel()->setText("Tienda " + std::to_string(path.row));
        return cell;
    }
    void tableViewDidSelectRowAtIndexPath(ns::UITableView&, ns::NSIndexPath path) override { chosen = path.row; }
    int chosen = -1;
};

TEST_F(InputTest, ATableViewControllerServesItsOwnTable) {
    auto list = std::make_shared<StoreList>();
    auto nav = ns::UINavigationController::initWithRootViewController(list);
    window->setRootViewController(nav);
    EXPECT_NE(ns::Runtime::lookUpClass("StoreTableViewController"), nullptr);
    EXPECT_EQ(ns::Runtime::lookUpClass("StoreTableViewController")->superclassName(), "UITableViewController");
    auto cell = list->tableView()->cellForRowAtIndexPath({0, 2});
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->textLabel()->text(), "Tienda 2");
    // The table fills the screen; its rows start below the bar over it.
    EXPECT_EQ(list->tableView()->frame(), window->bounds());
    EXPECT_EQ(cell->frame().origin.y, 64 + 2 * 44);
    ASSERT_TRUE(window->sendTapToView(*cell));
    EXPECT_EQ(list->chosen, 2);
}

}  // namespace
