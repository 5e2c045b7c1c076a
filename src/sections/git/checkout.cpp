// The checkout of a merge or a clone (checkout.hpp), through dulwich's
// update_working_tree, but for large files and submodules. dulwich holds a blob whole
// (several times over) while writing it, so a blob of kLargeFile bytes or more that is
// a plain file with nothing to convert goes from its pack to the disk a piece at a
// time here. And its update_working_tree records a new submodule with a folder's mode
// and writes a ".git" file into its folder, pointing at a repository that is not
// there: here a submodule is an empty folder and a gitlink in the index, as git's
// clone and checkout leave it.
#include "checkout.hpp"
#include "pack.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

#include <vector>

namespace sections::git {
namespace {

// The path of one side of a tree change; None for a side that is absent.
Ref side_path(PyObject* side) {
    if (side == Py_None) return py::none();
    return py::getattr(side, PY_NAME(path));
}

[[noreturn]] void refuse_merge(PyObject* path, const char* what) {
    Ref name = py::call_method(path, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"));
    Ref text = py::concat(what, " '", name, "' would be overwritten by merge. Please commit your changes or stash "
                          "them before you merge.");
    py::raise_object(py::call(dulwich_attr("dulwich.errors", PY_NAME(WorkingTreeModifiedError)), text));
}

// What a checkout that is not forced must not overwrite beyond what
// update_working_tree checks itself (the files against the old tree): a staged change
// on a path that changes, and an untracked file where one is added. git refuses both.
void refuse_overwrites(Call& c, PyObject* self, PyObject* repo, PyObject* changes) {
    Ref index = py::call_method(repo, PY_NAME(open_index));
    Ref root = py::getattr(self, PY_NAME(local_dir));
    py::for_each(changes, [&](PyObject* change) {
        Ref old_side = py::getattr(change, PY_NAME(old));
        Ref old_path = side_path(old_side);
        Ref path = change_path(change);
        if (path == Py_None) return;
        const bool indexed = py::check(PySequence_Contains(index, path)) != 0;
        if (old_path == Py_None) {
            if (indexed) refuse_merge(path, "Your staged file");
            auto [file, key] = entry_paths(c, root, path);
            if (file && py::truthy(os_path(c, PY_NAME(lexists), file))) refuse_merge(path, "The untracked file");
            return;
        }
        Ref staged = indexed ? py::getattr(py::getitem(index, path), PY_NAME(sha)) : py::none();
        if (!py::equal(staged, py::getattr(old_side, PY_NAME(sha)))) refuse_merge(path, "Your local changes to");
    });
}

constexpr std::uint64_t kLargeFile = 16 << 20;
constexpr long kTypeMask = 0170000;
constexpr long kRegularFile = 0100000;
constexpr long kGitlink = 0160000;

// A change whose new side is written here (a large file or a submodule): its path in
// the tree and on disk, the object's name and the mode.
struct OwnEntry {
    Ref change;
    Ref path;
    Ref file;
    Ref sha;
    long mode;
};

// The working copy's checkout, with the large files and submodules it writes itself.
class Checkout {
public:
    Checkout(Call& c, PyObject* self, PyObject* repo) : c_(c), self_(self), repo_(repo) {}

    // `changes` without those whose new side is written here: a submodule, and a
    // large file (a regular file whose blob is packed, whose path converts nothing --
    // no filter, no line endings -- and is valid, below real folders, with no folder
    // in its place).
    Ref take_own(PyObject* changes) {
        Ref rest = py::new_list();
        const bool large_files = streams();
        py::for_each(changes, [&](PyObject* change) {
            if (!is_submodule(change) && !(large_files && is_large(change))) py::append(rest, change);
        });
        return rest;
    }

    // Not forced: a large file about to be replaced or removed that differs from the
    // old tree refuses the checkout, as dulwich refuses the others.
    void refuse_modified() {
        Ref index;
        for (const OwnEntry& large : large_) {
            Ref old_side = py::getattr(large.change, PY_NAME(old));
            if (old_side == Py_None) continue;
            Ref st = py::try_except(
                PyExc_FileNotFoundError, [&] { return py::call_method(c_.global(PY_NAME(os)), PY_NAME(lstat), large.file); },
                [&](PyObject*) { return Ref(); });
            if (!st || (PyLong_AsLong(py::getattr(st, PY_NAME(st_mode))) & kTypeMask) != kRegularFile) continue;
            Ref old_sha = py::getattr(old_side, PY_NAME(sha));
            const long old_mode = PyLong_AsLong(py::getattr(old_side, PY_NAME(mode)));
            const long st_mode = PyLong_AsLong(py::getattr(st, PY_NAME(st_mode)));
            bool same = ((st_mode & 0100) != 0) == ((old_mode & 0100) != 0);
            if (same) {
                if (!index) index = py::call_method(repo_, PY_NAME(open_index));
                Ref entry = py::try_except(
                    PyExc_KeyError, [&] { return py::getitem(index, large.path); }, [&](PyObject*) { return Ref(); });
                same = (entry && py::equal(py::getattr(entry, PY_NAME(sha)), old_sha) &&
                        py::equal(py::getattr(entry, PY_NAME(size)), py::getattr(st, PY_NAME(st_size))) &&
                        stat_time_matches(entry, st)) ||
                       py::equal(file_blob_id(large.file), old_sha);
            }
            if (!same) {
                Ref name = py::call_method(large.path, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"));
                Ref text = py::concat("Your local changes to '", name, "' would be overwritten by checkout. Please "
                                      "commit your changes or stash them before you switch branches.");
                py::raise_object(py::call(dulwich_attr("dulwich.errors", PY_NAME(WorkingTreeModifiedError)), text));
            }
        }
    }

    // The submodules' folders made and the large files written (each to a temporary
    // file beside it, then moved in place), all recorded in the index.
    void write_own() {
        if (large_.empty() && submodules_.empty()) return;
        Ref os = c_.global(PY_NAME(os));
        Ref mkstemp = py::getattr(Ref::steal(PyImport_ImportModule("tempfile")), PY_NAME(mkstemp));
        Ref entry_from_stat = dulwich_attr("dulwich.index", PY_NAME(index_entry_from_stat));
        Ref index = py::call_method(repo_, PY_NAME(open_index));
        for (const OwnEntry& submodule : submodules_) {
            Ref st = py::try_except(
                PyExc_FileNotFoundError, [&] { return py::call_method(os, PY_NAME(lstat), submodule.file); },
                [&](PyObject*) { return Ref(); });
            if (st && (PyLong_AsLong(py::getattr(st, PY_NAME(st_mode))) & kTypeMask) != 0040000) {
                py::call_method(os, PY_NAME(remove), submodule.file);  // a file where the folder goes
                st = Ref();
            }
            if (!st) {
                make_dirs(c_, submodule.file);
                st = py::call_method(os, PY_NAME(lstat), submodule.file);
            }
            py::setitem(index, submodule.path,
                        py::call_kw(entry_from_stat, {st, submodule.sha}, {{PY_NAME(mode), py::integer(kGitlink)}}));
        }
        for (const OwnEntry& large : large_) {
            Ref folder = os_path(c_, PY_NAME(dirname), large.file);
            make_dirs(c_, folder);
            Ref prefix = py::concat(".", os_path(c_, PY_NAME(basename), large.file), ".");
            auto [fd, temporary] =
                py::unpack2(py::call_kw(mkstemp, {}, {{PY_NAME(dir), folder}, {PY_NAME(prefix), prefix}}));
            try {
                py::with_context(py::call_method(os, PY_NAME(fdopen), fd, PY_STR("wb")),
                                 [&](PyObject* f) { blobs_->write_blob(large.sha, f); });
                py::call_method(os, PY_NAME(chmod), temporary, py::integer(large.mode == 0100755 ? 0755 : 0644));
                py::call_method(os, PY_NAME(replace), temporary, large.file);
            } catch (const py::PythonError&) {
                py::Caught caught;
                try {
                    if (py::truthy(os_path(c_, PY_NAME(lexists), temporary))) py::call_method(os, PY_NAME(remove), temporary);
                } catch (const py::PythonError&) {
                    PyErr_Clear();  // the write's own error is the one to report
                }
                caught.reraise();
            }
            Ref st = py::call_method(os, PY_NAME(lstat), large.file);
            py::setitem(index, large.path,
                        py::call_kw(entry_from_stat, {st, large.sha}, {{PY_NAME(mode), py::integer(large.mode)}}));
        }
        py::call_method(index, PY_NAME(write));
    }

private:
    // Whether large files can be written here at all: not in a sparse checkout (whose
    // index entries dulwich alone keeps), and with dulwich's filters to ask.
    bool streams() {
        Ref config = py::call_method(repo_, PY_NAME(get_config_stack));
        if (py::truthy(py::call_method(config, PY_NAME(get_boolean), py::tuple(bytes("core")), bytes("sparseCheckout"),
                                       Py_False))) {
            return false;
        }
        Ref store = py::getattr_optional(repo_, PY_NAME(object_store));
        if (!store) return false;
        normalizer_ = py::call_method(repo_, PY_NAME(get_blob_normalizer));
        filter_for_path_ = dulwich_attr("dulwich.filters", PY_NAME(get_filter_for_path));
        validator_ = py::call(dulwich_attr("dulwich.index", PY_NAME(get_path_element_validator)), config);
        root_ = py::getattr(self_, PY_NAME(local_dir));
        root_bytes_ = Ref::steal(PyUnicode_EncodeFSDefault(py::str(root_)));
        blobs_ = std::make_unique<PackedBlobs>(store);
        return true;
    }

    bool is_submodule(PyObject* change) {
        Ref new_side = py::getattr(change, PY_NAME(new));
        if (new_side == Py_None || (PyLong_AsLong(py::getattr(new_side, PY_NAME(mode))) & kTypeMask) != kGitlink) {
            return false;
        }
        Ref path = py::getattr(new_side, PY_NAME(path));
        if (!validator_) validator_ = py::call(dulwich_attr("dulwich.index", PY_NAME(get_path_element_validator)),
                                               py::call_method(repo_, PY_NAME(get_config_stack)));
        if (!root_) {
            root_ = py::getattr(self_, PY_NAME(local_dir));
            root_bytes_ = Ref::steal(PyUnicode_EncodeFSDefault(py::str(root_)));
        }
        if (!path_is_safe(path)) return false;  // dulwich refuses it
        auto [file, key] = entry_paths(c_, root_, path);
        if (!file) return false;
        submodules_.push_back({Ref::borrow(change), std::move(path), std::move(file),
                               py::getattr(new_side, PY_NAME(sha)), kGitlink});
        return true;
    }

    bool path_is_safe(PyObject* path) {
        if (!verify_tree_path_) verify_tree_path_ = dulwich_attr("dulwich.index", PY_NAME(verify_tree_path));
        return py::try_except(
            PyExc_Exception,
            [&] {
                py::call(verify_tree_path_, path, validator_, py::new_list(), root_bytes_);
                return true;
            },
            [&](PyObject*) { return false; });
    }

    bool is_large(PyObject* change) {
        Ref new_side = py::getattr(change, PY_NAME(new));
        if (new_side == Py_None) return false;
        const long mode = PyLong_AsLong(py::getattr(new_side, PY_NAME(mode)));
        if ((mode & kTypeMask) != kRegularFile) return false;
        Ref sha = py::getattr(new_side, PY_NAME(sha));
        if (blobs_->large_blob_size(sha, kLargeFile) == 0) return false;
        Ref path = py::getattr(new_side, PY_NAME(path));
        Ref filter = py::call_kw(filter_for_path_, {path, py::getattr(normalizer_, PY_NAME(gitattributes))},
                                 {{PY_NAME(filter_context), py::getattr(normalizer_, PY_NAME(filter_context))}});
        if (filter != Py_None || !path_is_safe(path)) return false;
        auto [file, key] = entry_paths(c_, root_, path);
        if (!file || py::truthy(os_path(c_, PY_NAME(isdir), file))) return false;
        large_.push_back({Ref::borrow(change), std::move(path), std::move(file), std::move(sha), mode});
        return true;
    }

    static bool stat_time_matches(PyObject* entry, PyObject* st) {
        Ref recorded = py::getattr(entry, PY_NAME(mtime));
        if (!PyTuple_Check(recorded) || PyTuple_GET_SIZE(recorded.get()) != 2) return false;
        Ref seconds = Ref::steal(PyNumber_Multiply(PyTuple_GET_ITEM(recorded.get(), 0), py::integer(1'000'000'000)));
        return py::equal(Ref::steal(PyNumber_Add(seconds, PyTuple_GET_ITEM(recorded.get(), 1))),
                         py::getattr(st, PY_NAME(st_mtime_ns)));
    }

    Call& c_;
    PyObject* self_;
    PyObject* repo_;
    Ref normalizer_, filter_for_path_, validator_, verify_tree_path_, root_, root_bytes_;
    std::unique_ptr<PackedBlobs> blobs_;
    std::vector<OwnEntry> large_;
    std::vector<OwnEntry> submodules_;
};

}  // namespace

Ref tree_changes(PyObject* repo, PyObject* old_tree, PyObject* new_tree) {
    Ref changes = py::call(dulwich_attr("dulwich.diff_tree", PY_NAME(tree_changes)),
                           py::getattr(repo, PY_NAME(object_store)), old_tree, new_tree);
    return Ref::steal(PySequence_List(changes));
}

Ref change_path(PyObject* change) {
    Ref path = side_path(py::getattr(change, PY_NAME(old)));
    return path != Py_None ? std::move(path) : side_path(py::getattr(change, PY_NAME(new)));
}

void check_out(Call& c, PyObject* self, PyObject* repo, PyObject* old_tree, PyObject* new_tree, PyObject* changes,
               bool force) {
    if (!force) refuse_overwrites(c, self, repo, changes);
    Checkout checkout(c, self, repo);
    Ref rest = checkout.take_own(changes);
    if (!force) checkout.refuse_modified();
    Ref iterator = Ref::steal(PyObject_GetIter(rest));
    py::call_kw(dulwich_attr("dulwich.index", PY_NAME(update_working_tree)), {repo, old_tree, new_tree},
                {{PY_NAME(change_iterator), iterator},
                 {PY_NAME(blob_normalizer), py::call_method(repo, PY_NAME(get_blob_normalizer))},
                 {PY_NAME(allow_overwrite_modified), py::boolean(force)}});
    checkout.write_own();
}

}  // namespace sections::git
