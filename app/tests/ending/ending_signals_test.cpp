// SIGTERM, SIGINT and SIGHUP end the program as its normal end does,
// whenever they come: while it starts, before it has launched the app, and
// after any step of a script or any input of the page, in both its modes.
// The status is 0 and every change the steps made is on disk. Each signal
// is a test of its own, a run per step.

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "phone_process.h"
#include "uikit/AVFoundation.h"

namespace endingtest {
namespace {

// A clerk's shift in steps: sign in, scan a product to its result, back to
// the menu, sign out. As a script, and as the page's input with the screen
// each one leads to ("" when it stays).
struct Step {
    const char* script;
    const char* path;
    nlohmann::json body;
    const char* leadsTo;
};

const std::vector<Step>& shift() {
    static const auto* steps = new std::vector<Step>{
        {"type txtUser personal@almavel.com.pa", "/type", {{"name", "txtUser"}, {"text", kStaffEmail}}, ""},
        {"type txtPass Almavel2024", "/type", {{"name", "txtPass"}, {"text", kStaffPassword}}, ""},
        {"tap logIn", "/tap", {{"name", "logIn"}}, "MainViewController"},
        {"tap btCap", "/tap", {{"name", "btCap"}}, "CapturaViewController"},
        {"scan ean13 0741751003253", "/sensor/code", {{"type", ns::AVMetadataObjectTypeEAN13Code}, {"text", "0741751003253"}},
         "ResultViewController"},
        {"back", "/back", nlohmann::json::object(), "CapturaViewController"},
        {"back", "/back", nlohmann::json::object(), "MainViewController"},
        {"tap ShowHideMenu", "/tap", {{"name", "ShowHideMenu"}}, ""},
        {"tap CloseSession", "/tap", {{"name", "CloseSession"}}, "ViewController"},
    };
    return *steps;
}
constexpr int kSignedInAt = 3;
constexpr int kProductAt = 5;
constexpr int kSignedOutAt = 9;

std::string shiftScript() {
    std::string script;
    for (const auto& step : shift()) script += std::string(step.script) + "\n";
    return script;
}

const std::vector<const char*>& handOverKeys() {
    static const auto* keys = new std::vector<const char*>{almavel::kCodigoKey,  almavel::kDescripKey, almavel::kPrecioKey,
                                                           almavel::kOfertaKey,  almavel::kFecIniKey,  almavel::kFecFinKey,
                                                           almavel::kMargenKey};
    return *keys;
}

// Until the page's app waits for nothing and shows `screen` ("" any), as a
// person sees it settle; false (a failure added) when it does not in time.
bool settled(httplib::Client& page, const std::string& screen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kRunSeconds);
    std::string shown;
    while (std::chrono::steady_clock::now() < deadline) {
        auto answer = page.Get("/state");
        if (answer && answer->status == 200) {
            const auto state = nlohmann::json::parse(answer->body, nullptr, false);
            const std::string text = state.is_object() ? state.value("screenText", "") : "";
            const std::string first = text.substr(0, text.find('\n'));
            const auto open = first.rfind('(');
            shown = open == std::string::npos ? first : first.substr(open + 1, first.size() - open - 2);
            if (state.is_object() && !state.value("ignoring", true) && (screen.empty() || shown == screen)) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "the page did not settle on " << (screen.empty() ? "its screen" : screen) << "; it shows " << shown;
    return false;
}

struct Ending {
    int signal;
    const char* name;
};
void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

const Ending kEndings[] = {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}};

class EndingSignals : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = ns::testing::Backend::start({.seed = true});
        // The shift played to its end: what its steps leave in the
        // standard user defaults.
        Phone reference = newPhone("reference");
        const Outcome run = reference.play(shiftScript());
        ASSERT_EQ(run.status, 0) << run.tail();
        shiftEnd_ = readStores(reference.root()).standard;
        ASSERT_EQ(shiftEnd_[almavel::kLoggedKey], ns::Value("0")) << "the shift ends signed out";
        for (const char* key : handOverKeys()) ASSERT_FALSE(shiftEnd_[key].isNull()) << key << " handed over";
    }
    void TearDown() override {
        if (HasFailure()) work_.keep();
    }

    Phone newPhone(const std::string& name) {
        Phone phone(work_.path() / name, *backend_);
        phone.install();
        return phone;
    }

    // The standard user defaults' values of the keys the shift changes,
    // once its first `steps` steps are done.
    ns::Dictionary after(int steps) {
        ns::Dictionary out;
        if (steps >= kSignedInAt) {
            out[almavel::kLoggedKey] = steps >= kSignedOutAt ? shiftEnd_[almavel::kLoggedKey] : ns::Value("1");
            out[almavel::kUsuarioKey] = shiftEnd_[almavel::kUsuarioKey];
        }
        for (const char* key : handOverKeys()) {
            if (steps >= kProductAt) out[key] = shiftEnd_[key];
        }
        return out;
    }

    // What the phone holds after an ending that came once `from` steps
    // were done: the changes of those steps, and of any step up to `to` that
    // ran before the end (the program ends when its main queue next turns,
    // which may be after a quick step or two more).
    void expectStepsOnDisk(const Phone& phone, int from, int to, const std::string& when) {
        SCOPED_TRACE(when);
        const Leftovers left = leftovers(phone.root());
        EXPECT_TRUE(left.temporaries.empty()) << "temporary files left: " << joined(left.temporaries);
        EXPECT_TRUE(left.setAside.empty()) << "stores found damaged: " << joined(left.setAside);
        const Stores stores = readStores(phone.root());
        EXPECT_TRUE(stores.damage.empty()) << joined(stores.damage);
        std::vector<ns::Dictionary> allowed;
        for (int steps = from; steps <= std::max(from, to); ++steps) allowed.push_back(after(steps));
        for (const char* key : {almavel::kLoggedKey, almavel::kUsuarioKey}) checkKey(stores.standard, key, allowed);
        for (const char* key : handOverKeys()) checkKey(stores.standard, key, allowed);
    }

    static void checkKey(const ns::Dictionary& disk, const std::string& key, const std::vector<ns::Dictionary>& allowed) {
        auto value = [&key](const ns::Dictionary& d) {
            auto it = d.find(key);
            return it == d.end() ? ns::Value() : it->second;
        };
        const bool kept = std::any_of(allowed.begin(), allowed.end(),
                                      [&](const ns::Dictionary& d) { return value(d) == value(disk); });
        EXPECT_TRUE(kept) << "\"" << key << "\" is " << value(disk).description() << " on disk; the steps done made it "
                          << value(allowed.front()).description();
    }

    WorkFolder work_;
    std::unique_ptr<ns::testing::Backend> backend_;
    ns::Dictionary shiftEnd_;
};

// Until the program is starting: it has blocked the ending signals (it does
// so from its pre-initialisation, before the app launches or any thread of
// it runs), or, a program that does not, it runs a second thread or has
// printed something. Before that it is in the loader, where a signal's
// default still ends any program: nothing a program does can take a signal
// right at exec.
bool starting(ns::testing::ChildProcess& app) {
    const uint64_t ending = (1ull << (SIGTERM - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGHUP - 1));
    for (;;) {
        const auto blocked = app.blockedSignals();
        const auto threads = app.threads();
        if (!blocked || !threads) return false;
        if ((*blocked & ending) == ending || *threads > 1 || !app.output().empty()) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

class EndingSignalsAtEachStep : public EndingSignals, public ::testing::WithParamInterface<Ending> {
protected:
    using Drive = std::function<std::unique_ptr<ns::testing::ChildProcess>(const Phone&, int)>;

    // Ends a run at each step in turn: while the program starts (step -1),
    // once it has launched the app (0) and after each step of the shift.
    // `drive` brings a program it starts on the phone to the end of that
    // many steps; the ending signal follows.
    // `ran` tells from a run's output the last step that may have run.
    void endAtEachStep(const char* mode, const Drive& drive, const std::function<int(int, const std::string&)>& ran) {
        for (int steps = -1; steps <= int(shift().size()); ++steps) {
            const std::string when = std::string(mode) + ": " + GetParam().name +
                                     (steps < 0 ? std::string(" while the program starts")
                                                : " after step " + std::to_string(steps));
            const Phone phone = newPhone(std::string(mode) + "-" + std::to_string(steps));
            auto app = drive(phone, steps);
            ASSERT_TRUE(app) << when;
            app->signal(GetParam().signal);
            const int status = app->wait(kRunSeconds);
            EXPECT_EQ(status, 0) << when << "\n" << app->output() << "\n" << app->errorOutput();
            expectStepsOnDisk(phone, std::max(steps, 0), ran(steps, app->output()), when);
            if (HasFatalFailure()) return;
        }
    }
};

// The player prints each step's heading and screen when the step and the
// app's work after it are over; the next steps go on until the app's main
// queue turns, so the signal may come while one is under way.
TEST_P(EndingSignalsAtEachStep, InScriptModeTheProgramEndsWithStatusZeroAndTheStepsDoneOnDisk) {
    const std::string script = shiftScript();
    endAtEachStep("script", [&](const Phone& phone, int steps) -> std::unique_ptr<ns::testing::ChildProcess> {
        auto app = phone.start(script);
        if (steps < 0) return starting(*app) ? std::move(app) : nullptr;
        int shown = -1;
        const bool reached = app->waitForLine(
            [&](const std::string& line) { return line.rfind("== ", 0) == 0 && ++shown == steps; }, kRunSeconds);
        EXPECT_TRUE(reached) << "step " << steps << " was not reached:\n" << app->output() << app->errorOutput();
        return reached ? std::move(app) : nullptr;
    }, [](int, const std::string& output) {
        // Each step done printed its heading, the launch's first; the end
        // may have come during the step after the last printed.
        int shown = 0;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);) shown += line.rfind("== ", 0) == 0;
        return std::min(shown, int(shift().size()));
    });
}

// The page's input is answered once the app has taken it; the signal comes
// when what it leads to shows and the app waits for nothing.
TEST_P(EndingSignalsAtEachStep, InWebHostModeTheProgramEndsWithStatusZeroAndTheAnsweredInputOnDisk) {
    endAtEachStep("page", [&](const Phone& phone, int steps) -> std::unique_ptr<ns::testing::ChildProcess> {
        auto app = phone.serve();
        if (steps < 0) return starting(*app) ? std::move(app) : nullptr;
        std::smatch found;
        const std::regex address("open http://127\\.0\\.0\\.1:(\\d+)/");
        int port = 0;
        app->waitForLine([&](const std::string& line) {
            if (!std::regex_search(line, found, address)) return false;
            port = std::stoi(found[1]);
            return true;
        }, kRunSeconds);
        EXPECT_GT(port, 0) << "the page's address was not printed:\n" << app->output() << app->errorOutput();
        if (port == 0) return nullptr;
        httplib::Client page("127.0.0.1", port);
        page.set_read_timeout(std::chrono::seconds(int(kRunSeconds)));
        for (int i = 0; i < steps; ++i) {
            const Step& step = shift()[size_t(i)];
            auto answer = page.Post(step.path, step.body.dump(), "application/json");
            EXPECT_TRUE(answer && answer->status == 200)
                << step.script << ": " << (answer ? answer->body : httplib::to_string(answer.error()));
            if (!answer || answer->status != 200 || !settled(page, step.leadsTo)) return nullptr;
        }
        return app;
    }, [](int steps, const std::string&) { return std::max(steps, 0); });
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignalsAtEachStep, ::testing::ValuesIn(kEndings),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace endingtest
