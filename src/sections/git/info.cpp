// Repository information: the branch, the commit and whether the working copy is
// dirty, and the last commit that touched a file.
#include "operator.hpp"
#include "refs.hpp"

#include "runtime/handler.hpp"

namespace sections::git {
namespace {

constexpr py::Params file_params{"self, file_path"};

Ref get_file_last_commit_time(Call& c) {
    auto [self, given_file_path] = c.args<file_params>();
    Ref file_path = Ref::borrow(given_file_path);
    if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        log(self, PY_NAME(error), "本地仓库目录不存在: ", py::getattr(self, PY_NAME(local_dir)));
        return py::none();
    }
    if (py::truthy(os_path(c, PY_NAME(isabs), file_path))) {
        // A path on another drive has no relative form (ValueError): it is no file of
        // the working copy.
        bool elsewhere = false;
        py::try_except(
            PyExc_ValueError,
            [&] { file_path = os_path(c, PY_NAME(relpath), file_path, py::getattr(self, PY_NAME(local_dir))); },
            [&](PyObject*) { elsewhere = true; });
        if (elsewhere) {
            log(self, PY_NAME(error), "文件不存在: ", file_path);
            return py::none();
        }
    }
    Ref full_path = os_path(c, PY_NAME(join), py::getattr(self, PY_NAME(local_dir)), file_path);
    if (!py::truthy(os_path(c, PY_NAME(exists), full_path))) {
        log(self, PY_NAME(error), "文件不存在: ", file_path);
        return py::none();
    }
    file_path = py::call_method(file_path, PY_NAME(replace), PY_STR("\\"), PY_STR("/"));
    Ref paths = Ref::steal(PyList_New(0));
    py::append(paths, py::call_method(file_path, PY_NAME(encode), PY_STR("utf-8")));
    Ref walker = py::call_kw(py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(get_walker)), {},
                             {{PY_NAME(paths), paths}, {PY_NAME(max_entries), py::integer(1)}});
    Ref result = py::none();
    py::for_each(walker, [&](PyObject* entry) {
        Ref commit_time = py::getattr(py::getattr(entry, PY_NAME(commit)), PY_NAME(commit_time));
        result = py::call_method(c.global(PY_NAME(datetime)), PY_NAME(fromtimestamp), commit_time);
        return false;
    });
    return result;
}

Ref get_repo_info(Call& c) {
    auto [self] = c.args<self_params>();
    if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) return py::none();
    auto read_ref = [&](PyObject* name) {
        Ref refs = py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(refs));
        return py::call_method(refs, PY_NAME(read_ref), name);
    };
    Ref head_ref = read_ref(bytes("HEAD"));
    Ref commit_hash = py::text("unknown");
    Ref heads = bytes("ref: refs/heads/");
    auto names_branch = [&] {
        return py::truthy(head_ref) && py::truthy(py::call_method(head_ref, PY_NAME(startswith), heads));
    };
    if (py::truthy(head_ref)) {
        if (py::truthy(py::call_method(head_ref, PY_NAME(startswith), heads))) {
            Ref branch_name = branch_of(py::call_method(head_ref, PY_NAME(decode), PY_STR("utf-8")));
            Ref branch_ref =
                read_ref(py::call_method(py::concat("refs/heads/", branch_name), PY_NAME(encode)));
            if (py::truthy(branch_ref)) commit_hash = short_hash(branch_ref);
        } else {
            commit_hash = short_hash(head_ref);
        }
    }
    Ref is_dirty = py::call_method(self, SELF_METHOD(check_if_dirty), py::getattr(self, PY_NAME(repo)));
    Ref active_branch = py::text("unknown");
    if (names_branch()) active_branch = branch_of(py::call_method(head_ref, PY_NAME(decode), PY_STR("utf-8")));
    Ref info = py::new_dict();
    py::setitem(info, PY_STR("active_branch"), active_branch);
    py::setitem(info, PY_STR("commit_hash"), commit_hash);
    py::setitem(info, PY_STR("is_dirty"), is_dirty);
    py::setitem(info, PY_STR("remote_url"), py::getattr(self, PY_NAME(repo_url)));
    return info;
}

}  // namespace

const py::FunctionDef get_file_last_commit_time_def{
    "get_file_last_commit_time", "GitRepoOperator.get_file_last_commit_time",
    "获取指定文件的最近一次提交时间\n" ARGS_DOC ENTRY_DOC "file_path (str): 相对于仓库根目录的文件路径\n" RETURNS_DOC ENTRY_DOC
    "datetime: 文件的最近提交时间，如果文件不存在或出错则返回None\n" END_DOC,
    py::impl<get_file_last_commit_time, file_params>};
const py::FunctionDef get_repo_info_def{"get_repo_info", "GitRepoOperator.get_repo_info", "获取仓库信息",
                                        py::impl<get_repo_info, self_params>};

}  // namespace sections::git
