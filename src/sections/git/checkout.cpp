// The checkout of a merge or a clone (checkout.hpp): natively (checkout_files.hpp), or
// through dulwich's update_working_tree and reset_index.
#include "checkout.hpp"
#include "checkout_files.hpp"
#include "objects.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

#include <cctype>
#include <optional>

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

void check_out(Call& c, PyObject* self, PyObject* repo, PyObject* old_tree, PyObject* new_tree, PyObject* changes,
               bool force, const std::function<void()>& before_writing) {
    if (check_out_natively(c, repo, old_tree, new_tree, force, false, before_writing)) return;
    if (!force) refuse_overwrites(c, self, repo, changes);
    if (before_writing) before_writing();
    Ref iterator = Ref::steal(PyObject_GetIter(changes));
    py::call_kw(dulwich_attr("dulwich.index", PY_NAME(update_working_tree)), {repo, old_tree, new_tree},
                {{PY_NAME(change_iterator), iterator},
                 {PY_NAME(blob_normalizer), py::call_method(repo, PY_NAME(get_blob_normalizer))},
                 {PY_NAME(allow_overwrite_modified), py::boolean(force)}});
}

void check_out_clone(Call& c, PyObject* repo) {
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
    Ref config = py::call_method(repo, PY_NAME(get_config_stack));
    Ref worktree = py::getattr_optional(repo, PY_NAME(get_worktree)) ? py::call_method(repo, PY_NAME(get_worktree))
                                                                     : Ref::borrow(repo);
    py::call_kw(py::getattr(worktree, PY_NAME(reset_index)), {}, {{PY_NAME(config), config}});
}

}  // namespace sections::git
