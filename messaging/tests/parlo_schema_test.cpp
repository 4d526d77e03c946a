// The channel's schema as libprotobuf encodes it: empty messages, bytes
// missing a required field, field numbers that jump, and enumeration values
// outside the list.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include "messaging/Parlo.h"

namespace {

using google::protobuf::Message;

// Each message the channel builds, missing one required field at a time.
struct RequiredCase {
    const char* name;
    std::function<std::unique_ptr<Message>()> whole;
    std::vector<std::function<void(Message&)>> clearOne;
};

TEST(ParloSchemaTest, MessagesWithoutFieldsEncodeToNothing) {
    ParloVerifyRuntimeVersion();
    EXPECT_EQ(ParloClose().SerializeAsString(), "");
    EXPECT_EQ(ParloStreamAck().SerializeAsString(), "");
    EXPECT_TRUE(ParloClose().IsInitialized());
    EXPECT_EQ(ParloParloCoreRoot::descriptor()->package(), "mobileparlo");
    EXPECT_EQ(ParloParloExtensionsRoot::descriptor()->package(), "mobileparlo");
    EXPECT_NE(ParloParloCoreRoot::descriptor(), ParloParloExtensionsRoot::descriptor());
}

TEST(ParloSchemaTest, BytesMissingARequiredFieldAreReadOnlyAsAPartialMessage) {
    const std::vector<RequiredCase> cases = {
        {"LoginRequest",
         [] {
             auto m = std::make_unique<ParloLoginRequest>();
             m->set_id("ios-2.0.0");
             m->set_domain("mcs.ondrix.com");
             m->set_user("1");
             m->set_resource("1");
             m->set_auth_token("s");
             return m;
         },
         {[](Message& m) { static_cast<ParloLoginRequest&>(m).clear_id(); },
          [](Message& m) { static_cast<ParloLoginRequest&>(m).clear_domain(); },
          [](Message& m) { static_cast<ParloLoginRequest&>(m).clear_user(); },
          [](Message& m) { static_cast<ParloLoginRequest&>(m).clear_resource(); },
          [](Message& m) { static_cast<ParloLoginRequest&>(m).clear_auth_token(); }}},
        {"DataMessageStanza",
         [] {
             auto m = std::make_unique<ParloDataMessageStanza>();
             m->set_from("f");
             m->set_category("c");
             return m;
         },
         {[](Message& m) { static_cast<ParloDataMessageStanza&>(m).clear_from(); },
          [](Message& m) { static_cast<ParloDataMessageStanza&>(m).clear_category(); }}},
        {"IqStanza",
         [] {
             auto m = std::make_unique<ParloIqStanza>();
             m->set_type(mobileparlo::IqStanza::SET);
             m->set_id("");
             return m;
         },
         {[](Message& m) { static_cast<ParloIqStanza&>(m).clear_type(); },
          [](Message& m) { static_cast<ParloIqStanza&>(m).clear_id(); }}},
        {"Setting",
         [] {
             auto m = std::make_unique<ParloSetting>();
             m->set_name("new_vc");
             m->set_value("1");
             return m;
         },
         {[](Message& m) { static_cast<ParloSetting&>(m).clear_name(); },
          [](Message& m) { static_cast<ParloSetting&>(m).clear_value(); }}},
        {"AppData",
         [] {
             auto m = std::make_unique<ParloAppData>();
             m->set_key("k");
             m->set_value("v");
             return m;
         },
         {[](Message& m) { static_cast<ParloAppData&>(m).clear_key(); },
          [](Message& m) { static_cast<ParloAppData&>(m).clear_value(); }}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string whole = c.whole()->SerializeAsString();
        EXPECT_TRUE(c.whole()->ParseFromString(whole));
        for (size_t i = 0; i < c.clearOne.size(); ++i) {
            SCOPED_TRACE(i);
            auto m = c.whole();
            c.clearOne[i](*m);
            const std::string missing = m->SerializePartialAsString();
            ASSERT_NE(missing, whole);
            // A strict reader (the back end's) refuses the bytes; a reader that
            // allows partial messages, as the client does, reads every field
            // that is there.
            EXPECT_FALSE(c.whole()->ParseFromString(missing));
            auto read = c.whole();
            ASSERT_TRUE(read->ParsePartialFromString(missing));
            EXPECT_EQ(read->SerializePartialAsString(), missing);
        }
    }
}

// Field numbers are the wire's, not positions: ClientEvent jumps from 1 to
// 100, 200-204 and 300, whose keys take two bytes.
TEST(ParloSchemaTest, FieldNumbersAreKeptOnTheWire) {
    ParloClientEvent event;
    event.set_type(mobileparlo::ClientEvent::SUCCESSFUL_CONNECTION);
    event.set_number_discarded_events(7);
    event.set_time_connection_established_ms(9);
    const std::string bytes = event.SerializeAsString();
    using google::protobuf::internal::WireFormatLite;
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()), int(bytes.size()));
    std::vector<int> numbers;
    while (const uint32_t tag = in.ReadTag()) {
        numbers.push_back(WireFormatLite::GetTagFieldNumber(tag));
        uint64_t value = 0;
        ASSERT_TRUE(in.ReadVarint64(&value));
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 100, 300}));

    // The group inside SharedStatus is field 6 with its own fields 7 and 8.
    ParloSharedStatus status;
    auto* list = status.add_statuslist();
    list->set_show(mobileparlo::SharedStatus::DND);
    list->add_status("busy");
    ParloSharedStatus back;
    ASSERT_TRUE(back.ParseFromString(status.SerializeAsString()));
    ASSERT_EQ(back.statuslist_size(), 1);
    EXPECT_EQ(back.statuslist(0).status(0), "busy");
    EXPECT_EQ(uint8_t(status.SerializeAsString()[0]), (6 << 3) | 3);  // start-group key
}

TEST(ParloSchemaTest, UnlistedEnumerationValuesAreNotValues) {
    EXPECT_FALSE(mobileparlo::LoginRequest_AuthService_IsValid(3));
    EXPECT_TRUE(mobileparlo::LoginRequest_AuthService_IsValid(2));
    // auth_service (16) = 3 on the wire does not become the field's value.
    const std::string bytes = {char(16 << 3 | 0) , char(0x01), char(3)};
    ParloLoginRequest request;
    ASSERT_TRUE(request.ParsePartialFromString(bytes));
    EXPECT_FALSE(request.has_auth_service());
    EXPECT_EQ(request.auth_service(), mobileparlo::LoginRequest::MAIL);
    // Unset fields read as their type's zero.
    EXPECT_EQ(request.account_id(), 0);
    EXPECT_EQ(request.id(), "");
    EXPECT_FALSE(request.use_rmq2());
}

}  // namespace
