// A function's parameter list as Python objects, parsed once per definition from its
// `def`-line text (whose form params.hpp checked when the program was compiled).
#pragma once

#include "ops.hpp"
#include "params.hpp"

#include <memory>
#include <string>
#include <vector>

namespace py {

struct Param {
    enum Kind { Positional, VarPositional, VarKeyword };
    Ref name;        // interned
    Kind kind;
    Ref default_;    // empty: no default
    Ref annotation;  // empty: none
};

struct Signature {
    static constexpr int kNotFound = -1;
    static constexpr int kError = -2;

    std::vector<Param> params;  // declaration order == slot order
    int npos = 0;               // positional-or-keyword parameters (slots 0..npos-1)
    int varargs = -1;           // slot of *args, or -1
    int varkw = -1;             // slot of **kwargs, or -1
    bool simple = true;         // positional-or-keyword parameters only
    Ref return_annotation;

    // Throws PythonError (SystemError) on a malformed text; the declarations are
    // checked when the program is compiled, so that is a bug here.
    static Signature* parse(const char* text);

    int count() const { return (int)params.size(); }
    // Slot of the parameter named `keyword` (pointer identity first, then equality).
    int find(PyObject* keyword) const;

    PyObject* defaults() const;     // new tuple or NULL (none)
    PyObject* annotations() const;  // new dict
    Ref to_inspect(PyObject* defaults, PyObject* annotations) const;
};

// The parameter name CPython would offer in "Did you mean ...?", or an empty Ref.
Ref suggest_keyword(const Signature& sig, PyObject* keyword);

}  // namespace py
