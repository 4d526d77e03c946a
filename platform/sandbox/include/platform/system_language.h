#pragma once
// The language the phone writes its own texts in (control titles, error
// descriptions): that of the current sandbox's device profile, Spanish for
// an "es" locale ("es", "es_PA", "es-MX", any case), else English.

#include <string>

namespace ns {

enum class SystemLanguage { English, Spanish };

SystemLanguage systemLanguageOf(const std::string& localeIdentifier);
// Any thread. English while the device profile itself is being read (an
// error met reading it is described before the language is known).
SystemLanguage systemLanguage();

// The wording of a text the system writes, in the phone's language.
inline std::string systemText(const char* english, const char* spanish) {
    return systemLanguage() == SystemLanguage::Spanish ? spanish : english;
}

}  // namespace ns
