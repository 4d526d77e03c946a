#include "platform/format.h"

#include <cstdio>
#include <cstring>

namespace ns {

namespace {

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conv = 0;
};

// Reads an argument as a signed integer whatever its kind.
int64_t argAsInt(const FormatArg* a) {
    if (!a) return 0;
    return std::visit(
        [](const auto& v) -> int64_t {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, int64_t>) return v;
            else if constexpr (std::is_same_v<T, uint64_t>) return int64_t(v);
            else if constexpr (std::is_same_v<T, double>) return int64_t(v);
            else if constexpr (std::is_same_v<T, const Value*>) return v ? v->intValue() : 0;
            else return 0;
        },
        a->storage());
}

uint64_t argAsUInt(const FormatArg* a) {
    if (!a) return 0;
    if (auto* u = std::get_if<uint64_t>(&a->storage())) return *u;
    if (auto* v = std::get_if<const Value*>(&a->storage()); v && *v && (*v)->type() == Value::Type::UInt)
        return (*v)->asUInt();
    return uint64_t(argAsInt(a));
}

double argAsDouble(const FormatArg* a) {
    if (!a) return 0;
    return std::visit(
        [](const auto& v) -> double {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, uint64_t> || std::is_same_v<T, double>)
                return double(v);
            else if constexpr (std::is_same_v<T, const Value*>) return v ? v->doubleValue() : 0;
            else return 0;
        },
        a->storage());
}

std::string argAsText(const FormatArg* a, bool objectStyle) {
    if (!a) return "(null)";
    return std::visit(
        [&](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, uint64_t>) return std::to_string(v);
            else if constexpr (std::is_same_v<T, double>) return formatDouble(v);
            else if constexpr (std::is_same_v<T, const char*>) return v ? std::string(v) : "(null)";
            else if constexpr (std::is_same_v<T, const std::string*>) return *v;
            else if constexpr (std::is_same_v<T, std::string_view>) return std::string(v);
            else if constexpr (std::is_same_v<T, const Value*>) {
                if (!v || v->isNull()) return "(null)";
                return v->description();
            } else if constexpr (std::is_same_v<T, const Object*>) {
                return v ? v->description() : "(null)";
            } else {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%p", v);
                return buf;
            }
        },
        a->storage());
    (void)objectStyle;
}

std::string pad(std::string s, const Spec& spec) {
    if (spec.width >= 0 && int(s.size()) < spec.width) {
        size_t fill = size_t(spec.width) - s.size();
        if (spec.flags.find('-') != std::string::npos) s.append(fill, ' ');
        else s.insert(0, fill, ' ');
    }
    return s;
}

// Formats one numeric conversion through the C library with a rebuilt spec.
template <class T>
std::string cformat(const Spec& spec, const char* length, T value) {
    std::string f = "%" + spec.flags;
    if (spec.width >= 0) f += std::to_string(spec.width);
    if (spec.precision >= 0) f += "." + std::to_string(spec.precision);
    f += length;
    f += spec.conv;
    int n = std::snprintf(nullptr, 0, f.c_str(), value);
    if (n < 0) return {};
    std::string out(size_t(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), f.c_str(), value);
    out.resize(size_t(n));
    return out;
}

// The arguments, in the order the conversions take them; past the last,
// each takes nothing.
class ArgCursor {
public:
    explicit ArgCursor(std::span<const FormatArg> args) : args_(args) {}
    const FormatArg* take() { return next_ < args_.size() ? &args_[next_++] : nullptr; }

private:
    std::span<const FormatArg> args_;
    size_t next_ = 0;
};

// Reads a conversion's flags, width, precision (a '*' takes an argument) and
// length modifiers from fmt[i], leaving i on the conversion character, or at
// the end when the text stops before one.
Spec readSpec(std::string_view fmt, size_t& i, ArgCursor& args) {
    Spec spec;
    while (i < fmt.size() && std::strchr("-+ #0'", fmt[i])) {
        if (fmt[i] != '\'') spec.flags += fmt[i];
        ++i;
    }
    if (i < fmt.size() && fmt[i] == '*') {
        int w = int(argAsInt(args.take()));
        if (w < 0) {
            spec.flags += '-';
            w = -w;
        }
        spec.width = w;
        ++i;
    } else {
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
            spec.width = (spec.width < 0 ? 0 : spec.width) * 10 + (fmt[i] - '0');
            if (spec.width > 4096) spec.width = 4096;
            ++i;
        }
    }
    if (i < fmt.size() && fmt[i] == '.') {
        ++i;
        spec.precision = 0;
        if (i < fmt.size() && fmt[i] == '*') {
            spec.precision = int(argAsInt(args.take()));
            if (spec.precision < 0) spec.precision = -1;
            ++i;
        } else {
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                spec.precision = spec.precision * 10 + (fmt[i] - '0');
                if (spec.precision > 4096) spec.precision = 4096;
                ++i;
            }
        }
    }
    while (i < fmt.size() && std::strchr("hlqzjtL", fmt[i])) ++i;
    return spec;
}

// Appends one conversion; false (nothing appended) for a conversion
// character it does not know.
bool convert(std::string& out, const Spec& spec, ArgCursor& args) {
    switch (spec.conv) {
        case '%': out += '%'; return true;
        case 'd':
        case 'i': out += cformat(spec, "ll", (long long)argAsInt(args.take())); return true;
        case 'u':
        case 'o':
        case 'x':
        case 'X': out += cformat(spec, "ll", (unsigned long long)argAsUInt(args.take())); return true;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A': out += cformat(spec, "", argAsDouble(args.take())); return true;
        case 'c': out += pad(std::string(1, char(argAsInt(args.take()))), spec); return true;
        case 's':
        case '@': {
            std::string text = argAsText(args.take(), spec.conv == '@');
            if (spec.precision >= 0 && size_t(spec.precision) < text.size()) text.resize(size_t(spec.precision));
            out += pad(std::move(text), spec);
            return true;
        }
        case 'p': {
            const FormatArg* a = args.take();
            const void* p = nullptr;
            if (a) {
                if (auto* vp = std::get_if<const void*>(&a->storage())) p = *vp;
                else if (auto* op = std::get_if<const Object*>(&a->storage())) p = *op;
            }
            out += cformat(spec, "", p);
            return true;
        }
        default: return false;
    }
}

}  // namespace

std::string vformat(std::string_view fmt, std::span<const FormatArg> args) {
    std::string out;
    out.reserve(fmt.size() + 16);
    ArgCursor cursor(args);
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 >= fmt.size()) {
            out += '%';
            break;
        }
        size_t start = i;
        ++i;
        Spec spec = readSpec(fmt, i, cursor);
        if (i >= fmt.size()) {
            out.append(fmt.substr(start));
            break;
        }
        spec.conv = fmt[i];
        // Unknown conversion: keep the text as written.
        if (!convert(out, spec, cursor)) out.append(fmt.substr(start, i - start + 1));
    }
    return out;
}

}  // namespace ns
