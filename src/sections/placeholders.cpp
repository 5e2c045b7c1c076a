// Tamarel.replace_str: placeholder expansion. "${{key}}" and "${{key|cache_name}}" are
// expanded innermost first through a host object (its cache, call expressions and text
// tests) until none is left; the result is stripped.
#include "tamarel.hpp"

#include "runtime/text.hpp"

namespace sections::tamarel_members {
namespace {

using py::Call;
using py::Ref;

// The first "${{...}}" from the left whose inner text holds no brace: what
// re.search(r"\$\{\{([^{}]*)\}\}", text) matches, as its group 0. Empty if none.
struct Placeholder {
    Ref text;                 // group 0; empty when nothing matched
    Py_ssize_t start = -1;    // where it starts in the searched text, when known
};

template <class Char>
Placeholder find_placeholder(PyObject* text, const Char* s, Py_ssize_t n, Py_ssize_t from) {
    for (Py_ssize_t i = from; i + 5 <= n; ++i) {
        if (s[i] != '$' || s[i + 1] != '{' || s[i + 2] != '{') continue;
        Py_ssize_t j = i + 3;
        while (j < n && s[j] != '{' && s[j] != '}') ++j;
        if (j + 1 < n && s[j] == '}' && s[j + 1] == '}') {
            return {Ref::steal(PyUnicode_Substring(text, i, j + 2)), i};
        }
    }
    return {};
}

Placeholder find_placeholder(PyObject* text, Py_ssize_t from) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return find_placeholder(text, (const Py_UCS1*)data, n, from);
        case PyUnicode_2BYTE_KIND: return find_placeholder(text, (const Py_UCS2*)data, n, from);
        default: return find_placeholder(text, (const Py_UCS4*)data, n, from);
    }
}

// After the leftmost match at `start` was replaced, where the next search may begin.
// Nothing before `start` matched and the text before it is unchanged, so a new match
// that begins earlier must reach into the replaced part: it begins within two
// characters of `start`, or at a "${{" whose brace-free inner text runs up to
// `start`, or up to a "}" just before `start` that the replacement's first "}"
// completes into the closing "}}".
Py_ssize_t resume_point(PyObject* text, Py_ssize_t start) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    auto last_brace_before = [&](Py_ssize_t end) {
        Py_ssize_t j = end - 1;
        while (j >= 0 && at(j) != '{' && at(j) != '}') --j;
        return j;
    };
    Py_ssize_t resume = start > 2 ? start - 2 : 0;
    Py_ssize_t j = last_brace_before(start);
    if (j == start - 1 && j >= 0 && at(j) == '}') j = last_brace_before(j);
    if (j >= 2 && at(j) == '{' && at(j - 1) == '{' && at(j - 2) == '$' && j - 2 < resume) resume = j - 2;
    return resume;
}

constexpr const char* kPlaceholderPattern = "\\$\\{\\{([^{}]*)\\}\\}";

// re.search(pattern, text).group(0) through the module's `re`, or empty when there is
// no match. While `re` and `re.search` are the ones bound at import, the scan is done
// here; a rebinding of either is called as it is.
Placeholder search_placeholder(Call& c, PyObject* text, Py_ssize_t from) {
    bool native;
    Ref search = re_function(c, PY_NAME(search), &native);
    if (native && PyUnicode_Check(text)) {
        return find_placeholder(text, from);
    }
    Ref match = py::call(search, py::text(kPlaceholderPattern), text);
    if (match.get() == Py_None) return {};
    return {py::call_method(match, PY_NAME(group), py::integer(0))};
}

Ref split_bar(PyObject* key_text) {
    if (PyUnicode_CheckExact(key_text)) {
        return Ref::steal(PyUnicode_Split(key_text, PY_STR("|"), -1));
    }
    return py::call_method(key_text, PY_NAME(split), PY_STR("|"));
}

// data.replace(match, str(value)), called on data itself unless it is an exact str;
// `data.replace` is looked up before str(value) runs, as Python evaluates it.
Ref replace_all(PyObject* data, const Placeholder& match, PyObject* value) {
    if (PyUnicode_CheckExact(data)) {
        Ref replacement = py::str(value);
        // The leftmost match is also the first occurrence of its own text.
        if (match.start >= 0) return py::replace_from(data, match.start, match.text, replacement);
        return Ref::steal(PyUnicode_Replace(data, match.text, replacement, -1));
    }
    Ref replace = py::getattr(data, PY_NAME(replace));
    Ref replacement = py::str(value);
    return py::call(replace, match.text, replacement);
}

// The key and the cache name of the pieces of a placeholder's inner text:
//     if len(pieces) == 2: key, cache_name = pieces
//     else: key, cache_name = pieces[0], None
void take_pieces(PyObject* pieces, Ref& key, Ref& cache_name) {
    if (py::check((int)PyObject_Size(pieces)) != 2) {
        key = Ref::steal(PyObject_GetItem(pieces, py::integer(0)));
        return;
    }
    if (PyList_CheckExact(pieces) || PyTuple_CheckExact(pieces)) {
        key = Ref::borrow(PySequence_Fast_GET_ITEM(pieces, 0));
        cache_name = Ref::borrow(PySequence_Fast_GET_ITEM(pieces, 1));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(pieces));
    Ref unpacked[2];
    for (int i = 0; i < 2; ++i) {
        unpacked[i] = Ref::steal_nullable(PyIter_Next(it));
        if (!unpacked[i]) {
            if (PyErr_Occurred()) py::fail();
            py::raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    if (Ref extra = Ref::steal_nullable(PyIter_Next(it))) {
        py::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) py::fail();
    key = std::move(unpacked[0]);
    cache_name = std::move(unpacked[1]);
}

constexpr py::Params replace_str_params{"self, data, m_0002, tamarel_tools_error"};

Ref replace_str(Call& c) {
    auto [self, given_data, m_0002, tamarel_tools_error] = c.args<replace_str_params>();
    Ref data = Ref::borrow(given_data);

    Py_ssize_t resume = 0;  // see resume_point
    while (py::truthy(py::call_method(self, PY_NAME(is_extract), py::str(data)))) {
        Placeholder match = search_placeholder(c, py::str(data), resume);
        if (!match.text) break;
        PyObject* full_match = match.text;
        Ref key_text = py::call_method(self, PY_NAME(remove_parentheses), full_match);

        // "key|cache_name" names a cache entry; any other number of pieces does not.
        Ref pieces = split_bar(key_text);
        Ref key;
        Ref cache_name;
        take_pieces(pieces, key, cache_name);

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
            py::raise_object(py::call_args(tamarel_tools_error, py::star_args(tamarel_tools_error, m_0002), kwargs));
        }
        if (cache_name && py::truthy(cache_name)) {
            py::call_method(self, PY_NAME(set_cache), cache_name, value);
        }
        const bool exact = PyUnicode_CheckExact(data);
        data = replace_all(data, match, value);
        resume = exact && match.start >= 0 ? resume_point(data, match.start) : 0;
    }
    if (PyUnicode_Check(data)) return py::call_method(data, PY_NAME(strip));
    return data;
}

}  // namespace

const py::FunctionDef replace_str_def{"replace_str", "Tamarel.replace_str", replace_str_params, nullptr, replace_str};

}  // namespace sections::tamarel_members
