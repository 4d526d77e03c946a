// What the file manager tells about items and volumes beyond their bytes:
// the immutable flag and protection class, kept per path in extended
// attributes or the sandbox's records, and a volume's free space.

#include "platform/file_manager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/temp_sandbox.h"

namespace {

namespace fs = std::filesystem;

class FileAttributes : public ::testing::TestWithParam<bool> {
protected:
    ns::testing::TempSandbox temp;
    ns::FileManager fm{ns::FileManager::Options{.useExtendedAttributes = GetParam()}};
    const std::string dir = temp.sandbox()->documentsPath() + "/store";
    const std::string file = dir + "/data.bin";

    void SetUp() override {
        ASSERT_TRUE(fm.createDirectory(dir, true));
        ASSERT_TRUE(fm.writeData(file, ns::Data{1}));
    }
};

TEST_P(FileAttributes, ImmutableFlagPersistsSurvivesRewritesAndGoesWithRemoval) {
    EXPECT_FALSE(fm.isImmutable(file));
    ns::ErrorRef error;
    ASSERT_TRUE(fm.setImmutable(file, true, &error)) << error->description();
    EXPECT_TRUE(ns::FileManager().isImmutable(file));  // stored, not remembered
    EXPECT_FALSE(fm.isExcludedFromBackup(file)) << "flags are kept apart";
    ASSERT_TRUE(fm.writeData(file, ns::Data{2})) << "the flag is reported, not enforced";
    EXPECT_TRUE(fm.isImmutable(file));
    ASSERT_TRUE(fm.setImmutable(file, false, &error));
    EXPECT_FALSE(fm.isImmutable(file));

    ASSERT_TRUE(fm.setImmutable(file, true, &error));
    ASSERT_TRUE(fm.removeItem(dir, &error));
    ASSERT_TRUE(fm.writeData(file, ns::Data{1}, nullptr, {.createIntermediateDirectories = true}));
    EXPECT_FALSE(fm.isImmutable(file));
    EXPECT_FALSE(fm.setImmutable(dir + "/missing", true, &error));
    EXPECT_EQ(error->code(), ns::kFileNoSuchFileError);
}

TEST_P(FileAttributes, ProtectionClassDefaultsPersistsAndRefusesUnknownValues) {
    EXPECT_EQ(fm.protectionClass(file), ns::kFileProtectionCompleteUntilFirstUserAuthentication);
    ns::ErrorRef error;
    for (const char* protection : {ns::kFileProtectionNone, ns::kFileProtectionComplete,
                                   ns::kFileProtectionCompleteUnlessOpen,
                                   ns::kFileProtectionCompleteUntilFirstUserAuthentication}) {
        ASSERT_TRUE(fm.setProtectionClass(file, protection, &error)) << error->description();
        EXPECT_EQ(ns::FileManager().protectionClass(file), protection);
    }
    ASSERT_TRUE(fm.setProtectionClass(file, ns::kFileProtectionNone, &error));
    ASSERT_TRUE(fm.writeData(file, ns::Data{3}));
    EXPECT_EQ(fm.protectionClass(file), ns::kFileProtectionNone) << "an atomic rewrite keeps the class";

    for (const char* bad : {"", "NSFileProtectionSometimes", "nsfileprotectionnone"}) {
        EXPECT_FALSE(fm.setProtectionClass(file, bad, &error)) << bad;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), ns::kFileWriteUnknownError);
        EXPECT_NE(error->localizedFailureReason().find(bad), std::string::npos);
    }
    EXPECT_EQ(fm.protectionClass(file), ns::kFileProtectionNone);
    EXPECT_EQ(fm.protectionClass(dir + "/missing"), ns::kFileProtectionCompleteUntilFirstUserAuthentication);
    EXPECT_FALSE(fm.setProtectionClass(dir + "/missing", ns::kFileProtectionNone, &error));
}

INSTANTIATE_TEST_SUITE_P(FileManager, FileAttributes, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ExtendedAttribute" : "SandboxRecord"; });

TEST(FileManager, FreeSpaceOfTheVolumeHoldingAPath) {
    ns::testing::TempSandbox temp;
    const auto free = ns::FileManager().systemFreeSize(temp.root());
    ASSERT_TRUE(free);
    const auto available = fs::space(temp.root()).available;
    // Other processes write meanwhile: the same volume within 256 MiB.
    EXPECT_NEAR(double(*free), double(available), 256.0 * 1024 * 1024);
    EXPECT_GT(*free, 0u);
    EXPECT_FALSE(ns::FileManager().systemFreeSize(temp.root() + "/missing/deeper"));

    const auto volume = ns::FileManager().attributesOfFileSystem(temp.root());
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->size, fs::space(temp.root()).capacity);
    EXPECT_LE(volume->freeSize, volume->size);
    ns::ErrorRef error;
    EXPECT_FALSE(ns::FileManager().attributesOfFileSystem(temp.root() + "/missing", &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ns::kFileReadNoSuchFileError);
}

}  // namespace
