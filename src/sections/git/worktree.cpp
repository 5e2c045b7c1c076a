// The working tree's status (worktree.hpp), after git's read-cache.c (ie_match_stat,
// racy entries), diff-lib.c and dir.c (the untracked walk).
#include "worktree.hpp"

#include "runtime/ref.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>

namespace sections::git {
namespace {

[[noreturn]] void bad_tree(const ObjectId& id) {
    const std::string hex = to_hex(id);
    PyErr_Format(PyExc_ValueError, "malformed tree object %s", hex.c_str());
    py::fail();
}

std::string join(const std::string& dir, const std::string& name) { return dir.empty() ? name : dir + "/" + name; }

// A regular file's mode as git records it: executable or not.
std::uint32_t clean_mode(std::uint32_t mode) {
    if (mode_type(mode) == 0100000) return (mode & 0111) ? kModeExecutable : kModeFile;
    return mode;
}

class Walk {
public:
    Walk(const WorktreeOptions& o, Index& index, const WorktreeHooks& hooks, WorktreeStatus& out)
        : o_(o), index_(index), hooks_(hooks), out_(out),
          ignores_(o.root, o.git_dir, o.excludes_file, o.ignore_case),
          attributes_(o.root, o.git_dir, o.attributes_file, o.ignore_case) {}

    bool attributes_unsupported() const {
        for (const char* name : {"filter", "ident", "working-tree-encoding"}) {
            if (attributes_.mentions(name)) return true;
        }
        return false;
    }

    void compare_entries() {
        // Every entry's stat data first, on the machine's cores and without the GIL
        // (git's preloaded index), each folder looked up once.
        std::vector<const std::string*> paths;
        paths.reserve(index_.entries.size());
        for (const auto& e : index_.entries) paths.push_back(&e.path);
        const unsigned cores = std::thread::hardware_concurrency();
        std::vector<fs::StatResult> stats;
        {
            PyThreadState* saved = PyEval_SaveThread();
            try {
                stats = fs::lstat_many(o_.root, paths, cores < 2 ? 1 : cores > 8 ? 8 : cores);
            } catch (...) {
                PyEval_RestoreThread(saved);
                throw;
            }
            PyEval_RestoreThread(saved);
        }
        for (std::size_t i = 0; i < index_.entries.size(); ++i) {
            auto& e = index_.entries[i];
            if (stats[i].status > 1) fs::raise_error(disk(e.path), stats[i].status);
            std::optional<fs::FileStat> st;
            if (stats[i].status == 0) st = stats[i].st;
            if (changed(e, st)) out_.unstaged.push_back(e.path);
        }
    }

    void untracked(const std::string& dir) {
        auto listing = fs::list_dir(disk(dir));
        if (!listing) return;
        std::vector<std::string> dirs;
        for (auto& entry : *listing) {
            if (entry.name == ".git") continue;
            const std::string rel = join(dir, entry.name);
            if (entry.kind == fs::Kind::Directory) {
                dirs.push_back(entry.name);
            } else if (entry.kind != fs::Kind::Other && !index_.find(rel) && !ignores_.ignored_here(rel, false)) {
                out_.untracked.push_back(rel);
            }
        }
        // Folders are weighed last to first, as dulwich's walk prunes them; those
        // holding tracked files are entered in listing order.
        std::vector<std::string> enter;
        for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
            const std::string rel = join(dir, *it);
            if (ignores_.ignored_here(rel, true)) continue;
            if (const IndexEntry* e = index_.find(rel); e && mode_type(e->mode) == kModeGitlink) continue;
            if (tracks_below(rel)) {
                enter.push_back(rel);
            } else if (has_untracked(rel)) {
                untracked_dirs_.push_back(rel + "/");
            }
        }
        for (auto it = enter.rbegin(); it != enter.rend(); ++it) untracked(*it);
    }

    void finish_untracked() {
        out_.untracked.insert(out_.untracked.end(), untracked_dirs_.begin(), untracked_dirs_.end());
    }

private:
    std::string disk(const std::string& rel) const { return rel.empty() ? o_.root : o_.root + "/" + rel; }

    bool tracks_below(const std::string& dir) const {
        const std::string prefix = dir + "/";
        auto it = std::lower_bound(index_.entries.begin(), index_.entries.end(), prefix,
                                   [](const IndexEntry& e, const std::string& p) { return e.path < p; });
        return it != index_.entries.end() && it->path.compare(0, prefix.size(), prefix) == 0;
    }

    // Whether an untracked folder holds anything git would list: a file not ignored,
    // or a repository of its own.
    bool has_untracked(const std::string& dir) {
        auto listing = fs::list_dir(disk(dir));
        if (!listing) return false;
        for (auto& entry : *listing) {
            if (entry.name == ".git") return true;
        }
        for (auto& entry : *listing) {
            const std::string rel = join(dir, entry.name);
            if (entry.kind == fs::Kind::Directory) {
                if (!ignores_.ignored_here(rel, true) && has_untracked(rel)) return true;
            } else if (entry.kind != fs::Kind::Other && !ignores_.ignored_here(rel, false)) {
                return true;
            }
        }
        return false;
    }

    bool stat_matches(const IndexEntry& e, const fs::FileStat& st) const {
        if (e.mtime_s != std::uint32_t(st.mtime_s) || e.mtime_ns != st.mtime_ns) return false;
        if (o_.trust_ctime && (e.ctime_s != std::uint32_t(st.ctime_s) || e.ctime_ns != st.ctime_ns)) return false;
        if (e.size != std::uint32_t(st.size)) return false;
        if (fs::kPosix && (e.ino != std::uint32_t(st.ino) || e.uid != st.uid || e.gid != st.gid)) return false;
        return true;
    }

    bool changed(IndexEntry& e, const std::optional<fs::FileStat>& st) {
        if (e.skip_worktree() || e.assume_valid()) return false;
        const std::string path = disk(e.path);
        if (mode_type(e.mode) == kModeGitlink) {
            bool changed_link;
            if (!st) {
                changed_link = true;
            } else if (st->kind != fs::Kind::Directory) {
                changed_link = true;
            } else {
                changed_link = fs::lstat(path + "/.git") && hooks_.submodule_changed(e.path, e.id);
            }
            if (changed_link) out_.gitlinks.push_back(e.path);
            return changed_link;
        }
        if (!st || st->kind == fs::Kind::Directory) return true;
        if (st->kind == fs::Kind::Other) return false;
        // The mode the file has now, as git would record it; a plain file stands for
        // a symlink where the file system has none (core.symlinks=false).
        std::uint32_t mode;
        if (st->kind == fs::Kind::Symlink) {
            mode = kModeSymlink;
        } else if (mode_type(e.mode) == kModeSymlink && !o_.symlinks) {
            mode = kModeSymlink;
        } else {
            mode = mode_from_stat(*st, o_.trust_executable, clean_mode(e.mode));
        }
        if (mode != clean_mode(e.mode)) return true;
        // Another size is a change without reading the file (git's ie_modified), unless
        // the index holds no size yet (0: just read from a tree, or smudged).
        if (e.size != std::uint32_t(st->size) && e.size != 0) return true;
        const bool same_stat = stat_matches(e, *st);
        const bool racy = index_.is_racy(e);
        if (same_stat && !racy) return false;
        ObjectId id;
        if (st->kind == fs::Kind::Symlink) {
            id = blob_id(fs::read_link(path));
        } else {
            std::string data;
            if (!fs::read_file(path, data)) return true;
            if (mode != kModeSymlink) {
                const auto attrs = attributes_.lookup(e.path, {"text", "crlf", "eol"});
                const Crlf action = crlf_action(attrs[0], attrs[1], attrs[2], o_.autocrlf);
                convert_to_git(action, data, [&] {
                    return hooks_.read_object(e.id).find('\r') != std::string::npos;
                });
            }
            id = blob_id(data);
        }
        if (id != e.id) {
            if (same_stat) {
                // Racily clean in the file's stat data only: kept from looking clean
                // once the index is written again (git smudges the size).
                e.size = 0;
                out_.index_changed = true;
            }
            return true;
        }
        if (!same_stat) e.set_stat(*st);
        out_.index_changed = true;
        return false;
    }

    const WorktreeOptions& o_;
    Index& index_;
    const WorktreeHooks& hooks_;
    WorktreeStatus& out_;
    IgnoreRules ignores_;
    Attributes attributes_;
    std::vector<std::string> untracked_dirs_;
};

void staged_changes(const Index& index, const std::vector<TreeEntry>* head, WorktreeStatus& out) {
    static const std::vector<TreeEntry> empty;
    const auto& tree = head ? *head : empty;
    std::size_t i = 0, t = 0;
    const auto& entries = index.entries;
    while (i < entries.size() || t < tree.size()) {
        const int c = i == entries.size() ? 1 : t == tree.size() ? -1 : entries[i].path.compare(tree[t].path);
        if (c < 0) {
            out.staged_add.push_back(entries[i++].path);
        } else if (c > 0) {
            out.staged_delete.push_back(tree[t++].path);
        } else {
            if (entries[i].id != tree[t].id || clean_mode(entries[i].mode) != clean_mode(tree[t].mode)) {
                out.staged_modify.push_back(entries[i].path);
            }
            ++i;
            ++t;
        }
    }
}

}  // namespace

std::vector<TreeEntry> flatten_tree(const ObjectId& root, const ReadObject& read) {
    std::vector<TreeEntry> out;
    std::vector<std::pair<std::string, ObjectId>> pending{{std::string(), root}};
    while (!pending.empty()) {
        auto [prefix, id] = std::move(pending.back());
        pending.pop_back();
        const std::string raw = read(id);
        std::size_t p = 0;
        while (p < raw.size()) {
            const std::size_t space = raw.find(' ', p);
            if (space == std::string::npos || space == p || space - p > 7) bad_tree(id);
            std::uint32_t mode = 0;
            for (std::size_t k = p; k < space; ++k) {
                if (raw[k] < '0' || raw[k] > '7') bad_tree(id);
                mode = mode * 8 + std::uint32_t(raw[k] - '0');
            }
            const std::size_t nul = raw.find('\0', space + 1);
            if (nul == std::string::npos || nul == space + 1 || raw.size() - nul - 1 < 20) bad_tree(id);
            TreeEntry entry;
            entry.path = join(prefix, raw.substr(space + 1, nul - space - 1));
            entry.mode = mode;
            std::memcpy(entry.id.data(), raw.data() + nul + 1, 20);
            p = nul + 21;
            if (mode_type(mode) == kModeTree) {
                pending.emplace_back(std::move(entry.path), entry.id);
            } else {
                out.push_back(std::move(entry));
            }
        }
    }
    std::sort(out.begin(), out.end(), [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
    return out;
}

WorktreeStatus worktree_status(const WorktreeOptions& options, Index& index, const std::vector<TreeEntry>* head,
                               const WorktreeHooks& hooks) {
    WorktreeStatus out;
    if (!index.unsupported.empty()) {
        out.unsupported = "index extension " + index.unsupported;
        return out;
    }
    for (const auto& e : index.entries) {
        if (e.stage() != 0) {
            out.unsupported = "conflicted entries";
            return out;
        }
    }
    Walk walk(options, index, hooks, out);
    if (walk.attributes_unsupported()) {
        out.unsupported = "attributes";
        return out;
    }
    staged_changes(index, head, out);
    walk.compare_entries();
    if (options.untracked) {
        walk.untracked("");
        walk.finish_untracked();
    }
    if (walk.attributes_unsupported()) {
        // A folder's .gitattributes read during the walk asks for a filter.
        out = WorktreeStatus{};
        out.unsupported = "attributes";
    }
    return out;
}

}  // namespace sections::git
