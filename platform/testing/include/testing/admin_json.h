#pragma once
// The back end's admin endpoints as a test reads them: the answer is
// expected to be a 200 (otherwise the test fails, naming the path and what
// came back) and its body is read as JSON (discarded JSON when it is not).
// Unlike Backend's own admin calls nothing throws, so the test goes on to
// report what else it finds.
//
//   json stats = ns::testing::getJSON(*backend_, "/__admin/iid/stats");

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "testing/backend.h"

namespace ns::testing {

inline nlohmann::json expectJSON(const HttpReply& reply, const std::string& path) {
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body << reply.error;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

inline nlohmann::json getJSON(const Backend& backend, const std::string& path) {
    return expectJSON(backend.get(path), path);
}

inline nlohmann::json postJSON(const Backend& backend, const std::string& path, const nlohmann::json& body) {
    return expectJSON(backend.post(path, body.dump()), path);
}

}  // namespace ns::testing
