#pragma once
// The database's one serial worker queue, "QuorvaneWorker": the repository,
// the sync engine, the persistence layer, the wire-protocol client, the
// framed connection's callbacks, the token providers' answers and the retry
// helper all run on it. The query class's sharedQueue hands out this queue.

#include <string>

#include "platform/dispatch.h"

inline constexpr const char* kFWorkerQueueLabel = "QuorvaneWorker";

class FWorkerQueue {
public:
    // Made on first use, once per process.
    static const ns::DispatchQueuePtr& sharedQueue();
};

// The two version texts of the database client (class operations of the
// database class, kept here because the connection's user agent needs them).
class FDatabaseVersion {
public:
    // "4.0.0".
    static std::string sdkVersion();
    // The SDK version and the build date ("May  8 2017" form) joined by "_".
    static std::string buildVersion();
};
