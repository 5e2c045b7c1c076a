// A function's parameter list, parsed once from its `def`-style text.
#pragma once

#include "ops.hpp"

#include <memory>
#include <string>
#include <vector>

namespace py {

constexpr int kMaxParams = 12;

struct Param {
    enum Kind { Positional, VarPositional, KeywordOnly, VarKeyword };
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
    std::vector<int> kwonly;    // slots of keyword-only parameters
    bool simple = true;         // positional-or-keyword parameters only
    Ref return_annotation;

    // Throws PythonError (SystemError) on a malformed text: a bug in a declaration.
    static Signature* parse(const char* text);

    int count() const { return (int)params.size(); }
    // Slot of the parameter named `keyword` (pointer identity first, then equality).
    int find(PyObject* keyword) const;

    PyObject* defaults() const;     // new tuple or NULL (none)
    PyObject* kwdefaults() const;   // new dict or NULL (none)
    PyObject* annotations() const;  // new dict
    Ref to_inspect(PyObject* defaults, PyObject* kwdefaults, PyObject* annotations) const;
};

// The parameter name CPython would offer in "Did you mean ...?", or an empty Ref.
Ref suggest_keyword(const Signature& sig, PyObject* keyword);

}  // namespace py
