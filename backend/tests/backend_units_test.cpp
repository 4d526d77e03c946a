// The back end's library pieces that need no running server.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "backend/http_util.h"
#include "backend/options.h"
#include "backend/sample_data.h"
#include "backend/service.h"

namespace {

namespace fs = std::filesystem;

TEST(BackendOptionsTest, ParsesEveryOptionInBothSpellings) {
    auto parsed = backend::parseOptions({"--data-dir", "/d", "--seed", "--http-port=8080", "--https-port", "8443",
                                         "--cert=/c.pem", "--key", "/k.pem", "--ready-file", "/r.json",
                                         "--sample-data=/s"});
    ASSERT_EQ(parsed.error, "");
    const auto& o = parsed.options;
    EXPECT_EQ(o.dataDir, "/d");
    EXPECT_TRUE(o.seed);
    EXPECT_EQ(o.httpPort, 8080);
    EXPECT_EQ(o.httpsPort, 8443);
    EXPECT_EQ(o.certPath, "/c.pem");
    EXPECT_EQ(o.keyPath, "/k.pem");
    EXPECT_EQ(o.readyFile, "/r.json");
    EXPECT_EQ(o.sampleDataDir, "/s");

    auto defaults = backend::parseOptions({"--data-dir", "d"}).options;
    EXPECT_EQ(defaults.httpPort, 0);
    EXPECT_EQ(defaults.httpsPort, 0);
    EXPECT_FALSE(defaults.seed);
    EXPECT_EQ(defaults.certPath, ALMAVEL_CERT_DIR "/server.pem");
    EXPECT_EQ(defaults.keyPath, ALMAVEL_CERT_DIR "/server-key.pem");
    EXPECT_TRUE(fs::is_directory(defaults.sampleDataDir));
}

TEST(BackendOptionsTest, RejectsBadArguments) {
    auto error = [](std::vector<std::string> args) { return backend::parseOptions(args).error; };
    EXPECT_EQ(error({}), "--data-dir is required");
    EXPECT_EQ(error({"--data-dir"}), "option --data-dir needs a path");
    EXPECT_EQ(error({"--data-dir", "d", "--http-port", "-1"}), "bad port for --http-port: '-1' (expected 0-65535)");
    EXPECT_EQ(error({"--data-dir", "d", "--https-port=80a"}), "bad port for --https-port: '80a' (expected 0-65535)");
    EXPECT_EQ(error({"--data-dir", "d", "--https-port"}), "option --https-port needs a port number");
    EXPECT_EQ(error({"--data-dir", "d", "--seed=yes"}), "option --seed takes no value");
    EXPECT_EQ(error({"--data-dir", "d", "--verbose"}), "unknown option '--verbose'");
    EXPECT_EQ(error({"--help"}), "");
}

TEST(BackendUtilTest, Base64RoundTripsEveryLengthAndRefusesGarbage) {
    std::string bytes;
    for (int n = 0; n < 70; ++n) {
        EXPECT_EQ(backend::base64Decode(backend::base64Encode(bytes)), bytes) << n;
        bytes += char((n * 37 + 200) % 256);
    }
    EXPECT_EQ(backend::base64Encode("Precio"), "UHJlY2lv");
    EXPECT_EQ(backend::base64Encode("ab"), "YWI=");
    EXPECT_EQ(backend::base64Decode("YWI"), "ab");
    EXPECT_EQ(backend::base64Decode("Y"), std::nullopt);
    EXPECT_EQ(backend::base64Decode("YW I="), std::nullopt);
    EXPECT_EQ(backend::base64Decode(std::string("YW\0=", 4)), std::nullopt);
}

TEST(BackendUtilTest, SharedStateIsOnePerKeyAndTyped) {
    backend::Context context(backend::Options{});
    auto a = context.shared<std::vector<int>>("tokens");
    a->push_back(7);
    EXPECT_EQ(context.shared<std::vector<int>>("tokens")->at(0), 7);
    EXPECT_THROW(context.shared<std::string>("tokens"), std::logic_error);
}

class SeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("almavel-seed-unit-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "sample/tiendas");
        fs::create_directories(root_ / "data");
        std::ofstream(root_ / "sample/database.json") << "{\"Productos\":{}}";
        std::ofstream(root_ / "sample/tiendas/t1.json") << "{\"Nombre\":\"Uno\"}";
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

TEST_F(SeedTest, CopiesOnceAndNeverOverwrites) {
    std::ofstream(root_ / "data/database.json") << "propio";
    EXPECT_TRUE(backend::seedDataDir(root_ / "data", root_ / "sample"));
    EXPECT_EQ(backend::readFile(root_ / "data/database.json"), "propio");
    EXPECT_EQ(backend::readFile(root_ / "data/tiendas/t1.json"), "{\"Nombre\":\"Uno\"}");
    EXPECT_TRUE(fs::exists(root_ / "data" / backend::kSeedMarker));

    fs::remove(root_ / "data/tiendas/t1.json");
    EXPECT_FALSE(backend::seedDataDir(root_ / "data", root_ / "sample"));
    EXPECT_FALSE(fs::exists(root_ / "data/tiendas/t1.json"));
}

TEST_F(SeedTest, MissingSampleDataIsAnError) {
    EXPECT_THROW(backend::seedDataDir(root_ / "data", root_ / "nowhere"), std::runtime_error);
    EXPECT_FALSE(fs::exists(root_ / "data" / backend::kSeedMarker));
}

}  // namespace
