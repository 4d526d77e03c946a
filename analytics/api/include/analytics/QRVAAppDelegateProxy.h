#pragma once
// The analytics application-delegate proxy: so that campaign and deep-link
// measurement sees every URL the app is opened with, every continued user
// activity and every background URL-session relaunch without the app
// forwarding them, the delegate object is given a generated subclass
// ("QRVA_<class>-<milliseconds>") whose methods hand the call to analytics,
// then to registered interceptors, then to the delegate's own
// implementation, the answers OR-ed together.
//
// Objects of this runtime cannot change class, so the swap is made by
// routing: the delegate's class answers the proxied selectors through a
// dispatcher that sends the proxied object to the generated subclass's
// methods and every other instance to the class's own implementation. At
// class load every class that declares UIApplicationDelegate gets default
// implementations of the three callbacks it lacks (logged once when used),
// so the system delivers them whether or not its delegate is ever proxied.
// Messaging's proxy replaces other selectors of the same class; either may be
// installed or undone first.
//
// Info.plist "QuorvaneAppDelegateProxyEnabled" holding a false number turns
// everything off. The facade proxies the delegate once per process, on the
// main queue. Interceptors are held weakly and may be registered from any
// thread; the rest runs on the main thread, as the delegate's callbacks do.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime.h"
#include "platform/value.h"

inline constexpr const char* kQRVAAppDelegateProxyEnabledPlistKey = "QuorvaneAppDelegateProxyEnabled";

// Holds an object weakly: reads null once the object is gone.
struct QRVAZeroingWeakContainer {
    std::weak_ptr<ns::Object> object;
};

class QRVAAppDelegateProxy {
public:
    // What class load does: the runtime class of the proxy's own methods and
    // the defaults of every application-delegate class, or, when the proxy is
    // disabled, the warning (3016) alone.
    static void load();
    // The Info.plist switch: a number's boolean value, else YES.
    static bool isAppDelegateProxyEnabled();
    // Guarded swap; failures are logged (3000-3002).
    static void proxyOriginalDelegate(const ns::ObjectPtr& delegate);
    static void createSubclassWithObject(const ns::ObjectPtr& delegate);
    // Adds the defaults of the three callbacks the class's instances lack.
    static void fulfillRequiredMethodsForAppDelegateClass(ns::Class& cls);
    static void addInstanceMethodWithSelector(std::string_view selector, const ns::Class& fromClass,
                                              ns::Class& toClass);
    static void addInstanceMethodWithDestinationSelector(std::string_view destination, std::string_view source,
                                                         const ns::Class& fromClass, ns::Class& toClass);
    static ns::Method implementationOfMethodSelector(std::string_view selector, const ns::Class& cls);

    // "QRVA_" and the interceptor's address; nullopt when refused (3011-3013).
    static std::optional<std::string> registerAppDelegateInterceptor(const ns::ObjectPtr& interceptor);
    static void unregisterAppDelegateInterceptorWithID(const std::optional<std::string>& interceptorID);
    // Each live interceptor answering the selector; gone ones are dropped (3018).
    static void notifyInterceptorsWithMethodSelector(std::string_view selector,
                                                     const std::function<void(const ns::ObjectPtr&)>& callback);

    // The delegate's class before the swap; its own class for others.
    static std::string realClassName(const ns::Object& object);
    // Stands for a new process before class load: the delegate's classes
    // answer as before the swap and without the defaults (methods added to
    // them removed), interceptors and the once-per-process messages
    // forgotten. load() then stands for the class loading again.
    static void resetForTesting();
};
