#pragma once
// The request shape the upload's first request and the metadata update
// share: a method and a JSON body with its type and length.

#include "platform/format.h"
#include "platform/http.h"
#include "storage/QRVStorageUtils.h"

inline ns::URLRequest QRVStorageJSONRequest(ns::URLRequest request, const char* method, const ns::Dictionary& body) {
    request.setHTTPMethod(method);
    ns::Data json = qvs_dataFromJSONDictionary(body);
    request.setValue("application/json; charset=UTF-8", "Content-Type");
    request.setValue(ns::format("%zu", json.size()), "Content-Length");
    request.setHTTPBody(std::move(json));
    return request;
}
