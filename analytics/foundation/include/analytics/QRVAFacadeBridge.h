#pragma once
// What the engine and the foundation ask of the analytics facade, which sits
// above them: the facade's serial queue, its load time, its event listeners,
// the current screen's parameters, its internal-event entry and whether the
// app is active. The facade
// installs its answers once, when it loads (QRVAnalyticsRuntime.cpp); until
// then (and in programs without it) each call has a plain answer given
// below, so the engine works alone. Internal events ("_au", "_cmp", error
// events) are handed over by QRVALogInternalEvent (QRVAEventUtilities.h).
//
// Threads: any thread.

#include <functional>
#include <string>
#include <type_traits>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAValue.h"

// Members start empty, so a caller may name only the hooks it installs.
struct QRVAFacadeHooks {
    // Runs the block asynchronously on the facade's serial queue.
    std::function<void(std::function<void()>)> dispatchAsyncOnSerialQueue{};
    // Seconds since 1970 at which the facade was loaded.
    std::function<double()> loadTimestamp{};
    // Hands one event to the facade's event listeners (queued).
    std::function<void(const QRVAEvent&)> notifyEventListeners{};
    // The screen-view reporter's parameters of the current screen
    // ("_sc", "_si", "_sn"); empty when no screen is known.
    std::function<QRVAObjectParameters()> screenParameters{};
    // The facade's internal-event entry (QRVALogInternalEvent's answer).
    std::function<void(const std::string& origin, const std::string& name, const QRVAObjectParameters& parameters)>
        logInternalEvent{};
    // Whether the app is in the foreground, as the screen-view reporter
    // knows it (QRVAIsAppActive's answer).
    std::function<bool()> isAppActive{};
};

// Installs the hooks; an empty member keeps its plain answer. Passing a
// default-constructed value removes them all.
void QRVASetFacadeHooks(QRVAFacadeHooks hooks);
// Replaces one hook and keeps the others (a test's stand-in for one answer
// beside the facade's own); an empty function brings back the plain answer.
void QRVAEditFacadeHooks(const std::function<void(QRVAFacadeHooks&)>& edit);
template <class Hook>
void QRVASetFacadeHook(Hook QRVAFacadeHooks::*member, std::type_identity_t<Hook> hook) {
    QRVAEditFacadeHooks([&](QRVAFacadeHooks& hooks) { hooks.*member = std::move(hook); });
}

// Without a facade: a serial queue of this file's own, so blocks still run
// once each, in call order.
void QRVAFacadeDispatchAsyncOnSerialQueue(std::function<void()> block);
// Without a facade: the current time, as if it loaded now.
double QRVAFacadeLoadTimestamp();
// Without a facade: nothing.
void QRVAFacadeNotifyEventListeners(const QRVAEvent& event);
// Without a facade: empty.
QRVAObjectParameters QRVAFacadeScreenParameters();
// Without a facade: false (the app counts as not active).
bool QRVAFacadeIsAppActive();
// Without a facade: nothing, and false.
bool QRVAFacadeLogInternalEvent(const std::string& origin, const std::string& name,
                                const QRVAObjectParameters& parameters);
