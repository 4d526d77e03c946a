// Lifetime value: a purchase event's value added to the user property of its
// currency, inside the event write path's first transaction. Only a store
// failure answers false (the write path then rolls back and drops the
// event); a value that cannot be counted is logged and skipped, and the
// event is stored all the same.

#include "analytics/QRVALifetimeValueRecorder.h"

#include <cmath>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEvent.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVARemoteConfig.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/utf8.h"

namespace {

constexpr const char* kOriginAuto = "auto";
// 2^63, the first double past the int64 range (its negative is the least
// int64 itself).
constexpr double kInt64Bound = 9223372036854775808.0;

std::shared_ptr<QRVAMonitor> monitor() { return QRVAMeasurementMonitor(); }
ns::Value nameContext(const std::string& name) { return ns::Value(QRVAFormattedUserPropertyName(std::string_view(name))); }
ns::Value valueContext(const QRVAValue* value) { return value ? ns::Value(value->description()) : ns::Value(); }

// Converting a double outside the int64 range (NaN and the infinities
// included) is undefined: those have no amount.
std::optional<int64_t> int64FromDouble(double value) {
    if (!std::isfinite(value) || value < -kInt64Bound || value >= kInt64Bound) return std::nullopt;
    return static_cast<int64_t>(value);
}

// Three characters, upper-cased; nullopt for anything else.
std::optional<std::string> currencyCode(const QRVAValue* currency) {
    const std::string* text = currency ? currency->stringValue() : nullptr;
    auto characters = text ? ns::utf8::codePoints(*text) : std::nullopt;
    if (!characters || characters->size() != 3) return std::nullopt;
    std::string code = *text;
    for (char& c : code) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return code;
}

// In millionths of the currency unit. The public event's value is in units
// (rounded to the nearest millionth); "_iap" already counts millionths.
std::optional<int64_t> amountInMillionths(const QRVAEvent& event, const QRVAValue& value) {
    if (event.name() == "ecommerce_purchase") {
        const double units = value.isDouble() ? value.doubleValue() : static_cast<double>(value.int64Value());
        return int64FromDouble(std::round(units * 1000000.0));
    }
    if (value.isInt64()) return value.int64Value();
    return int64FromDouble(std::trunc(value.doubleValue()));
}

const QRVAUserAttribute* findByName(const std::vector<QRVAUserAttribute>& attributes, const std::string& name) {
    for (const auto& attribute : attributes) {
        if (attribute.name() == name) return &attribute;
    }
    return nullptr;
}

// Deletes the least recently set currencies (the list's tail) until a new
// one fits within the limit; false when a deletion failed.
bool makeRoomForNewCurrency(QRVADatabase& database, const std::vector<QRVAUserAttribute>& stored) {
    const auto limit = static_cast<size_t>(std::max<int64_t>(QRVAMeasurement::remoteConfig()->maxTrackedCurrencies(), 1));
    for (size_t count = stored.size(); count >= limit; --count) {
        const std::string& oldest = stored[count - 1].name();
        ns::ErrorRef error;
        if (!database.deleteUserAttributeWithName(oldest, &error) && error) {
            monitor()->logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
                                    nameContext(oldest), QRVAErrorContext(error));
            return false;
        }
    }
    return true;
}

bool writeTotal(QRVADatabase& database, const QRVAUserAttribute& attribute) {
    ns::ErrorRef error;
    if (!database.updateUserAttribute(attribute, &error) && error) {
        monitor()->logWithLevel(1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
                                nameContext(attribute.name()), QRVAErrorContext(error));
        return false;
    }
    monitor()->logWithLevel(7, 22006, "Lifetime value has been updated in database",
                            ns::Value(ns::format("%@ = %@", QRVAFormattedUserPropertyName(attribute.name()),
                                                 attribute.value().description())));
    return true;
}

void logOutOfBounds() {
    monitor()->logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds");
}

}  // namespace

bool QRVALifetimeValueRecorder::isPurchaseEvent(const QRVAEvent& event) {
    return event.name() == "_iap" || event.name() == "ecommerce_purchase";
}

bool QRVALifetimeValueRecorder::recordLifetimeValueToDatabase(QRVADatabase& database, const QRVAEvent& event) {
    if (!isPurchaseEvent(event)) return true;
    const QRVAValue* currency = event.parameters().find("currency");
    const auto code = currencyCode(currency);
    // The name must pass as an internal user property, or nothing could be
    // written under it.
    const std::string name = std::string(kQRVAMeasurementUserAttributeNamePrefixLifetimeValue) + code.value_or("");
    if (!code || !QRVAUserAttribute::initWithOrigin(kOriginAuto, name, QRVAValue(int64_t(0)), 0)) {
        monitor()->logWithLevel(1, 22000, "Cannot record transaction with invalid currency code", valueContext(currency));
        return true;
    }
    const QRVAValue* value = event.parameters().find("value");
    if (!value || value->isString()) {
        monitor()->logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value", valueContext(value));
        return true;
    }
    const auto amount = amountInMillionths(event, *value);
    if (!amount) {
        logOutOfBounds();
        return true;
    }
    ns::ErrorRef error;
    const auto stored = database.allLifetimeValueUserAttributes(&error);
    if (!stored) {
        monitor()->logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error",
                                QRVAErrorContext(error));
        return false;
    }
    int64_t total = *amount;
    if (const QRVAUserAttribute* previous = findByName(*stored, name)) {
        if (__builtin_add_overflow(previous->value().int64Value(), *amount, &total)) {
            logOutOfBounds();
            return true;
        }
    } else if (!makeRoomForNewCurrency(database, *stored)) {
        return false;
    }
    auto attribute = QRVAUserAttribute::initWithOrigin(kOriginAuto, name, QRVAValue(total), ns::Clock::nowSeconds());
    return writeTotal(database, *attribute);
}
