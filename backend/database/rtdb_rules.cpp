#include "backend/database/rtdb_rules.h"

#include <algorithm>
#include <map>

namespace backend {

struct RtdbRules::Node {
    RuleExpressionPtr read;
    RuleExpressionPtr write;
    std::vector<std::string> indexOn;
    std::map<std::string, NodePtr> children;
    // The "$name" child, for keys without a node of their own.
    NodePtr wildcard;
    std::string wildcardName;

    // The steps of reading one node's object, one per kind of entry; each
    // answers false (or null) with *error saying why when it refuses the
    // entry. `where` is the node's path, `variables` the wildcards above it.
    bool setAccess(const std::string& key, const nlohmann::json& value, const std::vector<std::string>& variables,
                   const std::string& where, std::string* error, bool* readsData);
    bool addIndexOn(const nlohmann::json& value, const std::string& where, std::string* error);
    // The child for `key`; a wildcard's name is bound in `variables`, which
    // become the child's.
    std::shared_ptr<Node> addChild(const std::string& key, std::vector<std::string>& variables,
                                   const std::string& where, std::string* error);
};

namespace {

RuleExpressionPtr accessFrom(const nlohmann::json& value, const std::vector<std::string>& variables,
                             std::string* error) {
    if (value.is_boolean()) return RuleExpression::constant(value.get<bool>());
    if (!value.is_string()) {
        *error = "must be true, false or an expression";
        return nullptr;
    }
    return RuleExpression::parse(value.get<std::string>(), variables, error);
}

bool validKey(const std::string& key) {
    if (key.empty()) return false;
    for (char c : key) {
        if (c == '.' || c == '#' || c == '[' || c == ']' || c == '/' || uint8_t(c) < 0x20 || c == 0x7f) return false;
    }
    // "$" only leads a wildcard.
    return key.find('$', 1) == std::string::npos;
}

}  // namespace

RtdbRules RtdbRules::open() {
    std::string ignored;
    return *parse(nlohmann::json{{"rules", {{".read", true}, {".write", true}}}}, &ignored);
}

std::optional<RtdbRules> RtdbRules::parse(const nlohmann::json& document, std::string* error) {
    if (!document.is_object() || !document.contains("rules") || document.size() != 1) {
        *error = "rules must be an object with one member, \"rules\"";
        return std::nullopt;
    }
    bool readsData = false;
    NodePtr root = parseNode(document["rules"], "/", error, &readsData);
    if (!root) return std::nullopt;
    RtdbRules rules;
    rules.root_ = std::move(root);
    rules.readsData_ = readsData;
    rules.document_ = document;
    return rules;
}

RtdbRules::NodePtr RtdbRules::parseNode(const nlohmann::json& object, const std::string& where, std::string* error,
                                        bool* readsData) {
    // Depth first with a stack of its own: a document nested deeper than
    // kMaxDepth is refused, and nothing on the way recurses.
    struct Pending {
        const nlohmann::json* object;
        std::string where;
        std::shared_ptr<Node> node;
        size_t depth;
        // The wildcards above, which the rule expressions may name.
        std::vector<std::string> variables;
    };
    auto root = std::make_shared<Node>();
    std::vector<Pending> stack{{&object, where, root, 0, {}}};
    while (!stack.empty()) {
        Pending current = std::move(stack.back());
        stack.pop_back();
        if (!current.object->is_object()) {
            *error = "the rules at " + current.where + " must be an object";
            return nullptr;
        }
        if (current.depth > kMaxDepth) {
            *error = "the rules nest deeper than " + std::to_string(kMaxDepth) + " levels";
            return nullptr;
        }
        Node& node = *current.node;
        for (const auto& [key, value] : current.object->items()) {
            if (key == ".read" || key == ".write") {
                if (!node.setAccess(key, value, current.variables, current.where, error, readsData)) return nullptr;
            } else if (key == ".indexOn") {
                if (!node.addIndexOn(value, current.where, error)) return nullptr;
            } else if (key == ".validate") {
                // Accepted and not enforced: only access is checked here.
            } else if (validKey(key)) {
                std::vector<std::string> variables = current.variables;
                auto child = node.addChild(key, variables, current.where, error);
                if (!child) return nullptr;
                stack.push_back(
                    {&value, current.where + key + "/", std::move(child), current.depth + 1, std::move(variables)});
            } else {
                *error = "\"" + key + "\" at " + current.where + " is neither a rule nor a key";
                return nullptr;
            }
        }
    }
    return root;
}

bool RtdbRules::Node::setAccess(const std::string& key, const nlohmann::json& value,
                               const std::vector<std::string>& variables, const std::string& where,
                               std::string* error, bool* readsData) {
    std::string why;
    auto access = accessFrom(value, variables, &why);
    if (!access) {
        *error = key + " at " + where + ": " + why;
        return false;
    }
    *readsData = *readsData || access->readsData();
    (key == ".read" ? read : write) = access;
    return true;
}

bool RtdbRules::Node::addIndexOn(const nlohmann::json& value, const std::string& where, std::string* error) {
    if (value.is_string()) {
        indexOn.push_back(value.get<std::string>());
        return true;
    }
    if (!value.is_array()) {
        *error = ".indexOn at " + where + " must be a string or an array of strings";
        return false;
    }
    for (const auto& entry : value) {
        if (!entry.is_string()) {
            *error = ".indexOn at " + where + " must name child paths";
            return false;
        }
        indexOn.push_back(entry.get<std::string>());
    }
    return true;
}

std::shared_ptr<RtdbRules::Node> RtdbRules::Node::addChild(const std::string& key, std::vector<std::string>& variables,
                                                           const std::string& where, std::string* error) {
    auto child = std::make_shared<Node>();
    if (key[0] != '$') {
        children.emplace(key, child);
        return child;
    }
    if (wildcard) {
        *error = "more than one wildcard at " + where;
        return nullptr;
    }
    if (std::find(variables.begin(), variables.end(), key) != variables.end()) {
        *error = "the wildcard " + key + " at " + where + " is already bound above";
        return nullptr;
    }
    wildcard = child;
    wildcardName = key;
    variables.push_back(key);
    return child;
}

std::vector<const RtdbRules::Node*> RtdbRules::walk(const FPath& path) const {
    std::vector<const Node*> nodes;
    const Node* node = root_.get();
    nodes.push_back(node);
    for (const std::string& key : path) {
        auto it = node->children.find(key);
        const Node* next = it != node->children.end() ? it->second.get() : node->wildcard.get();
        if (!next) break;
        nodes.push_back(next);
        node = next;
    }
    return nodes;
}

bool RtdbRules::allowed(const FPath& path, const RuleContext& context, bool write) const {
    // Walks down as walk() does, binding each wildcard to the key it matched.
    std::map<std::string, std::string> bindings;
    std::vector<std::string> location;
    const Node* node = root_.get();
    auto it = path.begin();
    while (true) {
        const auto& access = write ? node->write : node->read;
        if (access && access->grants(context, FPath(location, 0), bindings)) return true;
        if (it == path.end()) return false;
        const std::string& key = *it++;
        auto child = node->children.find(key);
        if (child != node->children.end()) {
            node = child->second.get();
        } else if (node->wildcard) {
            bindings[node->wildcardName] = key;
            node = node->wildcard.get();
        } else {
            return false;
        }
        location.push_back(key);
    }
}

bool RtdbRules::canRead(const FPath& path, const RuleContext& context) const { return allowed(path, context, false); }

bool RtdbRules::canWrite(const FPath& path, const RuleContext& context) const { return allowed(path, context, true); }

namespace {

RuleContext signedInOnly(bool signedIn) {
    RuleContext context;
    if (signedIn) context.auth = RuleAuth{};
    return context;
}

}  // namespace

bool RtdbRules::canRead(const FPath& path, bool signedIn) const { return canRead(path, signedInOnly(signedIn)); }

bool RtdbRules::canWrite(const FPath& path, bool signedIn) const { return canWrite(path, signedInOnly(signedIn)); }

bool RtdbRules::hasIndex(const FPath& path, const std::string& definition) const {
    auto nodes = walk(path);
    if (nodes.size() != path.length() + 1) return false;
    for (const auto& entry : nodes.back()->indexOn) {
        if (entry == definition || FPath(entry) == FPath(definition)) return true;
    }
    return false;
}

}  // namespace backend
