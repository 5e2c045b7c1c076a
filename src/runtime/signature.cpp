#include "signature.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace py {

namespace {

Ref default_object(const Param& p) {
    switch (p.default_kind) {
        case Param::NoneDefault: return none();
        case Param::TrueDefault: return boolean(true);
        case Param::FalseDefault: return boolean(false);
        case Param::IntDefault: return integer(p.int_default);
        case Param::StrDefault: return text(p.str_default);
        case Param::NoDefault: break;
    }
    return {};
}

}  // namespace

Ref param_names(const Params& p) {
    Ref names = Ref::steal(PyTuple_New(p.count));
    for (int i = 0; i < p.count; ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(p[i].name.data(), (Py_ssize_t)p[i].name.size());
        if (!name) fail();
        PyUnicode_InternInPlace(&name);
        PyTuple_SET_ITEM(names.get(), i, name);
        // Binding relies on it (find_keyword); interning fails only for want of memory.
        if (!PyUnicode_CHECK_INTERNED(name)) raise(PyExc_MemoryError, "cannot intern a parameter name");
    }
    return names;
}

PyObject* param_defaults(const Params& p) {
    if (p.ndefaults == 0) return nullptr;
    Ref defaults = Ref::steal(PyTuple_New(p.ndefaults));
    const int first = p.npos - p.ndefaults;
    for (int i = first; i < p.npos; ++i) PyTuple_SET_ITEM(defaults.get(), i - first, default_object(p[i]).release());
    return defaults.release();
}

PyObject* param_annotations(const Params& p, PyObject* names) {
    Ref d = new_dict();
    for (int i = 0; i < p.count; ++i) {
        if (!p[i].annotation.empty()) setitem(d, PyTuple_GET_ITEM(names, i), text(p[i].annotation));
    }
    if (!p.return_annotation.empty()) setitem(d, PY_NAME(return), text(p.return_annotation));
    return d.release();
}

Ref inspect_signature(const Params& p, PyObject* names, PyObject* defaults, PyObject* annotations) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = getattr(inspect, PY_NAME(Parameter));
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (annotations && !PyDict_Check(annotations)) annotations = nullptr;
    // An annotation of the dict, or NULL.
    auto annotation_of = [&](PyObject* key) {
        PyObject* value = nullptr;
        if (annotations) check(PyDict_GetItemRef(annotations, key, &value));
        return Ref::steal_nullable(value);
    };
    Ref list = new_list();
    for (int i = 0; i < p.count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        const char* kind_name = p[i].kind == Param::Positional      ? "POSITIONAL_OR_KEYWORD"
                                : p[i].kind == Param::VarPositional ? "VAR_POSITIONAL"
                                                                    : "VAR_KEYWORD";
        Ref kind = Ref::steal(PyObject_GetAttrString(parameter, kind_name));
        Ref kwargs = new_dict();
        // The current defaults fill the last positional parameters, as for a Python function.
        if (p[i].kind == Param::Positional && i >= p.npos - ndefaults) {
            setitem(kwargs, PY_NAME(default), PyTuple_GET_ITEM(defaults, ndefaults - (p.npos - i)));
        }
        if (Ref annotation = annotation_of(name)) setitem(kwargs, PY_NAME(annotation), annotation);
        Ref args = tuple(name, kind);
        append(list, call_args(parameter, args, kwargs));
    }
    Ref kwargs = new_dict();
    if (Ref ret = annotation_of(PY_NAME(return))) setitem(kwargs, PY_NAME(return_annotation), ret);
    Ref args = tuple(list);
    return call_args(getattr(inspect, PY_NAME(Signature)), args, kwargs);
}

int find_keyword(const Params& p, PyObject* names, PyObject* keyword) {
    // Parameters past npos are *args and **kwargs, which no keyword names.
    for (int i = 0; i < p.npos; ++i) {
        if (PyTuple_GET_ITEM(names, i) == keyword) return i;
    }
    // The names are interned, and an interned str equal to one of them is that very
    // object: for an interned keyword the loop above has decided.
    if (PyUnicode_CheckExact(keyword) && PyUnicode_CHECK_INTERNED(keyword)) return kNotFound;
    // As the interpreter compares: `keyword == name`, so a str subclass's __eq__ decides.
    for (int i = 0; i < p.npos; ++i) {
        const int eq = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(names, i), Py_EQ);
        if (eq < 0) return kError;
        if (eq > 0) return i;
    }
    return kNotFound;
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

Ref suggest_keyword(const Params& p, PyObject* names, PyObject* keyword) {
    Py_ssize_t name_size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &name_size);
    if (!name) {
        PyErr_Clear();
        return {};
    }
    const std::string_view given(name, (size_t)name_size);
    int best = -1;
    size_t best_distance = SIZE_MAX;
    for (int i = 0; i < p.npos; ++i) {
        const std::string_view item = p[i].name;  // UTF-8, as the keyword's is
        if (item == given) continue;
        size_t max_distance = (given.size() + item.size() + 3) * kMoveCost / 6;
        if (best_distance - 1 < max_distance) max_distance = best_distance - 1;
        size_t d = levenshtein(given.data(), given.size(), item.data(), item.size(), max_distance);
        if (d > max_distance) continue;
        if (best < 0 || d < best_distance) {
            best = i;
            best_distance = d;
        }
    }
    return best < 0 ? Ref() : Ref::borrow(PyTuple_GET_ITEM(names, best));
}

}  // namespace py
