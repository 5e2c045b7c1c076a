// Section tamarel: the background event-loop thread and the test-data engine.
#include "sections.hpp"

namespace sections {
namespace {

using py::Call;
using py::Ref;

// ---- AsyncioThread -------------------------------------------------------------

// The class cell (`__class__`) of the methods, filled in once the class exists.
PyObject* class_of(Call& c) {
    PyObject* cls = PyCell_GET(c.closure());
    if (!cls) py::raise(PyExc_RuntimeError, "super(): empty __class__ cell");
    return cls;
}

Ref asyncio_thread_init(Call& c) {
    PyObject* self = c[0];
    Ref parent = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), class_of(c), self);
    py::call_method(parent, PY_NAME(__init__));
    py::setattr(self, PY_NAME(_loop), c[1]);
    py::setattr(self, PY_NAME(daemon), Py_True);
    return py::none();
}

Ref asyncio_thread_run(Call& c) {
    Ref loop = py::getattr(c[0], PY_NAME(_loop));
    py::call_method(loop, PY_NAME(run_forever));
    return py::none();
}

const py::FunctionDef asyncio_thread_init_def{
    "__init__", "AsyncioThread.__init__", "self, loop", nullptr, asyncio_thread_init};
const py::FunctionDef asyncio_thread_run_def{
    "run", "AsyncioThread.run", "self -> None", nullptr, asyncio_thread_run};

// ---- Tamarel.replace_str ---------------------------------------------------------

// The first "${{...}}" from the left whose inner text holds no brace: what
// re.search(r"\$\{\{([^{}]*)\}\}", text) matches, as its group 0. Empty if none.
template <class Char>
Ref find_placeholder(PyObject* text, const Char* s, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i + 5 <= n; ++i) {
        if (s[i] != '$' || s[i + 1] != '{' || s[i + 2] != '{') continue;
        Py_ssize_t j = i + 3;
        while (j < n && s[j] != '{' && s[j] != '}') ++j;
        if (j + 1 < n && s[j] == '}' && s[j + 1] == '}') {
            return Ref::steal(PyUnicode_Substring(text, i, j + 2));
        }
    }
    return {};
}

Ref find_placeholder(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return find_placeholder(text, (const Py_UCS1*)data, n);
        case PyUnicode_2BYTE_KIND: return find_placeholder(text, (const Py_UCS2*)data, n);
        default: return find_placeholder(text, (const Py_UCS4*)data, n);
    }
}

constexpr const char* kPlaceholderPattern = "\\$\\{\\{([^{}]*)\\}\\}";

// re.search(pattern, text).group(0) through the module's `re`, or empty when there is
// no match. While `re` and `re.search` are the ones bound at import, the scan is done
// here; a rebinding of either is called as it is.
Ref search_placeholder(Call& c, PyObject* text) {
    PyObject* original = c.closure();  // (re, re.search) as imported
    Ref re = c.global(PY_NAME(re));
    Ref search = py::getattr(re, PY_NAME(search));
    if (re.get() == PyTuple_GET_ITEM(original, 0) && search.get() == PyTuple_GET_ITEM(original, 1) &&
        PyUnicode_Check(text)) {
        return find_placeholder(text);
    }
    Ref match = py::call(search, py::text(kPlaceholderPattern), text);
    if (match.get() == Py_None) return {};
    return py::call_method(match, PY_NAME(group), py::integer(0));
}

Ref split_bar(PyObject* key_text) {
    if (PyUnicode_CheckExact(key_text)) {
        return Ref::steal(PyUnicode_Split(key_text, PY_STR("|"), -1));
    }
    return py::call_method(key_text, PY_NAME(split), PY_STR("|"));
}

Ref replace_all(PyObject* data, PyObject* old, PyObject* replacement) {
    if (PyUnicode_CheckExact(data)) {
        return Ref::steal(PyUnicode_Replace(data, old, replacement, -1));
    }
    return py::call_method(data, PY_NAME(replace), old, replacement);
}

Ref replace_str(Call& c) {
    PyObject* self = c[0];
    Ref data = Ref::borrow(c[1]);
    PyObject* m_0002 = c[2];
    PyObject* tamarel_tools_error = c[3];

    while (py::truthy(py::call_method(self, PY_NAME(is_extract), py::str(data)))) {
        Ref full_match = search_placeholder(c, py::str(data));
        if (!full_match) break;
        Ref key_text = py::call_method(self, PY_NAME(remove_parentheses), full_match);

        // "key|cache_name" names a cache entry; any other number of pieces does not.
        Ref pieces = split_bar(key_text);
        Ref key = Ref::steal(PySequence_GetItem(pieces, 0));
        Ref cache_name;
        if (py::check((int)PySequence_Size(pieces)) == 2) {
            cache_name = Ref::steal(PySequence_GetItem(pieces, 1));
        }

        Ref value;
        if (py::truthy(py::call_method(self, PY_NAME(is_extract), key))) {
            Ref nested = Ref::steal(PyUnicode_FromFormat("${{%U}}", py::str(key).get()));
            value = py::call_method(self, PY_NAME(replace_str), nested, m_0002, tamarel_tools_error);
        } else if (py::truthy(py::call_method(self, PY_NAME(identify_parentheses), key))) {
            value = py::call_method(self, PY_NAME(regular), key);
        } else {
            value = py::call_method(self, PY_NAME(get_cache), key);
        }

        if (value.get() == Py_None) {
            Ref kwargs = py::new_dict();
            py::setitem(kwargs, PY_NAME(value), py::tuple(key));
            py::raise_object(py::call_args(tamarel_tools_error, py::as_tuple(m_0002), kwargs));
        }
        if (cache_name && py::truthy(cache_name)) {
            py::call_method(self, PY_NAME(set_cache), cache_name, value);
        }
        data = replace_all(data, full_match, py::str(value));
    }
    if (PyUnicode_Check(data)) return py::call_method(data, PY_NAME(strip));
    return data;
}

const py::FunctionDef replace_str_def{"replace_str", "Tamarel.replace_str",
                                      "self, data, m_0002, tamarel_tools_error", nullptr,
                                      replace_str};

}  // namespace

void tamarel(py::ModuleBody& m) {
    for (const char* name : {"asyncio", "copy", "json", "re", "smtplib", "threading"}) {
        m.import(name);
    }
    m.import_from("datetime", "datetime");
    m.import_from("email.mime.multipart", "MIMEMultipart");
    m.import_from("email.mime.text", "MIMEText");
    m.import_from("threading", "Thread");

    {
        Ref cell = Ref::steal(PyCell_New(nullptr));
        std::vector<py::Member> body;
        body.push_back({"__init__", m.function(asyncio_thread_init_def, cell)});
        body.push_back({"run", m.function(asyncio_thread_run_def, cell)});
        Ref thread = py::getitem(m.globals(), PY_NAME(Thread));
        Ref cls = py::build_class("AsyncioThread", m.globals(), {thread.get()}, body);
        py::check(PyCell_Set(cell, cls));
        m.bind("AsyncioThread", cls);
    }
    {
        Ref re = py::getitem(m.globals(), PY_NAME(re));
        Ref original = py::tuple(re, py::getattr(re, PY_NAME(search)));
        std::vector<py::Member> body;
        body.push_back({"replace_str", py::static_method(m.function(replace_str_def, original))});
        m.bind("Tamarel", py::build_class("Tamarel", m.globals(), {}, body));
    }
}

}  // namespace sections
