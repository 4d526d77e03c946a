#include "backend/database/rtdb_rule_expression.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>
#include <span>
#include <string_view>

namespace backend {

namespace {

// A value while an expression is worked out. Error poisons everything it
// reaches, so a rule that touches one refuses.
struct Value {
    enum class Kind { Error, Null, Bool, Number, String, Object, Auth, Token, Snapshot };
    Kind kind = Kind::Error;
    bool boolean = false;
    double number = 0;
    std::string text;
    FPath path;  // a snapshot's location

    static Value error() { return {}; }
    static Value ofKind(Kind kind) {
        Value v;
        v.kind = kind;
        return v;
    }
    static Value null() { return ofKind(Kind::Null); }
    static Value of(bool b) {
        Value v = ofKind(Kind::Bool);
        v.boolean = b;
        return v;
    }
    static Value of(double n) {
        Value v = ofKind(Kind::Number);
        v.number = n;
        return v;
    }
    static Value of(std::string s) {
        Value v = ofKind(Kind::String);
        v.text = std::move(s);
        return v;
    }
    static Value snapshot(FPath p) {
        Value v = ofKind(Kind::Snapshot);
        v.path = std::move(p);
        return v;
    }
};

struct Method {
    const char* name;
    int arity;
};

constexpr const char* kMembers[] = {"uid", "provider", "token", "email", "length"};
constexpr Method kMethods[] = {{"child", 1},    {"parent", 0},      {"val", 0},         {"exists", 0},
                               {"hasChild", 1}, {"hasChildren", 0}, {"isString", 0},    {"isNumber", 0},
                               {"isBoolean", 0}, {"contains", 1},   {"beginsWith", 1},  {"endsWith", 1},
                               {"toLowerCase", 0}};

// A child path a rule may name: segments that are keys, no empty one.
std::optional<FPath> childPath(const std::string& text) {
    if (text.empty()) return std::nullopt;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view segment(text.data() + start, end - start);
        if (segment.empty()) return std::nullopt;
        for (char c : segment) {
            if (c == '.' || c == '#' || c == '$' || c == '[' || c == ']' || uint8_t(c) < 0x20 || c == 0x7f) {
                return std::nullopt;
            }
        }
        start = end + 1;
    }
    return FPath(text);
}

}  // namespace

struct RuleExpression::Node {
    enum class Kind { Literal, Variable, Auth, Data, Root, Member, Call, Not, Binary };
    Kind kind = Kind::Literal;
    Value literal;
    std::string name;  // variable, member, method or operator
    std::vector<std::shared_ptr<const Node>> operands;
    int depth = 1;
};

namespace {

using Node = RuleExpression::Node;
using NodePtr = std::shared_ptr<const Node>;

NodePtr makeNode(Node::Kind kind, std::string name, std::vector<NodePtr> operands) {
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->name = std::move(name);
    for (const auto& operand : operands) node->depth = std::max(node->depth, operand->depth + 1);
    node->operands = std::move(operands);
    return node;
}

class Parser {
public:
    Parser(const std::string& text, const std::vector<std::string>& variables) : text_(text), variables_(variables) {}

    NodePtr parse(std::string* error, bool* readsData) {
        if (text_.size() > RuleExpression::kMaxLength) {
            *error = "longer than " + std::to_string(RuleExpression::kMaxLength) + " characters";
            return nullptr;
        }
        NodePtr node = parseOr();
        skipBlanks();
        if (node && pos_ != text_.size()) fail("unexpected \"" + text_.substr(pos_, 1) + "\"");
        if (!error_.empty()) {
            *error = error_;
            return nullptr;
        }
        *readsData = readsData_;
        return node;
    }

private:
    void fail(const std::string& why) {
        if (error_.empty()) error_ = why + " at character " + std::to_string(pos_ + 1);
    }
    void skipBlanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    // Takes `symbol` when it comes next (and not as the start of a longer one).
    bool take(std::string_view symbol) {
        skipBlanks();
        if (text_.compare(pos_, symbol.size(), symbol) != 0) return false;
        const char after = pos_ + symbol.size() < text_.size() ? text_[pos_ + symbol.size()] : '\0';
        if ((symbol == "=" || symbol == "==" || symbol == "!=" || symbol == "<" || symbol == ">" || symbol == "!") &&
            after == '=') {
            return false;
        }
        if ((symbol == "&" && after == '&') || (symbol == "|" && after == '|')) return false;
        pos_ += symbol.size();
        return true;
    }
    std::string identifier() {
        skipBlanks();
        const size_t start = pos_;
        while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }
    NodePtr checked(NodePtr node) {
        if (node && node->depth > RuleExpression::kMaxNesting) {
            fail("nests deeper than " + std::to_string(RuleExpression::kMaxNesting) + " levels");
            return nullptr;
        }
        return node;
    }

    NodePtr parseBinary(int level) {
        // Loosest first; within a level, longer operators before their prefixes.
        static constexpr std::string_view kOr[] = {"||"};
        static constexpr std::string_view kAnd[] = {"&&"};
        static constexpr std::string_view kEquality[] = {"===", "!==", "==", "!="};
        static constexpr std::string_view kOrder[] = {"<=", ">=", "<", ">"};
        static constexpr std::string_view kSum[] = {"+"};
        static constexpr std::span<const std::string_view> kLevels[] = {kOr, kAnd, kEquality, kOrder, kSum};
        if (level == int(std::size(kLevels))) return parseUnary();
        NodePtr left = parseBinary(level + 1);
        while (left) {
            std::string_view taken;
            for (std::string_view op : kLevels[size_t(level)]) {
                if (take(op)) {
                    taken = op;
                    break;
                }
            }
            if (taken.empty()) break;
            NodePtr right = parseBinary(level + 1);
            if (!right) return nullptr;
            left = checked(makeNode(Node::Kind::Binary, std::string(taken), {left, right}));
        }
        return left;
    }
    NodePtr parseOr() { return parseBinary(0); }

    NodePtr parseUnary() {
        if (take("!")) {
            if (++nesting_ > RuleExpression::kMaxNesting) return checked(makeDeep());
            NodePtr operand = parseUnary();
            --nesting_;
            return operand ? checked(makeNode(Node::Kind::Not, "!", {operand})) : nullptr;
        }
        return parsePostfix();
    }
    NodePtr makeDeep() {
        auto node = std::make_shared<Node>();
        node->depth = RuleExpression::kMaxNesting + 1;
        return node;
    }

    NodePtr parsePostfix() {
        NodePtr node = parsePrimary();
        while (node && take(".")) {
            const std::string name = identifier();
            if (name.empty()) {
                fail("a member name is missing");
                return nullptr;
            }
            skipBlanks();
            if (pos_ < text_.size() && text_[pos_] == '(') {
                ++pos_;
                const Method* method = nullptr;
                for (const Method& m : kMethods) {
                    if (name == m.name) method = &m;
                }
                if (!method) {
                    fail("unknown method \"" + name + "\"");
                    return nullptr;
                }
                std::vector<NodePtr> operands{node};
                if (!take(")")) {
                    do {
                        NodePtr argument = parseOr();
                        if (!argument) return nullptr;
                        operands.push_back(argument);
                    } while (take(","));
                    if (!take(")")) {
                        fail("\")\" expected");
                        return nullptr;
                    }
                }
                if (int(operands.size()) - 1 != method->arity) {
                    fail("\"" + name + "\" takes " + std::to_string(method->arity) + " argument(s)");
                    return nullptr;
                }
                node = checked(makeNode(Node::Kind::Call, name, std::move(operands)));
            } else {
                if (std::find(std::begin(kMembers), std::end(kMembers), name) == std::end(kMembers)) {
                    fail("unknown member \"" + name + "\"");
                    return nullptr;
                }
                node = checked(makeNode(Node::Kind::Member, name, {node}));
            }
        }
        return node;
    }

    NodePtr parsePrimary() {
        skipBlanks();
        if (pos_ >= text_.size()) {
            fail("the expression ends too soon");
            return nullptr;
        }
        const char c = text_[pos_];
        if (c == '(') {
            ++pos_;
            if (++nesting_ > RuleExpression::kMaxNesting) return checked(makeDeep());
            NodePtr inner = parseOr();
            --nesting_;
            if (inner && !take(")")) {
                fail("\")\" expected");
                return nullptr;
            }
            return inner;
        }
        if (c == '\'' || c == '"') return parseString(c);
        if (std::isdigit(static_cast<unsigned char>(c))) return parseNumber();
        if (c == '$') {
            ++pos_;
            const std::string name = "$" + identifier();
            if (std::find(variables_.begin(), variables_.end(), name) == variables_.end()) {
                fail("\"" + name + "\" is not a wildcard above this rule");
                return nullptr;
            }
            return makeNode(Node::Kind::Variable, name, {});
        }
        const std::string word = identifier();
        if (word == "true" || word == "false") return literal(Value::of(word == "true"));
        if (word == "null") return literal(Value::null());
        if (word == "auth") return makeNode(Node::Kind::Auth, word, {});
        if (word == "data" || word == "root") {
            readsData_ = true;
            return makeNode(word == "data" ? Node::Kind::Data : Node::Kind::Root, word, {});
        }
        if (word.empty()) {
            fail("unexpected \"" + std::string(1, c) + "\"");
        } else {
            pos_ -= word.size();
            fail("unknown name \"" + word + "\"");
        }
        return nullptr;
    }

    NodePtr literal(Value value) {
        auto node = std::make_shared<Node>();
        node->literal = std::move(value);
        return node;
    }

    NodePtr parseString(char quote) {
        std::string out;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            char c = text_[pos_];
            if (c == quote) {
                ++pos_;
                return literal(Value::of(std::move(out)));
            }
            if (c == '\\') {
                if (++pos_ >= text_.size()) break;
                c = text_[pos_];
            }
            out += c;
        }
        fail("a text is not closed");
        return nullptr;
    }

    NodePtr parseNumber() {
        const size_t start = pos_;
        while (pos_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '.')) {
            ++pos_;
        }
        double number = 0;
        const auto [end, ec] = std::from_chars(text_.data() + start, text_.data() + pos_, number);
        if (ec != std::errc() || end != text_.data() + pos_) {
            pos_ = start;
            fail("not a number");
            return nullptr;
        }
        return literal(Value::of(number));
    }

    const std::string& text_;
    const std::vector<std::string>& variables_;
    size_t pos_ = 0;
    int nesting_ = 0;
    bool readsData_ = false;
    std::string error_;
};

struct Evaluation {
    const RuleContext& context;
    const FPath& location;
    const std::map<std::string, std::string>& bindings;

    FNodePtr nodeAt(const FPath& path) const {
        return context.root ? context.root->getChild(path) : FNodePtr();
    }

    Value eval(const Node& node) const {
        switch (node.kind) {
        case Node::Kind::Literal:
            return node.literal;
        case Node::Kind::Variable: {
            auto it = bindings.find(node.name);
            return it == bindings.end() ? Value::error() : Value::of(it->second);
        }
        case Node::Kind::Auth:
            return context.auth ? Value::ofKind(Value::Kind::Auth) : Value::null();
        case Node::Kind::Data:
            return Value::snapshot(location);
        case Node::Kind::Root:
            return Value::snapshot(FPath());
        case Node::Kind::Member:
            return member(eval(*node.operands[0]), node.name);
        case Node::Kind::Call: {
            std::vector<Value> arguments;
            for (size_t i = 1; i < node.operands.size(); ++i) arguments.push_back(eval(*node.operands[i]));
            return call(eval(*node.operands[0]), node.name, arguments);
        }
        case Node::Kind::Not: {
            const Value operand = eval(*node.operands[0]);
            return operand.kind == Value::Kind::Bool ? Value::of(!operand.boolean) : Value::error();
        }
        case Node::Kind::Binary:
            return binary(node);
        }
        return Value::error();
    }

    Value member(const Value& object, const std::string& name) const {
        if (object.kind == Value::Kind::Auth) {
            if (name == "uid") return Value::of(context.auth->uid);
            if (name == "provider") return Value::of(std::string("password"));
            if (name == "token") return Value::ofKind(Value::Kind::Token);
        } else if (object.kind == Value::Kind::Token && name == "email") {
            return context.auth->email.empty() ? Value::null() : Value::of(context.auth->email);
        } else if (object.kind == Value::Kind::String && name == "length") {
            return Value::of(double(object.text.size()));
        }
        return Value::error();
    }

    Value call(const Value& object, const std::string& name, const std::vector<Value>& arguments) const {
        if (object.kind == Value::Kind::Snapshot) return snapshotCall(object.path, name, arguments);
        if (object.kind != Value::Kind::String) return Value::error();
        const std::string& text = object.text;
        if (name == "toLowerCase") {
            std::string lower = text;
            for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
            return Value::of(std::move(lower));
        }
        if (arguments.size() != 1 || arguments[0].kind != Value::Kind::String) return Value::error();
        const std::string& part = arguments[0].text;
        if (name == "contains") return Value::of(text.find(part) != std::string::npos);
        if (name == "beginsWith") return Value::of(text.starts_with(part));
        if (name == "endsWith") return Value::of(text.ends_with(part));
        return Value::error();
    }

    Value snapshotCall(const FPath& path, const std::string& name, const std::vector<Value>& arguments) const {
        if (name == "child" || name == "hasChild") {
            if (arguments[0].kind != Value::Kind::String) return Value::error();
            const auto relative = childPath(arguments[0].text);
            if (!relative) return Value::error();
            const FPath target = path.child(*relative);
            if (name == "child") return Value::snapshot(target);
            const FNodePtr node = nodeAt(target);
            return Value::of(node && !node->isEmpty());
        }
        if (name == "parent") {
            auto parent = path.parent();
            return parent ? Value::snapshot(*parent) : Value::error();
        }
        const FNodePtr node = nodeAt(path);
        const bool empty = !node || node->isEmpty();
        if (name == "exists") return Value::of(!empty);
        if (name == "hasChildren") return Value::of(!empty && !node->isLeafNode());
        if (name == "val" || name == "isString" || name == "isNumber" || name == "isBoolean") {
            Value value = Value::null();
            if (!empty && !node->isLeafNode()) {
                value = Value::ofKind(Value::Kind::Object);
            } else if (!empty) {
                const ns::Value leaf = node->valForExport(false);
                if (leaf.isBool()) value = Value::of(leaf.asBool());
                else if (leaf.isNumber()) value = Value::of(leaf.asDouble());
                else if (leaf.isString()) value = Value::of(leaf.asString());
            }
            if (name == "isString") return Value::of(value.kind == Value::Kind::String);
            if (name == "isNumber") return Value::of(value.kind == Value::Kind::Number);
            if (name == "isBoolean") return Value::of(value.kind == Value::Kind::Bool);
            return value;
        }
        return Value::error();
    }

    Value binary(const Node& node) const {
        const std::string& op = node.name;
        const Value left = eval(*node.operands[0]);
        if (op == "&&" || op == "||") {
            if (left.kind != Value::Kind::Bool) return Value::error();
            if (left.boolean == (op == "||")) return left;
            const Value right = eval(*node.operands[1]);
            return right.kind == Value::Kind::Bool ? right : Value::error();
        }
        const Value right = eval(*node.operands[1]);
        if (left.kind == Value::Kind::Error || right.kind == Value::Kind::Error) return Value::error();
        if (op == "==" || op == "===" || op == "!=" || op == "!==") {
            const bool negate = op[0] == '!';
            if (left.kind != right.kind) {
                // auth == null and the like; a snapshot compared is a mistake.
                if (left.kind == Value::Kind::Snapshot || right.kind == Value::Kind::Snapshot) return Value::error();
                return Value::of(negate);
            }
            bool equal = false;
            switch (left.kind) {
            case Value::Kind::Null: equal = true; break;
            case Value::Kind::Bool: equal = left.boolean == right.boolean; break;
            case Value::Kind::Number: equal = left.number == right.number; break;
            case Value::Kind::String: equal = left.text == right.text; break;
            case Value::Kind::Auth:
            case Value::Kind::Token: equal = true; break;
            default: return Value::error();
            }
            return Value::of(equal != negate);
        }
        if (op == "+") {
            if (left.kind == Value::Kind::Number && right.kind == Value::Kind::Number) {
                return Value::of(left.number + right.number);
            }
            if (left.kind == Value::Kind::String && right.kind == Value::Kind::String) return Value::of(left.text + right.text);
            return Value::error();
        }
        // Order: numbers with numbers, texts with texts (by their bytes).
        int order = 0;
        if (left.kind == Value::Kind::Number && right.kind == Value::Kind::Number) {
            order = left.number < right.number ? -1 : left.number > right.number ? 1 : 0;
        } else if (left.kind == Value::Kind::String && right.kind == Value::Kind::String) {
            order = left.text.compare(right.text);
        } else {
            return Value::error();
        }
        if (op == "<") return Value::of(order < 0);
        if (op == "<=") return Value::of(order <= 0);
        if (op == ">") return Value::of(order > 0);
        return Value::of(order >= 0);
    }
};

}  // namespace

std::shared_ptr<const RuleExpression> RuleExpression::parse(const std::string& text,
                                                            const std::vector<std::string>& variables,
                                                            std::string* error) {
    bool readsData = false;
    NodePtr node = Parser(text, variables).parse(error, &readsData);
    if (!node) return nullptr;
    auto expression = std::make_shared<RuleExpression>();
    expression->root_ = std::move(node);
    expression->readsData_ = readsData;
    return expression;
}

std::shared_ptr<const RuleExpression> RuleExpression::constant(bool value) {
    auto node = std::make_shared<Node>();
    node->literal = Value::of(value);
    auto expression = std::make_shared<RuleExpression>();
    expression->root_ = std::move(node);
    return expression;
}

bool RuleExpression::grants(const RuleContext& context, const FPath& location,
                            const std::map<std::string, std::string>& bindings) const {
    const Value result = Evaluation{context, location, bindings}.eval(*root_);
    return result.kind == Value::Kind::Bool && result.boolean;
}

}  // namespace backend
