#include "platform/regular_expression.h"

#include <unicode/uregex.h>
#include <unicode/utext.h>
#include <unicode/utypes.h>

#include "platform/utf8.h"

namespace ns {

namespace {

void setError(ErrorRef* error, ErrorRef value) {
    if (error) *error = std::move(value);
}

ErrorRef patternError(const std::string& pattern, const std::string& reason) {
    return Error::make(kCocoaErrorDomain, kRegularExpressionPatternError,
                       Dictionary{{kLocalizedDescriptionKey, "The value “" + pattern + "” is invalid."},
                                  {kLocalizedFailureReasonErrorKey, reason},
                                  {"NSInvalidValue", pattern}});
}

struct RegexCloser {
    void operator()(URegularExpression* regex) const { uregex_close(regex); }
};
using RegexHandle = std::unique_ptr<URegularExpression, RegexCloser>;

// A UText over UTF-8 bytes the caller keeps alive.
class UTF8Text {
public:
    UTF8Text(std::string_view text, UErrorCode* status)
        : text_(utext_openUTF8(&storage_, text.empty() ? "" : text.data(), int64_t(text.size()), status)) {}
    ~UTF8Text() { utext_close(text_); }
    UTF8Text(const UTF8Text&) = delete;
    UTF8Text& operator=(const UTF8Text&) = delete;
    UText* get() const { return text_; }

private:
    UText storage_ = UTEXT_INITIALIZER;
    UText* text_;
};

}  // namespace

RegularExpression::RegularExpression(std::string pattern, bool caseInsensitive, URegularExpression* compiled)
    : pattern_(std::move(pattern)), caseInsensitive_(caseInsensitive), compiled_(compiled) {}

RegularExpression::~RegularExpression() { uregex_close(compiled_); }

std::shared_ptr<RegularExpression> RegularExpression::make(std::string_view pattern, bool caseInsensitive,
                                                           ErrorRef* error) {
    std::string text(pattern);
    if (!utf8::isValid(text)) {
        setError(error, patternError(utf8::sanitized(text), "The pattern is not UTF-8."));
        return nullptr;
    }
    UParseError where{};
    UErrorCode status = U_ZERO_ERROR;
    URegularExpression* compiled = nullptr;
    {
        UTF8Text source(text, &status);
        compiled = uregex_openUText(source.get(), caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, &where, &status);
    }
    if (U_FAILURE(status)) {
        uregex_close(compiled);
        setError(error, patternError(text, std::string(u_errorName(status)) + " at offset " +
                                               std::to_string(where.offset) + " of the pattern."));
        return nullptr;
    }
    return std::shared_ptr<RegularExpression>(new RegularExpression(std::move(text), caseInsensitive, compiled));
}

bool RegularExpression::firstMatch(std::string_view text, ErrorRef* error) const { return search(text, false, error); }

bool RegularExpression::matchesWhole(std::string_view text, ErrorRef* error) const {
    return search(text, true, error);
}

bool RegularExpression::search(std::string_view text, bool whole, ErrorRef* error) const {
    if (!utf8::isValid(text)) {
        setError(error, Error::make(kCocoaErrorDomain, kRegularExpressionPatternError,
                                    "The text searched with “" + pattern_ + "” is not UTF-8."));
        return false;
    }
    UErrorCode status = U_ZERO_ERROR;
    UTF8Text input(text, &status);
    // A clone per search: the compiled pattern is shared read-only (ICU
    // counts its users), the matching state is this search's own.
    RegexHandle matcher(uregex_clone(compiled_, &status));
    uregex_setTimeLimit(matcher.get(), kTimeLimitSteps, &status);
    uregex_setStackLimit(matcher.get(), kStackLimitBytes, &status);
    uregex_setUText(matcher.get(), input.get(), &status);
    UBool found = false;
    if (U_SUCCESS(status))
        found = whole ? uregex_matches64(matcher.get(), 0, &status) : uregex_find64(matcher.get(), 0, &status);
    if (U_FAILURE(status)) {
        setError(error, Error::make(kCocoaErrorDomain, kRegularExpressionPatternError,
                                    "The search with “" + pattern_ + "” was stopped.",
                                    std::string(u_errorName(status)) +
                                        (status == U_REGEX_TIME_OUT || status == U_REGEX_STACK_OVERFLOW
                                             ? ": the pattern takes too long on this text."
                                             : ".")));
        return false;
    }
    return found;
}

}  // namespace ns
