// What a forced pull discards, kept (discarded.hpp). Objects and the ref go through
// dulwich's object store and refs; nothing of the index or HEAD changes.
#include "checkout.hpp"
#include "discarded.hpp"
#include "index.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

#include <optional>

namespace sections::git {
namespace {

constexpr long kTypeMask = 0170000;
constexpr long kGitlink = 0160000;
constexpr long kSymlink = 0120000;
constexpr long kDirectory = 0040000;

long mode_of(PyObject* entry_or_stat, PyObject* name) {
    return PyLong_AsLong(py::getattr(entry_or_stat, name));
}

// (mode, object name) of a tree side or an index entry; None for an absent one.
Ref version_of(PyObject* entry) {
    if (entry == Py_None) return py::none();
    return py::tuple(py::getattr(entry, PY_NAME(mode)), py::getattr(entry, PY_NAME(sha)));
}

// os.lstat(path), or None where nothing is there (or a parent is no folder).
Ref lstat_or_none(Call& c, PyObject* path) {
    return py::try_except(
        [] { return py::tuple(Ref::borrow(PyExc_FileNotFoundError), Ref::borrow(PyExc_NotADirectoryError)); },
        [&] { return py::call_method(c.global(PY_NAME(os)), PY_NAME(lstat), path); },
        [&](PyObject*) { return py::none(); });
}

// What the index holds for the changed paths: read natively where the status code
// reads it (index.hpp), else through dulwich.
class Staged {
public:
    Staged(Call& c, PyObject* repo) {
        WorktreeOptions options;
        std::string index_path;
        if (native_worktree(c, repo, options, index_path)) {
            native_ = read_index(index_path);
            if (native_->unsupported.empty()) return;
            native_.reset();
        }
        dulwich_ = py::call_method(repo, PY_NAME(open_index));
    }

    // (mode, object name) staged for `path`, or None.
    Ref version(PyObject* path) {
        if (native_) {
            const IndexEntry* entry = find(path);
            if (!entry) return py::none();
            const std::string hex = to_hex(entry->id);
            return py::tuple(py::integer(entry->mode), bytes_of(hex));
        }
        Ref entry = py::try_except(
            PyExc_KeyError, [&] { return py::getitem(dulwich_, path); }, [&](PyObject*) { return py::none(); });
        return version_of(entry);
    }

    // Does the file `file` (os.lstat `st`) still hold what the index recorded for
    // `path`? Its size and modification time as recorded, and not changed in the
    // instant the index was written (git's racily clean entries).
    bool unchanged(PyObject* path, PyObject* st) {
        if (native_) {
            const IndexEntry* entry = find(path);
            if (!entry || native_->is_racy(*entry)) return false;
            const long long ns = PyLong_AsLongLong(py::getattr(st, PY_NAME(st_mtime_ns)));
            const long long size = PyLong_AsLongLong(py::getattr(st, PY_NAME(st_size)));
            return entry->size == static_cast<std::uint32_t>(size) &&
                   entry->mtime_s == static_cast<std::uint32_t>(ns / 1'000'000'000) &&
                   entry->mtime_ns == static_cast<std::uint32_t>(ns % 1'000'000'000);
        }
        Ref entry = py::try_except(
            PyExc_KeyError, [&] { return py::getitem(dulwich_, path); }, [&](PyObject*) { return Ref(); });
        if (!entry || !py::equal(py::getattr(entry, PY_NAME(size)), py::getattr(st, PY_NAME(st_size)))) return false;
        Ref recorded = py::getattr(entry, PY_NAME(mtime));
        if (!PyTuple_Check(recorded) || PyTuple_GET_SIZE(recorded.get()) != 2) return false;
        Ref seconds = Ref::steal(PyNumber_Multiply(PyTuple_GET_ITEM(recorded.get(), 0), py::integer(1'000'000'000)));
        return py::equal(Ref::steal(PyNumber_Add(seconds, PyTuple_GET_ITEM(recorded.get(), 1))),
                         py::getattr(st, PY_NAME(st_mtime_ns)));
    }

private:
    static Ref bytes_of(const std::string& text) {
        return Ref::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    const IndexEntry* find(PyObject* path) {
        return native_->find(std::string_view(PyBytes_AS_STRING(path), static_cast<size_t>(PyBytes_GET_SIZE(path))));
    }

    std::optional<Index> native_;
    Ref dulwich_;
};

// The collection of one pull's discarded work.
struct Discarded {
    Call& c;
    PyObject* self;
    PyObject* repo;
    Ref root = py::getattr(self, PY_NAME(local_dir));
    Staged index{c, repo};
    Ref store = py::getattr(repo, PY_NAME(object_store));
    Ref normalizer;
    Ref ignore;
    Ref saved = py::new_dict();  // path -> (mode, object name), or None for a deleted file
    Ref blobs = py::new_list();  // the blobs of the files read from disk

    // The file at `file` (lstat `st`) as a commit would store it: its mode and the
    // object name of its content, cleaned as `git add` cleans it.
    Ref disk_version(PyObject* path, PyObject* file, PyObject* st, PyObject* base) {
        const long st_mode = mode_of(st, PY_NAME(st_mode));
        const bool link = (st_mode & kTypeMask) == kSymlink;
        Ref raw = Ref::steal(PyUnicode_EncodeFSDefault(file));
        Ref blob = py::call(dulwich_attr("dulwich.index", PY_NAME(blob_from_path_and_stat)), raw, st);
        if (!link) {
            if (!normalizer) normalizer = py::call_method(repo, PY_NAME(get_blob_normalizer));
            blob = py::call_method(normalizer, PY_NAME(checkin_normalize), blob, path);
        }
        long mode = link ? kSymlink : ((st_mode & 0100) ? 0100755 : 0100644);
#ifdef _WIN32
        // No executable bit there: a file keeps the mode it was committed with.
        if (!link && base != Py_None) {
            const long committed = PyLong_AsLong(PyTuple_GET_ITEM(base, 0));
            if ((committed & kTypeMask) == 0100000) mode = committed;
        }
#else
        (void)base;
#endif
        py::append(blobs, blob);
        return py::tuple(py::integer(mode), py::getattr(blob, PY_NAME(id)));
    }

    bool is_ignored(PyObject* path) {
        if (!ignore) {
            ignore = py::call(py::getattr(dulwich_attr("dulwich.ignore", PY_NAME(IgnoreFilterManager)),
                                          PY_NAME(from_repo)),
                              repo);
        }
        Ref text = py::call_method(path, PY_NAME(decode), PY_STR("utf-8"), PY_STR("surrogateescape"));
        return py::truthy(py::call_method(ignore, PY_NAME(is_ignored), text));
    }

    // One changed path: recorded when what the working copy holds there (on disk or
    // staged) is not what the old commit has.
    void visit(PyObject* change) {
        Ref path = change_path(change);
        if (!PyBytes_Check(path)) return;
        Ref old_side = py::getattr(change, PY_NAME(old));
        Ref new_side = py::getattr(change, PY_NAME(new));
        for (PyObject* side : {old_side.get(), new_side.get()}) {
            if (side != Py_None && (mode_of(side, PY_NAME(mode)) & kTypeMask) == kGitlink) return;  // submodules
        }
        Ref base = version_of(old_side);
        Ref staged = index.version(path);
        if (staged != Py_None && (PyLong_AsLong(PyTuple_GET_ITEM(staged.get(), 0)) & kTypeMask) == kGitlink) return;
        auto [file, key] = entry_paths(c, root, path);
        if (!file) return;
        Ref st = lstat_or_none(c, file);
        Ref disk;
        if (st == Py_None) {
            disk = py::none();
        } else if ((mode_of(st, PY_NAME(st_mode)) & kTypeMask) == kDirectory) {
            return;  // a folder in the way: the checkout refuses to replace it
        } else if (staged != Py_None && index.unchanged(path, st)) {
            disk = staged.copy();
        } else {
            disk = disk_version(path, file, st, base);
        }
        const bool staged_differs = !py::equal(staged, base);
        const bool disk_differs = !py::equal(disk, base);
        if (!staged_differs && !disk_differs) return;
        if (old_side == Py_None && staged == Py_None && is_ignored(path)) return;  // git overwrites those too
        py::setitem(saved, path, disk != Py_None ? disk.get() : staged.get());
    }

    // The tree of `old` with the saved paths as the working copy holds them.
    Ref tree(PyObject* old) {
        Ref entries = py::new_dict();  // path -> (mode, object name)
        if (old != Py_None) {
            Ref old_tree = py::getattr(py::getitem(repo, old), PY_NAME(tree));
            Ref contents = py::call(dulwich_attr("dulwich.object_store", PY_NAME(iter_tree_contents)), store, old_tree);
            py::for_each(contents, [&](PyObject* entry) {
                py::setitem(entries, py::getattr(entry, PY_NAME(path)), version_of(entry));
            });
        }
        Ref items = Ref::steal(PyDict_Items(saved));
        py::for_each(items, [&](PyObject* item) {
            PyObject* path = PyTuple_GET_ITEM(item, 0);
            PyObject* version = PyTuple_GET_ITEM(item, 1);
            if (version == Py_None) {
                if (PyDict_Contains(entries, path)) py::check(PyDict_DelItem(entries, path));
            } else {
                py::setitem(entries, path, version);
            }
        });
        py::for_each(blobs, [&](PyObject* blob) { py::call_method(store, PY_NAME(add_object), blob); });
        Ref listed = py::new_list();
        Ref all = Ref::steal(PyDict_Items(entries));
        py::for_each(all, [&](PyObject* item) {
            PyObject* version = PyTuple_GET_ITEM(item, 1);
            py::append(listed, py::tuple(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(version, 1),
                                         PyTuple_GET_ITEM(version, 0)));
        });
        return py::call(dulwich_attr("dulwich.index", PY_NAME(commit_tree)), store, listed);
    }

    // The commit message: what it holds, for whoever finds the ref.
    Ref message(bool lost_commits) {
        Ref lines = py::new_list();
        py::append(lines, py::text("pull: 强制接受远程更改前保存的本地内容"));
        py::append(lines, py::text(""));
        if (lost_commits) py::append(lines, py::text("远程没有的本地提交: 第一个父提交及其历史"));
        if (PyDict_GET_SIZE(saved.get()) > 0) {
            py::append(lines, py::text("被覆盖或删除的未提交更改 (本提交相对第一个父提交的差异):"));
            Ref paths = Ref::steal(PyDict_Keys(saved));
            py::check(PyList_Sort(paths));
            py::for_each(paths, [&](PyObject* path) {
                py::append(lines, py::concat("    ", py::call_method(path, PY_NAME(decode), PY_STR("utf-8"),
                                                                    PY_STR("replace"))));
            });
        }
        py::append(lines, py::text(""));
        Ref text = Ref::steal(PyUnicode_Join(PY_STR("\n"), lines));
        return py::call_method(text, PY_NAME(encode), PY_STR("utf-8"));
    }
};

// A ref of its own for the commit: refs/tamarel/discarded/<UTC time>, with "-2", "-3"
// ... added where a pull of the same second has taken the name.
Ref add_discarded_ref(PyObject* refs, PyObject* commit_id) {
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    Ref stamp = py::call_method(time, PY_NAME(strftime), PY_STR("%Y%m%dT%H%M%SZ"), py::call_method(time, PY_NAME(gmtime)));
    for (int n = 1;; ++n) {
        Ref name = n == 1 ? py::concat("refs/tamarel/discarded/", stamp)
                          : py::concat("refs/tamarel/discarded/", stamp, "-", py::integer(n));
        Ref encoded = py::call_method(name, PY_NAME(encode), PY_STR("ascii"));
        Ref added = py::call_kw(py::getattr(refs, PY_NAME(add_if_new)), {encoded, commit_id},
                                {{PY_NAME(message), bytes("pull: kept before a forced update")}});
        if (py::truthy(added)) return name;
        if (n > 1000) py::raise(PyExc_RuntimeError, "no free name under refs/tamarel/discarded");
    }
}

}  // namespace

void keep_discarded(Call& c, PyObject* self, PyObject* repo, PyObject* old, bool lost_commits, PyObject* changes) {
    Discarded work{c, self, repo};
    py::for_each(changes, [&](PyObject* change) { work.visit(change); });
    if (!lost_commits && PyDict_GET_SIZE(work.saved.get()) == 0) return;

    Ref commit = py::call(dulwich_attr("dulwich.objects", PY_NAME(Commit)));
    py::setattr(commit, PY_NAME(tree), work.tree(old));
    Ref parents = py::new_list();
    if (old != Py_None) py::append(parents, old);
    py::setattr(commit, PY_NAME(parents), parents);
    Ref config = py::call_method(repo, PY_NAME(get_config_stack));
    Ref identity = py::call_kw(dulwich_attr("dulwich.repo", PY_NAME(get_user_identity)), {config},
                               {{PY_NAME(kind), PY_STR("COMMITTER")}});
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    Ref now = Ref::steal(PyNumber_Long(py::call_method(time, PY_NAME(time))));
    for (PyObject* name : {PY_NAME(author), PY_NAME(committer)}) py::setattr(commit, name, identity);
    for (PyObject* name : {PY_NAME(author_time), PY_NAME(commit_time)}) py::setattr(commit, name, now);
    for (PyObject* name : {PY_NAME(author_timezone), PY_NAME(commit_timezone)}) {
        py::setattr(commit, name, py::integer(0));
    }
    py::setattr(commit, PY_NAME(message), work.message(lost_commits));
    py::call_method(work.store, PY_NAME(add_object), commit);
    Ref name = add_discarded_ref(py::getattr(repo, PY_NAME(refs)), py::getattr(commit, PY_NAME(id)));
    log(self, PY_NAME(warning), "强制拉取将丢弃的本地内容（未提交的更改或远程没有的提交）已保存到 ", name,
        "，可用 git show ", name, " 查看");
}

}  // namespace sections::git
