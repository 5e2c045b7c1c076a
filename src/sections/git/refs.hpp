// References as the working copy reads and moves them: HEAD and its branch, short
// commit names, the remote-tracking refs and tags that follow the server, and the
// branch a pull merges.
#pragma once

#include "common.hpp"

#include <utility>

namespace sections::git {

constexpr Py_ssize_t kHeadsPrefix = 16;   // len("ref: refs/heads/")
constexpr Py_ssize_t kBranchPrefix = 11;  // len("refs/heads/")

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

// The value of `name` among the remote's refs as a fetch reports them (a mapping of
// bytes names to object names); an empty Ref where the remote has no such ref.
Ref remote_value(PyObject* remote_refs, PyObject* name);

// Does the bytes value `value` start with `prefix`?
bool starts_with(PyObject* value, const char* prefix);

// The remote ref that the branch `branch_ref` (b"refs/heads/<b>") merges: its recorded
// upstream (branch.<b>.merge, where branch.<b>.remote is origin or unset), else the
// remote's branch of the same name.
Ref upstream_of(PyObject* repo, PyObject* branch_ref);

// Records the upstream of the branch HEAD names (branch.<b>.remote = origin,
// branch.<b>.merge = refs/heads/<b>) where none is recorded, as git clone does.
void record_upstream(PyObject* repo);

// The tags git's fetch follows: a tag of the remote that the working copy lacks, whose
// commit is in the fetched history of the remote's branches, is created here too. A
// local tag is never moved: one that differs from the remote's is named in a warning.
void follow_tags(PyObject* self, PyObject* repo, PyObject* remote_refs);

}  // namespace sections::git
