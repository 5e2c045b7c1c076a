#include "ops.hpp"

#include <vector>

namespace py {

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

namespace {
// How the interpreter names a callee in call errors: "module.qualname()", or its
// str() when it has no __qualname__ (None gives "None").
Ref function_str(PyObject* callable) {
    Ref qualname = getattr_optional(callable, PY_NAME(__qualname__));
    if (!qualname) return str(callable);
    Ref module = getattr_optional(callable, PY_NAME(__module__));
    if (module && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "builtins") != 0) {
        return Ref::steal(PyUnicode_FromFormat("%U.%S()", module.get(), qualname.get()));
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", qualname.get()));
}
}  // namespace

Ref star_args(PyObject* callable, PyObject* value) {
    if (PyTuple_CheckExact(value)) return Ref::borrow(value);
    if (!Py_TYPE(value)->tp_iter && !PySequence_Check(value)) {
        Ref name = function_str(callable);
        raise_format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                     name.get(), Py_TYPE(value)->tp_name);
    }
    return Ref::steal(PySequence_Tuple(value));
}

std::pair<Ref, Ref> unpack2(PyObject* value) {
    // An exact list or tuple of two is unpacked without running any code.
    if ((PyList_CheckExact(value) || PyTuple_CheckExact(value)) && PySequence_Fast_GET_SIZE(value) == 2) {
        return {Ref::borrow(PySequence_Fast_GET_ITEM(value, 0)), Ref::borrow(PySequence_Fast_GET_ITEM(value, 1))};
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    Ref items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = Ref::steal_nullable(PyIter_Next(it));
        if (!items[i]) {
            if (PyErr_Occurred()) fail();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    if (Ref extra = Ref::steal_nullable(PyIter_Next(it))) {
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            raise_format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", PySequence_Size(value));
        }
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) fail();
    return {std::move(items[0]), std::move(items[1])};
}

Ref star_kwargs(PyObject* callable, PyObject* value) {
    if (PyDict_CheckExact(value)) return Ref::borrow(value);
    Ref merged = new_dict();
    if (PyDict_Merge(merged, value, 1) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {  // no keys(): not a mapping
            PyErr_Clear();
            Ref name = function_str(callable);
            raise_format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", name.get(),
                         Py_TYPE(value)->tp_name);
        }
        fail();
    }
    return merged;
}

Ref call_star_kwargs(PyObject* callable, PyObject* value) {
    // A small exact dict of exact str keys goes as a vectorcall with its keys as the
    // keyword names: what the interpreter's own copy and unpacking of the dict would
    // pass, without either (reading such a dict runs no code). The values are held for
    // the call, since the callee may empty the dict before it reads its arguments.
    constexpr Py_ssize_t kMost = 8;
    if (PyDict_CheckExact(value) && PyDict_GET_SIZE(value) <= kMost) {
        PyObject* argv[kMost + 1];
        Ref held[kMost];
        Ref names = Ref::steal(PyTuple_New(PyDict_GET_SIZE(value)));
        Py_ssize_t pos = 0;
        Py_ssize_t n = 0;
        PyObject *key, *item;
        bool str_keys = true;
        while (str_keys && PyDict_Next(value, &pos, &key, &item)) {
            str_keys = PyUnicode_CheckExact(key);
            if (!str_keys) break;
            PyTuple_SET_ITEM(names.get(), n, Py_NewRef(key));
            held[n] = Ref::borrow(item);
            argv[1 + n++] = item;
        }
        if (str_keys) {
            return Ref::steal(
                PyObject_Vectorcall(callable, argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, n ? names.get() : nullptr));
        }
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    return call_args(callable, no_args, star_kwargs(callable, value));
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<Keyword> keywords) {
    std::vector<PyObject*> argv(1 + args.size() + keywords.size());
    size_t i = 1;
    for (PyObject* a : args) argv[i++] = a;
    Ref names = Ref::steal(PyTuple_New((Py_ssize_t)keywords.size()));
    Py_ssize_t k = 0;
    for (const Keyword& kw : keywords) {
        PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(kw.name));
        argv[i++] = kw.value;
    }
    return Ref::steal(PyObject_Vectorcall(callable, argv.data() + 1,
                                          args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

}  // namespace py
