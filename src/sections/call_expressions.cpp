// Tamarel.regular: a call expression "name(a, b)", "name(k=v)" or "name" evaluated as a
// call of the host's method of that name, with the arguments as strings.
#include "tamarel.hpp"

namespace sections::tamarel_members {
namespace {

using py::Call;
using py::Ref;

constexpr const char* kCallPattern = "^(\\w+)\\((.*)\\)$";

// What re.match(r"^(\w+)\((.*)\)$", text) captures: the name and the text between
// the "(" after it and the ")" that ends the text ("$" also matching before a final
// line break; "." not matching one).
struct CallExpression {
    bool matched = false;
    Ref name;
    Ref params;
};

CallExpression parse_call(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    Py_ssize_t i = 0;
    while (i < n && (Py_UNICODE_ISALNUM(at(i)) || at(i) == '_')) ++i;
    if (i == 0 || i >= n || at(i) != '(') return {};
    // The group ends at a ")" that closes the text, before any line break.
    const Py_ssize_t end = n >= 1 && at(n - 1) == '\n' ? n - 1 : n;
    for (Py_ssize_t j = i + 1; j < end; ++j) {
        if (at(j) == '\n') return {};
    }
    if (end - 1 < i + 1 || at(end - 1) != ')') return {};
    return {true, Ref::steal(PyUnicode_Substring(text, 0, i)),
            Ref::steal(PyUnicode_Substring(text, i + 1, end - 1))};
}

// The match through the module's `re`; natively while `re` and `re.match` are the
// ones bound at import.
CallExpression match_call(Call& c, PyObject* func) {
    bool native;
    Ref match_fn = re_function(c, PY_NAME(match), &native);
    if (native && PyUnicode_CheckExact(func)) {
        return parse_call(func);
    }
    Ref match = py::call(match_fn, py::text(kCallPattern), func);
    if (match.get() == Py_None) return {};
    return {true, py::call_method(match, PY_NAME(group), py::integer(1)),
            py::call_method(match, PY_NAME(group), py::integer(2))};
}

[[noreturn]] void raise_entry(PyObject* error_type, PyObject* entry) {
    py::raise_object(py::call_args(error_type, py::star_args(error_type, entry)));
}

constexpr py::Params regular_params{"self, func, error_type, m022, m023"};

Ref regular(Call& c) {
    auto [self, func, error_type, m022, m023] = c.args<regular_params>();
    CallExpression expression = match_call(c, func);
    if (!expression.matched) return py::call(py::getattr(self, func));

    Ref inspect = Ref::steal(PyImport_Import(PY_NAME(inspect)));
    Ref params_str = py::call_method(expression.params, PY_NAME(strip));
    Ref function = py::getattr(self, expression.name);
    Ref parameters = py::getattr(py::call_method(inspect, PY_NAME(signature), function), PY_NAME(parameters));
    const Py_ssize_t param_count = py::check((int)PyObject_Size(parameters));
    if (!py::truthy(params_str)) return py::call(function);

    Ref pieces = py::call_method(params_str, PY_NAME(split), PY_STR(","));
    if (py::check(PySequence_Contains(params_str, PY_STR("=")))) {
        Ref keywords = py::new_dict();
        py::for_each(pieces, [&](PyObject* raw) {
            Ref piece = py::call_method(raw, PY_NAME(strip));
            if (!py::check(PySequence_Contains(piece, PY_STR("=")))) raise_entry(error_type, m023);
            Ref pair = py::call_method(piece, PY_NAME(split), PY_STR("="), py::integer(1));
            Ref key = py::call_method(Ref::steal(PySequence_GetItem(pair, 0)), PY_NAME(strip));
            Ref value = py::call_method(Ref::steal(PySequence_GetItem(pair, 1)), PY_NAME(strip));
            py::setitem(keywords, key, value);
        });
        return py::call_args(function, Ref::steal(PyTuple_New(0)), keywords);
    }
    Ref args = py::new_list();
    py::for_each(pieces, [&](PyObject* raw) {
        Ref piece = py::call_method(raw, PY_NAME(strip));
        if (py::truthy(piece)) py::append(args, piece);
    });
    // A host function taking *args accepts any number of them.
    bool variadic = false;
    Ref var_positional = py::getattr(py::getattr(inspect, PY_NAME(Parameter)), PY_NAME(VAR_POSITIONAL));
    py::for_each(py::call_method(parameters, PY_NAME(values)), [&](PyObject* parameter) {
        variadic = variadic || py::equal(py::getattr(parameter, PY_NAME(kind)), var_positional);
    });
    if (!variadic && PyList_GET_SIZE(args.get()) > param_count) raise_entry(error_type, m022);
    return py::call_args(function, Ref::steal(PyList_AsTuple(args)));
}

}  // namespace

const py::FunctionDef regular_def{"regular", "Tamarel.regular", regular_params, nullptr, regular};

}  // namespace sections::tamarel_members
