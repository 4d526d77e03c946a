#pragma once
// A raw event as the store keeps it: the row holds the name and time in
// columns and the rest as the event's message without its name. Reading it
// back is most of every bundling pass, so the bytes the store itself wrote
// are read straight off the wire, without making a message; anything else
// goes through the full decoder, and both read the same.
//
//     auto stored = QRVAReadStoredEvent(&bytes, &error);  // nullopt: unreadable, error set
//     QRVAEvent::initWithOrigin(stored->origin, false, name, timestamp,
//                               stored->previousTimestamp, stored->parameters);
//
// Threads: plain functions; any thread.

#include <optional>
#include <string>

#include "analytics/QRVAEvent.h"
#include "platform/error.h"
#include "platform/value.h"

struct QRVAStoredEvent {
    std::string origin;  // the "_o" parameter, never empty
    QRVAParameters parameters;
    double previousTimestamp = 0;  // seconds; 0 when none
};

// nullopt, with the error (kQRVAErrorDomain code 2), when `bytes` (null: the
// row held no data) are not an event or have no origin.
std::optional<QRVAStoredEvent> QRVAReadStoredEvent(const ns::Data* bytes, ns::ErrorRef* error);
