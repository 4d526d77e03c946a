#pragma once
// Security rules of one realtime-database namespace, in the JSON form the
// hosted service uses, kept to what this back end needs:
//
//   {"rules": {
//      ".read": true,                       // everyone
//      "Tiendas": {".write": "auth != null",  // signed-in users
//                  ".indexOn": ["Ciudad"]},
//      "private": {"$any": {".read": false}}  // nobody ("$name" matches any key)
//   }}
//
//   "us3r1nf0": {"$uid": {".read": "auth != null && auth.uid == $uid"}},
//   "cr3d": {"$cedula": {".read": "data.child('Email').val() == auth.token.email"}}
//
// ".read" and ".write" take true, false or an expression
// (backend/rtdb_rule_expression.h) that sees who asks (`auth`), the keys
// the wildcards above it matched (`$uid`) and the stored data (`data` at the
// rule's own location, `root`). A grant at a location covers everything
// below it, and a refusal deeper down never takes it back; where no rule on
// the way grants, access is refused. So reading "cr3d" whole is refused even
// though single records may be read. ".indexOn" names the child paths (or
// ".value") that queries at that location are indexed by. Without a rules
// file everyone may read and write.

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "backend/database/rtdb_rule_expression.h"
#include "database/model/FPath.h"

namespace backend {

class RtdbRules {
public:
    // Deepest nesting of rule objects a document may have (deeper than any
    // location the database stores).
    static constexpr size_t kMaxDepth = 512;

    // Everyone reads and writes.
    static RtdbRules open();
    // Nullopt with `error` set when the document is not rules of the form
    // above (unknown rule texts, wrong kinds, keys that cannot be keys,
    // nesting deeper than kMaxDepth).
    static std::optional<RtdbRules> parse(const nlohmann::json& document, std::string* error);

    bool canRead(const FPath& path, const RuleContext& context) const;
    bool canWrite(const FPath& path, const RuleContext& context) const;
    // For rules that look at nothing but whether someone is signed in:
    // an anonymous signed-in user and no stored data.
    bool canRead(const FPath& path, bool signedIn) const;
    bool canWrite(const FPath& path, bool signedIn) const;
    // Whether some rule reads the stored data, so that a write can change
    // what may be read.
    bool readsData() const { return readsData_; }
    // Whether the rules at exactly that location list `definition` (a
    // child path such as "a/b", or ".value") under ".indexOn".
    bool hasIndex(const FPath& path, const std::string& definition) const;

    // The document the rules were made from.
    const nlohmann::json& document() const { return document_; }

private:
    struct Node;
    using NodePtr = std::shared_ptr<const Node>;
    static NodePtr parseNode(const nlohmann::json& object, const std::string& where, std::string* error,
                             bool* readsData);
    bool allowed(const FPath& path, const RuleContext& context, bool write) const;
    // The rule nodes from the root down the path, as far as they go.
    std::vector<const Node*> walk(const FPath& path) const;

    NodePtr root_;
    bool readsData_ = false;
    nlohmann::json document_;
};

}  // namespace backend
