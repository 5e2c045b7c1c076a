// What depends on the compiler, the platform or the interpreter's internals, in one
// place: the per-thread record of the recursion guard with the thread's stack bounds,
// the unwind that ends a thread, the attribute names the inspect module marks
// coroutine functions by, what a Python function's code object says about its
// parameters, what a dict's key table and a str's cached hash say, and dict and type
// watchers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

static_assert(PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000,
              "the coroutine marker and the C recursion limit are those of CPython 3.13");

// On a function whose loop is hot: inline everything it calls that can be (GCC and
// Clang; MSVC has no such request and decides alone).
#if defined(__GNUC__)
#define TAMARELS_FLATTEN __attribute__((flatten))
#else
#define TAMARELS_FLATTEN
#endif

namespace py {
struct State;
}

namespace py::compat {

// ---- the calling thread ----------------------------------------------------------------

// What the recursion guard keeps per thread, in one record so that a call reaches it
// with one thread-local lookup. The default TLS model is kept on purpose: a module
// loaded with dlopen must not claim the process's static TLS reserve.
struct ThreadRecord {
    int depth = 0;  // nested calls of the module's functions
    // Not computed yet: above every address, so that the first check computes it.
    std::uintptr_t stack_floor = UINTPTR_MAX;
    // The state of the module whose function runs on this thread (set by the call
    // entry and restored when it returns: the thread may run other interpreters and
    // other copies of the module in between).
    State* state = nullptr;
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
// on glibc unwinds through native frames: the unwind must go on, running destructors.
// libstdc++ shows it to a catch (...) as an exception of this type, to be rethrown.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#define TAMARELS_HAS_FORCED_UNWIND 1
#else
#define TAMARELS_HAS_FORCED_UNWIND 0
#endif
// Other C++ runtimes on glibc (libc++abi) have no such type: a catch (...) would stop
// the unwind, and `throw;` would start it again as a new exception instead of
// continuing it, which crashes the process. There the error boundary catches only the
// C++ exceptions it translates (std::exception), and the unwind passes by.
#if defined(__linux__) && !defined(__GLIBCXX__)
#define TAMARELS_BOUNDARY_CATCHES_ALL 0
#else
#define TAMARELS_BOUNDARY_CATCHES_ALL 1
#endif

// ---- coroutine functions -----------------------------------------------------------

// inspect.markcoroutinefunction() sets this attribute, and iscoroutinefunction() tests
// it against the module's own marker object of that name.
inline constexpr const char* kCoroutineMarkerAttribute = "_is_coroutine_marker";
inline constexpr const char* kInspectCoroutineMark = "_is_coroutine_mark";

// ---- a Python function's parameters, from its code object ---------------------------

// What inspect.signature would list for a plain Python function (PyFunction_Type): the
// count of named parameters by kind. The code object's fields are not in the limited
// API; they are read here only.
struct CodeShape {
    Py_ssize_t positional = 0;  // co_argcount
    Py_ssize_t keyword_only = 0;
    bool varargs = false;
    bool varkw = false;
    Py_ssize_t total() const { return positional + keyword_only + varargs + varkw; }
};

inline PyObject* code_of(PyObject* function) { return PyFunction_GET_CODE(function); }

inline CodeShape code_shape(PyObject* code) {
    auto* c = reinterpret_cast<PyCodeObject*>(code);
    return {c->co_argcount, c->co_kwonlyargcount, bool(c->co_flags & CO_VARARGS), bool(c->co_flags & CO_VARKEYWORDS)};
}

// The parameter names first, then the other locals (a new tuple, or NULL with the
// exception set).
inline PyObject* code_varnames(PyObject* code) { return PyCode_GetVarnames(reinterpret_cast<PyCodeObject*>(code)); }

// The function's __dict__ when it has one (borrowed; NULL when never made).
inline PyObject* function_attributes(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_dict;
}

// ---- what a dict or a str already knows ------------------------------------------------

// The hash a str has cached, or -1 when it has not computed one yet (the field of the
// str object that str.__hash__ fills in).
inline Py_hash_t cached_hash(PyObject* str) { return reinterpret_cast<PyASCIIObject*>(str)->hash; }

// True when every key of the exact dict `d` is an exact str, known in constant time:
// CPython 3.13 keeps a table of the "str keys only" kind (pycore_dict.h: dk_kind other
// than DICT_KEYS_GENERAL) for as long as no key of another type has been inserted, and
// converts it for good at the first one. False says nothing (such a dict may still
// hold only str keys). The keys object is internal: its first fields are mirrored here.
inline bool str_keys_only(PyObject* d) {
    struct KeysHead {
        Py_ssize_t refcnt;
        std::uint8_t log2_size;
        std::uint8_t log2_index_bytes;
        std::uint8_t kind;  // DICT_KEYS_GENERAL is 0
    };
    const auto* keys = reinterpret_cast<const KeysHead*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    return keys->kind != 0;
}

// The room (`allocated`) of a list that `n` appends made from empty: CPython 3.13's
// list_resize grows a full list of n items to (n + 1) + (n + 1) / 8 + 6, rounded
// down to a multiple of 4 (0, 4, 8, 16, 24, 32, 40, 52, ...).
inline Py_ssize_t room_after_appends(Py_ssize_t n) {
    Py_ssize_t room = 0;
    while (room < n) {
        const Py_ssize_t size = room + 1;
        room = (size + (size >> 3) + 6) & ~Py_ssize_t{3};
    }
    return room;
}

// ---- dict and type watchers ---------------------------------------------------------

// The interpreter calls a watcher with the event alone, no context. Each owner gets
// one of a fixed set of callbacks (a slot), and the callback reports to the owner
// its slot names. Watcher ids are per interpreter, and an interpreter has only a few:
// an owner holds one dict and one type watcher and gives them back in release().
class Watchers {
public:
    // Called with the dict and key of every change to a watched dict (key NULL when
    // the whole dict changed), and with every watched type that changed.
    using DictChanged = void (*)(void* owner, PyObject* dict, PyObject* key);
    using TypeChanged = void (*)(void* owner);

    Watchers() = default;
    Watchers(const Watchers&) = delete;
    Watchers& operator=(const Watchers&) = delete;
    ~Watchers() { release(); }

    // Registers both watchers in the running interpreter. False, with no exception
    // set, when no slot or watcher id is free.
    bool acquire(void* owner, DictChanged on_dict, TypeChanged on_type);
    bool watch_dict(PyObject* dict) { return PyDict_Watch(dict_id_, dict) == 0; }
    bool watch_type(PyObject* type) { return PyType_Watch(type_id_, type) == 0; }
    // Unregisters both (in the interpreter that acquired them: the module's own).
    void release();

private:
    int slot_ = -1;
    int dict_id_ = -1;
    int type_id_ = -1;
};

}  // namespace py::compat
