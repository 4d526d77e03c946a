#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/QRVAppEnvironmentUtil.h"
#include "core/QRVReachabilityChecker.h"
#include "platform/bundle.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"
#include "testing/temp_sandbox.h"

namespace {

// A minimal 64-bit Mach-O file: header plus one encryption-info command.
void writeMachO(const std::string& path, uint32_t cryptid, bool bigEndian = false) {
    auto put = [bigEndian](std::string& out, uint32_t v) {
        if (bigEndian) v = __builtin_bswap32(v);
        out.append(reinterpret_cast<const char*>(&v), 4);
    };
    std::string bytes;
    put(bytes, 0xfeedfacf);  // magic
    put(bytes, 0x0100000c);  // cpu type arm64
    put(bytes, 0);           // cpu subtype
    put(bytes, 2);           // executable
    put(bytes, 2);           // two load commands
    put(bytes, 16 + 24);     // their size
    put(bytes, 0);           // flags
    put(bytes, 0);           // reserved
    put(bytes, 0x1b);        // a UUID-sized command first, to walk past
    put(bytes, 16);
    put(bytes, 0);
    put(bytes, 0);
    put(bytes, 0x2C);        // encryption info 64
    put(bytes, 24);
    put(bytes, 16384);       // cryptoff
    put(bytes, 4096);        // cryptsize
    put(bytes, cryptid);
    put(bytes, 0);           // pad
    std::ofstream(path, std::ios::binary) << bytes;
}

void setMachine(const std::string& machine) {
    auto profile = ns::Sandbox::current()->deviceProfile();
    profile.machine = machine;
    ASSERT_TRUE(ns::Sandbox::current()->setDeviceProfile(profile));
}

TEST(QRVAppEnvironmentUtil, EncryptionInfoInMachOFiles) {
    ns::testing::TempSandbox sandbox;
    std::string dir = ns::Sandbox::current()->tmpPath();
    std::filesystem::create_directories(dir);
    writeMachO(dir + "/encrypted", 1);
    writeMachO(dir + "/plain", 0);
    writeMachO(dir + "/swapped", 1, true);
    std::ofstream(dir + "/elf", std::ios::binary) << "\x7f" "ELF\x02\x01\x01";
    std::ofstream(dir + "/short", std::ios::binary) << "\xcf\xfa";
    EXPECT_TRUE(QRVAppEnvironmentUtil::executableHasEncryptionInfo(dir + "/encrypted"));
    EXPECT_FALSE(QRVAppEnvironmentUtil::executableHasEncryptionInfo(dir + "/plain"));
    EXPECT_TRUE(QRVAppEnvironmentUtil::executableHasEncryptionInfo(dir + "/swapped"));
    EXPECT_FALSE(QRVAppEnvironmentUtil::executableHasEncryptionInfo(dir + "/elf"));
    EXPECT_FALSE(QRVAppEnvironmentUtil::executableHasEncryptionInfo(dir + "/short"));
    EXPECT_FALSE(QRVAppEnvironmentUtil::executableHasEncryptionInfo(dir + "/missing"));
}

TEST(QRVAppEnvironmentUtil, SimulatorAndStoreAnswers) {
    ns::testing::TempSandbox sandbox;
    std::string bundle = ns::Bundle::mainBundle()->bundlePath();

    setMachine("x86_64");
    EXPECT_TRUE(QRVAppEnvironmentUtil::isSimulator());
    std::filesystem::create_directories(bundle + "/SC_Info");
    EXPECT_FALSE(QRVAppEnvironmentUtil::isFromAppStore()) << "never from the store on a simulator";

    setMachine("iPhone10,3");
    EXPECT_FALSE(QRVAppEnvironmentUtil::isSimulator());
    EXPECT_TRUE(QRVAppEnvironmentUtil::isFromAppStore()) << "an SC_Info folder means a store install";
    std::filesystem::remove_all(bundle + "/SC_Info");

    // Without SC_Info: an encrypted executable, no sandbox receipt, no profile.
    std::string executable = ns::Bundle::mainBundle()->executablePath();
    std::filesystem::create_directories(std::filesystem::path(executable).parent_path());
    writeMachO(executable, 0);
    EXPECT_FALSE(QRVAppEnvironmentUtil::isFromAppStore());
    writeMachO(executable, 1);
    EXPECT_TRUE(QRVAppEnvironmentUtil::isFromAppStore());
    std::ofstream(bundle + "/embedded.mobileprovision") << "profile";
    EXPECT_FALSE(QRVAppEnvironmentUtil::isFromAppStore());

    EXPECT_EQ(ns::Runtime::sendClass("QRVAppEnvironmentUtil", "isFromAppStore").asBool(),
              QRVAppEnvironmentUtil::isFromAppStore());
}

class RecordingDelegate : public QRVReachabilityDelegate {
public:
    void reachability(QRVReachabilityChecker& checker, QRVReachabilityStatus status) override {
        EXPECT_TRUE(ns::RunLoop::isMainThread());
        EXPECT_EQ(checker.reachabilityStatus(), status);
        statuses.push_back(status);
    }
    std::vector<QRVReachabilityStatus> statuses;
};

TEST(QRVReachabilityChecker, ReportsChangesOnTheMainThreadUntilStopped) {
    ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
    auto delegate = std::make_shared<RecordingDelegate>();
    auto checker = QRVReachabilityChecker::make(delegate, {}, "almavel-pa.quorvaneio.com");
    EXPECT_EQ(checker->reachabilityStatus(), QRVReachabilityUnknown);
    ASSERT_TRUE(checker->start());
    EXPECT_FALSE(checker->start());
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return delegate->statuses.size() == 1; }, 30));
    EXPECT_EQ(delegate->statuses[0], QRVReachabilityViaWifi);

    ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWWAN);
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return delegate->statuses.size() == 2; }, 30));
    EXPECT_EQ(delegate->statuses[1], QRVReachabilityViaCellular);
    ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return delegate->statuses.size() == 3; }, 30));
    EXPECT_EQ(delegate->statuses[2], QRVReachabilityNotReachable);

    checker->stop();
    EXPECT_FALSE(checker->isActive());
    EXPECT_EQ(checker->reachabilityStatus(), QRVReachabilityUnknown);
    ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
    ns::RunLoop::main().runFor(0.05);
    EXPECT_EQ(delegate->statuses.size(), 3u);
    ns::Reachability::setOverride(std::nullopt);
    EXPECT_FALSE(QRVReachabilityChecker::make(delegate, {}, "")->start());
}

TEST(QRVReachabilityChecker, FlagsToStatus) {
    using R = ns::Reachability;
    EXPECT_EQ(QRVReachabilityChecker::statusForFlags(0), QRVReachabilityNotReachable);
    EXPECT_EQ(QRVReachabilityChecker::statusForFlags(R::kReachable), QRVReachabilityViaWifi);
    EXPECT_EQ(QRVReachabilityChecker::statusForFlags(R::kReachable | R::kIsWWAN), QRVReachabilityViaCellular);
    EXPECT_EQ(QRVReachabilityChecker::statusForFlags(R::kReachable | R::kConnectionRequired),
              QRVReachabilityNotReachable);
    EXPECT_EQ(QRVReachabilityChecker::statusForFlags(R::kReachable | R::kConnectionRequired | R::kConnectionOnDemand),
              QRVReachabilityViaWifi);
    EXPECT_EQ(QRVReachabilityChecker::statusForFlags(R::kReachable | R::kConnectionRequired | R::kConnectionOnDemand |
                                                     R::kInterventionRequired),
              QRVReachabilityNotReachable);
}

}  // namespace
