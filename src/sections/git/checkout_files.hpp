// The files and index of a checkout, written here: the working tree and index go from
// one tree to another (or, for a clone, from nothing) as git's checkout leaves them --
// files with the executable bit the tree records, symbolic links (or files holding the
// target where core.symlinks is false), submodules as empty folders, line endings as
// the attributes of the tree being written ask, and each index entry with the stat data
// of the file just written, so that git reads the index without hashing a file.
//
// Every path is validated as git validates it before anything is written (no "..",
// ".git" in any spelling, absolute or drive paths, .gitmodules as a link), and nothing
// is written through a symbolic link, whether the tree made it or the user did.
#pragma once

#include "index.hpp"
#include "patterns.hpp"
#include "worktree.hpp"

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sections::git {

// Object types as packs number them.
constexpr int kCommitObject = 1, kTreeObject = 2, kBlobObject = 3, kTagObject = 4;

// The contents of object `id`, which must be of `type` (a mismatch or a missing object
// raises).
using ReadTyped = std::function<std::string(const ObjectId& id, int type)>;

// A large blob given to `sink` a piece at a time (checked against its name at the
// end); false, nothing given, where it is read whole instead.
using StreamBlob =
    std::function<bool(const ObjectId& id, const std::function<void(const char* data, std::size_t size)>& sink)>;

// A tree read whole: its files (every entry that is not a tree, full paths, in index
// order) and its folders, each with its tree's name and whether git would write the
// same tree back from an index holding its files (canonical modes and order, nothing
// empty below it).
struct FlatTree {
    struct Folder {
        std::string path;  // "" for the top
        ObjectId id;
        bool canonical = true;
    };
    std::vector<TreeEntry> files;
    std::vector<Folder> folders;
};
FlatTree read_tree(const ObjectId& root, const ReadTyped& read);

// git's verify_path for an entry of mode `mode`: false for an empty component, ".",
// "..", ".git" in any case (with protect_ntfs also its NTFS spellings, and on Windows
// names the system cannot hold), and .gitmodules as a symbolic link.
bool valid_path(std::string_view path, std::uint32_t mode, bool protect_ntfs);

struct CheckoutOptions {
    WorktreeOptions tree;      // the working tree and its core.* settings
    std::string eol;           // core.eol
    bool protect_ntfs = true;  // core.protectNTFS
    // Forced: local changes on the paths that change are overwritten (a pull that
    // accepts the remote's); otherwise they refuse the checkout.
    bool force = false;
    // A clone: nothing is checked out yet and nothing is compared.
    bool fresh = false;
};

// Why a checkout was not made (nothing written).
struct Refusal {
    enum Kind {
        None,
        LocalChange,    // a changed or deleted path with edits or staged changes
        StagedFile,     // a path the checkout adds is staged already
        UntrackedFile,  // an untracked file (or folder) where the checkout writes
        InvalidPath,    // a path git refuses, or one below a link or file that stays
        Unsupported,    // the tree needs what only dulwich does (filters, ...)
    } kind = None;
    std::string path;
};

class Checkout {
public:
    // `index`: the working tree's index, read under its lock; updated in memory.
    // `stream`, when given, writes large files that need no conversion a piece at a time.
    Checkout(const CheckoutOptions& options, Index& index, const ReadTyped& read, const WorktreeHooks& status_hooks,
             StreamBlob stream = {});

    // Everything checked before anything is written: the move from `old` (null:
    // nothing checked out) to `target`.
    Refusal plan(const FlatTree* old, const FlatTree& target);
    // Removes, writes and records in the index what plan() found.
    void apply();
    // The index, with its TREE extension (git's cache of tree names) made anew, into
    // `lock` (the caller commits it). git compares times in whole seconds: a file
    // written in the second the index is (or later) would be racily clean, hashed by
    // every reader until the index is written again, so such files are dated back to
    // the second before it.
    void write_index(fs::LockFile& lock);

private:
    struct Write {
        const TreeEntry* entry;
        const TreeEntry* previous;  // the old tree's entry of the path, or null
    };
    Refusal check_target();
    Refusal check_local(const FlatTree* old);
    bool real_folder(const std::string& dir);
    void make_folders(const std::string& path);
    void remove(const std::string& path);
    void write(const TreeEntry& entry, IndexEntry& out);
    std::string tree_extension() const;
    std::string disk(const std::string& rel) const { return options_.tree.root + "/" + rel; }

    const CheckoutOptions& options_;
    Index& index_;
    const ReadTyped& read_;
    const WorktreeHooks& status_hooks_;
    StreamBlob stream_;
    const FlatTree* target_ = nullptr;
    std::unique_ptr<Attributes> attributes_;
    std::vector<std::string> removals_;  // paths of the old tree that go
    std::vector<Write> writes_;
    std::set<std::string> known_folders_;  // real folders, made or seen
};

}  // namespace sections::git
