// User properties and the two queries about them.

#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "analytics/QRVAnalytics.h"
#include "core/QRVApp.h"
#include "platform/clock.h"

namespace {


constexpr uint32_t kNameLimit = kQRVADataTypeUserPropertyMaxNameLength;

// The public-name check of a user property; a refused name is reported as
// an error event.
bool checkPublicName(const std::string& name) {
    int64_t failure = kQRVAFailureNone;
    if (QRVADataTypeValidator::isValidPublicUserAttributeName(name, &failure)) return true;
    const int64_t code =
        failure == kQRVAFailureReserved ? kQRVAErrorUserPropertyNameIsReserved : kQRVAErrorInvalidUserPropertyName;
    QRVALogErrorEventWithParameters(code, name, kNameLimit, name);
    return false;
}

// The text an over-long value is reported with.
ns::Value valueText(const ns::Value& input, const QRVAValue& value) {
    if (const std::string* text = value.stringValue()) return ns::Value(*text);
    if (input.isNumber() || input.isBool()) return ns::Value(input.description());
    return {};
}

}  // namespace

void QRVAnalytics::setUserPropertyString(const ns::Value& value, const std::string& name) {
    if (value.isNull()) {
        removeUserAttributeForName(name);
        return;
    }
    if (!checkPublicName(name)) return;
    if (!value.isString()) {
        QRVALog(0, 25003, "User property must be NSString. Value", ns::Array{value});
        return;
    }
    if (!QRVApp::defaultApp() && QRVAEventUtilIsPublicName(name)) {
        QRVALog(4, 25019, "User property not set. Call +[QRVApp configure]",
               ns::Array{ns::Value(QRVAFormattedUserPropertyName(name))});
        return;
    }
    std::optional<QRVAValue> string = QRVAValue::initWithString(value);
    if (!string) return;
    int64_t failure = kQRVAFailureNone;
    if (!QRVADataTypeValidator::isValidPublicUserAttributeValue(*string, &failure)) {
        if (failure == kQRVAFailureTooLong) {
            QRVALogErrorEventWithParameters(kQRVAErrorUserPropertyValueTooLong, name, kNameLimit, value);
        }
        return;
    }
    sharedInstance()->setInternalUserProperty(value, name, kQRVAnalyticsOriginApp);
}

void QRVAnalytics::setUserID(const ns::Value& userID) {
    if (userID.isNull()) {
        removeInternalUserAttributeForName(kQRVAnalyticsUserIDName);
        return;
    }
    if (!userID.isString()) {
        QRVALog(0, 25004, "User ID must be NSString. User ID", ns::Array{userID});
        return;
    }
    sharedInstance()->setInternalUserProperty(userID, kQRVAnalyticsUserIDName, kQRVAnalyticsOriginApp);
}

void QRVAnalytics::setInternalUserProperty(const ns::Value& value, const std::string& name) {
    sharedInstance()->setInternalUserProperty(value, name, kQRVAnalyticsOriginAuto);
}

void QRVAnalytics::setUserAttributeNumber(const ns::Value& value, const std::string& name) {
    if (!checkPublicName(name)) return;
    if (!value.isNumber() && !value.isBool()) return;
    const ns::Value number = value.isDouble() ? ns::Value(value.asDouble()) : ns::Value(value.intValue());
    sharedInstance()->setInternalUserProperty(number, name, kQRVAnalyticsOriginAuto);
}

void QRVAnalytics::setInternalUserProperty(const ns::Value& value, const std::string& name,
                                           const std::string& origin) {
    if (!QRVADataTypeValidator::isValidInternalUserAttributeName(name)) {
        QRVALogErrorEventWithParameters(kQRVAErrorInvalidUserPropertyName, name, kNameLimit, name);
        return;
    }
    const size_t originLength = qrva_UTF32Length(origin);
    if (originLength < 1 || originLength > 32) {
        QRVALog(1, 25005, "Unable to set user property. Origin is invalid. Origin, name",
               ns::Array{ns::Value(origin), ns::Value(name)});
        return;
    }
    if (value.isNull()) {
        removeInternalUserAttributeForName(name);
        return;
    }
    std::optional<QRVAValue> attributeValue = QRVAValue::valueFromObject(value);
    if (!attributeValue) return;
    int64_t failure = kQRVAFailureNone;
    if (!QRVADataTypeValidator::isValidInternalUserAttributeValue(*attributeValue, &failure)) {
        if (failure == kQRVAFailureTooLong) {
            QRVALogErrorEventWithParameters(kQRVAErrorUserPropertyValueTooLong, name, kNameLimit,
                                            valueText(value, *attributeValue));
        }
        return;
    }
    setUserAttributeValue(*attributeValue, name, origin);
}

void QRVAnalytics::setUserAttributeValue(const QRVAValue& value, const std::string& name, const std::string& origin) {
    auto attribute = QRVAUserAttribute::initWithOrigin(origin, name, value, ns::Clock::nowSeconds());
    if (!attribute) return;
    queueOperationWithBlock([attribute = std::move(*attribute)] {
        if (auto engine = QRVAMeasurement::sharedInstance()) engine->setUserAttribute(attribute);
    });
}

void QRVAnalytics::removeUserAttributeForName(const std::string& name) {
    if (!QRVADataTypeValidator::isValidPublicUserAttributeName(name)) return;
    removeInternalUserAttributeForName(name);
}

void QRVAnalytics::removeInternalUserAttributeForName(const std::string& name) {
    auto attribute = QRVAUserAttribute::initWithOrigin("", name, QRVAValue(0.0), ns::Clock::nowSeconds());
    if (!attribute) return;
    queueOperationWithBlock([attribute = std::move(*attribute)] {
        if (auto engine = QRVAMeasurement::sharedInstance()) engine->removeUserAttribute(attribute);
    });
}

// MARK: - Queries

void QRVAnalytics::userPropertiesIncludingInternal(bool includeInternal, ns::DispatchQueuePtr queue,
                                                   std::function<void(ns::Dictionary)> callback) {
    queueOperationWithBlock([includeInternal, queue, callback] {
        if (!callback) {
            QRVALog(1, 25006, "Analytics userProperties callback cannot be nil");
            return;
        }
        if (!queue) {
            QRVALog(1, 25007, "Cannot query for Quorvane Analytics user properties. Queue cannot be nil");
            ns::DispatchQueue::main()->async([callback] { callback({}); });
            return;
        }
        if (!state().enabled) {
            QRVALog(4, 25008, "Cannot query for public user properties when Quorvane Analytics is disabled");
            queue->async([callback] { callback({}); });
            return;
        }
        auto engine = QRVAMeasurement::sharedInstance();
        if (!engine) {
            queue->async([callback] { callback({}); });
            return;
        }
        engine->userPropertiesIncludingInternal(includeInternal, [queue, callback](ns::Dictionary properties) {
            queue->async([callback, properties = std::move(properties)] { callback(properties); });
        });
    });
}

void QRVAnalytics::maxUserPropertiesForOrigin(const std::optional<std::string>& origin, ns::DispatchQueuePtr queue,
                                              std::function<void(int32_t)> callback) {
    if (!origin || origin->empty()) {
        QRVALog(1, 25009,
               "Cannot query Quorvane Analytics for max user properties. Origin must be a non-empty string");
        return;
    }
    if (!queue) {
        QRVALog(1, 25010, "Cannot query Quorvane Analytics for max user properties. Queue cannot be nil. Origin",
               ns::Array{ns::Value(*origin)});
        return;
    }
    if (!callback) {
        QRVALog(1, 25011,
               "Cannot query Quorvane Analytics for max user properties. MaxUserProperties callback cannot be nil. "
               "Origin",
               ns::Array{ns::Value(*origin)});
        return;
    }
    queueOperationWithBlock([origin = *origin, queue, callback] {
        auto engine = QRVAMeasurement::sharedInstance();
        if (!engine) {
            // Without an engine there is no limit to learn; the caller still
            // gets its answer.
            queue->async([callback] { callback(0); });
            return;
        }
        engine->maxUserPropertiesForOrigin(origin, [queue, callback](int32_t count) {
            queue->async([callback, count] { callback(count); });
        });
    });
}
