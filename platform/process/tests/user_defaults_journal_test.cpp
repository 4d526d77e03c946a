// A change to the user defaults is on disk once its call returns: a process
// ended by SIGKILL the moment after keeps it, with no synchronize, whatever
// the change was; a damaged journal keeps what precedes the damage; a crash
// between the list's replacement and the journal's removal replays to the
// same list; objects on one domain merge; and a damaged list with a journal
// keeps the journal's changes and the damaged file aside.
//
// The child processes here are forked and end with SIGKILL right after the
// calls, as the phone ends an app; a virtual clock keeps timed folds from
// running, so no thread holds a lock the child needs when it is forked. The
// crash inside a fold uses the exit test's helper program, whose store
// writes are counted from its start.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "testing/temp_sandbox.h"

extern char** environ;

namespace {

using ns::Dictionary;
using ns::UserDefaults;
using ns::Value;
namespace fs = std::filesystem;

std::string journalOf(const std::string& list) { return list + ".journal"; }

std::string outcome(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// Runs `changes` in a child process ended with SIGKILL as soon as they
// return: nothing after them runs, no exit handler, no timed write.
void inChildKilledAfter(const std::function<void()>& changes) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        try {
            changes();
        } catch (...) {
            ::_exit(3);
        }
        ::kill(::getpid(), SIGKILL);
        for (;;) ::pause();
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(outcome(status), "signal " + std::to_string(SIGKILL)) << "the child must end by SIGKILL";
}

std::vector<std::string> namesIn(const std::string& folder) {
    auto names = ns::FileManager().contentsOfDirectory(folder);
    return names ? *names : std::vector<std::string>{};
}

// ---- every change outlives SIGKILL ----

struct KilledCase {
    const char* name;
    // What the domain holds before the child (written and synchronized).
    Dictionary before;
    std::function<void(UserDefaults&)> changes;
    Dictionary expected;
};

std::vector<KilledCase> killedCases() {
    Dictionary many;
    for (int i = 0; i < 6000; ++i) many["key " + std::to_string(i)] = Value("value " + std::to_string(i * 7));
    return {
        {"value kinds",
         {},
         [](UserDefaults& d) {
             d.setBool(true, "bool");
             d.setInteger(-42, "int");
             d.setObject(Value(uint64_t(18'000'000'000'000'000'000ull)), "uint");
             d.setDouble(0.1, "double");
             d.setString("Café ñandú 😀", "string");
             d.setString("", "empty string");
             d.setObject(Value(ns::Data{0, 1, 2, 255}), "data");
             d.setObject(Value(ns::Date{1'700'000'000.5}), "date");
             d.setObject(Value(ns::Array{Value(1), Value("two"), Value(ns::Array{})}), "array");
             d.setObject(Value(Dictionary{{"inner", Dictionary{{"deep", 3.5}}}, {"n", false}}), "dictionary");
         },
         {{"bool", true},
          {"int", -42},
          {"uint", Value(uint64_t(18'000'000'000'000'000'000ull))},
          {"double", 0.1},
          {"string", "Café ñandú 😀"},
          {"empty string", ""},
          {"data", ns::Data{0, 1, 2, 255}},
          {"date", ns::Date{1'700'000'000.5}},
          {"array", ns::Array{Value(1), Value("two"), Value(ns::Array{})}},
          {"dictionary", Dictionary{{"inner", Dictionary{{"deep", 3.5}}}, {"n", false}}}}},
        {"overwrites and removals over a stored list",
         {{"kept", 1}, {"removed", 2}, {"replaced", "old"}},
         [](UserDefaults& d) {
             d.removeObjectForKey("removed");
             for (int i = 0; i < 50; ++i) d.setInteger(i, "replaced");
             d.setString("short-lived", "added then removed");
             d.removeObjectForKey("added then removed");
         },
         {{"kept", 1}, {"replaced", 49}}},
        {"the domain removed, then a value set",
         {{"old", 1}, {"older", 2}},
         [](UserDefaults& d) {
             d.setInteger(3, "before the clear");
             d.removePersistentDomain();
             d.setString("new", "after");
         },
         {{"after", "new"}}},
        {"the domain removed last", {{"old", 1}}, [](UserDefaults& d) { d.removePersistentDomain(); }, {}},
        {"many keys, past the journal's bound",
         {},
         [many](UserDefaults& d) {
             for (const auto& [k, v] : many) d.setObject(v, k);
         },
         many},
    };
}

TEST(UserDefaultsJournal, EveryKindOfChangeOutlivesSigkillRightAfterItsCall) {
    auto clock = ns::VirtualClock::install();
    for (const KilledCase& c : killedCases()) {
        SCOPED_TRACE(c.name);
        ns::testing::TempSandbox temp;
        const std::string domain = "durable.case";
        if (!c.before.empty()) {
            UserDefaults setup(domain, temp.sandbox());
            for (const auto& [k, v] : c.before) setup.setObject(v, k);
            ASSERT_TRUE(setup.synchronize());
        }
        auto sandbox = temp.sandbox();
        inChildKilledAfter([&] { c.changes(*UserDefaults::suite(domain)); });

        UserDefaults fresh(domain, sandbox);
        EXPECT_EQ(fresh.persistentDomain(), c.expected);
        // Opening folded the journal: the list alone holds it all now.
        EXPECT_FALSE(fs::exists(journalOf(fresh.path())));
        if (c.expected.empty()) {
            EXPECT_FALSE(fs::exists(fresh.path())) << "a removed domain leaves no list";
        } else {
            EXPECT_EQ(ns::plist::readFile(fresh.path()), Value(c.expected));
        }
    }
}

// An object of another process folds while this one keeps changing: the
// fold's removal of the journal never takes a change with it.
TEST(UserDefaultsJournal, FoldsByAnotherProcessLoseNoChangeMadeMeanwhile) {
    auto clock = ns::VirtualClock::install();
    ns::testing::TempSandbox temp;
    constexpr int kKeys = 1500;
    int done[2];
    ASSERT_EQ(::pipe(done), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(done[0]);
        auto d = UserDefaults::suite("shared.domain");
        for (int i = 0; i < kKeys; ++i) d->setInteger(i, "k" + std::to_string(i));
        [[maybe_unused]] const auto n = ::write(done[1], "x", 1);
        for (;;) ::pause();
    }
    ::close(done[1]);
    int folds = 0;
    {
        // Fold over and over while the child appends.
        UserDefaults folder("shared.domain", temp.sandbox());
        for (pollfd p{done[0], POLLIN, 0}; ::poll(&p, 1, 0) == 0; p.revents = 0) {
            ASSERT_TRUE(folder.synchronize());
            ++folds;
        }
    }
    ::close(done[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(outcome(status), "signal " + std::to_string(SIGKILL));
    UserDefaults fresh("shared.domain", temp.sandbox());
    const Dictionary stored = fresh.persistentDomain();
    EXPECT_EQ(stored.size(), size_t(kKeys)) << "after " << folds << " folds";
    for (int i = 0; i < kKeys; ++i) {
        const auto it = stored.find("k" + std::to_string(i));
        if (it == stored.end() || it->second != Value(i)) {
            ADD_FAILURE() << "k" << i << " lost or wrong";
            break;
        }
    }
}

// ---- a damaged journal ----

struct Journal {
    ns::Data bytes;
    // Where each change's record ends.
    std::vector<size_t> ends;
};

// Five changes journaled by an object whose own fold is undone afterwards:
// the journal as a killed process leaves it, and no list.
Journal fiveChanges(const std::shared_ptr<ns::Sandbox>& sandbox, const std::string& domain) {
    Journal out;
    UserDefaults writer(domain, sandbox);
    const std::string path = journalOf(writer.path());
    const Value values[] = {Value(1), Value("two"), Value(ns::Array{Value(3)}), Value(ns::Data(300, 4)), Value(5.5)};
    for (int i = 0; i < 5; ++i) {
        writer.setObject(values[i], "k" + std::to_string(i));
        out.ends.push_back(size_t(fs::file_size(path)));
    }
    out.bytes = *ns::FileManager().readData(path);
    return out;
}

// A torn last record (a write cut short, whose call never returned) is
// dropped; a complete record that does not read is damage, and the journal
// goes aside whole once the records before it are in the list.
TEST(UserDefaultsJournal, ADamagedJournalKeepsEveryChangeBeforeTheDamage) {
    const struct {
        const char* name;
        std::function<void(Journal&)> damage;
        int keysKept;
        bool logged;
        bool setAside;
    } cases[] = {
        {"torn in the last record's body", [](Journal& j) { j.bytes.resize(j.ends[4] - 3); }, 4, true, false},
        {"torn in the last record's header", [](Journal& j) { j.bytes.resize(j.ends[3] + 5); }, 4, true, false},
        {"a byte of the third record's body flipped", [](Journal& j) { j.bytes[j.ends[1] + 12] ^= 0x20; }, 2, true,
         true},
        {"the second record's length damaged past the end", [](Journal& j) { j.bytes[j.ends[0] + 1] ^= 0x40; }, 1,
         true, false},
        {"the second record's length damaged within the file", [](Journal& j) { j.bytes[j.ends[0]] ^= 0x01; }, 1,
         true, true},
        {"the first record's checksum damaged", [](Journal& j) { j.bytes[5] ^= 1; }, 0, true, true},
        {"a tail of zeros", [](Journal& j) { j.bytes.resize(j.bytes.size() + 4096, 0); }, 5, true, true},
        {"a tail of text", [](Journal& j) { j.bytes.insert(j.bytes.end(), {'n', 'o', 'i', 's', 'e', '!', '!', '!', '!'}); },
         5, true, false},
        {"sound", [](Journal&) {}, 5, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ns::testing::TempSandbox temp;
        Journal journal = fiveChanges(temp.sandbox(), "damaged.journal");
        ASSERT_EQ(journal.ends.size(), 5u);
        ASSERT_EQ(journal.ends.back(), journal.bytes.size());
        const std::string folder = temp.sandbox()->preferencesPath();
        const std::string list = folder + "/damaged.journal.plist";
        fs::remove(list);
        c.damage(journal);
        ASSERT_TRUE(ns::FileManager().writeData(journalOf(list), journal.bytes));

        auto log = ns::SystemLog::capture();
        UserDefaults fresh("damaged.journal", temp.sandbox());
        const Dictionary stored = fresh.persistentDomain();
        EXPECT_EQ(stored.size(), size_t(c.keysKept));
        for (int i = 0; i < c.keysKept; ++i) EXPECT_TRUE(stored.contains("k" + std::to_string(i))) << i;
        const auto lines = log.lines();
        const auto mentions = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(journalOf(list)) != std::string::npos;
        });
        EXPECT_EQ(mentions, c.logged ? 1 : 0) << "the damage is logged once";
        EXPECT_FALSE(fs::exists(journalOf(list))) << "the sound part was folded";
        const std::string aside = journalOf(list) + ".damaged";
        EXPECT_EQ(fs::exists(aside), c.setAside);
        if (c.setAside) {
            EXPECT_EQ(ns::FileManager().readData(aside), journal.bytes) << "the damaged journal is kept whole";
            EXPECT_TRUE(log.contains(aside)) << "the line names where it went";
        }
        log.clear();
        UserDefaults again("damaged.journal", temp.sandbox());
        EXPECT_EQ(again.persistentDomain(), stored);
        EXPECT_FALSE(log.contains(journalOf(list))) << "nothing is left to report";
    }
}

// A writer killed mid-record leaves a torn tail while another object still
// appends: its record must not land behind the torn one, where a replay
// would never reach it.
TEST(UserDefaultsJournal, AnAppendAfterATornTailIsNotHiddenByIt) {
    ns::testing::TempSandbox temp;
    UserDefaults early("torn.tail", temp.sandbox());
    UserDefaults other("torn.tail", temp.sandbox());
    other.setInteger(1, "first");
    other.setString(std::string(500, 'x'), "torn");
    const std::string journal = journalOf(other.path());
    ASSERT_TRUE(fs::exists(journal));
    fs::resize_file(journal, fs::file_size(journal) - 100);

    auto log = ns::SystemLog::capture();
    early.setInteger(3, "after");
    EXPECT_TRUE(log.contains(journal)) << "the cut tail is reported";
    UserDefaults fresh("torn.tail", temp.sandbox());
    EXPECT_EQ(fresh.persistentDomain(), (Dictionary{{"first", 1}, {"after", 3}}));
}

// ---- records the header does not describe ----

// A record as an appender writes it: length, CRC-32 of the length and the
// body, body.
ns::Data checksummed(char kind, const ns::Data& rest) {
    ns::Data body{uint8_t(kind)};
    body.insert(body.end(), rest.begin(), rest.end());
    ns::Data out(8);
    for (int i = 0; i < 4; ++i) out[size_t(i)] = uint8_t(body.size() >> (8 * i));
    uLong crc = ::crc32(0L, Z_NULL, 0);
    crc = ::crc32(crc, out.data(), 4);
    crc = ::crc32(crc, body.data(), uInt(body.size()));
    for (int i = 0; i < 4; ++i) out[size_t(4 + i)] = uint8_t(crc >> (8 * i));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

ns::Data binaryList(const Value& v) { return ns::plist::serialize(v, ns::plist::Format::Binary); }

// {"uid": UID 1}, written byte by byte: our writer makes no UID in a list.
ns::Data listHoldingAUID() {
    const ns::Data list{'b', 'p', 'l', 'i', 's', 't', '0', '0',
                        0xd1, 0x01, 0x02,                // {ref 1: ref 2}
                        0x53, 'u',  'i',  'd',           // "uid"
                        0x80, 0x01,                      // UID 1
                        0x08, 0x0b, 0x0f,                // offsets
                        0,    0,    0,    0,    0,    0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 3,
                        0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11};
    return list;
}

// Each record's checksum is right, so only what its body says can tell it
// is not a change any call made: it is damage, the replay stops at it, and
// a change appended afterwards is not hidden behind it.
TEST(UserDefaultsJournal, ARecordTheHeaderDoesNotDescribeIsDamageAndHidesNoLaterChange) {
    ASSERT_EQ(ns::plist::parse(listHoldingAUID()),
              Value(Dictionary{{"uid", Dictionary{{"CF$UID", Value(uint64_t(1))}}}}))
        << "the hand-made list reads";
    const struct {
        const char* name;
        ns::Data record;
    } cases[] = {
        {"a set holding an XML list",
         checksummed('S', ns::plist::serialize(Value(Dictionary{{"bad", 1}}), ns::plist::Format::XML))},
        {"a set of two pairs", checksummed('S', binaryList(Value(Dictionary{{"bad", 1}, {"worse", 2}})))},
        {"a set of no pair", checksummed('S', binaryList(Value(Dictionary{})))},
        {"a set of an array", checksummed('S', binaryList(Value(ns::Array{Value("bad")})))},
        {"a set whose value is a UID", checksummed('S', listHoldingAUID())},
        {"a set whose list does not read", checksummed('S', ns::Data{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xd1})},
        {"a removal of a key that is not UTF-8", checksummed('R', ns::Data{'k', 0xff, 0xfe})},
        {"a clear with more after it", checksummed('C', ns::Data{'x'})},
        {"a kind no writer makes", checksummed('Q', ns::Data{'x'})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ns::testing::TempSandbox temp;
        UserDefaults writer("undescribed", temp.sandbox());
        UserDefaults other("undescribed", temp.sandbox());
        writer.setInteger(1, "before");
        const std::string journal = journalOf(writer.path());
        {
            std::ofstream tail(journal, std::ios::binary | std::ios::app);
            tail.write(reinterpret_cast<const char*>(c.record.data()), std::streamsize(c.record.size()));
        }
        const ns::Data bytes = *ns::FileManager().readData(journal);

        // Both objects append behind the record, each call returning.
        other.setInteger(2, "after");
        writer.setInteger(3, "later");

        UserDefaults fresh("undescribed", temp.sandbox());
        EXPECT_EQ(fresh.persistentDomain(), (Dictionary{{"before", 1}, {"after", 2}, {"later", 3}}));
        EXPECT_EQ(ns::FileManager().readData(journal + ".damaged"), bytes)
            << "the journal holding the record is set aside as it was";
    }
}

// ---- a crash inside a fold ----

struct HelperRun {
    std::string outcome;
    std::vector<std::string> writes;  // "what" of each store write, in order
};

// The helper changes the standard defaults of the sandbox at `root` (its
// "defaults" case) with the store-write trace on, ended at write `endAt`
// (0: never).
HelperRun runDefaultsHelper(const std::string& root, uint64_t endAt) {
    std::string path = ALMAVEL_EXIT_HELPER;
    std::string mode = "defaults";
    std::string folder = root;
    std::vector<char*> argv{path.data(), mode.data(), folder.data(), nullptr};
    std::vector<std::string> envText{"ALMAVEL_WRITE_TRACE=1", "ALMAVEL_END_AT_WRITE=" + std::to_string(endAt)};
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("ALMAVEL_", 0) != 0) envText.emplace_back(*e);
    }
    std::vector<char*> env;
    for (auto& e : envText) env.push_back(e.data());
    env.push_back(nullptr);
    const std::string errPath = root + "/helper-stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    HelperRun run;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return {"not started", {}};
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.outcome = outcome(status);
    FILE* err = std::fopen(errPath.c_str(), "r");
    char line[512];
    while (err && std::fgets(line, sizeof line, err)) {
        unsigned long long n = 0;
        char what[400] = {0};
        if (std::sscanf(line, "store write %llu: %399[^\n]", &n, what) == 2) run.writes.push_back(what);
    }
    if (err) std::fclose(err);
    return run;
}

// The k (from 1) of the `occurrence`-th write named `what` (negative: from
// the last), or 0.
uint64_t writeNumber(const std::vector<std::string>& writes, const std::string& what, int occurrence) {
    std::vector<uint64_t> found;
    for (size_t i = 0; i < writes.size(); ++i) {
        if (writes[i] == what) found.push_back(i + 1);
    }
    const long at = occurrence < 0 ? long(found.size()) + occurrence : occurrence;
    return at >= 0 && at < long(found.size()) ? found[size_t(at)] : 0;
}

TEST(UserDefaultsJournal, ACrashAtAnyStepOfAFoldReplaysToTheSameList) {
    ns::testing::TempSandbox reference;
    const HelperRun whole = runDefaultsHelper(reference.root(), 0);
    ASSERT_EQ(whole.outcome, "exit 0");
    const Value expected = ns::plist::readFile(reference.sandbox()->preferencesPath() + "/almavel.plist");
    ASSERT_TRUE(expected.isDictionary());
    ASSERT_FALSE(expected.asDictionary().empty());

    // The helper clears the domain halfway (a fold of its own), then
    // synchronizes.
    const struct {
        const char* step;
        const char* what;
        int occurrence;
        Value expected;
        bool journalLeft;
    } cases[] = {
        {"the clear, before the list's removal", "user defaults almavel list removed", 0, Value(Dictionary{}), true},
        {"the clear, before the journal's removal", "user defaults almavel journal removed", 0, Value(Dictionary{}), true},
        {"synchronize, before the list is written", "user defaults almavel fold", -1, expected, true},
        {"synchronize, between the list's replacement and the journal's removal",
         "user defaults almavel journal removed", -1, expected, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        const uint64_t k = writeNumber(whole.writes, c.what, c.occurrence);
        ASSERT_NE(k, 0u) << "no store write named " << c.what;
        ns::testing::TempSandbox temp;
        const HelperRun crashed = runDefaultsHelper(temp.root(), k);
        ASSERT_EQ(crashed.outcome, "signal " + std::to_string(SIGKILL));
        const std::string list = temp.sandbox()->preferencesPath() + "/almavel.plist";
        EXPECT_EQ(fs::exists(journalOf(list)), c.journalLeft);

        UserDefaults fresh("almavel", temp.sandbox());
        EXPECT_EQ(Value(fresh.persistentDomain()), c.expected);
        EXPECT_FALSE(fs::exists(journalOf(list)));
        if (!c.expected.asDictionary().empty()) {
            EXPECT_EQ(ns::plist::readFile(list), c.expected);
        }
        UserDefaults again("almavel", temp.sandbox());
        EXPECT_EQ(Value(again.persistentDomain()), c.expected) << "a second replay changes nothing";
    }
}

// The list already holds what the journal says: a crash between the two
// steps of a fold, made by hand over lists of every shape.
TEST(UserDefaultsJournal, AJournalReplayedOverTheListItWasFoldedIntoChangesNothing) {
    const struct {
        const char* name;
        std::function<void(UserDefaults&)> changes;
    } cases[] = {
        {"sets and removals",
         [](UserDefaults& d) {
             d.setInteger(1, "a");
             d.setInteger(2, "b");
             d.removeObjectForKey("a");
             d.setString("x", "c");
         }},
        {"removals of keys only the list held, then a set of one",
         [](UserDefaults& d) {
             d.removeObjectForKey("z");
             d.removeObjectForKey("a");
             d.setInteger(5, "a");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ns::testing::TempSandbox temp;
        {
            UserDefaults seed("replayed", temp.sandbox());
            seed.setInteger(0, "a");
            seed.setInteger(0, "z");
            ASSERT_TRUE(seed.synchronize());
        }
        ns::Data journal;
        Dictionary folded;
        {
            UserDefaults d("replayed", temp.sandbox());
            c.changes(d);
            const std::string path = journalOf(d.path());
            ASSERT_TRUE(fs::exists(path));
            journal = *ns::FileManager().readData(path);
            ASSERT_TRUE(d.synchronize());
            folded = d.persistentDomain();
            ASSERT_FALSE(fs::exists(path));
            ASSERT_TRUE(ns::FileManager().writeData(path, journal));  // as if the removal never happened
        }
        UserDefaults fresh("replayed", temp.sandbox());
        EXPECT_EQ(fresh.persistentDomain(), folded);
        EXPECT_EQ(ns::plist::readFile(fresh.path()), Value(folded));
    }
}

// Changes that change nothing (a removal of an absent key, a value set
// again) cost their records, not a rewrite of the list; a number stored
// again as another kind is a change.
TEST(UserDefaultsJournal, AFoldOfChangesThatChangeNothingLeavesTheListAsItWas) {
    ns::testing::TempSandbox temp;
    UserDefaults d("unchanged", temp.sandbox());
    d.setInteger(1, "n");
    d.setObject(Value(ns::Array{Value(1), Value("x")}), "list");
    ASSERT_TRUE(d.synchronize());
    struct stat before;
    ASSERT_EQ(::stat(d.path().c_str(), &before), 0);

    d.removeObjectForKey("absent");
    d.setInteger(1, "n");
    d.setObject(Value(ns::Array{Value(1), Value("x")}), "list");
    ASSERT_TRUE(fs::exists(journalOf(d.path()))) << "every change is journaled";
    ASSERT_TRUE(d.synchronize());
    struct stat after;
    ASSERT_EQ(::stat(d.path().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the list was not rewritten";
    EXPECT_FALSE(fs::exists(journalOf(d.path())));

    const struct {
        const char* name;
        const char* key;
        Value value;
    } changes[] = {
        {"an integer stored as a real", "n", Value(1.0)},
        {"an array member stored as another kind", "list", Value(ns::Array{Value(1.0), Value("x")})},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        d.setObject(c.value, c.key);
        ASSERT_TRUE(d.synchronize());
        UserDefaults fresh("unchanged", temp.sandbox());
        const Value stored = fresh.objectForKey(c.key);
        EXPECT_EQ(stored, c.value);
        const Value& first = stored.isArray() ? stored.asArray()[0] : stored;
        EXPECT_TRUE(first.isDouble()) << "stored as a real, not as the integer it equals";
    }
}

// ---- objects on one domain ----

TEST(UserDefaultsJournal, TwoObjectsOnOneDomainMergeKeyByKey) {
    auto clock = ns::VirtualClock::install();
    ns::testing::TempSandbox temp;
    auto shared = UserDefaults::suite("two.objects");
    UserDefaults reader("two.objects", temp.sandbox());
    shared->setInteger(1, "a");
    shared->setInteger(2, "b");
    reader.setInteger(3, "c");
    reader.removeObjectForKey("b");
    shared->setInteger(4, "d");
    ASSERT_TRUE(shared->synchronize());
    const Dictionary merged{{"a", 1}, {"c", 3}, {"d", 4}};
    EXPECT_EQ(shared->persistentDomain(), merged) << "the other object's changes are picked up, in order";
    ASSERT_TRUE(reader.synchronize());
    EXPECT_EQ(reader.persistentDomain(), merged);
    EXPECT_EQ(ns::plist::readFile(reader.path()), Value(merged));

    // A reader opened in between folds the shared object's journal; the
    // shared object's next change goes to a journal of its own, not into the
    // removed one.
    shared->setInteger(5, "e");
    UserDefaults second("two.objects", temp.sandbox());
    EXPECT_EQ(second.integerForKey("e"), 5) << "an open sees what is journaled";
    shared->setInteger(6, "f");
    reader.setInteger(7, "g");
    auto sandbox = temp.sandbox();
    inChildKilledAfter([&] {
        UserDefaults inChild("two.objects", sandbox);
        inChild.setInteger(8, "h");
        UserDefaults::suite("two.objects")->setInteger(9, "i");
    });
    UserDefaults fresh("two.objects", temp.sandbox());
    EXPECT_EQ(fresh.persistentDomain(),
              (Dictionary{{"a", 1}, {"c", 3}, {"d", 4}, {"e", 5}, {"f", 6}, {"g", 7}, {"h", 8}, {"i", 9}}));
}

// ---- a damaged list with a journal ----

TEST(UserDefaultsJournal, ADamagedListIsSetAsideAndTheJournalAppliesOverNothing) {
    auto clock = ns::VirtualClock::install();
    const struct {
        const char* name;
        bool damagedBeforeTheChanges;
    } cases[] = {
        {"the list damaged before the process opened it", true},
        {"the list damaged after the process was killed", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ns::testing::TempSandbox temp;
        const std::string folder = temp.sandbox()->preferencesPath();
        const std::string list = folder + "/damaged.list.plist";
        const ns::Data garbage{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xff, 0xfe};
        {
            UserDefaults seed("damaged.list", temp.sandbox());
            seed.setInteger(1, "old");
            ASSERT_TRUE(seed.synchronize());
        }
        if (c.damagedBeforeTheChanges) {
            ASSERT_TRUE(ns::FileManager().writeData(list, garbage));
        }
        auto sandbox = temp.sandbox();
        inChildKilledAfter([&] {
            auto d = UserDefaults::suite("damaged.list");
            d->setInteger(2, "x");
            d->setString("two", "y");
        });
        if (!c.damagedBeforeTheChanges) {
            ASSERT_TRUE(ns::FileManager().writeData(list, garbage));
        }
        ASSERT_TRUE(fs::exists(journalOf(list)));

        UserDefaults fresh("damaged.list", temp.sandbox());
        const Dictionary expected{{"x", 2}, {"y", "two"}};
        EXPECT_EQ(fresh.persistentDomain(), expected);
        EXPECT_TRUE(fresh.synchronize());
        EXPECT_EQ(ns::plist::readFile(list), Value(expected));
        const auto names = namesIn(folder);
        ASSERT_EQ(names.size(), 2u);
        EXPECT_EQ(names[0], "damaged.list.plist");
        EXPECT_EQ(names[1].rfind("damaged.list.plist.corrupt-", 0), 0u);
        EXPECT_EQ(*ns::FileManager().readData(folder + "/" + names[1]), garbage);
    }
}

}  // namespace
