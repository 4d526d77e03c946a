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
                std::string why;
                auto access = accessFrom(value, current.variables, &why);
                if (!access) {
                    *error = key + " at " + current.where + ": " + why;
                    return nullptr;
                }
                *readsData = *readsData || access->readsData();
                (key == ".read" ? node.read : node.write) = access;
            } else if (key == ".indexOn") {
                if (value.is_string()) {
                    node.indexOn.push_back(value.get<std::string>());
                } else if (value.is_array()) {
                    for (const auto& entry : value) {
                        if (!entry.is_string()) {
                            *error = ".indexOn at " + current.where + " must name child paths";
                            return nullptr;
                        }
                        node.indexOn.push_back(entry.get<std::string>());
                    }
                } else {
                    *error = ".indexOn at " + current.where + " must be a string or an array of strings";
                    return nullptr;
                }
            } else if (key == ".validate") {
                // Accepted and not enforced: only access is checked here.
            } else if (validKey(key)) {
                auto child = std::make_shared<Node>();
                std::vector<std::string> variables = current.variables;
                if (key[0] == '$') {
                    if (node.wildcard) {
                        *error = "more than one wildcard at " + current.where;
                        return nullptr;
                    }
                    if (std::find(variables.begin(), variables.end(), key) != variables.end()) {
                        *error = "the wildcard " + key + " at " + current.where + " is already bound above";
                        return nullptr;
                    }
                    node.wildcard = child;
                    node.wildcardName = key;
                    variables.push_back(key);
                } else {
                    node.children.emplace(key, child);
                }
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
