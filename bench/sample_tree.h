#pragma once
// The 1,000,000-leaf tree of the hashing and memory benchmarks: 100 stores,
// 100 products each (13-digit codes), 100 fields per product whose values
// cycle through a short text, a price, a quantity and a flag.

#include <string>
#include <vector>

#include "database/model/FNode.h"
#include "platform/json.h"

namespace modelbench {

// A letter and two digits ("f07").
inline std::string shortKey(char letter, int i) {
    std::string key(3, letter);
    key[1] = char('0' + i / 10);
    key[2] = char('0' + i % 10);
    return key;
}

inline FNodePtr leafValue(int n) {
    switch (n % 4) {
        case 0: return FLeafNode::make(ns::Value("Item " + std::to_string(n)));
        case 1: return FLeafNode::make(ns::Value(double(n % 97) + 0.25));
        case 2: return FLeafNode::make(ns::Value(int64_t(n % 1000)));
        default: return FLeafNode::make(ns::Value(n % 3 == 0));
    }
}

// `width` children per level, three levels.
inline FNodePtr buildSampleTree(int width = 100) {
    std::vector<FChildrenDictionary::Entry> stores;
    int n = 0;
    for (int s = 0; s < width; ++s) {
        std::vector<FChildrenDictionary::Entry> products;
        for (int p = 0; p < width; ++p) {
            std::vector<FChildrenDictionary::Entry> fields;
            for (int f = 0; f < width; ++f) fields.emplace_back(shortKey('f', f), leafValue(n++));
            products.emplace_back(std::to_string(7450000000000LL + s * 1000 + p),
                                  FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(fields))));
        }
        stores.emplace_back(shortKey('s', s), FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(products))));
    }
    return FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(stores)));
}

// The JSON text of buildSampleTree(width), written without building the tree
// (members in key order, leaves as the JSON writer writes them).
inline std::string sampleTreeJson(int width = 100) {
    std::string text = "{";
    int n = 0;
    for (int s = 0; s < width; ++s) {
        text += (s ? ",\"" : "\"") + shortKey('s', s) + "\":{";
        for (int p = 0; p < width; ++p) {
            text += (p ? ",\"" : "\"") + std::to_string(7450000000000LL + s * 1000 + p) + "\":{";
            for (int f = 0; f < width; ++f) {
                text += (f ? ",\"" : "\"") + shortKey('f', f) + "\":" + ns::json::serialize(leafValue(n++)->val());
            }
            text += "}";
        }
        text += "}";
    }
    return text + "}";
}

}  // namespace modelbench
