#pragma once
// View controllers of the UIKit stand-in: the base controller with its view
// life cycle, the navigation controller, alerts, the share sheet, the image
// picker and the storyboard registry. Main thread only.
//
// Life cycle. The view is made on first use of view() (loadView, then
// "viewDidLoad"); appearing and disappearing send "viewWillAppear:",
// "viewDidAppear:", "viewWillDisappear:" and "viewDidDisappear:". Every one
// of these goes through the runtime's method table (ns::Runtime::send), so a
// part that exchanges UIViewController's implementations (screen reporting)
// sees every screen without the screens knowing; the registered
// implementations call the C++ virtuals below. Each controller class is
// registered with the runtime under the name its constructor gets.
//
// Transitions are synchronous (nothing is animated): when present, push,
// pop or dismiss returns, the controllers involved have received their
// will/did callbacks, in UIKit's order (the one leaving gets "will"
// before the one arriving; "did" likewise), and completions have run.
//
// Presentation: present() always presents from the outermost controller of
// the presenter (its navigation controller, for example). A controller that
// already presents another refuses a second presentation with a log line, as
// UIKit does. Alerts and the share sheet present over the screen: the
// screen under them does not disappear.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "uikit/UIControls.h"
#include "uikit/UITableView.h"

namespace ns {

class UINavigationController;
class UIStoryboard;
class UIStoryboardSegue;

class UINavigationItem : public Object {
public:
    const std::string& title() const { return title_; }
    void setTitle(std::string t) { title_ = std::move(t); }
    bool hidesBackButton() const { return hidesBackButton_; }
    void setHidesBackButton(bool h, bool animated = false) { hidesBackButton_ = h; }
    std::shared_ptr<UIBarButtonItem> leftBarButtonItem() const { return left_; }
    void setLeftBarButtonItem(std::shared_ptr<UIBarButtonItem> item, bool animated = false) { left_ = std::move(item); }
    std::shared_ptr<UIBarButtonItem> rightBarButtonItem() const { return right_; }
    void setRightBarButtonItem(std::shared_ptr<UIBarButtonItem> item, bool animated = false) {
        right_ = std::move(item);
    }
    // Shown by the next screen's back button (its title only is used).
    std::shared_ptr<UIBarButtonItem> backBarButtonItem() const { return back_; }
    void setBackBarButtonItem(std::shared_ptr<UIBarButtonItem> item) { back_ = std::move(item); }
    std::string className() const override { return "UINavigationItem"; }

private:
    std::string title_;
    bool hidesBackButton_ = false;
    std::shared_ptr<UIBarButtonItem> left_;
    std::shared_ptr<UIBarButtonItem> right_;
    std::shared_ptr<UIBarButtonItem> back_;
};

enum class UIModalPresentationStyle { FullScreen = 0, OverFullScreen = 5, Popover = 7 };

using UIRectEdge = unsigned;
inline constexpr UIRectEdge UIRectEdgeNone = 0;
inline constexpr UIRectEdge UIRectEdgeTop = 1 << 0;
inline constexpr UIRectEdge UIRectEdgeLeft = 1 << 1;
inline constexpr UIRectEdge UIRectEdgeBottom = 1 << 2;
inline constexpr UIRectEdge UIRectEdgeRight = 1 << 3;
inline constexpr UIRectEdge UIRectEdgeAll = 0xF;

// The status bar over the top of every screen.
inline constexpr double kStatusBarHeight = 20;

class UIViewController : public Object {
public:
    enum class Appearance { Disappeared, Appearing, Appeared, Disappearing };

    // `className` is the controller's runtime class, registered (once) with
    // `superclassName` as its superclass.
    explicit UIViewController(std::string className = "UIViewController",
                              std::string superclassName = "UIViewController");
    ~UIViewController() override;
    static std::shared_ptr<UIViewController> make() { return std::make_shared<UIViewController>(); }

    std::string className() const override { return className_; }

    // The root view, loaded on first use.
    const UIViewPtr& view();
    bool isViewLoaded() const { return bool(view_); }
    void loadViewIfNeeded() { view(); }
    // Replaces the root view (no viewDidLoad).
    void setView(UIViewPtr view);

    // Override points. loadView's default makes a white view of the screen's
    // size; the others do nothing.
    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool animated) {}
    virtual void viewDidAppear(bool animated) {}
    virtual void viewWillDisappear(bool animated) {}
    virtual void viewDidDisappear(bool animated) {}
    virtual void prepareForSegue(UIStoryboardSegue& segue, const ObjectPtr& sender) {}

    Appearance appearance() const { return appearance_; }

    const std::string& title() const { return title_; }
    // Also the navigation item's title.
    void setTitle(std::string title);
    const std::shared_ptr<UINavigationItem>& navigationItem() const { return navigationItem_; }

    // Relations (all weak upwards).
    std::shared_ptr<UIViewController> parentViewController() const { return parent_.lock(); }
    std::shared_ptr<UINavigationController> navigationController() const;
    std::shared_ptr<UIViewController> presentingViewController() const { return presenting_.lock(); }
    std::shared_ptr<UIViewController> presentedViewController() const { return presented_; }
    std::shared_ptr<UIStoryboard> storyboard() const { return storyboard_.lock(); }
    void setStoryboard(const std::shared_ptr<UIStoryboard>& s) { storyboard_ = s; }
    // Under a navigation bar the view fills the screen and the bar lies over
    // its top (UIRectEdgeAll, the default), or starts below the bar (without
    // UIRectEdgeTop). A table view filling the screen is inset by the bar.
    UIRectEdge edgesForExtendedLayout() const { return edges_; }
    void setEdgesForExtendedLayout(UIRectEdge edges) { edges_ = edges; }
    // How much of the top of the view bars cover: the status bar, and the
    // navigation bar when the view lies under it. Lay content out below it.
    double topLayoutGuideLength() const;
    UIModalPresentationStyle modalPresentationStyle() const { return modalStyle_; }
    void setModalPresentationStyle(UIModalPresentationStyle s) { modalStyle_ = s; }
    // The controllers whose views this one shows now (the navigation
    // controller's top); appearance is passed on to them.
    virtual std::vector<std::shared_ptr<UIViewController>> visibleChildViewControllers() const { return {}; }

    void presentViewController(const std::shared_ptr<UIViewController>& vc, bool animated,
                               std::function<void()> completion = {});
    void dismissViewControllerAnimated(bool animated, std::function<void()> completion = {});
    // Pushes when inside a navigation controller, presents otherwise.
    virtual void showViewController(const std::shared_ptr<UIViewController>& vc, const ObjectPtr& sender);

    // Segues the storyboard gave this controller: identifier -> the
    // storyboard identifier of the destination, shown (show) or presented.
    enum class SegueKind { Show, Present };
    void addSegue(std::string identifier, std::string destinationIdentifier, SegueKind kind = SegueKind::Show);
    // Makes the destination from the storyboard, calls prepareForSegue and
    // shows it. Raises NSInvalidArgumentException for an unknown identifier.
    void performSegueWithIdentifier(const std::string& identifier, const ObjectPtr& sender);
    // An action that performs the segue (for a button's touch-up).
    TargetAction segueAction(const std::string& identifier);

    // Used by containers and the window.
    void setParentViewController(const std::shared_ptr<UIViewController>& parent) { parent_ = parent; }
    // Runs the appearance callbacks for this controller and its visible
    // children; `appearing` false for disappearance.
    void beginAppearanceTransition(bool appearing, bool animated);
    void endAppearanceTransition();
    // Whether the controller is in a window that is visible.
    bool isInVisibleWindow() const;

private:
    friend class UIWindow;
    // Takes down everything this controller presents without showing this
    // one again: it is leaving the window.
    void dismissPresentedForRemoval();
    struct Segue {
        std::string destination;
        SegueKind kind;
    };
    std::string className_;
    UIViewPtr view_;
    bool loadingView_ = false;
    Appearance appearance_ = Appearance::Disappeared;
    bool transitionAnimated_ = false;
    std::string title_;
    std::shared_ptr<UINavigationItem> navigationItem_ = std::make_shared<UINavigationItem>();
    std::weak_ptr<UIViewController> parent_;
    std::weak_ptr<UIViewController> presenting_;
    std::shared_ptr<UIViewController> presented_;
    std::weak_ptr<UIStoryboard> storyboard_;
    std::weak_ptr<UIWindow> window_;  // set on a window's root controller
    UIModalPresentationStyle modalStyle_ = UIModalPresentationStyle::FullScreen;
    UIRectEdge edges_ = UIRectEdgeAll;
    std::map<std::string, Segue> segues_;
};

using UIViewControllerPtr = std::shared_ptr<UIViewController>;

// A controller whose view is a table, and which is that table's data
// source and delegate (by default without rows); subclasses answer the
// protocols. The table fills the controller's view and asks for its rows
// when it first lays out.
class UITableViewController : public UIViewController, public UITableViewDataSource, public UITableViewDelegate {
public:
    // Subclasses are registered under `className` as UITableViewController's.
    explicit UITableViewController(std::string className = "UITableViewController");
    // The table (loads the view).
    std::shared_ptr<UITableView> tableView();

    int tableViewNumberOfRowsInSection(UITableView&, int) override { return 0; }
    std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView&, NSIndexPath) override {
        return nullptr;
    }

    void loadView() override;
};

// The bar at the top of a navigation controller: back button, left and
// right bar items, title. Real buttons, so taps and the browser page reach
// them like any other control.
//
// Its layout makes room as UIKit's does: items take their titles' width at
// the edges; the title is centred on the bar, or moved towards the free side
// when the items leave it no room there. When the title does not fit beside
// the back button, the back button gives up the previous screen's title for
// the short "Back" of the device's language, then for the chevron alone;
// only then is the title truncated.
class UINavigationBar : public UIView {
public:
    UINavigationBar();
    const std::shared_ptr<UILabel>& titleLabel() const { return title_; }
    const std::shared_ptr<UIButton>& backButton() const { return back_; }
    const std::shared_ptr<UIButton>& leftButton() const { return left_; }
    const std::shared_ptr<UIButton>& rightButton() const { return right_; }
    // What the back button would like to say (the previous screen's title);
    // the button shows it when it fits.
    const std::string& backTitle() const { return backTitle_; }
    void setBackTitle(std::string title);
    void layoutSubviews() override;
    std::string className() const override { return "UINavigationBar"; }

private:
    std::string backTitle_;
    std::shared_ptr<UILabel> title_;
    std::shared_ptr<UIButton> back_;
    std::shared_ptr<UIButton> left_;
    std::shared_ptr<UIButton> right_;
};

class UINavigationController : public UIViewController {
public:
    // Height of the status bar plus the bar.
    static constexpr double kBarBottom = 64;

    explicit UINavigationController(std::string className = "UINavigationController",
                                    std::string superclassName = "UIViewController");
    static std::shared_ptr<UINavigationController> initWithRootViewController(const UIViewControllerPtr& root);

    const std::vector<UIViewControllerPtr>& viewControllers() const { return stack_; }
    // Replaces the stack; the new top appears when the navigation controller
    // is on screen.
    void setViewControllers(std::vector<UIViewControllerPtr> controllers, bool animated = false);
    UIViewControllerPtr topViewController() const { return stack_.empty() ? nullptr : stack_.back(); }
    // The top, or what it presents.
    UIViewControllerPtr visibleViewController() const;

    // Raises NSInvalidArgumentException when `vc` is already in the stack
    // or in another container.
    virtual void pushViewController(const UIViewControllerPtr& vc, bool animated);
    // The popped controller; nullptr when only the root is left.
    UIViewControllerPtr popViewControllerAnimated(bool animated);
    std::vector<UIViewControllerPtr> popToRootViewControllerAnimated(bool animated);

    const std::shared_ptr<UINavigationBar>& navigationBar() const { return bar_; }
    bool isNavigationBarHidden() const { return barHidden_; }
    void setNavigationBarHidden(bool hidden, bool animated = false);

    // The back button's tap: pops (nothing when there is nothing to go back to).
    void goBack();
    // Whether the bar offers a back button now.
    bool canGoBack() const;

    void loadView() override;
    void showViewController(const UIViewControllerPtr& vc, const ObjectPtr& sender) override;
    std::vector<UIViewControllerPtr> visibleChildViewControllers() const override;

    // Places the bar and the top controller's view; called by the
    // container view's layout.
    void layoutContainer();

private:
    void replaceTop(const UIViewControllerPtr& from, const UIViewControllerPtr& to, bool animated);
    void updateBar();
    std::vector<UIViewControllerPtr> stack_;
    std::shared_ptr<UINavigationBar> bar_;
    bool barHidden_ = false;
};

enum class UIAlertControllerStyle { ActionSheet = 0, Alert = 1 };
enum class UIAlertActionStyle { Default = 0, Cancel = 1, Destructive = 2 };

class UIAlertAction : public Object {
public:
    using Handler = std::function<void(const std::shared_ptr<UIAlertAction>& action)>;
    UIAlertAction(std::string title, UIAlertActionStyle style, Handler handler)
        : title_(std::move(title)), style_(style), handler_(std::move(handler)) {}
    static std::shared_ptr<UIAlertAction> actionWithTitle(std::string title, UIAlertActionStyle style,
                                                          Handler handler = {}) {
        return std::make_shared<UIAlertAction>(std::move(title), style, std::move(handler));
    }
    const std::string& title() const { return title_; }
    UIAlertActionStyle style() const { return style_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool e) { enabled_ = e; }
    bool hasHandler() const { return bool(handler_); }
    void runHandler() {
        if (handler_) handler_(std::static_pointer_cast<UIAlertAction>(shared_from_this()));
    }
    std::string className() const override { return "UIAlertAction"; }

private:
    std::string title_;
    UIAlertActionStyle style_;
    Handler handler_;
    bool enabled_ = true;
};

class UIAlertController : public UIViewController {
public:
    UIAlertController(std::string title, std::string message, UIAlertControllerStyle style);
    static std::shared_ptr<UIAlertController> alertControllerWithTitle(std::string title, std::string message,
                                                                       UIAlertControllerStyle style);
    const std::string& alertTitle() const { return alertTitle_; }
    const std::string& message() const { return message_; }
    UIAlertControllerStyle preferredStyle() const { return style_; }
    void addAction(const std::shared_ptr<UIAlertAction>& action);
    const std::vector<std::shared_ptr<UIAlertAction>>& actions() const { return actions_; }
    // What tapping the action's button does: the alert goes away, then the
    // handler runs. Raises NSRangeException for a bad index.
    void tapActionAtIndex(size_t index);
    // The button standing for each action (in the view once loaded).
    const std::vector<std::shared_ptr<UIButton>>& actionButtons() const { return buttons_; }

    void loadView() override;

private:
    std::string alertTitle_;
    std::string message_;
    UIAlertControllerStyle style_;
    std::vector<std::shared_ptr<UIAlertAction>> actions_;
    std::vector<std::shared_ptr<UIButton>> buttons_;
};

inline constexpr const char* UIActivityTypeAirDrop = "com.apple.UIKit.activity.AirDrop";
inline constexpr const char* UIActivityTypePostToFacebook = "com.apple.UIKit.activity.PostToFacebook";
inline constexpr const char* UIActivityTypeMessage = "com.apple.UIKit.activity.Message";
inline constexpr const char* UIActivityTypeMail = "com.apple.UIKit.activity.Mail";
inline constexpr const char* UIActivityTypeCopyToPasteboard = "com.apple.UIKit.activity.CopyToPasteboard";
inline constexpr const char* UIActivityTypeSaveToCameraRoll = "com.apple.UIKit.activity.SaveToCameraRoll";

class UIPopoverPresentationController : public Object {
public:
    UIViewPtr sourceView() const { return sourceView_.lock(); }
    void setSourceView(const UIViewPtr& v) { sourceView_ = v; }
    CGRect sourceRect() const { return sourceRect_; }
    void setSourceRect(CGRect r) { sourceRect_ = r; }
    std::string className() const override { return "UIPopoverPresentationController"; }

private:
    std::weak_ptr<UIView> sourceView_;
    CGRect sourceRect_{};
};

// The share sheet: one button per offered activity and one to cancel,
// titled in the device's language and named (accessibilityIdentifier) by
// their English titles ("Save Image", "Cancel") whatever the language.
class UIActivityViewController : public UIViewController {
public:
    using Completion = std::function<void(const std::string& activityType, bool completed)>;
    UIActivityViewController(Array activityItems, Array applicationActivities);
    static std::shared_ptr<UIActivityViewController> initWithActivityItems(Array items, Array applicationActivities = {});

    const Array& activityItems() const { return items_; }
    const std::vector<std::string>& excludedActivityTypes() const { return excluded_; }
    void setExcludedActivityTypes(std::vector<std::string> types) { excluded_ = std::move(types); }
    // The built-in activities less the excluded ones, in display order.
    std::vector<std::string> availableActivityTypes() const;
    const std::shared_ptr<UIPopoverPresentationController>& popoverPresentationController() const { return popover_; }
    void setCompletionWithItemsHandler(Completion c) { completion_ = std::move(c); }

    // A person choosing an activity: "Save image" keeps the image items in
    // the photo album; every activity then closes the sheet and reports
    // completion. Raises NSInvalidArgumentException for an activity not on
    // offer.
    void performActivity(const std::string& activityType);
    void cancel();

    void loadView() override;

private:
    void finish(const std::string& type, bool completed);
    Array items_;
    Array applicationActivities_;
    std::vector<std::string> excluded_;
    std::shared_ptr<UIPopoverPresentationController> popover_ = std::make_shared<UIPopoverPresentationController>();
    Completion completion_;
};

enum class UIImagePickerControllerSourceType { PhotoLibrary = 0, Camera = 1, SavedPhotosAlbum = 2 };
inline constexpr const char* UIImagePickerControllerOriginalImage = "UIImagePickerControllerOriginalImage";

class UIImagePickerController;
class UIImagePickerControllerDelegate {
public:
    virtual ~UIImagePickerControllerDelegate() = default;
    virtual void imagePickerControllerDidFinishPickingMediaWithInfo(UIImagePickerController& picker,
                                                                    const Dictionary& info) = 0;
    // The default closes the picker, as UIKit does for a delegate without it.
    virtual void imagePickerControllerDidCancel(UIImagePickerController& picker);
};

// The picker's screen. Pictures come from the device's sensors (the camera
// source installed by the host: a test, the browser's sensor panel) or from
// the photo album. Its texts are in the device's language; its buttons are
// named "Take Photo" and "Cancel" whatever the language.
class UIImagePickerController : public UIViewController {
public:
    UIImagePickerController();
    static std::shared_ptr<UIImagePickerController> make() { return std::make_shared<UIImagePickerController>(); }

    using CameraSource = std::function<std::shared_ptr<UIImage>()>;
    // The camera of this device; none means the device has no camera.
    static void setCameraSource(CameraSource source);
    static bool isSourceTypeAvailable(UIImagePickerControllerSourceType type);

    UIImagePickerControllerSourceType sourceType() const { return sourceType_; }
    // Raises NSInvalidArgumentException for a source that is not available.
    void setSourceType(UIImagePickerControllerSourceType t);
    void setDelegate(const std::shared_ptr<UIImagePickerControllerDelegate>& d) { delegate_ = d; }
    std::shared_ptr<UIImagePickerControllerDelegate> delegate() const { return delegate_.lock(); }

    // The shutter: takes a picture from the camera source and hands it to
    // the delegate. False when there is no camera picture.
    bool takePicture();
    // A picture chosen from the library.
    void pickImage(const std::shared_ptr<UIImage>& image);
    void cancel();

    void loadView() override;

private:
    UIImagePickerControllerSourceType sourceType_ = UIImagePickerControllerSourceType::PhotoLibrary;
    std::weak_ptr<UIImagePickerControllerDelegate> delegate_;
};

class UIStoryboardSegue : public Object {
public:
    UIStoryboardSegue(std::string identifier, UIViewControllerPtr source, UIViewControllerPtr destination)
        : identifier_(std::move(identifier)), source_(std::move(source)), destination_(std::move(destination)) {}
    const std::string& identifier() const { return identifier_; }
    const UIViewControllerPtr& sourceViewController() const { return source_; }
    const UIViewControllerPtr& destinationViewController() const { return destination_; }

private:
    std::string identifier_;
    UIViewControllerPtr source_;
    UIViewControllerPtr destination_;
};

// The storyboard: a registry from identifier to a factory that builds the
// controller (its views, outlets, actions and segues are the controller's
// and the factory's business). Storyboards are registered by name, usually
// from a load hook; the application's main one is named by the Info.plist
// key "UIMainStoryboardFile" ("Main" when absent).
class UIStoryboard : public Object {
public:
    using Factory = std::function<UIViewControllerPtr(const std::shared_ptr<UIStoryboard>& storyboard)>;

    explicit UIStoryboard(std::string name) : name_(std::move(name)) {}
    // Registers (or replaces) the storyboard under its name.
    static std::shared_ptr<UIStoryboard> registerStoryboard(const std::string& name);
    // Raises NSInvalidArgumentException "Could not find a storyboard named
    // '<name>' in bundle" when none is registered.
    static std::shared_ptr<UIStoryboard> storyboardWithName(const std::string& name);
    static bool hasStoryboardNamed(const std::string& name);
    static void unregisterStoryboard(const std::string& name);

    const std::string& name() const { return name_; }
    void registerViewController(const std::string& identifier, Factory factory);
    void setInitialViewControllerIdentifier(std::string identifier) { initial_ = std::move(identifier); }
    const std::string& initialViewControllerIdentifier() const { return initial_; }
    std::vector<std::string> identifiers() const;

    // Raises NSInvalidArgumentException "Storyboard (<name>) doesn't contain
    // a view controller with identifier '<identifier>'" when unknown.
    UIViewControllerPtr instantiateViewControllerWithIdentifier(const std::string& identifier);
    // nullptr when no initial controller is set.
    UIViewControllerPtr instantiateInitialViewController();

    std::string className() const override { return "UIStoryboard"; }

private:
    std::string name_;
    std::map<std::string, Factory> factories_;
    std::string initial_;
};

}  // namespace ns
