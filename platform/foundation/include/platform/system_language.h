#pragma once
// The language the phone writes its own texts in (control titles, error
// descriptions): that of the current sandbox's device profile, Spanish for
// an "es" locale ("es", "es_PA", "es-MX", any case), else English.
//
// The device profile belongs to the sandbox, a layer above the values and
// codecs that describe errors; the sandbox installs the reader of its locale
// here while the program loads (setSystemLocaleSource), so an error
// described anywhere speaks the profile's language without this layer
// knowing of sandboxes.

#include <string>

namespace ns {

enum class SystemLanguage { English, Spanish };

SystemLanguage systemLanguageOf(const std::string& localeIdentifier);
// Any thread. English while the device profile itself is being read (an
// error met reading it is described before the language is known), and in
// a program with no sandbox to ask.
SystemLanguage systemLanguage();

// The current locale identifier, as the device profile gives it; may throw
// when there is no profile to read (the language is then English).
using SystemLocaleSource = std::string (*)();
// Any thread; the last source installed is the one asked.
void setSystemLocaleSource(SystemLocaleSource source);

// The wording of a text the system writes, in the phone's language.
inline std::string systemText(const char* english, const char* spanish) {
    return systemLanguage() == SystemLanguage::Spanish ? spanish : english;
}

}  // namespace ns
