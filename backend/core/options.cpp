#include "backend/core/options.h"

#include <charconv>
#include <optional>

namespace backend {

namespace {

std::optional<int> parsePort(const std::string& text) {
    int value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535) {
        return std::nullopt;
    }
    return value;
}

std::optional<long long> parseCount(const std::string& text, long long min, long long max) {
    long long value = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::string defaultCertPath() { return ALMAVEL_CERT_DIR "/server.pem"; }
std::string defaultKeyPath() { return ALMAVEL_CERT_DIR "/server-key.pem"; }
std::string defaultSampleDataDir() { return ALMAVEL_SAMPLE_DATA_DIR; }

std::string usage() {
    return "usage: almavel-backend --data-dir DIR [--seed] [--http-port N] [--https-port N]\n"
           "                       [--ws-port N] [--wss-port N] [--mcs-port N]\n"
           "                       [--cert PEM --key PEM] [--sample-data DIR] [--ready-file PATH]\n"
           "                       [--request-timeout-ms N] [--head-timeout-ms N] [--max-connections N]\n"
           "                       [--ws-output-limit BYTES] [--analytics-store-limit BYTES]\n"
           "                       [--max-upload-sessions N]\n"
           "\n"
           "  --data-dir DIR     where everything the back end keeps lives (created if missing)\n"
           "  --seed             copy the sample data into the data dir unless it was seeded before\n"
           "  --http-port N      HTTP port on 127.0.0.1 (0, the default, picks a free one)\n"
           "  --https-port N     HTTPS port on 127.0.0.1 (0, the default, picks a free one)\n"
           "  --ws-port N        web-socket port on 127.0.0.1 (0, the default, picks a free one)\n"
           "  --wss-port N       web-socket TLS port on 127.0.0.1 (0, the default, picks a free one)\n"
           "  --mcs-port N       messaging channel TLS port on 127.0.0.1 (0, the default, picks a free one)\n"
           "  --cert PEM         server certificate (default " ALMAVEL_CERT_DIR "/server.pem)\n"
           "  --key PEM          server private key (default " ALMAVEL_CERT_DIR "/server-key.pem)\n"
           "  --sample-data DIR  sample data to seed from (default " ALMAVEL_SAMPLE_DATA_DIR ")\n"
           "  --ready-file PATH  write {\"http\":port,\"https\":port,\"ws\":port,\"wss\":port,\"mcs\":port,\"pid\":pid}\n"
           "                     and the admin secret (\"adminSecret\") there once listening, mode 0600\n"
           "  --request-timeout-ms N  longest wait for a request, an upgrade or a TLS handshake (default 30000)\n"
           "  --head-timeout-ms N     longest wait for a TLS handshake and a whole request head, or for a\n"
           "                          channel login, so idle connections leave room (default 10000)\n"
           "  --max-connections N     open connections over all listeners (default 8192), an eighth kept for\n"
           "                          each listener; more are closed\n"
           "  --ws-output-limit BYTES unread output a web socket may queue before it is ended (default 16 MB)\n"
           "  --analytics-store-limit BYTES  analytics bundles kept over all apps before the oldest batches\n"
           "                          go (default 256 MiB)\n"
           "  --max-upload-sessions N unfinished storage uploads over all users (default 10000)\n";
}

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    o.certPath = defaultCertPath();
    o.keyPath = defaultKeyPath();
    o.sampleDataDir = defaultSampleDataDir();

    auto fail = [&](std::string message) {
        parsed.error = std::move(message);
        return parsed;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) return inlineValue;
            if (i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        auto flag = [&](bool& target) {
            if (inlineValue) return false;
            target = true;
            return true;
        };

        if (name == "--help" || name == "-h") {
            if (!flag(o.help)) return fail("option " + name + " takes no value");
        } else if (name == "--seed") {
            if (!flag(o.seed)) return fail("option --seed takes no value");
        } else if (name == "--http-port" || name == "--https-port" || name == "--ws-port" || name == "--wss-port" ||
                   name == "--mcs-port") {
            auto v = value();
            if (!v) return fail("option " + name + " needs a port number");
            auto port = parsePort(*v);
            if (!port) return fail("bad port for " + name + ": '" + *v + "' (expected 0-65535)");
            (name == "--http-port"    ? o.httpPort
             : name == "--https-port" ? o.httpsPort
             : name == "--ws-port"    ? o.wsPort
             : name == "--wss-port"   ? o.wssPort
                                      : o.mcsPort) = *port;
        } else if (name == "--request-timeout-ms" || name == "--head-timeout-ms" || name == "--max-connections" ||
                   name == "--ws-output-limit" || name == "--analytics-store-limit") {
            auto v = value();
            if (!v) return fail("option " + name + " needs a number");
            const long long max =
                name == "--ws-output-limit" || name == "--analytics-store-limit" ? (1ll << 40) : 100000000ll;
            auto n = parseCount(*v, 1, max);
            if (!n) return fail("bad value for " + name + ": '" + *v + "' (expected a positive number)");
            if (name == "--request-timeout-ms") o.requestTimeoutMs = int(*n);
            else if (name == "--head-timeout-ms") o.headTimeoutMs = int(*n);
            else if (name == "--max-connections") o.maxConnections = int(*n);
            else if (name == "--ws-output-limit") o.webSocketOutputLimit = *n;
            else o.analyticsStoreLimit = *n;
        } else if (name == "--max-upload-sessions") {
            auto v = value();
            auto n = v ? parseCount(*v, 1, 100000000ll) : std::nullopt;
            if (!n) return fail("option --max-upload-sessions needs a positive number");
            o.maxUploadSessions = int(*n);
        } else if (name == "--cert" || name == "--key" || name == "--data-dir" || name == "--sample-data" ||
                   name == "--ready-file") {
            auto v = value();
            if (!v || v->empty()) return fail("option " + name + " needs a path");
            if (name == "--cert") o.certPath = *v;
            else if (name == "--key") o.keyPath = *v;
            else if (name == "--data-dir") o.dataDir = *v;
            else if (name == "--sample-data") o.sampleDataDir = *v;
            else o.readyFile = *v;
        } else {
            return fail("unknown option '" + args[i] + "'");
        }
    }
    if (!o.help && o.dataDir.empty()) return fail("--data-dir is required");
    return parsed;
}

}  // namespace backend
