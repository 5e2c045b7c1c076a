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

// The exception being caught, taken out of the error indicator, for `except`
// clauses tested one after another:
//
//     } catch (const PythonError&) {
//         Caught caught;
//         if (caught.matches(first_class)) { Handling h(caught); ... }
//         if (caught.matches(second_class())) { ... }
//         caught.reraise();
//     }
class Caught {
public:
    Caught() : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    // As an except clause tests its class; a bad class raises TypeError with the
    // caught exception as its context.
    bool matches(PyObject* cls) {
        try {
            return exception_matches(exc_, cls);
        } catch (const PythonError&) {
            Ref raised = Ref::steal(PyErr_GetRaisedException());
            PyException_SetContext(raised, exc_.release());
            PyErr_SetRaisedException(raised.release());
            throw;
        }
    }
    [[noreturn]] void reraise() {
        PyErr_SetRaisedException(exc_.release());
        fail();
    }
    PyObject* get() const { return exc_.get(); }
    operator PyObject*() const { return exc_.get(); }

private:
    Ref exc_;
};

// try { return body(); } except cls as exc { return handler(exc); }
// `cls` is the class (or tuple), or a function returning it: like the expression of
// an except clause, that is evaluated only once an exception is being caught.
template <class Cls, class Body, class Handler>
auto try_except(Cls&& cls, Body&& body, Handler&& handler) -> decltype(body()) {
    try {
        return body();
    } catch (const PythonError&) {
        Caught caught;
        bool matched;
        if constexpr (std::is_invocable_v<Cls>) {
            Ref evaluated;
            {
                // As in an except clause, the caught exception is being handled while
                // the class expression runs: what that raises chains it.
                Handling handling(caught);
                evaluated = cls();
            }
            matched = caught.matches(evaluated);
        } else {
            matched = caught.matches(cls);
        }
        if (!matched) caught.reraise();
        Handling handling(caught);
        return handler(caught.get());
    }
}

// type(o).name bound to o, as the interpreter looks up special methods; an empty Ref
// when the type has none.
Ref lookup_special(PyObject* o, PyObject* name);

// with manager as value: body(value) -- __exit__ sees the exception, if any, and may
// suppress it. __enter__ and __exit__ are looked up on the type, __enter__ first.
template <class Body>
void with_context(PyObject* manager, Body&& body) {
    Ref enter = lookup_special(manager, PY_NAME(__enter__));
    if (!enter) {
        raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
    }
    Ref exit = lookup_special(manager, PY_NAME(__exit__));
    if (!exit) {
        raise_format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     Py_TYPE(manager)->tp_name);
    }
    Ref value = call(enter);
    try {
        try {
            body(value.get());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();  // a MemoryError like any other: __exit__ sees it
            fail();
        }
    } catch (const PythonError&) {
        Caught caught;
        {
            Handling handling(caught);
            Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(caught.get())));
            Ref traceback = Ref::steal_nullable(PyException_GetTraceback(caught));
            if (truthy(call(exit, type, caught.get(), traceback ? traceback.get() : Py_None))) return;
        }
        caught.reraise();
    }
    call(exit, Py_None, Py_None, Py_None);
}

}  // namespace py
