#include "analytics/QRVAFacadeBridge.h"

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/guarded.h"

namespace {

// Worker-queue blocks may reach these after a test's end; never destroyed.
ns::Guarded<QRVAFacadeHooks>& hooks() {
    static auto* installed = new ns::Guarded<QRVAFacadeHooks>();
    return *installed;
}

const ns::DispatchQueuePtr& fallbackQueue() {
    static auto* queue = new ns::DispatchQueuePtr(ns::DispatchQueue::serial("com.ondrix.qrva.facade-fallback"));
    return *queue;
}

}  // namespace

void QRVASetFacadeHooks(QRVAFacadeHooks installed) { hooks().set(std::move(installed)); }

void QRVAEditFacadeHooks(const std::function<void(QRVAFacadeHooks&)>& edit) {
    // Edited on a copy, so a hook replaced is destroyed outside the lock.
    QRVAFacadeHooks edited = hooks().get();
    edit(edited);
    hooks().set(std::move(edited));
}

void QRVAFacadeDispatchAsyncOnSerialQueue(std::function<void()> block) {
    if (!block) return;
    if (auto dispatch = hooks().get().dispatchAsyncOnSerialQueue) {
        dispatch(std::move(block));
        return;
    }
    fallbackQueue()->async(std::move(block));
}

double QRVAFacadeLoadTimestamp() {
    auto loadTimestamp = hooks().get().loadTimestamp;
    return loadTimestamp ? loadTimestamp() : ns::Clock::nowSeconds();
}

void QRVAFacadeNotifyEventListeners(const QRVAEvent& event) {
    if (auto notify = hooks().get().notifyEventListeners) notify(event);
}

QRVAObjectParameters QRVAFacadeScreenParameters() {
    auto screenParameters = hooks().get().screenParameters;
    return screenParameters ? screenParameters() : QRVAObjectParameters();
}

bool QRVAFacadeIsAppActive() {
    auto isAppActive = hooks().with([](const QRVAFacadeHooks& h) { return h.isAppActive; });
    return isAppActive && isAppActive();
}

bool QRVAFacadeLogInternalEvent(const std::string& origin, const std::string& name,
                                const QRVAObjectParameters& parameters) {
    auto logInternalEvent = hooks().with([](const QRVAFacadeHooks& h) { return h.logInternalEvent; });
    if (!logInternalEvent) return false;
    logInternalEvent(origin, name, parameters);
    return true;
}
