// The account store, the ID-token signer and the input rules of the account
// service, without a running server.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <atomic>
#include <thread>

#include "backend/accounts/accounts.h"
#include "backend/core/http_util.h"
#include "backend/accounts/tokens.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "almavel-auth-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string everythingIn(const fs::path& dir) {
    std::string all;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) all += backend::readFile(entry.path()).value_or("");
    }
    return all;
}

TEST(AuthRulesTest, EmailAndPasswordRules) {
    for (const char* good : {"a@b.co", "personal@almavel.com.pa", "x.y+z@sub.example.org", "ñandú@correo.pa"}) {
        EXPECT_TRUE(backend::isValidEmail(good)) << good;
    }
    for (const char* bad : {"", "plain", "@b.co", "a@", "a@b", "a@.co", "a@b.", "a@@b.co", "a b@c.co", "a@b..co",
                            "a@b.co\n", "a\t@b.co"}) {
        EXPECT_FALSE(backend::isValidEmail(bad)) << bad;
    }
    EXPECT_FALSE(backend::isValidEmail(std::string(250, 'a') + "@b.co"));
    EXPECT_EQ(backend::passwordLength("abcdef"), 6u);
    // Counted in characters, not bytes: six accented letters are six.
    EXPECT_EQ(backend::passwordLength("áéíóúñ"), 6u);
}

TEST(IdTokenTest, SignedTokensVerifyAndCarryTheirClaims) {
    backend::IdTokenSigner signer("0123456789abcdef0123456789abcdef");
    backend::IdTokenClaims claims{"uid123", "a@b.co", "1:2:ios:3", 1000, 4600, {}};
    auto token = signer.sign(claims);
    auto check = signer.verify(token, 2000);
    ASSERT_TRUE(check) << backend::describe(check.error);
    EXPECT_EQ(check.claims.uid, "uid123");
    EXPECT_EQ(check.claims.email, "a@b.co");
    EXPECT_EQ(check.claims.appId, "1:2:ios:3");
    EXPECT_EQ(check.claims.issuedAt, 1000);
    EXPECT_EQ(check.claims.expiresAt, 4600);
    // Two tokens for the same claims still differ.
    EXPECT_NE(signer.sign(claims), token);

    EXPECT_EQ(signer.verify(token, 4600).error, backend::IdTokenError::Expired);
    EXPECT_EQ(signer.verify(token, 9999).claims.uid, "uid123");
    EXPECT_EQ(backend::IdTokenSigner("another key, same length here!!!").verify(token, 2000).error,
              backend::IdTokenError::BadSignature);

    // A payload changed after signing (another uid) is caught.
    auto firstDot = token.find('.'), secondDot = token.find('.', firstDot + 1);
    auto forged = signer.sign({"intruder", "a@b.co", "1:2:ios:3", 1000, 4600, {}});
    std::string spliced = token.substr(0, firstDot + 1) +
                          forged.substr(firstDot + 1, forged.find('.', firstDot + 1) - firstDot - 1) +
                          token.substr(secondDot);
    EXPECT_EQ(signer.verify(spliced, 2000).error, backend::IdTokenError::BadSignature);

    for (std::string bad : {std::string(), std::string("abc"), std::string("a.b"), std::string("a.b.c.d"),
                            token + "x!", token.substr(0, secondDot) + ".", std::string("..")}) {
        EXPECT_FALSE(signer.verify(bad, 2000)) << bad;
    }
    EXPECT_THROW(backend::IdTokenSigner(""), std::invalid_argument);
}

TEST(IdTokenTest, TheKeyIsMadeOnceAndKeptPrivate) {
    TempDir dir;
    auto first = backend::IdTokenSigner::loadOrCreate(dir.path() / "auth");
    auto token = first->sign({"u", "e@x.co", "app", 1, backend::nowSeconds() + 60, {}});
    auto second = backend::IdTokenSigner::loadOrCreate(dir.path() / "auth");
    EXPECT_TRUE(second->verify(token));
    auto status = fs::status(dir.path() / "auth" / "id-token-key");
    EXPECT_EQ(status.permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);

    // A damaged key file is an error, not a silent new key.
    std::ofstream(dir.path() / "auth" / "id-token-key") << "zz";
    EXPECT_THROW(backend::IdTokenSigner::loadOrCreate(dir.path() / "auth"), std::runtime_error);
}

TEST(IdTokenTest, AuthorizationHeaderForms) {
    EXPECT_EQ(backend::idTokenFromAuthorization("Quorvane abc.def.ghi"), "abc.def.ghi");
    EXPECT_EQ(backend::idTokenFromAuthorization("Bearer abc"), "abc");
    EXPECT_EQ(backend::idTokenFromAuthorization("Quorvane "), std::nullopt);
    EXPECT_EQ(backend::idTokenFromAuthorization("Basic abc"), std::nullopt);
    EXPECT_EQ(backend::idTokenFromAuthorization(""), std::nullopt);
}

class AccountStoreTest : public ::testing::Test {
protected:
    // Few iterations: these tests are about the store, not the hash's cost.
    AccountStoreTest() : store_(std::make_unique<backend::AccountStore>(dir_.path() / "accounts.sqlite", 1000)) {}
    TempDir dir_;
    std::unique_ptr<backend::AccountStore> store_;
};

TEST_F(AccountStoreTest, AccountsAuthenticateAndPasswordsAreNeverStoredAsGiven) {
    auto created = store_->create("Ana@Almavel.com.pa", "contraseña-secreta");
    ASSERT_TRUE(created);
    EXPECT_EQ(created.account.uid.size(), 28u);
    for (char c : created.account.uid) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << created.account.uid;

    EXPECT_EQ(store_->create("ana@almavel.com.pa", "otra-clave").error, backend::AccountError::EmailExists);
    EXPECT_EQ(store_->authenticate("ana@almavel.com.pa", "contraseña-secreta").account.uid, created.account.uid);
    EXPECT_EQ(store_->authenticate("ana@almavel.com.pa", "contraseña-secretA").error,
              backend::AccountError::WrongPassword);
    EXPECT_EQ(store_->authenticate("nadie@almavel.com.pa", "x").error, backend::AccountError::UserNotFound);
    EXPECT_GT(store_->findByUid(created.account.uid)->lastSignInAt, 0);

    // Two accounts with the same password get different salts and hashes;
    // the password itself is nowhere on disk.
    ASSERT_TRUE(store_->create("beto@almavel.com.pa", "contraseña-secreta"));
    store_.reset();
    EXPECT_EQ(everythingIn(dir_.path()).find("contraseña-secreta"), std::string::npos);

    // And everything is still there after reopening.
    store_ = std::make_unique<backend::AccountStore>(dir_.path() / "accounts.sqlite", 1000);
    EXPECT_TRUE(store_->authenticate("beto@almavel.com.pa", "contraseña-secreta"));
    EXPECT_EQ(store_->all().size(), 2u);
}

TEST_F(AccountStoreTest, ConcurrentSignUpsOfOneAddressMakeOneAccount) {
    std::atomic<int> created{0}, refused{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            auto result = store_->create("mismo@almavel.com.pa", "clave-" + std::to_string(i));
            if (result) {
                created++;
            } else {
                refused++;
                EXPECT_EQ(result.error, backend::AccountError::EmailExists);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(created.load(), 1);
    EXPECT_EQ(refused.load(), 7);
    EXPECT_EQ(store_->all().size(), 1u);
}

TEST(AccountStoreOpenTest, AnUnusableFileIsAClearError) {
    TempDir dir;
    std::ofstream(dir.path() / "accounts.sqlite") << std::string(4096, 'x');
    try {
        backend::AccountStore store(dir.path() / "accounts.sqlite");
        ADD_FAILURE() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("accounts.sqlite"), std::string::npos) << e.what();
    }
}

}  // namespace
