// The async helpers: AsyncioThread, the thread that runs an event loop; Tamarel.t,
// which starts one; Tamarel.a_e and Tamarel.s_e, which call a host method with a value
// dispatched by its type (awaiting the result in a_e); and Tamarel.v.
#include "tamarel.hpp"

namespace sections::tamarel_members {
namespace {

using py::Call;
using py::Ref;

// The class cell (`__class__`) of the methods, filled in once the class exists.
PyObject* class_of(Call& c) {
    PyObject* cls = PyCell_GET(c.closure());
    if (!cls) py::raise(PyExc_RuntimeError, "super(): empty __class__ cell");
    return cls;
}

constexpr py::Params asyncio_thread_init_params{"self, loop"};

Ref asyncio_thread_init(Call& c) {
    auto [self, loop] = c.args<asyncio_thread_init_params>();
    Ref parent = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), class_of(c), self);
    py::call_method(parent, PY_NAME(__init__));
    py::setattr(self, PY_NAME(_loop), loop);
    py::setattr(self, PY_NAME(daemon), Py_True);
    return py::none();
}

constexpr py::Params asyncio_thread_run_params{"self -> None"};

Ref asyncio_thread_run(Call& c) {
    auto [self] = c.args<asyncio_thread_run_params>();
    Ref loop = py::getattr(self, PY_NAME(_loop));
    py::call_method(loop, PY_NAME(run_forever));
    return py::none();
}

// print(text) through the builtins the module sees.
void print_line(Call& c, const char* text) {
    Ref print = c.global(PY_NAME(print));
    py::call(print, py::text(text));
}

constexpr py::Params v_params{"v, s=None"};

// v == v, asked of the value (an exact int or str always equals itself).
Py_NO_INLINE bool equals_itself(PyObject* value) {
    return py::truthy(Ref::steal(PyObject_RichCompare(value, value, Py_EQ)));
}

// `inline` on the two smallest implementations: each is compiled into its call entry,
// where the call itself would cost as much as its body.
inline Ref v(Call& c) {
    auto [value, s] = c.args<v_params>();
    const bool reflexive = PyLong_CheckExact(value) || PyUnicode_CheckExact(value);
    if (!reflexive && !equals_itself(value)) py::raise_object(py::call(PyExc_Exception, PY_STR("")));
    if (s != Py_None && py::truthy(s)) print_line(c, "测试通过");
    return py::none();
}

// The dispatch shared by s_e and a_e: method(v), method(**v), method(), or no call.
Ref dispatch(PyObject* method, PyObject* value, bool* called) {
    *called = true;
    auto with_keywords = [&] { return py::call_star_kwargs(method, value); };
    // None, an exact str and an exact dict answer the isinstance tests without running
    // any code of theirs, so those are decided first.
    if (value == Py_None) return py::call(method);
    if (PyUnicode_CheckExact(value)) return py::call(method, value);
    if (PyDict_CheckExact(value)) return with_keywords();
    if (py::isinstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type))) return py::call(method, value);
    if (py::isinstance(value, reinterpret_cast<PyObject*>(&PyDict_Type))) return with_keywords();
    *called = false;
    return py::none();
}

constexpr py::Params dispatch_params{"self, e, v=None"};

inline Ref s_e(Call& c) {
    auto [self, e, v] = c.args<dispatch_params>();
    // getattr(self, e)() and getattr(self, e)(v) as one method call: the lookup is the
    // same, without the bound method made in between.
    if (PyUnicode_CheckExact(e)) {
        if (v == Py_None) return py::call_method(self, e);
        if (PyUnicode_CheckExact(v)) return py::call_method(self, e, v);
    }
    Ref method = py::getattr(self, e);
    bool called;
    return dispatch(method, v, &called);
}

Ref a_e(Call& c) {
    auto [self, e, v] = c.args<dispatch_params>();
    Ref method = py::getattr(self, e);
    bool called;
    Ref result = dispatch(method, v, &called);
    if (called) c.await_result();
    return result;
}

Ref t(Call& c) {
    Ref loop = py::call_method(c.global(PY_NAME(asyncio)), PY_NAME(new_event_loop));
    Ref thread = py::call(c.global(PY_NAME(AsyncioThread)), loop);
    py::call_method(thread, PY_NAME(start));
    return loop;
}

}  // namespace

const py::FunctionDef asyncio_thread_init_def{
    "__init__", "AsyncioThread.__init__", nullptr, py::impl<asyncio_thread_init, asyncio_thread_init_params>};
const py::FunctionDef asyncio_thread_run_def{
    "run", "AsyncioThread.run", nullptr, py::impl<asyncio_thread_run, asyncio_thread_run_params>};
const py::FunctionDef v_def{"v", "Tamarel.v", nullptr, py::impl<v, v_params>};
const py::FunctionDef s_e_def{"s_e", "Tamarel.s_e", nullptr, py::impl<s_e, dispatch_params>};
const py::FunctionDef a_e_def{"a_e", "Tamarel.a_e", nullptr, py::impl<a_e, dispatch_params>,
                              py::ArgErrors::Python, true};
const py::FunctionDef t_def{"t", "Tamarel.t", nullptr, py::impl<t, py::no_params>};

}  // namespace sections::tamarel_members
