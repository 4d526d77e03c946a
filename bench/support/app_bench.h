// What the benchmarks of the app share: the time since a moment, and the
// seeded local back end with the service hosts routed to it and the app's
// bundle files (from the source tree) written into the benchmark's sandbox.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace appbench {

inline double secondsSince(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline std::string readFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot read " + path);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

// The back end the app is launched against, once `sandbox` holds the bundle.
inline std::unique_ptr<ns::testing::Backend> prepareAppLaunch(ns::testing::TempSandbox& sandbox) {
    auto backend = ns::testing::Backend::start({.seed = true});
    backend->routeServiceHosts();
    const std::string bundle = std::string(ALMAVEL_SOURCE_DIR) + "/core/tools/bundle/";
    for (const char* name : {"Info.plist", "OndrixService-Info.plist"}) {
        sandbox.writeBundleFile(name, readFile(bundle + name));
    }
    return backend;
}

}  // namespace appbench
