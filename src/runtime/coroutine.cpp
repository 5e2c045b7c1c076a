// The coroutine objects of the module's `async def` functions. asyncio takes any
// object with __await__, send, throw and close (and uses am_send when present); this
// one runs its function on the first resumption and then delegates to what the
// function asked to await, as `return await x` does.
#include "coroutine.hpp"

#include "boundary.hpp"

namespace py {
namespace {

struct CoroutineObject {
    PyObject_HEAD
    FunctionObject* fn;
    PyObject* args;      // the bound arguments
    PyObject* awaited;   // the iterator being delegated to, while suspended
    enum State : int { Created, Suspended, Running, Done } state;
};

inline CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }

// The iterator `await value` drives, with the interpreter's error for the rest.
PyObject* await_iterator(PyObject* value) {
    if (PyCoro_CheckExact(value)) return Py_NewRef(value);
    PyAsyncMethods* am = Py_TYPE(value)->tp_as_async;
    if (am && am->am_await) {
        PyObject* it = am->am_await(value);
        if (it && (!PyIter_Check(it) || PyCoro_CheckExact(it))) {
            if (PyCoro_CheckExact(it)) {
                PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
            } else {
                PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                             Py_TYPE(it)->tp_name);
            }
            Py_DECREF(it);
            return nullptr;
        }
        return it;
    }
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(value)->tp_name);
    return nullptr;
}

PySendResult finish(CoroutineObject* co, PyObject* value, PyObject** result) {
    co->state = CoroutineObject::Done;
    Py_CLEAR(co->awaited);
    *result = value;
    return value ? PYGEN_RETURN : PYGEN_ERROR;
}

// One resumption of the delegate: what it yields goes out, its return ends us.
PySendResult delegate(CoroutineObject* co, PySendResult sent, PyObject* value, PyObject** result) {
    if (sent == PYGEN_NEXT) {
        co->state = CoroutineObject::Suspended;
        *result = value;
        return PYGEN_NEXT;
    }
    return finish(co, sent == PYGEN_RETURN ? value : nullptr, result);
}

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    CoroutineObject* co = as_coroutine(self);
    *result = nullptr;
    if (co->state == CoroutineObject::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (co->state == CoroutineObject::Done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (co->state == CoroutineObject::Created) {
        if (arg && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        co->state = CoroutineObject::Running;
        bool awaiting = false;
        Ref value;
        const bool ran = boundary(false, [&] {
            value = run_bound(co->fn, co->args, &awaiting);
            return true;
        });
        if (!ran) return finish(co, nullptr, result);
        if (!awaiting) return finish(co, value.release(), result);
        co->awaited = await_iterator(value);
        if (!co->awaited) return finish(co, nullptr, result);
        arg = Py_None;
    }
    co->state = CoroutineObject::Running;
    PyObject* value = nullptr;
    PySendResult sent = PyIter_Send(co->awaited, arg ? arg : Py_None, &value);
    return delegate(co, sent, value, result);
}

// send() and __next__: a yielded value is returned, the result raises StopIteration.
PyObject* resume(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult r = coroutine_am_send(self, arg, &result);
    if (r == PYGEN_NEXT) return result;
    if (r == PYGEN_RETURN) {
        if (result == Py_None) {
            PyErr_SetNone(PyExc_StopIteration);
        } else {
            PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result);
            if (stop) {
                PyErr_SetObject(PyExc_StopIteration, stop);
                Py_DECREF(stop);
            }
        }
        Py_DECREF(result);
    }
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* arg) { return resume(self, arg); }
PyObject* coroutine_iternext(PyObject* self) { return resume(self, Py_None); }

// Raises what throw() was given, as `raise` would.
void raise_thrown(PyObject* typ, PyObject* val) {
    if (PyExceptionClass_Check(typ)) {
        PyObject* exc = val && val != Py_None ? PyObject_CallOneArg(typ, val) : PyObject_CallNoArgs(typ);
        if (exc) {
            PyErr_SetObject(typ, exc);
            Py_DECREF(exc);
        }
    } else if (PyExceptionInstance_Check(typ)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not "
                                         "a non-exception object");
    }
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    CoroutineObject* co = as_coroutine(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                : "throw expected at most 3 arguments, got %zd",
                     nargs);
        return nullptr;
    }
    if (co->state == CoroutineObject::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (co->state == CoroutineObject::Suspended && co->awaited) {
        Ref inner = Ref::borrow(co->awaited);
        if (PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
            co->state = CoroutineObject::Done;
            Py_CLEAR(co->awaited);
            PyObject* closed = PyObject_CallMethod(inner, "close", nullptr);
            if (!closed) return nullptr;
            Py_DECREF(closed);
        } else {
            PyObject* method = nullptr;
            if (PyObject_GetOptionalAttrString(inner, "throw", &method) < 0) return nullptr;
            if (method) {
                co->state = CoroutineObject::Running;
                PyObject* value = PyObject_Vectorcall(method, args, nargs, nullptr);
                Py_DECREF(method);
                if (value) {
                    co->state = CoroutineObject::Suspended;
                    return value;
                }
                // The delegate finished: its StopIteration value is our result.
                PyObject* result = nullptr;
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    PyObject* stop = PyErr_GetRaisedException();
                    result = PyObject_GetAttrString(stop, "value");
                    Py_DECREF(stop);
                }
                co->state = CoroutineObject::Done;
                Py_CLEAR(co->awaited);
                if (!result) return nullptr;
                PyObject* args1[] = {result};
                PyObject* stop = PyObject_Vectorcall(PyExc_StopIteration, args1, 1, nullptr);
                Py_DECREF(result);
                if (stop) {
                    PyErr_SetObject(PyExc_StopIteration, stop);
                    Py_DECREF(stop);
                }
                return nullptr;
            }
            co->state = CoroutineObject::Done;
            Py_CLEAR(co->awaited);
        }
    }
    co->state = CoroutineObject::Done;
    raise_thrown(args[0], nargs > 1 ? args[1] : nullptr);
    return nullptr;
}

PyObject* coroutine_close(PyObject* self, PyObject*) {
    CoroutineObject* co = as_coroutine(self);
    if (co->state == CoroutineObject::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    Ref inner = Ref::steal_nullable(co->awaited);
    co->awaited = nullptr;
    co->state = CoroutineObject::Done;
    if (inner) {
        PyObject* method = nullptr;
        if (PyObject_GetOptionalAttrString(inner, "close", &method) < 0) return nullptr;
        if (method) {
            PyObject* r = PyObject_CallNoArgs(method);
            Py_DECREF(method);
            if (!r) return nullptr;
            Py_DECREF(r);
        }
    }
    Py_RETURN_NONE;
}

PyObject* coroutine_await(PyObject* self) { return Py_NewRef(self); }

PyObject* coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", function_qualname(as_coroutine(self)->fn), self);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    CoroutineObject* co = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(co->fn));
    Py_VISIT(co->args);
    Py_VISIT(co->awaited);
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* co = as_coroutine(self);
    Py_CLEAR(co->fn);
    Py_CLEAR(co->args);
    Py_CLEAR(co->awaited);
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    coroutine_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", (PyCFunction)(void (*)())coroutine_throw, METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {.slot = Py_tp_dealloc, .pfunc = (void*)coroutine_dealloc},
    {.slot = Py_tp_traverse, .pfunc = (void*)coroutine_traverse},
    {.slot = Py_tp_clear, .pfunc = (void*)coroutine_clear},
    {.slot = Py_tp_repr, .pfunc = (void*)coroutine_repr},
    {.slot = Py_tp_iter, .pfunc = (void*)PyObject_SelfIter},
    {.slot = Py_tp_iternext, .pfunc = (void*)coroutine_iternext},
    {.slot = Py_tp_methods, .pfunc = (void*)coroutine_methods},
    {.slot = Py_am_await, .pfunc = (void*)coroutine_await},
    {.slot = Py_am_send, .pfunc = (void*)coroutine_am_send},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec coroutine_spec = {
    .name = "tamareltools.tamarels.coroutine",
    .basicsize = sizeof(CoroutineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = coroutine_slots,
};

}  // namespace

Ref make_coroutine(FunctionObject* fn, PyObject* args_tuple) {
    PyTypeObject* type = fn->state->coroutine_type;
    if (!type) raise(PyExc_SystemError, "the module's state has been cleared");
    auto* co = PyObject_GC_New(CoroutineObject, type);
    if (!co) fail();
    co->fn = reinterpret_cast<FunctionObject*>(Py_NewRef(reinterpret_cast<PyObject*>(fn)));
    co->args = Py_NewRef(args_tuple);
    co->awaited = nullptr;
    co->state = CoroutineObject::Created;
    PyObject_GC_Track(co);
    return Ref::steal(reinterpret_cast<PyObject*>(co));
}

int init_coroutine_type(State& state, PyObject* module) {
    state.coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &coroutine_spec, nullptr));
    return state.coroutine_type ? 0 : -1;
}

}  // namespace py
