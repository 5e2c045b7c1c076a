// Commit and push: the working copy's changes as one commit, pushed to the remote.
#include "lock.hpp"
#include "operator.hpp"
#include "pack.hpp"
#include "refs.hpp"
#include "stage.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

namespace sections::git {
namespace {

constexpr py::Params push_params{
    "self, message='Tamarel测试平台提交', remote_name='origin', branch='master', force=True"};

// A status entry as text: bytes decoded as UTF-8, str entries as they are. A str
// entry holding a name that is not UTF-8 (escaped as surrogates) fails like the
// bytes would, with UnicodeDecodeError.
Ref path_text(PyObject* entry) {
    if (PyUnicode_Check(entry)) {
        if (PyUnicode_IS_ASCII(entry)) return Ref::borrow(entry);
        Ref raw = Ref::steal(PyUnicode_AsEncodedString(entry, "utf-8", "surrogateescape"));
        return py::call_method(raw, PY_NAME(decode), PY_STR("utf-8"));
    }
    return py::call_method(entry, PY_NAME(decode), PY_STR("utf-8"));
}

// dulwich reports a ref the remote refused to update in the push result (and on its
// error stream) without raising; the push has failed all the same.
void raise_refused_refs(Call& c, PyObject* result) {
    Ref ref_status = py::getattr_optional(result, PY_NAME(ref_status));
    if (!ref_status || !PyDict_Check(ref_status)) return;
    Ref refusals = py::new_list();
    Ref items = Ref::steal(PyDict_Items(ref_status));
    py::for_each(items, [&](PyObject* item) {
        PyObject* ref = PyTuple_GET_ITEM(item, 0);
        PyObject* error = PyTuple_GET_ITEM(item, 1);
        if (error == Py_None) return;
        Ref name = PyBytes_Check(ref) ? py::call_method(ref, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"))
                                      : py::str(ref);
        py::append(refusals, py::concat("Push of ref ", name, " failed: ", error));
    });
    if (PyList_GET_SIZE(refusals.get()) == 0) return;
    Ref error_class = py::getattr_optional(c.global(PY_NAME(porcelain)), PY_NAME(Error));
    Ref text = Ref::steal(PyUnicode_Join(PY_STR("; "), refusals));
    py::raise_object(py::call(error_class ? error_class.get() : PyExc_Exception, text));
}


// A push that did not go through takes its commit back: the branch HEAD names returns
// to `before` (or is removed again, for a branch the commit created), index and files
// keep the changes, and the next push commits them again. A pull (the remote wins by
// default) would otherwise revert a commit stranded here.
void undo_commit(PyObject* repo, PyObject* before) {
    Ref refs = py::getattr(repo, PY_NAME(refs));
    auto [name, after] = resolve_ref(refs, bytes("HEAD"));
    if (after == Py_None || py::equal(after, before)) return;
    if (before == Py_None) {
        py::call_method(refs, PY_NAME(remove_if_equals), name, after);
    } else {
        set_ref(refs, name, after, before, "reset: the push failed, its commit is taken back");
    }
}

// dulwich raises KeyError(b"refs/heads/<branch>") for a branch the working copy does
// not have: the same error, its text naming the branch.
void name_missing_branch(PyObject* error, PyObject* branch) {
    if (!PyErr_GivenExceptionMatches(error, PyExc_KeyError)) return;
    Ref args = py::getattr(error, PY_NAME(args));
    Ref local_ref = branch_ref_name(branch);
    if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args.get()) != 1 || !py::equal(PyTuple_GET_ITEM(args.get(), 0), local_ref)) {
        return;
    }
    Ref name = py::call_method(local_ref, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"));
    py::setattr(error, PY_NAME(args), py::tuple(py::concat("本地分支不存在: ", branch, " (", name, ")")));
}

Ref push(Call& c) {
    auto [self, message, remote_name, branch, force] = c.args<push_params>();
    WorkingCopyLock lock(c, self, WorkingCopyLock::Missing::Skip);
    if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        Ref text = py::concat("本地仓库目录不存在: ", py::getattr(self, PY_NAME(local_dir)));
        py::raise_object(py::call(PyExc_FileNotFoundError, without_credentials(self, text)));
    }
    Ref repo = py::getattr(self, PY_NAME(repo));
    StatusLists status = read_status(c, self, repo, true, false);
    const bool has_staged = status.has_staged;
    Ref& gitlinks = status.gitlinks;
    Ref& unstaged = status.unstaged;
    Ref& untracked = status.untracked;
    // A new file is a change to commit, as git sees it (untracked files that are not
    // ignored; a submodule's folder is none).
    if (!has_staged && !py::truthy(unstaged) && !py::truthy(untracked)) {
        log(self, PY_NAME(debug), "没有需要提交的更改");
        return py::none();
    }
    // Every path is printed as it comes; the files are then staged in one call, which
    // reads and writes the index once.
    Ref to_add = py::new_list();
    std::vector<std::string> to_stage;  // the same paths as the tree names them
    if (py::truthy(unstaged) || py::truthy(untracked)) {
        Ref entries = Ref::steal(PyNumber_Add(unstaged, untracked));
        py::for_each(entries, [&](PyObject* path_bytes) {
            py::try_except(
                PyExc_UnicodeDecodeError,
                [&] {
                    Ref path_str = path_text(path_bytes);
                    // A console that cannot show the name gets the warning; the file is
                    // still committed.
                    py::try_except(
                        PyExc_UnicodeEncodeError,
                        [&] { py::call(c.global(PY_NAME(print)), py::getattr(self, PY_NAME(local_dir)), path_str); },
                        [&](PyObject* e) { log(self, PY_NAME(warning), "无法解码文件路径: ", e); });
                    Ref full_path = os_path(c, PY_NAME(join), py::getattr(self, PY_NAME(local_dir)), path_str);
                    // Deleted files stay unstaged, and a gitlink is never staged (adding
                    // its folder would drop the submodule from the commit).
                    if (py::truthy(os_path(c, PY_NAME(exists), full_path)) &&
                        !py::check(PySet_Contains(gitlinks, path_bytes))) {
                        py::append(to_add, full_path);
                        if (PyBytes_Check(path_bytes)) {
                            to_stage.emplace_back(PyBytes_AS_STRING(path_bytes), std::size_t(PyBytes_GET_SIZE(path_bytes)));
                        } else {
                            to_stage.emplace_back();  // a str entry: porcelain.add decides
                        }
                    }
                },
                [&](PyObject* e) { log(self, PY_NAME(warning), "无法解码文件路径: ", e); });
        });
    }
    if (PyList_GET_SIZE(to_add.get()) > 0) {
        if (!stage_natively(c, self, repo, to_stage)) {
            py::call_kw(porcelain(c, PY_NAME(add)), {repo}, {{PY_NAME(paths), to_add}});
        }
    } else if (!has_staged) {
        // Only deletions or gitlinks: staging left the index as HEAD has it, and a
        // commit would be empty.
        log(self, PY_NAME(debug), "没有需要提交的更改");
        return py::none();
    }
    Ref before = resolve_ref(py::getattr(repo, PY_NAME(refs)), bytes("HEAD")).second;
    py::call_kw(porcelain(c, PY_NAME(commit)), {repo}, {{PY_NAME(message), message}});
    log(self, PY_NAME(info), "提交成功: ", message);
    Ref auth_url = py::call_method(self, SELF_METHOD(get_auth_url));
    if (!py::truthy(auth_url)) auth_url = py::getattr(self, PY_NAME(repo_url));
    Ref refspec = py::concat("refs/heads/", branch, ":refs/heads/", branch);
    try {
        PiecewiseSend piecewise(c, repo);
        Ref result =
            remote_call(c, self, PY_NAME(push), auth_url, {repo},
                        {{PY_NAME(remote_location), auth_url}, {PY_NAME(refspecs), refspec}, {PY_NAME(force), force}});
        raise_refused_refs(c, result);
    } catch (const py::PythonError&) {
        py::Caught caught;
        try {
            name_missing_branch(caught, branch);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // the error stays as raised
        }
        try {
            undo_commit(repo, before);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // the push's own error is the one to report
        }
        caught.reraise();
    }
    Ref refs = py::getattr(repo, PY_NAME(refs));
    Ref pushed_ref = branch_ref_name(branch);
    set_tracking_ref(refs, pushed_ref, resolve_ref(refs, pushed_ref).second, "update by push");
    log(self, PY_NAME(info), "推送成功到 ", remote_name, "/", branch);
    return py::none();
}

}  // namespace

const py::FunctionDef push_def{
    "push", "GitRepoOperator.push",
    "\n" END_DOC "提交更改并推送到远程仓库\n" ARGS_DOC ENTRY_DOC "message (str): 提交信息，默认为\"Tamarel测试平台提交\"\n" ENTRY_DOC
    "remote_name (str): 远程仓库名称，默认为'origin'\n" ENTRY_DOC "branch (str): 分支名称，默认为'master'\n" ENTRY_DOC
    "force (bool): 是否强制推送，默认为False\n" RETURNS_DOC ENTRY_DOC "bool: 成功返回True，失败返回False\n" END_DOC,
    py::impl<push, push_params>};

}  // namespace sections::git
