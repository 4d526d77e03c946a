// A reader of the program's output that has gone (`almavel --script FILE |
// head -1` once head has its line) ends nothing: the program plays its
// script and ends as it would with the reader there, with the same status
// and the same changes on disk, its user defaults folded.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "phone_process.h"

namespace endingtest {
namespace {

// A clerk signs in and looks up a product, which the app hands over to its
// result screen in the standard user defaults.
const std::string kSignInAndProduct = std::string("type txtUser ") + kStaffEmail + "\ntype txtPass " + kStaffPassword +
                                      "\ntap logIn\ntap btCap\nscan ean13 0741751003253\nback\n";

const std::vector<const char*>& keysTheScriptChanges() {
    static const auto* keys =
        new std::vector<const char*>{almavel::kLoggedKey,  almavel::kUsuarioKey, almavel::kCodigoKey, almavel::kDescripKey,
                                     almavel::kPrecioKey,  almavel::kOfertaKey,  almavel::kFecIniKey, almavel::kFecFinKey,
                                     almavel::kMargenKey};
    return *keys;
}

// User-defaults journals still waiting to join their lists: a run that
// ended the normal way folded every one. Listed before the phone is opened
// (opening it folds them).
std::vector<std::string> journals(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().extension() == ".journal") out.push_back(fs::relative(entry.path(), root).string());
    }
    return out;
}

struct Unread {
    const char* name;
    bool output;
    bool errors;
};

TEST(ClosedOutput, AGoneReaderOfTheProgramsOutputOrErrorsEndsNothingAndTheRunEndsAsWithOne) {
    WorkFolder work;
    auto backend = ns::testing::Backend::start({.seed = true});
    const auto phoneAt = [&](const std::string& name) {
        Phone phone(work.path() / name, *backend);
        phone.install();
        return phone;
    };

    const Phone reference = phoneAt("reference");
    const Outcome read = reference.play(kSignInAndProduct);
    ASSERT_EQ(read.status, 0) << read.tail();
    ASSERT_EQ(read.lastScreen(), "CapturaViewController") << read.tail();
    ASSERT_TRUE(journals(reference.root()).empty()) << joined(journals(reference.root()));
    const ns::Dictionary expected = readStores(reference.root()).standard;
    ASSERT_EQ(expected.at(almavel::kLoggedKey), ns::Value("1"));
    ASSERT_FALSE(expected.at(almavel::kCodigoKey).isNull()) << "the product is handed over";

    const Unread cases[] = {{"standard output", true, false}, {"standard error", false, true}, {"both", true, true}};
    for (const Unread& unread : cases) {
        SCOPED_TRACE(std::string("no reader of ") + unread.name);
        const Phone phone = phoneAt(std::string("unread-") + (unread.output ? "out" : "") + (unread.errors ? "err" : ""));
        const fs::path script = phone.root().string() + ".script";
        writeText(script, kSignInAndProduct);
        ns::testing::ChildProcess app({.args = {appProgram(), "--script", script.string(), "--shots", ""},
                                       .env = phone.environment(),
                                       .outputUnread = unread.output,
                                       .errorsUnread = unread.errors});
        const int status = app.wait(kRunSeconds);
        EXPECT_EQ(status, read.status) << "141 is the end by SIGPIPE\n" << app.output() << "\n" << app.errorOutput();

        EXPECT_TRUE(journals(phone.root()).empty()) << "not folded: " << joined(journals(phone.root()));
        const Leftovers left = leftovers(phone.root());
        EXPECT_TRUE(left.temporaries.empty()) << "temporary files left: " << joined(left.temporaries);
        EXPECT_TRUE(left.setAside.empty()) << "stores found damaged: " << joined(left.setAside);
        const Stores stores = readStores(phone.root());
        EXPECT_TRUE(stores.damage.empty()) << joined(stores.damage);
        for (const char* key : keysTheScriptChanges()) {
            const auto on = [key](const ns::Dictionary& d) {
                const auto it = d.find(key);
                return it == d.end() ? ns::Value() : it->second;
            };
            EXPECT_TRUE(on(stores.standard) == on(expected)) << "\"" << key << "\" is " << on(stores.standard).description()
                                                             << " on disk, " << on(expected).description() << " after a run read";
        }
        if (HasFailure()) work.keep();
    }
}

}  // namespace
}  // namespace endingtest
