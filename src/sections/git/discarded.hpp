// What a forced pull discards, kept: the local work the remote's commit replaces is
// recorded in a commit of its own before anything is overwritten.
#pragma once

#include "common.hpp"

namespace sections::git {

// Before a forced merge over `old` (HEAD's commit; None for a branch not born yet)
// along `changes` (checkout.hpp's tree_changes): what the merge drops that the remote
// does not have -- the local commits in `old`'s history, where `lost_commits` says the
// remote's commit does not contain it, and on the changed paths uncommitted edits,
// staged changes and untracked files that are not ignored -- is recorded in a commit under refs/tamarel/discarded/<UTC time>. Its
// first parent is `old`, its tree `old`'s with those paths as the working copy holds
// them (a file's content, the staged one where the file is gone, or no entry for a
// deleted file); one warning names the ref. Index, HEAD and files are left as they
// are; with nothing to keep, nothing is written.
void keep_discarded(Call& c, PyObject* self, PyObject* repo, PyObject* old, bool lost_commits, PyObject* changes);

}  // namespace sections::git
