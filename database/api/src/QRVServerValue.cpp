#include "database/api/QRVServerValue.h"

const ns::Value& QRVServerValue::timestamp() {
    // A function-local static: made once, the same shared dictionary after.
    static const ns::Value placeholder(ns::Dictionary{{".sv", ns::Value("timestamp")}});
    return placeholder;
}
