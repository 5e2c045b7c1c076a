/* The configuration of CPython 3.13 for Windows x86-64 (python313.dll, the release
   build of python.org and of the embeddable distribution), as the interpreter's
   headers and this module need it when the module is cross-built from Linux.

   `tools/cross windows` puts this file in place of the build machine's own
   pyconfig.h beside the interpreter's other headers, which are the same on every
   platform. It describes only what those headers test and what changes the layout
   of the objects the module shares with python313.dll; tools/windows/layout.cpp
   checks the resulting layout against the DLL's. MSVC builds on Windows use the
   pyconfig.h of the installed interpreter instead. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !(defined(__x86_64__) || defined(_M_X64))
#error "this pyconfig.h describes CPython 3.13 on Windows x86-64 only"
#endif
/* python313.dll is the release build with the GIL: a free-threaded or debug build
   lays objects out differently (ob_tid, ob_ref_shared; the reference-trace links). */
#if defined(Py_GIL_DISABLED) || defined(Py_DEBUG) || defined(Py_TRACE_REFS) || defined(Py_REF_DEBUG)
#error "python313.dll is the release build with the GIL"
#endif

#include <limits.h> /* LLONG_MAX */
#include <stddef.h> /* size_t, wchar_t */
#include <time.h>   /* time_t */

/* ---- the platform ------------------------------------------------------------- */

#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
/* Thread-specific storage keys are TLS indexes (Py_tss_t holds an unsigned long),
   not pthread keys, even where the C library has pthread.h. */
#define NT_THREADS

/* The C API comes from python313.dll: functions and data are declared
   __declspec(dllimport), and PyInit_tamarels is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* ---- sizes (LLP64: long stays 32 bits) ----------------------------------------- */

#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_WCHAR_T 2
/* The Universal CRT's time_t (64 bits unless _USE_32BIT_TIME_T, which the DLL does
   not use). */
#define SIZEOF_TIME_T 8

/* Py_ssize_t is the signed type of size_t's width; the C library's ssize_t (a MinGW
   addition) is not used. */
typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX LLONG_MAX

/* ---- headers the C runtime has ------------------------------------------------- */

#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_WCHAR_H 1

/* ---- how python313.dll was built, where the headers show it -------------------- */

#define WITH_DOC_STRINGS 1 /* PyDoc_STR keeps its text */
#define WITH_PYMALLOC 1
#define WITH_MIMALLOC 1

/* ---- the sizes above, checked against the compiler's --------------------------- */

#ifdef __cplusplus
#define Py_CONFIG_CHECK_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof(" #type ")")
#else
#define Py_CONFIG_CHECK_SIZE(type, size) _Static_assert(sizeof(type) == (size), "sizeof(" #type ")")
#endif
Py_CONFIG_CHECK_SIZE(int, SIZEOF_INT);
Py_CONFIG_CHECK_SIZE(long, SIZEOF_LONG);
Py_CONFIG_CHECK_SIZE(long long, SIZEOF_LONG_LONG);
Py_CONFIG_CHECK_SIZE(void*, SIZEOF_VOID_P);
Py_CONFIG_CHECK_SIZE(size_t, SIZEOF_SIZE_T);
Py_CONFIG_CHECK_SIZE(Py_ssize_t, SIZEOF_SIZE_T);
Py_CONFIG_CHECK_SIZE(wchar_t, SIZEOF_WCHAR_T);
Py_CONFIG_CHECK_SIZE(time_t, SIZEOF_TIME_T);
#undef Py_CONFIG_CHECK_SIZE

#endif /* Py_CONFIG_H */
