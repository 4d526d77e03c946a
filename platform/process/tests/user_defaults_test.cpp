#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/application.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/notification_center.h"
#include "platform/plist.h"
#include "platform/process_info.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::UserDefaults;
using ns::Value;
namespace fs = std::filesystem;

TEST(UserDefaults, ValuesSurviveAReloadFromDiskWithTheirKinds) {
    ns::testing::TempSandbox temp;
    auto defaults = UserDefaults::standard();
    EXPECT_EQ(defaults->domain(), "almavel") << "no bundle identifier";
    EXPECT_EQ(defaults->path(), temp.sandbox()->preferencesPath() + "/almavel.plist");

    defaults->setBool(true, "flag");
    defaults->setInteger(-42, "count");
    defaults->setDouble(1.0, "ratio");
    defaults->setObject(Value("text"), "name");
    defaults->setObject(Value(ns::Array{Value(1), Value("two")}), "list");
    defaults->setObject(Value(ns::Dictionary{{"k", ns::Data{9}}}), "map");
    defaults->setObject(Value(ns::Date{1'700'000'000.0}), "when");
    defaults->setInteger(5, "gone");
    defaults->removeObjectForKey("gone");

    UserDefaults::resetForTesting();
    auto reloaded = UserDefaults::standard();
    ASSERT_NE(reloaded, defaults);
    EXPECT_EQ(reloaded->objectForKey("flag"), Value(true));
    EXPECT_TRUE(reloaded->objectForKey("flag").isBool());
    EXPECT_EQ(reloaded->integerForKey("count"), -42);
    EXPECT_EQ(reloaded->objectForKey("count").type(), Value::Type::Int);
    EXPECT_TRUE(reloaded->objectForKey("ratio").isDouble());
    EXPECT_EQ(reloaded->stringForKey("name"), "text");
    EXPECT_EQ(reloaded->arrayForKey("list"), (ns::Array{Value(1), Value("two")}));
    EXPECT_EQ(reloaded->dictionaryForKey("map"), (ns::Dictionary{{"k", ns::Data{9}}}));
    EXPECT_EQ(reloaded->objectForKey("when"), Value(ns::Date{1'700'000'000.0}));
    EXPECT_TRUE(reloaded->objectForKey("gone").isNull());
    EXPECT_EQ(reloaded->persistentDomain().size(), 7u);

    // What is on disk is an ordinary property list.
    Value onDisk = ns::plist::readFile(reloaded->path());
    EXPECT_EQ(onDisk["count"], Value(-42));
}

TEST(UserDefaults, StandardDomainIsTheBundleIdentifierAndSuitesAreSeparate) {
    ns::testing::TempSandbox temp;
    temp.writeBundlePlist("Info.plist", Value(ns::Dictionary{{"CFBundleIdentifier", "com.example.store"}}));
    auto standard = UserDefaults::standard();
    EXPECT_EQ(standard->domain(), "com.example.store");
    EXPECT_EQ(UserDefaults::suite("com.example.store"), standard);
    auto suite = UserDefaults::suite("group.shared");
    EXPECT_EQ(UserDefaults::suite("group.shared"), suite);

    standard->setInteger(1, "key");
    suite->setInteger(2, "key");
    EXPECT_EQ(standard->integerForKey("key"), 1);
    EXPECT_EQ(suite->integerForKey("key"), 2);
    ASSERT_TRUE(suite->synchronize());
    EXPECT_TRUE(fs::exists(temp.sandbox()->preferencesPath() + "/group.shared.plist"));
    EXPECT_THROW(UserDefaults::suite("../escape"), ns::Exception);

    // A new sandbox starts from nothing.
    {
        ns::testing::TempSandbox other;
        EXPECT_EQ(UserDefaults::standard()->integerForKey("key"), 0);
    }
    EXPECT_EQ(UserDefaults::standard(), standard);
}

TEST(UserDefaults, LooseReadersConvertLikeFoundation) {
    ns::testing::TempSandbox temp;
    auto d = UserDefaults::standard();
    d->setObject(Value("YES"), "yes");
    d->setObject(Value("12abc"), "numText");
    d->setObject(Value("2.5"), "realText");
    d->setObject(Value(3.9), "real");
    d->setObject(Value(ns::Array{Value("a"), Value(1)}), "mixed");
    EXPECT_TRUE(d->boolForKey("yes"));
    EXPECT_TRUE(d->boolForKey("numText"));
    EXPECT_FALSE(d->boolForKey("absent"));
    EXPECT_EQ(d->integerForKey("numText"), 12);
    EXPECT_EQ(d->integerForKey("real"), 3);
    EXPECT_EQ(d->doubleForKey("realText"), 2.5);
    EXPECT_EQ(d->stringForKey("real"), "3.9");
    EXPECT_EQ(d->stringForKey("absent"), std::nullopt);
    EXPECT_EQ(d->stringForKey("mixed"), std::nullopt);
    EXPECT_EQ(d->stringArrayForKey("mixed"), std::nullopt);
    EXPECT_EQ(d->dictionaryForKey("real"), std::nullopt);

    d->registerDefaults({{"fallback", 7}, {"real", 1.0}});
    ASSERT_TRUE(d->synchronize());
    EXPECT_EQ(d->integerForKey("fallback"), 7);
    EXPECT_EQ(d->doubleForKey("real"), 3.9) << "stored values win over registered ones";
    EXPECT_FALSE(ns::plist::readFile(d->path()).contains("fallback")) << "registered defaults are not stored";
    EXPECT_EQ(d->dictionaryRepresentation().at("fallback"), Value(7));
}

TEST(UserDefaults, NonPropertyListValuesAreRefusedAndLoseNothing) {
    ns::testing::TempSandbox temp;
    auto d = UserDefaults::standard();
    d->setInteger(1, "k");
    EXPECT_THROW(d->setObject(Value(ns::Array{Value()}), "k"), ns::Exception);
    EXPECT_THROW(d->setObject(Value(std::make_shared<ns::Object>()), "k"), ns::Exception);
    EXPECT_THROW(d->setObject(Value(ns::Date{1e13}), "k"), ns::Exception);
    EXPECT_EQ(d->objectForKey("k"), Value(1));
    UserDefaults::resetForTesting();
    EXPECT_EQ(UserDefaults::standard()->objectForKey("k"), Value(1));
}

TEST(UserDefaults, CorruptFileIsSetAsideNotOverwritten) {
    ns::testing::TempSandbox temp;
    auto clock = ns::VirtualClock::install();  // every copy set aside within one second
    const std::string path = temp.sandbox()->preferencesPath() + "/almavel.plist";
    ASSERT_TRUE(ns::FileManager().writeData(path, ns::Data{'b', 'a', 'd'}));
    auto log = ns::SystemLog::capture();
    auto d = UserDefaults::standard();
    EXPECT_TRUE(log.contains(path)) << "the unreadable file is reported by name";
    EXPECT_TRUE(d->objectForKey("x").isNull());
    EXPECT_FALSE(d->synchronize());
    d->setInteger(3, "x");
    EXPECT_TRUE(d->synchronize()) << "the change is written and the unreadable file set aside";
    auto names = *ns::FileManager().contentsOfDirectory(temp.sandbox()->preferencesPath());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "almavel.plist");
    EXPECT_EQ(names[1].rfind("almavel.plist.corrupt-", 0), 0u);
    EXPECT_EQ(*ns::FileManager().readData(temp.sandbox()->preferencesPath() + "/" + names[1]),
              (ns::Data{'b', 'a', 'd'}));
    EXPECT_TRUE(d->synchronize());

    // Damaged again in the same second: the second copy goes beside the first.
    ASSERT_TRUE(ns::FileManager().writeData(path, ns::Data{'w', 'o', 'r', 's', 'e'}));
    d->synchronize();
    d->setInteger(4, "x");
    EXPECT_TRUE(d->synchronize());
    names = *ns::FileManager().contentsOfDirectory(temp.sandbox()->preferencesPath());
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(*ns::FileManager().readData(temp.sandbox()->preferencesPath() + "/" + names[1]),
              (ns::Data{'b', 'a', 'd'}));
    EXPECT_EQ(*ns::FileManager().readData(temp.sandbox()->preferencesPath() + "/" + names[2]),
              (ns::Data{'w', 'o', 'r', 's', 'e'}));
}

TEST(UserDefaults, SynchronizePicksUpAnotherWriter) {
    ns::testing::TempSandbox temp;
    auto shared = UserDefaults::standard();
    UserDefaults other("almavel", temp.sandbox());
    other.setObject(Value("from elsewhere"), "k");
    ASSERT_TRUE(other.synchronize());
    EXPECT_TRUE(shared->objectForKey("k").isNull());
    EXPECT_TRUE(shared->synchronize());
    EXPECT_EQ(shared->stringForKey("k"), "from elsewhere");
    other.removePersistentDomain();
    EXPECT_FALSE(fs::exists(other.path()));
    EXPECT_TRUE(shared->synchronize());
    EXPECT_TRUE(shared->objectForKey("k").isNull());
}

// The list file takes the journaled changes behind the caller, together: at
// most a second after the first one, at once on synchronize, resignation,
// the sandbox's objects being dropped, an object going and the process's
// exit.
TEST(UserDefaults, ChangesReachTheFileWithinASecondOrAtEachFlushPoint) {
    ns::testing::TempSandbox temp;
    auto clock = ns::VirtualClock::install();
    auto d = UserDefaults::standard();
    auto stored = [&](const char* key) { return ns::plist::readFile(d->path())[key]; };
    d->setInteger(1, "a");
    clock->advance(0.5);
    d->setInteger(2, "b");
    EXPECT_EQ(d->integerForKey("b"), 2) << "reads see a change at once";
    EXPECT_FALSE(fs::exists(d->path()));
    clock->advance(0.5);
    EXPECT_EQ(stored("a"), Value(1));
    EXPECT_EQ(stored("b"), Value(2)) << "one write carries every change so far";

    const struct {
        const char* key;
        std::function<void()> flush;
    } points[] = {
        {"synchronize", [&] { d->synchronize(); }},
        {"resignation",
         [] { ns::NotificationCenter::defaultCenter().post(ns::kUIApplicationWillResignActiveNotification); }},
        {"sandbox objects dropped", [] { UserDefaults::resetForTesting(); }},
    };
    for (const auto& point : points) {
        d->setString("pending", point.key);
        EXPECT_TRUE(stored(point.key).isNull()) << point.key;
        point.flush();
        EXPECT_EQ(stored(point.key), Value("pending")) << point.key;
    }
    {
        UserDefaults own("own", temp.sandbox());
        own.setInteger(3, "k");
    }
    EXPECT_EQ(ns::plist::readFile(temp.sandbox()->preferencesPath() + "/own.plist")["k"], Value(3));

    const pid_t child = ::fork();
    if (child == 0) {
        d->setInteger(4, "exit");
        std::quick_exit(0);  // as the program leaves
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(stored("exit"), Value(4));
}

TEST(UserDefaults, LaunchArgumentsOverrideInTheArgumentDomain) {
    ns::testing::TempSandbox temp;
    auto& info = ns::ProcessInfo::processInfo();
    const auto saved = info.arguments();
    info.setArguments({"store", "-DebugEnabled", "YES", "-Level", "<integer>3</integer>", "-Bare", "--gtest_x", "1",
                       "-Name", "Ada"});
    UserDefaults d("almavel", temp.sandbox());
    info.setArguments(saved);

    d.setBool(false, "DebugEnabled");
    EXPECT_TRUE(d.boolForKey("DebugEnabled")) << "arguments win over stored values";
    EXPECT_EQ(d.objectForKey("Level"), Value(3));
    EXPECT_EQ(d.stringForKey("Name"), "Ada");
    EXPECT_TRUE(d.objectForKey("Bare").isNull());
    EXPECT_FALSE(d.persistentDomain().contains("Level")) << "arguments are never stored";
}

TEST(UserDefaults, ConcurrentWritersAllLand) {
    ns::testing::TempSandbox temp;
    auto d = UserDefaults::standard();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([d, t] {
            for (int i = 0; i < 25; ++i) {
                d->setInteger(i, "t" + std::to_string(t) + "_" + std::to_string(i));
                (void)d->dictionaryRepresentation();
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(d->synchronize());
    UserDefaults reread("almavel", temp.sandbox());
    EXPECT_EQ(reread.persistentDomain().size(), 100u);
}

}  // namespace
