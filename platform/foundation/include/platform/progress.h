#pragma once
// NSProgress stand-in, reduced to the unit counts: what a long operation has
// done of how much. Thread-safe; counts may be read and set from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/value.h"

namespace ns {

class Progress : public Object {
public:
    static std::shared_ptr<Progress> make(int64_t totalUnitCount = 0) {
        auto progress = std::make_shared<Progress>();
        progress->setTotalUnitCount(totalUnitCount);
        return progress;
    }

    int64_t totalUnitCount() const { return total_.load(); }
    void setTotalUnitCount(int64_t count) { total_.store(count); }
    int64_t completedUnitCount() const { return completed_.load(); }
    void setCompletedUnitCount(int64_t count) { completed_.store(count); }
    // completed / total; 0 while the total is not above 0.
    double fractionCompleted() const {
        int64_t total = totalUnitCount();
        return total > 0 ? double(completedUnitCount()) / double(total) : 0.0;
    }

    std::string description() const override;
    std::string className() const override { return "NSProgress"; }

private:
    std::atomic<int64_t> total_{0};
    std::atomic<int64_t> completed_{0};
};
using ProgressPtr = std::shared_ptr<Progress>;

}  // namespace ns
