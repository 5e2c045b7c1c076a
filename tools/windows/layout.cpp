// The object layout that the interpreter's headers give with tools/windows/pyconfig.h,
// checked against python313.dll's: compiled into the cross-built Windows module only
// (it adds no code), so that a wrong size in that header stops the build instead of
// corrupting objects the module shares with the interpreter.
//
// The figures are the DLL's (the embeddable CPython 3.13.2 for win_amd64, under wine).
// After each one, the Python expression that holds for the figure n in that
// interpreter: a type's __basicsize__, __itemsize__, __dictoffset__ or
// __weakrefoffset__ where Python shows it, otherwise whether a field's value is found
// at offset n of an object (at(n, ctype, obj) reads it with ctypes, word(address) reads
// a pointer). tests/test_build.py evaluates them on Windows, with `function` a Python
// function whose code object is `code`, `items` a list, `triple` a tuple of three, and
// sys, types and ctypes' names at hand.
#include <Python.h>

#include <cstddef>

#define LAYOUT(expr) static_assert(expr, #expr)

// The object header.
LAYOUT(sizeof(PyObject) == 16);                           // n == object.__basicsize__
LAYOUT(offsetof(PyObject, ob_type) == 8);                 // at(n, c_void_p, code) == id(types.CodeType)
LAYOUT(sizeof(PyVarObject) == 24);                        // n == tuple.__basicsize__
LAYOUT(offsetof(PyVarObject, ob_size) == 16);             // at(n, c_ssize_t, triple) == 3

// Containers the module indexes through macros (PyTuple_GET_ITEM, PyList_GET_ITEM).
LAYOUT(offsetof(PyTupleObject, ob_item) == 24);           // n == tuple.__basicsize__ and tuple.__itemsize__ == 8
LAYOUT(sizeof(PyListObject) == 40);                       // n == list.__basicsize__
LAYOUT(offsetof(PyListObject, ob_item) == 24);            // word(at(n, c_void_p, items)) == id(items[0])
LAYOUT(sizeof(PyDictObject) == 48);                       // n == dict.__basicsize__

// str (sys.getsizeof counts the characters and their terminator after the struct).
LAYOUT(sizeof(PyASCIIObject) == 40);                      // n == sys.getsizeof("") - 1
LAYOUT(sizeof(PyCompactUnicodeObject) == 56);             // n == sys.getsizeof(chr(0x4E2D)) - 4
LAYOUT(sizeof(PyUnicodeObject) == 64);                    // n == str.__basicsize__

// Numbers and bytes: 30-bit digits in 32-bit words after the tag.
LAYOUT(offsetof(PyLongObject, long_value.ob_digit) == 24);  // n == int.__basicsize__
LAYOUT(sizeof(digit) == 4);                               // n == int.__itemsize__
LAYOUT(sizeof(PyFloatObject) == 24);                      // n == float.__basicsize__
LAYOUT(offsetof(PyBytesObject, ob_sval) == 32);           // n == bytes.__basicsize__ - 1

// Types: the flags every Py*_Check macro tests are an unsigned long (32 bits here).
LAYOUT(offsetof(PyTypeObject, tp_flags) == 168);          // at(n, c_ulong, list) == list.__flags__
LAYOUT(sizeof(((PyTypeObject*)nullptr)->tp_flags) == 4);  // n == sizeof(c_ulong)
LAYOUT(offsetof(PyTypeObject, tp_dict) == 264);           // n == type.__dictoffset__
LAYOUT(offsetof(PyTypeObject, tp_weaklist) == 368);       // n == type.__weakrefoffset__
LAYOUT(sizeof(PyHeapTypeObject) == 928);                  // n == type.__basicsize__
LAYOUT(sizeof(PyMemberDef) == 40);                        // n == type.__itemsize__

// Functions and code objects, whose fields the module reads (compat.hpp).
LAYOUT(sizeof(PyFunctionObject) == 144);                  // n == types.FunctionType.__basicsize__
LAYOUT(offsetof(PyFunctionObject, func_code) == 48);      // at(n, c_void_p, function) == id(code)
LAYOUT(offsetof(PyFunctionObject, func_dict) == 88);      // n == types.FunctionType.__dictoffset__
LAYOUT(offsetof(PyFunctionObject, func_weakreflist) == 96);  // n == types.FunctionType.__weakrefoffset__
LAYOUT(offsetof(PyCodeObject, co_flags) == 48);           // at(n, c_int, code) == code.co_flags
LAYOUT(offsetof(PyCodeObject, co_argcount) == 52);        // at(n, c_int, code) == code.co_argcount
LAYOUT(offsetof(PyCodeObject, co_kwonlyargcount) == 60);  // at(n, c_int, code) == code.co_kwonlyargcount
LAYOUT(offsetof(PyCodeObject, co_weakreflist) == 144);    // n == types.CodeType.__weakrefoffset__
LAYOUT(offsetof(PyCodeObject, co_code_adaptive) == 200);  // n == types.CodeType.__basicsize__

// Exceptions, built-in functions and bound methods.
LAYOUT(sizeof(PyBaseExceptionObject) == 72);              // n == BaseException.__basicsize__
LAYOUT(offsetof(PyBaseExceptionObject, dict) == 16);      // n == BaseException.__dictoffset__
LAYOUT(sizeof(PyCFunctionObject) == 56);                  // n == types.BuiltinFunctionType.__basicsize__
LAYOUT(offsetof(PyCFunctionObject, m_weakreflist) == 40);  // n == types.BuiltinFunctionType.__weakrefoffset__
LAYOUT(sizeof(PyMethodObject) == 48);                     // n == types.MethodType.__basicsize__
LAYOUT(offsetof(PyMethodObject, im_weakreflist) == 32);   // n == types.MethodType.__weakrefoffset__
