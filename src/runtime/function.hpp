// The module's function type: a Python-level function object backed by C++.
//
// A section declares each function once with a FunctionDef:
//
//     Ref push(Call& c);    // c[0] is self, c[1] message, ...
//     const FunctionDef push_def{"push", "GitRepoOperator.push",
//         "self, message='Tamarel测试平台提交', remote_name='origin', branch='master', force=True",
//         push_doc, push};
//
// The signature is written as in a `def` line: positional-or-keyword parameters,
// `name=default` (None, True, False, integers, '...' strings), `*args`, keyword-only
// parameters, `**kwargs`, `name: annotation` and a trailing `-> annotation`
// (annotations are kept as strings). The trampoline binds arguments exactly as
// CPython binds them for a Python function with that signature, calls the
// implementation with one slot per parameter, and turns C++ exceptions into Python
// ones.
#pragma once

#include "ops.hpp"

#include <cstdint>

namespace py {

class Call;
using Impl = Ref (*)(Call&);

// How argument errors are worded: as for a Python function, or by counting
// positional arguments ("f() takes at least 3 positional arguments (2 given)"), the
// wording the platform sees from some of its compiled functions.
enum class ArgErrors { Python, Counted };

struct FunctionDef {
    const char* name;
    const char* qualname;
    const char* signature;
    const char* doc;  // nullptr: no docstring
    Impl impl;
    ArgErrors errors = ArgErrors::Python;
    // An `async def`: a call binds the arguments and returns a coroutine object; the
    // implementation runs when the coroutine is first resumed, and what it returns
    // after Call::await_result() is awaited, as `return await x` would.
    bool coroutine = false;
};

struct FunctionObject;

// The bound arguments of one call, plus the function's context.
class Call {
public:
    Call(FunctionObject* fn, PyObject** slots) : fn_(fn), slots_(slots) {}
    PyObject* operator[](int i) const { return slots_[i]; }
    FunctionObject* function() const { return fn_; }

    // A module-level name at call time: module namespace, then builtins; NameError
    // as Python raises it when neither has it.
    Ref global(PyObject* name) const;
    // The object the function was created around (see make_closure), or NULL.
    PyObject* closure() const;
    // The module namespace the function belongs to.
    PyObject* globals() const;
    // In a coroutine function: the returned object is to be awaited for the result.
    void await_result() { awaiting_ = true; }
    bool awaiting() const { return awaiting_; }

private:
    FunctionObject* fn_;
    PyObject** slots_;
    bool awaiting_ = false;
};

// Creates a function object in the namespace `globals` (its __module__ is
// globals["__name__"]). `closure` is kept alive with the function and handed to the
// implementation through Call::closure() (for inner functions such as thread targets).
Ref make_function(const FunctionDef& def, PyObject* globals, PyObject* closure = nullptr);

// True when `o` is a function of this module created from `def` -- used by fast
// paths that may skip a Python-level call only while a name still holds the
// module's own function.
bool is_function(PyObject* o, const FunctionDef& def);

// Runs a coroutine function's implementation on arguments bound earlier.
Ref run_bound(FunctionObject* fn, PyObject* args_tuple, bool* awaiting);
Ref make_coroutine(FunctionObject* fn, PyObject* args_tuple);
PyObject* function_qualname(FunctionObject* fn);

// Types of the runtime, created once at module exec.
int init_function_type(PyObject* module);
int init_coroutine_type(PyObject* module);

}  // namespace py
