// A function's parameter list as written in its `def` line, parsed while the program
// is compiled into a table of its parameters: a malformed list does not build.
//
//     constexpr py::Params push_params{"self, message='提交', branch='master', force=True"};
//
// The grammar: positional-or-keyword parameters, `name=default` (None, True, False,
// decimal integers, '...' or "..." strings without backslashes) with no parameter
// without a default after one with, then `*args`, then `**kwargs`; `name: annotation`
// on any of them and a trailing `-> annotation` (annotations are kept as text, and
// contain no comma). Names are distinct identifiers and no keyword, as in Python.
//
// The table is all the runtime reads: the function type builds __defaults__,
// __annotations__ and __signature__ from it, binds keywords by its names, and the
// call entry (entry.hpp) takes its positional count as a constant. Only plain C++20
// goes into it (a constexpr constructor, string views into the literal), and a
// Params is handed to templates by reference, never as a class-type template argument.
#pragma once

#include <cstddef>
#include <string_view>

namespace py {

constexpr int kMaxParams = 12;

// One parameter of a def line.
struct Param {
    enum Kind : unsigned char { Positional, VarPositional, VarKeyword };
    enum Default : unsigned char { NoDefault, NoneDefault, TrueDefault, FalseDefault, IntDefault, StrDefault };

    std::string_view name;
    Kind kind = Positional;
    Default default_kind = NoDefault;
    long long int_default = 0;      // the value of an IntDefault
    std::string_view str_default;   // the text between the quotes of a StrDefault
    std::string_view annotation;    // empty: none

    constexpr bool variadic() const { return kind != Positional; }
};

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

constexpr bool is_keyword(std::string_view s) {
    constexpr std::string_view keywords[] = {
        "False", "None",     "True", "and",    "as",     "assert", "async",  "await",    "break",
        "class", "continue", "def",  "del",    "elif",   "else",   "except", "finally",  "for",
        "from",  "global",   "if",   "import", "in",     "is",     "lambda", "nonlocal", "not",
        "or",    "pass",     "raise", "return", "try",   "while",  "with",   "yield"};
    for (std::string_view k : keywords) {
        if (s == k) return true;
    }
    return false;
}

constexpr bool is_identifier(std::string_view s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9') || is_keyword(s)) return false;
    for (char ch : s) {
        const bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_';
        if (!ok) return false;
    }
    return true;
}

// Thrown while compiling: the declaration does not follow the grammar above.
struct MalformedSignature {};

[[noreturn]] inline void malformed() { throw MalformedSignature{}; }

// Reads a default's literal into `p`.
constexpr void read_default(std::string_view s, Param& p) {
    if (s == "None") {
        p.default_kind = Param::NoneDefault;
    } else if (s == "True") {
        p.default_kind = Param::TrueDefault;
    } else if (s == "False") {
        p.default_kind = Param::FalseDefault;
    } else if (s.size() >= 2 && (s[0] == '\'' || s[0] == '"')) {
        const std::string_view inner = s.substr(1, s.size() - 2);
        if (s.back() != s[0] || inner.find(s[0]) != std::string_view::npos) malformed();
        if (inner.find('\\') != std::string_view::npos) malformed();  // escapes are not read
        p.default_kind = Param::StrDefault;
        p.str_default = inner;
    } else {
        const bool negative = !s.empty() && s[0] == '-';
        if (negative) s.remove_prefix(1);
        if (s.empty()) malformed();
        // Python refuses leading zeros ("007") but takes zeros alone ("00").
        if (s[0] == '0' && s.find_first_not_of('0') != std::string_view::npos) malformed();
        long long value = 0;
        for (char ch : s) {
            if (ch < '0' || ch > '9') malformed();
            if (value > (0x7fffffffffffffffLL - (ch - '0')) / 10) malformed();  // beyond long long
            value = value * 10 + (ch - '0');
        }
        p.default_kind = Param::IntDefault;
        p.int_default = negative ? -value : value;
    }
}

}  // namespace detail

struct Params {
    Param params[kMaxParams] = {};  // in declaration order, which is slot order
    int count = 0;
    int npos = 0;       // positional-or-keyword parameters: slots 0 .. npos-1
    int ndefaults = 0;  // how many of them, the last ones, have a default
    int varargs = -1;   // slot of *args, or -1
    int varkw = -1;     // slot of **kwargs, or -1
    std::string_view return_annotation;  // empty: none

    constexpr Params(std::string_view text) {
        const size_t arrow = detail::find_unquoted(text, "->");
        if (arrow != std::string_view::npos) {
            if (detail::find_unquoted(text, "->", arrow + 2) != std::string_view::npos) detail::malformed();
            return_annotation = detail::trim(text.substr(arrow + 2));
            if (return_annotation.empty()) detail::malformed();
            text = text.substr(0, arrow);
        }
        text = detail::trim(text);
        if (text.empty()) return;
        for (size_t start = 0;;) {
            const size_t comma = detail::find_unquoted(text, ",", start);
            add(detail::trim(text.substr(start, comma == std::string_view::npos ? comma : comma - start)));
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
    }

    // Every parameter is positional-or-keyword (no *args, no **kwargs).
    constexpr bool simple() const { return npos == count; }
    constexpr const Param& operator[](int slot) const { return params[slot]; }

private:
    constexpr void add(std::string_view item) {
        if (count == kMaxParams) detail::malformed();
        if (varkw >= 0) detail::malformed();  // nothing after **kwargs
        Param p;
        const size_t eq = detail::find_unquoted(item, "=");
        if (eq != std::string_view::npos) {
            if (detail::find_unquoted(item, "=", eq + 1) != std::string_view::npos) detail::malformed();
            detail::read_default(detail::trim(item.substr(eq + 1)), p);
        }
        std::string_view name = detail::trim(item.substr(0, eq));
        const size_t colon = detail::find_unquoted(name, ":");
        if (colon != std::string_view::npos) {
            p.annotation = detail::trim(name.substr(colon + 1));
            if (p.annotation.empty() || detail::find_unquoted(p.annotation, ":") != std::string_view::npos) {
                detail::malformed();
            }
            name = detail::trim(name.substr(0, colon));
        }
        const bool has_default = p.default_kind != Param::NoDefault;
        if (name.substr(0, 2) == "**") {
            if (has_default) detail::malformed();
            p.kind = Param::VarKeyword;
            varkw = count;
            name.remove_prefix(2);
        } else if (name.substr(0, 1) == "*") {
            if (has_default || varargs >= 0) detail::malformed();
            p.kind = Param::VarPositional;
            varargs = count;
            name.remove_prefix(1);
        } else {
            if (varargs >= 0) detail::malformed();                     // no keyword-only parameters
            if (ndefaults > 0 && !has_default) detail::malformed();    // no default after a default
            if (has_default) ++ndefaults;
            ++npos;
        }
        if (!detail::is_identifier(name)) detail::malformed();
        for (int i = 0; i < count; ++i) {
            if (params[i].name == name) detail::malformed();  // a name given twice
        }
        p.name = name;
        params[count++] = p;
    }
};

// The parameter list of a function that takes none.
inline constexpr Params no_params{""};

}  // namespace py
