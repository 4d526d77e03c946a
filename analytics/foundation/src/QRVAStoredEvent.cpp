// Reads a raw event's stored bytes: the store's own wire straight off the
// bytes, anything else through the decoder.
#include "analytics/QRVAStoredEvent.h"

#include <bit>
#include <cstdint>
#include <string_view>

#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAWire.h"
#include "platform/utf8.h"

namespace F = QRVAPBField;
namespace W = qrvawire;

namespace {

// The parameters of a stored event: "_o" is its origin, any other entry a
// text, integer or double value, in order; a later entry of a name wins.
bool readStoredParameters(const QRVAPBEvent& proto, std::string& origin, QRVAParameters& parameters,
                          ns::ErrorRef* error) {
    auto params = NANOGetArray(proto, F::Event::params, &QRVAPBEventParam::messageClass());
    for (const auto& element : params.value_or(ns::Array{})) {
        auto param = element.asObjectOf<QRVAPBEventParam>();
        if (!param) continue;
        std::string name = NANOGetString(param, F::EventParam::name).value_or("");
        if (name == "_o") {
            if (!QRVAAssertTrue(NANOHasField(param, F::EventParam::string_value), error, 2,
                                "Cannot create an event from database. Origin parameter is not a string")) {
                return false;
            }
            origin = NANOGetString(param, F::EventParam::string_value).value_or("");
        } else if (NANOHasField(param, F::EventParam::string_value)) {
            parameters.set(name, QRVAValue::string(NANOGetString(param, F::EventParam::string_value).value_or("")));
        } else if (NANOHasField(param, F::EventParam::int_value)) {
            parameters.set(name, QRVAValue(NANOGetInt64(param, F::EventParam::int_value)));
        } else if (NANOHasField(param, F::EventParam::double_value)) {
            parameters.set(name, QRVAValue(NANOGetDouble(param, F::EventParam::double_value)));
        } else {
            QRVAMeasurementMonitor()->logWithLevel(
                4, 12015, "Unknown event parameter type from converting an event from database. Event param name",
                ns::Value(QRVAFormattedParameterName(name)));
        }
    }
    return QRVAAssertTrue(!origin.empty(), error, 2, "Cannot create an event from database. Missing origin parameter");
}

// The wire as this store writes a raw event, read without making its
// message: one-byte keys, each field once. Anything else (another field, a
// repeated one, text that is not UTF-8, a parameter without exactly one
// value, an origin that is not text) is left to the full decoder, so what is
// read here is what it would read.
class StoredEventReader {
public:
    explicit StoredEventReader(const ns::Data& bytes) : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    bool read(std::string& origin, QRVAParameters& parameters, double& previous) {
        bool timestamp = false, hasPrevious = false;
        while (at_ < end_) {
            const uint8_t key = *at_++;
            uint64_t number = 0;
            std::string_view param;
            if (key == W::kEventParams && delimited(param)) {
                if (!readParam(param, origin, parameters)) return false;
            } else if ((key == W::kEventTimestamp && !timestamp) ||
                       (key == W::kEventPreviousTimestamp && !hasPrevious)) {
                if (!W::readVarint(at_, end_, number)) return false;
                (key == W::kEventTimestamp ? timestamp : hasPrevious) = true;
                if (key == W::kEventPreviousTimestamp) previous = double(int64_t(number)) / 1000.0;
            } else {
                return false;
            }
        }
        if (!hasPrevious) previous = 0;
        return !origin.empty();
    }

private:
    static bool text(const uint8_t*& at, const uint8_t* end, std::string_view& out) {
        uint64_t length = 0;
        if (!W::readVarint(at, end, length) || length > uint64_t(end - at) || length > NANO_MAX_STRING_LENGTH) {
            return false;
        }
        out = std::string_view(reinterpret_cast<const char*>(at), size_t(length));
        at += length;
        return true;
    }
    bool delimited(std::string_view& out) { return text(at_, end_, out); }

    static bool readParam(std::string_view bytes, std::string& origin, QRVAParameters& parameters) {
        const auto* at = reinterpret_cast<const uint8_t*>(bytes.data());
        const auto* end = at + bytes.size();
        std::optional<std::string_view> name, string;
        std::optional<QRVAValue> value;
        while (at < end) {
            const uint8_t key = *at++;
            std::string_view field;
            uint64_t number = 0;
            if ((key == W::kParamName && !name) || (key == W::kParamString && !string)) {
                if (!text(at, end, field) || !ns::utf8::isValid(field)) return false;
                (key == W::kParamName ? name : string) = field;
            } else if (key == W::kParamInt && !value && W::readVarint(at, end, number)) {
                value = QRVAValue(int64_t(number));
            } else if (key == W::kParamDouble && !value && W::readFixed64(at, end, number)) {
                value = QRVAValue(std::bit_cast<double>(number));
            } else {
                return false;
            }
        }
        if (!name || bool(string) == bool(value)) return false;
        if (*name == "_o") {
            if (!string) return false;
            origin = *string;
        } else {
            parameters.set(*name, string ? QRVAValue::string(std::string(*string)) : std::move(*value));
        }
        return true;
    }

    const uint8_t* at_;
    const uint8_t* end_;
};

}  // namespace

std::optional<QRVAStoredEvent> QRVAReadStoredEvent(const ns::Data* bytes, ns::ErrorRef* error) {
    QRVAStoredEvent stored;
    if (bytes && StoredEventReader(*bytes).read(stored.origin, stored.parameters, stored.previousTimestamp)) {
        return stored;
    }
    stored = QRVAStoredEvent();
    auto proto = bytes ? QRVAPBEvent::initWithBuffer(*bytes) : nullptr;
    if (!QRVAAssertNotNull(proto.get(), error, 2, "Failed to parse event from data")) return std::nullopt;
    stored.previousTimestamp = NANOHasField(proto, F::Event::previous_timestamp_millis)
                                   ? double(NANOGetInt64(proto, F::Event::previous_timestamp_millis)) / 1000.0
                                   : 0.0;
    if (!readStoredParameters(*proto, stored.origin, stored.parameters, error)) return std::nullopt;
    return stored;
}
