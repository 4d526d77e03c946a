#pragma once
// Text helpers of the database: digests for hashing, the user-agent and URL
// forms, and the UTF-16 measures that Foundation strings use (lengths and
// order), computed over UTF-8.

#include <cstddef>
#include <string>
#include <string_view>

class FStringUtilities {
public:
    // Standard base64 of the SHA-1 digest of the UTF-8 bytes.
    static std::string base64EncodedSha1(std::string_view str);

    // Every "/" and "_" replaced by "|".
    static std::string sanitizedForUserAgent(std::string_view str);

    // Every byte but [A-Za-z0-9-_~] percent-encoded (upper-case hex).
    static std::string urlEncoded(std::string_view str);

    // Percent-escapes decoded; a "%" not followed by two hex digits is kept.
    static std::string urlDecoded(std::string_view str);

    // Number of UTF-16 code units (what NSString's length counts). Bytes that
    // are not valid UTF-8 count one unit each.
    static size_t utf16Length(std::string_view str);

    // Order of the strings' UTF-16 code units (-1, 0, 1).
    static int compareUtf16(std::string_view a, std::string_view b);

    // At most `maxUnits` UTF-16 units from the start, never cutting a
    // character.
    static std::string prefixOfUtf16Length(std::string_view str, size_t maxUnits);
};
