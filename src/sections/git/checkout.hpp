// The checkout of a merge or a clone: the working tree and index going from one tree
// to another.
#pragma once

#include "common.hpp"

#include <functional>

namespace sections::git {

// list(dulwich.diff_tree.tree_changes(store, old_tree, new_tree)): the paths that
// differ, each a TreeChange with its old and new side (None where absent).
Ref tree_changes(PyObject* repo, PyObject* old_tree, PyObject* new_tree);

// The path a TreeChange is about: its old side's, else its new side's.
Ref change_path(PyObject* change);

// The working tree and index of `repo` go from `old_tree` (None: nothing checked out)
// to `new_tree` along `changes` (tree_changes of the two). Forced, what is on disk or
// staged on those paths is overwritten. Otherwise a local change on a path that
// changes (modified, staged, or an untracked file where one is added) raises
// WorkingTreeModifiedError as git refuses the merge, before anything is written.
// `before_writing` runs once the checkout is known to go ahead, before it writes.
//
// The files and the index are written here (checkout_files.hpp) while `repo` is a
// dulwich Repo whose working tree the native code reads, and the tree needs nothing
// only dulwich does (filters, a sparse checkout, ...); otherwise dulwich's
// update_working_tree writes them.
void check_out(Call& c, PyObject* self, PyObject* repo, PyObject* old_tree, PyObject* new_tree, PyObject* changes,
               bool force, const std::function<void()>& before_writing = {});

// The first checkout of a clone made without one: HEAD's tree written into the empty
// working tree as check_out writes it. Nothing when HEAD names no commit (an empty
// remote).
void check_out_clone(Call& c, PyObject* self, PyObject* repo);

}  // namespace sections::git
