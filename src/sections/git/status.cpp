// The working copy's status as git sees it (status.hpp).
#include "status.hpp"

#include "runtime/handler.hpp"

namespace sections::git {
namespace {

constexpr py::Params check_if_dirty_params{"self, repo"};

constexpr long kGitlinkMode = 0160000;

// A checked-out submodule agrees with its gitlink when its HEAD is the recorded
// commit; one not checked out (no .git inside) always does, as git sees it.
bool submodule_matches(Call& c, PyObject* folder, PyObject* recorded) {
    if (!py::truthy(os_path(c, PY_NAME(exists), os_path(c, PY_NAME(join), folder, PY_STR(".git"))))) return true;
    return py::try_except(
        PyExc_Exception,
        [&] {
            bool same = false;
            py::with_context(py::call(c.global(PY_NAME(Repo)), folder), [&](PyObject* sub) {
                same = py::equal(py::call_method(sub, PY_NAME(head)), recorded);
            });
            return same;
        },
        [&](PyObject*) { return false; });
}

// The index entry of `key` when it is a gitlink (a submodule's commit), else empty.
Ref gitlink_entry(Ref& index, PyObject* repo, PyObject* key) {
    if (!index) index = py::call_method(repo, PY_NAME(open_index));
    Ref indexed = py::try_except(
        PyExc_KeyError, [&] { return py::getitem(index, key); }, [&](PyObject*) { return Ref(); });
    Ref mode = indexed ? py::getattr_optional(indexed, PY_NAME(mode)) : Ref();
    const long mode_bits = mode && PyLong_Check(mode) ? PyLong_AsLong(mode) : 0;
    return (mode_bits & 0170000) == kGitlinkMode ? std::move(indexed) : Ref();
}

// dulwich lists a checked-out submodule's folder as untracked ("lib/"); git does not,
}  // namespace

bool staged_lists_filled(PyObject* staged) {
    Ref lists = Ref::steal(PyDict_Values(staged));
    bool filled = false;
    py::for_each(lists, [&](PyObject* list) {
        filled = py::truthy(list);
        return !filled;
    });
    return filled;
}


std::pair<Ref, Ref> entry_paths(Call& c, PyObject* root, PyObject* entry) {
    Ref key;
    if (PyBytes_Check(entry)) {
        key = Ref::borrow(entry);
    } else if (PyUnicode_Check(entry)) {
        key = Ref::steal(PyUnicode_EncodeFSDefault(entry));
    } else {
        return {};
    }
    PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(key.get()), PyBytes_GET_SIZE(key.get()));
    if (!decoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) py::fail();
        PyErr_Clear();
        return {};
    }
    Ref name = Ref::steal(decoded);
    return {os_path(c, PY_NAME(join), root, name), std::move(key)};
}

Ref untracked_as_git_sees(Call& c, PyObject* self, PyObject* repo, PyObject* untracked) {
    if (!PyList_Check(untracked)) return Ref::borrow(untracked);
    Ref kept = py::new_list();
    Ref index;
    Ref root;
    py::for_each(untracked, [&](PyObject* entry) {
        if (!root) root = py::getattr(self, PY_NAME(local_dir));
        auto [path, key] = entry_paths(c, root, entry);
        if (path && py::truthy(os_path(c, PY_NAME(isdir), path))) {
            Ref folder = py::call_method(key, PY_NAME(rstrip), bytes("/"));
            if (gitlink_entry(index, repo, folder)) return;
        }
        py::append(kept, entry);
    });
    return kept;
}

// dulwich lists a gitlink as unstaged whenever its folder is there (a clone leaves it
// empty), where git sees no change. `unstaged` without the gitlinks git calls
Ref unstaged_as_git_sees(Call& c, PyObject* self, PyObject* repo, PyObject* unstaged, PyObject* gitlinks) {
    Ref kept = py::new_list();
    Ref index;
    Ref root;
    py::for_each(unstaged, [&](PyObject* entry) {
        if (!root) root = py::getattr(self, PY_NAME(local_dir));
        auto [path, key] = entry_paths(c, root, entry);
        if (!path || !py::truthy(os_path(c, PY_NAME(isdir), path))) {
            py::append(kept, entry);
            return;
        }
        Ref indexed = gitlink_entry(index, repo, key);
        if (!indexed) {
            py::append(kept, entry);
            return;
        }
        if (submodule_matches(c, path, py::getattr(indexed, PY_NAME(sha)))) return;
        py::append(kept, entry);
        if (gitlinks) py::check(PySet_Add(gitlinks, entry));
    });
    return kept;
}

namespace {

Ref check_if_dirty(Call& c) {
    auto [self, repo] = c.args<check_if_dirty_params>();
    Ref status = py::call(porcelain(c, PY_NAME(status)), repo);
    Ref staged = py::getattr(status, PY_NAME(staged));
    const bool has_staged =
        PyDict_Check(staged) ? staged_lists_filled(staged) : py::check(PyObject_Size(staged)) > 0;
    const bool has_unstaged =
        py::check(PyObject_Size(unstaged_as_git_sees(c, self, repo, py::getattr(status, PY_NAME(unstaged))))) > 0;
    return py::boolean(has_staged || has_unstaged);
}

}  // namespace

const py::FunctionDef check_if_dirty_def{"__check_if_dirty", "GitRepoOperator.__check_if_dirty",
                                         "检查工作目录是否有未提交的更改", py::impl<check_if_dirty, check_if_dirty_params>};

}  // namespace sections::git
