// Sign-up, sign-in, password reset, sign-out and the saved user, against the
// real back end on loopback.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "auth/QRVAuth.h"
#include "auth_test_support.h"
#include "core/QRVLogger.h"
#include "platform/keychain.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"
#include "testing/child_process.h"


namespace {

using namespace authtest;

constexpr const char* kChildSandboxEnv = "ALMAVEL_AUTH_CHILD_SANDBOX";
constexpr const char* kChildExpectEnv = "ALMAVEL_AUTH_CHILD_EXPECT";

class AuthTest : public AuthBackendTest {};

bool keySafe(const std::string& uid) {
    if (uid.empty()) return false;
    for (char c : std::string("/.#$[]")) {
        if (uid.find(c) != std::string::npos) return false;
    }
    return true;
}

TEST_F(AuthTest, SignUpSignsTheNewUserInOnTheMainQueueAndCreatesTheAccount) {
    StateRecorder states;
    auto result = signUp("ana.perez@almavel.com.pa", "secreto1");
    ASSERT_EQ(result.error, nullptr) << result.error->description();
    ASSERT_TRUE(result.user);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_TRUE(keySafe(result.user->uid())) << result.user->uid();
    EXPECT_EQ(result.user->email(), "ana.perez@almavel.com.pa");
    EXPECT_EQ(auth_->currentUser(), result.user);

    auto account = backend_->get("/__admin/auth/users?email=ana.perez%40almavel.com.pa");
    ASSERT_EQ(account.status, 200) << account.body;
    EXPECT_EQ(json::parse(account.body)["uid"], result.user->uid());

    // Announced with the auth object as sender and the new token, on the main thread.
    ASSERT_TRUE(states.waitForCount(1));
    auto seen = states.seen().front();
    EXPECT_EQ(seen.sender, std::static_pointer_cast<ns::Object>(auth_));
    ASSERT_TRUE(seen.token.has_value());
    EXPECT_TRUE(seen.onMainThread);
    EXPECT_EQ(lookup(*seen.token).status, 200);

    // Signing in again later gives the same account.
    ASSERT_TRUE(auth_->signOut());
    auto again = signIn("ANA.PEREZ@almavel.com.pa", "secreto1");
    ASSERT_TRUE(again.user) << again.error->description();
    EXPECT_EQ(again.user->uid(), result.user->uid());
}

TEST_F(AuthTest, EveryRefusalHasItsOwnCodeAndAReadableDescription) {
    ASSERT_TRUE(signUp("caja@almavel.com.pa", "correcta").user);
    ASSERT_TRUE(auth_->signOut());
    admin("/__admin/auth/users", json{{"email", "baja@almavel.com.pa"}, {"password", "correcta"}, {"disabled", true}});

    struct Case {
        const char* what;
        ns::ErrorRef error;
        long expected;
    };
    std::vector<Case> cases{
        {"wrong password", signIn("caja@almavel.com.pa", "incorrecta").error, QRVAuthErrorCodeWrongPassword},
        {"unknown user", signIn("nadie@almavel.com.pa", "cualquiera").error, QRVAuthErrorCodeUserNotFound},
        {"disabled user", signIn("baja@almavel.com.pa", "correcta").error, QRVAuthErrorCodeUserDisabled},
        {"used address", signUp("caja@almavel.com.pa", "otraclave").error, QRVAuthErrorCodeEmailAlreadyInUse},
        {"invalid address", signUp("no es un correo", "otraclave").error, QRVAuthErrorCodeInvalidEmail},
        {"weak password", signUp("nueva@almavel.com.pa", "abc").error, QRVAuthErrorCodeWeakPassword},
        {"reset of unknown address", sendReset("nadie@almavel.com.pa"), QRVAuthErrorCodeUserNotFound},
    };
    std::set<long> codes;
    std::set<std::string> descriptions;
    for (const auto& c : cases) {
        ASSERT_TRUE(c.error) << c.what;
        EXPECT_EQ(c.error->domain(), "com.quorvane.auth") << c.what;
        EXPECT_EQ(c.error->code(), c.expected) << c.what << ": " << c.error->description();
        EXPECT_NE(c.error->code(), 0);
        EXPECT_NE(c.error->code(), 1);
        EXPECT_FALSE(c.error->localizedDescription().empty()) << c.what;
        EXPECT_EQ(c.error->localizedDescription().find("The operation couldn"), std::string::npos) << c.what;
        EXPECT_FALSE(c.error->localizedFailureReason().empty()) << c.what;
        codes.insert(c.error->code());
        descriptions.insert(c.error->localizedDescription());
    }
    // Unknown user and unknown reset address are the same refusal.
    EXPECT_EQ(codes.size(), cases.size() - 1);
    EXPECT_EQ(descriptions.size(), cases.size() - 1);
    // The server's own reason comes through for a weak password.
    EXPECT_NE(cases[5].error->localizedFailureReason().find("6 characters"), std::string::npos);
    EXPECT_EQ(auth_->currentUser(), nullptr);
}

TEST_F(AuthTest, EmptyPasswordIsRefusedWithoutARequest) {
    // Every request now reaches the recorder, which keeps them.
    QRVAuthRPC::setPathPrefixForTesting("/__recorder");
    backend_->clearRecordedRequests();

    auto signUpResult = signUp("vacia@almavel.com.pa", "");
    ASSERT_TRUE(signUpResult.error);
    EXPECT_TRUE(signUpResult.onMainThread);
    EXPECT_EQ(signUpResult.error->code(), QRVAuthErrorCodeWeakPassword);
    EXPECT_EQ(signUpResult.error->localizedFailureReason(), "Missing Password");
    auto nilPassword = waitForUser([&](auto done) { auth_->createUserWithEmail("vacia@almavel.com.pa", std::nullopt, done); });
    EXPECT_EQ(nilPassword.error->localizedFailureReason(), "Missing Password");
    EXPECT_EQ(signIn("vacia@almavel.com.pa", "").error->code(), QRVAuthErrorCodeWrongPassword);
    EXPECT_EQ(signIn("", "algo123").error->code(), QRVAuthErrorCodeInvalidEmail);
    EXPECT_TRUE(backend_->recordedRequests().empty());

    // A request that does go out is seen there, with the key and the body.
    backend_->setRecorderResponse({.status = 400, .body = R"({"error":{"code":"INVALID_PASSWORD","message":"no"}})"});
    EXPECT_EQ(signIn("vacia@almavel.com.pa", "algo123").error->code(), QRVAuthErrorCodeWrongPassword);
    auto seen = backend_->recordedRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/__recorder/account/v1/signIn");
    EXPECT_EQ(seen[0].query, std::string("key=") + kAPIKey);
    EXPECT_TRUE(seen[0].tls);
    EXPECT_EQ(json::parse(seen[0].body), (json{{"email", "vacia@almavel.com.pa"}, {"password", "algo123"}}));
}

TEST_F(AuthTest, StoppedBackEndGivesANetworkErrorWithTheTransportError) {
    backend_->stop();
    auto result = signIn("caja@almavel.com.pa", "correcta");
    ASSERT_TRUE(result.error);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_EQ(result.error->code(), QRVAuthErrorCodeNetworkError);
    auto underlying = result.error->underlyingError();
    ASSERT_TRUE(underlying);
    EXPECT_EQ(underlying->domain(), ns::kURLErrorDomain);
    EXPECT_EQ(underlying->code(), ns::kURLErrorCannotConnectToHost);
    EXPECT_EQ(sendReset("caja@almavel.com.pa")->code(), QRVAuthErrorCodeNetworkError);
}

TEST_F(AuthTest, MalformedAnswersAreInternalErrors) {
    QRVAuthRPC::setPathPrefixForTesting("/__recorder");
    struct Case {
        int status;
        std::string body;
    };
    const std::vector<Case> cases{
        {200, "not json at all"},
        {200, "[1, 2, 3]"},
        {200, R"({"uid": "abc"})"},
        {200, R"({"uid": "a/b", "idToken": "t", "refreshToken": "r", "expiresIn": 3600})"},
        {200, R"({"uid": "abc", "idToken": "t", "refreshToken": "r", "expiresIn": "soon"})"},
        {500, ""},
        {500, R"({"error": {"code": "INTERNAL", "message": "database on fire"}})"},
        {502, "<html>bad gateway</html>"},
        {400, R"({"error": {"code": "SOMETHING_NEW", "message": "?"}})"},
        {400, R"({"error": "just text"})"},
    };
    for (const auto& c : cases) {
        backend_->setRecorderResponse({.status = c.status, .body = c.body});
        auto result = signIn("caja@almavel.com.pa", "correcta");
        ASSERT_TRUE(result.error) << c.status << " " << c.body;
        EXPECT_EQ(result.error->code(), QRVAuthErrorCodeInternalError) << c.status << " " << c.body;
        EXPECT_FALSE(result.error->localizedFailureReason().empty()) << c.body;
        EXPECT_EQ(result.user, nullptr);
    }
    EXPECT_EQ(auth_->currentUser(), nullptr);
    // A real answer after all that still works.
    QRVAuthRPC::setPathPrefixForTesting("");
    EXPECT_TRUE(signUp("despues@almavel.com.pa", "secreto1").user);
}

TEST_F(AuthTest, PasswordResetAppendsToTheOutbox) {
    ASSERT_TRUE(signUp("olvido@almavel.com.pa", "secreto1").user);
    EXPECT_EQ(sendReset("olvido@almavel.com.pa"), nullptr);
    auto outbox = json::parse(backend_->get("/__admin/auth/outbox").body);
    ASSERT_EQ(outbox["messages"].size(), 1u);
    EXPECT_EQ(outbox["messages"][0]["email"], "olvido@almavel.com.pa");
    EXPECT_EQ(outbox["messages"][0]["kind"], "passwordReset");

    EXPECT_EQ(sendReset("")->code(), QRVAuthErrorCodeInvalidEmail);
    try {
        auth_->sendPasswordResetWithEmail(std::nullopt, [](ns::ErrorRef) { ADD_FAILURE() << "no completion expected"; });
        ADD_FAILURE() << "a nil e-mail must raise";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), ns::kInvalidArgumentException);
    }
}

TEST_F(AuthTest, SignOutRemovesTheSavedCopyAndAKeychainFailureKeepsTheUser) {
    StateRecorder states;
    // Nobody signed in: nothing to do, nothing announced.
    ns::ErrorRef error;
    EXPECT_TRUE(auth_->signOut(&error));
    EXPECT_EQ(error, nullptr);

    ASSERT_TRUE(signUp("salida@almavel.com.pa", "secreto1").user);
    ASSERT_TRUE(states.waitForCount(1));
    ns::Dictionary query{{ns::kSecClass, ns::kSecClassGenericPassword},
                         {ns::kSecAttrService, kQRVAuthKeychainService},
                         {ns::kSecAttrAccount, app_->name()}};
    ASSERT_EQ(ns::SecItemCopyMatching(query, nullptr), ns::errSecSuccess);

    auto keychain = ns::Keychain::shared();
    keychain->injectFailure(ns::errSecInteractionNotAllowed, -1, ns::Keychain::Operation::Delete);
    EXPECT_FALSE(auth_->signOut(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "com.quorvane.auth");
    EXPECT_EQ(error->code(), QRVAuthErrorCodeKeychainError);
    EXPECT_FALSE(error->localizedDescription().empty());
    EXPECT_TRUE(auth_->currentUser());
    keychain->clearInjectedFailures();
    EXPECT_EQ(ns::SecItemCopyMatching(query, nullptr), ns::errSecSuccess);

    error = nullptr;
    EXPECT_TRUE(auth_->signOut(&error));
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(auth_->currentUser(), nullptr);
    EXPECT_EQ(ns::SecItemCopyMatching(query, nullptr), ns::errSecItemNotFound);
    ASSERT_TRUE(states.waitForCount(2));
    EXPECT_FALSE(states.seen()[1].token.has_value());

    // A sign-in whose user cannot be saved fails and leaves nobody signed in.
    keychain->injectFailure(ns::errSecIO, -1, ns::Keychain::Operation::Add);
    auto unsaved = signIn("salida@almavel.com.pa", "secreto1");
    ASSERT_TRUE(unsaved.error);
    EXPECT_EQ(unsaved.error->code(), QRVAuthErrorCodeKeychainError);
    EXPECT_EQ(auth_->currentUser(), nullptr);
}

// Runs this test binary again, as a second process over `sandboxRoot`, with
// only the child test selected. Returns its exit status.
int runChild(const std::string& sandboxRoot, const std::string& expectation) {
    return ns::testing::runThisTestAgain("AuthSecondProcess.RestoresTheSavedUser",
                                         {{kChildSandboxEnv, sandboxRoot}, {kChildExpectEnv, expectation}});
}

TEST_F(AuthTest, ASecondProcessRestoresTheUserWithTheBackEndDown) {
    auto result = signUp("turno@almavel.com.pa", "secreto1");
    ASSERT_TRUE(result.user);
    backend_->stop();

    // The child leaves a mark once its checks have run (a skipped child also exits 0).
    const std::filesystem::path mark = sandbox_.root() + "/child-ran";
    EXPECT_EQ(runChild(sandbox_.root(), result.user->uid() + " turno@almavel.com.pa"), 0);
    EXPECT_TRUE(std::filesystem::remove(mark));

    // Signed out here: the next process finds nobody.
    ASSERT_TRUE(auth_->signOut());
    EXPECT_EQ(runChild(sandbox_.root(), "-"), 0);
    EXPECT_TRUE(std::filesystem::remove(mark));
}

// The child half of the test above: skipped unless started by it.
TEST(AuthSecondProcess, RestoresTheSavedUser) {
    const char* root = std::getenv(kChildSandboxEnv);
    const char* expect = std::getenv(kChildExpectEnv);
    if (!root || !expect) GTEST_SKIP() << "runs only as the second process of another test";
    auto previous = ns::Sandbox::setCurrent(ns::Sandbox::open(root));
    StateRecorder states;
    QRVApp::resetForTesting();
    QRVAuth::resetForTesting();
    QRVApp::configure(std::make_shared<QRVOptions>(testOptions()));
    auto auth = QRVAuth::auth();
    auto user = auth->currentUser();

    std::string expectation = expect;
    if (expectation == "-") {
        EXPECT_EQ(user, nullptr);
    } else {
        const auto space = expectation.find(' ');
        ASSERT_TRUE(user);
        EXPECT_EQ(user->uid(), expectation.substr(0, space));
        EXPECT_EQ(user->email(), expectation.substr(space + 1));
        // Announced once, with the saved token, which the hook hands out
        // without the (stopped) back end.
        ASSERT_TRUE(states.waitForCount(1));
        auto token = getToken(QRVApp::defaultApp(), false);
        EXPECT_EQ(token.error, nullptr);
        ASSERT_TRUE(token.token.has_value());
        EXPECT_EQ(states.seen()[0].token, token.token);
        EXPECT_EQ(states.seen()[0].sender, std::static_pointer_cast<ns::Object>(auth));
    }
    ns::RunLoop::main().runOnce();
    EXPECT_EQ(states.count(), expectation == "-" ? 0u : 1u);
    QRVAuth::resetForTesting();
    QRVApp::resetForTesting();
    ns::Sandbox::setCurrent(previous);
    if (!HasFailure()) std::ofstream(std::string(root) + "/child-ran") << "ok\n";
}

TEST_F(AuthTest, AuthObjectsPerAppAndLogLines) {
    // The default app's object is the same on every call and knows its app.
    EXPECT_EQ(QRVAuth::auth(), auth_);
    EXPECT_EQ(auth_->app(), app_);
    EXPECT_EQ(ns::Runtime::send(*auth_, "app").asObjectOf<QRVApp>(), app_);

    QRVSetLoggerLevel(QRVLoggerLevelDebug);
    auto capture = ns::SystemLog::capture();
    QRVApp::configure("sucursal", std::make_shared<QRVOptions>(testOptions()));
    auto branch = QRVApp::appNamed("sucursal");
    auto branchAuth = QRVAuth::authWithApp(branch);
    EXPECT_NE(branchAuth, auth_);
    EXPECT_EQ(branchAuth->app(), branch);
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[Quorvane/Auth][I-AUT000001] Creating the auth object of app sucursal."));
    QRVLoggerResetForTesting();

    // Without a default app, +auth raises.
    QRVApp::resetForTesting();
    try {
        QRVAuth::auth();
        ADD_FAILURE() << "expected an exception";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), ns::kInternalInconsistencyException);
    }
}

}  // namespace
