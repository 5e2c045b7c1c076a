// The members of class Tamarel, one concept per source: the error mail, the async
// helpers, the form helpers, placeholder expansion and call expressions. tamarel.cpp
// assembles the class (and AsyncioThread) in the module body's definition order.
#pragma once

#include "runtime/function.hpp"

namespace sections::tamarel_members {

// error_mail.cpp
extern const py::FunctionDef s_def;

// async_helpers.cpp
extern const py::FunctionDef asyncio_thread_init_def;  // closure: the class cell
extern const py::FunctionDef asyncio_thread_run_def;
extern const py::FunctionDef v_def;
extern const py::FunctionDef a_e_def;
extern const py::FunctionDef s_e_def;
extern const py::FunctionDef t_def;

// forms.cpp
extern const py::FunctionDef add_from_data_def;
extern const py::FunctionDef edit_form_data_def;
extern const py::FunctionDef put_save_data_def;
extern const py::FunctionDef post_save_data_def;

// call_expressions.cpp
extern const py::FunctionDef regular_def;

// placeholders.cpp
extern const py::FunctionDef replace_str_def;

// The module's `re` and the functions of it that the engine stands in for, as bound
// at import (kept in the module state).
struct ReAtImport : py::Cache {
    py::Ref re, search, match;
    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(re.get());
        Py_VISIT(search.get());
        Py_VISIT(match.get());
        return 0;
    }
    void clear() override {
        re = {};
        search = {};
        match = {};
    }
};

// re.<name> through the module's `re`, read at call time; native while `re` and that
// function are still the ones bound at import, so that the matching may be done here
// without changing what a rebinding would see.
inline py::Binding re_function(py::Call& c, PyObject* name, PyObject* original) {
    return c.global(PY_NAME(re), c.state().get<ReAtImport>().re).attribute(name, original);
}

}  // namespace sections::tamarel_members
