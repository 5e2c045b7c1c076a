// What a section's body does to the module namespace: imports and definitions, each
// bound before the next step runs.
#pragma once

#include "classes.hpp"

namespace py {

class ModuleBody {
public:
    explicit ModuleBody(PyObject* module) : globals_(PyModule_GetDict(module)) {}

    PyObject* globals() const { return globals_; }

    // import <name>
    void import(const char* name);
    // from <module> import <name>
    void import_from(const char* module, const char* name);
    // def <name>(...)   (at module level)
    void def(const FunctionDef& def);
    // A function for a class body (or any other place), living in this namespace.
    Ref function(const FunctionDef& def, PyObject* closure = nullptr) const;
    // <name> = value
    void bind(const char* name, PyObject* value);

private:
    PyObject* globals_;
};

}  // namespace py
