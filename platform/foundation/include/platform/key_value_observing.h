#pragma once
// Key-value observation (NSKeyValueObserving stand-in): an observer registers
// for a key path of a target object with a context, and the target reports
// each change of that property after it happened; every matching observer is
// told through observeValueForKeyPath with a change dictionary holding the
// old and new values it asked for (a null Value stands for nil).
//
// Targets announce their own changes (didChangeValueForKey), as a class with
// manual change notification does; so far the notification centre's
// "delegate" (platform/uikit) is observable this way.
//
// Observers are held weakly (one that is gone is skipped and forgotten) and
// called on the thread that made the change, outside any lock, so they may
// add or remove observations while being told. Removing an observation that
// was never added raises NSRangeException, as Foundation does.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace ns {

inline constexpr const char* kKeyValueChangeKindKey = "kind";
inline constexpr const char* kKeyValueChangeNewKey = "new";
inline constexpr const char* kKeyValueChangeOldKey = "old";
// The only kind reported: the property was set.
inline constexpr int64_t kKeyValueChangeSetting = 1;

using KeyValueObservingOptions = uint64_t;
inline constexpr KeyValueObservingOptions kKeyValueObservingOptionNew = 1 << 0;
inline constexpr KeyValueObservingOptions kKeyValueObservingOptionOld = 1 << 1;

class KeyValueObserver {
public:
    virtual ~KeyValueObserver() = default;
    // observeValueForKeyPath:ofObject:change:context:
    virtual void observeValueForKeyPath(const std::string& keyPath, const ObjectPtr& object, const Dictionary& change,
                                        const void* context) = 0;
};

namespace KeyValueObserving {

// Adds one observation (the same observer, key path and context may be
// added more than once; each is told). Raises NSInvalidArgumentException for
// an empty key path or a null observer.
void addObserver(const ObjectPtr& target, const std::shared_ptr<KeyValueObserver>& observer, std::string_view keyPath,
                 KeyValueObservingOptions options, const void* context);
// Removes the most recent matching observation. Raises NSRangeException
// "Cannot remove an observer <...> for the key path "<keyPath>" from <...>
// because it is not registered as an observer." when there is none.
void removeObserver(const Object& target, const KeyValueObserver* observer, std::string_view keyPath,
                    const void* context);
// Tells the key path's observers of `target` that the value changed.
void didChangeValueForKey(const ObjectPtr& target, std::string_view keyPath, const Value& oldValue,
                          const Value& newValue);
// How many observations of the key path the target has.
size_t observationCount(const Object& target, std::string_view keyPath);
// Forgets every observation of the target (tests that reset a shared object).
void removeAllObservers(const Object& target);

}  // namespace KeyValueObserving

}  // namespace ns
