// The Python side of a parameter table (params.hpp): the objects a function object
// makes from it and the keyword lookups of the binding. Nothing here parses: the
// table was read when the program was compiled.
#pragma once

#include "ops.hpp"
#include "params.hpp"

namespace py {

// The parameter names, interned, one per slot: a new tuple (a function keeps it).
Ref param_names(const Params& p);
// The declared defaults as __defaults__ holds them: a new tuple, or NULL for none.
PyObject* param_defaults(const Params& p);
// __annotations__ as declared: a new dict.
PyObject* param_annotations(const Params& p, PyObject* names);
// inspect.Signature of the table with the given defaults (a tuple or NULL) and
// annotations (a dict or NULL).
Ref inspect_signature(const Params& p, PyObject* names, PyObject* defaults, PyObject* annotations);

constexpr int kNotFound = -1;
constexpr int kError = -2;
// Slot of the positional-or-keyword parameter named `keyword` (pointer identity first,
// then equality), kNotFound, or kError with the Python exception set.
int find_keyword(const Params& p, PyObject* names, PyObject* keyword);

// The parameter name CPython would offer in "Did you mean ...?", or an empty Ref.
Ref suggest_keyword(const Params& p, PyObject* names, PyObject* keyword);

}  // namespace py
