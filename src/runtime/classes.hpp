// Classes built the way a `class` statement builds them.
#pragma once

#include "function.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace py {

struct Member {
    const char* name;  // the name in the class body (private names are mangled here)
    Ref value;
};

// Wraps a function as staticmethod(fn).
Ref static_method(Ref fn);

// class <name>(*bases): <members, in order>  -- resolves __mro_entries__, picks the
// metaclass of the bases, calls __prepare__, sets __module__ and __qualname__, and
// calls the metaclass. Names starting with "__" and not ending with "__" are mangled
// with the class name, as the compiler does.
Ref build_class(const char* name, PyObject* globals, std::initializer_list<PyObject*> bases,
                std::vector<Member>& members);

}  // namespace py
