// The catalogue the look-up benchmarks load: 40,000 products keyed by
// barcode under bench/productos, each with the fields the product screen
// reads, and the data push the server sends for one product's listen.
#pragma once

#include <string>

namespace benchsupport {

constexpr int kCatalogueProducts = 40000;

inline std::string productCode(int i) { return std::to_string(7450000000 + i); }

inline std::string productText(int i) {
    return "{\"Descrip\":\"Producto " + std::to_string(i) + "\",\"Precio\":" +
           std::to_string(1 + (i * 7919) % 4999) + ".25,\"Existencia\":" + std::to_string(i % 13) +
           ",\"Oferta\":" + (i % 3 ? "false" : "true") + ",\"qParte\":\"P" + std::to_string(i % 40) + "-" +
           std::to_string(i) + "\"}";
}

inline std::string catalogueText() {
    std::string text = "{";
    for (int i = 0; i < kCatalogueProducts; ++i) {
        if (i) text += ",";
        text += "\"" + productCode(i) + "\":" + productText(i);
    }
    return text + "}";
}

// A listen's data push for product `i`, as the server words it.
inline std::string productPushText(int i) {
    return "{\"t\":\"d\",\"d\":{\"a\":\"d\",\"b\":{\"p\":\"bench/productos/" + productCode(i) + "\",\"d\":" +
           productText(i) + "}}}";
}

}  // namespace benchsupport
