// Text helpers that CPython has no public API for.
#pragma once

#include "ops.hpp"

#include <type_traits>

namespace py {

// data.replace(old, new) for an exact str `data` whose first occurrence of `old` is
// known to be at `first`: same result, without scanning the text before `first`.
Ref replace_from(PyObject* data, Py_ssize_t first, PyObject* old, PyObject* replacement);
// The same for a `data` in which `old` occurs only at `at`: nothing is searched.
Ref replace_at(PyObject* data, Py_ssize_t at, PyObject* old, PyObject* replacement);

// "literal" + str(value) + ...: text from literal pieces and the str() of values.
template <class... Parts>
Ref concat(const Parts&... parts) {
    Ref out = text("");
    auto add = [&](const auto& part) {
        Ref piece;
        if constexpr (std::is_convertible_v<decltype(part), const char*>) {
            piece = text(part);
        } else {
            piece = str(part);
        }
        out = Ref::steal(PyUnicode_Concat(out, piece));
    };
    (add(parts), ...);
    return out;
}

}  // namespace py
