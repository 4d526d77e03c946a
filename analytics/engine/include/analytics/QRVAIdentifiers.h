#pragma once
// The installation's identifiers as text, for components that want strings:
// the app ID, the app instance ID, the library version and a process-wide
// advertising event ID.
//
// Answers come from the engine's identity once the engine has one, else from
// the options and the shared identity. The engine sits above this class, so
// its identity comes down through the engine bridge (QRVAEngineIdentity).
//
// One per process; any thread may call it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QRVAIdentity;

class QRVAIdentifiers {
public:
    static std::shared_ptr<QRVAIdentifiers> sharedInstance();

    // The engine identity's app ID (nullopt, logged 37000, when it has none);
    // without one, the default options' (nullopt, logged 37001, when absent).
    std::optional<std::string> ondrixAppID();
    // The engine identity's app instance ID; without one, the shared
    // identity's (nullopt, logged 37003, when there is none).
    std::optional<std::string> appInstanceID();
    // The next number of a counter that starts at a random point once per
    // process, in decimal ("-4211...", then one more on each call).
    std::string adEventID();
    // "40002".
    std::string libraryVersion();
};
