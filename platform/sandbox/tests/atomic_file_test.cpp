// Atomic file replacement: the new content and mode land whole, and any
// failing step (the write, the sync, the rename) leaves the old file as it
// was and no temporary file behind. Failures are real: the file-size limit
// makes write fail, and the sync calls go through the fsync below, which
// fails on request.

#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/file_manager.h"

namespace {

std::atomic<int> gFileSyncError{0};
std::atomic<int> gFolderSyncError{0};

}  // namespace

// Every fsync of this test program comes here first.
extern "C" int fsync(int fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0) {
        const int fail = S_ISDIR(st.st_mode) ? gFolderSyncError.load() : gFileSyncError.load();
        if (fail != 0) {
            errno = fail;
            return -1;
        }
    }
    return int(::syscall(SYS_fsync, fd));
}

namespace {

namespace fs = std::filesystem;

class AtomicFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/almavel-atomic-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/settings.plist";
        std::ofstream(path_) << "old content";
        ::chmod(path_.c_str(), 0600);
    }
    void TearDown() override {
        gFileSyncError = 0;
        gFolderSyncError = 0;
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string contents() const {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Names in the folder other than the target.
    std::vector<std::string> strays() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path() != path_) out.push_back(entry.path().filename().string());
        }
        return out;
    }
    int modeOf(const std::string& p) const {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    }

    std::string dir_, path_;
};

TEST_F(AtomicFile, ReplacesTheContentWithExactlyTheGivenMode) {
    const mode_t old = ::umask(022);
    ns::AtomicWriteOptions options;
    options.mode = 0666;  // the umask would take group and other write away
    ns::AtomicWriteResult result = ns::writeFileAtomically(path_, "new content", options);
    ::umask(old);
    ASSERT_TRUE(result) << result.step << ": " << result.error;
    EXPECT_EQ(contents(), "new content");
    EXPECT_EQ(modeOf(path_), 0666);
    EXPECT_TRUE(strays().empty());

    ns::ErrorRef error = ns::Error::make("stale", 1, "left from before");
    ASSERT_TRUE(ns::writeFileAtomically(dir_ + "/fresh", ns::Data{1, 2, 0, 3}, 0640, &error));
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(modeOf(dir_ + "/fresh"), 0640);
    EXPECT_EQ(fs::file_size(dir_ + "/fresh"), 4u);

    ASSERT_TRUE(ns::writeFileAtomically(path_, std::string_view(), ns::AtomicWriteOptions{}));
    EXPECT_EQ(contents(), "");
}

TEST_F(AtomicFile, AFailedSyncKeepsTheOldFileAndRemovesTheTemporaryOne) {
    gFileSyncError = EIO;
    ns::AtomicWriteResult result = ns::writeFileAtomically(path_, "new content");
    EXPECT_EQ(result.error, EIO);
    EXPECT_STREQ(result.step, "sync");
    EXPECT_EQ(contents(), "old content");
    EXPECT_EQ(modeOf(path_), 0600);
    EXPECT_TRUE(strays().empty());

    ns::ErrorRef error;
    EXPECT_FALSE(ns::writeFileAtomically(path_, "new content", 0644, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), ns::kCocoaErrorDomain);
    EXPECT_EQ(error->code(), ns::kFileWriteUnknownError);
    EXPECT_EQ(error->userInfo().at(ns::kFilePathErrorKey), ns::Value(path_));
    EXPECT_NE(error->localizedFailureReason().find("sync"), std::string::npos) << error->localizedFailureReason();

    try {
        ns::writeFileAtomicallyOrThrow(path_, "new content");
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EIO);
        EXPECT_NE(std::string(e.what()).find("cannot sync " + path_), std::string::npos) << e.what();
    }
    EXPECT_EQ(contents(), "old content");
    EXPECT_TRUE(strays().empty());
}

TEST_F(AtomicFile, AFailedFolderSyncIsReportedThoughTheContentIsReplaced) {
    gFolderSyncError = EIO;
    ns::AtomicWriteResult result = ns::writeFileAtomically(path_, "new content");
    EXPECT_EQ(result.error, EIO);
    EXPECT_STREQ(result.step, "sync folder");
    EXPECT_EQ(contents(), "new content");
    EXPECT_TRUE(strays().empty());

    // A file system that cannot sync folders at all is no failure.
    gFolderSyncError = EINVAL;
    EXPECT_TRUE(ns::writeFileAtomically(path_, "newer content"));
    EXPECT_EQ(contents(), "newer content");
}

TEST_F(AtomicFile, AWriteCutShortByTheFileSizeLimitKeepsTheOldFile) {
    // Past the limit write fails with EFBIG once SIGXFSZ is ignored.
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    ns::AtomicWriteResult result = ns::writeFileAtomically(path_, std::string(10000, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(result.error, EFBIG);
    EXPECT_STREQ(result.step, "write");
    EXPECT_EQ(contents(), "old content");
    EXPECT_TRUE(strays().empty());
}

TEST_F(AtomicFile, FailuresToCreateOrToReplaceLeaveNothingBehind) {
    ns::AtomicWriteResult missing = ns::writeFileAtomically(dir_ + "/no/such/folder/file", "x");
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_STREQ(missing.step, "create temporary file");

    // A non-empty folder where the file should go cannot be replaced.
    const std::string occupied = dir_ + "/occupied";
    fs::create_directories(occupied + "/inside");
    ns::AtomicWriteResult replace = ns::writeFileAtomically(occupied, "x");
    EXPECT_NE(replace.error, 0);
    EXPECT_STREQ(replace.step, "replace");
    EXPECT_TRUE(fs::is_directory(occupied + "/inside"));
    EXPECT_EQ(strays(), std::vector<std::string>{"occupied"});
}

TEST_F(AtomicFile, TheHookSeesTheWrittenTemporaryFileAndCanAbandonTheWrite) {
    ns::AtomicWriteOptions options;
    off_t seen = -1;
    options.beforeSync = [&](int fd) {
        struct stat st;
        ::fstat(fd, &st);
        seen = st.st_size;
        return ENOSPC;
    };
    ns::AtomicWriteResult result = ns::writeFileAtomically(path_, "twelve bytes", options);
    EXPECT_EQ(seen, 12);
    EXPECT_EQ(result.error, ENOSPC);
    EXPECT_EQ(contents(), "old content");
    EXPECT_TRUE(strays().empty());
}

TEST_F(AtomicFile, TheFileManagerWritesThroughIt) {
    gFileSyncError = EIO;
    ns::ErrorRef error;
    EXPECT_FALSE(ns::FileManager().writeData(path_, ns::Data{'n', 'e', 'w'}, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(contents(), "old content");
    EXPECT_TRUE(strays().empty());
    gFileSyncError = 0;
    ns::FileWriteOptions options;
    options.permissions = 0604;
    EXPECT_TRUE(ns::FileManager().writeData(path_, ns::Data{'n', 'e', 'w'}, &error, options));
    EXPECT_EQ(contents(), "new");
    EXPECT_EQ(modeOf(path_), 0604);
}

}  // namespace
