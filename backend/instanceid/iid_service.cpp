// Token registration and the instance-identity admin endpoints
// (iid_service.h).

#include "backend/instanceid/iid_service.h"

#include <charconv>

#include "backend/core/http_util.h"
#include "backend/core/route_table.h"
#include "platform/crypto.h"
#include "platform/no_destructor.h"

namespace backend {

using json = nlohmann::json;
namespace crypto = ns::crypto;

namespace iid {

namespace {

struct ActivityHolder {
    std::mutex mutex;
    std::shared_ptr<Activity> activity;
};

}  // namespace

const std::set<std::string>& Activity::faultActions() {
    static const ns::NoDestructor<std::set<std::string>> actions(std::set<std::string>{
        "phoneRegistrationError", "sync", "rst", "otherRequestId", "shortId", "drop", "checkinRefuse", "checkinDrop"});
    return *actions;
}

void Activity::count(const std::string& what) {
    std::lock_guard lock(mutex_);
    counters_[what]++;
}

json Activity::counters() const {
    std::lock_guard lock(mutex_);
    json out = json::object();
    for (const char* key : {"checkins", "checkinsRefused", "registrations", "deletes", "refused", "faults"}) {
        auto it = counters_.find(key);
        out[key] = it == counters_.end() ? 0 : it->second;
    }
    return out;
}

std::string clipped(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

void logBody(json& entry, const std::string& body) {
    entry["body"] = clipped(body, kLoggedBodyBytes);
    entry["bodySize"] = body.size();
    if (body.size() > kLoggedBodyBytes) entry["bodyTruncated"] = true;
}

std::string overlongItem(const std::map<std::string, std::string>& form, const std::map<std::string, size_t>& limits,
                         size_t defaultLimit) {
    for (const auto& [name, value] : form) {
        auto limit = limits.find(name);
        if (value.size() > (limit == limits.end() ? defaultLimit : limit->second)) return name;
    }
    return "";
}

void RequestLog::add(const json& entry) {
    // Client bytes need not be UTF-8: kept as the admin answer writes them.
    Entry kept{entry.dump(-1, ' ', false, json::error_handler_t::replace)};
    kept.text.shrink_to_fit();
    std::lock_guard lock(mutex_);
    entries_.push(std::move(kept));
}

json RequestLog::entries() const {
    std::lock_guard lock(mutex_);
    json list = json::array();
    for (std::size_t i = 0; i < entries_.size(); ++i) list.push_back(json::parse(entries_.at(i).text));
    return list;
}

void RequestLog::sendPage(const Request& req, Response& res, std::string_view key) const {
    const auto page = readLogPage(req, res);
    if (!page) return;
    std::lock_guard lock(mutex_);
    sendLogPage(res, key, entries_, *page, [](const Entry& entry, std::string& text) { text += entry.text; });
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::size_t RequestLog::bytes() const {
    std::lock_guard lock(mutex_);
    return entries_.bytes();
}

void Activity::log(json entry) { requests_.add(entry); }

void Activity::sendRequests(const Request& req, Response& res) const { requests_.sendPage(req, res, "requests"); }

void Activity::clearRequests() { requests_.clear(); }

void Activity::addFault(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void Activity::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<std::string> Activity::takeFault(const std::set<std::string>& actions) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (!actions.count(it->action)) continue;
        std::string action = it->action;
        if (--it->count <= 0) faults_.erase(it);
        return action;
    }
    return std::nullopt;
}

std::shared_ptr<Activity> activity(Context& context) {
    auto holder = context.shared<ActivityHolder>("iid.activity");
    std::lock_guard lock(holder->mutex);
    if (!holder->activity) holder->activity = std::make_shared<Activity>();
    return holder->activity;
}

}  // namespace iid

namespace {

constexpr int kKeyBits = 2048;
constexpr size_t kPublicKeyLineLength = 64;

// No item the client sends comes near these (a bundle identifier is at most
// 255 bytes, the key text about 370); anything longer is refused before it
// is checked, stored or logged. The signature covers the bundle and the key
// text, five 256-byte blocks at these limits; the APNs token is "p_" or "s_"
// and the gateway's token in hex.
constexpr size_t kMaxItemBytes = 512;
constexpr size_t kMaxFormBytes = 16 * 1024;
const std::map<std::string, size_t>& itemLimits() {
    static const ns::NoDestructor<std::map<std::string, size_t>> limits(
        std::map<std::string, size_t>{{"sig", 2048}, {"apns_token", 2 + 128}});
    return *limits;
}

// The form items a registration request may carry.
const std::set<std::string>& knownItems() {
    static const ns::NoDestructor<std::set<std::string>> items(std::set<std::string>{
        "X-osv", "device", "X-scope", "plat", "app", "app_ver", "X-kid", "X-kdx_ver", "sender", "X-subtype", "appid",
        "pub2", "sig", "apns_token", "vlp_app_id", "delete"});
    return *items;
}

// The key's text must be exactly what the client's encoder makes of the
// bytes: standard base64, 64-character lines joined by CR LF.
std::optional<ns::Data> publicKeyBytes(const std::string& pub2) {
    std::string flat;
    size_t start = 0;
    while (true) {
        const size_t end = pub2.find("\r\n", start);
        const std::string line = pub2.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line.empty() || line.size() > kPublicKeyLineLength) return std::nullopt;
        if (end != std::string::npos && line.size() != kPublicKeyLineLength) return std::nullopt;
        flat += line;
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return crypto::base64DecodeStrict(flat, crypto::Base64Padding::Required);
}

std::string appIdentityOf(const ns::Data& publicKey) {
    ns::Data digest = crypto::sha1(publicKey);
    digest[0] = uint8_t(0x70 | (digest[0] & 0x0F));
    digest.resize(8);
    return crypto::base64UrlEncode(digest);
}

std::optional<ns::Data> webSafeSignature(const std::string& text) {
    std::string standard = text;
    for (char& c : standard) {
        if (c == '+' || c == '/') return std::nullopt;
        if (c == '-') c = '+';
        if (c == '_') c = '/';
    }
    return crypto::base64DecodeStrict(standard, crypto::Base64Padding::Forbidden);
}

// Each signature block, raised to the public exponent, must give back
// exactly its block of the signed text (a short last block widened with
// zeros on the left).
bool signatureVerifies(const crypto::RSAKey& key, const std::string& text, const ns::Data& signature) {
    const size_t block = key.blockSize();
    const size_t blocks = (text.size() + block - 1) / block;
    if (text.empty() || signature.size() != blocks * block) return false;
    for (size_t k = 0; k < blocks; ++k) {
        const size_t offset = k * block;
        const size_t length = std::min(block, text.size() - offset);
        ns::Data expected(block - length, 0);
        expected.insert(expected.end(), text.begin() + long(offset), text.begin() + long(offset + length));
        const ns::Data part(signature.begin() + long(offset), signature.begin() + long(offset + block));
        if (key.rawPublicOperation(part) != expected) return false;
    }
    return true;
}

// "" when the key items prove the app identity, else the error name.
std::string checkKeyItems(const std::map<std::string, std::string>& form, std::string& identity) {
    auto appid = form.find("appid"), pub2 = form.find("pub2"), sig = form.find("sig");
    if (appid == form.end() || pub2 == form.end() || sig == form.end()) return "MISSING_KEY";
    auto bytes = publicKeyBytes(pub2->second);
    if (!bytes) return "INVALID_PUBLIC_KEY";
    auto key = crypto::RSAKey::importPublicKey(*bytes);
    // Only the PKCS#1 form the client stores, of the size it generates.
    if (!key || key->exportPublicKey() != *bytes || key->bits() != kKeyBits) return "INVALID_PUBLIC_KEY";
    if (appIdentityOf(*bytes) != appid->second) return "INVALID_APP_IDENTITY";
    auto signature = webSafeSignature(sig->second);
    if (!signature || !signatureVerifies(*key, form.at("app") + "\n" + pub2->second, *signature)) {
        return "INVALID_SIGNATURE";
    }
    identity = appid->second;
    return "";
}

using Form = std::map<std::string, std::string>;

// What the client is told, and under which kind the exchange is logged.
struct Reply {
    int status = 200;
    std::string text;
    std::string kind;
};

Reply refusal(int status, const std::string& error) { return {status, "Error=" + error, "refused"}; }

// Whether the request carries a form to act on; what was wrong with one that
// does not goes to the log entry, for the tests that read it.
bool readForm(const Request& req, const std::string& body, json& entry, Form& form) {
    std::string contentType = req.get_header_value("Content-Type");
    contentType = contentType.substr(0, contentType.find(';'));
    if (contentType != "application/x-www-form-urlencoded") return false;
    if (body.size() > kMaxFormBytes) {
        entry["problem"] = "the form is longer than " + std::to_string(kMaxFormBytes) + " bytes";
        return false;
    }
    std::string problem;
    form = parseForm(body, knownItems(), problem);
    if (!problem.empty()) {
        entry["problem"] = iid::clipped(problem);
        return false;
    }
    if (auto item = iid::overlongItem(form, itemLimits(), kMaxItemBytes); !item.empty()) {
        entry["problem"] = "form item \"" + item + "\" is too long";
        return false;
    }
    entry["form"] = form;
    for (const char* required : {"X-osv", "device", "plat", "app", "app_ver", "X-kid", "X-scope"}) {
        if (!form.count(required) || (form.at(required).empty() && std::string(required) != "app_ver")) {
            entry["problem"] = std::string("missing ") + required;
            return false;
        }
    }
    if (!iid::decimalId(form.at("X-kid")) || !iid::decimalId(form.at("device")) || form.at("plat") != "2" ||
        req.get_header_value("app") != form.at("app")) {
        return false;
    }
    if (auto apns = form.find("apns_token"); apns != form.end()) {
        const std::string& t = apns->second;
        const bool wellFormed = t.size() > 2 && (t[0] == 'p' || t[0] == 's') && t[1] == '_' &&
                                t.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
        if (!wellFormed) return false;
    }
    return true;
}

// A device known by its check-in credentials, or by an IID auth token, which
// also names the sender it was issued for.
struct Caller {
    uint64_t device = 0;
    std::string tokenSender;
};

std::optional<Caller> callerOf(const Request& req, iid::Store& store) {
    const std::string authorization = req.get_header_value("Authorization");
    const std::string scheme = "VdxLogin ";
    if (authorization.rfind(scheme, 0) != 0) return std::nullopt;
    const std::string credential = authorization.substr(scheme.size());
    if (const size_t colon = credential.find(':'); colon != std::string::npos) {
        auto id = iid::decimalId(credential.substr(0, colon));
        auto secret = iid::decimalId(credential.substr(colon + 1));
        auto device = id ? store.device(*id) : std::nullopt;
        if (!device || !secret || device->secret != *secret) return std::nullopt;
        return Caller{device->id, ""};
    }
    auto owner = store.authTokenOwner(credential);
    if (!owner) return std::nullopt;
    return Caller{owner->first, owner->second};
}

Reply deleteRegistrations(iid::Store& store, iid::Activity& activity, const Form& form, const Caller& caller) {
    if (form.at("delete") != "true" || form.count("sender") || form.count("X-subtype")) {
        return refusal(400, "INVALID_PARAMETERS");
    }
    const std::string& scope = form.at("X-scope");
    std::string identity;
    const bool hasKeyItems = form.count("appid") || form.count("pub2") || form.count("sig");
    if (hasKeyItems) {
        if (auto error = checkKeyItems(form, identity); !error.empty()) return refusal(400, error);
    } else if (scope != "qdx") {
        // Only the clean-up after a reinstall deletes without proving the key.
        return refusal(400, "MISSING_KEY");
    }
    // "*" is every registration of the app identity (deleting the identity).
    const int removed =
        store.deleteRegistrations(caller.device, identity, caller.tokenSender, scope == "*" ? "" : scope);
    activity.count("deletes");
    return {200, "deleted=" + std::to_string(removed), "delete"};
}

// Saves the registration (a fault may answer instead) and names its token.
Reply registerToken(iid::Store& store, iid::Activity& activity, const Form& form, const Caller& caller,
                    const std::string& identity, const std::optional<std::string>& fault, Response& res) {
    const uint64_t requestID = *iid::decimalId(form.at("X-kid"));
    const std::string kid = std::to_string(requestID);
    if (fault == "phoneRegistrationError") return {200, "Error=PHONE_REGISTRATION_ERROR", "fault"};
    if (fault == "shortId") return {200, "token=|ID|" + kid, "fault"};
    const std::string& sender = form.at("sender");
    const std::string& scope = form.at("X-scope");
    // The same registration keeps its token while its APNs token stays.
    iid::Registration registration{caller.device,
                                   identity,
                                   sender,
                                   scope,
                                   "",
                                   form.at("app"),
                                   form.count("apns_token") ? form.at("apns_token") : "",
                                   form.count("vlp_app_id") ? form.at("vlp_app_id") : "",
                                   iid::nowMillis()};
    for (const auto& existing : store.registrations(caller.device)) {
        if (existing.appIdentity == identity && existing.sender == sender && existing.scope == scope &&
            existing.apnsToken == registration.apnsToken) {
            registration.token = existing.token;
        }
    }
    if (registration.token.empty()) registration.token = identity + ":APA91b" + iid::randomText(134);
    if (fault == "otherRequestId") {
        return {200, "token=" + std::to_string(requestID + 1) + ":" + registration.token, "fault"};
    }
    store.saveRegistration(registration);
    activity.count("registrations");
    res.set_header("X-iid-auth", store.authTokenFor(caller.device, sender));
    std::string value = kid + ":" + registration.token;
    if (fault == "sync") value = "|ID|" + kid + "|SYNC|:" + registration.token;
    if (fault == "rst") value = "|ID|" + kid + "|RST|:" + registration.token;
    return {200, "token=" + value, fault ? "fault" : "register"};
}

}  // namespace

void IidService::start(Context& context) {
    store_ = iid::store(context);
    activity_ = iid::activity(context);
}

void IidService::install(HttpRouter& server, const Listener&, Context&) {
    const RouteRow<IidService> routes[] = {
        {"POST", "/kdx/register4", &IidService::handleRegister},
    };
    installRoutes(server, *this, routes);
    installAdmin(server);
}

void IidService::handleRegister(const Request& req, Response& res, const std::string& body) {
    json entry{{"authorization", iid::clipped(req.get_header_value("Authorization"))},
               {"contentType", iid::clipped(req.get_header_value("Content-Type"))},
               {"appHeader", iid::clipped(req.get_header_value("app"))}};
    iid::logBody(entry, body);
    auto answer = [&](const Reply& reply) {
        res.status = reply.status;
        res.set_content(reply.text, "text/plain");
        entry["kind"] = reply.kind;
        entry["reply"] = reply.text;
        entry["status"] = reply.status;
        if (reply.kind == "refused") activity_->count("refused");
        activity_->log(entry);
    };

    Form form;
    if (!readForm(req, body, entry, form)) return answer(refusal(400, "INVALID_PARAMETERS"));
    const auto caller = callerOf(req, *store_);
    if (!caller || *iid::decimalId(form.at("device")) != caller->device) {
        return answer(refusal(401, "AUTHENTICATION_FAILED"));
    }
    if (form.count("delete")) return answer(deleteRegistrations(*store_, *activity_, form, *caller));

    for (const char* required : {"sender", "X-subtype"}) {
        if (!form.count(required) || form.at(required).empty()) return answer(refusal(400, "INVALID_PARAMETERS"));
    }
    if (!caller->tokenSender.empty() && caller->tokenSender != form.at("sender")) {
        return answer(refusal(401, "AUTHENTICATION_FAILED"));
    }
    std::string identity;
    if (auto error = checkKeyItems(form, identity); !error.empty()) return answer(refusal(400, error));

    const auto fault =
        activity_->takeFault({"phoneRegistrationError", "sync", "rst", "otherRequestId", "shortId", "drop"});
    if (fault) activity_->count("faults");
    if (fault == "drop") {
        res.set_header(kCloseWithoutAnswerHeader, "1");
        res.status = 200;
        entry["kind"] = "dropped";
        activity_->log(entry);
        return;
    }
    answer(registerToken(*store_, *activity_, form, *caller, identity, fault, res));
}

namespace {

void getStats(iid::Activity& activity, const Request&, Response& res, const std::string&) {
    sendJson(res, 200, activity.counters());
}

void getRequests(iid::Activity& activity, const Request& req, Response& res, const std::string&) {
    activity.sendRequests(req, res);
}

void clearRequests(iid::Activity& activity, const Request&, Response& res, const std::string&) {
    activity.clearRequests();
    sendJson(res, 200, json::object());
}

void addFault(iid::Activity& activity, const Request&, Response& res, const std::string& body) {
    json parsed;
    if (!parseJsonObject(body, res, parsed)) return;
    iid::Activity::Fault fault;
    const auto action = parsed.find("action");
    if (action == parsed.end() || !action->is_string() ||
        !iid::Activity::faultActions().count(action->get<std::string>())) {
        return sendError(res, 400, "\"action\" must name a fault");
    }
    fault.action = action->get<std::string>();
    if (auto count = parsed.find("count"); count != parsed.end()) {
        if (!count->is_number_integer() || count->get<int64_t>() < 1 || count->get<int64_t>() > 1000) {
            return sendError(res, 400, "\"count\" must be from 1 to 1000");
        }
        fault.count = int(count->get<int64_t>());
    }
    activity.addFault(fault);
    sendJson(res, 200, json{{"action", fault.action}, {"count", fault.count}});
}

void clearFaults(iid::Activity& activity, const Request&, Response& res, const std::string&) {
    activity.clearFaults();
    sendJson(res, 200, json::object());
}

void getDevices(iid::Store& store, const Request&, Response& res, const std::string&) {
    json list = json::array();
    for (const auto& d : store.devices()) {
        list.push_back(json{{"id", d.id}, {"digest", d.digest}, {"checkinMs", d.checkinMs}});
    }
    sendJson(res, 200, json{{"devices", list}});
}

void getRegistrations(iid::Store& store, const Request& req, Response& res, const std::string&) {
    std::optional<uint64_t> device;
    if (req.has_param("device")) {
        device = iid::decimalId(req.get_param_value("device"));
        if (!device) return sendError(res, 400, "\"device\" must be a device id");
    }
    json list = json::array();
    for (const auto& r : store.registrations(device)) {
        list.push_back(json{{"device", r.deviceId}, {"appid", r.appIdentity}, {"sender", r.sender},
                            {"scope", r.scope},     {"token", r.token},      {"bundle", r.bundle},
                            {"apnsToken", r.apnsToken}, {"appId", r.appId}});
    }
    sendJson(res, 200, json{{"registrations", list}});
}

}  // namespace

// The exchanges and faults are the activity's, shared with check-in; the
// devices and registrations are the store's.
void IidService::installAdmin(HttpRouter& server) {
    const RouteRow<iid::Activity> activityRoutes[] = {
        {"GET", "/__admin/iid/stats", &getStats},
        {"GET", "/__admin/iid/requests", &getRequests},
        {"DELETE", "/__admin/iid/requests", &clearRequests},
        {"POST", "/__admin/iid/faults", &addFault},
        {"DELETE", "/__admin/iid/faults", &clearFaults},
    };
    installRoutes(server, *activity_, activityRoutes);
    const RouteRow<iid::Store> storeRoutes[] = {
        {"GET", "/__admin/iid/devices", &getDevices},
        {"GET", "/__admin/iid/registrations", &getRegistrations},
    };
    installRoutes(server, *store_, storeRoutes);
}

}  // namespace backend
