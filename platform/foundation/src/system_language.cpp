#include "platform/system_language.h"

#include <atomic>
#include <cctype>
#include <exception>

namespace ns {

namespace {

std::atomic<SystemLocaleSource> localeSource{nullptr};

}  // namespace

SystemLanguage systemLanguageOf(const std::string& locale) {
    const bool spanish = locale.size() >= 2 && std::tolower(static_cast<unsigned char>(locale[0])) == 'e' &&
                         std::tolower(static_cast<unsigned char>(locale[1])) == 's' &&
                         (locale.size() == 2 || locale[2] == '_' || locale[2] == '-');
    return spanish ? SystemLanguage::Spanish : SystemLanguage::English;
}

void setSystemLocaleSource(SystemLocaleSource source) { localeSource.store(source); }

SystemLanguage systemLanguage() {
    // Opening the sandbox or reading its profile can itself fail with a file
    // error, whose description asks again: that one is in English rather
    // than a wait on the lock its own thread holds.
    thread_local bool asking = false;
    const SystemLocaleSource source = localeSource.load();
    if (asking || !source) return SystemLanguage::English;
    asking = true;
    SystemLanguage language = SystemLanguage::English;
    try {
        language = systemLanguageOf(source());
    } catch (const std::exception&) {
        // No sandbox to read: the error being described is still described.
    }
    asking = false;
    return language;
}

}  // namespace ns
