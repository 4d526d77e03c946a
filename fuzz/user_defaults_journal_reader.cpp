// A user-defaults domain's change journal as the next open reads it: the
// bytes are put beside a known list as "<domain>.plist.journal" in a real
// sandbox, and a new object on the domain replays them over the list and
// folds the outcome into it.
//
// Invariants: opening folds the journal (none is left), a second object
// reads the folded list as the first holds it, and a journal followed by a
// copy of itself reads as the journal alone (a replay over what it already
// did changes nothing, and nothing after a damaged record counts).
//
// Input: the journal's bytes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
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

// The domain as a new object finds it over the known list and `journal`.
ns::Dictionary openedWith(const std::string& journal) {
    const std::string list = sandbox()->preferencesPath() + "/" + kDomain + ".plist";
    std::filesystem::remove(list);
    std::filesystem::remove(list + ".journal");
    static const ns::NoDestructor<ns::Data> known([] {
        return ns::plist::serialize(
            ns::Value(ns::Dictionary{{"kept", ns::Value("yes")}, {"count", ns::Value(int64_t(3))}}),
            ns::plist::Format::Binary, nullptr);
    }());
    std::ofstream(list, std::ios::binary).write(reinterpret_cast<const char*>(known->data()), std::streamsize(known->size()));
    std::ofstream(list + ".journal", std::ios::binary).write(journal.data(), std::streamsize(journal.size()));

    ns::Dictionary domain;
    {
        ns::UserDefaults reader(kDomain, sandbox());
        domain = reader.persistentDomain();
        require(!std::filesystem::exists(list + ".journal"));  // opening left the journal unfolded
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
