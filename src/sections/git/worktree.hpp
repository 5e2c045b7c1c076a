// The working tree against the index and HEAD, the way git computes its status: an
// entry whose stat data matches the index (and is not racily clean) is unchanged
// without reading the file; the others are hashed after the line-ending conversion
// their attributes ask for; mode changes (executable bit, file and symlink) count;
// untracked files come from one walk of the tree with the ignore rules applied.
#pragma once

#include "index.hpp"
#include "patterns.hpp"

#include <functional>
#include <string>
#include <vector>

namespace sections::git {

struct TreeEntry {
    std::string path;
    std::uint32_t mode;
    ObjectId id;
};

// The raw contents of an object (a tree or a blob) by its name; raises when missing.
using ReadObject = std::function<std::string(const ObjectId& id)>;

// Every entry of tree `root` that is not a tree, with its full path, in path order.
// A malformed tree raises ValueError.
std::vector<TreeEntry> flatten_tree(const ObjectId& root, const ReadObject& read);

struct WorktreeOptions {
    std::string root;     // the working tree ('/' separated on every system)
    std::string git_dir;  // its repository
    bool trust_executable = fs::kPosix;  // core.fileMode
    bool symlinks = fs::kPosix;          // core.symlinks
    bool ignore_case = false;            // core.ignoreCase
    bool trust_ctime = true;             // core.trustctime
    std::string autocrlf;                // core.autocrlf
    std::string excludes_file, attributes_file;
    bool untracked = true;  // false: no walk for untracked files
};

struct WorktreeStatus {
    // The index against HEAD.
    std::vector<std::string> staged_add, staged_delete, staged_modify;
    // The working tree against the index, in index order.
    std::vector<std::string> unstaged;
    // Gitlinks among `unstaged` (a submodule at another commit, or gone).
    std::vector<std::string> gitlinks;
    // Untracked files not ignored, in the order of the walk, then the folders holding
    // nothing tracked, as "name/".
    std::vector<std::string> untracked;
    // Stat data refreshed (or racily clean entries smudged) in the index.
    bool index_changed = false;
    // Set when the tree needs what is not done here (filter drivers, conflicts, a
    // required index extension): the caller asks dulwich instead.
    std::string unsupported;
};

struct WorktreeHooks {
    ReadObject read_object;
    // Whether the checked-out submodule in `path` (a folder with a .git) is at a
    // commit other than `recorded`.
    std::function<bool(const std::string& path, const ObjectId& recorded)> submodule_changed;
};

// `head`: HEAD's flattened tree, or null without a commit. `index` gets the refreshed
// stat data (see index_changed).
WorktreeStatus worktree_status(const WorktreeOptions& options, Index& index, const std::vector<TreeEntry>* head,
                               const WorktreeHooks& hooks);

}  // namespace sections::git
