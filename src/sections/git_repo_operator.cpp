// Section git_repo_operator: the working copy of one remote repository.
#include "sections.hpp"

namespace sections {

void git_repo_operator(py::ModuleBody& m) {
    m.import("os");
    m.import("traceback");
    m.import_from("datetime", "datetime");
    m.import_from("dulwich", "porcelain");
    m.import_from("dulwich.repo", "Repo");
    std::vector<py::Member> body;
    m.bind("GitRepoOperator", py::build_class("GitRepoOperator", m.globals(), {}, body));
}

}  // namespace sections
