// Reliable upstream messages against the local back end's channel server:
// stored before they leave, confirmed by the server's selective
// acknowledgement (row gone, success notification), sent again at the next
// login when they never left or were never confirmed, and reported with error 1001 when their
// time to live ran out first.

#include <gtest/gtest.h>

#include "checked_in_device.h"

#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "instanceid/QRVInstanceID.h"
#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingReceiver.h"
#include "messaging/QRVMessagingRegistrar.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "platform/clock.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "platform/runloop.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

using messagingtest::kSenderID;
using messagingtest::pumpUntil;

class UpstreamMessages : public messagingtest::CheckedInDevice {
protected:
    void SetUp() override {
        CheckedInDevice::SetUp();
        if (HasFatalFailure()) return;
        messaging_ = QRVMessaging::messaging();
        ASSERT_TRUE(pumpUntil([&] { return messaging_->isNetworkAvailable(); }));
        auto& center = ns::NotificationCenter::defaultCenter();
        observers_.push_back(center.addObserver(QRVMessagingSendSuccessNotification, nullptr, nullptr,
                                                [this](const ns::Notification& note) {
                                                    confirmed_.push_back(
                                                        note.userInfo.at(QRVMessagingSendMessageIDKey).asString());
                                                }));
        observers_.push_back(center.addObserver(
            QRVMessagingSendErrorNotification, nullptr, nullptr, [this](const ns::Notification& note) {
                auto error = note.userInfo.at(QRVMessagingSendErrorKey).asObjectOf<ns::Error>();
                failed_.emplace_back(note.userInfo.at(QRVMessagingSendMessageIDKey).asString(), error ? error->code() : 0);
            }));
    }
    void TearDown() override {
        for (auto token : observers_) ns::NotificationCenter::defaultCenter().removeObserver(token);
        messaging_.reset();
        CheckedInDevice::TearDown();
    }

    void connect() { connectChannel(*messaging_); }
    void send(const std::string& messageID, int64_t ttl) {
        messaging_->sendMessage({{"pedido", messageID}}, std::string(kSenderID) + "@kdx.ondrix.com", messageID, ttl);
    }
    // The message ids that reached the server's upstream sink, in order.
    std::vector<std::string> arrived() {
        std::vector<std::string> ids;
        for (const auto& m : backend_->channelUpstream()) ids.push_back(m["message"].value("id", std::string()));
        return ids;
    }
    size_t stored() {
        size_t count = 0;
        messaging_->rmq2Manager()->scanWithRmqMessageHandler([&](int64_t, int8_t, const ns::Data&) { ++count; }, {});
        return count;
    }

    std::shared_ptr<QRVMessaging> messaging_;
    std::vector<ns::ObserverToken> observers_;
    std::vector<std::string> confirmed_;
    std::vector<std::pair<std::string, long>> failed_;
};

TEST_F(UpstreamMessages, AreConfirmedResentAfterAReconnectOrReportedExpired) {
    connect();
    send("u1", 600);
    ASSERT_TRUE(pumpUntil([&] { return !confirmed_.empty(); })) << backend_->log();
    EXPECT_EQ(confirmed_, (std::vector<std::string>{"u1"}));
    EXPECT_EQ(arrived(), (std::vector<std::string>{"u1"}));
    EXPECT_EQ(stored(), 0u) << "the selective acknowledgement removed the row";

    // Sent while the channel is down, two messages wait in the store.
    messaging_->disconnect();
    send("u2", 600);
    send("u3", 60);
    EXPECT_EQ(stored(), 2u);
    clock_->advance(61);

    // Back on the channel, the login alone sends u2 again and drops u3,
    // whose time to live has run out: nothing new has to be sent first.
    connect();
    ASSERT_TRUE(pumpUntil([&] { return confirmed_.size() == 2 && stored() == 0; })) << backend_->log();
    EXPECT_EQ(arrived(), (std::vector<std::string>{"u1", "u2"}));
    EXPECT_EQ(confirmed_, (std::vector<std::string>{"u1", "u2"}));
    ASSERT_TRUE(pumpUntil([&] { return !failed_.empty(); }));
    EXPECT_EQ(failed_, (std::vector<std::pair<std::string, long>>{{"u3", 1001}}));

    // A message the server never confirmed (its acknowledgement held, then
    // the channel dropped) goes again at the next login.
    const std::string device = messaging_->client()->registrar()->deviceAuthID();
    backend_->channelFault("holdAcks", device);
    send("u4", 600);
    ASSERT_TRUE(pumpUntil([&] { return arrived().size() == 3; })) << backend_->log();
    EXPECT_EQ(stored(), 1u);
    messaging_->disconnect();
    backend_->channelFault("releaseAcks", device);
    connect();
    ASSERT_TRUE(pumpUntil([&] { return confirmed_.size() == 3 && stored() == 0; })) << backend_->log();
    EXPECT_EQ(confirmed_.back(), "u4");
}

}  // namespace
