// The working copy's status as git sees it: computed here from the index and the file
// system (worktree.hpp) while the module's porcelain.status is dulwich's own, else
// read through whatever porcelain.status is then, without the changes dulwich reports
// and git does not (submodules).
#pragma once

#include "common.hpp"
#include "worktree.hpp"

#include <utility>

namespace sections::git {

// dulwich reports status.staged as a dict of lists (add, delete, modify), which is
// never empty itself: a change is staged when one of the lists is non-empty.
bool staged_lists_filled(PyObject* staged);

// A status entry (bytes or str) as the file name under `root`, and as the path key of
// the index; empty Refs for entries of any other type, and for a name the file system
// cannot hold (bytes that are not UTF-8 on Windows): no such file can be there.
std::pair<Ref, Ref> entry_paths(Call& c, PyObject* root, PyObject* entry);

// dulwich lists a checked-out submodule's folder as untracked ("lib/"); git does not,
// and adding it would put the submodule's files in place of the gitlink.
Ref untracked_as_git_sees(Call& c, PyObject* self, PyObject* repo, PyObject* untracked);

// dulwich lists a gitlink as unstaged whenever its folder is there (a clone leaves it
// empty), where git sees no change. `unstaged` without the gitlinks git calls
// unchanged; `gitlinks` (when given) collects those that stay, which are never staged.
Ref unstaged_as_git_sees(Call& c, PyObject* self, PyObject* repo, PyObject* unstaged, PyObject* gitlinks = nullptr);

// dulwich's porcelain and the pieces of it the native code stands in for, as bound at
// import.
struct PorcelainAtImport : py::Cache {
    Ref porcelain, status, add, clone, repo_type;
    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(porcelain.get());
        Py_VISIT(status.get());
        Py_VISIT(add.get());
        Py_VISIT(clone.get());
        Py_VISIT(repo_type.get());
        return 0;
    }
    void clear() override {
        porcelain = {};
        status = {};
        add = {};
        clone = {};
        repo_type = {};
    }
};

// A 40-digit bytes object name.
Ref hex_bytes(const ObjectId& id);

// config.get(section, name) as text, "" when unset; core.<name> as a boolean.
std::string config_text(PyObject* config, const char* section, const char* name);
bool config_bool(PyObject* config, const char* name, bool fallback);

// What the native status asks of the repository: objects through its object store,
// and whether a checked-out submodule below `root` is at another commit.
WorktreeHooks status_hooks(Call& c, PyObject* repo, const std::string& root);

// The working tree of `repo` as the native code reads it (root, repository, the
// core.* settings that matter, the index file); false where only dulwich's code
// serves: another repository type, SHA-256 objects, core.worktree, a bare
// repository, precomposed names.
bool native_worktree(Call& c, PyObject* repo, WorktreeOptions& options, std::string& index_path);

// A path of the Python side (str) as the native code names files, and back: bytes,
// '/' separated (UTF-8 on Windows).
std::string native_path(PyObject* path);

// The status as the operator reads it: whether anything is staged, the paths that
// differ from the index and the untracked ones (bytes, as porcelain.status lists
// them) as git sees them, and the gitlinks among the unstaged ones (never staged).
struct StatusLists {
    bool has_staged = false;
    Ref unstaged, untracked, gitlinks;
};

// `with_untracked` false leaves `untracked` empty; `staged_by_length` tests a staged
// collection other than dulwich's dict by its length instead of its truth.
StatusLists read_status(Call& c, PyObject* self, PyObject* repo, bool with_untracked, bool staged_by_length);

// __check_if_dirty(self, repo)
extern const py::FunctionDef check_if_dirty_def;

}  // namespace sections::git
