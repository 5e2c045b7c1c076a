// Classes built the way a `class` statement builds them.
#pragma once

#include "function.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace py {

struct Member {
    const char* name;  // the name in the class body (private names are mangled here)
    Ref value;
};

// A name as written in the body of class `cls`: a private name ("__x", not ending in
// "__") is mangled to "_cls__x", as the compiler does.
std::string mangle(std::string_view cls, std::string_view name);

// The interned name `name` takes in the body of class `cls` (see mangle), for looking
// up a private member: PY_PRIVATE_NAME("GitRepoOperator", "__clone").
#define PY_PRIVATE_NAME(cls, name)                                                      \
    (::py::detail::interned([] {                                                        \
        struct PyNameText {                                                             \
            static ::std::string text() { return ::py::mangle(cls, name); }             \
        };                                                                              \
        return ::py::detail::NameIndex<PyNameText>::value;                              \
    }()))

// Wraps a function as staticmethod(fn).
Ref static_method(Ref fn);

// class <name>(*bases): <members, in order>  -- resolves __mro_entries__, picks the
// metaclass of the bases, calls __prepare__, sets __module__ and __qualname__, and
// calls the metaclass. Names starting with "__" and not ending with "__" are mangled
// with the class name, as the compiler does.
Ref build_class(const char* name, PyObject* globals, std::initializer_list<PyObject*> bases,
                std::vector<Member>& members);

}  // namespace py
