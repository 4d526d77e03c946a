#include "app/AppDriver.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "app/AppDelegate.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "uikit/renderer.h"

namespace almavel {

namespace {

// Refusals, in English for scripts and tests and in Spanish for the page.
constexpr const char* kNoWindow = "no window";
constexpr const char* kNoWindowEs = "no hay ninguna ventana";
constexpr const char* kIgnoring = "the app is ignoring input";
constexpr const char* kIgnoringEs = "la aplicación no admite toques mientras espera al servidor";

// An arrow key's step, a little less than a row.
constexpr double kLine = 40;
// What a page step leaves in sight of the page before.
constexpr double kRowOverlap = 44;

// Every scroll view a tap could reach (the middle of what shows of it is
// not covered), in drawing order.
void reachableLists(ns::UIWindow& window, const ns::UIViewPtr& view,
                    std::vector<std::shared_ptr<ns::UIScrollView>>& out) {
    if (view->isHidden() || view->alpha() <= 0) return;
    if (auto list = std::dynamic_pointer_cast<ns::UIScrollView>(view)) {
        const ns::CGRect shown = view->visibleFrameInWindow();
        auto hit = shown.isEmpty() ? nullptr : window.hitTest(shown.center());
        if (hit && hit->isDescendantOfView(*view)) out.push_back(list);
    }
    for (const auto& sub : view->subviews()) reachableLists(window, sub, out);
}

std::vector<std::shared_ptr<ns::UIScrollView>> reachableLists(ns::UIWindow& window) {
    window.layoutIfNeeded();
    std::vector<std::shared_ptr<ns::UIScrollView>> out;
    reachableLists(window, std::static_pointer_cast<ns::UIView>(window.shared_from_this()), out);
    return out;
}

double shownArea(const ns::UIScrollView& list) {
    const ns::CGRect shown = list.visibleFrameInWindow();
    return shown.width() * shown.height();
}

// The row's control when a tap can reach it now.
std::optional<ns::UIElement> rowElement(ns::UIWindow& window, int row, int section) {
    for (const auto& e : ns::interactiveElements(window)) {
        if (e.kind == ns::UIElement::Kind::TableRow && e.row.row == row && e.row.section == section) return e;
    }
    return std::nullopt;
}

}  // namespace

AppDriver AppDriver::launch() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIApplicationLaunch(AppDelegate().className());
    return AppDriver();
}

std::shared_ptr<ns::UIWindow> AppDriver::window() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return ns::keyWindow();
}

std::optional<ns::UIElement> AppDriver::element(const std::string& name) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return std::nullopt;
    const auto elements = ns::interactiveElements(*w);
    // The last drawn is the one on top.
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
        if (it->name == name) return *it;
    }
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
        if (it->kind != ns::UIElement::Kind::TextField && it->text == name) return *it;
    }
    return std::nullopt;
}

ns::UIViewPtr AppDriver::find(const std::string& name) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto e = element(name)) {
        if (auto v = e->view.lock()) return v;
    }
    auto w = window();
    if (!w) return nullptr;
    ns::UIViewPtr hiddenMatch;
    std::function<ns::UIViewPtr(const ns::UIViewPtr&)> walk = [&](const ns::UIViewPtr& v) -> ns::UIViewPtr {
        // Later sub-views lie on top: look at them first.
        for (auto it = v->subviews().rbegin(); it != v->subviews().rend(); ++it) {
            if (auto found = walk(*it)) return found;
        }
        if (v->accessibilityIdentifier() == name) {
            if (v->isVisibleInWindow()) return v;
            if (!hiddenMatch) hiddenMatch = v;
        }
        return nullptr;
    };
    if (auto visible = walk(std::static_pointer_cast<ns::UIView>(w->shared_from_this()))) return visible;
    return hiddenMatch;
}

bool AppDriver::refuse(std::string why, std::string porQue) {
    lastError_ = std::move(why);
    lastErrorInSpanish_ = std::move(porQue);
    return false;
}

bool AppDriver::tap(const std::string& name) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse(kNoWindow, kNoWindowEs);
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse(kIgnoring, kIgnoringEs);
    auto e = element(name);
    auto view = e ? e->view.lock() : nullptr;
    if (!view) {
        return refuse("nothing named \"" + name + "\" can be tapped",
                      "no hay nada llamado «" + name + "» que se pueda tocar");
    }
    if (!w->sendTapToView(*view)) {
        return refuse("\"" + name + "\" did not take the tap", "«" + name + "» no aceptó el toque");
    }
    clearError();
    return true;
}

bool AppDriver::type(const std::string& name, const std::string& text) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse(kNoWindow, kNoWindowEs);
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse(kIgnoring, kIgnoringEs);
    auto e = element(name);
    auto field = e ? std::dynamic_pointer_cast<ns::UITextField>(e->view.lock()) : nullptr;
    if (!field) return refuse("no field named \"" + name + "\"", "no hay ningún campo llamado «" + name + "»");
    if (!w->sendReplaceText(*field, text)) {
        return refuse("\"" + name + "\" did not take the text", "«" + name + "» no aceptó el texto");
    }
    clearError();
    return true;
}

bool AppDriver::selectRow(int row, int section) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse(kNoWindow, kNoWindowEs);
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse(kIgnoring, kIgnoringEs);
    auto e = rowElement(*w, row, section);
    if (!e && row >= 0 && section >= 0) {
        // Out of sight: the list that holds the row brings it into view.
        for (const auto& list : reachableLists(*w)) {
            auto table = std::dynamic_pointer_cast<ns::UITableView>(list);
            if (!table || row >= table->numberOfRowsInSection(section)) continue;
            table->scrollToRowAtIndexPath(ns::NSIndexPath::indexPathForRow(row, section),
                                          ns::UITableViewScrollPosition::None);
            e = rowElement(*w, row, section);
            break;
        }
    }
    if (!e) {
        return refuse("no row " + std::to_string(row) + " on screen",
                      "la fila " + std::to_string(row) + " no está en la pantalla");
    }
    auto view = e->view.lock();
    if (!view || !w->sendTapToView(*view)) return refuse("the row did not take the tap", "la fila no aceptó el toque");
    clearError();
    return true;
}

bool AppDriver::scroll(ScrollStep step) {
    return scrollList([step](ns::UIScrollView& list) {
        // A table's top inset lies under the bar: a page is what shows below it.
        auto table = dynamic_cast<ns::UITableView*>(&list);
        const double shown = list.bounds().height() - (table ? table->contentInsetTop() : 0);
        const double page = std::max(kLine, shown - kRowOverlap);
        switch (step) {
            case ScrollStep::LineUp: return -kLine;
            case ScrollStep::LineDown: return kLine;
            case ScrollStep::PageUp: return -page;
            case ScrollStep::PageDown: return page;
            case ScrollStep::Top: return -list.contentOffset().y;
            case ScrollStep::Bottom: return list.maximumContentOffset().y - list.contentOffset().y;
        }
        return 0.0;
    });
}

bool AppDriver::scroll(double points) {
    return scrollList([points](ns::UIScrollView&) { return points; });
}

bool AppDriver::scrollList(const std::function<double(ns::UIScrollView&)>& distance) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse(kNoWindow, kNoWindowEs);
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse(kIgnoring, kIgnoringEs);
    const auto lists = reachableLists(*w);
    auto largest = std::max_element(lists.begin(), lists.end(),
                                    [](const auto& a, const auto& b) { return shownArea(*a) < shownArea(*b); });
    if (largest == lists.end()) {
        return refuse("no list on screen to scroll", "no hay ninguna lista que desplazar en la pantalla");
    }
    auto& list = **largest;
    // Through the window, as a drag over the list's middle.
    if (!ns::UIScrollView::scrollAtPoint(*w, list.visibleFrameInWindow().center(), {0, distance(list)})) {
        return refuse("the list did not take the scroll", "la lista no se desplazó");
    }
    clearError();
    return true;
}

bool AppDriver::scrollAt(ns::CGPoint point, ns::CGPoint delta) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse(kNoWindow, kNoWindowEs);
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse(kIgnoring, kIgnoringEs);
    ns::UIScrollView::scrollAtPoint(*w, point, delta);
    clearError();
    return true;
}

bool AppDriver::answerAlert(const std::string& buttonTitle) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse(kNoWindow, kNoWindowEs);
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(w->topmostViewController());
    if (!alert) return refuse("no alert on screen", "no hay ninguna alerta en la pantalla");
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse(kIgnoring, kIgnoringEs);
    for (const auto& button : alert->actionButtons()) {
        if (button->currentTitle() != buttonTitle) continue;
        if (!w->sendTapToView(*button)) {
            return refuse("the alert's button did not take the tap", "el botón de la alerta no aceptó el toque");
        }
        clearError();
        return true;
    }
    return refuse("the alert has no button \"" + buttonTitle + "\"",
                  "la alerta no tiene ningún botón «" + buttonTitle + "»");
}

bool AppDriver::back() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return tap("back");
}

bool AppDriver::waitUntilIdle(double timeoutSeconds) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto& loop = ns::RunLoop::main();
    auto app = ns::Application::shared();
    // Real time: the back end answers in real time whatever clock the app
    // reads.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int quiet = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        ns::VirtualClock::advanceInstalled(0);
        const size_t ran = loop.runOnce();
        if (ran == 0 && !app->isIgnoringInteractionEvents()) {
            if (++quiet >= 3) return true;
        } else {
            quiet = 0;
        }
        // Answers from other threads (the network) land on the main queue.
        if (ran == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::string AppDriver::screenText() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    return w ? ns::describeScreen(*w) : std::string("(no window)\n");
}

ns::Data AppDriver::screenshotPNG() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return {};
    return ns::UIImagePNGRepresentation(*ns::snapshotWindow(*w));
}

}  // namespace almavel
