#include "signature.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace py {

namespace {

[[noreturn]] void bad_declaration(const char* text) {
    raise_format(PyExc_SystemError, "malformed signature declaration: %s", text);
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Splits on `sep` outside quotes.
std::vector<std::string> split(const std::string& s, const std::string& sep) {
    std::vector<std::string> parts;
    std::string cur;
    char quote = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char ch = s[i];
        if (quote) {
            if (ch == quote) quote = 0;
            cur += ch;
        } else if (ch == '\'' || ch == '"') {
            quote = ch;
            cur += ch;
        } else if (s.compare(i, sep.size(), sep) == 0) {
            parts.push_back(cur);
            cur.clear();
            i += sep.size() - 1;
        } else {
            cur += ch;
        }
    }
    parts.push_back(cur);
    return parts;
}

// The defaults a declaration may use: None, True, False, integers, quoted strings.
Ref literal(const std::string& text, const char* decl) {
    if (text == "None") return none();
    if (text == "True") return boolean(true);
    if (text == "False") return boolean(false);
    if (text.size() >= 2 && (text[0] == '\'' || text[0] == '"') && text.back() == text[0]) {
        return py::text(std::string_view(text).substr(1, text.size() - 2));
    }
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (!text.empty() && end && *end == '\0') return integer(v);
    bad_declaration(decl);
}

Ref name_of(const std::string& text, const char* decl) {
    if (text.empty()) bad_declaration(decl);
    return Ref::steal(PyUnicode_InternFromString(text.c_str()));
}

}  // namespace

Signature* Signature::parse(const char* decl) {
    auto sig = std::make_unique<Signature>();
    std::vector<std::string> head = split(decl, "->");
    if (head.size() > 2) bad_declaration(decl);
    if (head.size() == 2) sig->return_annotation = text(trim(head[1]));
    std::string params = trim(head[0]);
    if (params.empty()) return sig.release();
    for (const std::string& raw : split(params, ",")) {
        std::string item = trim(raw);
        Param p;
        p.kind = Param::Positional;
        std::vector<std::string> with_default = split(item, "=");
        if (with_default.size() > 2) bad_declaration(decl);
        if (with_default.size() == 2) p.default_ = literal(trim(with_default[1]), decl);
        std::vector<std::string> with_annotation = split(with_default[0], ":");
        if (with_annotation.size() > 2) bad_declaration(decl);
        if (with_annotation.size() == 2) p.annotation = text(trim(with_annotation[1]));
        std::string name = trim(with_annotation[0]);
        const int slot = (int)sig->params.size();
        if (sig->varkw >= 0) bad_declaration(decl);  // nothing after **kwargs
        if (name.rfind("**", 0) == 0) {
            if (p.default_) bad_declaration(decl);
            p.kind = Param::VarKeyword;
            sig->varkw = slot;
            name = name.substr(2);
        } else if (name.rfind("*", 0) == 0) {
            if (sig->varargs >= 0 || p.default_) bad_declaration(decl);
            p.kind = Param::VarPositional;
            sig->varargs = slot;
            name = name.substr(1);
        } else if (sig->varargs >= 0) {
            bad_declaration(decl);  // keyword-only parameters are not supported
        } else {
            if (!p.default_ && sig->npos > 0 && sig->params[sig->npos - 1].default_) {
                bad_declaration(decl);  // non-default after default
            }
            sig->npos++;
        }
        p.name = name_of(name, decl);
        sig->params.push_back(std::move(p));
    }
    if (sig->count() > kMaxParams) bad_declaration(decl);
    sig->simple = sig->npos == sig->count();
    return sig.release();
}

int Signature::find(PyObject* keyword) const {
    const int n = count();
    for (int i = 0; i < n; ++i) {
        const Param& p = params[i];
        if (p.name.get() == keyword && p.kind != Param::VarPositional && p.kind != Param::VarKeyword) {
            return i;
        }
    }
    // The parameter names are interned, and an interned str equal to one of them is
    // that very object: for an interned keyword the loop above has decided.
    if (PyUnicode_CheckExact(keyword) && PyUnicode_CHECK_INTERNED(keyword)) return kNotFound;
    for (int i = 0; i < n; ++i) {
        const Param& p = params[i];
        if (p.kind == Param::VarPositional || p.kind == Param::VarKeyword) continue;
        int eq = PyUnicode_Compare(p.name, keyword);
        if (eq == -1 && PyErr_Occurred()) return kError;
        if (eq == 0) return i;
    }
    return kNotFound;
}

PyObject* Signature::defaults() const {
    int first = npos;
    while (first > 0 && params[first - 1].default_) --first;
    if (first == npos) return nullptr;
    PyObject* t = PyTuple_New(npos - first);
    if (!t) fail();
    for (int i = first; i < npos; ++i) {
        PyTuple_SET_ITEM(t, i - first, Py_NewRef(params[i].default_.get()));
    }
    return t;
}

PyObject* Signature::annotations() const {
    Ref d = new_dict();
    for (const Param& p : params) {
        if (p.annotation) setitem(d, p.name, p.annotation);
    }
    if (return_annotation) setitem(d, PY_NAME(return), return_annotation);
    return d.release();
}

Ref Signature::to_inspect(PyObject* defs, PyObject* annotations) const {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = getattr(inspect, PY_NAME(Parameter));
    Ref empty = getattr(parameter, PY_NAME(empty));
    static const char* const kind_names[] = {"POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL", "VAR_KEYWORD"};
    const Py_ssize_t ndefs = defs ? PyTuple_GET_SIZE(defs) : 0;
    Ref list = new_list();
    for (int i = 0; i < count(); ++i) {
        const Param& p = params[i];
        Ref kind = Ref::steal(PyObject_GetAttrString(parameter, kind_names[p.kind]));
        Ref kwargs = new_dict();
        PyObject* value = nullptr;
        if (p.kind == Param::Positional && i >= npos - ndefs) {
            value = PyTuple_GET_ITEM(defs, ndefs - (npos - i));
        }
        if (value) setitem(kwargs, PY_NAME(default), value);
        PyObject* annotation = nullptr;
        if (annotations && PyDict_Check(annotations)) {
            check(PyDict_GetItemRef(annotations, p.name, &annotation));
        }
        Ref keep_annotation = Ref::steal_nullable(annotation);
        if (annotation) setitem(kwargs, PY_NAME(annotation), annotation);
        Ref args = tuple(p.name, kind);
        append(list, call_args(parameter, args, kwargs));
    }
    Ref kwargs = new_dict();
    PyObject* ret = nullptr;
    if (annotations && PyDict_Check(annotations)) {
        check(PyDict_GetItemRef(annotations, PY_NAME(return), &ret));
    }
    Ref keep_ret = Ref::steal_nullable(ret);
    if (ret) setitem(kwargs, PY_NAME(return_annotation), ret);
    Ref args = tuple(list);
    return call_args(getattr(inspect, PY_NAME(Signature)), args, kwargs);
}

// ---- "Did you mean ...?" -----------------------------------------------------
// The same distance and thresholds as the interpreter's own suggestions, so the
// message is the one a Python function would give.
namespace {
constexpr size_t kMaxStringSize = 40;
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += 'a' - 'A';
    if ('A' <= b && b <= 'Z') b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

size_t levenshtein(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost) {
    if (a == b) return 0;
    while (a_size && b_size && a[0] == b[0]) {
        a++, b++, a_size--, b_size--;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        a_size--, b_size--;
    }
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    size_t buffer[kMaxStringSize];
    size_t tmp = kMoveCost;
    for (size_t i = 0; i < a_size; i++) {
        buffer[i] = tmp;
        tmp += kMoveCost;
    }
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; bi++) {
        char code = b[bi];
        size_t distance = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < a_size; i++) {
            size_t substitute = distance + substitution_cost(code, a[i]);
            distance = buffer[i];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}
}  // namespace

Ref suggest_keyword(const Signature& sig, PyObject* keyword) {
    Py_ssize_t name_size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (!name) {
        PyErr_Clear();
        return {};
    }
    PyObject* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (const Param& p : sig.params) {
        if (p.kind == Param::VarPositional || p.kind == Param::VarKeyword) continue;
        Py_ssize_t item_size = 0;
        const char* item = PyUnicode_AsUTF8AndSize(p.name, &item_size);
        if (!item) {
            PyErr_Clear();
            return {};
        }
        if (PyUnicode_Compare(p.name, keyword) == 0) continue;
        size_t max_distance = (size_t)(name_size + item_size + 3) * kMoveCost / 6;
        if (best_distance - 1 < max_distance) max_distance = best_distance - 1;
        size_t d = levenshtein(name, (size_t)name_size, item, (size_t)item_size, max_distance);
        if (d > max_distance) continue;
        if (!best || d < best_distance) {
            best = p.name;
            best_distance = d;
        }
    }
    return Ref::borrow(best);
}

}  // namespace py
