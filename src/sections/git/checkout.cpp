// The checkout of a merge or a clone (checkout.hpp): natively (checkout_files.hpp), or
// through dulwich's update_working_tree. dulwich holds a blob whole (several times
// over) while writing it, so there a blob of kStreamedFile bytes or more that is a
// plain file with nothing to convert goes from its pack to the disk a piece at a time
// here. And its update_working_tree records a new submodule with a folder's mode and
// writes a ".git" file into its folder, pointing at a repository that is not there:
// here a submodule is an empty folder and a gitlink in the index, as git's clone and
// checkout leave it.
#include "checkout.hpp"
#include "checkout_files.hpp"
#include "objects.hpp"
#include "pack.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

#include <cctype>
#include <optional>
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

// Blobs this large are written a piece at a time (where they need no conversion).
constexpr std::uint64_t kStreamedFile = 16u << 20;

bool object_id(PyObject* hex, ObjectId& out) {
    return PyBytes_Check(hex) &&
           from_hex(std::string_view(PyBytes_AS_STRING(hex), std::size_t(PyBytes_GET_SIZE(hex))), out);
}

Ref path_bytes(const std::string& path) {
    return Ref::steal(PyBytes_FromStringAndSize(path.data(), Py_ssize_t(path.size())));
}

[[noreturn]] void invalid_path(const std::string& path) {
    Ref cls = py::getattr_optional(Ref::steal(PyImport_ImportModule("dulwich.index")), PY_NAME(InvalidPathError));
    if (!cls) cls = Ref::borrow(PyExc_ValueError);
    py::raise_object(py::call(cls, path_bytes(path)));
}

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

// dulwich's checkout, with the large files and submodules it would get wrong written
// here instead.
class OwnEntries {
public:
    OwnEntries(Call& c, PyObject* self, PyObject* repo) : c_(c), self_(self), repo_(repo) {}

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
        if (blobs_->large_blob_size(sha, kStreamedFile) == 0) return false;
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


// The working tree of `repo` going from `old_tree` (None: nothing checked out) to
// `new_tree` (tree names, 40-digit bytes), written here; false, nothing written, where
// only dulwich's checkout serves. The index is held under its lock throughout.
bool check_out_natively(Call& c, PyObject* repo, PyObject* old_tree, PyObject* new_tree, bool force, bool fresh,
                        const std::function<void()>& before_writing) {
    CheckoutOptions options;
    std::string index_path;
    ObjectId old_id{}, new_id{};
    if (!native_worktree(c, repo, options.tree, index_path) || !object_id(new_tree, new_id) ||
        (old_tree != Py_None && !object_id(old_tree, old_id))) {
        return false;
    }
    Ref config = py::call_method(repo, PY_NAME(get_config_stack));
    if (config_bool(config, "sparsecheckout", false) || config_bool(config, "protecthfs", false)) return false;
    options.protect_ntfs = config_bool(config, "protectntfs", true);
    options.eol = config_text(config, "core", "eol");
    for (auto& ch : options.eol) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    options.force = force;
    options.fresh = fresh;
    // Absolute, so that long paths reach Windows' wide-character calls whole.
    options.tree.root = native_path(os_path(c, PY_NAME(abspath), py::getattr(repo, PY_NAME(path))));

    // The objects are read here from dulwich's own store on disk; what it keeps
    // elsewhere (alternates, an old pack index), and any other store, through get_raw.
    Ref store = py::getattr(repo, PY_NAME(object_store));
    std::optional<ObjectReader> objects;
    if (Py_TYPE(store.get()) ==
        reinterpret_cast<PyTypeObject*>(dulwich_attr("dulwich.object_store", PY_NAME(DiskObjectStore)).get())) {
        objects.emplace(native_path(py::getattr(store, PY_NAME(path))));
    }
    const ReadTyped read = [&](const ObjectId& id, int type) {
        std::string content;
        int found = 0;
        if (objects && objects->read(id, found, content)) {
            if (found != type) {
                const std::string hex = to_hex(id);
                py::raise_format(PyExc_ValueError, "object %s has type %d where a checkout needs type %d", hex.c_str(),
                                 found, type);
            }
            return content;
        }
        Ref raw = py::call_method(store, PY_NAME(get_raw), hex_bytes(id));
        if (!PyTuple_Check(raw) || PyTuple_GET_SIZE(raw.get()) != 2 || !PyBytes_Check(PyTuple_GET_ITEM(raw.get(), 1))) {
            py::raise(PyExc_TypeError, "object_store.get_raw() gave no (type, bytes)");
        }
        const long got = PyLong_AsLong(PyTuple_GET_ITEM(raw.get(), 0));
        if (got == -1 && PyErr_Occurred()) py::fail();
        if (got != type) {
            const std::string hex = to_hex(id);
            py::raise_format(PyExc_ValueError, "object %s has type %ld where a checkout needs type %d", hex.c_str(),
                             got, type);
        }
        PyObject* data = PyTuple_GET_ITEM(raw.get(), 1);
        return std::string(PyBytes_AS_STRING(data), std::size_t(PyBytes_GET_SIZE(data)));
    };
    const WorktreeHooks hooks = status_hooks(c, repo, options.tree.root);

    fs::LockFile lock(index_path);
    Index index = read_index(index_path);
    const FlatTree target = read_tree(new_id, read);
    std::optional<FlatTree> before;
    if (old_tree != Py_None) before = read_tree(old_id, read);
    StreamBlob stream;
    if (objects) {
        stream = [&](const ObjectId& id, const ObjectReader::Sink& sink) {
            return objects->stream_blob(id, kStreamedFile, sink);
        };
    }
    Checkout checkout(options, index, read, hooks, std::move(stream));
    const Refusal refusal = checkout.plan(before ? &*before : nullptr, target);
    switch (refusal.kind) {
        case Refusal::None: break;
        case Refusal::Unsupported: return false;
        case Refusal::InvalidPath: invalid_path(refusal.path);
        case Refusal::LocalChange: refuse_merge(path_bytes(refusal.path), "Your local changes to");
        case Refusal::StagedFile: refuse_merge(path_bytes(refusal.path), "Your staged file");
        case Refusal::UntrackedFile: refuse_merge(path_bytes(refusal.path), "The untracked file");
    }
    if (before_writing) before_writing();
    checkout.apply();
    checkout.write_index(lock);
    lock.commit();
    return true;
}

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

namespace {

// The checkout through dulwich's update_working_tree, with the large files and
// submodules written here.
void check_out_with_dulwich(Call& c, PyObject* self, PyObject* repo, PyObject* old_tree, PyObject* new_tree,
                            PyObject* changes, bool force, const std::function<void()>& before_writing) {
    if (!force) refuse_overwrites(c, self, repo, changes);
    OwnEntries own(c, self, repo);
    Ref rest = own.take_own(changes);
    if (!force) own.refuse_modified();
    if (before_writing) before_writing();
    Ref iterator = Ref::steal(PyObject_GetIter(rest));
    py::call_kw(dulwich_attr("dulwich.index", PY_NAME(update_working_tree)), {repo, old_tree, new_tree},
                {{PY_NAME(change_iterator), iterator},
                 {PY_NAME(blob_normalizer), py::call_method(repo, PY_NAME(get_blob_normalizer))},
                 {PY_NAME(allow_overwrite_modified), py::boolean(force)}});
    own.write_own();
}

}  // namespace

void check_out(Call& c, PyObject* self, PyObject* repo, PyObject* old_tree, PyObject* new_tree, PyObject* changes,
               bool force, const std::function<void()>& before_writing) {
    if (check_out_natively(c, repo, old_tree, new_tree, force, false, before_writing)) return;
    check_out_with_dulwich(c, self, repo, old_tree, new_tree, changes, force, before_writing);
}

void check_out_clone(Call& c, PyObject* self, PyObject* repo) {
    Ref head = py::try_except(
        PyExc_KeyError, [&] { return py::getitem(repo, bytes("HEAD")); }, [&](PyObject*) { return Ref(); });
    if (!head) return;
    // A HEAD naming a tag stands for what the tag names.
    Ref tag_type = dulwich_attr("dulwich.objects", PY_NAME(Tag));
    for (int depth = 0; py::check(PyObject_IsInstance(head, tag_type)) && depth < 16; ++depth) {
        Ref target = py::getitem(py::getattr(head, PY_NAME(object)), py::integer(1));
        head = py::getitem(repo, target);
    }
    Ref tree = py::getattr(head, PY_NAME(tree));
    if (check_out_natively(c, repo, Py_None, tree, true, true, {})) return;
    // Forced: the folder holds nothing yet that could be overwritten.
    check_out_with_dulwich(c, self, repo, Py_None, tree, tree_changes(repo, Py_None, tree), true, {});
}

}  // namespace sections::git
