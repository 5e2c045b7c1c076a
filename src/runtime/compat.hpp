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

// What the recursion guard keeps per thread, in one record so that a call reaches it
// with one thread-local lookup. The default TLS model is kept on purpose: a module
// loaded with dlopen must not claim the process's static TLS reserve.
struct ThreadRecord {
    int depth = 0;  // nested calls of the module's functions
    // Not computed yet: above every address, so that the first check computes it.
    std::uintptr_t stack_floor = UINTPTR_MAX;
};

inline thread_local ThreadRecord this_thread;

// The calling thread's record. The empty asm makes the address opaque, so that a
// caller keeps it in a register instead of asking the TLS descriptor again at every
// use of the record.
inline ThreadRecord* current_thread() {
    ThreadRecord* record = &this_thread;
#if defined(__GNUC__)
    asm("" : "+r"(record));
#endif
    return record;
}

bool stack_exhausted_slow(ThreadRecord& record, std::uintptr_t here);

// True when the calling thread's stack is nearly used up.
inline bool stack_exhausted(ThreadRecord& record) {
    char here;
    const auto address = reinterpret_cast<std::uintptr_t>(&here);
    return address < record.stack_floor && stack_exhausted_slow(record, address);
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
