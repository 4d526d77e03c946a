#pragma once
// Plain records passed between the repository's parts. The records that hold
// sync-engine and repository types (removed queries with their cancel events,
// transactions) live with those types.

#include <functional>
#include <optional>
#include <string>

#include "platform/value.h"

// A status string ("ok", "permission_denied", ...) and an optional reason.
using FCallbackStatusBlock = std::function<void(const std::string& status, const std::optional<std::string>& reason)>;

// One on-disconnect action as sent to the server.
struct FTupleOnDisconnect {
    std::string pathString;
    std::string action;
    ns::Value data;
    FCallbackStatusBlock onComplete;
};

// A completion block with the status it is to be called with.
struct FTupleCallbackStatus {
    FCallbackStatusBlock block;
    std::string status;
    std::optional<std::string> errorReason;
};
