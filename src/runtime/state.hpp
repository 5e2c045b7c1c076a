// The module's state: every Python object one module object keeps between calls.
//
// A module object owns one State (made by its exec slot, visited and released by its
// traverse, clear and free slots), so the module can be initialised any number of
// times in a process and in any number of interpreters, each copy on its own. A
// function object holds a pointer to its module's state; the call entry makes that
// state the thread's current one for the length of the call (RecursionGuard), which is
// where PY_NAME finds the interned names of the module the running code belongs to.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <cassert>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace py {


// A section's own cache in the state (objects bound at import, what a fast path
// checked): `state.get<T>()` makes it on first use. Every reference it holds is
// visited and cleared through these two.
struct Cache {
    virtual ~Cache() = default;
    virtual int traverse(visitproc, void*) { return 0; }
    virtual void clear() {}
};

namespace detail {
// Process-wide tables of what the program declares (C++ data, no Python object):
// the texts of the interned names, and the number of cache kinds. Filled while the
// shared library is loaded, before any state is made.
int register_name(std::string text);
int register_cache();
template <class T>
inline const int cache_index = register_cache();
}  // namespace detail

struct State {
    // Interned str per declared name (detail::register_name); released at free.
    std::vector<PyObject*> names;
    PyTypeObject* function_type = nullptr;
    PyTypeObject* coroutine_type = nullptr;

    template <class T>
    T& get() {
        auto& slot = caches[detail::cache_index<T>];
        if (!slot) slot = std::make_unique<T>();
        return static_cast<T&>(*slot);
    }

    int traverse(visitproc visit, void* arg);
    void clear();
    ~State();

    // Makes the state of `module`, its names and types; false with the exception set.
    static State* create(PyObject* module);
    // The state of a module object of this definition (NULL before exec).
    static State* of(PyObject* module);

    std::vector<std::unique_ptr<Cache>> caches;
};

// The state of the module whose code runs on this thread.
inline State& current_state() {
    State* state = compat::current_thread()->state;
    assert(state && "module code runs only inside a StateScope (a call entry, exec, a slot)");
    return *state;
}

// Makes `state` the thread's current one until the end of the scope: for the entries
// from the interpreter that do not pass through a call entry (exec, getters).
class StateScope {
public:
    explicit StateScope(State* state) : record_(compat::current_thread()), saved_(record_->state) {
        record_->state = state;
    }
    ~StateScope() { record_->state = saved_; }
    StateScope(const StateScope&) = delete;
    StateScope& operator=(const StateScope&) = delete;

private:
    compat::ThreadRecord* record_;
    State* saved_;
};

}  // namespace py
