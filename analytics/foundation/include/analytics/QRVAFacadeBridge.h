#pragma once
// What the engine asks of the analytics facade, which sits above it: the
// facade's serial queue, its load time, its event listeners and the current
// screen's parameters. The facade installs its answers when it loads; until
// then (and in programs without it) each call has a plain answer given
// below, so the engine works alone.
//
// Internal events ("_au", "_cmp", error events) go through
// QRVALogInternalEvent (QRVAEventUtilities.h), which the facade installs the
// same way.
//
// Threads: any thread.

#include <functional>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAValue.h"

struct QRVAFacadeHooks {
    // Runs the block asynchronously on the facade's serial queue.
    std::function<void(std::function<void()>)> dispatchAsyncOnSerialQueue;
    // Seconds since 1970 at which the facade was loaded.
    std::function<double()> loadTimestamp;
    // Hands one event to the facade's event listeners (queued).
    std::function<void(const QRVAEvent&)> notifyEventListeners;
    // The screen-view reporter's parameters of the current screen
    // ("_sc", "_si", "_sn"); empty when no screen is known.
    std::function<QRVAObjectParameters()> screenParameters;
};

// Installs the hooks; an empty member keeps its plain answer. Passing a
// default-constructed value removes them all.
void QRVASetFacadeHooks(QRVAFacadeHooks hooks);

// Without a facade: a serial queue of this file's own, so blocks still run
// once each, in call order.
void QRVAFacadeDispatchAsyncOnSerialQueue(std::function<void()> block);
// Without a facade: the current time, as if it loaded now.
double QRVAFacadeLoadTimestamp();
// Without a facade: nothing.
void QRVAFacadeNotifyEventListeners(const QRVAEvent& event);
// Without a facade: empty.
QRVAObjectParameters QRVAFacadeScreenParameters();
