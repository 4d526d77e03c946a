// A user-defaults domain's change journal as the next open reads it: the
// bytes are put beside a known list as "<domain>.plist.journal" in a real
// sandbox, and a new object on the domain replays them over the list and
// folds the outcome into it.
//
// Invariants: a change an object already open appends after the bytes is
// read by the next open (no record the replay stops at hides it), opening
// folds the journal (none is left; one set aside as damaged holds the
// bytes as they were), a second object reads the folded list as the first
// holds it, and a journal followed by a copy of itself reads as the
// journal alone (a replay over what it already did changes nothing, and
// nothing after a damaged record counts).
//
// Input: the journal's bytes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/no_destructor.h"
#include "platform/plist.h"
#include "platform/sandbox.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "require.h"
#include "scratch_dir.h"

namespace {

constexpr const char* kDomain = "fuzz.journal";

const std::shared_ptr<ns::Sandbox>& sandbox() {
    static const ns::NoDestructor<std::shared_ptr<ns::Sandbox>> shared([] {
        auto opened = ns::Sandbox::open(scratchDir());
        ns::Sandbox::setCurrent(opened);
        // Damaged records are logged once per object: most inputs have one.
        ns::SystemLog::setFilterLevel(ns::SystemLog::kCritical);
        return opened;
    }());
    return *shared;
}

// The domain as a new object finds it over the known list and `journal`,
// with a change appended after it by an object opened before.
ns::Dictionary openedWith(const std::string& journal) {
    const std::string folder = sandbox()->preferencesPath();
    const std::string list = folder + "/" + kDomain + ".plist";
    // A damaged journal is set aside beside the list: each run starts from
    // an empty folder, so copies of earlier runs do not pile up.
    for (const auto& entry : std::filesystem::directory_iterator(folder)) std::filesystem::remove_all(entry.path());
    static const ns::NoDestructor<ns::Data> known([] {
        return ns::plist::serialize(
            ns::Value(ns::Dictionary{{"kept", ns::Value("yes")}, {"count", ns::Value(int64_t(3))}}),
            ns::plist::Format::Binary, nullptr);
    }());
    std::ofstream(list, std::ios::binary).write(reinterpret_cast<const char*>(known->data()), std::streamsize(known->size()));

    ns::Dictionary domain;
    {
        ns::UserDefaults appender(kDomain, sandbox());
        std::ofstream(list + ".journal", std::ios::binary).write(journal.data(), std::streamsize(journal.size()));
        appender.setInteger(7, "appended");
        ns::UserDefaults reader(kDomain, sandbox());
        domain = reader.persistentDomain();
        require(domain["appended"] == ns::Value(int64_t(7)));  // an appended change was hidden
        require(!std::filesystem::exists(list + ".journal"));  // opening left the journal unfolded
        const std::string aside = list + ".journal.damaged";
        if (std::filesystem::exists(aside)) {
            std::ifstream in(aside, std::ios::binary);
            const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            require(kept == journal);  // the journal set aside is not the one found
        }
    }
    ns::UserDefaults again(kDomain, sandbox());
    require(again.persistentDomain() == domain);  // the folded list reads otherwise
    return domain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string journal(reinterpret_cast<const char*>(data), size);
    const ns::Dictionary once = openedWith(journal);
    require(openedWith(journal + journal) == once);  // replaying again changed the outcome
    return 0;
}
