// A function's parameter list as written in its `def` line, checked while the program
// is compiled: a malformed list does not build.
//
//     constexpr py::Params push_params{"self, message='提交', branch='master', force=True"};
//
// The grammar: positional-or-keyword parameters, `name=default` (None, True, False,
// integers, '...' or "..." strings) with no parameter without a default after one
// with, then `*args`, then `**kwargs`; `name: annotation` on any of them and a
// trailing `-> annotation` (annotations are kept as text).
#pragma once

#include <cstddef>
#include <string_view>

namespace py {

constexpr int kMaxParams = 12;

namespace detail {

constexpr std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Where `sep` first stands outside quotes in `s`, or npos.
constexpr size_t find_unquoted(std::string_view s, std::string_view sep, size_t from = 0) {
    char quote = 0;
    for (size_t i = from; i < s.size(); ++i) {
        if (quote) {
            if (s[i] == quote) quote = 0;
        } else if (s[i] == '\'' || s[i] == '"') {
            quote = s[i];
        } else if (s.substr(i, sep.size()) == sep) {
            return i;
        }
    }
    return std::string_view::npos;
}

constexpr bool is_identifier(std::string_view s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char ch : s) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
        if (!ok) return false;
    }
    return true;
}

constexpr bool is_literal(std::string_view s) {
    if (s == "None" || s == "True" || s == "False") return true;
    if (s.size() >= 2 && (s[0] == '\'' || s[0] == '"')) {
        return s.back() == s[0] && s.substr(1, s.size() - 2).find(s[0]) == std::string_view::npos;
    }
    if (!s.empty() && s[0] == '-') s.remove_prefix(1);
    if (s.empty()) return false;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

// Thrown while compiling: the declaration does not follow the grammar above.
struct MalformedSignature {};

// The number of parameters of a def-line text; throws MalformedSignature otherwise.
constexpr int count_params(std::string_view text) {
    const size_t arrow = find_unquoted(text, "->");
    if (arrow != std::string_view::npos) {
        if (find_unquoted(text, "->", arrow + 2) != std::string_view::npos) throw MalformedSignature{};
        if (trim(text.substr(arrow + 2)).empty()) throw MalformedSignature{};
        text = text.substr(0, arrow);
    }
    text = trim(text);
    if (text.empty()) return 0;
    int count = 0;
    bool seen_default = false, seen_varargs = false, seen_varkw = false;
    for (size_t start = 0;;) {
        const size_t comma = find_unquoted(text, ",", start);
        std::string_view item = trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        const size_t eq = find_unquoted(item, "=");
        const bool has_default = eq != std::string_view::npos;
        if (has_default && !is_literal(trim(item.substr(eq + 1)))) throw MalformedSignature{};
        std::string_view name = trim(item.substr(0, eq));
        const size_t colon = find_unquoted(name, ":");
        if (colon != std::string_view::npos) {
            if (trim(name.substr(colon + 1)).empty()) throw MalformedSignature{};
            name = trim(name.substr(0, colon));
        }
        if (seen_varkw) throw MalformedSignature{};  // nothing after **kwargs
        if (name.substr(0, 2) == "**") {
            if (has_default) throw MalformedSignature{};
            seen_varkw = true;
            name.remove_prefix(2);
        } else if (name.substr(0, 1) == "*") {
            if (has_default || seen_varargs) throw MalformedSignature{};
            seen_varargs = true;
            name.remove_prefix(1);
        } else {
            if (seen_varargs) throw MalformedSignature{};  // no keyword-only parameters
            if (seen_default && !has_default) throw MalformedSignature{};
            seen_default = seen_default || has_default;
        }
        if (!is_identifier(name)) throw MalformedSignature{};
        if (++count > kMaxParams) throw MalformedSignature{};
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return count;
}

}  // namespace detail

template <size_t N>
struct Params {
    char text[N]{};
    int count = 0;

    consteval Params(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
        count = detail::count_params(std::string_view(text, N - 1));
    }
};

}  // namespace py
