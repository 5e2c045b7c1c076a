// Tamarel.regular: a call expression "name(a, b)", "name(k=v)" or "name" evaluated as a
// call of the host's method of that name, with the arguments as strings.
#include "tamarel.hpp"

#include <utility>

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
    py::Binding match_fn = re_function(c, PY_NAME(match), c.state().get<ReAtImport>().match);
    if (match_fn.native && PyUnicode_CheckExact(func)) {
        return parse_call(func);
    }
    Ref match = py::call(match_fn.object, py::text(kCallPattern), func);
    if (match.get() == Py_None) return {};
    return {true, py::call_method(match, PY_NAME(group), py::integer(1)),
            py::call_method(match, PY_NAME(group), py::integer(2))};
}

[[noreturn]] void raise_entry(PyObject* error_type, PyObject* entry) {
    py::raise_object(py::call_args(error_type, py::star_args(error_type, entry)));
}

// ---- the signature facts ------------------------------------------------------------
//
// Evaluation needs two facts from inspect.signature(function): how many parameters it
// lists and whether one is *args. For a plain function or bound method of a Python
// `def` they follow from its code object; the shortcut is taken only while nothing
// that inspect.signature reads on that path can have changed since it was checked:
// the inspect, types, functools and sys modules and the builtins (dict watchers), the
// classes Signature and Parameter (type watchers), the function's own attributes
// (none may be set), and the inspect module that the import hands back.

bool is_python_keyword(PyObject* name) {
    static const char* const keywords[] = {
        "False", "None",     "True",    "and",    "as",     "assert", "async",  "await", "break",
        "class", "continue", "def",     "del",    "elif",   "else",   "except", "finally", "for",
        "from",  "global",   "if",      "import", "in",     "is",     "lambda", "nonlocal", "not",
        "or",    "pass",     "raise",   "return", "try",    "while",  "with",   "yield"};
    for (const char* keyword : keywords) {
        if (PyUnicode_EqualToUTF8(name, keyword)) return true;
    }
    return false;
}

struct Facts {
    Py_ssize_t count = 0;
    bool variadic = false;
};

// Kept in the module state: set up on first use, off for good after any change that
// could matter (or when the check or the watchers fail).
class SignatureShortcut : public py::Cache {
public:
    // The facts for `function` when the shortcut applies; false otherwise.
    bool facts(PyObject* inspect, PyObject* builtins, PyObject* function, Facts* out) {
        if (!ready_) setup(inspect, builtins);
        if (!valid_ || inspect != inspect_.get() || builtins != builtins_) return false;
        PyObject* func = function;
        const bool bound = Py_IS_TYPE(function, &PyMethod_Type);
        if (bound) func = PyMethod_GET_FUNCTION(function);
        if (!Py_IS_TYPE(func, &PyFunction_Type)) return false;
        PyObject* attributes = py::compat::function_attributes(func);
        if (attributes && PyDict_GET_SIZE(attributes) != 0) return false;  // __signature__, __wrapped__, ...
        PyObject* code = py::compat::code_of(func);
        const py::compat::CodeShape shape = py::compat::code_shape(code);
        if (!names_valid(code, shape)) return false;
        Py_ssize_t count = shape.total();
        if (bound) {
            if (shape.positional > 0) {
                --count;  // the instance parameter
            } else if (!shape.varargs) {
                return false;  // inspect raises "invalid method signature"
            }
        }
        out->count = count;
        out->variadic = shape.varargs;
        return true;
    }

    // `__import__` of the interpreter's builtins module, the one `import` runs without a call.
    PyObject* builtin_import() {
        if (!builtin_import_) {
            Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
            builtin_import_ = py::getattr(builtins_module, PY_NAME(__import__));
        }
        return builtin_import_.get();
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(inspect_.get());
        Py_VISIT(checked_code_.get());
        Py_VISIT(builtin_import_.get());
        return 0;
    }
    void clear() override {
        valid_ = false;
        watchers_.release();
        inspect_ = {};
        checked_code_ = {};
        builtin_import_ = {};
    }

private:
    static void on_dict_changed(void* owner, PyObject* dict, PyObject* key) {
        auto& self = *static_cast<SignatureShortcut*>(owner);
        // What the interpreter or a REPL writes there all the time does not matter.
        if (dict == self.builtins_ && key && PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, "_")) return;
        if (dict == self.sys_dict_ && !(key && PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, "getrecursionlimit"))) {
            return;
        }
        self.valid_ = false;
    }
    static void on_type_changed(void* owner) { static_cast<SignatureShortcut*>(owner)->valid_ = false; }

    // Checks that inspect's functions on the way are its own, and watches what they
    // read. Any surprise leaves the shortcut off for good.
    void setup(PyObject* inspect, PyObject* builtins) {
        ready_ = true;
        valid_ = checked_and_watched(inspect, builtins);
        if (!valid_) {
            watchers_.release();
            PyErr_Clear();  // a failed check is no error of the call
        }
    }

    bool checked_and_watched(PyObject* inspect, PyObject* builtins) {
        if (!PyModule_CheckExact(inspect) || !PyDict_Check(builtins)) return false;
        PyObject* inspect_dict = PyModule_GetDict(inspect);
        for (const char* name : {"signature", "_signature_from_callable", "_signature_from_function",
                                 "_signature_bound_method", "unwrap", "isfunction", "get_annotations"}) {
            PyObject* fn = nullptr;
            if (PyDict_GetItemStringRef(inspect_dict, name, &fn) <= 0) return false;
            Ref keep = Ref::steal(fn);
            if (!PyFunction_Check(fn) || PyFunction_GET_GLOBALS(fn) != inspect_dict) return false;
        }
        Ref types = modules_get("types"), functools = modules_get("functools"), sys = modules_get("sys");
        Ref signature_class = get_type(inspect_dict, "Signature"), parameter_class = get_type(inspect_dict, "Parameter");
        if (!types || !functools || !sys || !signature_class || !parameter_class) return false;
        if (!watchers_.acquire(this, on_dict_changed, on_type_changed)) return false;
        // Set before watching: an event from here on is judged against them.
        builtins_ = builtins;
        sys_dict_ = PyModule_GetDict(sys);
        for (PyObject* dict : {inspect_dict, PyModule_GetDict(types), PyModule_GetDict(functools), sys_dict_, builtins}) {
            if (!watchers_.watch_dict(dict)) return false;
        }
        for (PyObject* type : {signature_class.get(), parameter_class.get()}) {
            if (!watchers_.watch_type(type)) return false;
        }
        inspect_ = Ref::borrow(inspect);
        return true;
    }

    static Ref modules_get(const char* name) {
        Ref module = Ref::steal_nullable(PyImport_GetModule(py::text(name)));
        if (!module && PyErr_Occurred()) PyErr_Clear();
        return module && PyModule_CheckExact(module) ? std::move(module) : Ref();
    }
    static Ref get_type(PyObject* dict, const char* name) {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(dict, name, &found) < 0) PyErr_Clear();
        Ref type = Ref::steal_nullable(found);
        return type && PyType_Check(type) ? std::move(type) : Ref();
    }

    // The parameter names inspect would make Parameters of are valid and distinct (a
    // code object made by hand may hold any); checked once for the last code object.
    bool names_valid(PyObject* code, const py::compat::CodeShape& shape) {
        if (code == checked_code_.get()) return checked_valid_;
        const Py_ssize_t total = shape.total();
        Ref names = Ref::steal_nullable(py::compat::code_varnames(code));
        bool valid = names && PyTuple_Check(names) && PyTuple_GET_SIZE(names.get()) >= total;
        for (Py_ssize_t i = 0; valid && i < total; ++i) {
            PyObject* name = PyTuple_GET_ITEM(names.get(), i);
            valid = PyUnicode_CheckExact(name) && PyUnicode_IsIdentifier(name) == 1 && !is_python_keyword(name);
            for (Py_ssize_t j = 0; valid && j < i; ++j) {
                valid = PyUnicode_Compare(name, PyTuple_GET_ITEM(names.get(), j)) != 0;
            }
        }
        if (PyErr_Occurred()) PyErr_Clear();
        checked_code_ = Ref::borrow(code);
        checked_valid_ = valid;
        return valid;
    }

    bool ready_ = false;
    bool valid_ = false;
    Ref inspect_;
    PyObject* builtins_ = nullptr;  // watched; compared by address only
    PyObject* sys_dict_ = nullptr;
    Ref checked_code_;
    bool checked_valid_ = false;
    Ref builtin_import_;
    py::compat::Watchers watchers_;
};

// `import inspect`, as the statement runs it: the __import__ of the builtins the
// module sees, called unless it is the interpreter's own, whose work is done here.
Ref import_inspect(Call& c) {
    PyObject* found = nullptr;
    if (!PyDict_Check(c.builtins()) || py::check(PyDict_GetItemRef(c.builtins(), PY_NAME(__import__), &found)) == 0) {
        py::raise(PyExc_ImportError, "__import__ not found");
    }
    py::Binding import = py::Binding::of(Ref::steal(found), c.state().get<SignatureShortcut>().builtin_import());
    if (import.native) {
        return Ref::steal(PyImport_ImportModuleLevelObject(PY_NAME(inspect), c.globals(), nullptr, nullptr, 0));
    }
    return py::call(import.object, PY_NAME(inspect), c.globals(), Py_None, Py_None, py::integer(0));
}

// ---- text, in C for exact str ----------------------------------------------------------

// text.strip()
Ref strip(PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return py::call_method(text, PY_NAME(strip));
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t first = 0, last = PyUnicode_GET_LENGTH(text);
    while (first < last && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, first))) ++first;
    while (last > first && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, last - 1))) --last;
    if (first == 0 && last == PyUnicode_GET_LENGTH(text)) return Ref::borrow(text);
    return Ref::steal(PyUnicode_Substring(text, first, last));
}

// The position of "=" in an exact str, or -1; `"=" in text` for anything else.
Py_ssize_t find_equals(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
        const Py_ssize_t at = PyUnicode_FindChar(text, '=', 0, PyUnicode_GET_LENGTH(text), 1);
        if (at == -2) py::fail();
        return at;
    }
    return py::check(PySequence_Contains(text, PY_STR("="))) ? 0 : -1;
}

// text.split(",")
Ref split_commas(PyObject* text) {
    if (PyUnicode_CheckExact(text)) return Ref::steal(PyUnicode_Split(text, PY_STR(","), -1));
    return py::call_method(text, PY_NAME(split), PY_STR(","));
}

// key, value = piece.split("=", 1), both stripped
std::pair<Ref, Ref> key_and_value(PyObject* piece, Py_ssize_t equals) {
    if (PyUnicode_CheckExact(piece)) {
        Ref key = Ref::steal(PyUnicode_Substring(piece, 0, equals));
        Ref value = Ref::steal(PyUnicode_Substring(piece, equals + 1, PyUnicode_GET_LENGTH(piece)));
        return {strip(key), strip(value)};
    }
    Ref pair = py::call_method(piece, PY_NAME(split), PY_STR("="), py::integer(1));
    return {strip(Ref::steal(PySequence_GetItem(pair, 0))), strip(Ref::steal(PySequence_GetItem(pair, 1)))};
}

// ---- the evaluation -----------------------------------------------------------------------

constexpr py::Params regular_params{"self, func, error_type, m022, m023"};

Ref regular(Call& c) {
    auto [self, func, error_type, m022, m023] = c.args<regular_params>();
    CallExpression expression = match_call(c, func);
    if (!expression.matched) return py::call(py::getattr(self, func));

    Ref inspect = import_inspect(c);
    Ref params_str = strip(expression.params);
    Ref function = py::getattr(self, expression.name);
    // The parameter count, from the code object or from inspect.signature itself.
    Facts facts;
    Ref parameters;
    if (!c.state().get<SignatureShortcut>().facts(inspect, c.builtins(), function, &facts)) {
        parameters = py::getattr(py::call_method(inspect, PY_NAME(signature), function), PY_NAME(parameters));
        facts.count = py::check((int)PyObject_Size(parameters));
    }
    if (!py::truthy(params_str)) return py::call(function);

    Ref pieces = split_commas(params_str);
    if (find_equals(params_str) >= 0) {
        Ref keywords = py::new_dict();
        py::for_each(pieces, [&](PyObject* raw) {
            Ref piece = strip(raw);
            const Py_ssize_t equals = find_equals(piece);
            if (equals < 0) raise_entry(error_type, m023);
            auto [key, value] = key_and_value(piece, equals);
            py::setitem(keywords, key, value);
        });
        return py::call_args(function, Ref::steal(PyTuple_New(0)), keywords);
    }
    Ref args = py::new_list();
    py::for_each(pieces, [&](PyObject* raw) {
        Ref piece = strip(raw);
        if (py::truthy(piece)) py::append(args, piece);
    });
    // A host function taking *args accepts any number of them.
    if (parameters) {
        Ref var_positional = py::getattr(py::getattr(inspect, PY_NAME(Parameter)), PY_NAME(VAR_POSITIONAL));
        py::for_each(py::call_method(parameters, PY_NAME(values)), [&](PyObject* parameter) {
            facts.variadic = facts.variadic || py::equal(py::getattr(parameter, PY_NAME(kind)), var_positional);
        });
    }
    if (!facts.variadic && PyList_GET_SIZE(args.get()) > facts.count) raise_entry(error_type, m022);
    return py::call_args(function, Ref::steal(PyList_AsTuple(args)));
}

}  // namespace

const py::FunctionDef regular_def{"regular", "Tamarel.regular", nullptr, py::impl<regular, regular_params>};

}  // namespace sections::tamarel_members
