#pragma once
// NSRegularExpression stand-in over ICU's regular expressions (ICU syntax,
// UTF-8 texts).
//
// Patterns may come from a server, so every search is bounded: a time limit
// (uregex_setTimeLimit, in steps of ICU's matcher) and a backtracking stack
// limit. A search that runs into either answers "no match" and, when asked,
// an error. Any thread may search with the same expression at once: each
// search works on its own clone of the compiled pattern.

#include <memory>
#include <string>
#include <string_view>

#include "platform/error.h"

struct URegularExpression;

namespace ns {

// NSCocoaErrorDomain code of a pattern that does not compile
// (NSFormattingError), also given to a search stopped by its limits or handed
// text that is not UTF-8 (ICU's reason in the failure reason).
inline constexpr long kRegularExpressionPatternError = 2048;

class RegularExpression {
public:
    // Limits every search gets: ICU time-limit steps (each some thousands of
    // matcher iterations: a tenth of a second or so in all, far more than a
    // sane pattern needs on a short text) and backtracking stack bytes.
    static constexpr int kTimeLimitSteps = 1000;
    static constexpr int kStackLimitBytes = 1 << 20;

    // nullptr, and *error (NSCocoaErrorDomain, 2048, ICU's reason in the
    // description) when the pattern does not compile.
    static std::shared_ptr<RegularExpression> make(std::string_view pattern, bool caseInsensitive,
                                                   ErrorRef* error = nullptr);
    ~RegularExpression();
    RegularExpression(const RegularExpression&) = delete;
    RegularExpression& operator=(const RegularExpression&) = delete;

    const std::string& pattern() const { return pattern_; }
    bool isCaseInsensitive() const { return caseInsensitive_; }

    // True when there is a match anywhere in the text. Text that is not
    // UTF-8 matches nothing (with an error when asked).
    bool firstMatch(std::string_view text, ErrorRef* error = nullptr) const;
    // True when the whole text matches.
    bool matchesWhole(std::string_view text, ErrorRef* error = nullptr) const;

private:
    RegularExpression(std::string pattern, bool caseInsensitive, URegularExpression* compiled);
    bool search(std::string_view text, bool whole, ErrorRef* error) const;

    std::string pattern_;
    bool caseInsensitive_;
    URegularExpression* compiled_;  // never searched itself: the template of each search's clone
};

}  // namespace ns
