// Rule expressions (who asks, the wildcard keys on the way, the stored
// data) and the sample namespace's rules as the database enforces them for
// two staff members on the wire.

#include <gtest/gtest.h>

#include <string>

#include "backend/database/rtdb_rules.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"
#include "rtdb_test_support.h"

namespace {

using backend::RtdbRules;
using backend::RuleAuth;
using backend::RuleContext;
using backend::RuleExpression;
using namespace rtdbtest;

const RuleAuth kAna{"ana", "ana@almavel.com.pa"};
const RuleAuth kNoEmail{"anon", ""};

FNodePtr tree(const std::string& text) { return FSnapshotUtilities::nodeFrom(ns::json::parse(text)); }

TEST(RuleExpressionTest, ExpressionsGrantOnlyWhenTheyAreTrue) {
    const FNodePtr stored = tree(R"({"cr3d": {"1": {"Email": "ana@almavel.com.pa", "Limite": 500},
                                              "2": {"Email": "luis@almavel.com.pa"}, "3": {"Limite": 1}},
                                     "staff": {"ana": true}})");
    struct Case {
        const char* expression;
        std::optional<RuleAuth> auth;
        const char* location;  // where the rule stands; $id is its last key
        bool granted;
    };
    const Case cases[] = {
        {"auth != null", kAna, "/cr3d/1", true},
        {"auth != null", std::nullopt, "/cr3d/1", false},
        {"auth == null", std::nullopt, "/cr3d/1", true},
        {"auth.uid == $id", RuleAuth{"1", ""}, "/cr3d/1", true},
        {"auth.uid == $id", kAna, "/cr3d/1", false},
        {"auth.uid == $id", std::nullopt, "/cr3d/1", false},  // a member of null
        {"auth.uid === $id", RuleAuth{"2", ""}, "/cr3d/2", true},
        {"auth.uid !== $id", RuleAuth{"2", ""}, "/cr3d/2", false},
        {"data.child('Email').val() == auth.token.email", kAna, "/cr3d/1", true},
        {"data.child('Email').val() == auth.token.email", kAna, "/cr3d/2", false},
        {"data.child('Email').val() == auth.token.email", kAna, "/cr3d/3", false},       // no "Email"
        {"data.child('Email').val() == auth.token.email", kNoEmail, "/cr3d/3", true},     // null == null
        {"auth.token.email != null && data.child('Email').val() == auth.token.email", kNoEmail, "/cr3d/3", false},
        {"data.child(\"Email\").val() == 'ana@almavel.com.pa'", std::nullopt, "/cr3d/1", true},
        {"data.child('Limite').val() >= 500", std::nullopt, "/cr3d/1", true},
        {"data.child('Limite').val() > 500", std::nullopt, "/cr3d/1", false},
        {"data.child('Email').val() > 500", std::nullopt, "/cr3d/1", false},  // text against number
        {"data.child('Email').val() < 'b'", std::nullopt, "/cr3d/1", true},
        {"data.child('Email').val() <= 'ana'", std::nullopt, "/cr3d/1", false},
        {"data.child('Email').val().endsWith('@almavel.com.pa')", std::nullopt, "/cr3d/2", true},
        {"data.child('Email').val().beginsWith('ana')", std::nullopt, "/cr3d/2", false},
        {"data.child('Email').val().contains('luis')", std::nullopt, "/cr3d/2", true},
        {"data.child('Email').val().length == 19", std::nullopt, "/cr3d/2", true},
        {"'ANA'.toLowerCase() == 'ana'", std::nullopt, "/", true},
        {"root.child('staff/' + auth.uid).exists()", kAna, "/cr3d/1", true},
        {"root.child('staff/' + auth.uid).exists()", kNoEmail, "/cr3d/1", false},
        {"root.child('staff/' + auth.uid).val() == true", kAna, "/", true},
        {"data.child('../x').exists()", kAna, "/cr3d/1", false},  // not a child path
        {"data.child('').exists()", kAna, "/cr3d/1", false},
        {"data.exists() && data.hasChildren() && data.hasChild('Limite')", std::nullopt, "/cr3d/3", true},
        {"data.hasChild('Email')", std::nullopt, "/cr3d/3", false},
        {"data.parent().child('1').child('Limite').isNumber()", std::nullopt, "/cr3d/3", true},
        {"data.child('Email').isString() && !data.child('Email').isBoolean()", std::nullopt, "/cr3d/2", true},
        {"root.parent().exists()", std::nullopt, "/", false},
        {"data.val() == null", std::nullopt, "/cr3d/9", true},
        {"data.val() != null", std::nullopt, "/cr3d/1", true},  // an object is something
        {"data == null", std::nullopt, "/cr3d/1", false},     // a snapshot is not a value
        {"1 + 2 == 3 && 'a' + 'b' == 'ab'", std::nullopt, "/", true},
        {"1 + 'a' == '1a'", std::nullopt, "/", false},
        {"!(auth == null) || false", kAna, "/", true},
        {"'x' || true", kAna, "/", false},  // not booleans
        {"!'x'", kAna, "/", false},
        {"'true'", kAna, "/", false},
        {"true", std::nullopt, "/", true},
        {"(((false)))", std::nullopt, "/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.expression) + " at " + c.location);
        std::string error;
        auto expression = RuleExpression::parse(c.expression, {"$id"}, &error);
        ASSERT_NE(expression, nullptr) << error;
        const FPath location(c.location);
        std::map<std::string, std::string> bindings;
        if (!location.isEmpty()) bindings["$id"] = *location.getBack();
        EXPECT_EQ(expression->grants(RuleContext{c.auth, stored}, location, bindings), c.granted);
    }
}

TEST(RuleExpressionTest, TextsThatAreNotExpressionsAreRefusedWithAReason) {
    std::string deep;
    for (int i = 0; i <= RuleExpression::kMaxNesting; ++i) deep += "(";
    std::string chain = "true";
    for (int i = 0; i <= RuleExpression::kMaxNesting; ++i) chain += " && true";
    for (const std::string& bad :
         {std::string("auth.uid == $other"), std::string("newData.exists()"), std::string("auth.name"),
          std::string("data.child()"), std::string("data.remove('x')"), std::string("'open"), std::string("auth !="),
          std::string("auth != null auth"), std::string("1.2.3 == 1"), std::string("a = b"), std::string("auth & x"),
          std::string(""), deep + "true", chain, std::string(RuleExpression::kMaxLength + 1, ' ') + "true"}) {
        std::string error;
        EXPECT_EQ(RuleExpression::parse(bad, {"$id"}, &error), nullptr) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(RuleExpressionTest, WildcardsBindTheKeysTheyMatchedAndOnlyRulesThatReadDataSayTheyDo) {
    std::string error;
    auto rules = RtdbRules::parse(nlohmann::json::parse(R"({"rules": {
        "shops": {"$shop": {"staff": {"$uid": {".read": "auth.uid == $uid && $shop != 'closed'"}}}}}})"),
                                  &error);
    ASSERT_TRUE(rules) << error;
    EXPECT_FALSE(rules->readsData());
    const RuleContext ana{RuleAuth{"ana", ""}, nullptr};
    EXPECT_TRUE(rules->canRead(FPath("/shops/norte/staff/ana"), ana));
    EXPECT_TRUE(rules->canRead(FPath("/shops/norte/staff/ana/turno"), ana));
    EXPECT_FALSE(rules->canRead(FPath("/shops/norte/staff/luis"), ana));
    EXPECT_FALSE(rules->canRead(FPath("/shops/closed/staff/ana"), ana));
    EXPECT_FALSE(rules->canRead(FPath("/shops/norte/staff"), ana)) << "grants below do not open the parent";

    EXPECT_FALSE(RtdbRules::parse(nlohmann::json::parse(R"({"rules": {"$a": {"$a": {}}}})"), &error));
    rules = RtdbRules::parse(nlohmann::json::parse(R"j({"rules": {"$a": {".read": "data.exists()"}}})j"), &error);
    ASSERT_TRUE(rules) << error;
    EXPECT_TRUE(rules->readsData());
}

// The sample namespace on the wire, for its staff member and a second one.
class SampleRules : public ::testing::Test {
protected:
    static constexpr const char* kKey = "AKlocal-almavel-0000000000000000000000";
    static constexpr const char* kStaff = "almavelStaff0000000000000001";
    static constexpr const char* kCashier = "almavelStaff0000000000000002";

    void SetUp() override { backend = ns::testing::Backend::start({.seed = true}); }

    std::unique_ptr<WireClient> signedIn(const std::string& email, const std::string& password) {
        auto reply =
            backend->post(std::string("/account/v1/signIn?key=") + kKey, json{{"email", email}, {"password", password}}.dump());
        EXPECT_EQ(reply.status, 200) << reply.body;
        auto client = WireClient::connect(backend->wsPort(), "v=5&ns=almavel-pa", "almavel-pa.almavel.localhost");
        client->readHandshake();
        EXPECT_EQ(client->call("auth", {{"cred", json::parse(reply.body)["idToken"]}})["s"], "ok");
        return client;
    }
    static std::string read(WireClient& client, const std::string& path) {
        const std::string status = client.call("q", {{"p", path}, {"h", ""}})["s"];
        if (status == "ok") client.call("n", {{"p", path}});
        return status;
    }
    static std::string write(WireClient& client, const std::string& path, const json& value) {
        return client.call("p", {{"p", path}, {"d", value}})["s"];
    }

    std::unique_ptr<ns::testing::Backend> backend;
};

TEST_F(SampleRules, MembersReachTheirOwnRecordsProductsStayReadableAndNothingElseIsWritable) {
    auto staff = signedIn("personal@almavel.com.pa", "Almavel2024");
    auto cashier = signedIn("caja@almavel.com.pa", "Caja2024");
    auto nobody = WireClient::connect(backend->wsPort(), "v=5&ns=almavel-pa", "almavel-pa.almavel.localhost");
    nobody->readHandshake();
    const std::string own = std::string("/us3r1nf0/") + kStaff;
    const std::string others = std::string("/us3r1nf0/") + kCashier;
    const std::string quote = std::string("/qu0t3s/users/") + kStaff + "/quote/741751003253";
    struct Case {
        WireClient* client;
        const char* what;
        std::string path;
        const char* read;
        const char* write;  // "" when not tried
    };
    const Case cases[] = {
        {staff.get(), "own profile", own, "ok", "ok"},
        {staff.get(), "another member's profile", others, "permission_denied", "permission_denied"},
        {nobody.get(), "a profile signed out", own, "permission_denied", "permission_denied"},
        {staff.get(), "own quotation", quote, "ok", "ok"},
        {cashier.get(), "another member's quotation", quote, "permission_denied", "permission_denied"},
        {staff.get(), "every quotation", "/qu0t3s/users", "permission_denied", "permission_denied"},
        {staff.get(), "own card account", "/cr3d/8-123-456", "ok", "permission_denied"},
        {staff.get(), "a field of it", "/cr3d/8-123-456/Limite", "ok", "permission_denied"},
        {staff.get(), "another member's card account", "/cr3d/8-765-4321", "permission_denied", ""},
        {cashier.get(), "the cashier's card account", "/cr3d/8-765-4321", "ok", ""},
        {staff.get(), "a missing card account", "/cr3d/1-111-111", "permission_denied", "permission_denied"},
        {staff.get(), "every card account", "/cr3d", "permission_denied", "permission_denied"},
        {staff.get(), "products", "/Productos/741751003253", "ok", "permission_denied"},
        {nobody.get(), "products signed out", "/Productos/741751003253", "permission_denied", ""},
        {staff.get(), "stock", "/d1sp01/741751003253", "ok", "permission_denied"},
        {staff.get(), "stock in transit", "/d1sp0/741751003253", "ok", ""},
        {staff.get(), "stores", "/Tiendas/T-01", "ok", "permission_denied"},
        {staff.get(), "the root", "/", "permission_denied", "permission_denied"},
        {staff.get(), "anything new", "/notas", "permission_denied", "permission_denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(read(*c.client, c.path), c.read);
        if (*c.write) {
            EXPECT_EQ(write(*c.client, c.path, json{{"x", 1}}), c.write);
        }
    }
    EXPECT_EQ(data(*backend, "/Productos/741751003253/Precio", "almavel-pa"), 89.95) << "nothing refused was stored";
    EXPECT_EQ(data(*backend, others + "/Nombre", "almavel-pa"), "Luis");
}

TEST_F(SampleRules, ACardAccountThatChangesHandsStopsReachingItsFormerOwner) {
    auto cashier = signedIn("caja@almavel.com.pa", "Caja2024");
    ASSERT_EQ(cashier->call("q", {{"p", "/cr3d/8-765-4321"}, {"h", ""}})["s"], "ok");
    setData(*backend, "/cr3d/8-765-4321/Email", "personal@almavel.com.pa", "almavel-pa");
    // The listen is cancelled before the new data would go out.
    EXPECT_EQ(cashier->nextPush(), (json{{"a", "c"}, {"b", {{"p", "/cr3d/8-765-4321"}}}}));
    EXPECT_EQ(read(*cashier, "/cr3d/8-765-4321"), "permission_denied");
}

}  // namespace
