#pragma once
// Command-line options of the local back end.

#include <string>
#include <vector>

namespace backend {

struct Options {
    // 0 picks a free port; the chosen one is reported once listening.
    int httpPort = 0;
    int httpsPort = 0;
    // The web-socket listeners (plain and TLS); 0 picks a free port.
    int wsPort = 0;
    int wssPort = 0;
    // The messaging channel server (TLS); 0 picks a free port.
    int mcsPort = 0;
    // Server certificate and key for the HTTPS listener (PEM).
    std::string certPath;
    std::string keyPath;
    // Everything the back end keeps lives here; created when missing.
    std::string dataDir;
    // Copy the sample data into the data dir unless it was seeded before.
    bool seed = false;
    std::string sampleDataDir;
    // Written atomically (mode 0600) with the ports, the pid and the admin
    // secret once the listeners are up.
    std::string readyFile;
    // Longest wait for a request head or body, an upgrade request or a TLS
    // handshake before the connection is closed.
    int requestTimeoutMs = 30000;
    // Longest wait for a TLS handshake and a whole request head (or a
    // channel login): a connection that sent nothing whole yet is cheap to
    // keep open and must not hold a place under the cap for long.
    int headTimeoutMs = 10000;
    // Open connections over all listeners; more are closed at once.
    int maxConnections = 8192;
    // Unread output a web socket may queue before it is ended.
    long long webSocketOutputLimit = 16ll * 1024 * 1024;
    // Bundle bytes the measurement service keeps over all apps before it
    // drops the oldest batches; 0: its own bound (256 MiB,
    // backend/analytics/measurement_store.h). Tests set a small one.
    long long analyticsStoreLimit = 0;
    // Unfinished storage uploads over all users; 0: the storage service's
    // own bound (10,000, backend/storage/storage_store.h). Tests set a small one.
    int maxUploadSessions = 0;
    bool help = false;
};

struct ParsedOptions {
    Options options;
    // Empty when the arguments were fine.
    std::string error;
};

// Parses the arguments after the program name. Accepts "--name value" and
// "--name=value"; unknown options, missing values and bad ports are errors.
ParsedOptions parseOptions(const std::vector<std::string>& args);

// The defaults compiled into this build (certificates of the build tree, the
// sample data of the source tree).
std::string defaultCertPath();
std::string defaultKeyPath();
std::string defaultSampleDataDir();

std::string usage();

}  // namespace backend
