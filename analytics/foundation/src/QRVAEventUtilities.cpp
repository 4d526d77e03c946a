#include "analytics/QRVAEventUtilities.h"

#include <string>

#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "platform/format.h"
#include "platform/guarded.h"
#include "platform/utf8.h"


void QRVALogInternalEvent(const std::string& origin, const std::string& name, const QRVAObjectParameters& parameters) {
    if (!QRVAFacadeLogInternalEvent(origin, name, parameters)) {
        QRVAMeasurementMonitor()->logWithLevel(7, 18014, "Analytics is not running. Dropping internal event. Name",
                                               ns::Value(name));
    }
}

namespace {

size_t lengthOf(QRVAObjectRef object) {
    auto text = object.string();
    return text ? qrva_UTF32Length(*text) : 0;
}

// The first `count` code points of UTF-8 text.
std::string_view firstCodePoints(std::string_view text, size_t count) {
    size_t end = 0;
    for (size_t n = 0; n < count && end < text.size(); ++n) {
        size_t length = ns::utf8::sequenceLength(text, end);
        end += length ? length : 1;
    }
    return text.substr(0, end);
}

bool isDebugMode() {
    return QRVAMeasurementMonitor()->isDebugModeEnabled();
}

// "public (internal)" for an internal name of the table, in debug mode.
std::string formattedName(QRVAObjectRef name, const QRVANameTable& table) {
    std::optional<std::string_view> text = name.string();
    if (!text) return name.isNil() ? "(null)" : name.context().description();
    if (text->empty() || table.empty() || QRVAEventUtilIsPublicName(*text) || !isDebugMode()) {
        return std::string(*text);
    }
    for (const auto& [publicName, internalName] : table) {
        if (internalName == *text) return ns::format("%@ (%@)", publicName, *text);
    }
    return std::string(*text);
}

template <class Dictionary, class Describe>
std::string formattedDescription(const Dictionary& parameters, Describe describe) {
    std::string out = "{\n";
    for (const auto& [key, value] : parameters) {
        out += ns::format("    %@ = %@;\n", QRVAFormattedParameterName(key), describe(key, value));
    }
    return out + "}";
}

std::string describeErrorCode(const QRVAValue& value) {
    const auto& names = QRVAErrorEventCodeNames();
    auto name = names.find(value.int64Value());
    if (name == names.end()) return value.description();
    return ns::format("%@ (%@)", name->second, value.description());
}

}  // namespace

const QRVANameTable& QRVInternalEventNames() {
    static const auto* table = new QRVANameTable{
        {"adunit_exposure", "_xu"},
        {"ad_activeview", "_aa"},
        {"ad_click", "_ac"},
        {"ad_exposure", "_xa"},
        {"ad_impression", "_ai"},
        {"ad_query", "_aq"},
        {"app_clear_data", "_cd"},
        {"app_exception", "_ae"},
        {"app_remove", "_ui"},
        {"app_update", "_au"},
        {"error", "_err"},
        {"quorvane_campaign", "_cmp"},
        {"in_app_purchase", "_iap"},
        {"notification_dismiss", "_nd"},
        {"notification_foreground", "_nf"},
        {"notification_open", "_no"},
        {"notification_receive", "_nr"},
        {"os_update", "_ou"},
        {"screen_view", "_vs"},
        {"session_start", "_s"},
        {"user_engagement", "_e"},
        {"first_open", "_f"},
        {"quorvane_extra_parameter", "_ep"},
    };
    return *table;
}

const QRVANameTable& QRVInternalParameterNames() {
    static const auto* table = new QRVANameTable{
        {"ad_event_id", "_aeid"},
        {"ad_unit_id", "_ai"},
        {"engagement_time_msec", "_et"},
        {"exposure_time", "_xt"},
        {"quorvane_conversion", "_c"},
        {"quorvane_debug", "_dbg"},
        {"quorvane_error", "_err"},
        {"quorvane_error_length", "_el"},
        {"quorvane_error_value", "_ev"},
        {"quorvane_event_id", "_eid"},
        {"quorvane_event_name", "_en"},
        {"quorvane_event_origin", "_o"},
        {"quorvane_extra_params_ct", "_epc"},
        {"quorvane_group_name", "_gn"},
        {"quorvane_index", "_i"},
        {"quorvane_list_length", "_ll"},
        {"quorvane_previous_class", "_pc"},
        {"quorvane_previous_id", "_pi"},
        {"quorvane_previous_screen", "_pn"},
        {"quorvane_realtime", "_r"},
        {"quorvane_screen", "_sn"},
        {"quorvane_screen_class", "_sc"},
        {"quorvane_screen_id", "_si"},
        {"message_id", "_nmid"},
        {"message_name", "_nmn"},
        {"message_time", "_nmt"},
        {"message_device_time", "_ndt"},
        {"previous_app_version", "_pv"},
        {"previous_first_open_count", "_pfo"},
        {"previous_vlp_app_id", "_pvlp"},
        {"previous_os_version", "_po"},
        {"topic", "_nt"},
        {"update_with_analytics", "_uwa"},
    };
    return *table;
}

const QRVANameTable& QRVInternalUserPropertyNames() {
    static const auto* table = new QRVANameTable{
        {"quorvane_last_notification", "_ln"},
        {"first_open_time", "_fot"},
        {"last_deep_link_referrer", "_ldl"},
        {"user_id", "_id"},
    };
    return *table;
}

const std::map<int64_t, std::string>& QRVAErrorEventCodeNames() {
    static const auto* table = new std::map<int64_t, std::string>{
        {0, "NoError"},
        {1, "InvalidVLPAppID"},
        {2, "InvalidEventName"},
        {3, "InvalidParameterName"},
        {4, "InvalidParameterValue"},
        {5, "ParameterLimitReached"},
        {6, "InvalidUserPropertyName"},
        {7, "UserPropertyValueTooLong"},
        {8, "EventLimitReached"},
        {9, "UserPropertyLimitReached"},
        {10, "ConversionEventLimitReached"},
        {11, "EventIsBlacklisted"},
        {12, "UserPropertyIsBlacklisted"},
        {13, "EventNameIsReserved"},
        {14, "ParameterNameIsReserved"},
        {15, "UserPropertyNameIsReserved"},
        {16, "PublicEventLimitReached"},
        {17, "TooManyExtraParamEvents"},
    };
    return *table;
}

void QRVALogErrorEventWithCode(int64_t code) {
    if (code == kQRVAErrorNone) return;
    QRVALogInternalEvent("auto", "_err", QRVAObjectParameters{{"_err", ns::Value(static_cast<long long>(code))}});
}

void QRVALogErrorEventWithParameters(int64_t code, QRVAObjectRef value, uint32_t maxLength,
                                     QRVAObjectRef lengthSource) {
    if (code == kQRVAErrorNone) return;
    QRVAParameters parameters{{"_err", QRVAValue(code)}};
    // The length is reported for a value that was too long, or whose
    // shortened form no longer shows how long it was.
    const bool withLength = !lengthSource.isNil() &&
                            (code == kQRVAErrorInvalidParameterValue || code == kQRVAErrorUserPropertyValueTooLong ||
                             lengthOf(lengthSource) > maxLength);
    QRVAAddErrorValueAndLengthParameters(parameters, value, maxLength, withLength ? lengthSource : nullptr);
    QRVALogInternalEvent("auto", "_err", QRVAObjectParameters(parameters));
}

void QRVAAddErrorValueAndLengthParameters(QRVAParameters& parameters, QRVAObjectRef value, uint32_t maxLength,
                                          QRVAObjectRef lengthSource) {
    if (parameters.contains("_ev") || parameters.contains("_el")) return;
    std::string text;
    if (value.isNil()) {
        text = "(nil)";
    } else if (auto string = value.string()) {
        text = qrva_UTF32Length(*string) > maxLength ? std::string(firstCodePoints(*string, maxLength)) + "..."
                                                     : std::string(*string);
    } else {
        text = value.className();
    }
    parameters.set("_ev", QRVAValue::string(std::move(text)));
    if (!lengthSource.isNil()) parameters.set("_el", QRVAValue(static_cast<int64_t>(lengthOf(lengthSource))));
}

void QRVAAddErrorParameter(QRVAParameters& parameters, int64_t code) {
    if (!parameters.contains("_err")) parameters.set("_err", QRVAValue(code));
}

void QRVAAddErrorParameters(QRVAParameters& parameters, int64_t code, QRVAObjectRef value, uint32_t maxLength,
                            QRVAObjectRef lengthSource) {
    if (parameters.contains("_ev") || parameters.contains("_el") || parameters.contains("_err")) return;
    parameters.set("_err", QRVAValue(code));
    QRVAAddErrorValueAndLengthParameters(parameters, value, maxLength, lengthSource);
}

bool QRVAEventUtilIsPublicName(QRVAObjectRef name) {
    std::optional<std::string_view> text = name.string();
    if (!text) {
        QRVAMeasurementMonitor()->logWithLevel(1, 18002, "Unable to check the name. Name is not a string");
        return false;
    }
    if (text->empty()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 18003, "Unable to check the name. Name is empty");
        return false;
    }
    return text->front() != '_';
}

bool QRVAEventUtilIsErrorEvent(const QRVAEvent& event) {
    if (event.name().empty()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 18004, "Unable to check the event name. Name is empty");
        return false;
    }
    return event.name() == "_err";
}

bool QRVAHasScreenParameters(const QRVAObjectParameters& parameters) {
    return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

QRVAObjectParameters QRVAExtractScreenParameters(const QRVAObjectParameters& parameters) {
    QRVAObjectParameters screen;
    for (const auto& [key, value] : parameters) {
        if (key == "_sn" || key == "_sc" || key == "_si") screen.append(key, value);
    }
    return screen;
}

std::string QRVAFormattedEventName(QRVAObjectRef name) {
    return formattedName(name, QRVInternalEventNames());
}

std::string QRVAFormattedParameterName(QRVAObjectRef name) {
    return formattedName(name, QRVInternalParameterNames());
}

std::string QRVAFormattedUserPropertyName(QRVAObjectRef name) {
    // Experiments are user properties of their own, named by their ID.
    if (auto text = name.string(); text && text->starts_with("_exp_")) {
        return ns::format("%@ (%@)", "experiment_id", *text);
    }
    return formattedName(name, QRVInternalUserPropertyNames());
}

std::string QRVAFormattedParametersDescription(const QRVAParameters& parameters) {
    if (!isDebugMode()) return QRVAParametersDescription(parameters);
    return formattedDescription(parameters, [](const std::string& key, const QRVAValue& value) {
        return key == "_err" && value.isInt64() ? describeErrorCode(value) : value.description();
    });
}

std::string QRVAFormattedParametersDescription(const QRVAObjectParameters& parameters) {
    if (!isDebugMode()) return parameters.description();
    return formattedDescription(parameters, [](const std::string& key, const ns::Value& object) {
        QRVAObjectRef ref(object);
        const QRVAValue* value = ref.qrvaValue();
        return key == "_err" && value && value->isInt64() ? describeErrorCode(*value) : object.description();
    });
}
