#include "platform/progress.h"

#include "platform/format.h"

namespace ns {

std::string Progress::description() const {
    return ns::format("<NSProgress: %p> : Fraction completed: %.4f / Completed: %lld of %lld",
                      static_cast<const void*>(this), fractionCompleted(), (long long)completedUnitCount(),
                      (long long)totalUnitCount());
}

}  // namespace ns
