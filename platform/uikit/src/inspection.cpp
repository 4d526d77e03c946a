#include "uikit/inspection.h"

#include "platform/format.h"

namespace ns {

namespace {

bool reachable(UIWindow& window, const UIView& view) {
    if (!view.isVisibleInWindow() || view.window() != &window) return false;
    auto hit = window.hitTest(view.frameInWindow().center());
    return hit && hit->isDescendantOfView(view);
}

// Shown: visible and at least partly inside the window (a panel slid off
// the edge shows nothing) and inside every view that clips it (a list
// scrolled past it shows nothing).
bool shown(UIWindow& window, const UIView& view) {
    return view.isVisibleInWindow() && view.visibleFrameInWindow().intersects(window.bounds());
}

std::string nameOf(const UIView& view, const std::string& fallback) {
    if (!view.accessibilityIdentifier().empty()) return view.accessibilityIdentifier();
    if (!fallback.empty()) return fallback;
    return view.accessibilityLabel();
}

void collectLabels(const UIView& view, std::vector<std::string>& out) {
    if (view.isHidden()) return;
    if (auto* label = dynamic_cast<const UILabel*>(&view); label && !label->text().empty()) out.push_back(label->text());
    for (const auto& sub : view.subviews()) collectLabels(*sub, out);
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
    return out;
}

void walk(UIWindow& window, const UIViewPtr& view, std::vector<UIElement>& out) {
    if (view->isHidden() || view->alpha() <= 0) return;
    if (auto field = std::dynamic_pointer_cast<UITextField>(view)) {
        if (reachable(window, *field)) {
            out.push_back({UIElement::Kind::TextField, field, nameOf(*field, field->placeholder()), field->displayText(),
                           field->visibleFrameInWindow(), field->isEnabled(), field->isSecureTextEntry(),
                           field->placeholder(), {}});
        }
        return;
    }
    if (auto button = std::dynamic_pointer_cast<UIButton>(view)) {
        if (reachable(window, *button)) {
            out.push_back({UIElement::Kind::Button, button, nameOf(*button, button->currentTitle()),
                           button->currentTitle(), button->visibleFrameInWindow(), button->isEnabled(), false, "", {}});
        }
        return;
    }
    if (auto cell = std::dynamic_pointer_cast<UITableViewCell>(view)) {
        auto table = std::dynamic_pointer_cast<UITableView>(cell->superview());
        NSIndexPath path;
        if (table && table->indexPathForCell(*cell, &path) && reachable(window, *cell)) {
            std::vector<std::string> texts;
            collectLabels(*cell, texts);
            out.push_back({UIElement::Kind::TableRow, cell, format("row %d.%d", path.section, path.row),
                           joined(texts, " | "), cell->visibleFrameInWindow(), table->allowsSelection(), false, "",
                           path});
            return;
        }
    }
    for (const auto& sub : view->subviews()) walk(window, sub, out);
}

void describe(UIWindow& window, const UIViewPtr& view, std::vector<std::string>& lines) {
    if (view->isHidden() || view->alpha() <= 0) return;
    if (auto field = std::dynamic_pointer_cast<UITextField>(view)) {
        if (shown(window, *field)) {
            lines.push_back(format("field %@: %@", nameOf(*field, field->placeholder()), field->displayText()));
        }
        return;
    }
    if (auto button = std::dynamic_pointer_cast<UIButton>(view)) {
        if (shown(window, *button)) {
            lines.push_back(format("button %@%@", button->currentTitle(), button->isEnabled() ? "" : " (disabled)"));
        }
        return;
    }
    if (auto cell = std::dynamic_pointer_cast<UITableViewCell>(view)) {
        std::vector<std::string> texts;
        collectLabels(*cell, texts);
        auto table = std::dynamic_pointer_cast<UITableView>(cell->superview());
        NSIndexPath path;
        if (table && table->indexPathForCell(*cell, &path) && shown(window, *cell)) {
            lines.push_back(format("row %d: %@", path.row, joined(texts, " | ")));
        }
        return;
    }
    if (auto label = std::dynamic_pointer_cast<UILabel>(view)) {
        if (!label->text().empty() && shown(window, *label)) {
            lines.push_back(label->accessibilityIdentifier().empty()
                                ? format("label: %@", label->text())
                                : format("label %@: %@", label->accessibilityIdentifier(), label->text()));
        }
        return;
    }
    for (const auto& sub : view->subviews()) describe(window, sub, lines);
}

}  // namespace

std::vector<UIElement> interactiveElements(UIWindow& window) {
    window.layoutIfNeeded();
    std::vector<UIElement> out;
    walk(window, std::static_pointer_cast<UIView>(window.shared_from_this()), out);
    return out;
}

std::string describeScreen(UIWindow& window) {
    window.layoutIfNeeded();
    std::vector<std::string> lines;
    auto top = window.topmostViewController();
    // The screen under an alert or a share sheet is the one named.
    auto screen = top;
    while (screen && screen->modalPresentationStyle() != UIModalPresentationStyle::FullScreen) {
        auto below = screen->presentingViewController();
        if (!below) break;
        screen = below;
    }
    if (screen) {
        auto shown = screen;
        if (auto nav = std::dynamic_pointer_cast<UINavigationController>(screen)) {
            if (auto topOfStack = nav->topViewController()) shown = topOfStack;
        }
        const std::string title =
            shown->navigationItem()->title().empty() ? shown->title() : shown->navigationItem()->title();
        lines.push_back(format("screen: %@ (%@)", title, shown->className()));
        if (auto nav = std::dynamic_pointer_cast<UINavigationController>(screen); nav && nav->canGoBack()) {
            lines.push_back("back");
        }
        if (screen->isViewLoaded()) describe(window, screen->view(), lines);
    }
    if (auto alert = std::dynamic_pointer_cast<UIAlertController>(top)) {
        std::vector<std::string> buttons;
        for (const auto& a : alert->actions()) buttons.push_back(a->title());
        lines.push_back(format("alert: %@ / %@ [%@]", alert->alertTitle(), alert->message(), joined(buttons, ", ")));
    } else if (top && top != screen && top->isViewLoaded()) {
        lines.push_back(format("presented: %@", top->className()));
        describe(window, top->view(), lines);
    }
    return joined(lines, "\n") + "\n";
}

std::vector<UITruncatedText> truncatedTexts(UIWindow& window) {
    UITruncationRecorder recorder;
    snapshotWindow(window);
    return recorder.texts();
}

}  // namespace ns
