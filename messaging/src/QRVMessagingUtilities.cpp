#include "messaging/QRVMessagingUtilities.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "messaging/QRVMessagingLogger.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/no_destructor.h"
#include "platform/sandbox.h"

int64_t QRVMessagingCurrentTimestampInSeconds() { return int64_t(std::floor(ns::Clock::nowSeconds())); }

int64_t QRVMessagingCurrentTimestampInMilliseconds() { return QRVMessagingCurrentTimestampInSeconds() * 1000; }

std::string QRVMessagingCurrentAppVersion() {
    const ns::Value version = ns::Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    const std::string* text = version.stringOrNull();
    if (!text || text->empty()) {
        QRVMessagingLoggerError(18000, "Could not find current app version");
        return {};
    }
    return *text;
}

std::string QRVMessagingAppIdentifier() { return ns::Bundle::mainBundle()->bundleIdentifier(); }

namespace {
std::atomic<int64_t> freeDiskSpaceOverride{-1};
}  // namespace

void QRVMessagingSetFreeDiskSpaceInMBForTesting(int64_t megabytes) { freeDiskSpaceOverride = megabytes; }

uint64_t QRVMessagingGetFreeDiskSpaceInMB() {
    if (const int64_t forced = freeDiskSpaceOverride.load(); forced >= 0) return uint64_t(forced);
    const std::string documents = ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::Documents);
    ns::ErrorRef error;
    const auto volume = ns::FileManager::defaultManager().attributesOfFileSystem(documents, &error);
    if (!volume) {
        QRVMessagingLoggerError(18002, "Error in retreiving device's free memory %@", error);
        return 0;
    }
    QRVMessagingLoggerDebug(18001, "Device has capacity %llu MB with %llu MB free.",
                            static_cast<unsigned long long>(volume->size >> 20),
                            static_cast<unsigned long long>(volume->freeSize >> 20));
    return volume->freeSize / 1048576;
}

const std::string& QRVMessagingCurrentLibraryVersion() {
    static const ns::NoDestructor<std::string> version("2.0.0");
    return *version;
}

std::string QRVMessagingSDKVersion() { return ns::format("qdx-%@", QRVMessagingCurrentLibraryVersion()); }

const std::vector<std::pair<std::string, std::vector<std::string>>>& QRVMessagingLocalesMap() {
    static const ns::NoDestructor<std::vector<std::pair<std::string, std::vector<std::string>>>> map(
        std::vector<std::pair<std::string, std::vector<std::string>>>{
            {"sq", {"sq_AL"}},
            {"be", {"be_BY"}},
            {"bg", {"bg_BG"}},
            {"ca", {"ca", "ca_ES"}},
            {"hr", {"hr", "hr_HR"}},
            {"cs", {"cs", "cs_CZ"}},
            {"da", {"da", "da_DK"}},
            {"et", {"et_EE"}},
            {"fi", {"fi", "fi_FI"}},
            {"he", {"he", "iw_IL"}},
            {"hi", {"hi_IN"}},
            {"hu", {"hu", "hu_HU"}},
            {"is", {"is_IS"}},
            {"id", {"id", "in_ID", "id_ID"}},
            {"ga", {"ga_IE"}},
            {"ko", {"ko", "ko_KR", "ko-KR"}},
            {"lv", {"lv_LV"}},
            {"lt", {"lt_LT"}},
            {"mk", {"mk_MK"}},
            {"ms", {"ms_MY"}},
            {"mt", {"mt_MT"}},
            {"pl", {"pl", "pl_PL", "pl-PL"}},
            {"ro", {"ro", "ro_RO"}},
            {"ru", {"ru_RU", "ru", "ru_BY", "ru_KZ", "ru-RU"}},
            {"sk", {"sk", "sk_SK"}},
            {"sl", {"sl_SI"}},
            {"sv", {"sv", "sv_SE", "sv-SE"}},
            {"tr", {"tr", "tr-TR", "tr_TR"}},
            {"uk", {"uk", "uk_UA"}},
            {"vi", {"vi", "vi_VN"}},
            {"ar", {"ar",    "ar_DZ", "ar_BH", "ar_EG", "ar_IQ", "ar_JO", "ar_KW", "ar_LB", "ar_LY", "ar_MA", "ar_OM",
                    "ar_QA", "ar_SA", "ar_SD", "ar_SY", "ar_TN", "ar_AE", "ar_YE", "ar_GB", "ar-IQ", "ar_US"}},
            {"zh_Hans", {"zh_CN", "zh_SG", "zh-Hans"}},
            {"zh_Hant", {"zh_HK", "zh_TW", "zh-Hant", "zh-HK", "zh-TW"}},
            {"nl", {"nl", "nl_BE", "nl_NL", "nl-NL"}},
            {"en", {"en",    "en_AU", "en_CA", "en_IN", "en_IE", "en_MT", "en_NZ", "en_PH", "en_SG", "en_ZA",
                    "en_GB", "en_US", "en_AE", "en-AE", "en_AS", "en-AU", "en_BD", "en-CA", "en_EG", "en_ES",
                    "en-GB", "en_HK", "en_ID", "en-IN", "en_NG", "en-PH", "en_PK", "en-SG", "en-US"}},
            {"fr", {"fr", "fr_BE", "fr_CA", "fr_FR", "fr_LU", "fr_CH", "fr-CA", "fr-FR", "fr_MA"}},
            {"de", {"de", "de_AT", "de_DE", "de_LU", "de_CH", "de-DE"}},
            {"el", {"el", "el_CY", "el_GR"}},
            {"it", {"it", "it_IT", "it_CH", "it-IT"}},
            {"ja", {"ja", "ja_JP", "ja_JP_JP", "ja-JP"}},
            {"nb", {"nb", "no_NO", "no_NO_NY", "nb_NO"}},
            {"pt_BR", {"pt_BR", "pt-BR"}},
            {"pt_PT", {"pt", "pt_PT", "pt-PT"}},
            {"sr", {"sr_BA", "sr_ME", "sr_RS", "sr_Latn_BA", "sr_Latn_ME", "sr_Latn_RS"}},
            {"es_ES", {"es", "es_ES", "es-ES"}},
            {"es_MX", {"es-MX", "es_MX", "es_US", "es-US"}},
            {"es_419", {"es_AR", "es_BO", "es_CL", "es_CO", "es_CR", "es_DO", "es_EC", "es_SV", "es_GT", "es_HN",
                        "es_NI", "es_PA", "es_PY", "es_PE", "es_PR", "es_UY", "es_VE", "es-AR", "es-CL", "es-CO"}},
            {"th", {"th", "th_TH", "th_TH_TH"}},
        });
    return *map;
}

const std::vector<std::string>& QRVMessagingLocales() {
    static const ns::NoDestructor<std::vector<std::string>> locales([] {
        std::vector<std::string> all;
        for (const auto& row : QRVMessagingLocalesMap()) all.insert(all.end(), row.second.begin(), row.second.end());
        return all;
    }());
    return *locales;
}

namespace {

// "es-PA", "es_pa" and "ES_PA" name the same localization.
std::string normalisedIdentifier(std::string_view identifier) {
    std::string out(identifier);
    for (char& c : out) {
        if (c == '-') c = '_';
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string languageOf(const std::string& normalised) { return normalised.substr(0, normalised.find('_')); }

}  // namespace

std::vector<std::string> QRVMessagingPreferredLocalizations(const std::vector<std::string>& available,
                                                            const std::vector<std::string>& preferredLanguages) {
    for (const std::string& preferred : preferredLanguages) {
        const std::string wanted = normalisedIdentifier(preferred);
        const std::string language = languageOf(wanted);
        const std::string* bare = nullptr;
        const std::string* sameLanguage = nullptr;
        for (const std::string& candidate : available) {
            const std::string have = normalisedIdentifier(candidate);
            if (have == wanted) return {candidate};
            if (have == language && !bare) bare = &candidate;
            if (languageOf(have) == language && !sameLanguage) sameLanguage = &candidate;
        }
        if (bare) return {*bare};
        if (sameLanguage) return {*sameLanguage};
    }
    return {};
}

std::string QRVMessagingSDKCurrentLocale() {
    // The phone's preferred language is the device's locale in BCP 47 form.
    std::string preferred = ns::Sandbox::current()->deviceProfile().localeIdentifier;
    for (char& c : preferred) {
        if (c == '_') c = '-';
    }
    const auto found = QRVMessagingPreferredLocalizations(QRVMessagingLocales(), {preferred});
    return found.empty() ? std::string("en") : found.front();
}

void QRVMessagingAddInstanceIDClassMethods(ns::Class& messagingClass) {
    messagingClass.addClassMethod("QRVMessagingSDKVersion", [](ns::Object*, const std::vector<ns::Value>&) {
        return ns::Value(QRVMessagingSDKVersion());
    });
    messagingClass.addClassMethod("QRVMessagingSDKCurrentLocale", [](ns::Object*, const std::vector<ns::Value>&) {
        return ns::Value(QRVMessagingSDKCurrentLocale());
    });
}

int64_t QRVMessagingIntegerValue(const ns::Value& value) {
    if (const std::string* text = value.stringOrNull()) return std::strtoll(text->c_str(), nullptr, 10);
    // A real past the integers (or not a number) saturates rather than
    // casting out of range: payloads come from the server.
    return value.intValue();
}

std::optional<int64_t> QRVMessagingInt64FromString(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

bool qdx_hasNonStringKeysOrValues(const ns::Dictionary& dictionary) {
    // Keys are strings by construction; only values can be anything else.
    for (const auto& [key, value] : dictionary) {
        if (!value.isString()) return true;
    }
    return false;
}

ns::Dictionary qdx_trimNonStringValues(const ns::Dictionary& dictionary) {
    ns::Dictionary trimmed;
    for (const auto& [key, value] : dictionary) {
        if (value.isString()) trimmed.emplace(key, value);
    }
    return trimmed;
}

std::string qdx_string(const ns::Dictionary& dictionary) {
    std::string out;
    for (const auto& [key, value] : dictionary) {
        if (!value.isString()) continue;
        out += ns::format("%@:%@%@", key, value, "|");
    }
    if (!out.empty()) out.pop_back();
    return out;
}

long qdxErrorCode(const ns::ErrorRef& error) { return error ? error->code() : 0; }

ns::ErrorRef errorWithQDXErrorCode(long code) { return ns::Error::make(kQRVMessagingDomain, code); }

ns::ErrorRef qdx_errorWithCode(long code, ns::Dictionary userInfo) {
    return ns::Error::make(kQRVMessagingDomain, code, std::move(userInfo));
}
