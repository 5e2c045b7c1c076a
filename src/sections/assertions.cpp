// Assertions: the dispatcher. The assertion object's method of the given
// name is called with the values prepared the way its family (text, excel, sql,
// custom) expects.
#include "sections.hpp"

#include "runtime/handler.hpp"

namespace sections {
namespace {

using py::Call;
using py::Ref;

// callable(getattr(kwargs.get(family), method, None))
bool in_family(Call& c, PyObject* family, PyObject* method) {
    Ref declaration = Ref::borrow(c.keyword(family));
    if (!declaration && PyErr_Occurred()) py::fail();
    // Absent, the family counts as None, which is probed like any object.
    Ref member = py::getattr_optional(declaration ? declaration.get() : Py_None, method);
    return member && PyCallable_Check(member);
}

// A str whose stripped copy begins with "{" or "[".
bool looks_like_json(PyObject* value) {
    if (!PyUnicode_Check(value)) return false;
    if (PyUnicode_CheckExact(value)) {  // the first character that strip() keeps
        const int kind = PyUnicode_KIND(value);
        const void* data = PyUnicode_DATA(value);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        Py_ssize_t i = 0;
        while (i < n && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
        return i < n && (PyUnicode_READ(kind, data, i) == '{' || PyUnicode_READ(kind, data, i) == '[');
    }
    Ref stripped = py::call_method(value, PY_NAME(strip));
    if (PyUnicode_CheckExact(stripped)) {
        if (PyUnicode_GET_LENGTH(stripped.get()) == 0) return false;
        Py_UCS4 first = PyUnicode_READ_CHAR(stripped.get(), 0);
        return first == '{' || first == '[';
    }
    return py::truthy(py::call_method(stripped, PY_NAME(startswith), py::tuple(PY_STR("{"), PY_STR("["))));
}

Ref json_loads(Call& c, PyObject* text) {
    return py::call_method(c.global(PY_NAME(json)), PY_NAME(loads), text);
}

// json.decoder.JSONDecodeError, read when an error is to be caught.
Ref decode_error(Call& c) {
    return py::getattr(py::getattr(c.global(PY_NAME(json)), PY_NAME(decoder)),
                       PY_NAME(JSONDecodeError));
}

// raise TamarelToolsError(*entry)
[[noreturn]] void raise_platform_error(Call& c, PyObject* entry_name) {
    Ref error_class = c.global(PY_NAME(TamarelToolsError));
    Ref entry = py::star_args(error_class, c.global(entry_name));
    py::raise_object(py::call_args(error_class, entry));
}

constexpr py::Params ass_params{"self, method: str, actual, expect=None, **kwargs"};

Ref ass(Call& c) {
    // **kwargs is read through c.keyword() (see in_family): no dict is made for it.
    auto [self, method, given_actual, given_expect, unused_kwargs] = c.args<ass_params>();
    Ref actual = Ref::borrow(given_actual);
    Ref expect = Ref::borrow(given_expect);
    if (!PyUnicode_CheckExact(method)) {
        py::raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         "method", "str", Py_TYPE(method)->tp_name);
    }

    if (in_family(c, PY_NAME(text), method)) {
        if (expect.get() == Py_None) return py::call_method(self, method, actual);
        return py::call_method(self, method, actual, expect);
    }

    if (in_family(c, PY_NAME(excel), method)) {
        py::try_except(
            [&] { return decode_error(c); },
            [&] {
                if (PyUnicode_Check(actual)) {
                    py::try_except(
                        [&] { return decode_error(c); },
                        [&] {
                            if (looks_like_json(actual)) actual = json_loads(c, actual);
                        },
                        [&](PyObject*) {
                            // Windows paths in JSON strings: double every backslash.
                            Ref repaired = py::call_method(c.global(PY_NAME(re)), PY_NAME(sub),
                                                           PY_STR("\\\\"), PY_STR("\\\\\\\\"), actual);
                            actual = json_loads(c, repaired);
                        });
                }
                if (looks_like_json(expect)) expect = json_loads(c, expect);
            },
            [&](PyObject*) { raise_platform_error(c, PY_NAME(ERROR_MSG_0019)); });
        return py::call_method(self, method, actual, expect);
    }

    if (in_family(c, PY_NAME(sql), method)) {
        if (py::getattr(self, PY_NAME(mysql_connect)).get() == Py_None) {
            raise_platform_error(c, PY_NAME(ERROR_MSG_0021));
        }
        if (looks_like_json(expect)) {
            py::try_except(
                [&] { return decode_error(c); }, [&] { expect = json_loads(c, expect); }, [](PyObject*) {});
        }
        if (py::truthy(expect)) return py::call_method(self, method, actual, expect);
        return py::call_method(self, method, actual);
    }

    if (in_family(c, PY_NAME(custom), method)) return py::call_method(self, method, actual);

    return py::call_method(self, method, actual, expect);
}

const py::FunctionDef ass_def{"ass", "ass", nullptr, py::impl<ass, ass_params>, py::ArgErrors::Counted, false,
                              py::Kwargs::ReadOnly};

}  // namespace

void assertions(py::ModuleBody& m) {
    m.import("json");
    m.import("re");
    m.import_from("tamareltools.exceptions", "TamarelToolsError");
    m.import_from("tamareltools.exceptions.error_msg", "ERROR_MSG_0019");
    m.import_from("tamareltools.exceptions.error_msg", "ERROR_MSG_0021");
    m.def(ass_def);
}

}  // namespace sections
