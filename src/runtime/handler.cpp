#include "handler.hpp"

namespace py {

bool exception_matches(PyObject* exc, PyObject* cls) {
    if (cls == Py_None) return false;
    auto is_exception_class = [](PyObject* c) {
        return PyType_Check(c) && PyType_IsSubtype((PyTypeObject*)c, (PyTypeObject*)PyExc_BaseException);
    };
    bool ok = is_exception_class(cls);
    if (!ok && PyTuple_Check(cls)) {
        ok = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) {
            ok = ok && is_exception_class(PyTuple_GET_ITEM(cls, i));
        }
    }
    if (!ok) {
        raise(PyExc_TypeError,
              "catching classes that do not inherit from BaseException is not allowed");
    }
    return PyErr_GivenExceptionMatches(exc, cls) != 0;
}

Ref lookup_special(PyObject* o, PyObject* name) {
    PyTypeObject* type = Py_TYPE(o);
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) return {};
    Ref attr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()) && !attr; ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
        PyObject* found = nullptr;
        check(PyDict_GetItemRef(dict, name, &found));
        attr = Ref::steal_nullable(found);
    }
    if (!attr) return {};
    if (descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get) {
        return Ref::steal(get(attr, o, reinterpret_cast<PyObject*>(type)));
    }
    return attr;
}

}  // namespace py
