// Small helpers the sections share: the module's own `os` and `open`.
#pragma once

#include "runtime/function.hpp"

namespace sections {

// os.path.<fn>(*args) through the module's `os`, read at call time.
template <class... A>
py::Ref os_path(py::Call& c, PyObject* fn, const A&... args) {
    py::Ref path = py::getattr(c.global(PY_NAME(os)), PY_NAME(path));
    return py::call_method(path, fn, args...);
}

// open(path, "r", encoding="utf-8") through the builtins the module sees.
inline py::Ref open_text(py::Call& c, PyObject* path) {
    return py::call_kw(c.global(PY_NAME(open)), {path, PY_STR("r")}, {{PY_NAME(encoding), PY_STR("utf-8")}});
}

// os.makedirs(path, exist_ok=True) through the module's `os`.
inline void make_dirs(py::Call& c, PyObject* path) {
    py::call_kw(py::getattr(c.global(PY_NAME(os)), PY_NAME(makedirs)), {path}, {{PY_NAME(exist_ok), Py_True}});
}

}  // namespace sections
