#pragma once
// The realtime database server: the wire protocol of the SDK's database
// client over web sockets, on the back end's ws and wss listeners at
//
//   ws[s]://<host>/.ws?v=5&ns=<namespace>[&ls=<last session id>]
//
// Hosts under *.quorvaneio.com (routed to the ws/wss ports) or *.localhost
// names of three labels with a port both work; the namespace is the ns
// parameter (a-z, 0-9, '-'). Each namespace keeps its tree in
// <data dir>/rtdb/<namespace>/ (snapshot, journal, rules.json); a write is
// acknowledged only once its journal record is synced to disk. A seeded
// data dir's database.json is the first tree of "almavel-pa".
//
// On a connection the server first sends the handshake
// {"t":"c","d":{"t":"h","d":{"ts","v":"5","h","s"}}}, then answers every
// request {"t":"d","d":{"r","a","b"}} in order with
// {"t":"d","d":{"r","b":{"s":status,"d":data}}}: stats "s" (at most 100
// counter names of at most 256 bytes per namespace; the rest dropped),
// "auth" (through the shared token verifier: signature, expiry, the
// account's state and revocations, and the namespace's app when it has one
// — "ok", "invalid_token", "expired_token"), "unauth", listen "q" (data pushed before the answer,
// none when the client's hash matches, range merges "rm" for a compound
// hash, the query window with "t" for tagged listens; "no_index" warnings),
// unlisten "n", put "p" (compare-and-set with "h": "datastale"), merge "m",
// on-disconnect "o", "om", "oc" (run in order when the connection ends,
// each checked against the rules with the connection's authentication as it
// is then; what they no longer allow is dropped and logged).
// Later changes are pushed to every listen they touch ("d", "m", with "t"
// for tagged listens); "ac" when a bound token is revoked or expires; "c"
// when the rules no longer allow a listen. Refusals: "permission_denied",
// "invalid_path", "invalid_data", "invalid_query", "invalid_request",
// "unknown_action", "write_failed". Writes with keys no read can address
// (control characters, over 768 bytes, not UTF-8) or ".value" beside other
// children are "invalid_data"; queries with an unknown parameter, an index
// that is no child path, or object bounds are "invalid_query"; nothing of a
// refused request is stored. Packets that are not JSON objects of this
// envelope, request numbers of 2^63 or more, binary frames and packets over
// 16 MB close the connection (1008, 1009).
//
// Namespaces belong to apps (<data dir>/rtdb/apps.json, seeded from the
// sample data's database-apps.json): a namespace with an app accepts only
// tokens issued for it; one without accepts any app's tokens. Bound tokens
// are re-checked when accounts change, and "ac" goes to connections whose
// token no longer passes.
//
// Admin endpoints (loopback, the run's admin secret, JSON; "ns" query parameter where a namespace
// is meant; "id" picks one connection, "ns" one namespace's connections,
// neither every connection):
//   GET    /__admin/rtdb/info           {"ws","wss","alternatePort","namespaces","clockOffsetMs"}
//                                       alternatePort relays to the ws port (a second port for resets)
//   GET    /__admin/rtdb/connections    {"connections":[{"id","ns","session","lastSession","host","tls",
//                                       "auth","listens","requests","queued","onDisconnect","faults"}]}
//   POST   /__admin/rtdb/connections/kill      {id?, ns?, closeFrame?, code?, reason?} -> {"count"}
//   POST   /__admin/rtdb/connections/reset     {id?, ns?, host}   control "r" with the host
//   POST   /__admin/rtdb/connections/shutdown  {id?, ns?, reason} control "s", then a close frame
//   POST   /__admin/rtdb/connections/send      {id?, ns?, frames:[text...]} | {packet: JSON}
//                                       | {kind: "malformed" | "error" | "noType"}
//   POST   /__admin/rtdb/connections/securityDebug {id?, ns?, msg}  push "sd"
//   POST   /__admin/rtdb/auth/revoke    {uid?, id?, status?, reason?} push "ac" -> {"count"}
//   GET    /__admin/rtdb/faults         the settings below
//   POST   /__admin/rtdb/faults         {connection?, holdAnswers, answerDelayMs, splitFrames,
//                                        rangeMerges, forceDatastale (count of hashed puts),
//                                        clockOffsetMs, handshakeHost (any JSON, null: the Host header),
//                                        killOn: {action, apply, closeFrame} | null}
//   DELETE /__admin/rtdb/faults         back to none
//   GET    /__admin/rtdb/rules?ns=      the rules document
//   POST   /__admin/rtdb/rules?ns=      body: rules (see rtdb_rules.h); 400 when they are not rules
//   GET    /__admin/rtdb/data?ns=&path= {"data": value in export form}
//   POST   /__admin/rtdb/data?ns=&path= {"data": value} or {"merge": {relative path: value}}
//   GET    /__admin/rtdb/counters[?ns=] {"requests":{action:n},"listens":{...},"pushes":{...},...}
//   DELETE /__admin/rtdb/counters[?ns=]
//   POST   /__admin/rtdb/compact?ns=    writes a snapshot now -> {"journalBytes"}
//   GET    /__admin/rtdb/app?ns=        {"ns","appId"} (null: any app)
//   POST   /__admin/rtdb/app?ns=        {"appId": app id | null}
//   GET    /__admin/rtdb/resources      what the server holds (connections, members, listens,
//                                       bound tokens, queued items, tasks, revocations), for leak checks

#include <memory>
#include <string>

#include "backend/core/service.h"

namespace backend {

namespace rtdb {
class Server;
}

class RtdbService : public Service {
public:
    RtdbService();
    ~RtdbService() override;
    std::string name() const override { return "rtdb"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;
    void installWebSockets(WebSocketRouter& router, Context& context) override;
    void stop() override;

private:
    std::shared_ptr<rtdb::Server> server_;
};

}  // namespace backend
