// What a section's body does to the module namespace: imports and definitions, each
// bound before the next step runs.
#pragma once

#include "classes.hpp"

#include <vector>

namespace py {

// Whether a name the body binds goes into __all__ (in the order of binding).
enum class Listed { No, Yes };

class ModuleBody {
public:
    ModuleBody(PyObject* module, State& state) : globals_(PyModule_GetDict(module)), state_(state) {}

    PyObject* globals() const { return globals_; }
    State& state() const { return state_; }
    // The names bound with Listed::Yes, in order: what __all__ lists.
    const std::vector<const char*>& listed() const { return listed_; }

    // import <name>
    void import(const char* name);
    // from <module> import <name>
    void import_from(const char* module, const char* name);
    // def <name>(...)   (at module level); listed in __all__ unless told otherwise
    void def(const FunctionDef& def, Listed listed = Listed::Yes);
    // A function for a class body (or any other place), living in this namespace.
    Ref function(const FunctionDef& def, PyObject* closure = nullptr) const;
    // <name> = value
    void bind(const char* name, PyObject* value, Listed listed = Listed::No);

private:
    PyObject* globals_;
    State& state_;
    std::vector<const char*> listed_;
};

}  // namespace py
