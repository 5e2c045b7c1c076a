#include "text.hpp"

#include <cstring>
#include <span>
#include <vector>

namespace py {

namespace {

// A str must be stored in the narrowest kind its characters allow. The result keeps
// every wide character of `data` when `old` is ASCII, and contains the replacement's
// widest one when the replacement is not empty; otherwise the kind is left to
// str.replace.
bool result_kind_known(PyObject* data, PyObject* old, PyObject* replacement) {
    return PyUnicode_IS_ASCII(old) ||
           (PyUnicode_GET_LENGTH(replacement) > 0 &&
            PyUnicode_MAX_CHAR_VALUE(replacement) >= PyUnicode_MAX_CHAR_VALUE(data));
}

// `data` with `replacement` in place of the `old_len` characters at each of `hits`
// (ascending, not overlapping), for a result whose kind is known.
Ref replace_hits(PyObject* data, std::span<const Py_ssize_t> hits, Py_ssize_t old_len, PyObject* replacement) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(data);
    const Py_ssize_t new_len = PyUnicode_GET_LENGTH(replacement);
    const Py_UCS4 data_max = PyUnicode_MAX_CHAR_VALUE(data);
    const Py_UCS4 new_max = PyUnicode_MAX_CHAR_VALUE(replacement);
    const Py_ssize_t count = (Py_ssize_t)hits.size();
    if (new_len > old_len && (new_len - old_len) > (PY_SSIZE_T_MAX - n) / count) {
        raise(PyExc_OverflowError, "replace string is too long");
    }
    const Py_ssize_t out_len = n + count * (new_len - old_len);
    Ref out = Ref::steal(PyUnicode_New(out_len, data_max > new_max ? data_max : new_max));
    Py_ssize_t dst = 0;
    auto put = [&](PyObject* from, Py_ssize_t start, Py_ssize_t len) {
        if (len && PyUnicode_CopyCharacters(out, dst, from, start, len) < 0) fail();
        dst += len;
    };
    Py_ssize_t src = 0;
    for (Py_ssize_t at : hits) {
        put(data, src, at - src);
        put(replacement, 0, new_len);
        src = at + old_len;
    }
    put(data, src, n - src);
    return out;
}

}  // namespace

Ref replace_at(PyObject* data, Py_ssize_t at, PyObject* old, PyObject* replacement) {
    if (!result_kind_known(data, old, replacement)) {
        return Ref::steal(PyUnicode_Replace(data, old, replacement, -1));
    }
    const Py_ssize_t hits[] = {at};
    return replace_hits(data, hits, PyUnicode_GET_LENGTH(old), replacement);
}

Ref replace_from(PyObject* data, Py_ssize_t first, PyObject* old, PyObject* replacement) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(data);
    const Py_ssize_t old_len = PyUnicode_GET_LENGTH(old);
    if (old_len == 0 || !result_kind_known(data, old, replacement)) {
        return Ref::steal(PyUnicode_Replace(data, old, replacement, -1));
    }
    std::vector<Py_ssize_t> hits{first};
    if (PyUnicode_KIND(data) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(old) == PyUnicode_1BYTE_KIND) {
        const char* s = static_cast<const char*>(PyUnicode_DATA(data));
        const char* o = static_cast<const char*>(PyUnicode_DATA(old));
        // Candidates by a byte search for the needle's first character, compared inline.
        for (Py_ssize_t pos = first + old_len; pos + old_len <= n;) {
            const void* hit = std::memchr(s + pos, o[0], static_cast<size_t>(n - old_len + 1 - pos));
            if (!hit) break;
            const Py_ssize_t at = static_cast<const char*>(hit) - s;
            Py_ssize_t k = 1;
            while (k < old_len && s[at + k] == o[k]) ++k;
            if (k == old_len) {
                hits.push_back(at);
                pos = at + old_len;
            } else {
                pos = at + 1;
            }
        }
    } else {
        for (Py_ssize_t pos = first + old_len; pos + old_len <= n;) {
            Py_ssize_t at = PyUnicode_Find(data, old, pos, n, 1);
            if (at == -2) fail();
            if (at < 0) break;
            hits.push_back(at);
            pos = at + old_len;
        }
    }
    return replace_hits(data, hits, old_len, replacement);
}

}  // namespace py
