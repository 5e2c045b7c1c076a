// Text helpers that CPython has no public API for.
#pragma once

#include "ops.hpp"

namespace py {

// data.replace(old, new) for an exact str `data` whose first occurrence of `old` is
// known to be at `first`: same result, without scanning the text before `first`.
Ref replace_from(PyObject* data, Py_ssize_t first, PyObject* old, PyObject* replacement);

}  // namespace py
