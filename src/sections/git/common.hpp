// What the files of the git working copy share: the operator's logging, dulwich's
// porcelain as the module sees it, the private methods' names, small conversions, and
// the layout of the methods' docstrings.
#pragma once

#include "credentials.hpp"
#include "sections/common.hpp"
#include "runtime/classes.hpp"
#include "runtime/text.hpp"

#include <cstring>
#include <type_traits>

namespace sections::git {

using py::Call;
using py::Ref;

constexpr py::Params self_params{"self"};

// A piece of a log line: an error is shown by its text, or its type's name where the
// text is empty; anything else becomes str(value) in the line.
inline const char* log_part(const char* part) { return part; }
inline Ref log_part(PyObject* part) { return PyExceptionInstance_Check(part) ? error_text(part) : Ref::borrow(part); }

// self.log.<level>("part" + str(value) + ...), without credentials (a repo_url may
// carry them, and so may the texts of errors). A line of literal pieces only has none
// to take out, and is passed as it is.
template <class... Parts>
inline void log(PyObject* self, PyObject* level, const Parts&... parts) {
    Ref method = py::getattr(py::getattr(self, PY_NAME(log)), level);
    if constexpr ((std::is_convertible_v<const Parts&, const char*> && ...)) {
        py::call(method, py::concat(parts...));
    } else {
        Ref message = py::concat(log_part(parts)...);
        py::call(method, without_credentials(self, message));
    }
}

inline Ref porcelain(Call& c, PyObject* fn) { return py::getattr(c.global(PY_NAME(porcelain)), fn); }

// The private methods, looked up on the instance at each call under the names the
// class body gives them.
#define SELF_METHOD(name) PY_PRIVATE_NAME("GitRepoOperator", "__" #name)

inline bool contains(PyObject* container, PyObject* item) {
    return py::check(PySequence_Contains(container, item)) != 0;
}

inline Ref bytes(const char* text) { return Ref::steal(PyBytes_FromString(text)); }

inline Ref slice(PyObject* sequence, Py_ssize_t start, Py_ssize_t stop) {
    return Ref::steal(PySequence_GetSlice(sequence, start, stop));
}

// A dulwich name below porcelain (dulwich.index, dulwich.graph, ...), imported when
// first needed.
inline Ref dulwich_attr(const char* module, PyObject* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    return py::getattr(imported, name);
}

// self.repo.close() when the operator has opened its working copy; says whether it had.
inline bool close_repo(PyObject* self) {
    Ref repo = py::getattr_optional(self, PY_NAME(repo));
    if (!repo) return false;
    if (Ref close = py::getattr_optional(repo, PY_NAME(close))) py::call(close);
    return true;
}

// The docstrings' layout: "Args:" and "Returns:" indented by 8 spaces, each entry by
// 12, the text ending in a line of 8 spaces.
#define ARGS_DOC "\n        Args:\n"
#define RETURNS_DOC "\n        Returns:\n"
#define ENTRY_DOC "            "
#define END_DOC "        "

}  // namespace sections::git
