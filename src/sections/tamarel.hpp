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

// call_expressions.cpp; closure: (re, re.match) as bound at import
extern const py::FunctionDef regular_def;

// placeholders.cpp; closure: (re, re.search) as bound at import
extern const py::FunctionDef replace_str_def;

// re.<name> through the module's `re`, read at call time; `native` tells whether `re`
// and that function are still the ones the closure (re, function) holds, so that the
// matching may be done here without changing what a rebinding would see.
inline py::Ref re_function(py::Call& c, PyObject* name, bool* native) {
    PyObject* original = c.closure();
    py::Ref re = c.global(PY_NAME(re));
    py::Ref fn = py::getattr(re, name);
    *native = re.get() == PyTuple_GET_ITEM(original, 0) && fn.get() == PyTuple_GET_ITEM(original, 1);
    return fn;
}

}  // namespace sections::tamarel_members
