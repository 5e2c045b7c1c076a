// References as the working copy reads and moves them (refs.hpp).
#include "refs.hpp"

namespace sections::git {

Ref branch_of(PyObject* decoded) {
    if (py::truthy(py::call_method(decoded, PY_NAME(startswith), PY_STR("ref: refs/heads/")))) {
        return slice(decoded, kHeadsPrefix, PY_SSIZE_T_MAX);
    }
    Ref parts = py::call_method(decoded, PY_NAME(split), PY_STR("/"));
    return py::getitem(parts, py::integer(-1));
}

Ref short_hash(PyObject* ref_value) {
    return py::call_method(slice(ref_value, 0, 8), PY_NAME(decode), PY_STR("ascii"), PY_STR("replace"));
}

std::pair<Ref, Ref> resolve_ref(PyObject* refs, PyObject* name) {
    Ref current = Ref::borrow(name);
    for (int depth = 0; depth < 8; ++depth) {
        Ref value = py::call_method(refs, PY_NAME(read_ref), current);
        if (PyBytes_Check(value) && PyBytes_GET_SIZE(value.get()) > 5 &&
            std::memcmp(PyBytes_AS_STRING(value.get()), "ref: ", 5) == 0) {
            current = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(value.get()) + 5,
                                                           PyBytes_GET_SIZE(value.get()) - 5));
            continue;
        }
        return {std::move(current), py::truthy(value) ? std::move(value) : py::none()};
    }
    return {std::move(current), py::none()};
}

Ref branch_ref_name(PyObject* branch) {
    return py::call_method(py::concat("refs/heads/", branch), PY_NAME(encode), PY_STR("utf-8"));
}

void set_ref(PyObject* refs, PyObject* name, PyObject* old, PyObject* value, const char* message) {
    py::call_kw(py::getattr(refs, PY_NAME(set_if_equals)), {name, old, value}, {{PY_NAME(message), bytes(message)}});
}

void set_tracking_ref(PyObject* refs, PyObject* branch_ref, PyObject* value, const char* message) {
    if (!PyBytes_Check(branch_ref) || !PyBytes_Check(value)) return;
    static constexpr char kHeads[] = "refs/heads/";
    const Py_ssize_t prefix = sizeof(kHeads) - 1;
    if (PyBytes_GET_SIZE(branch_ref) <= prefix || std::memcmp(PyBytes_AS_STRING(branch_ref), kHeads, prefix) != 0) {
        return;
    }
    Ref name = Ref::steal(PyBytes_FromFormat("refs/remotes/origin/%s", PyBytes_AS_STRING(branch_ref) + prefix));
    if (py::equal(resolve_ref(refs, name).second, value)) return;
    set_ref(refs, name, Py_None, value, message);
}

}  // namespace sections::git
