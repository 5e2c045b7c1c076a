// tamareltools.tamarels: the module frame. Runs the six sections in order, then
// publishes __all__.
#include "runtime/boundary.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"
#include "sections/sections.hpp"

namespace {

// The module is initialised once per process; see tamarels_exec.
bool initialised = false;

const char* const kAll[] = {
    "Tamarel",       "test",
    "get",           "post",
    "put",           "delete",
    "inside_post",   "inside_put",
    "inside_delete", "GitRepoOperator",
    "pytest_test_case", "read_allure_json_results",
    "delete_allure_results", "ass",
    "build_decision_tree", "get_execution_order_with_config_ids",
};

void run_body(PyObject* module) {
    py::ModuleBody m(module);
    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    m.bind("__builtins__", builtins);

    sections::tamarel(m);
    sections::rest_handlers(m);
    sections::git_working_copy(m);
    sections::pytest_runs(m);
    sections::assertions(m);
    sections::flow_graphs(m);

    py::Ref all = py::new_list();
    for (const char* name : kAll) py::append(all, py::text(name));
    m.bind("__all__", all);
    m.bind("__test__", py::new_dict());
}

int tamarels_exec(PyObject* module) {
    // The slot below makes isolated subinterpreters refuse the module; legacy ones
    // are let through by the interpreter, so they are refused here.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "tamareltools.tamarels can only be loaded in the main interpreter");
        return -1;
    }
    if (initialised) {
        PyErr_SetString(PyExc_ImportError,
                        "tamareltools.tamarels is already initialised in this process "
                        "and cannot be initialised again");
        return -1;
    }
    return py::boundary(-1, [&] {
        if (py::init_function_type(module) < 0 || py::init_coroutine_type(module) < 0) return -1;
        run_body(module);
        initialised = true;
        return 0;
    });
}

PyModuleDef_Slot tamarels_slots[] = {
    {Py_mod_exec, (void*)tamarels_exec},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef tamarels_def = {
    PyModuleDef_HEAD_INIT, "tamarels", nullptr, 0, nullptr, tamarels_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tamarels(void) { return PyModuleDef_Init(&tamarels_def); }
