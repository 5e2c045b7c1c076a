// What depends on the compiler, the platform or the interpreter's internals, in one
// place: the per-thread record of the recursion guard with the thread's stack bounds,
// the unwind that ends a thread, and the attribute names the inspect module marks
// coroutine functions by.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

static_assert(PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000,
              "the coroutine marker and the C recursion limit are those of CPython 3.13");

namespace py::compat {

// ---- the calling thread ----------------------------------------------------------------

// The lowest address this thread's native calls may reach: the end of its stack plus
// a margin for the interpreter code that runs between two checks (1 when the bounds
// are unknown, so that nothing is refused).
std::uintptr_t compute_stack_floor();

// What the recursion guard keeps per thread, in one record so that a call reaches it
// with one thread-local lookup. The default TLS model is kept on purpose: a module
// loaded with dlopen must not claim the process's static TLS reserve.
struct ThreadRecord {
    int depth = 0;                // nested calls of the module's functions
    std::uintptr_t stack_floor = 0;  // 0: not computed yet
};

inline thread_local ThreadRecord this_thread;

// True when the calling thread's stack is nearly used up.
inline bool stack_exhausted(ThreadRecord& record) {
    char here;
    if (record.stack_floor == 0) [[unlikely]] record.stack_floor = compute_stack_floor();
    return reinterpret_cast<std::uintptr_t>(&here) < record.stack_floor;
}

// ---- the unwind that ends a thread -------------------------------------------------

// At exit the interpreter ends daemon threads that still run with pthread_exit, which
// unwinds through native frames as an exception of this type: it must go on.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#define TAMARELS_HAS_FORCED_UNWIND 1
#else
#define TAMARELS_HAS_FORCED_UNWIND 0
#endif

// ---- coroutine functions -----------------------------------------------------------

// inspect.markcoroutinefunction() sets this attribute, and iscoroutinefunction() tests
// it against the module's own marker object of that name.
inline constexpr const char* kCoroutineMarkerAttribute = "_is_coroutine_marker";
inline constexpr const char* kInspectCoroutineMark = "_is_coroutine_mark";

}  // namespace py::compat
