// The coroutine objects that the module's `async def` functions return.
#pragma once

#include "function.hpp"

namespace py {

// A coroutine that runs `fn` on the bound arguments when it is first resumed.
Ref make_coroutine(FunctionObject* fn, PyObject* args_tuple);

// The coroutine type, created once at module exec.
int init_coroutine_type(PyObject* module);

}  // namespace py
