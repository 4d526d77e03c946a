#include <gtest/gtest.h>

#include "messaging/QRVMessagingDelegate.h"
#include "messaging/QRVMessagingRemoteMessage.h"

namespace {

TEST(RemoteMessage, StartsEmptyAndACopyKeepsItsOwnAppData) {
    auto message = std::make_shared<QRVMessagingRemoteMessage>();
    EXPECT_TRUE(message->appData().empty());

    message->setAppData({{"oferta", "2x1"}, {"kdx.message_id", "m7"}});
    auto copy = QRVMessagingRemoteMessage::initWithMessage(*message);
    EXPECT_EQ(copy->appData(), message->appData());

    // Replacing the original's data leaves the copy as it was.
    message->setAppData({{"otra", 1}});
    EXPECT_EQ(copy->appData().at("oferta"), ns::Value("2x1"));
    EXPECT_EQ(copy->appData().size(), 2u);
    EXPECT_NE(copy->description().find("m7"), std::string::npos);
}

class TokenOnly : public QRVMessagingDelegate {
public:
    void messagingDidRefreshRegistrationToken(const std::shared_ptr<QRVMessaging>&, const std::string& token) override {
        tokens.push_back(token);
    }
    std::vector<std::string> tokens;
};

TEST(MessagingDelegate, TheOptionalCallsAreSafeToMakeOnADelegateWithoutThem) {
    auto delegate = std::make_shared<TokenOnly>();
    QRVMessagingDelegate& protocol = *delegate;
    auto message = std::make_shared<QRVMessagingRemoteMessage>();
    protocol.messagingDidReceiveMessage(nullptr, message);
    protocol.applicationReceivedRemoteMessage(message);
    protocol.messagingDidRefreshRegistrationToken(nullptr, "tok");
    EXPECT_EQ(delegate->tokens, std::vector<std::string>{"tok"});
}

}  // namespace
