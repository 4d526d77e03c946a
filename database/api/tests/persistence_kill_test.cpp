// A child process writing offline is killed with SIGKILL at random moments;
// after each kill every write whose local event the child had raised is in
// the cache, and once the back end is reachable each stored write reaches it
// exactly once. The child is this test binary itself, re-run on the
// disabled case below with the sandbox and database given in its
// environment.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "database/api/FEventRegistrations.h"
#include "database/api/FRepo.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "platform/json.h"
#include "platform/runloop.h"
#include "platform/sandbox.h"
#include "testing/app_backend.h"
#include "testing/admin_json.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

using json = nlohmann::json;

const char* const kChildSandbox = "ALMAVEL_KILL_CHILD_SANDBOX";
const char* const kChildURL = "ALMAVEL_KILL_CHILD_URL";
const char* const kChildRun = "ALMAVEL_KILL_CHILD_RUN";
const char* const kRaisedFile = "raised.txt";

std::shared_ptr<QRVDatabaseConfig> cachedConfig() {
    auto config = std::make_shared<QRVDatabaseConfig>("killed", std::make_shared<QRVNoopAuthTokenProvider>());
    config->setPersistenceEnabled(true);
    return config;
}

// The child: writes /kill/<run>_<n> = n one after another, each once the
// previous one's local event was raised, noting every raised event of its
// own run in the raised file with a plain write(2) so that a kill cannot
// lose the note. The events the cache raises at start for earlier runs'
// writes are not noted again: those writes were checked after their own
// run, and noting them made the file, and every read of it, grow with the
// square of the runs, which on a loaded machine let each run write more.
TEST(PersistenceKillChild, DISABLED_WritesUntilKilled) {
    const char* root = std::getenv(kChildSandbox);
    const char* url = std::getenv(kChildURL);
    const char* run = std::getenv(kChildRun);
    ASSERT_TRUE(root && url && run) << "run by PersistenceKillTest only";
    ns::Sandbox::setCurrent(ns::Sandbox::open(root));
    const int raised = ::open((std::string(root) + "/" + kRaisedFile).c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    ASSERT_GE(raised, 0);

    std::shared_ptr<FRepo> repo;
    FWorkerQueue::sharedQueue()->sync([&] {
        repo = FRepo::make(FUtilities::parseUrl(url).repoInfo, cachedConfig(), nullptr);
        FWorkerQueue::sharedQueue()->async([repo] { repo->interrupt(); });
    });
    const std::string prefix = std::string(run) + "_";
    auto next = std::make_shared<std::function<void(int)>>();
    *next = [repo, prefix, next](int n) {
        FWorkerQueue::sharedQueue()->async([repo, prefix, n] {
            repo->set(FPath("/kill/" + prefix + std::to_string(n)), FSnapshotUtilities::nodeFrom(ns::Value(n)),
                      nullptr);
        });
    };
    FChildEventRegistration::Callbacks callbacks;
    callbacks[QRVDataEventTypeChildAdded] = [raised, prefix, next](QRVDataSnapshotPtr snapshot,
                                                                   std::optional<std::string>) {
        const std::string key = snapshot->key().value_or("");
        if (key.rfind(prefix, 0) != 0) return;
        const std::string line = key + "\n";
        ASSERT_EQ(::write(raised, line.data(), line.size()), ssize_t(line.size()));
        (*next)(std::stoi(key.substr(prefix.size())) + 1);
    };
    auto registration = std::make_shared<FChildEventRegistration>(repo, FUtilities::LUIDGenerator(), callbacks, nullptr);
    FWorkerQueue::sharedQueue()->sync(
        [&] { repo->addEventRegistration(registration, FQuerySpec::defaultQueryAtPath(FPath("/kill"))); });
    (*next)(0);
    ns::RunLoop::main().runUntil([] { return false; }, 600);
    FAIL() << "not killed";
}

class PersistenceKillTest : public ::testing::Test {
protected:
    pid_t startChild(int run) {
        const std::string url = ns::testing::databaseURL(*backend_, "demo");
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv(kChildSandbox, sandbox_.root().c_str(), 1);
            ::setenv(kChildURL, url.c_str(), 1);
            ::setenv(kChildRun, std::to_string(run).c_str(), 1);
            // A killed child cannot remove the temporary sandbox its test main
            // makes: made inside this test's sandbox, it goes with it.
            ::setenv("TMPDIR", sandbox_.root().c_str(), 1);
            // The child's output is kept for a failure's report.
            const std::string logPath = sandbox_.root() + "/child.log";
            const int log = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execl("/proc/self/exe", "api_tests", "--gtest_also_run_disabled_tests",
                    "--gtest_filter=PersistenceKillChild.DISABLED_WritesUntilKilled", nullptr);
            ::_exit(127);
        }
        return child;
    }
    std::set<std::string> raised() const {
        std::set<std::string> keys;
        std::ifstream in(sandbox_.root() + "/" + kRaisedFile);
        // A kill can cut the last note short where it crosses a page of the
        // file: only notes with their line end were written whole.
        for (std::string line; std::getline(in, line);) {
            if (!in.eof()) keys.insert(line);
        }
        return keys;
    }
    void TearDown() override {
        if (!HasFailure()) return;
        std::ifstream in(sandbox_.root() + "/child.log");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::cerr << "child output (last runs):\n" << text.substr(text.size() > 4000 ? text.size() - 4000 : 0) << "\n";
    }
    json get(const std::string& path) { return ns::testing::getJSON(*backend_, path); }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_ = ns::testing::Backend::start();
};

TEST_F(PersistenceKillTest, EveryRaisedWriteSurvivesAKillAndReachesTheServerOnce) {
    std::mt19937 random(12345);
    const std::string folder =
        FRepo::cacheFolder("killed", *FUtilities::parseUrl(ns::testing::databaseURL(*backend_, "demo")).repoInfo);
    std::map<std::string, int64_t> stored;  // key -> value of every stored write
    for (int run = 0; run < 50; ++run) {
        const size_t before = raised().size();
        const pid_t child = startChild(run);
        ASSERT_GT(child, 0);
        // Kill at a random moment once this run has raised something of its
        // own, or at its start now and then.
        const bool early = random() % 5 == 0;
        if (!early) {
            ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return raised().size() > before; }, 60))
                << "the child raised nothing in run " << run;
        }
        ::usleep(useconds_t(random() % 20000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself in run " << run;

        FLevelDBStorageEngine engine(folder);
        stored.clear();
        for (const auto& write : engine.userWrites()) {
            ASSERT_TRUE(write->isOverwrite());
            ASSERT_EQ(write->path().getFront(), std::optional<std::string>("kill"));
            stored[*write->path().getBack()] = write->overwrite()->val().asInt();
        }
        for (const std::string& key : raised()) {
            ASSERT_TRUE(stored.count(key)) << key << " was raised but is not stored after run " << run;
            EXPECT_EQ(stored[key], std::stoi(key.substr(key.find('_') + 1)));
        }
    }

    ASSERT_GE(stored.size(), raised().size());
    ASSERT_GT(raised().size(), 40u);

    // Now online: every stored write arrives, each once.
    std::shared_ptr<FRepo> repo;
    FWorkerQueue::sharedQueue()->sync([&] {
        repo = FRepo::make(FUtilities::parseUrl(ns::testing::databaseURL(*backend_, "demo")).repoInfo,
                           cachedConfig(), nullptr);
    });
    ASSERT_TRUE(ns::RunLoop::main().runUntil(
        [&] {
            json data = get("/__admin/rtdb/data?ns=demo&path=/kill")["data"];
            return data.is_object() && data.size() == stored.size();
        },
        120));
    FWorkerQueue::sharedQueue()->sync([&] { repo->dispose(); });
    json data = get("/__admin/rtdb/data?ns=demo&path=/kill")["data"];
    for (const auto& [key, value] : stored) EXPECT_EQ(data[key], json(value)) << key;
    EXPECT_EQ(get("/__admin/rtdb/counters?ns=demo")["requests"]["p"].get<int64_t>(), int64_t(stored.size()));
}

}  // namespace
