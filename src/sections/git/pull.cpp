// Pull: fetch from the remote, then merge its commit into the working copy.
#include "checkout.hpp"
#include "discarded.hpp"
#include "lock.hpp"
#include "operator.hpp"
#include "pack.hpp"
#include "refs.hpp"

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
// fetched commit is checked out over the old HEAD's tree (checkout.hpp), and the branch
// moves only once index and files have followed.

Ref tree_of(PyObject* repo, PyObject* commit_id) { return py::getattr(py::getitem(repo, commit_id), PY_NAME(tree)); }

// Is `ancestor` in the history of `descendant` (or the same commit)?
bool contains_commit(PyObject* repo, PyObject* descendant, PyObject* ancestor) {
    return py::truthy(py::call(dulwich_attr("dulwich.graph", PY_NAME(can_fast_forward)), repo, ancestor, descendant));
}

// What a pull merges: the remote's commit, and the branch HEAD is to name afterwards
// where that changes (an unborn branch following the remote's default branch).
struct MergeTarget {
    Ref commit;     // empty: nothing to merge
    Ref switch_to;  // b"refs/heads/<b>", or empty
};

// The branch HEAD names follows its own branch on the remote (its recorded upstream,
// else the remote's branch of the same name), never another one: where the remote
// lacks it, the branch stays where it is. A detached HEAD takes the remote's HEAD, as
// no branch moves. A branch without a commit yet, whose name the remote lacks (the
// clone of an empty repository, whose first push made another default branch), is
// left for the remote's default branch, as a clone would have checked out.
MergeTarget merge_target(PyObject* self, PyObject* repo, PyObject* fetch_result, PyObject* remote_refs) {
    Ref refs = py::getattr(repo, PY_NAME(refs));
    Ref head = py::call_method(refs, PY_NAME(read_ref), bytes("HEAD"));
    if (!starts_with(head, "ref: refs/heads/")) return {py::getitem(remote_refs, bytes("HEAD")), {}};
    Ref branch_ref = slice(head, 5, PY_SSIZE_T_MAX);
    Ref wanted = upstream_of(repo, branch_ref);
    if (Ref commit = remote_value(remote_refs, wanted)) return {std::move(commit), {}};
    Ref branch = py::call_method(slice(branch_ref, kBranchPrefix, PY_SSIZE_T_MAX), PY_NAME(decode), PY_STR("utf-8"),
                                 PY_STR("replace"));
    if (resolve_ref(refs, branch_ref).second == Py_None) {
        Ref symrefs = py::getattr_optional(fetch_result, PY_NAME(symrefs));
        Ref default_ref = symrefs && PyDict_Check(symrefs) ? py::dict_get(symrefs, bytes("HEAD")) : py::none();
        Ref commit = starts_with(default_ref, "refs/heads/") ? remote_value(remote_refs, default_ref) : Ref();
        if (commit && resolve_ref(refs, default_ref).second == Py_None) {
            log(self, PY_NAME(debug), "本地分支 ", branch, " 还没有提交，检出远程的默认分支 ",
                py::call_method(slice(default_ref, kBranchPrefix, PY_SSIZE_T_MAX), PY_NAME(decode), PY_STR("utf-8"),
                                PY_STR("replace")));
            return {std::move(commit), std::move(default_ref)};
        }
    }
    Ref wanted_name = py::call_method(wanted, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"));
    log(self, PY_NAME(warning), "远程仓库没有 ", wanted_name, "，本地分支 ", branch, " 保持不变");
    return {};
}

// HEAD's branch (or a detached HEAD) moves to `target.commit`, the remote's commit,
// with the working tree and index following. A branch that already contains that
// commit stays where it is. Forced, the remote wins over local commits and over local
// changes on the paths it changes, after what that discards has been kept
// (discarded.hpp); otherwise only a fast-forward is made, and a diverged history
// raises DivergedBranches -- with branch, index and files as they were.
void merge_remote(Call& c, PyObject* self, const MergeTarget& target, bool force) {
    Ref repo = py::getattr(self, PY_NAME(repo));
    Ref refs = py::getattr(repo, PY_NAME(refs));
    auto [head_name, old] = resolve_ref(refs, bytes("HEAD"));
    if (target.switch_to) head_name = target.switch_to.copy();
    if (old != Py_None && py::equal(old, target.commit)) return;
    if (old != Py_None && contains_commit(repo, old, target.commit)) {
        log(self, PY_NAME(debug), "本地分支已包含远程的提交，无需合并");
        return;
    }
    const bool behind = old == Py_None || contains_commit(repo, target.commit, old);
    if (!force && !behind) {
        Ref diverged = py::getattr_optional(c.global(PY_NAME(porcelain)), PY_NAME(DivergedBranches));
        if (!diverged) diverged = dulwich_attr("dulwich.porcelain", PY_NAME(DivergedBranches));
        py::raise_object(py::call(diverged, old, target.commit));
    }
    Ref old_tree = old != Py_None ? tree_of(repo, old) : py::none();
    Ref new_tree = tree_of(repo, target.commit);
    Ref changes = tree_changes(repo, old_tree, new_tree);
    // What a forced pull discards is kept once the checkout is known to go ahead.
    check_out(c, self, repo, old_tree, new_tree, changes, force, [&] {
        if (force) keep_discarded(c, self, repo, old, !behind, changes);
    });
    set_ref(refs, head_name, old, target.commit,
            force ? "pull: forced update to the remote's commit" : "pull: Fast-forward");
    if (target.switch_to) py::call_method(refs, PY_NAME(set_symbolic_ref), bytes("HEAD"), target.switch_to);
    if (old == Py_None) record_upstream(repo);  // a branch born here follows the remote's, as a clone's does
}

// Fetch, then merge; the remote wins unless accept_remote is false.
void fetch_and_merge(Call& c, PyObject* self, PyObject* auth_url, PyObject* accept_remote) {
    Ref fetched_into = py::getattr(self, PY_NAME(repo));
    StreamedPacks streamed(c, fetched_into);  // the received pack goes to disk a piece at a time
    Ref fetch_result;
    try {
        fetch_result = remote_call(c, self, PY_NAME(fetch), auth_url, {fetched_into.get()},
                                   {{PY_NAME(remote_location), auth_url}});
    } catch (const py::PythonError&) {
        streamed.remove();
        throw;
    }
    streamed.remove();
    if (!py::truthy(py::getattr(fetch_result, PY_NAME(refs)))) {
        log(self, PY_NAME(debug), "仓库已经是最新版本，无需更新");
        return;
    }
    log(self, PY_NAME(debug), "成功拉取更新");
    Ref remote_refs = py::getattr(fetch_result, PY_NAME(refs));
    Ref count = py::integer(py::check(PyObject_Size(remote_refs)));
    log(self, PY_NAME(debug), "获取到的对象: ", count);
    Ref repo = py::getattr(self, PY_NAME(repo));
    if (PyDict_Check(remote_refs)) {
        Ref refs = py::getattr(repo, PY_NAME(refs));
        Ref items = Ref::steal(PyDict_Items(remote_refs));
        py::for_each(items, [&](PyObject* item) {
            set_tracking_ref(refs, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), "fetch: fast-forward");
        });
    }
    follow_tags(self, repo, remote_refs);
    MergeTarget target = merge_target(self, repo, fetch_result, remote_refs);
    if (py::truthy(accept_remote)) {
        log(self, PY_NAME(debug), "将强制接受远程更改，放弃本地冲突文件");
        if (target.commit) merge_remote(c, self, target, true);
        log(self, PY_NAME(debug), "已强制合并远程更改");
        return;
    }
    py::try_except(
        PyExc_Exception,
        [&] {
            if (target.commit) merge_remote(c, self, target, false);
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
