// Staging the files a push commits, with the index read and written here instead of
// by dulwich's pure-Python index code (which reads and writes every entry), each
// file's blob still made by dulwich (its normalizer and object store), so that the
// objects are the ones porcelain.add would store.
#pragma once

#include "common.hpp"

#include <string>
#include <vector>

namespace sections::git {

// porcelain.add(repo, paths=[...]) for the tree paths `paths` (as the status lists
// them), done here while the module's porcelain.add is dulwich's own, `repo` a
// dulwich Repo at `local_dir`, and every path a file, a symlink or gone; false
// (nothing done) otherwise, for the caller to call porcelain.add.
bool stage_natively(Call& c, PyObject* self, PyObject* repo, const std::vector<std::string>& paths);

}  // namespace sections::git
