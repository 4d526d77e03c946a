#include "platform/runtime.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "platform/error.h"
#include "platform/format.h"

namespace ns {

struct Class::Tables {
    std::map<std::string, Method, std::less<>> classMethods;
    std::map<std::string, Method, std::less<>> instanceMethods;
    std::vector<std::string> protocols;
};

namespace {

// One lock for the class table and every method table: look-ups walk the
// superclass chain across classes, and a single lock keeps that simple and
// free of lock-order problems. Methods never run under it.
struct Registry {
    std::shared_mutex mutex;
    std::map<std::string, std::shared_ptr<Class>, std::less<>> classes;
    std::map<std::string, std::unique_ptr<Protocol>, std::less<>> protocols;
};

Registry& registry() {
    // Never destroyed: classes may be used from static destructors and from
    // threads still running at exit.
    static Registry* r = new Registry;
    return *r;
}

// A superclass chain can only loop through a bug in registration (which
// refuses cycles); the bound keeps a look-up from spinning regardless.
constexpr int kMaxChainDepth = 256;

Class* findClassLocked(std::string_view name) {
    auto& classes = registry().classes;
    auto it = classes.find(name);
    return it == classes.end() ? nullptr : it->second.get();
}

}  // namespace

Class::Class(std::string name, std::string superName)
    : name_(std::move(name)), superName_(std::move(superName)), tables_(std::make_unique<Tables>()) {}

namespace {

// Walks the chain starting at `cls`; `pick` selects which table to search.
template <class Pick>
const Method* resolveLocked(const Class* cls, std::string_view sel, Pick pick) {
    for (int depth = 0; cls && depth < kMaxChainDepth; ++depth) {
        const auto& table = pick(cls);
        auto it = table.find(sel);
        if (it != table.end()) return &it->second;
        if (cls->superclassName().empty()) return nullptr;
        cls = findClassLocked(cls->superclassName());
    }
    return nullptr;
}

}  // namespace

// Accessors for the resolver, which cannot name the private Tables type.
struct ClassTablesAccess {
    static auto& instance(const Class* c) { return c->tables_->instanceMethods; }
    static auto& klass(const Class* c) { return c->tables_->classMethods; }
};

namespace {

const Method* resolveInstanceLocked(const Class* c, std::string_view sel) {
    return resolveLocked(c, sel, [](const Class* k) -> const auto& { return ClassTablesAccess::instance(k); });
}
const Method* resolveClassLocked(const Class* c, std::string_view sel) {
    return resolveLocked(c, sel, [](const Class* k) -> const auto& { return ClassTablesAccess::klass(k); });
}

}  // namespace

Class* Class::superclass() const {
    if (superName_.empty()) return nullptr;
    std::shared_lock lock(registry().mutex);
    return findClassLocked(superName_);
}

Class& Class::addClassMethod(std::string_view sel, Method method) {
    if (sel.empty() || !method) {
        Exception::raise(kInvalidArgumentException,
                         format("+[%@ addClassMethod]: empty selector or implementation", name_));
    }
    std::unique_lock lock(registry().mutex);
    tables_->classMethods.insert_or_assign(std::string(sel), std::move(method));
    return *this;
}

bool Class::addInstanceMethod(std::string_view sel, Method method) {
    if (sel.empty() || !method) {
        Exception::raise(kInvalidArgumentException,
                         format("-[%@ addInstanceMethod]: empty selector or implementation", name_));
    }
    std::unique_lock lock(registry().mutex);
    return tables_->instanceMethods.emplace(std::string(sel), std::move(method)).second;
}

Method Class::replaceInstanceMethod(std::string_view sel, Method method) {
    if (sel.empty() || !method) {
        Exception::raise(kInvalidArgumentException,
                         format("-[%@ replaceInstanceMethod]: empty selector or implementation", name_));
    }
    std::unique_lock lock(registry().mutex);
    Method previous;
    if (const Method* found = resolveInstanceLocked(this, sel)) previous = *found;
    tables_->instanceMethods.insert_or_assign(std::string(sel), std::move(method));
    return previous;
}

bool Class::exchangeInstanceMethods(std::string_view selA, std::string_view selB) {
    std::unique_lock lock(registry().mutex);
    const Method* a = resolveInstanceLocked(this, selA);
    const Method* b = resolveInstanceLocked(this, selB);
    if (!a || !b) return false;
    Method aCopy = *a;
    Method bCopy = *b;
    tables_->instanceMethods.insert_or_assign(std::string(selA), std::move(bCopy));
    tables_->instanceMethods.insert_or_assign(std::string(selB), std::move(aCopy));
    return true;
}

bool Class::removeInstanceMethod(std::string_view sel) {
    std::unique_lock lock(registry().mutex);
    auto& table = tables_->instanceMethods;
    auto it = table.find(sel);
    if (it == table.end()) return false;
    table.erase(it);
    return true;
}

Class& Class::addProtocol(std::string_view protocolName) {
    if (protocolName.empty()) {
        Exception::raise(kInvalidArgumentException, format("-[%@ addProtocol]: empty protocol name", name_));
    }
    std::unique_lock lock(registry().mutex);
    auto& protocols = tables_->protocols;
    if (std::find(protocols.begin(), protocols.end(), protocolName) == protocols.end()) {
        protocols.emplace_back(protocolName);
    }
    return *this;
}

bool Class::conformsToProtocol(std::string_view protocolName) const {
    std::shared_lock lock(registry().mutex);
    const Class* cls = this;
    for (int depth = 0; cls && depth < kMaxChainDepth; ++depth) {
        const auto& protocols = cls->tables_->protocols;
        if (std::find(protocols.begin(), protocols.end(), protocolName) != protocols.end()) return true;
        if (cls->superName_.empty()) return false;
        cls = findClassLocked(cls->superName_);
    }
    return false;
}

bool Protocol::hasMethod(std::string_view sel, bool required) const {
    return std::any_of(methods_.begin(), methods_.end(),
                       [&](const ProtocolMethod& m) { return m.selector == sel && m.required == required; });
}

bool Class::instanceRespondsTo(std::string_view sel) const {
    std::shared_lock lock(registry().mutex);
    return resolveInstanceLocked(this, sel) != nullptr;
}

bool Class::classRespondsTo(std::string_view sel) const {
    std::shared_lock lock(registry().mutex);
    return resolveClassLocked(this, sel) != nullptr;
}

Method Class::instanceMethod(std::string_view sel) const {
    std::shared_lock lock(registry().mutex);
    const Method* m = resolveInstanceLocked(this, sel);
    return m ? *m : Method{};
}

Method Class::classMethod(std::string_view sel) const {
    std::shared_lock lock(registry().mutex);
    const Method* m = resolveClassLocked(this, sel);
    return m ? *m : Method{};
}

Class& Runtime::registerClass(std::string_view name, std::string_view superName) {
    if (name.empty()) Exception::raise(kInvalidArgumentException, "Cannot register a class with an empty name");
    auto& reg = registry();
    std::unique_lock lock(reg.mutex);
    if (Class* existing = findClassLocked(name)) {
        if (!superName.empty() && existing->superclassName() != superName) {
            Exception::raise(kInvalidArgumentException,
                             format("Class %@ is already registered with superclass \"%@\", not \"%@\"",
                                    std::string(name), existing->superclassName(), std::string(superName)));
        }
        return *existing;
    }
    // Registration never lets a chain loop, so walking from the new
    // superclass ends, either at a root or at a not-yet-registered name.
    for (std::string_view cur = superName; !cur.empty();) {
        if (cur == name) {
            Exception::raise(kInvalidArgumentException,
                             format("Class %@ cannot have superclass %@: the chain would loop",
                                    std::string(name), std::string(superName)));
        }
        Class* c = findClassLocked(cur);
        if (!c) break;
        cur = c->superclassName();
    }
    auto* cls = new Class(std::string(name), std::string(superName));
    reg.classes.emplace(std::string(name), std::shared_ptr<Class>(cls));
    return *cls;
}

Class* Runtime::lookUpClass(std::string_view name) {
    std::shared_lock lock(registry().mutex);
    return findClassLocked(name);
}

std::shared_ptr<Class> Runtime::classObject(std::string_view name) {
    std::shared_lock lock(registry().mutex);
    auto& classes = registry().classes;
    auto it = classes.find(name);
    return it == classes.end() ? nullptr : it->second;
}

Value Runtime::sendClass(std::string_view className, std::string_view sel, const std::vector<Value>& args) {
    Method method;
    {
        std::shared_lock lock(registry().mutex);
        Class* cls = findClassLocked(className);
        if (!cls) {
            lock.unlock();
            Exception::raise(kInvalidArgumentException,
                             format("Class %@ is not registered", std::string(className)));
        }
        if (const Method* m = resolveClassLocked(cls, sel)) method = *m;
    }
    if (!method) {
        Exception::raise(kInvalidArgumentException,
                         format("+[%@ %@]: unrecognized selector sent to class", std::string(className),
                                std::string(sel)));
    }
    return method(nullptr, args);
}

Value Runtime::send(Object& obj, std::string_view sel, const std::vector<Value>& args) {
    // Messaging a class object reaches its class methods, as messaging a class does.
    if (auto* cls = dynamic_cast<Class*>(&obj)) return sendClass(cls->name(), sel, args);
    const std::string className = obj.className();
    Method method;
    {
        std::shared_lock lock(registry().mutex);
        if (const Method* m = resolveInstanceLocked(findClassLocked(className), sel)) method = *m;
    }
    if (!method) {
        Exception::raise(kInvalidArgumentException,
                         format("-[%@ %@]: unrecognized selector sent to instance", className, std::string(sel)));
    }
    return method(&obj, args);
}

bool Runtime::respondsTo(const Object& obj, std::string_view sel) {
    if (auto* cls = dynamic_cast<const Class*>(&obj)) return cls->classRespondsTo(sel);
    const std::string className = obj.className();
    std::shared_lock lock(registry().mutex);
    return resolveInstanceLocked(findClassLocked(className), sel) != nullptr;
}

bool Runtime::conformsTo(const Object& obj, std::string_view protocolName) {
    if (auto* cls = dynamic_cast<const Class*>(&obj)) return cls->conformsToProtocol(protocolName);
    Class* cls = lookUpClass(obj.className());
    return cls && cls->conformsToProtocol(protocolName);
}

std::vector<Class*> Runtime::classesDeclaringProtocol(std::string_view protocolName) {
    std::vector<Class*> found;
    std::shared_lock lock(registry().mutex);
    for (const auto& [name, cls] : registry().classes) {
        const auto& protocols = cls->tables_->protocols;
        if (std::find(protocols.begin(), protocols.end(), protocolName) != protocols.end()) found.push_back(cls.get());
    }
    return found;
}

const Protocol& Runtime::registerProtocol(std::string_view name, std::vector<ProtocolMethod> methods) {
    if (name.empty()) Exception::raise(kInvalidArgumentException, "Cannot register a protocol with an empty name");
    auto& reg = registry();
    std::unique_lock lock(reg.mutex);
    auto it = reg.protocols.find(name);
    if (it == reg.protocols.end()) {
        it = reg.protocols.emplace(std::string(name), std::make_unique<Protocol>(std::string(name), std::move(methods)))
                 .first;
    }
    return *it->second;
}

const Protocol* Runtime::lookUpProtocol(std::string_view name) {
    std::shared_lock lock(registry().mutex);
    auto& protocols = registry().protocols;
    auto it = protocols.find(name);
    return it == protocols.end() ? nullptr : it->second.get();
}

// ---- load hooks -------------------------------------------------------------

namespace {

struct Hook {
    int order;
    std::string name;
    std::function<void()> fn;
};

struct HookState {
    enum class Phase { NotRun, Running, Done };
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Hook> hooks;
    Phase phase = Phase::NotRun;
    std::thread::id runner;
};

HookState& hookState() {
    // Filled from static initializers in any translation unit, so it must
    // exist before the first of them runs; never destroyed for the same
    // reason as the class registry.
    static HookState* s = new HookState;
    return *s;
}

}  // namespace

void Runtime::addLoadHook(int order, std::string name, std::function<void()> fn) {
    if (!fn) return;
    auto& s = hookState();
    {
        std::lock_guard lock(s.mutex);
        if (s.phase == HookState::Phase::NotRun) {
            s.hooks.push_back(Hook{order, std::move(name), std::move(fn)});
            return;
        }
    }
    // Registered after start-up (a late-loaded part): it still gets its one run.
    fn();
}

void Runtime::runLoadHooks() {
    auto& s = hookState();
    std::vector<Hook> hooks;
    {
        std::unique_lock lock(s.mutex);
        if (s.phase == HookState::Phase::Done) return;
        if (s.phase == HookState::Phase::Running) {
            // A hook that asks for the hooks to run must not wait for itself.
            if (s.runner == std::this_thread::get_id()) return;
            s.done.wait(lock, [&] { return s.phase == HookState::Phase::Done; });
            return;
        }
        s.phase = HookState::Phase::Running;
        s.runner = std::this_thread::get_id();
        hooks = std::move(s.hooks);
        s.hooks.clear();
    }
    std::stable_sort(hooks.begin(), hooks.end(), [](const Hook& a, const Hook& b) {
        if (a.order != b.order) return a.order < b.order;
        return a.name < b.name;
    });
    // One failing hook must not keep the others from running; the first
    // failure is reported once they all had their turn.
    std::exception_ptr firstFailure;
    for (auto& hook : hooks) {
        try {
            hook.fn();
        } catch (...) {
            if (!firstFailure) firstFailure = std::current_exception();
        }
    }
    {
        std::lock_guard lock(s.mutex);
        s.phase = HookState::Phase::Done;
    }
    s.done.notify_all();
    if (firstFailure) std::rethrow_exception(firstFailure);
}

bool Runtime::loadHooksRan() {
    auto& s = hookState();
    std::lock_guard lock(s.mutex);
    return s.phase == HookState::Phase::Done;
}

}  // namespace ns
