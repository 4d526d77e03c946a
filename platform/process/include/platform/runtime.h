#pragma once
// A small object runtime: classes registered by name, class and instance
// methods reached by selector name, and method exchange at run time.
//
// SDK parts find each other by class name instead of linking against each
// other (the core looks up "QRVAnalytics" only if analytics is in the
// program), and application-delegate callbacks go through the method table
// so that a proxy can exchange a delegate's methods without callers knowing.
//
// Protocols are named lists of selectors (each required or optional) that a
// class declares it adopts; conformance is inherited by subclasses. A proxy
// asks "does the delegate conform to UIApplicationDelegate?" before it
// exchanges any method, and looks up whether a selector is one of the
// protocol's optional methods before adding it to a class.
//
// Load hooks are functions registered statically (NS_REGISTER_LOAD_HOOK) and
// run once at process start by Runtime::runLoadHooks(), in (order, name)
// order. This is how parts register their classes and observe notifications
// "from class-load time".
//
// Linking: the linker drops object files of a static library that nothing
// references, and a load hook's registration object is never referenced by
// name. A library holding load hooks must therefore be linked whole:
//
//     target_link_libraries(app PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,almavel_core>")
//
// Otherwise its hooks silently never run.
//
// Thread safety: the class table and every method table sit under one lock;
// the lock is never held while a method or a load hook runs, so methods may
// call back into the runtime.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace ns {

// An implementation. `self` is the receiver for instance methods and null for
// class methods.
using Method = std::function<Value(Object* self, const std::vector<Value>& args)>;

// A class is itself an object, so it can be a notification's sender and be
// matched by identity (parts accept notifications only from a class they
// look up by name).
class Class : public Object {
public:
    Class(const Class&) = delete;
    Class& operator=(const Class&) = delete;

    const std::string& name() const { return name_; }
    // Empty for a root class.
    const std::string& superclassName() const { return superName_; }
    // The registered superclass, or nullptr (root class, or the superclass is
    // not registered yet: it is looked up by name on every call).
    Class* superclass() const;

    // Adds or replaces a class method; returns *this for chaining.
    Class& addClassMethod(std::string_view sel, Method method);
    // Adds an instance method unless this class already has its own
    // implementation of `sel` (one inherited from a superclass does not count,
    // the new one overrides it). Returns whether it was added.
    bool addInstanceMethod(std::string_view sel, Method method);
    // Sets this class's implementation of `sel` and returns the one instances
    // answered with before: this class's own, else the inherited one, else an
    // empty Method. Calling the returned method is how a replacement forwards
    // to the original.
    Method replaceInstanceMethod(std::string_view sel, Method method);
    // Swaps the implementations instances of this class answer `selA` and
    // `selB` with (inherited implementations are copied into this class, so
    // the superclass is untouched). Returns false and changes nothing when
    // either selector has no implementation.
    bool exchangeInstanceMethods(std::string_view selA, std::string_view selB);
    // Drops this class's own implementation of `sel`, so instances answer
    // with the inherited one, or not at all. Returns whether there was one.
    // Undoing an added method this way leaves the class not answering the
    // selector, so callers that test respondsTo first skip it instead of
    // sending into nothing.
    bool removeInstanceMethod(std::string_view sel);

    // Declares that the class adopts the protocol (registered or not yet);
    // returns *this for chaining.
    Class& addProtocol(std::string_view protocolName);
    // Through the superclass chain.
    bool conformsToProtocol(std::string_view protocolName) const;

    // Through the superclass chain.
    bool instanceRespondsTo(std::string_view sel) const;
    bool classRespondsTo(std::string_view sel) const;
    // The implementation found through the superclass chain; empty when none.
    Method instanceMethod(std::string_view sel) const;
    Method classMethod(std::string_view sel) const;

    std::string description() const override { return name_; }
    std::string className() const override { return name_; }

private:
    friend class Runtime;
    friend struct ClassTablesAccess;
    Class(std::string name, std::string superName);
    struct Tables;
    std::string name_;
    std::string superName_;
    std::unique_ptr<Tables> tables_;
};

// A protocol: its name and its instance selectors, required or optional.
struct ProtocolMethod {
    std::string selector;
    bool required = false;
};

class Protocol {
public:
    Protocol(std::string name, std::vector<ProtocolMethod> methods)
        : name_(std::move(name)), methods_(std::move(methods)) {}
    const std::string& name() const { return name_; }
    const std::vector<ProtocolMethod>& methods() const { return methods_; }
    // Whether `sel` is one of its instance methods with that requirement.
    bool hasMethod(std::string_view sel, bool required) const;

private:
    std::string name_;
    std::vector<ProtocolMethod> methods_;
};

class Runtime {
public:
    // Registers a class, or returns the one already registered under `name`.
    // Raises NSInvalidArgumentException for an empty name, for a name already
    // registered with a different superclass, and for a superclass chain that
    // would loop. The class lives for the rest of the process.
    static Class& registerClass(std::string_view name, std::string_view superName = "");
    // nullptr when no class has that name.
    static Class* lookUpClass(std::string_view name);
    // The class as an object (the same pointer on every call), or nullptr
    // when no class has that name.
    static std::shared_ptr<Class> classObject(std::string_view name);

    // Calls a class method. Raises NSInvalidArgumentException
    // "+[<class> <sel>]: unrecognized selector sent to class" when the class
    // (or a superclass) has no such method, and
    // "Class <class> is not registered" when there is no such class.
    static Value sendClass(std::string_view className, std::string_view sel, const std::vector<Value>& args = {});
    // Calls an instance method of obj.className(); sent to a class object
    // (classObject), calls a class method as sendClass does. Raises
    // NSInvalidArgumentException
    // "-[<class> <sel>]: unrecognized selector sent to instance" when missing.
    static Value send(Object& obj, std::string_view sel, const std::vector<Value>& args = {});
    // For a class object: whether the class answers the class method.
    static bool respondsTo(const Object& obj, std::string_view sel);
    // Whether the object's class (registered under obj.className()) adopts
    // the protocol; false for unregistered classes.
    static bool conformsTo(const Object& obj, std::string_view protocolName);
    // The registered classes that declare the protocol themselves (one that
    // only inherits it is not listed), in name order: how a part that must
    // add methods to every adopting class at load time finds them.
    static std::vector<Class*> classesDeclaringProtocol(std::string_view protocolName);

    // Registers a protocol, or returns the one already registered under that
    // name (a second registration's methods are ignored). Protocols live for
    // the rest of the process. Raises NSInvalidArgumentException for an empty
    // name.
    static const Protocol& registerProtocol(std::string_view name, std::vector<ProtocolMethod> methods);
    // nullptr when no protocol has that name.
    static const Protocol* lookUpProtocol(std::string_view name);

    // Runs every registered load hook once, sorted by (order, name). Later
    // calls return at once (a call from another thread while the hooks run
    // waits for them to finish). A hook registered after this ran is run as
    // soon as it is registered.
    static void runLoadHooks();
    static bool loadHooksRan();
    // Registers a load hook; NS_REGISTER_LOAD_HOOK does this from a static
    // initializer.
    static void addLoadHook(int order, std::string name, std::function<void()> fn);
};

// A static instance registers a load hook before main starts.
struct LoadHook {
    LoadHook(int order, const char* name, void (*fn)()) { Runtime::addLoadHook(order, name, fn); }
};

#define NS_LOAD_HOOK_CONCAT2(a, b) a##b
#define NS_LOAD_HOOK_CONCAT(a, b) NS_LOAD_HOOK_CONCAT2(a, b)
// NS_REGISTER_LOAD_HOOK(100, "QRVAnalytics", [] { ... });
// The function must be convertible to void(*)() (a captureless lambda).
#define NS_REGISTER_LOAD_HOOK(order, name, fn)                                                \
    [[maybe_unused]] static const ::ns::LoadHook NS_LOAD_HOOK_CONCAT(nsLoadHook_, __COUNTER__) { \
        (order), (name), (fn)                                                                 \
    }

}  // namespace ns
