// The module body's sections, in the order it runs them.
#pragma once

#include "runtime/module.hpp"

namespace sections {

void tamarel(py::ModuleBody& m);
void model_crud(py::ModuleBody& m);
void git_repo_operator(py::ModuleBody& m);
void pycase(py::ModuleBody& m);
void ass(py::ModuleBody& m);
void vue_flow(py::ModuleBody& m);

}  // namespace sections
