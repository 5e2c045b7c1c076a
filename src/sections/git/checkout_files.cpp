// The files and index of a checkout (checkout_files.hpp), after git's unpack-trees.c
// (the two-tree move and what refuses it), entry.c (writing an entry), read-cache.c
// (verify_path), convert.c (line endings) and cache-tree.c (the TREE extension).
#include "checkout_files.hpp"

#include "runtime/ref.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace sections::git {
namespace {

[[noreturn]] void bad_tree(const ObjectId& id, const char* what) {
    const std::string hex = to_hex(id);
    PyErr_Format(PyExc_ValueError, "malformed tree object %s (%s)", hex.c_str(), what);
    py::fail();
}

// An OSError of `code` naming the working tree's `path`.
[[noreturn]] void os_error(const std::string& path, int code) {
    py::Ref name = py::Ref::steal(
        fs::kPosix ? PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size()))
                   : PyUnicode_DecodeUTF8(path.data(), Py_ssize_t(path.size()), "replace"));
    py::Ref args = py::Ref::steal(Py_BuildValue("(isO)", code, std::strerror(code), name.get()));
    PyErr_SetObject(PyExc_OSError, args);
    py::fail();
}

std::string parent_of(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string folded(std::string_view s, bool fold) {
    std::string out(s);
    if (fold) {
        for (auto& ch : out) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    }
    return out;
}

// The mode an index records for a tree entry of `mode` (create_ce_mode).
std::uint32_t index_mode(std::uint32_t mode) {
    switch (mode_type(mode)) {
        case kModeSymlink: return kModeSymlink;
        case kModeGitlink: return kModeGitlink;
        default: return (mode & 0100) ? kModeExecutable : kModeFile;
    }
}

bool leaf_mode(std::uint32_t mode) {
    const std::uint32_t type = mode_type(mode);
    return type == 0100000 || type == kModeSymlink || type == kModeGitlink;
}

// git's tree order: names as bytes, a folder's as if it ended in '/'.
bool tree_less(std::string_view a, bool a_tree, std::string_view b, bool b_tree) {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c) return c < 0;
    const unsigned char ca = a.size() > n ? static_cast<unsigned char>(a[n]) : (a_tree ? '/' : 0);
    const unsigned char cb = b.size() > n ? static_cast<unsigned char>(b[n]) : (b_tree ? '/' : 0);
    return ca < cb;
}

// is_ntfs_dot_generic: ".<name>" or its 8.3 short forms ("<first 6>~N", or
// "<shortname prefix>~N"), followed only by spaces and periods (an NTFS stream name
// after ':' included).
bool ntfs_dot(std::string_view c, std::string_view name, std::string_view short_prefix) {
    auto trailer = [&](std::size_t i) {
        for (; i < c.size(); ++i) {
            if (c[i] == ':') return true;
            if (c[i] != ' ' && c[i] != '.') return false;
        }
        return true;
    };
    if (c.size() > name.size() && c[0] == '.' && iequals(c.substr(1, name.size()), name)) {
        return trailer(name.size() + 1);
    }
    if (c.size() >= 8 && iequals(c.substr(0, 6), name.substr(0, 6)) && c[6] == '~' && c[7] >= '1' && c[7] <= '4') {
        return trailer(8);
    }
    bool saw_tilde = false;
    std::size_t i = 0;
    for (; i < 8; ++i) {
        if (i >= c.size()) return false;
        const unsigned char ch = static_cast<unsigned char>(c[i]);
        if (saw_tilde) {
            if (ch < '0' || ch > '9') return false;
        } else if (ch == '~') {
            if (++i >= c.size() || c[i] < '1' || c[i] > '9') return false;
            saw_tilde = true;
        } else if (i >= 6 || (ch & 0x80) || std::tolower(ch) != static_cast<unsigned char>(short_prefix[i])) {
            return false;
        }
    }
    return trailer(i);
}

// is_ntfs_dotgit: ".git" or "git~1", followed only by spaces and periods.
bool ntfs_dotgit(std::string_view c) {
    std::size_t i;
    if (c.size() >= 4 && c[0] == '.' && iequals(c.substr(1, 3), "git")) {
        i = 4;
    } else if (c.size() >= 5 && iequals(c.substr(0, 3), "git") && c[3] == '~' && c[4] == '1') {
        i = 5;
    } else {
        return false;
    }
    for (; i < c.size(); ++i) {
        if (c[i] == ':') return true;
        if (c[i] != ' ' && c[i] != '.') return false;
    }
    return true;
}

// Names Windows cannot hold as files: reserved device names (with any extension),
// characters it forbids, and a trailing space or period (which it drops).
bool windows_invalid(std::string_view c) {
    for (unsigned char ch : c) {
        if (ch < 32 || std::strchr("<>:\"|?*", ch)) return true;
    }
    if (!c.empty() && (c.back() == ' ' || c.back() == '.')) return true;
    std::size_t stem = 0;
    while (stem < c.size() && c[stem] != '.' && c[stem] != ':') ++stem;
    std::string_view name = c.substr(0, stem);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    static constexpr std::string_view kReserved[] = {"aux", "con", "conin$", "conout$", "nul", "prn"};
    for (auto reserved : kReserved) {
        if (iequals(name, reserved)) return true;
    }
    return name.size() == 4 && (iequals(name.substr(0, 3), "com") || iequals(name.substr(0, 3), "lpt")) &&
           name[3] >= '1' && name[3] <= '9';
}

}  // namespace

bool valid_path(std::string_view path, std::uint32_t mode, bool protect_ntfs) {
    if (path.empty()) return false;
    if (!fs::kPosix) {
        if (path.size() >= 2 && path[1] == ':' && static_cast<unsigned char>(path[0]) < 0x80) return false;
        if (path.find('\\') != std::string_view::npos) return false;
    }
    const bool link = mode_type(mode) == kModeSymlink;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view c = path.substr(start, slash == std::string_view::npos ? path.npos : slash - start);
        const bool last = slash == std::string_view::npos;
        if (c.empty() || c == "." || c == ".." || iequals(c, ".git")) return false;
        if (last && link && iequals(c, ".gitmodules")) return false;
        if (protect_ntfs) {
            // A backslash separates names on NTFS: each part is checked.
            std::size_t part_start = 0;
            for (;;) {
                const std::size_t bs = c.find('\\', part_start);
                const std::string_view part = c.substr(part_start, bs == std::string_view::npos ? c.npos : bs - part_start);
                if (ntfs_dotgit(part)) return false;
                if (last && link && ntfs_dot(part, "gitmodules", "gi7eba")) return false;
                if (bs == std::string_view::npos) break;
                part_start = bs + 1;
            }
            if (!fs::kPosix && windows_invalid(c)) return false;
        }
        if (last) return true;
        start = slash + 1;
    }
}

FlatTree read_tree(const ObjectId& root, const ReadTyped& read) {
    FlatTree out;
    std::vector<std::pair<std::string, ObjectId>> pending{{std::string(), root}};
    while (!pending.empty()) {
        auto [prefix, id] = std::move(pending.back());
        pending.pop_back();
        const std::string raw = read(id, kTreeObject);
        FlatTree::Folder folder{prefix, id, true};
        std::string_view previous;
        bool previous_tree = false;
        std::size_t p = 0;
        while (p < raw.size()) {
            const std::size_t space = raw.find(' ', p);
            if (space == std::string::npos || space == p || space - p > 7) bad_tree(id, "mode");
            std::uint32_t mode = 0;
            for (std::size_t k = p; k < space; ++k) {
                if (raw[k] < '0' || raw[k] > '7') bad_tree(id, "mode");
                mode = mode * 8 + std::uint32_t(raw[k] - '0');
            }
            const std::size_t nul = raw.find('\0', space + 1);
            if (nul == std::string::npos || nul == space + 1 || raw.size() - nul - 1 < 20) bad_tree(id, "entry");
            const std::string_view name(raw.data() + space + 1, nul - space - 1);
            const bool is_tree = mode_type(mode) == kModeTree;
            // What git would write back: canonical modes without a leading zero, names
            // in its order, none twice.
            const bool canonical_mode = is_tree ? mode == kModeTree : leaf_mode(mode) && index_mode(mode) == mode;
            if (raw[p] == '0' || !canonical_mode || name.find('/') != std::string_view::npos ||
                (!previous.empty() && !tree_less(previous, previous_tree, name, is_tree))) {
                folder.canonical = false;
            }
            previous = name;
            previous_tree = is_tree;
            TreeEntry entry;
            entry.path = prefix.empty() ? std::string(name) : prefix + "/" + std::string(name);
            entry.mode = mode;
            std::memcpy(entry.id.data(), raw.data() + nul + 1, 20);
            p = nul + 21;
            if (is_tree) {
                pending.emplace_back(std::move(entry.path), entry.id);
            } else {
                out.files.push_back(std::move(entry));
            }
        }
        out.folders.push_back(std::move(folder));
    }
    std::sort(out.files.begin(), out.files.end(), [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
    std::sort(out.folders.begin(), out.folders.end(),
              [](const FlatTree::Folder& a, const FlatTree::Folder& b) { return a.path < b.path; });
    return out;
}

Checkout::Checkout(const CheckoutOptions& options, Index& index, const ReadTyped& read,
                   const WorktreeHooks& status_hooks, StreamBlob stream)
    : options_(options), index_(index), read_(read), status_hooks_(status_hooks), stream_(std::move(stream)) {}

Refusal Checkout::plan(const FlatTree* old, const FlatTree& target) {
    target_ = &target;
    const bool fold = options_.tree.ignore_case;
    // Every path valid, none twice, none both a file and a folder (a link "a" and a
    // file "a/b" would write through the link).
    std::unordered_set<std::string> folders;
    for (std::size_t i = 0; i < target.files.size(); ++i) {
        const TreeEntry& e = target.files[i];
        if (!leaf_mode(e.mode) || !valid_path(e.path, e.mode, options_.protect_ntfs)) {
            return {Refusal::InvalidPath, e.path};
        }
        if (i > 0 && target.files[i - 1].path == e.path) return {Refusal::InvalidPath, e.path};
        for (std::size_t slash = e.path.find('/'); slash != std::string::npos; slash = e.path.find('/', slash + 1)) {
            folders.insert(folded(std::string_view(e.path).substr(0, slash), fold));
        }
    }
    for (const TreeEntry& e : target.files) {
        if (folders.count(folded(e.path, fold))) return {Refusal::InvalidPath, e.path};
    }

    // Only what is done here: the index without conflicts, sparse entries or a
    // required extension; attributes without filters, ident or another encoding.
    if (!index_.unsupported.empty()) return {Refusal::Unsupported, "index extension " + index_.unsupported};
    for (const IndexEntry& e : index_.entries) {
        if (e.stage() != 0 || e.skip_worktree()) return {Refusal::Unsupported, e.path};
    }
    std::unordered_map<std::string, const TreeEntry*> attribute_files;
    for (const TreeEntry& e : target.files) {
        const std::size_t slash = e.path.rfind('/');
        if (std::string_view(e.path).substr(slash == std::string::npos ? 0 : slash + 1) == ".gitattributes" &&
            mode_type(e.mode) == 0100000) {
            attribute_files.emplace(e.path, &e);
        }
    }
    attributes_ = std::make_unique<Attributes>(
        options_.tree.root, options_.tree.git_dir, options_.tree.attributes_file, fold,
        [this, files = std::move(attribute_files)](const std::string& path, std::string& out) {
            auto found = files.find(path);
            if (found == files.end()) return false;
            out = read_(found->second->id, kBlobObject);
            return true;
        });
    for (const TreeEntry& e : target.files) {
        if (e.path == ".gitattributes" || e.path.ends_with("/.gitattributes")) attributes_->load(parent_of(e.path));
    }
    for (const char* name : {"filter", "ident", "working-tree-encoding"}) {
        if (attributes_->mentions(name)) return {Refusal::Unsupported, ".gitattributes"};
    }

    // The move: paths only the old tree has go, the others are written where they
    // differ (all of them in a clone).
    static const std::vector<TreeEntry> nothing;
    const auto& before = old ? old->files : nothing;
    std::size_t i = 0, t = 0;
    while (i < before.size() || t < target.files.size()) {
        const int c = i == before.size() ? 1 : t == target.files.size() ? -1 : before[i].path.compare(target.files[t].path);
        if (c < 0) {
            removals_.push_back(before[i++].path);
        } else if (c > 0) {
            writes_.push_back({&target.files[t++], nullptr});
        } else {
            if (before[i].id != target.files[t].id || before[i].mode != target.files[t].mode) {
                writes_.push_back({&target.files[t], &before[i]});
            }
            ++i;
            ++t;
        }
    }
    if (options_.fresh) return {};
    // A staged path the old tree lacks that the target has as a folder, or below one
    // of its files: the index cannot hold both. Forced, it goes; otherwise it refuses.
    std::unordered_set<std::string_view> target_files, old_files;
    for (const TreeEntry& e : target.files) target_files.insert(e.path);
    for (const TreeEntry& e : before) old_files.insert(e.path);
    for (const IndexEntry& e : index_.entries) {
        if (old_files.count(e.path) || target_files.count(e.path)) continue;
        bool clash = folders.count(folded(e.path, fold)) > 0;
        for (std::size_t slash = e.path.find('/'); !clash && slash != std::string::npos;
             slash = e.path.find('/', slash + 1)) {
            clash = target_files.count(std::string_view(e.path).substr(0, slash)) > 0;
        }
        if (!clash) continue;
        if (!options_.force) return {Refusal::StagedFile, e.path};
        removals_.push_back(e.path);
    }
    std::sort(removals_.begin(), removals_.end());
    if (Refusal r = check_target(); r.kind != Refusal::None) return r;
    if (!options_.force) return check_local(old);
    return {};
}

// What the files are on disk where the checkout writes: a folder (or a file) in the
// way that holds what is not the old tree's refuses it, forced or not.
Refusal Checkout::check_target() {
    std::unordered_set<std::string_view> removed(removals_.begin(), removals_.end());
    std::unordered_map<std::string, fs::Kind> seen;  // leading folders, by path
    auto kind_of = [&](const std::string& rel) -> std::optional<fs::Kind> {
        auto found = seen.find(rel);
        if (found != seen.end()) return found->second;
        auto st = fs::lstat(disk(rel));
        if (!st) return std::nullopt;
        seen.emplace(rel, st->kind);
        return st->kind;
    };
    // Everything below the folder `dir` must be a path of the old tree that goes.
    std::function<Refusal(const std::string&)> only_removed = [&](const std::string& dir) -> Refusal {
        auto listing = fs::list_dir(disk(dir));
        if (!listing) return {};
        for (const auto& item : *listing) {
            const std::string rel = dir + "/" + item.name;
            if (item.kind == fs::Kind::Directory) {
                if (Refusal r = only_removed(rel); r.kind != Refusal::None) return r;
            } else if (!removed.count(rel)) {
                return {Refusal::UntrackedFile, rel};
            }
        }
        return {};
    };
    for (const Write& w : writes_) {
        const std::string& path = w.entry->path;
        bool below_removed = false;
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
            const std::string dir = path.substr(0, slash);
            auto kind = kind_of(dir);
            if (!kind) break;
            if (*kind == fs::Kind::Directory) continue;
            if (removed.count(dir)) {
                below_removed = true;
                break;
            }
            return {*kind == fs::Kind::Symlink ? Refusal::InvalidPath : Refusal::UntrackedFile, dir};
        }
        if (below_removed) continue;
        auto st = fs::lstat(disk(path));
        if (st && st->kind == fs::Kind::Directory && mode_type(w.entry->mode) != kModeGitlink) {
            if (Refusal r = only_removed(path); r.kind != Refusal::None) return r;
        }
    }
    return {};
}

// Not forced: git's refusals of a merge. A path that changes must have no staged
// change and no edit on disk (a missing file is no edit: it is written again); a path
// the checkout adds must be neither staged nor on disk.
Refusal Checkout::check_local(const FlatTree* old) {
    static const std::vector<TreeEntry> nothing;
    // The status on a copy: the index written afterwards refreshes no entry it did not
    // write (one edited in the same instant must stay racily clean for the next reader).
    Index copy = index_;
    WorktreeOptions options = options_.tree;
    options.untracked = false;
    const WorktreeStatus status = worktree_status(options, copy, old ? &old->files : &nothing, status_hooks_);
    if (!status.unsupported.empty()) return {Refusal::Unsupported, status.unsupported};
    std::unordered_set<std::string_view> staged, unstaged;
    for (const auto* list : {&status.staged_add, &status.staged_delete, &status.staged_modify}) {
        staged.insert(list->begin(), list->end());
    }
    unstaged.insert(status.unstaged.begin(), status.unstaged.end());
    auto on_disk = [&](const std::string& path) { return fs::lstat(disk(path)).has_value(); };
    auto changed = [&](const std::string& path, std::uint32_t old_mode) -> bool {
        if (staged.count(path)) return true;
        return mode_type(old_mode) != kModeGitlink && unstaged.count(path) && on_disk(path);
    };
    std::unordered_map<std::string_view, std::uint32_t> old_modes;
    if (old) {
        for (const TreeEntry& e : old->files) old_modes.emplace(e.path, e.mode);
    }
    for (const std::string& path : removals_) {
        if (changed(path, old_modes[path])) return {Refusal::LocalChange, path};
    }
    for (const Write& w : writes_) {
        const std::string& path = w.entry->path;
        if (w.previous) {
            if (changed(path, w.previous->mode)) return {Refusal::LocalChange, path};
        } else if (index_.find(path)) {
            return {Refusal::StagedFile, path};
        } else if (on_disk(path)) {
            return {Refusal::UntrackedFile, path};
        }
    }
    return {};
}

// Whether every folder leading to `path` is a real one (no link, no file), as far as
// they exist: nothing is removed through a link.
bool Checkout::real_folder(const std::string& dir) {
    if (dir.empty() || known_folders_.count(dir)) return true;
    if (!real_folder(parent_of(dir))) return false;
    auto st = fs::lstat(disk(dir));
    if (!st || st->kind != fs::Kind::Directory) return false;
    known_folders_.insert(dir);
    return true;
}

// The folders leading to `path`, made where missing; a link or file among them raises.
void Checkout::make_folders(const std::string& path) {
    const std::string dir = parent_of(path);
    if (dir.empty() || known_folders_.count(dir)) return;
    make_folders(dir);
    if (!fs::make_dir(disk(dir))) {
        auto st = fs::lstat(disk(dir));
        if (!st || st->kind != fs::Kind::Directory) os_error(dir, ENOTDIR);
    }
    known_folders_.insert(dir);
}

// Whatever is at `path` taken away: a file or link, or an empty folder.
void Checkout::remove(const std::string& path) {
    auto st = fs::lstat(disk(path));
    if (!st) return;
    if (st->kind == fs::Kind::Directory) {
        if (!fs::remove_dir(disk(path))) os_error(path, ENOTEMPTY);
        for (auto known = known_folders_.lower_bound(path);
             known != known_folders_.end() && (*known == path || known->starts_with(path + "/"));) {
            known = known_folders_.erase(known);
        }
    } else {
        fs::remove_file(disk(path));
    }
}

void Checkout::write(const TreeEntry& entry, IndexEntry& out) {
    const std::string& path = entry.path;
    const std::string full = disk(path);
    make_folders(path);
    const std::uint32_t type = mode_type(entry.mode);
    const bool link = type == kModeSymlink;
    // A new file, where whatever is in the way has gone.
    auto create = [&](fs::NewFile& file) {
        for (int attempt = 0;; ++attempt) {
            if (file.open(full, !link && (entry.mode & 0100))) return;
            if (attempt > 0) os_error(path, EEXIST);
            remove(path);
        }
    };
    std::optional<fs::FileStat> st;
    if (type == kModeGitlink) {
        // A submodule's folder, left empty (or as it is), as a clone without its
        // submodules leaves it.
        st = fs::lstat(full);
        if (st && st->kind != fs::Kind::Directory) {
            remove(path);
            st.reset();
        }
        if (!st) {
            fs::make_dir(full);
            st = fs::lstat(full);
            if (!st) os_error(path, ENOENT);
        }
    } else if (link && options_.tree.symlinks) {
        const std::string target = read_(entry.id, kBlobObject);
        for (int attempt = 0;; ++attempt) {
            if (fs::make_symlink(target, full)) break;
            if (attempt > 0) os_error(path, EEXIST);
            remove(path);
        }
        st = fs::lstat(full);
        if (!st) os_error(path, ENOENT);
    } else {
        // A file (a link's target as one where there are no links), its line endings
        // as its attributes ask; a large one that needs no conversion goes from its
        // pack to the disk a piece at a time.
        WorktreeEol eol = WorktreeEol::Keep;
        if (!link) {
            const auto attrs = attributes_->lookup(path, {"text", "crlf", "eol"});
            eol = worktree_eol(attrs[0], attrs[1], attrs[2], options_.tree.autocrlf, options_.eol);
        }
        fs::NewFile file;
        create(file);
        const bool streamed = !link && eol == WorktreeEol::Keep && stream_ &&
                              stream_(entry.id, [&](const char* data, std::size_t size) { file.write(data, size); });
        if (!streamed) {
            std::string data = read_(entry.id, kBlobObject);
            convert_to_worktree(eol, data);
            file.write(data.data(), data.size());
        }
        st = file.finish();
    }
    out = IndexEntry{};
    out.path = path;
    out.mode = index_mode(entry.mode);
    out.id = entry.id;
    out.set_stat(*st);
}

void Checkout::apply() {
    std::unordered_set<std::string_view> gone(removals_.begin(), removals_.end());
    // Removed first (a folder that becomes a file is empty then), each emptied folder
    // after it, up to the top.
    for (auto it = removals_.rbegin(); it != removals_.rend(); ++it) {
        const std::string& path = *it;
        const std::string dir = parent_of(path);
        if (!real_folder(dir)) continue;  // below a link: the index entry alone goes
        auto st = fs::lstat(disk(path));
        if (!st) continue;
        if (st->kind == fs::Kind::Directory) {
            fs::remove_dir(disk(path));  // a submodule's folder, when empty
        } else {
            fs::remove_file(disk(path));
        }
        for (std::string up = dir; !up.empty(); up = parent_of(up)) {
            if (!fs::remove_dir(disk(up))) break;
            known_folders_.erase(up);
        }
    }
    std::vector<IndexEntry> written(writes_.size());
    for (std::size_t w = 0; w < writes_.size(); ++w) write(*writes_[w].entry, written[w]);

    // The index: its entries without the removed and rewritten paths, merged with the
    // written ones (both in path order).
    std::vector<IndexEntry> merged;
    merged.reserve(index_.entries.size() + written.size());
    std::size_t n = 0;
    for (IndexEntry& e : index_.entries) {
        while (n < written.size() && entry_less(written[n], e)) merged.push_back(std::move(written[n++]));
        if (gone.count(e.path) || (n < written.size() && written[n].path == e.path)) continue;
        merged.push_back(std::move(e));
    }
    while (n < written.size()) merged.push_back(std::move(written[n++]));
    index_.entries = std::move(merged);
    // The extensions describe the entries as they were (cached trees, untracked
    // folders, a file system monitor's positions): the cached trees are made anew.
    index_.extensions.clear();
}

std::string Checkout::tree_extension() const {
    if (!target_) return {};
    const auto& files = target_->files;
    const auto& folders = target_->folders;
    const auto& entries = index_.entries;
    // Per folder: valid when the index holds exactly the tree's files below it and git
    // would write the same tree; folders with no file below them are not in an index.
    std::vector<long> counts(folders.size(), 0);
    std::vector<char> valid(folders.size(), 0);
    std::unordered_map<std::string_view, std::size_t> by_path;
    for (std::size_t f = 0; f < folders.size(); ++f) by_path.emplace(folders[f].path, f);
    for (std::size_t f = 0; f < folders.size(); ++f) {
        const std::string prefix = folders[f].path.empty() ? std::string() : folders[f].path + "/";
        auto under = [&](const std::string& p) { return p.compare(0, prefix.size(), prefix) == 0; };
        auto file = std::lower_bound(files.begin(), files.end(), prefix,
                                     [](const TreeEntry& e, const std::string& p) { return e.path < p; });
        auto entry = std::lower_bound(entries.begin(), entries.end(), prefix,
                                      [](const IndexEntry& e, const std::string& p) { return e.path < p; });
        bool same = folders[f].canonical;
        long count = 0;
        for (; file != files.end() && under(file->path); ++file, ++count) {
            if (entry == entries.end() || entry->path != file->path || entry->id != file->id ||
                entry->mode != index_mode(file->mode) || entry->stage() != 0) {
                same = false;
            }
            if (entry != entries.end()) ++entry;
        }
        if (entry != entries.end() && under(entry->path)) same = false;  // entries the tree lacks
        counts[f] = count;
        valid[f] = same && count > 0;
    }
    // A tree git would not write (or one with no file below it) makes every tree above
    // it one git would not write either.
    for (std::size_t f = 0; f < folders.size(); ++f) {
        if (valid[f]) continue;
        for (std::string up = folders[f].path; !up.empty();) {
            up = parent_of(up);
            auto found = by_path.find(up);
            if (found != by_path.end()) valid[found->second] = 0;
        }
    }
    // Pre-order from the top, the subfolders of each in git's order (shorter names
    // first, then by bytes).
    std::vector<std::vector<std::size_t>> children(folders.size());
    for (std::size_t f = 0; f < folders.size(); ++f) {
        if (folders[f].path.empty() || counts[f] == 0) continue;
        auto parent = by_path.find(parent_of(folders[f].path));
        if (parent != by_path.end()) children[parent->second].push_back(f);
    }
    auto name_of = [&](std::size_t f) {
        const std::string& p = folders[f].path;
        const std::size_t slash = p.rfind('/');
        return std::string_view(p).substr(slash == std::string::npos ? 0 : slash + 1);
    };
    for (auto& list : children) {
        std::sort(list.begin(), list.end(), [&](std::size_t a, std::size_t b) {
            const auto na = name_of(a), nb = name_of(b);
            return na.size() != nb.size() ? na.size() < nb.size() : na < nb;
        });
    }
    auto root = by_path.find("");
    if (root == by_path.end() || counts[root->second] == 0) return {};
    std::string out;
    std::vector<std::size_t> stack{root->second};
    while (!stack.empty()) {
        const std::size_t f = stack.back();
        stack.pop_back();
        out.append(f == root->second ? std::string_view() : name_of(f));
        out.push_back('\0');
        out += valid[f] ? std::to_string(counts[f]) : "-1";
        out.push_back(' ');
        out += std::to_string(children[f].size());
        out.push_back('\n');
        if (valid[f]) out.append(reinterpret_cast<const char*>(folders[f].id.data()), 20);
        for (auto c = children[f].rbegin(); c != children[f].rend(); ++c) stack.push_back(*c);
    }
    return out;
}

void Checkout::write_index(fs::LockFile& lock) {
    const std::string extension = tree_extension();
    if (!extension.empty()) index_.extensions.push_back({"TREE", extension});
    lock.write(serialize_index(index_));
    const std::int64_t second = lock.stat().mtime_s;
    bool dated_back = false;
    for (const Write& w : writes_) {
        IndexEntry* e = index_.find(w.entry->path);
        if (!e || mode_type(e->mode) == kModeGitlink || std::int64_t(e->mtime_s) < (second & 0xffffffff)) continue;
        const std::string full = disk(e->path);
        fs::set_mtime(full, second - 1, e->mtime_ns);
        auto st = fs::lstat(full);
        if (!st) os_error(e->path, ENOENT);
        e->set_stat(*st);
        dated_back = true;
    }
    if (dated_back) lock.rewrite(serialize_index(index_));
}

}  // namespace sections::git
