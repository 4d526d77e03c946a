#include "platform/key_value_observing.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "platform/error.h"
#include "platform/format.h"

namespace ns::KeyValueObserving {

namespace {

struct Observation {
    std::weak_ptr<KeyValueObserver> observer;
    const KeyValueObserver* identity;
    std::string keyPath;
    KeyValueObservingOptions options;
    const void* context;
};

struct Table {
    std::mutex mutex;
    // By the target's address: targets are matched by identity, never owned.
    std::map<const Object*, std::vector<Observation>> byTarget;
};

Table& table() {
    // Never destroyed: objects may stop being observed from static destructors.
    static Table* t = new Table;
    return *t;
}

}  // namespace

void addObserver(const ObjectPtr& target, const std::shared_ptr<KeyValueObserver>& observer, std::string_view keyPath,
                 KeyValueObservingOptions options, const void* context) {
    if (!target || !observer || keyPath.empty()) {
        Exception::raise(kInvalidArgumentException,
                         "addObserver:forKeyPath:options:context: needs a target, an observer and a key path");
    }
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.byTarget[target.get()].push_back(Observation{observer, observer.get(), std::string(keyPath), options, context});
}

void removeObserver(const Object& target, const KeyValueObserver* observer, std::string_view keyPath,
                    const void* context) {
    auto& t = table();
    {
        std::lock_guard lock(t.mutex);
        auto it = t.byTarget.find(&target);
        if (it != t.byTarget.end()) {
            auto& list = it->second;
            auto match = std::find_if(list.rbegin(), list.rend(), [&](const Observation& o) {
                return o.identity == observer && o.keyPath == keyPath && o.context == context;
            });
            if (match != list.rend()) {
                list.erase(std::next(match).base());
                if (list.empty()) t.byTarget.erase(it);
                return;
            }
        }
    }
    Exception::raise(kRangeException,
                     format("Cannot remove an observer <%p> for the key path \"%@\" from <%@ %p> because it is not "
                            "registered as an observer.",
                            static_cast<const void*>(observer), std::string(keyPath), target.className(),
                            static_cast<const void*>(&target)));
}

void didChangeValueForKey(const ObjectPtr& target, std::string_view keyPath, const Value& oldValue,
                          const Value& newValue) {
    if (!target) return;
    std::vector<std::pair<std::shared_ptr<KeyValueObserver>, Observation>> toTell;
    {
        auto& t = table();
        std::lock_guard lock(t.mutex);
        auto it = t.byTarget.find(target.get());
        if (it == t.byTarget.end()) return;
        auto& list = it->second;
        for (auto o = list.begin(); o != list.end();) {
            auto strong = o->observer.lock();
            if (!strong) {
                o = list.erase(o);
                continue;
            }
            if (o->keyPath == keyPath) toTell.emplace_back(std::move(strong), *o);
            ++o;
        }
        if (list.empty()) t.byTarget.erase(it);
    }
    const std::string path(keyPath);
    for (const auto& [observer, o] : toTell) {
        Dictionary change{{kKeyValueChangeKindKey, Value(kKeyValueChangeSetting)}};
        if (o.options & kKeyValueObservingOptionOld) change[kKeyValueChangeOldKey] = oldValue;
        if (o.options & kKeyValueObservingOptionNew) change[kKeyValueChangeNewKey] = newValue;
        observer->observeValueForKeyPath(path, target, change, o.context);
    }
}

size_t observationCount(const Object& target, std::string_view keyPath) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.byTarget.find(&target);
    if (it == t.byTarget.end()) return 0;
    return size_t(std::count_if(it->second.begin(), it->second.end(), [&](const Observation& o) {
        return o.keyPath == keyPath && !o.observer.expired();
    }));
}

void removeAllObservers(const Object& target) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    t.byTarget.erase(&target);
}

}  // namespace ns::KeyValueObserving
