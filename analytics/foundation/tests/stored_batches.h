#pragma once
// What the local back end's measurement service stored, for the tests of
// the analytics folders and of the app: events and user properties read
// from its stored batches ("batches" of "bundles" by proto field name).

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace analyticstest {

// A stored parameter's or user property's value: text as it is, a number in
// decimal.
inline std::string storedValue(const nlohmann::json& item) {
    for (const char* kind : {"string_value", "int_value", "double_value"}) {
        if (item.contains(kind)) return item[kind].is_string() ? item[kind].get<std::string>() : item[kind].dump();
    }
    return "";
}

// An analytics event as the back end stored it: its name, its time and its
// parameters, texts as they are and numbers in decimal.
struct StoredEvent {
    std::string name;
    int64_t millis = 0;
    std::map<std::string, std::string> parameters;
    std::string operator[](const std::string& key) const {
        auto it = parameters.find(key);
        return it == parameters.end() ? "" : it->second;
    }
};

// Every event of the stored batches, in the order they were uploaded.
inline std::vector<StoredEvent> storedEvents(const nlohmann::json& batches) {
    std::vector<StoredEvent> events;
    for (const auto& batch : batches["batches"]) {
        for (const auto& bundle : batch["bundles"]) {
            for (const auto& e : bundle.value("events", nlohmann::json::array())) {
                StoredEvent event{e.value("name", ""), e.value("timestamp_millis", int64_t(0)), {}};
                for (const auto& p : e.value("params", nlohmann::json::array())) {
                    event.parameters[p.value("name", "")] = storedValue(p);
                }
                events.push_back(std::move(event));
            }
        }
    }
    return events;
}

// The user properties the stored bundles carry, by name (numbers in
// decimal); a later bundle's value wins.
inline std::map<std::string, std::string> storedUserProperties(const nlohmann::json& batches) {
    std::map<std::string, std::string> properties;
    for (const auto& batch : batches["batches"]) {
        for (const auto& bundle : batch["bundles"]) {
            for (const auto& a : bundle.value("user_attributes", nlohmann::json::array())) {
                properties[a.value("name", "")] = storedValue(a);
            }
        }
    }
    return properties;
}

}  // namespace analyticstest
