// A function's call entry, compiled once per implementation and its parameter list
// so that the common call -- positional arguments only, the trailing ones possibly
// left to their defaults -- runs the implementation inline: the recursion guard, the
// count check against the list's positional count (a constant here) and the binding
// straight from the caller's array, then the implementation's own code. Every other
// call (keywords, *args/**kwargs, a coroutine, an argument error) goes the general
// way, in function.cpp; a list with *args or **kwargs gets no entry of its own.
//
// Included by function.hpp; sections only name `py::impl<f, f_params>` in a FunctionDef.
#pragma once

#include "boundary.hpp"

namespace py {

// The function object's layout. The runtime's own: sections reach the function
// through Call.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    State* state;  // its module's (kept alive by the type, which holds the module)
    const FunctionDef* def;
    PyObject* names;        // the parameter names, interned: a tuple, one per slot
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* declared_defaults;  // the tuple made from the parameter list, or NULL
    PyObject* annotations;  // dict, made on first use
    PyObject* dict;
    PyObject* globals;
    PyObject* builtins;
    PyObject* closure;
    PyObject* weakreflist;
};

// Native functions call each other without Python frames in between (a host method
// can itself be one of ours), so nesting is bounded as the interpreter bounds C calls:
// at most Py_C_RECURSION_LIMIT of them on a thread, and none may start when the
// thread's stack is nearly used up (a thread may have a small stack, far below what
// the limit assumes). Either way the call fails with RecursionError. The count is
// the module's own, kept where it costs a load and a store, rather than the
// interpreter's, which is a call away in the thread state.
//
// The guard also makes the function's module state the thread's current one for the
// call (what PY_NAME reads), and puts the caller's back when the call returns.
class RecursionGuard {
public:
    explicit RecursionGuard(State* state) : record_(compat::current_thread()) {
        if (record_->depth >= Py_C_RECURSION_LIMIT || compat::stack_exhausted(*record_)) [[unlikely]] {
            refuse();
            return;
        }
        ++record_->depth;
        saved_ = record_->state;
        record_->state = state;
        entered_ = true;
    }
    ~RecursionGuard() {
        if (entered_) {
            --record_->depth;
            record_->state = saved_;
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool entered() const { return entered_; }

private:
    static void refuse();  // sets the RecursionError
    compat::ThreadRecord* record_;
    State* saved_ = nullptr;
    bool entered_ = false;
};

namespace detail {

// The general binding, for every call the entry does not bind itself.
PyObject* call_general(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Runs an implementation on bound arguments: its result (None for an empty Ref), or
// NULL with the Python exception set.
inline PyObject* invoke(Impl impl, Call call) {
    try {
        Ref r = impl(call);
        return r ? r.release() : Py_NewRef(Py_None);
    } PY_BOUNDARY_CATCH {
        set_python_error();
        return nullptr;
    }
}

// NPOS: the number of parameters, all positional-or-keyword.
template <Impl F, Py_ssize_t NPOS>
PyObject* entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames || nargs > NPOS) [[unlikely]] return call_general(fn, args, nargs, kwnames);
    if (nargs == NPOS) {
        RecursionGuard guard(fn->state);
        if (!guard.entered()) [[unlikely]] return nullptr;
        return invoke(F, Call(fn, args, nargs));
    }
    if constexpr (NPOS == 0) {
        return nullptr;  // not reached: nargs is 0 and was NPOS
    } else {
        // Parameter i (from nargs on) takes default i + defcount - NPOS. The tuple is
        // held for the call: the implementation may run code that replaces __defaults__.
        PyObject* defaults = fn->defaults;
        if (!defaults || nargs + PyTuple_GET_SIZE(defaults) < NPOS) [[unlikely]] {
            return call_general(fn, args, nargs, kwnames);  // the "missing" error
        }
        const Py_ssize_t defcount = PyTuple_GET_SIZE(defaults);
        RecursionGuard guard(fn->state);
        if (!guard.entered()) [[unlikely]] return nullptr;
        Py_INCREF(defaults);
        PyObject* result = invoke(F, Call(fn, args, nargs, &PyTuple_GET_ITEM(defaults, 0), defcount - NPOS));
        Py_DECREF(defaults);
        return result;
    }
}

template <Impl F, const Params& P>
constexpr vectorcallfunc entry_for() {
    if constexpr (P.simple()) {
        return &entry<F, P.npos>;
    } else {
        return &general_entry;
    }
}

}  // namespace detail

// Defined here, where the function's layout is known: inline, so that a Call whose
// implementation only reads globals and state stays in registers.
namespace detail {
Ref global_of(FunctionObject* fn, PyObject* name);
}
inline Ref Call::global(PyObject* name) const { return detail::global_of(fn_, name); }
inline State& Call::state() const { return *fn_->state; }

// What a FunctionDef names as its implementation: `py::impl<f, f_params>`, the
// implementation and the parameter list it reads with Call::args.
template <Impl F, const Params& P>
inline constexpr Implementation impl{F, detail::entry_for<F, P>(), &P};

}  // namespace py
