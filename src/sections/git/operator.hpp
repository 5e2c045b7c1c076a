// The methods of GitRepoOperator, each defined in the file of its concern; operator.cpp
// assembles the class from them.
#pragma once

#include "common.hpp"

namespace sections::git {

extern const py::FunctionDef is_current_repo_def, get_auth_url_def;           // identity.cpp
extern const py::FunctionDef clone_def, clone_repository_def;                 // clone.cpp
extern const py::FunctionDef pull_def, update_repository_def;                 // pull.cpp
extern const py::FunctionDef push_def;                                        // push.cpp
extern const py::FunctionDef get_repo_info_def, get_file_last_commit_time_def;  // info.cpp
// __check_if_dirty: status.hpp

}  // namespace sections::git
