#include "database/api/QRVServerValue.h"

#include "platform/no_destructor.h"

const ns::Value& QRVServerValue::timestamp() {
    // A function-local static: made once, the same shared dictionary after.
    static const ns::NoDestructor<ns::Value> placeholder(ns::Dictionary{{".sv", ns::Value("timestamp")}});
    return *placeholder;
}
