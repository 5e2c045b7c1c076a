#include "classes.hpp"

#include <algorithm>
#include <string>

namespace py {

std::string mangle(std::string_view cls, std::string_view name) {
    if (name.size() > 2 && name.substr(0, 2) == "__" && name.substr(name.size() - 2) != "__" &&
        name.find('.') == std::string_view::npos) {
        cls.remove_prefix(std::min(cls.find_first_not_of('_'), cls.size()));
        if (!cls.empty()) return std::string(1, '_').append(cls).append(name);
    }
    return std::string(name);
}

Ref static_method(Ref fn) {
    return Ref::steal(PyStaticMethod_New(fn));
}

namespace {

// The bases after __mro_entries__, as types.resolve_bases computes them.
Ref resolve_bases(PyObject* bases) {
    Ref resolved = new_list();
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (PyType_Check(base)) {
            append(resolved, base);
            continue;
        }
        Ref entries_fn = getattr_optional(base, PY_NAME(__mro_entries__));
        if (!entries_fn) {
            append(resolved, base);
            continue;
        }
        Ref entries = call(entries_fn, bases);
        if (!PyTuple_Check(entries)) raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
        changed = true;
        check(PyList_SetSlice(resolved, PyList_GET_SIZE(resolved.get()),
                              PyList_GET_SIZE(resolved.get()), entries));
    }
    if (!changed) return Ref::borrow(bases);
    return Ref::steal(PyList_AsTuple(resolved));
}

// The most derived metaclass of the bases.
Ref pick_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}


}  // namespace

Ref build_class(const char* name, PyObject* globals, std::initializer_list<PyObject*> base_list,
                std::vector<Member>& members) {
    Ref bases = Ref::steal(PyTuple_New((Py_ssize_t)base_list.size()));
    Py_ssize_t i = 0;
    for (PyObject* b : base_list) PyTuple_SET_ITEM(bases.get(), i++, Py_NewRef(b));

    Ref resolved = resolve_bases(bases);
    Ref meta = pick_metaclass(resolved);
    Ref class_name = text(name);
    Ref ns;
    if (Ref prepare = getattr_optional(meta, PY_NAME(__prepare__))) {
        ns = call(prepare, class_name, resolved);
    } else {
        ns = new_dict();
    }
    PyObject* module_name = nullptr;
    check(PyDict_GetItemRef(globals, PY_NAME(__name__), &module_name));
    Ref keep_module = Ref::steal_nullable(module_name);
    if (module_name) setitem(ns, PY_NAME(__module__), module_name);
    setitem(ns, PY_NAME(__qualname__), class_name);
    for (Member& m : members) {
        setitem(ns, text(mangle(name, m.name)), m.value);
    }
    if (resolved.get() != bases.get()) setitem(ns, PY_NAME(__orig_bases__), bases);
    return call(meta, class_name, resolved, ns);
}

}  // namespace py
