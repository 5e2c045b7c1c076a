// `try: ... except cls as exc: ...` for section code.
#pragma once

#include "ops.hpp"

#include <type_traits>

namespace py {

// While alive, `exc` is the exception being handled: traceback.print_exc() prints
// it, sys.exception() returns it, and an exception raised meanwhile gets it as
// __context__. The previously handled exception comes back afterwards.
class Handling {
public:
    explicit Handling(PyObject* exc) : previous_(Ref::steal_nullable(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~Handling() { PyErr_SetHandledException(previous_ ? previous_.get() : Py_None); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

// Does the raised exception `exc` match `cls` as `except cls:` would? None matches
// nothing (a caller that passes no error class catches nothing).
bool exception_matches(PyObject* exc, PyObject* cls);

// try { return body(); } except cls as exc { return handler(exc); }
// `cls` is the class (or tuple), or a function returning it: like the expression of
// an except clause, that is evaluated only once an exception is being caught.
template <class Cls, class Body, class Handler>
auto try_except(Cls&& cls, Body&& body, Handler&& handler) -> decltype(body()) {
    Ref exc;
    try {
        return body();
    } catch (const PythonError&) {
        exc = Ref::steal(PyErr_GetRaisedException());
        bool matched = false;
        try {
            if constexpr (std::is_invocable_v<Cls>) {
                Ref evaluated = cls();
                matched = exception_matches(exc, evaluated);
            } else {
                matched = exception_matches(exc, cls);
            }
        } catch (const PythonError&) {
            // A bad class in the except clause replaces the exception, with it as context.
            Ref raised = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(raised, exc.release());
            PyErr_SetRaisedException(raised.release());
            throw;
        }
        if (!matched) {
            PyErr_SetRaisedException(exc.release());
            throw;
        }
    }
    Handling handling(exc);
    return handler(exc.get());
}

}  // namespace py
