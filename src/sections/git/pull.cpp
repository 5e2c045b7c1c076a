// Pull: fetch from the remote, then merge its commit into the working copy.
#include "lock.hpp"
#include "operator.hpp"
#include "refs.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

namespace sections::git {
namespace {

constexpr py::Params pull_params{"self, commit_hash=None, accept_remote=True"};
constexpr py::Params update_params{"self, accept_remote=True"};

bool is_divergence(PyObject* exc) {
    if (contains(py::str(exc), PY_STR("DivergedBranches"))) return true;
    PyObject* mro = Py_TYPE(exc)->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (py::equal(name, PY_STR("DivergedBranches"))) return true;
    }
    return false;
}

Ref pull(Call& c) {
    auto [self, commit_hash, accept_remote] = c.args<pull_params>();
    WorkingCopyLock lock(c, self, WorkingCopyLock::Missing::Make);
    if (py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        Ref repo_info = py::call_method(self, PY_NAME(get_repo_info));
        if (commit_hash == Py_None ||
            py::truthy(Ref::steal(PyObject_RichCompare(py::getitem(repo_info, PY_STR("commit_hash")), commit_hash,
                                                       Py_NE)))) {
            log(self, PY_NAME(debug), "目录已存在并且本地不是最新的，开始拉取更新...");
            return py::call_kw(py::getattr(self, SELF_METHOD(update_repository)), {},
                               {{PY_NAME(accept_remote), accept_remote}});
        }
        return py::none();
    }
    log(self, PY_NAME(debug), "目录不存在，开始克隆仓库...");
    make_dirs(c, py::getattr(self, PY_NAME(local_dir)));
    return py::call_method(self, SELF_METHOD(clone_repository));
}

// ---- merging the fetched commit ---------------------------------------------------------
//
// The merge is done here, not by porcelain.pull: up to dulwich 0.24.x a pull refused
// by a local change has already moved the branch, and no release checks out anything
// into a repository whose branch is not born yet (what a failed clone left). The
// fetched commit is checked out over the old HEAD's tree with dulwich's own
// update_working_tree, and the branch moves only once index and files have followed.

Ref tree_of(PyObject* repo, PyObject* commit_id) { return py::getattr(py::getitem(repo, commit_id), PY_NAME(tree)); }

// The path of one side of a tree change; None for a side that is absent.
Ref change_path(PyObject* side) {
    if (side == Py_None) return py::none();
    return py::getattr(side, PY_NAME(path));
}

[[noreturn]] void refuse_merge(PyObject* path, const char* what) {
    Ref name = py::call_method(path, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"));
    Ref text = py::concat(what, " '", name, "' would be overwritten by merge. Please commit your changes or stash "
                          "them before you merge.");
    py::raise_object(py::call(dulwich_attr("dulwich.errors", PY_NAME(WorkingTreeModifiedError)), text));
}

// What a fast-forward (not forced) must not overwrite beyond what update_working_tree
// checks itself (the files against the old tree): a staged change on a path the
// merge changes, and an untracked file where the merge adds one. git refuses both.
void refuse_overwrites(Call& c, PyObject* self, PyObject* repo, PyObject* changes) {
    Ref index = py::call_method(repo, PY_NAME(open_index));
    Ref root = py::getattr(self, PY_NAME(local_dir));
    py::for_each(changes, [&](PyObject* change) {
        Ref old_side = py::getattr(change, PY_NAME(old));
        Ref new_side = py::getattr(change, PY_NAME(new));
        Ref old_path = change_path(old_side);
        Ref path = old_path != Py_None ? old_path.copy() : change_path(new_side);
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

// HEAD's branch (or a detached HEAD) moves to `target`, the remote's commit, with the
// working tree and index following. Forced, the remote wins over local commits and
// over local changes on the paths it changes; otherwise only a fast-forward is made,
// a local history ahead of the remote is kept, and a diverged one raises
// DivergedBranches -- with branch, index and files as they were.
void merge_remote(Call& c, PyObject* self, PyObject* target, bool force) {
    Ref repo = py::getattr(self, PY_NAME(repo));
    Ref refs = py::getattr(repo, PY_NAME(refs));
    auto [head_name, old] = resolve_ref(refs, bytes("HEAD"));
    if (old != Py_None && py::equal(old, target)) return;
    if (!force && old != Py_None) {
        Ref can_fast_forward = dulwich_attr("dulwich.graph", PY_NAME(can_fast_forward));
        if (py::truthy(py::call(can_fast_forward, repo, target, old))) return;  // the local history is ahead
        if (!py::truthy(py::call(can_fast_forward, repo, old, target))) {
            Ref diverged = py::getattr_optional(c.global(PY_NAME(porcelain)), PY_NAME(DivergedBranches));
            if (!diverged) diverged = dulwich_attr("dulwich.porcelain", PY_NAME(DivergedBranches));
            py::raise_object(py::call(diverged, old, target));
        }
    }
    Ref old_tree = old != Py_None ? tree_of(repo, old) : py::none();
    Ref new_tree = tree_of(repo, target);
    Ref changes = Ref::steal(PySequence_List(py::call(dulwich_attr("dulwich.diff_tree", PY_NAME(tree_changes)),
                                                      py::getattr(repo, PY_NAME(object_store)), old_tree, new_tree)));
    if (!force) refuse_overwrites(c, self, repo, changes);
    Ref iterator = Ref::steal(PyObject_GetIter(changes));
    py::call_kw(dulwich_attr("dulwich.index", PY_NAME(update_working_tree)), {repo, old_tree, new_tree},
                {{PY_NAME(change_iterator), iterator},
                 {PY_NAME(blob_normalizer), py::call_method(repo, PY_NAME(get_blob_normalizer))},
                 {PY_NAME(allow_overwrite_modified), py::boolean(force)}});
    set_ref(refs, head_name, old, target, force ? "pull: forced update to the remote's commit" : "pull: Fast-forward");
}

// Fetch, then merge; the remote wins unless accept_remote is false.
void fetch_and_merge(Call& c, PyObject* self, PyObject* auth_url, PyObject* accept_remote) {
    Ref fetch_result = remote_call(c, self, PY_NAME(fetch), auth_url, {py::getattr(self, PY_NAME(repo))},
                                   {{PY_NAME(remote_location), auth_url}});
    if (!py::truthy(py::getattr(fetch_result, PY_NAME(refs)))) {
        log(self, PY_NAME(debug), "仓库已经是最新版本，无需更新");
        return;
    }
    log(self, PY_NAME(debug), "成功拉取更新");
    Ref remote_refs = py::getattr(fetch_result, PY_NAME(refs));
    Ref count = py::integer(py::check(PyObject_Size(remote_refs)));
    log(self, PY_NAME(debug), "获取到的对象: ", count);
    if (PyDict_Check(remote_refs)) {
        Ref refs = py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(refs));
        Ref items = Ref::steal(PyDict_Items(remote_refs));
        py::for_each(items, [&](PyObject* item) {
            set_tracking_ref(refs, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), "fetch: fast-forward");
        });
    }
    Ref target = py::getitem(remote_refs, bytes("HEAD"));
    if (py::truthy(accept_remote)) {
        log(self, PY_NAME(debug), "将强制接受远程更改，放弃本地冲突文件");
        merge_remote(c, self, target, true);
        log(self, PY_NAME(debug), "已强制合并远程更改");
        return;
    }
    py::try_except(
        PyExc_Exception,
        [&] {
            merge_remote(c, self, target, false);
            log(self, PY_NAME(debug), "成功合并更新");
        },
        [&](PyObject* e) {
            if (is_divergence(e)) {
                log(self, PY_NAME(debug), "分支已分叉，需要手动解决冲突");
                py::raise(PyExc_Exception, "分支已分叉，需要手动解决冲突。如需强制接受远程更改，请设置 accept_remote=True");
            }
            py::raise_object(e);
        });
}

Ref update_repository(Call& c) {
    auto [self, accept_remote] = c.args<update_params>();
    Ref auth_url = py::call_method(self, SELF_METHOD(get_auth_url));
    Ref refs = py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(refs));
    Ref head_ref = py::call_method(refs, PY_NAME(read_ref), bytes("HEAD"));
    if (py::truthy(head_ref)) {
        Ref current_branch = branch_of(py::call_method(head_ref, PY_NAME(decode)));
        log(self, PY_NAME(debug), "当前分支: ", current_branch);
    } else {
        log(self, PY_NAME(debug), "无法确定当前分支");
    }
    log(self, PY_NAME(debug), "开始拉取远程更新...");
    return py::try_except(
        PyExc_Exception,
        [&] {
            fetch_and_merge(c, self, auth_url, accept_remote);
            return py::boolean(true);
        },
        [&](PyObject* e) {
            log(self, PY_NAME(error), "更新仓库失败: ", e);
            return py::boolean(false);
        });
}

}  // namespace

const py::FunctionDef pull_def{
    "pull", "GitRepoOperator.pull",
    "拉取远程仓库更新\n" ARGS_DOC ENTRY_DOC "commit_hash: 指定要拉取的提交哈希，None表示拉取最新\n" ENTRY_DOC
    "accept_remote: 是否接受远程更改，放弃本地冲突文件，默认True\n" END_DOC,
    py::impl<pull, pull_params>};
const py::FunctionDef update_repository_def{
    "__update_repository", "GitRepoOperator.__update_repository",
    "更新仓库\n" ARGS_DOC ENTRY_DOC "accept_remote: 是否接受远程更改，放弃本地冲突文件，默认True\n" END_DOC,
    py::impl<update_repository, update_params>};

}  // namespace sections::git
