#pragma once
// printf/Foundation-style formatting with `%@`, so quoted texts such as
// "I-ACS%06ld" or "App with name %@ does not exist." are used verbatim.
//
// Supported: flags "-+ #0", width and precision (numbers or `*`), length
// modifiers (hh h l ll q z j t L, accepted and ignored since arguments carry
// their own kind), conversions d i u o x X c s @ f F e E g G a A p %.
// `%@` prints Value::description() / Object::description(), "(null)" for null.
// A missing argument or a kind that does not fit the conversion never crashes:
// it prints what it can (numbers converted, "(null)" for missing).

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/value.h"

namespace ns {

class FormatArg {
public:
    FormatArg(bool b) : v_(int64_t(b)) {}
    FormatArg(char c) : v_(int64_t(c)) {}
    FormatArg(int i) : v_(int64_t(i)) {}
    FormatArg(long i) : v_(int64_t(i)) {}
    FormatArg(long long i) : v_(int64_t(i)) {}
    FormatArg(unsigned u) : v_(uint64_t(u)) {}
    FormatArg(unsigned long u) : v_(uint64_t(u)) {}
    FormatArg(unsigned long long u) : v_(uint64_t(u)) {}
    FormatArg(double d) : v_(d) {}
    FormatArg(float f) : v_(double(f)) {}
    FormatArg(const char* s) : v_(s) {}
    FormatArg(char* s) : v_(static_cast<const char*>(s)) {}
    FormatArg(const std::string& s) : v_(&s) {}
    FormatArg(std::string_view s) : v_(s) {}
    FormatArg(const Value& v) : v_(&v) {}
    FormatArg(const ObjectPtr& o) : v_(o.get()) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    FormatArg(const std::shared_ptr<T>& o) : v_(static_cast<const Object*>(o.get())) {}
    FormatArg(const void* p) : v_(p) {}
    FormatArg(std::nullptr_t) : v_(static_cast<const Object*>(nullptr)) {}

    using Storage = std::variant<int64_t, uint64_t, double, const char*, const std::string*, std::string_view,
                                 const Value*, const Object*, const void*>;
    const Storage& storage() const { return v_; }

private:
    Storage v_;
};

std::string vformat(std::string_view fmt, std::span<const FormatArg> args);

template <class... A>
std::string format(std::string_view fmt, const A&... args) {
    std::array<FormatArg, sizeof...(A)> list{FormatArg(args)...};
    return vformat(fmt, std::span<const FormatArg>(list.data(), list.size()));
}

}  // namespace ns
