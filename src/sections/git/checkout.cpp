// The checkout of a merge or a clone (checkout.hpp), through dulwich's
// update_working_tree.
#include "checkout.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

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
    Ref iterator = Ref::steal(PyObject_GetIter(changes));
    py::call_kw(dulwich_attr("dulwich.index", PY_NAME(update_working_tree)), {repo, old_tree, new_tree},
                {{PY_NAME(change_iterator), iterator},
                 {PY_NAME(blob_normalizer), py::call_method(repo, PY_NAME(get_blob_normalizer))},
                 {PY_NAME(allow_overwrite_modified), py::boolean(force)}});
}

}  // namespace sections::git
