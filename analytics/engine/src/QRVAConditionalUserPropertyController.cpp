// Placeholder until the controller lands: no records, nothing triggered.

#include "analytics/QRVAConditionalUserPropertyController.h"

std::shared_ptr<QRVAConditionalUserPropertyController> QRVAConditionalUserPropertyController::sharedInstance() {
    static auto* shared = new std::shared_ptr<QRVAConditionalUserPropertyController>(
        std::make_shared<QRVAConditionalUserPropertyController>());
    return *shared;
}

std::optional<std::vector<QRVAEvent>> QRVAConditionalUserPropertyController::processEventOnWorkerQueue(
    const QRVAEvent* event) {
    if (!event) return std::nullopt;
    return std::vector<QRVAEvent>();
}
