// The class GitRepoOperator: the working copy of one remote repository, kept in step
// with its remote through dulwich (porcelain and Repo, read from the module at call
// time), progress and failures reported to the caller's logger. Its methods live in
// the files of their concern (operator.hpp); this file constructs, closes and
// assembles the class.
#include "operator.hpp"
#include "status.hpp"

#include "sections/sections.hpp"

#include <vector>

namespace sections::git {
namespace {

constexpr py::Params init_params{
    "self, repo_url, root_path, log, username=None, password=None, warehouse_name='tamarel_pytest'"};
constexpr py::Params exit_params{"self, exc_type, exc_value, traceback"};

// The operators whose working copy is open (a weakref.WeakSet, made with the class).
// Their repositories are closed when the interpreter exits, before it tears the
// modules down: an open pack file found then by dulwich's __del__ makes it print
// "Exception ignored in ..." to standard error.
struct OpenOperators : py::Cache {
    Ref operators;
    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(operators.get());
        return 0;
    }
    void clear() override { operators = {}; }
};

Ref close_at_exit(Call& c) {
    Ref operators = Ref::steal(PySequence_List(c.closure()));
    py::for_each(operators, [&](PyObject* op) {
        try {
            close_repo(op);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // the interpreter is going: nothing is left to report to
        }
    });
    return py::none();
}
const py::FunctionDef close_at_exit_def{"close_at_exit", "GitRepoOperator.<locals>.close_at_exit", nullptr,
                                        py::impl<close_at_exit, py::no_params>};

Ref init(Call& c) {
    auto [self, repo_url, root_path, log, username, password, warehouse_name] = c.args<init_params>();
    py::setattr(self, PY_NAME(repo_url), repo_url);
    py::setattr(self, PY_NAME(local_dir), os_path(c, PY_NAME(join), root_path, warehouse_name));
    py::setattr(self, PY_NAME(username), username);
    py::setattr(self, PY_NAME(password), password);
    py::setattr(self, PY_NAME(log), log);
    py::call_method(self, PY_NAME(clone));
    py::setattr(self, PY_NAME(repo), py::call(c.global(PY_NAME(Repo)), py::getattr(self, PY_NAME(local_dir))));
    if (PyObject* operators = c.state().get<OpenOperators>().operators.get()) {
        try {
            py::call_method(operators, PY_NAME(add), self);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // an instance without weak references is just not closed at exit
        }
    }
    return py::none();
}

// close(): the working copy's repository is closed (its pack files released); again
// and again without effect.
Ref close(Call& c) {
    auto [self] = c.args<self_params>();
    close_repo(self);
    return py::none();
}

Ref enter(Call& c) {
    auto [self] = c.args<self_params>();
    return Ref::borrow(self);
}

Ref exit(Call& c) {
    auto [self, exc_type, exc_value, traceback] = c.args<exit_params>();
    py::call_method(self, PY_NAME(close));
    return py::none();
}

const py::FunctionDef init_def{
    "__init__", "GitRepoOperator.__init__", nullptr, py::impl<init, init_params>};
const py::FunctionDef close_def{"close", "GitRepoOperator.close", "关闭工作副本的仓库，释放打开的文件；可重复调用",
                                py::impl<close, self_params>};
const py::FunctionDef enter_def{"__enter__", "GitRepoOperator.__enter__", nullptr, py::impl<enter, self_params>};
const py::FunctionDef exit_def{"__exit__", "GitRepoOperator.__exit__", "退出时关闭仓库（见 close）",
                               py::impl<exit, exit_params>};

}  // namespace
}  // namespace sections::git

namespace sections {

void git_working_copy(py::ModuleBody& m) {
    using namespace git;
    m.import("os");
    m.import("traceback");
    m.import_from("datetime", "datetime");
    m.import_from("dulwich", "porcelain");
    m.import_from("dulwich.repo", "Repo");
    {
        auto& original = m.state().get<PorcelainAtImport>();
        original.porcelain = py::getitem(m.globals(), PY_NAME(porcelain));
        original.status = py::getattr(original.porcelain, PY_NAME(status));
        original.add = py::getattr(original.porcelain, PY_NAME(add));
        original.clone = py::getattr(original.porcelain, PY_NAME(clone));
        original.repo_type = py::getitem(m.globals(), PY_NAME(Repo));
    }
    std::vector<py::Member> body;
    for (const py::FunctionDef* def : {&init_def, &pull_def, &clone_def, &push_def, &get_file_last_commit_time_def,
                                       &is_current_repo_def, &get_auth_url_def, &clone_repository_def,
                                       &update_repository_def, &get_repo_info_def, &check_if_dirty_def, &close_def,
                                       &enter_def, &exit_def}) {
        body.push_back({def->name, m.function(*def)});
    }
    // How long clone, pull and push wait for another operation on the same working
    // copy (lock.cpp), in seconds: well beyond what a clone of a test repository takes,
    // short enough that a holder that hangs is reported within minutes.
    body.push_back({"lock_timeout", py::integer(300)});
    m.bind("GitRepoOperator", py::build_class("GitRepoOperator", m.globals(), {}, body), py::Listed::Yes);
    // The open working copies, closed when this module's interpreter exits (see
    // close_at_exit).
    Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
    Ref operators = py::call(py::getattr(weakref, PY_NAME(WeakSet)));
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    py::call_method(atexit, PY_NAME(register), m.function(close_at_exit_def, operators));
    m.state().get<OpenOperators>().operators = std::move(operators);
}

}  // namespace sections
