// What depends on the compiler, the platform or the interpreter's internals, in one
// place: thread-local storage without a loader call, the thread's stack bounds, the
// unwind that ends a thread, and the attribute names the inspect module marks
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

// ---- thread-local storage ------------------------------------------------------------

// Thread-local variables in the initial-exec model where the compiler has it: a plain
// load, no call into the dynamic loader on every access.
#if defined(__GNUC__) && !defined(_WIN32)
#define TAMARELS_FAST_TLS __attribute__((tls_model("initial-exec")))
#else
#define TAMARELS_FAST_TLS
#endif

// Nested calls of the module's functions on this thread (see RecursionGuard).
inline thread_local int native_depth TAMARELS_FAST_TLS = 0;


// ---- stack headroom -----------------------------------------------------------------

// The lowest address this thread's native calls may reach: the end of its stack plus
// a margin for the interpreter code that runs between two checks. Computed once per
// thread (0 means not yet; 1 means the bounds are unknown, so nothing is refused).
std::uintptr_t compute_stack_floor();

inline thread_local std::uintptr_t stack_floor TAMARELS_FAST_TLS = 0;

// True when this thread's stack is nearly used up.
inline bool stack_exhausted() {
    char here;
    if (stack_floor == 0) [[unlikely]] stack_floor = compute_stack_floor();
    return reinterpret_cast<std::uintptr_t>(&here) < stack_floor;
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
