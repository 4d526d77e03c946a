// What the check-in and registration services accept and refuse, and what
// the client makes of faulty replies: bad input gets an error reply and
// changes nothing stored.

#include <gtest/gtest.h>

#include "iid_test_support.h"
#include "instanceid/QRVInstanceIDRegistration.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/crypto.h"

using namespace iidtest;

namespace {

// A registration request of the launched installation, as the client builds it.
struct Request {
    std::string authorization;
    std::vector<QRVInstanceIDURLQueryItem> items;
    std::string contentType = kQRVInstanceIDFormContentType;
    std::string rawBody;  // instead of the items, when set

    void set(const std::string& name, const std::string& value) {
        for (auto& item : items) {
            if (item.name == name) {
                item.value = value;
                return;
            }
        }
        items.push_back({name, value});
    }
    void remove(const std::string& name) {
        std::erase_if(items, [&](const auto& item) { return item.name == name; });
    }
    std::string body() const { return rawBody.empty() ? QRVInstanceIDQueryFromQueryItems(items) : rawBody; }
};

}  // namespace

class IidServiceTest : public IidBackendTest {
protected:
    Request validRequest() {
        auto iid = QRVInstanceID::instanceID();
        auto preferences = iid->cachedCheckinPreferences();
        auto keyPair = iid->keyPairStore()->loadKeyPairWithError();
        QRVInstanceIDRegistrationClient client(iid->tokenManager().authService(), kSenderID, "custom", keyPair);
        Request request;
        request.authorization = "VdxLogin " + preferences->deviceID() + ":" + preferences->secretToken();
        request.items = QRVInstanceIDRegistrationClient::standardQueryItemsWithDeviceID(preferences->deviceID(),
                                                                                        "custom", 900);
        request.items.push_back({"sender", kSenderID});
        request.items.push_back({"X-subtype", kSenderID});
        for (auto& item : client.publicKeyQueryItems()) request.items.push_back(item);
        return request;
    }

    ns::testing::HttpReply send(const Request& request) {
        auto client = backend_->client();
        httplib::Headers headers{{"Authorization", request.authorization}, {"app", kBundleID}};
        auto reply = client->Post("/kdx/register4", headers, request.body(), request.contentType);
        ns::testing::HttpReply out;
        if (reply) {
            out.status = reply->status;
            out.body = reply->body;
        }
        return out;
    }
};

TEST_F(IidServiceTest, BadRegistrationsAreRefusedAndChangeNothing) {
    launchAndWaitForDefaultToken();
    const json before = registrations();
    const int64_t refusedBefore = count("refused");
    auto otherKey = ns::crypto::RSAKey::generate(2048);
    auto smallKey = ns::crypto::RSAKey::generate(1024);
    ASSERT_TRUE(otherKey && smallKey);

    struct Case {
        const char* what;
        std::function<void(Request&)> spoil;
        const char* reply;
    };
    const Case cases[] = {
        {"no signature", [](Request& r) { r.remove("sig"); }, "Error=MISSING_KEY"},
        {"no sender", [](Request& r) { r.remove("sender"); }, "Error=INVALID_PARAMETERS"},
        {"a changed signature",
         [](Request& r) {
             for (auto& i : r.items) {
                 if (i.name == "sig") i.value[10] = i.value[10] == 'A' ? 'B' : 'A';
             }
         },
         "Error=INVALID_SIGNATURE"},
        {"an identifier of another key",
         [&](Request& r) {
             r.set("appid", *QRVInstanceIDKeyPair::appIdentityWithPublicKeyData(otherKey->exportPublicKey()));
         },
         "Error=INVALID_APP_IDENTITY"},
        {"a signature over another bundle", [](Request& r) { r.set("app", "com.other.app"); },
         "Error=INVALID_PARAMETERS"},
        {"a 1024-bit key, consistently signed",
         [&](Request& r) {
             const std::string pub2 = QRVInstanceIDSecKeyBase64Encoding(smallKey->exportPublicKey());
             r.set("appid", *QRVInstanceIDKeyPair::appIdentityWithPublicKeyData(smallKey->exportPublicKey()));
             r.set("pub2", pub2);
             r.set("sig", *QRVInstanceIDSignParams(smallKey, std::string(kBundleID) + "\n" + pub2));
         },
         "Error=INVALID_PUBLIC_KEY"},
        {"a raw & inside a value",
         [](Request& r) {
             r.rawBody = QRVInstanceIDQueryFromQueryItems(r.items);
             r.rawBody.replace(r.rawBody.find("sender=") + 7, 0, "a&b");
         },
         "Error=INVALID_PARAMETERS"},
        {"a bad percent escape", [](Request& r) { r.rawBody = "X-osv=%G1"; }, "Error=INVALID_PARAMETERS"},
        {"garbage", [](Request& r) { r.rawBody = "\x01\x02garbage"; }, "Error=INVALID_PARAMETERS"},
        {"a JSON body", [](Request& r) { r.contentType = "application/json"; }, "Error=INVALID_PARAMETERS"},
        {"a wrong secret", [](Request& r) { r.authorization += "1"; }, "Error=AUTHENTICATION_FAILED"},
        {"another device's id", [](Request& r) { r.set("device", "12345"); }, "Error=AUTHENTICATION_FAILED"},
        {"an unknown auth token", [](Request& r) { r.authorization = "VdxLogin nope"; },
         "Error=AUTHENTICATION_FAILED"},
    };
    for (const Case& c : cases) {
        Request request = validRequest();
        c.spoil(request);
        auto reply = send(request);
        EXPECT_GE(reply.status, 400) << c.what;
        EXPECT_LT(reply.status, 500) << c.what;
        EXPECT_EQ(reply.body, c.reply) << c.what;
    }
    EXPECT_EQ(registrations(), before);
    EXPECT_EQ(count("refused") - refusedBefore, int64_t(std::size(cases)));

    // The same request unspoilt is registered, its encoded values decoded.
    Request good = validRequest();
    good.set("vlp_app_id", "a+b/c=d&e%f");
    auto reply = send(good);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.rfind("token=900:", 0), 0u) << reply.body;
    ASSERT_EQ(registrations().size(), before.size() + 1);
    bool found = false;
    for (const auto& r : registrations()) found |= r["scope"] == "custom" && r["appId"] == "a+b/c=d&e%f";
    EXPECT_TRUE(found);
}

TEST_F(IidServiceTest, BadCheckinsAreRefusedAndAKnownDeviceKeepsItsIds) {
    launchAndWaitForDefaultToken();
    auto preferences = QRVInstanceID::instanceID()->cachedCheckinPreferences();
    const json devices = admin("/__admin/iid/devices")["devices"];
    auto client = backend_->client();
    const std::string known = preferences->deviceID(), secret = preferences->secretToken();
    const std::string bodies[] = {
        "not json",
        "[1, 2]",
        R"({"checkin": {}, "version": 2, "security_token": 0})",
        R"({"checkin": {}, "version": 2, "id": 1.5, "security_token": 0})",
        R"({"checkin": {}, "version": 2, "id": 9223372036854775808, "security_token": 0})",
        R"({"checkin": {}, "version": 2, "id": -1, "security_token": 0})",
        R"({"checkin": "x", "version": 2, "id": 0, "security_token": 0})",
        R"({"checkin": {}, "version": 2, "id": 0, "security_token": 5})",
        R"({"checkin": {}, "version": 2, "id": )" + known + R"(, "security_token": )" +
            std::to_string(std::stoull(secret) ^ 1) + "}",
        R"({"checkin": {}, "version": 2, "id": 77, "security_token": 1})",
        std::string(600, '[') + std::string(600, ']'),
    };
    for (const std::string& body : bodies) {
        auto reply = client->Post("/checkin", body, "application/json");
        ASSERT_TRUE(reply);
        EXPECT_GE(reply->status, 400) << body.substr(0, 80);
        EXPECT_LT(reply->status, 500) << body.substr(0, 80);
        EXPECT_FALSE(json::parse(reply->body, nullptr, false).contains("verdos_id"));
    }
    EXPECT_EQ(admin("/__admin/iid/devices")["devices"].size(), devices.size());

    // The right secret gets the same pair back (exact 64-bit numbers), with a fresh digest.
    auto reply = client->Post(
        "/checkin", R"({"checkin": {}, "version": 2, "id": )" + known + R"(, "security_token": )" + secret + "}",
        "application/json");
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status, 200);
    json answer = json::parse(reply->body);
    EXPECT_EQ(std::to_string(answer["verdos_id"].get<uint64_t>()), known);
    EXPECT_EQ(std::to_string(answer["security_token"].get<uint64_t>()), secret);
    EXPECT_NE(answer["digest"], preferences->digest);
}

TEST_F(IidServiceTest, AReplyForAnotherRequestOrWithoutATokenIsAnErrorAndCachesNothing) {
    launchAndWaitForDefaultToken();
    auto iid = QRVInstanceID::instanceID();
    for (const char* fault : {"otherRequestId", "shortId"}) {
        addFault(fault);
        ns::ErrorRef error;
        bool done = false;
        iid->tokenWithAuthorizedEntity(kSenderID, "custom", {}, [&](std::optional<std::string> t, ns::ErrorRef e) {
            EXPECT_FALSE(t) << fault;
            error = e;
            done = true;
        });
        ASSERT_TRUE(pumpUntil([&] { return done; }));
        ASSERT_TRUE(error) << fault;
        EXPECT_EQ(error->domain(), kQRVInstanceIDDomain);
        EXPECT_EQ(error->code(), kQRVInstanceIDErrorCodeUnknown);
        EXPECT_FALSE(QRVInstanceIDTokenStore::defaultStore()->tokenWithAuthorizedEntity(kSenderID, "custom")) << fault;
    }
}

TEST_F(IidServiceTest, BadArgumentsGetTheFacadesErrorCodes) {
    auto iid = QRVInstanceID::instanceID();
    const ns::Data apns{1, 2};
    struct Case {
        std::string entity, scope;
        ns::Dictionary options;
        long code;
    };
    const Case cases[] = {
        {kSenderID, "qdx", {}, kQRVInstanceIDErrorCodeMissingAPNSToken},
        {kSenderID, "QDX", {{"apns_token", apns}}, kQRVInstanceIDErrorCodeMissingAPNSServerType},
        {kSenderID, "qdx", {{"apns_token", "text"}, {"apns_sandbox", true}}, kQRVInstanceIDErrorCodeInvalidReply},
        {"", "qdx", {{"apns_token", apns}, {"apns_sandbox", true}}, kQRVInstanceIDErrorCodeInvalidAuthorizedEntity},
        {"", "*", {}, kQRVInstanceIDErrorCodeInvalidAuthorizedEntity},
        {kSenderID, "", {}, kQRVInstanceIDErrorCodeInvalidScope},
    };
    for (const Case& c : cases) {
        std::optional<long> code;
        iid->tokenWithAuthorizedEntity(c.entity, c.scope, c.options, [&](std::optional<std::string>, ns::ErrorRef e) {
            code = e ? e->code() : -1;
        });
        ASSERT_TRUE(pumpUntil([&] { return code.has_value(); }));
        EXPECT_EQ(*code, c.code) << c.entity << "/" << c.scope;
    }
    std::optional<long> deleteCode;
    iid->deleteTokenWithAuthorizedEntity(kSenderID, "", [&](ns::ErrorRef e) { deleteCode = e ? e->code() : -1; });
    ASSERT_TRUE(pumpUntil([&] { return deleteCode.has_value(); }));
    EXPECT_EQ(*deleteCode, kQRVInstanceIDErrorCodeInvalidScope);
    // Nothing was asked of the services.
    EXPECT_EQ(count("checkins") + count("registrations") + count("refused"), 0);
}
