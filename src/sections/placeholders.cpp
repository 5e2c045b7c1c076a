// Tamarel.replace_str: placeholder expansion. "${{key}}" and "${{key|cache_name}}" are
// expanded innermost first through a host object (its cache, call expressions and text
// tests) until none is left; the result is stripped.
#include "tamarel.hpp"

#include "runtime/text.hpp"

#include <vector>

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

// Finds the leftmost placeholder of each pass without reading the text again from
// its start. It keeps the positions of the braces read so far (all of them, up to
// where the last search stopped); a pass changes the text only from its match on,
// so the text before that stays as read, and the next search starts where a match
// could begin at the earliest (see replaced).
class PlaceholderScanner {
public:
    Placeholder find(PyObject* text) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const void* data = PyUnicode_DATA(text);
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: return find(text, static_cast<const Py_UCS1*>(data), n);
            case PyUnicode_2BYTE_KIND: return find(text, static_cast<const Py_UCS2*>(data), n);
            default: return find(text, static_cast<const Py_UCS4*>(data), n);
        }
    }

    // The match at `start` was replaced; `text` is the new text. Nothing before
    // `start` matched and that part is unchanged, so a new match that begins earlier
    // must reach into the replaced part: it begins within two characters of `start`,
    // or at a "${{" whose brace-free inner text runs up to `start`, or up to a "}"
    // just before `start` that the replacement's first "}" completes into "}}".
    void replaced(PyObject* text, Py_ssize_t start) {
        while (!braces_.empty() && braces_.back() >= start) braces_.pop_back();
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
        resume_ = start > 2 ? start - 2 : 0;
        size_t last = braces_.size();
        if (last == 0) return;
        Py_ssize_t j = braces_[last - 1];
        if (j == start - 1 && at(j) == '}') {
            if (last < 2) return;
            j = braces_[last - 2];
        }
        if (j >= 2 && at(j) == '{' && at(j - 1) == '{' && at(j - 2) == '$' && j - 2 < resume_) resume_ = j - 2;
    }

    // The text was searched some other way, or is not an exact str: start over.
    void reset() {
        braces_.clear();
        resume_ = 0;
    }

private:
    // The first "}}" (from `resume_` on) whose last brace before is the "{" of a "${{"
    // ends the leftmost match: the one whose inner text holds no brace.
    template <class Char>
    Placeholder find(PyObject* text, const Char* s, Py_ssize_t n) {
        const Py_ssize_t from = resume_;
        while (!braces_.empty() && braces_.back() >= from) braces_.pop_back();
        for (Py_ssize_t p = from; p < n; ++p) {
            const Char ch = s[p];
            if (ch != '{' && ch != '}') continue;
            if (ch == '}' && p + 1 < n && s[p + 1] == '}' && !braces_.empty()) {
                const Py_ssize_t q = braces_.back();
                if (s[q] == '{' && q >= 2 && s[q - 1] == '{' && s[q - 2] == '$' && q - 2 >= from) {
                    braces_.push_back(p);
                    braces_.push_back(p + 1);
                    return {Ref::steal(PyUnicode_Substring(text, q - 2, p + 2)), q - 2};
                }
            }
            braces_.push_back(p);
        }
        return {};
    }

    std::vector<Py_ssize_t> braces_;
    Py_ssize_t resume_ = 0;
};

constexpr const char* kPlaceholderPattern = "\\$\\{\\{([^{}]*)\\}\\}";

// re.search(pattern, text).group(0) through the module's `re`, or empty when there is
// no match. While `re` and `re.search` are the ones bound at import, the scan is done
// here; a rebinding of either is called as it is.
Placeholder search_placeholder(Call& c, PyObject* text, PlaceholderScanner& scanner) {
    bool native;
    Ref search = re_function(c, PY_NAME(search), &native);
    if (native && PyUnicode_Check(text)) return scanner.find(text);
    scanner.reset();
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

    PlaceholderScanner scanner;
    while (py::truthy(py::call_method(self, PY_NAME(is_extract), py::str(data)))) {
        Placeholder match = search_placeholder(c, py::str(data), scanner);
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
        if (exact && match.start >= 0 && PyUnicode_CheckExact(data)) {
            scanner.replaced(data, match.start);
        } else {
            scanner.reset();  // str(data) is a new text each pass
        }
    }
    if (PyUnicode_Check(data)) return py::call_method(data, PY_NAME(strip));
    return data;
}

}  // namespace

const py::FunctionDef replace_str_def{"replace_str", "Tamarel.replace_str", replace_str_params, nullptr, py::impl<replace_str>};

}  // namespace sections::tamarel_members
