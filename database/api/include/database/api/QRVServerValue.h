#pragma once
// Placeholders the server replaces with its own values. Written as a value or
// a priority, `timestamp()` becomes the server's time in milliseconds, both
// when the write is applied locally and on the server. Safe from any thread.

#include "platform/value.h"

class QRVServerValue {
public:
    // The one placeholder dictionary {".sv": "timestamp"}; every call returns
    // the same object.
    static const ns::Value& timestamp();
};
