// Waits and retries of instance identity, all on the virtual clock: the
// default token's retries, the phone-registration back-off, the check-in
// back-off and the wait on a running check-in.

#include <gtest/gtest.h>

#include "iid_test_support.h"
#include "instanceid/QRVInstanceIDCheckin.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "platform/crypto.h"

using namespace iidtest;

TEST_F(IidBackendTest, TheDefaultTokenRetriesAfter12_24_38And56SecondsAndEachFetchHasItsOwnRetries) {
    NotificationLog failures(kQRVInstanceIDDefaultKDXTokenFailNotification);
    addFault("shortId", 5);
    configure();
    auto iid = QRVInstanceID::instanceID();
    // Each failure is announced once the client has handled it (and set its retry).
    ASSERT_TRUE(pumpUntil([&] { return failures.posts.size() == 1; }));
    size_t replies = 1;
    for (double interval : {12.0, 24.0, 38.0, 56.0}) {
        advance(interval - 0.5);
        EXPECT_EQ(faultReplies(), replies) << "retried before " << interval << " s";
        advance(0.5);
        ASSERT_TRUE(pumpUntil([&] { return failures.posts.size() == replies + 1; })) << "no retry after " << interval << " s";
        ++replies;
    }
    EXPECT_EQ(faultReplies(), 5u);
    // Five failures end the fetch; nothing more is asked, nothing is cached.
    advance(2000);
    EXPECT_EQ(faultReplies(), 5u);
    EXPECT_FALSE(iid->defaultQDXToken());
    EXPECT_FALSE(QRVInstanceIDTokenStore::defaultStore()->tokenWithAuthorizedEntity(kSenderID, "*"));
    EXPECT_EQ(failures.posts.size(), 5u);

    // A later fetch gets its own retries, and a handler given while it runs
    // is answered with its result.
    addFault("shortId", 1);
    std::vector<std::optional<std::string>> answers;
    iid->defaultTokenWithHandler([&](std::optional<std::string> t, ns::ErrorRef) { answers.push_back(t); });
    iid->defaultTokenWithHandler([&](std::optional<std::string> t, ns::ErrorRef) { answers.push_back(t); });
    ASSERT_TRUE(pumpUntil([&] { return failures.posts.size() == 6; }));
    EXPECT_TRUE(answers.empty());
    advance(12);
    ASSERT_TRUE(pumpUntil([&] { return answers.size() == 2; }));
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_EQ(count("registrations"), 1);
}

TEST_F(IidBackendTest, APhoneRegistrationErrorIsRetriedAfter1_2And4Seconds) {
    addFault("phoneRegistrationError", 3);
    const uint64_t scheduledBefore = QRVInstanceIDRegistrationClient::scheduledPhoneRegistrationRetries();
    configure();
    auto iid = QRVInstanceID::instanceID();
    ASSERT_TRUE(pumpUntil([&] { return faultReplies() == 1; }));
    size_t replies = 1;
    for (double wait : {1.0, 2.0, 4.0}) {
        // The client sets its retry when the reply reaches it, a moment
        // after the service logged it: the clock moves only once it has.
        ASSERT_TRUE(pumpUntil([&] {
            return QRVInstanceIDRegistrationClient::scheduledPhoneRegistrationRetries() == scheduledBefore + replies;
        }));
        advance(wait - 0.25);
        EXPECT_EQ(count("registrations") + int64_t(faultReplies()), int64_t(replies));
        advance(0.25);
        ASSERT_TRUE(pumpUntil([&] { return count("registrations") + int64_t(faultReplies()) == int64_t(replies + 1); }));
        ++replies;
    }
    ASSERT_TRUE(pumpUntil([&] { return iid->defaultQDXToken().has_value(); }));
    EXPECT_EQ(count("registrations"), 1);
}

TEST_F(IidBackendTest, FailedCheckinsAreRetriedAfter2_4_8And16SecondsAndTheBackOffEndsWithASuccess) {
    ASSERT_TRUE(QRVInstanceIDStore::createApplicationSupportSubDirectory(kQRVInstanceIDApplicationSupportSubDirectory));
    auto auth = std::make_shared<QRVInstanceIDAuthService>(QRVInstanceIDStore::defaultStore());
    addFault("checkinRefuse", 4);
    auth->scheduleCheckin(true);
    ASSERT_TRUE(pumpUntil([&] { return count("faults") == 1 && !auth->isCheckinInProgress(); }));
    int64_t attempts = 1;
    for (double interval : {2.0, 4.0, 8.0, 16.0}) {
        settle();
        advance(interval - 0.5);
        EXPECT_EQ(count("faults") + count("checkins"), attempts) << "retried before " << interval << " s";
        advance(0.5);
        ASSERT_TRUE(pumpUntil([&] { return count("faults") + count("checkins") == attempts + 1 && !auth->isCheckinInProgress(); }));
        ++attempts;
    }
    ASSERT_TRUE(pumpUntil([&] { return auth->hasValidCheckinInfo(); }));
    EXPECT_EQ(count("checkins"), 1);
    EXPECT_EQ(auth->checkinRetryCount(), 0);
    // A valid record is handed over at once.
    QRVInstanceIDCheckinPreferencesPtr answered;
    auth->fetchCheckinInfoWithHandler([&](QRVInstanceIDCheckinPreferencesPtr p, ns::ErrorRef) { answered = p; });
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->deviceID(), auth->checkinPreferences()->deviceID());
}

TEST_F(IidBackendTest, EachRequestWaitsTwentyOneTimesForARunningCheckin) {
    std::vector<ns::DataTaskCompletion> held;
    QRVInstanceIDCheckinService::setCheckinTestBlock(
        [&](const ns::URLRequest&, ns::DataTaskCompletion respond) { held.push_back(std::move(respond)); });
    configure();
    auto iid = QRVInstanceID::instanceID();
    ASSERT_EQ(held.size(), 1u);

    ns::ErrorRef firstError;
    bool firstDone = false;
    iid->fetchCheckinInfoWithHandler([&](QRVInstanceIDCheckinPreferencesPtr p, ns::ErrorRef e) {
        firstDone = true;
        firstError = e;
    });
    advance(41);
    EXPECT_FALSE(firstDone);
    advance(1);
    ASSERT_TRUE(firstDone);
    ASSERT_TRUE(firstError);
    EXPECT_EQ(firstError->code(), kQRVInstanceIDErrorCodeMissingCheckin);
    EXPECT_EQ(firstError->userInfo().at("msg"), ns::Value("Missing device credentials. Retry later."));

    // A later request waits again instead of failing at once, and gets the
    // record once the check-in answers.
    QRVInstanceIDCheckinPreferencesPtr second;
    bool secondDone = false;
    iid->fetchCheckinInfoWithHandler([&](QRVInstanceIDCheckinPreferencesPtr p, ns::ErrorRef) {
        secondDone = true;
        second = p;
    });
    advance(10);
    EXPECT_FALSE(secondDone);
    held[0](nullptr, ns::crypto::toData(R"({"verdos_id": 9223372036854775807, "security_token": 42, "time_msec": 1700000000000})"), nullptr);
    advance(2);
    ASSERT_TRUE(secondDone);
    ASSERT_TRUE(second);
    // 64-bit ids stay exact.
    EXPECT_EQ(second->deviceID(), "9223372036854775807");
    QRVInstanceIDCheckinService::setCheckinTestBlock(nullptr);
}
