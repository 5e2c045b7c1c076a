// Owned references and the C++ side of Python errors.
//
// Section code never calls Py_INCREF/Py_DECREF: a new reference goes straight into a
// Ref, a failed C-API call throws PythonError with the Python exception left set, and
// the function's call entry (entry.hpp) turns that back into a NULL return.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

namespace py {

// Thrown when a C-API call failed. It carries nothing: the raised exception stays in
// the thread's error indicator. That holds while the C++ exception unwinds because
// destructors on the way only release references (a finalizer or weakref callback
// that this runs saves and restores the indicator, as the interpreter guarantees)
// and restore the handled exception (Handling), which is a separate slot. Code that
// must run Python while one is in flight catches it first (Caught takes it out).
// A std::exception, as everything the module throws, so that the error boundary can
// catch it without a catch (...) where that would stop a thread's end (boundary.hpp).
struct PythonError : std::exception {};

[[noreturn]] inline void fail() { throw PythonError{}; }

// Throws when a C-API status is -1 (and the usual "NULL means error" via Ref::steal).
inline int check(int status) {
    if (status < 0) fail();
    return status;
}
// The same for sizes, which stay Py_ssize_t (64 bits where long and int are 32).
inline Py_ssize_t check(Py_ssize_t size) {
    if (size < 0) fail();
    return size;
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() { Py_XDECREF(p_); }

    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    // Takes over a new reference; NULL means the call that produced it failed.
    static Ref steal(PyObject* p) {
        if (!p) fail();
        Ref r;
        r.p_ = p;
        return r;
    }
    // Takes over a new reference that may legitimately be NULL (no error set).
    static Ref steal_nullable(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal_nullable(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// Sets a Python exception and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    fail();
}
template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    fail();
}

}  // namespace py
