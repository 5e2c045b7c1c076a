#include "ops.hpp"

namespace py {

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

PyObject* intern_checked(const char* text) {
    PyObject* p = intern(text);
    if (!p) fail();
    return p;
}

[[noreturn]] void raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
        fail();
    }
    if (PyExceptionClass_Check(obj)) {
        Ref instance = call(obj);
        raise_object(instance);
    }
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

[[noreturn]] void raise_key_error(PyObject* key) {
    Ref exc = call(PyExc_KeyError, key);
    PyErr_SetObject(PyExc_KeyError, exc);
    fail();
}

}  // namespace py
