// The module body's sections, in the order it runs them.
#pragma once

#include "runtime/module.hpp"

namespace sections {

void tamarel(py::ModuleBody& m);           // tamarel.cpp and the member files it names
void rest_handlers(py::ModuleBody& m);     // rest_handlers.cpp
void git_working_copy(py::ModuleBody& m);  // git/operator.cpp and the files of its folder
void pytest_runs(py::ModuleBody& m);       // pytest_runs.cpp
void assertions(py::ModuleBody& m);        // assertions.cpp
void flow_graphs(py::ModuleBody& m);       // flow_graphs.cpp

}  // namespace sections
