// The function type: argument binding as CPython does it for Python functions, the
// descriptor protocol, the function attributes, and the error boundary.
#include "function.hpp"

#include "signature.hpp"

#include "boundary.hpp"
#include "coroutine.hpp"

#include <bit>
#include <cstddef>
#include <string>
#include <vector>

namespace py {

namespace {

inline FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---- argument errors, worded as CPython 3.13 words them (with the short name) ----

Py_NO_INLINE void too_many_positional(FunctionObject* fn, Py_ssize_t given, Py_ssize_t defcount) {
    const Py_ssize_t argcount = fn->def->params.npos;
    std::string count;
    bool plural;
    if (defcount) {
        count = "from " + std::to_string(argcount - defcount) + " to " + std::to_string(argcount);
        plural = true;
    } else {
        count = std::to_string(argcount);
        plural = argcount != 1;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %s positional argument%s but %zd %s given", fn->name, count.c_str(),
                 plural ? "s" : "", given, given == 1 ? "was" : "were");
}

Py_NO_INLINE void missing_arguments(FunctionObject* fn, const char* kind,
                                         const std::vector<int>& missing) {
    // 'a'  |  'a' and 'b'  |  'a', 'b', and 'c'
    Ref names = new_list();
    for (int i : missing) {
        append(names, repr(PyTuple_GET_ITEM(fn->names, i)));
    }
    Py_ssize_t n = (Py_ssize_t)missing.size();
    Ref joined;
    if (n == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(
            n == 2 ? "%U and %U" : "%U, and %U", PyList_GET_ITEM(names.get(), n - 2),
            PyList_GET_ITEM(names.get(), n - 1)));
        check(PyList_SetSlice(names, n - 2, n, nullptr));
        check(PyList_Append(names, tail));
        joined = Ref::steal(PyUnicode_Join(PY_STR(", "), names));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", fn->name, n,
                 kind, n == 1 ? "" : "s", joined.get());
}

// A function declared with ArgErrors::Counted words its errors by the counts of its
// declared list only while it binds as declared: __defaults__ still the tuple it was
// made with (the very object: assigning an equal one counts as a change, putting back
// the one read before restores it) and no __kwdefaults__. After any other assignment
// its errors read as CPython's for a Python function with those defaults, so that no
// message contradicts the binding ("at least 3 ... (3 given)").
bool counted_errors(const FunctionObject* fn) {
    return fn->def->errors == ArgErrors::Counted && fn->defaults == fn->declared_defaults && !fn->kwdefaults;
}

// "f() takes at least 3 positional arguments (2 given)" / "at most 4 ... (5 given)".
Py_NO_INLINE void counted_error(FunctionObject* fn, bool too_many, Py_ssize_t given) {
    const Params& p = fn->def->params;
    const Py_ssize_t required = p.npos - p.ndefaults;  // as declared
    const bool exact = required == p.npos && p.varargs < 0;
    const Py_ssize_t count = too_many ? p.npos : required;
    PyErr_Format(PyExc_TypeError, "%.200U() takes %.8s %zd positional argument%.1s (%zd given)", fn->name,
                 exact ? "exactly" : (too_many ? "at most" : "at least"), count,
                 count == 1 ? "" : "s", given);
}

Py_NO_INLINE void unexpected_keyword(FunctionObject* fn, PyObject* keyword) {
    Ref suggestion = suggest_keyword(fn->def->params, fn->names, keyword);
    if (suggestion) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     fn->name, keyword, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                     fn->name, keyword);
    }
}

}  // namespace

// Binds args/kwnames to one slot per parameter (new references). Returns false with a
// Python exception set on an argument error. With `extra` (a Kwargs::ReadOnly function
// called with at most 64 keywords) the **kwargs slot stays empty and the keywords
// that go there are marked in *extra instead.
bool bind(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots, std::uint64_t* extra = nullptr) {
    const Params& params = fn->def->params;
    const Py_ssize_t npos = params.npos;
    const bool counted = counted_errors(fn);
    // Counted errors come from a check of the positional count made before any
    // keyword is looked at.
    if (counted && nargs > npos && params.varargs < 0) {
        counted_error(fn, true, nargs);
        return false;
    }

    if (params.varkw >= 0 && !extra) {
        slots[params.varkw] = PyDict_New();
        if (!slots[params.varkw]) return false;
    }
    const Py_ssize_t ntake = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < ntake; ++i) slots[i] = Py_NewRef(args[i]);
    if (params.varargs >= 0) {
        PyObject* extra = nargs > npos ? PyTuple_New(nargs - npos) : PyTuple_New(0);
        if (!extra) return false;
        for (Py_ssize_t i = npos; i < nargs; ++i) {
            PyTuple_SET_ITEM(extra, i - npos, Py_NewRef(args[i]));
        }
        slots[params.varargs] = extra;
    }

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            if (!PyUnicode_Check(keyword)) {
                PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->name);
                return false;
            }
            const int index = find_keyword(params, fn->names, keyword);
            if (index == kError) return false;
            if (index == kNotFound) {
                if (params.varkw < 0) {
                    unexpected_keyword(fn, keyword);
                    return false;
                }
                if (extra) {
                    *extra |= std::uint64_t{1} << k;
                } else if (PyDict_SetItem(slots[params.varkw], keyword, value) < 0) {
                    return false;
                }
                continue;
            }
            if (slots[index]) {
                PyErr_Format(PyExc_TypeError,
                             counted ? "%U() got multiple values for keyword argument '%S'"
                                 : "%U() got multiple values for argument '%S'",
                             fn->name, keyword);
                return false;
            }
            slots[index] = Py_NewRef(value);
        }
    }

    PyObject* defaults = fn->defaults;
    Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (nargs > npos && params.varargs < 0) {
        too_many_positional(fn, nargs, defcount);
        return false;
    }
    if (nargs < npos) {
        // Defaults fill the trailing positional parameters.
        const Py_ssize_t first_default = npos - (defcount < npos ? defcount : npos);
        std::vector<int> missing;
        for (Py_ssize_t i = nargs; i < first_default; ++i) {
            if (!slots[i]) missing.push_back((int)i);
        }
        if (!missing.empty()) {
            if (counted) {
                counted_error(fn, false, missing.front());
            } else {
                missing_arguments(fn, "positional", missing);
            }
            return false;
        }
        for (Py_ssize_t i = first_default; i < npos; ++i) {
            if (!slots[i]) {
                slots[i] = Py_NewRef(PyTuple_GET_ITEM(defaults, defcount - (npos - i)));
            }
        }
    }
    return true;
}

namespace {

// The bound arguments of a call that needs more than the caller's positional array
// (keywords, *args, **kwargs, or a coroutine's argument tuple): one owned reference
// per slot.
class OwnedSlots {
public:
    explicit OwnedSlots(int count) : n_(count) {
        for (int i = 0; i < n_; ++i) items_[i] = nullptr;
    }
    ~OwnedSlots() {
        for (int i = 0; i < n_; ++i) Py_XDECREF(items_[i]);
    }
    OwnedSlots(const OwnedSlots&) = delete;
    OwnedSlots& operator=(const OwnedSlots&) = delete;

    PyObject** items() { return items_; }

private:
    PyObject* items_[kMaxParams];
    int n_;
};

}  // namespace

void RecursionGuard::refuse() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
}

// Everything but the positional calls the entry binds itself: Python's binding rules,
// keyword names matched to parameters, and the coroutine of an `async def`.
PyObject* detail::call_general(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    RecursionGuard guard(fn->state);
    if (!guard.entered()) [[unlikely]] return nullptr;
    const int n = fn->def->params.count;
    OwnedSlots slots(n);
    if (fn->def->kwargs == Kwargs::ReadOnly && !fn->def->coroutine) {
        const bool few = !kwnames || PyTuple_GET_SIZE(kwnames) <= 64;
        std::uint64_t extra = 0;
        if (!bind(fn, args, nargs, kwnames, slots.items(), few ? &extra : nullptr)) return nullptr;
        PyObject* dict = few ? nullptr : slots.items()[fn->def->params.varkw];
        Call call(fn, slots.items(), n);
        call.keywords_view(kwnames, args + nargs, extra, dict);
        return invoke(fn->def->impl, call);
    }
    if (!bind(fn, args, nargs, kwnames, slots.items())) return nullptr;
    if (!fn->def->coroutine) return invoke(fn->def->impl, Call(fn, slots.items(), n));
    // Nothing runs before the coroutine is first resumed.
    return boundary<PyObject*>(nullptr, [&] {
        Ref bound = Ref::steal(PyTuple_New(n));
        for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(bound.get(), i, Py_NewRef(slots.items()[i]));
        return make_coroutine(fn, bound).release();
    });
}

PyObject* detail::general_entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return call_general(as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

namespace {

// ---- type slots --------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->declared_defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->closure);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->declared_defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

// Stored in a class and read through an instance, a function becomes a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickled and copied by reference, as Python functions are.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}

int set_text(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

// __defaults__ and __kwdefaults__ are read and written under the audit events of
// Python's function type ("object.__getattr__", "object.__setattr__",
// "object.__delattr__"), raised once the new value is known to be acceptable, so a
// hook can refuse a change before it happens.
int audit_get(PyObject* self, const char* attribute) {
    return PySys_Audit("object.__getattr__", "Os", self, attribute);
}
int audit_set(PyObject* self, const char* attribute, PyObject* value) {
    return value ? PySys_Audit("object.__setattr__", "OsO", self, attribute, value)
                 : PySys_Audit("object.__delattr__", "Os", self, attribute);
}

PyObject* get_defaults(PyObject* self, void*) {
    if (audit_get(self, "__defaults__") < 0) return nullptr;
    PyObject* d = as_function(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
// Deleting, or setting None, leaves no defaults; an empty tuple stays what it is.
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    if (audit_set(self, "__defaults__", value) < 0) return -1;
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    if (audit_get(self, "__kwdefaults__") < 0) return nullptr;
    PyObject* d = as_function(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (audit_set(self, "__kwdefaults__", value) < 0) return -1;
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (!fn->annotations) {
        StateScope scope(fn->state);
        fn->annotations =
            boundary<PyObject*>(nullptr, [&] { return param_annotations(fn->def->params, fn->names); });
        if (!fn->annotations) return nullptr;
    }
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.Signature of the current defaults and annotations, for inspect and help().
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    StateScope scope(fn->state);
    return boundary<PyObject*>(nullptr, [&] {
        Ref annotations = Ref::steal(get_annotations(self, nullptr));
        return inspect_signature(fn->def->params, fn->names, fn->defaults, annotations).release();
    });
}

// inspect.iscoroutinefunction() looks for inspect's own marker; a coroutine function
// reports it, read from the inspect module that is asking. Others keep what was set.
PyObject* get_coroutine_marker(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (fn->def->coroutine) {
        PyObject* inspect = nullptr;
        if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "inspect", &inspect) < 0) return nullptr;
        if (inspect) {
            PyObject* mark = PyObject_GetAttrString(inspect, compat::kInspectCoroutineMark);
            Py_DECREF(inspect);
            return mark;
        }
    }
    PyObject* value = nullptr;
    if (fn->dict && PyDict_GetItemStringRef(fn->dict, compat::kCoroutineMarkerAttribute, &value) < 0) return nullptr;
    if (!value) PyErr_SetString(PyExc_AttributeError, compat::kCoroutineMarkerAttribute);
    return value;
}
int set_coroutine_marker(PyObject* self, PyObject* value, void*) {
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) return -1;
    int rc = value ? PyDict_SetItemString(dict, compat::kCoroutineMarkerAttribute, value)
                   : PyDict_DelItemString(dict, compat::kCoroutineMarkerAttribute);
    Py_DECREF(dict);
    return rc;
}

PyGetSetDef function_getset[] = {
    {compat::kCoroutineMarkerAttribute, get_coroutine_marker, set_coroutine_marker, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(FunctionObject, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {.slot = Py_tp_dealloc, .pfunc = (void*)function_dealloc},
    {.slot = Py_tp_traverse, .pfunc = (void*)function_traverse},
    {.slot = Py_tp_clear, .pfunc = (void*)function_clear},
    {.slot = Py_tp_call, .pfunc = (void*)PyVectorcall_Call},
    {.slot = Py_tp_descr_get, .pfunc = (void*)function_descr_get},
    {.slot = Py_tp_repr, .pfunc = (void*)function_repr},
    {.slot = Py_tp_getset, .pfunc = (void*)function_getset},
    {.slot = Py_tp_members, .pfunc = (void*)function_members},
    {.slot = Py_tp_methods, .pfunc = (void*)function_methods},
    {.slot = 0, .pfunc = nullptr},
};

// The type's own __module__. A heap type would read it from its dict, where the
// functions' __module__ member lives; this metaclass answers for the type instead,
// as "builtins" like Python's function type.
PyObject* function_type_module(PyObject*, void*) { return PyUnicode_FromString("builtins"); }

PyGetSetDef function_meta_getset[] = {
    {"__module__", function_type_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot function_meta_slots[] = {
    {.slot = Py_tp_getset, .pfunc = (void*)function_meta_getset},
    {.slot = 0, .pfunc = nullptr},
};
PyType_Spec function_meta_spec = {
    .name = "tamareltools.tamarels.function_type",
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = function_meta_slots,
};

// No dot in the name: the type reads as `function`, as Python's own does, and keeps
// the per-function __module__ member.
PyType_Spec function_spec = {
    .name = "function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace

PyObject* function_qualname(FunctionObject* fn) { return fn->qualname; }

Ref run_bound(FunctionObject* fn, PyObject* args_tuple, bool* awaiting) {
    RecursionGuard guard(fn->state);
    if (!guard.entered()) fail();
    Ref keep = Ref::borrow(args_tuple);
    Call call(fn, &PyTuple_GET_ITEM(args_tuple, 0), PyTuple_GET_SIZE(args_tuple));
    Ref r = fn->def->impl(call);
    *awaiting = call.awaiting();
    return r ? std::move(r) : none();
}

PyObject* Call::keyword(PyObject* name) const {
    if (kwdict_) return PyDict_GetItemWithError(kwdict_, name);  // str keys: no error
    for (std::uint64_t bits = kwextra_; bits; bits &= bits - 1) {
        const int k = std::countr_zero(bits);
        PyObject* given = PyTuple_GET_ITEM(kwnames_, k);
        if (given == name || (!PyUnicode_CHECK_INTERNED(given) && PyUnicode_Compare(given, name) == 0)) {
            return kwvalues_[k];
        }
    }
    return nullptr;
}

const FunctionDef& Call::definition() const { return *fn_->def; }
PyObject* Call::closure() const { return fn_->closure; }
PyObject* Call::globals() const { return fn_->globals; }
PyObject* Call::builtins() const { return fn_->builtins; }

Ref detail::global_of(FunctionObject* fn, PyObject* name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(fn->globals, name, &value))) return Ref::steal(value);
    if (PyDict_Check(fn->builtins)) {
        if (check(PyDict_GetItemRef(fn->builtins, name, &value))) return Ref::steal(value);
    }
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

Binding Call::global(PyObject* name, PyObject* original) const { return Binding::of(global(name), original); }

Binding Call::global(PyObject* name, const FunctionDef& own) const {
    Ref object = global(name);
    const bool native = is_function(*fn_->state, object, own);
    return {std::move(object), native};
}

Binding Binding::attribute(PyObject* name, PyObject* original) const {
    Ref value = getattr(object, name);
    const bool same = native && value.get() == original;
    return {std::move(value), same};
}

Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure) {
    State& state = current_state();
    if (!state.function_type) raise(PyExc_SystemError, "the module's state has been cleared");
    auto* fn = PyObject_GC_New(FunctionObject, state.function_type);
    if (!fn) fail();
    fn->vectorcall = def.entry;
    fn->state = &state;
    fn->def = &def;
    fn->names = nullptr;
    fn->name = nullptr;
    fn->qualname = nullptr;
    fn->module = nullptr;
    fn->doc = nullptr;
    fn->defaults = nullptr;
    fn->kwdefaults = nullptr;
    fn->declared_defaults = nullptr;
    fn->annotations = nullptr;
    fn->dict = nullptr;
    fn->globals = Py_NewRef(globals);
    fn->builtins = nullptr;
    fn->closure = Py_XNewRef(closure);
    fn->weakreflist = nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(fn));

    fn->names = param_names(def.params).release();
    fn->name = Ref::steal(PyUnicode_FromString(def.name)).release();
    fn->qualname = Ref::steal(PyUnicode_FromString(def.qualname)).release();
    PyObject* module_name = nullptr;
    check(PyDict_GetItemRef(globals, PY_NAME(__name__), &module_name));
    fn->module = module_name ? module_name : Py_NewRef(Py_None);
    fn->doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)).release() : Py_NewRef(Py_None);
    fn->defaults = param_defaults(def.params);
    fn->declared_defaults = Py_XNewRef(fn->defaults);
    fn->kwdefaults = nullptr;
    PyObject* builtins = nullptr;
    check(PyDict_GetItemRef(globals, PY_NAME(__builtins__), &builtins));
    if (builtins && PyModule_Check(builtins)) {
        Py_SETREF(builtins, Py_NewRef(PyModule_GetDict(builtins)));
    }
    fn->builtins = builtins ? builtins : Ref::steal(PyEval_GetFrameBuiltins()).release();
    PyObject_GC_Track(fn);
    return result;
}

bool is_function(const State& state, PyObject* o, const FunctionDef& def) {
    return Py_IS_TYPE(o, state.function_type) && as_function(o)->def == &def;
}

int init_function_type(State& state, PyObject* module) {
    Ref meta = Ref::steal_nullable(
        PyType_FromSpecWithBases(&function_meta_spec, reinterpret_cast<PyObject*>(&PyType_Type)));
    if (!meta) return -1;
    state.function_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromMetaclass(reinterpret_cast<PyTypeObject*>(meta.get()), module, &function_spec, nullptr));
    return state.function_type ? 0 : -1;
}

}  // namespace py
