// The coroutine objects that the module's `async def` functions return.
#pragma once

#include "function.hpp"

namespace py {

// A coroutine that runs `fn` on the bound arguments when it is first resumed.
Ref make_coroutine(FunctionObject* fn, PyObject* args_tuple);

// The coroutine type of a module state, created at its exec.
int init_coroutine_type(State& state, PyObject* module);

}  // namespace py
