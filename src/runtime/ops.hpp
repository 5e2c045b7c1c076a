// The Python operations section code is written in: calls, attributes, items,
// truth, text. Each one throws PythonError on failure and returns owned references.
#pragma once

#include "ref.hpp"
#include "state.hpp"

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace py {

// ---- interned names --------------------------------------------------------
// PY_NAME(json) is the interned str "json" of the module whose code is running: each
// name the program spells is given an index when the library loads (the same index
// wherever the same text is spelled), and every module state interns them all at exec.
//
// Each use site declares a class of its own that carries the text; NameIndex<that
// class> registers it while the library loads. A local class as template argument,
// unlike a string literal as one, is a form every C++ compiler has taken since C++11.
#define PY_NAME(ident) PY_STR(#ident)
#define PY_STR(literal)                                                                 \
    (::py::detail::interned([] {                                                        \
        struct PyNameText {                                                             \
            static ::std::string text() { return literal; }                             \
        };                                                                              \
        return ::py::detail::NameIndex<PyNameText>::value;                              \
    }()))

namespace detail {
// The index of the text Tag::text() names, registered while the library loads.
template <class Tag>
struct NameIndex {
    static inline const int value = register_name(Tag::text());
};
inline PyObject* interned(int index) { return current_state().names[index]; }

inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(const Ref& r) { return r.get(); }
}  // namespace detail

// ---- text ------------------------------------------------------------------
inline Ref text(std::string_view utf8) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), (Py_ssize_t)utf8.size()));
}
// str(o): calls __str__ for anything but an exact str.
inline Ref str(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    return Ref::steal(PyObject_Str(o));
}
inline Ref repr(PyObject* o) { return Ref::steal(PyObject_Repr(o)); }
inline Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// ---- truth and comparison ----------------------------------------------------
inline bool truthy(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return check(PyObject_IsTrue(o)) != 0;
}
// bool(a == b), as Python evaluates it: identity decides only for exact str and int,
// which always equal themselves (a float NaN does not).
inline bool equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
                          PyUnicode_Compare(a, b) == 0);
    }
    if (a == b && PyLong_CheckExact(a)) return true;
    return truthy(Ref::steal(PyObject_RichCompare(a, b, Py_EQ)));
}
inline bool isinstance(PyObject* o, PyObject* cls) {
    return check(PyObject_IsInstance(o, cls)) != 0;
}

// ---- calls -----------------------------------------------------------------
template <class... A>
Ref call(PyObject* callable, const A&... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, detail::raw(args)...};
    return Ref::steal(PyObject_Vectorcall(callable, argv.data() + 1,
                                          sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}
// obj.name(*args), looked up and called as Python's method call syntax does.
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
    std::array<PyObject*, sizeof...(A) + 1> argv{obj, detail::raw(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv.data(), (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// callable(*args_tuple, **kwargs) for argument lists built at run time.
inline Ref call_args(PyObject* callable, PyObject* args_tuple, PyObject* kwargs = nullptr) {
    return Ref::steal(PyObject_Call(callable, args_tuple, kwargs));
}
// The arguments `callable(*value)` passes: a tuple as it is, any other iterable as
// a tuple, and the interpreter's TypeError for what is not iterable.
Ref star_args(PyObject* callable, PyObject* value);
// The keywords `callable(**value)` passes: an exact dict as it is, any other mapping
// copied through its keys() and items, and the interpreter's TypeError for the rest.
Ref star_kwargs(PyObject* callable, PyObject* value);
// callable(**value), with `callable` already evaluated.
Ref call_star_kwargs(PyObject* callable, PyObject* value);

// callable(*args, name=value, ...) with interned keyword names.
struct Keyword {
    PyObject* name;
    PyObject* value;
};
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<Keyword> keywords);

// d.get(key) for a dict `d`; None when missing.
inline Ref dict_get(PyObject* d, PyObject* key) {
    PyObject* value = nullptr;
    check(PyDict_GetItemRef(d, key, &value));
    return value ? Ref::steal(value) : Ref::borrow(Py_None);
}
template <class... A>
Ref tuple(const A&... items) {
    Ref t = Ref::steal(PyTuple_New(sizeof...(A)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(detail::raw(items)))), ...);
    return t;
}

// ---- attributes and items ----------------------------------------------------
inline Ref getattr(PyObject* o, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(o, name));
}
// getattr(o, name, None)-like: an empty Ref when the attribute is missing.
inline Ref getattr_optional(PyObject* o, PyObject* name) {
    PyObject* result = nullptr;
    check(PyObject_GetOptionalAttr(o, name, &result));
    return Ref::steal_nullable(result);
}
inline void setattr(PyObject* o, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(o, name, value));
}

// `raise obj`: an exception instance is raised as it is, an exception class is
// called first; anything else is the TypeError Python gives.
[[noreturn]] void raise_object(PyObject* obj);

// KeyError(key) with the key as its single argument, tuples included.
[[noreturn]] void raise_key_error(PyObject* key);

// o[key]; for an exact dict without calling into the generic protocol.
inline Ref getitem(PyObject* o, PyObject* key) {
    if (PyDict_CheckExact(o)) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemRef(o, key, &value)) == 0) raise_key_error(key);
        return Ref::steal(value);
    }
    return Ref::steal(PyObject_GetItem(o, key));
}
inline void setitem(PyObject* o, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(o)) {
        check(PyDict_SetItem(o, key, value));
    } else {
        check(PyObject_SetItem(o, key, value));
    }
}

// ---- iteration -------------------------------------------------------------
namespace detail {
// Runs one loop body; a body returning bool ends the loop with false (`break`).
template <class Fn>
bool step(Fn& fn, PyObject* item) {
    if constexpr (std::is_same_v<decltype(fn(item)), bool>) {
        return fn(item);
    } else {
        fn(item);
        return true;
    }
}
}  // namespace detail

// for item in iterable: fn(item)  -- exact lists are walked by index, re-reading the
// size on every step, since fn may run code that mutates the list. A body that
// returns bool stops the loop by returning false.
template <class Fn>
void for_each(PyObject* iterable, Fn&& fn) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (!detail::step(fn, item.get())) return;
        }
        return;
    }
    if (PyTuple_CheckExact(iterable)) {
        Ref keep = Ref::borrow(iterable);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) {
            if (!detail::step(fn, PyTuple_GET_ITEM(iterable, i))) return;
        }
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    while (PyObject* raw_item = PyIter_Next(it)) {
        Ref item = Ref::steal(raw_item);
        if (!detail::step(fn, item.get())) return;
    }
    if (PyErr_Occurred()) fail();
}

// a, b = value  -- as the interpreter unpacks, with its error texts.
std::pair<Ref, Ref> unpack2(PyObject* value);

inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

}  // namespace py
