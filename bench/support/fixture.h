// The fixture a benchmark binary's runs share: made on first use, kept for
// every run after it, and destroyed when the process exits, so a back end it
// started stops and the folders it made go with the run.
//
// Each fixture made registers an exit hook that destroys the fixtures left,
// newest first. Exit hooks and static destructors run in reverse order of
// registration, so whatever a fixture's constructor brought up (the SDK's
// registries, the dispatch runtime's queues) is still there when the
// fixture goes.
#pragma once

#include <cstdlib>
#include <functional>
#include <vector>

namespace benchsupport {

namespace detail {

inline std::vector<std::function<void()>>& fixtureEnds() {
    // Never destroyed: the exit hook reads it after statics may be gone.
    static auto* ends = new std::vector<std::function<void()>>;
    return *ends;
}

inline void endFixtures() {
    auto& ends = fixtureEnds();
    while (!ends.empty()) {
        auto end = std::move(ends.back());
        ends.pop_back();
        end();
    }
}

}  // namespace detail

// The one `Fixture` of the process. A constructor that throws leaves none
// behind, and the next call tries again.
template <class Fixture>
Fixture& sharedFixture() {
    static Fixture* fixture = [] {
        auto* made = new Fixture;
        detail::fixtureEnds().push_back([made] { delete made; });
        std::atexit(detail::endFixtures);
        return made;
    }();
    return *fixture;
}

}  // namespace benchsupport
