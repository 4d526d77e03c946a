// What messaging reaches of instance identity by class and selector names:
// the check-in record and token requests, with real credentials from the
// local check-in service.

#include <gtest/gtest.h>

#include "iid_test_support.h"
#include "platform/block_object.h"
#include "platform/runtime.h"

using namespace iidtest;

namespace {

ns::Value send(const ns::ObjectPtr& object, std::string_view selector, const std::vector<ns::Value>& args = {}) {
    const ns::Class* cls = ns::Runtime::lookUpClass(object->className());
    EXPECT_TRUE(cls && cls->instanceRespondsTo(selector)) << selector;
    return ns::Runtime::send(*object, selector, args);
}

}  // namespace

TEST_F(IidBackendTest, MessagingReadsTheCheckinRecordAndAsksForTokensByName) {
    const std::string token = launchAndWaitForDefaultToken();
    const ns::ObjectPtr instance = ns::Runtime::sendClass("QRVInstanceID", "instanceID").asObject();
    ASSERT_NE(instance, nullptr);

    const ns::Value record = send(instance, "cachedCheckinPreferences");
    ASSERT_TRUE(record.isObject());
    auto preferences = QRVInstanceID::instanceID()->cachedCheckinPreferences();
    EXPECT_EQ(send(record.asObject(), "deviceID"), ns::Value(preferences->deviceID()));
    EXPECT_EQ(send(record.asObject(), "secretToken"), ns::Value(preferences->secretToken()));
    EXPECT_EQ(send(record.asObject(), "versionInfo"), ns::Value(preferences->versionInfo));
    EXPECT_EQ(send(record.asObject(), "hasValidCheckinInfo"), ns::Value(true));

    std::optional<ns::Value> answer;
    auto handler = ns::BlockObject::makeVoid([&](const std::vector<ns::Value>& args) { answer = args.at(0); });
    send(instance, "tokenWithAuthorizedEntity:scope:options:handler:",
         {ns::Value(kSenderID), ns::Value("*"), ns::Value(ns::Dictionary()), ns::Value(handler)});
    ASSERT_TRUE(pumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, ns::Value(token));

    bool deleted = false;
    auto deleteHandler = ns::BlockObject::makeVoid([&](const std::vector<ns::Value>& args) {
        deleted = args.at(0).isNull();
    });
    send(instance, "deleteTokenWithAuthorizedEntity:scope:handler:",
         {ns::Value(kSenderID), ns::Value("*"), ns::Value(deleteHandler)});
    ASSERT_TRUE(pumpUntil([&] { return deleted; }));
}
