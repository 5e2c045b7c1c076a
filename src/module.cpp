// tamareltools.tamarels: the module frame. Runs the six sections in order, then
// publishes __all__: the names the sections bound as listed, in their order.
#include "runtime/boundary.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"
#include "runtime/state.hpp"
#include "sections/sections.hpp"

namespace {

void run_body(PyObject* module, py::State& state) {
    py::ModuleBody m(module, state);
    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    m.bind("__builtins__", builtins);

    sections::tamarel(m);
    sections::rest_handlers(m);
    sections::git_working_copy(m);
    sections::pytest_runs(m);
    sections::assertions(m);
    sections::flow_graphs(m);

    py::Ref all = py::new_list();
    for (const char* name : m.listed()) py::append(all, py::text(name));
    m.bind("__all__", all);
    m.bind("__test__", py::new_dict());
}

// Runs once per module object: in the main interpreter, in any subinterpreter (legacy
// or with a GIL of its own) and again after the module was removed from sys.modules,
// each module object with a state of its own.
int tamarels_exec(PyObject* module) {
    py::State* state = py::State::create(module);
    if (!state) return -1;
    py::StateScope scope(state);
    return py::boundary(-1, [&] {
        run_body(module, *state);
        return 0;
    });
}

int tamarels_traverse(PyObject* module, visitproc visit, void* arg) {
    py::State* state = py::State::of(module);
    return state ? state->traverse(visit, arg) : 0;
}

int tamarels_clear(PyObject* module) {
    if (py::State* state = py::State::of(module)) state->clear();
    return 0;
}

void tamarels_free(void* module) {
    auto* slot = static_cast<py::State**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (!slot) return;
    delete *slot;
    *slot = nullptr;
}

PyModuleDef_Slot tamarels_slots[] = {
    {.slot = Py_mod_exec, .value = (void*)tamarels_exec},
    {.slot = Py_mod_multiple_interpreters, .value = Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {.slot = 0, .value = nullptr},
};

PyModuleDef tamarels_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tamarels",
    .m_doc = nullptr,
    .m_size = sizeof(py::State*),
    .m_methods = nullptr,
    .m_slots = tamarels_slots,
    .m_traverse = tamarels_traverse,
    .m_clear = tamarels_clear,
    .m_free = tamarels_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_tamarels(void) { return PyModuleDef_Init(&tamarels_def); }
