#pragma once
// The busy overlay a screen lays over itself while it waits for the back
// end: a translucent white sheet over the whole view, a rounded dark square
// in its middle and a large white spinner in the square. Each screen that
// waits owns one, made with the screen and reused for every request; the
// screen also ignores interaction events until the answer (see the screens),
// or until the wait's deadline when no answer comes (app/WaitDeadline.h).
// Main thread only.

#include <memory>

#include "uikit/UIControls.h"

namespace almavel {

class ActivityInicator {
public:
    ActivityInicator();

    // Lays the overlay over `view` (its frame and centre) and starts the
    // spinner.
    void showActivityIndicator(const ns::UIViewPtr& view);
    // Stops the spinner and takes the overlay away.
    void hideActivityIndicator(const ns::UIViewPtr& view);

    const ns::UIViewPtr& container() const { return container_; }
    const ns::UIViewPtr& loadingView() const { return loadingView_; }
    const std::shared_ptr<ns::UIActivityIndicatorView>& activityIndicator() const { return activityIndicator_; }

private:
    ns::UIViewPtr container_;
    ns::UIViewPtr loadingView_;
    std::shared_ptr<ns::UIActivityIndicatorView> activityIndicator_;
};

}  // namespace almavel
