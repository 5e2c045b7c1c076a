// The error boundary: where the interpreter calls into C++ (the functions' call entries,
// getters and setters, the coroutine slots, module exec), C++ exceptions end and a
// Python exception is left set instead.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <exception>
#include <new>

namespace py {

// Inside a catch block: sets the Python exception that stands for the C++ one being
// handled. PythonError keeps the exception already set (SystemError when, against
// its invariant, none is), std::bad_alloc becomes MemoryError, anything else
// SystemError. The unwind that ends a thread at exit is not an error: it goes on.
inline void set_python_error() {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
#if TAMARELS_HAS_FORCED_UNWIND
    } catch (compat::ForcedUnwind&) {
        throw;
#endif
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

// What the boundary catches: every C++ exception, except on Linux with a C++ runtime
// that cannot pass on the unwind that ends a thread (compat.hpp); there only the ones
// it translates, all of them std::exception (PythonError is one), and that unwind
// passes by.
#if TAMARELS_BOUNDARY_CATCHES_ALL
#define PY_BOUNDARY_CATCH catch (...)
#else
#define PY_BOUNDARY_CATCH catch (const std::exception&)
#endif

// return body();  -- or `failed` with the Python exception set.
template <class R, class Body>
R boundary(R failed, Body&& body) {
    try {
        return body();
    } PY_BOUNDARY_CATCH {
        set_python_error();
        return failed;
    }
}

}  // namespace py
