#include "module.hpp"

#include <string>

namespace py {

void ModuleBody::import(const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    bind(name, module);
}

void ModuleBody::import_from(const char* module_name, const char* name) {
    Ref fromlist = tuple(text(name));
    Ref module = Ref::steal(PyImport_ImportModuleLevel(module_name, globals_, nullptr, fromlist, 0));
    Ref attr = getattr_optional(module, text(name));
    if (!attr) {
        // A submodule that the package does not expose as an attribute.
        std::string full = std::string(module_name) + "." + name;
        attr = Ref::steal_nullable(PyImport_GetModule(text(full)));
        if (!attr && PyErr_Occurred()) fail();
    }
    if (!attr) {
        Ref file = getattr_optional(module, PY_NAME(__file__));
        Ref where = file && file.get() != Py_None ? str(file) : text("unknown location");
        Ref message = Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from '%s' (%U)",
                                                      name, module_name, where.get()));
        Ref kwargs = new_dict();
        setitem(kwargs, PY_NAME(name), text(module_name));
        if (file) setitem(kwargs, PY_NAME(path), file);
        Ref args = tuple(message);
        Ref exc = call_args(PyExc_ImportError, args, kwargs);
        PyErr_SetObject(PyExc_ImportError, exc);
        fail();
    }
    bind(name, attr);
}

void ModuleBody::def(const FunctionDef& d, Listed listed) { bind(d.name, function(d), listed); }

Ref ModuleBody::function(const FunctionDef& d, PyObject* closure) const {
    return make_function(d, globals_, closure);
}

void ModuleBody::bind(const char* name, PyObject* value, Listed listed) {
    check(PyDict_SetItemString(globals_, name, value));
    if (listed == Listed::Yes) listed_.push_back(name);
}

}  // namespace py
