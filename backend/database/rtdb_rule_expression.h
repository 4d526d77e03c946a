#pragma once
// The expressions a ".read" or ".write" rule may hold, in the hosted
// service's notation, kept to what owner-only and record-owner rules need:
//
//   auth != null
//   auth.uid == $uid                               // $uid: the key the wildcard matched
//   data.child('Email').val() == auth.token.email  // data: what is stored at the rule
//   root.child('staff/' + auth.uid).exists()
//
// Values: true, false, null, numbers, 'text' or "text", `$name` variables
// bound on the way down, `auth` (null when nobody is signed in; .uid,
// .provider, .token.email), `data` and `root` (snapshots: .child(path),
// .parent(), .val(), .exists(), .hasChild(path), .hasChildren(),
// .isString(), .isNumber(), .isBoolean()) and the string members .length,
// .contains(), .beginsWith(), .endsWith(), .toLowerCase(). Operators: ! && ||
// == != === !== < <= > >= and + (numbers add, texts join), with brackets.
//
// A rule grants only when its expression is the boolean true. Anything
// else refuses: another kind of value, or an error such as `auth.uid` with
// nobody signed in, comparing a text with a number by order, or a child path
// that is not a path.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/model/FNode.h"
#include "database/model/FPath.h"

namespace backend {

// The signed-in user as rules see it.
struct RuleAuth {
    std::string uid;
    std::string email;  // "" when the account has none
};

// What a check knows besides the location.
struct RuleContext {
    std::optional<RuleAuth> auth;  // nullopt: nobody signed in
    FNodePtr root;                 // the stored tree (nullptr reads as empty)
};

class RuleExpression {
public:
    // The longest expression and deepest nesting accepted: the parser and
    // the evaluation recurse, so both are bounded.
    static constexpr size_t kMaxLength = 4096;
    static constexpr int kMaxNesting = 64;

    struct Node;

    // Nullptr with `error` set when the text is not an expression of the
    // form above or names a `$variable` not in `variables`.
    static std::shared_ptr<const RuleExpression> parse(const std::string& text,
                                                       const std::vector<std::string>& variables,
                                                       std::string* error);
    static std::shared_ptr<const RuleExpression> constant(bool value);

    // `location` is where the rule stands; `bindings` the wildcard keys
    // matched on the way to it.
    bool grants(const RuleContext& context, const FPath& location,
                const std::map<std::string, std::string>& bindings) const;
    // Whether the outcome can change with the stored data (it reads `data`
    // or `root`).
    bool readsData() const { return readsData_; }

private:
    std::shared_ptr<const Node> root_;
    bool readsData_ = false;
};

using RuleExpressionPtr = std::shared_ptr<const RuleExpression>;

}  // namespace backend
