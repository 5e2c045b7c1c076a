// References as the working copy reads and moves them: HEAD and its branch, short
// commit names, and the remote-tracking refs that follow the server.
#pragma once

#include "common.hpp"

#include <utility>

namespace sections::git {

constexpr Py_ssize_t kHeadsPrefix = 16;  // len("ref: refs/heads/")

// The branch a decoded HEAD value names: the whole name after "ref: refs/heads/"
// ("feature/x" stays whole); for any other value its last path component.
Ref branch_of(PyObject* decoded);

// The short commit name of a reference value: the first eight characters of the
// object name it holds.
Ref short_hash(PyObject* ref_value);

// What the reference `name` stands for, following symbolic references the way HEAD
// names its branch, read through refs.read_ref: the name finally read and its value
// (None for a branch not born yet).
std::pair<Ref, Ref> resolve_ref(PyObject* refs, PyObject* name);

// b"refs/heads/" + str(branch), encoded as UTF-8.
Ref branch_ref_name(PyObject* branch);

// refs.set_if_equals(name, old, new, message=...): old None sets unconditionally.
void set_ref(PyObject* refs, PyObject* name, PyObject* old, PyObject* value, const char* message);

// refs/remotes/origin/<x> follows the remote's refs/heads/<x> (`branch_ref`), as git
// keeps it on fetch and push, so that `git status -sb` compares with the server.
void set_tracking_ref(PyObject* refs, PyObject* branch_ref, PyObject* value, const char* message);

}  // namespace sections::git
