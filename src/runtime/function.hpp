// The module's function type: a Python-level function object backed by C++.
//
// A section declares each function once, its parameters as in a `def` line:
//
//     constexpr py::Params push_params{
//         "self, message='Tamarel测试平台提交', remote_name='origin', branch='master', force=True"};
//     Ref push(Call& c) {
//         auto [self, message, remote_name, branch, force] = c.args<push_params>();
//         ...
//     }
//     const FunctionDef push_def{"push", "GitRepoOperator.push", push_doc, py::impl<push, push_params>};
//
// The call entry binds arguments exactly as CPython binds them for a Python function
// with that signature, calls the implementation with one slot per parameter (in
// declaration order), and turns C++ exceptions into Python ones.
#pragma once

#include "ops.hpp"
#include "params.hpp"

#include <array>
#include <cassert>
#include <cstdint>

namespace py {

class Call;
using Impl = Ref (*)(Call&);
struct FunctionObject;

// How argument errors are worded: as for a Python function, or by counting
// positional arguments ("f() takes at least 3 positional arguments (2 given)") for as
// long as __defaults__ and __kwdefaults__ hold what the function was made with (after
// a reassignment the counts would no longer be the binding's: it words them as a
// Python function's then).
enum class ArgErrors { Python, Counted };

// What an implementation does with its **kwargs: keeps or passes on the dict, or only
// reads entries through Call::keyword(), which needs no dict built for the call.
enum class Kwargs { Dict, ReadOnly };

// An implementation, its parameter list and the call entry compiled for both
// (entry.hpp): `py::impl<f, f_params>`.
struct Implementation {
    Impl impl;
    vectorcallfunc entry;
    const Params* params;
};

namespace detail {
// The call entry of every function whose calls all take the general way (entry.hpp).
PyObject* general_entry(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
}  // namespace detail

struct FunctionDef {
    constexpr FunctionDef(const char* name_, const char* qualname_, const char* doc_, Implementation impl_,
                          ArgErrors errors_ = ArgErrors::Python, bool coroutine_ = false,
                          Kwargs kwargs_ = Kwargs::Dict)
        : name(name_), qualname(qualname_), doc(doc_), params(*impl_.params), impl(impl_.impl),
          entry(coroutine_ ? &detail::general_entry : impl_.entry), errors(errors_), coroutine(coroutine_),
          kwargs(kwargs_) {}

    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: no docstring
    const Params& params;
    Impl impl;
    vectorcallfunc entry;
    ArgErrors errors;
    // An `async def`: a call binds the arguments and returns a coroutine object; the
    // implementation runs when the coroutine is first resumed, and what it returns
    // after Call::await_result() is awaited, as `return await x` would.
    bool coroutine;
    Kwargs kwargs;
};

struct FunctionObject;

// "Take the native path while the name is still the one bound at import": what a
// name (or an attribute) reads at call time, as the Python code would read it, and
// whether that is still the object the native code stands in for. The read is made
// at every call, since a host may rebind the name at any time; the native path is
// taken only when `native`, and the object read is called otherwise.
struct Binding {
    Ref object;
    bool native;

    // `owner.name`, read when the owner is; native while both are the originals.
    Binding attribute(PyObject* name, PyObject* original) const;
    static Binding of(Ref object, PyObject* original) {
        const bool same = object.get() == original;
        return {std::move(object), same};
    }
};

// The bound arguments of one call, plus the function's context. Parameter i is the
// caller's positional argument i while i < given, and otherwise the default that
// `defaults[i + shift]` holds: a positional call binds straight from the caller's
// array, nothing copied.
class Call {
public:
    Call(FunctionObject* fn, PyObject* const* args, Py_ssize_t given, PyObject* const* defaults, Py_ssize_t shift)
        : fn_(fn), args_(args), given_(given), defaults_(defaults), shift_(shift) {}
    // Every parameter given (`defaults` is never read: it only needs to be valid).
    Call(FunctionObject* fn, PyObject* const* args, Py_ssize_t given) : Call(fn, args, given, args, 0) {}
    FunctionObject* function() const { return fn_; }
    const FunctionDef& definition() const;

    // The bound arguments, one per parameter of `P` (the implementation's own
    // parameter list, the one its FunctionDef names), for a structured binding that
    // names them.
    template <const Params& P>
    std::array<PyObject*, P.count> args() const {
        assert(&P == &definition().params);
        std::array<PyObject*, P.count> out{};
        for (int i = 0; i < P.count; ++i) out[i] = i < given_ ? args_[i] : defaults_[i + shift_];
        return out;
    }

    // kwargs.get(name) for a function declared Kwargs::ReadOnly: the value given for
    // that name in **kwargs (borrowed), or NULL.
    PyObject* keyword(PyObject* name) const;
    // Set by the binding for Kwargs::ReadOnly: which keywords of the call went to
    // **kwargs (bit k for keyword k), or the dict when there were too many for bits.
    void keywords_view(PyObject* kwnames, PyObject* const* values, std::uint64_t extra, PyObject* dict) {
        kwnames_ = kwnames;
        kwvalues_ = values;
        kwextra_ = extra;
        kwdict_ = dict;
    }

    // A module-level name at call time: module namespace, then builtins; NameError
    // as Python raises it when neither has it.
    Ref global(PyObject* name) const;
    // The same read, for a native path that stands in for what the name holds (see
    // Binding): native while the name still holds `original`, or this module's own
    // function made from `own`.
    Binding global(PyObject* name, PyObject* original) const;
    Binding global(PyObject* name, const FunctionDef& own) const;
    // The state of the module the function belongs to.
    State& state() const;
    // The object the function was created around (make_function's closure), or NULL.
    PyObject* closure() const;
    // The module namespace the function belongs to, and the builtins it sees.
    PyObject* globals() const;
    PyObject* builtins() const;
    // In a coroutine function: the returned object is to be awaited for the result.
    void await_result() { awaiting_ = true; }
    bool awaiting() const { return awaiting_; }

private:
    FunctionObject* fn_;
    PyObject* const* args_;
    Py_ssize_t given_;
    PyObject* const* defaults_;
    Py_ssize_t shift_;
    PyObject* kwnames_ = nullptr;
    PyObject* const* kwvalues_ = nullptr;
    std::uint64_t kwextra_ = 0;
    PyObject* kwdict_ = nullptr;
    bool awaiting_ = false;
};

// Creates a function object of the running module's state in the namespace `globals`
// (its __module__ is globals["__name__"]). `closure` is kept alive with the function
// and handed to the implementation through Call::closure() (for inner functions such
// as thread targets).
Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure = nullptr);

// True when `o` is a function of the module of `state` created from `def`: the
// module's own code behind it (as _json picks its encoder by its C function).
bool is_function(const State& state, PyObject* o, const FunctionDef& def);

// Runs a coroutine function's implementation on arguments bound earlier.
Ref run_bound(FunctionObject* fn, PyObject* args_tuple, bool* awaiting);
PyObject* function_qualname(FunctionObject* fn);

// The function type of a module state, created at its exec.
int init_function_type(State& state, PyObject* module);

}  // namespace py

#include "entry.hpp"
