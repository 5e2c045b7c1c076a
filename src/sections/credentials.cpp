// Credentials of the git working copy: the percent-encoded user information of its
// authenticated URL, and the filter that keeps the user information of any URL, and
// the operator's own credentials, out of what is logged, raised or written by dulwich.
// It needs nothing of the working copy (git_working_copy.cpp) but the attributes
// `username` and `password` of the operator it is handed.
#include "credentials.hpp"

#include "runtime/handler.hpp"
#include "runtime/text.hpp"

#include <string>
#include <utility>
#include <vector>

namespace sections {
namespace {

using py::Call;
using py::Ref;

constexpr py::Params stream_write_params{"data"};

Ref porcelain(Call& c, PyObject* fn) { return py::getattr(c.global(PY_NAME(porcelain)), fn); }

}  // namespace

using py::Call;
using py::Ref;

// ---- credentials --------------------------------------------------------------------

// urllib.parse.quote(str(value), safe=""): the UTF-8 bytes, everything but letters,
// digits and "_.-~" as %XX, so that ":", "@" and "/" cannot end the user information.
Ref percent_encoded(PyObject* value) {
    Ref text = py::str(value);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) py::fail();
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(static_cast<size_t>(size) * 3);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const unsigned char ch = static_cast<unsigned char>(utf8[i]);
        const bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                           ch == '_' || ch == '.' || ch == '-' || ch == '~';
        if (plain) {
            out += static_cast<char>(ch);
        } else {
            out += '%';
            out += kHex[ch >> 4];
            out += kHex[ch & 0xF];
        }
    }
    return py::text(out);
}

namespace {

// What is taken out of texts that may quote the authenticated URL: pairs (needle,
// replacement) -- the user information, encoded as in the URL or raw, is dropped and
// the password masked. Empty without both credentials.
Ref secrets(PyObject* self) {
    Ref pairs = py::new_list();
    Ref username = py::getattr_optional(self, PY_NAME(username));
    Ref password = py::getattr_optional(self, PY_NAME(password));
    if (username && password && py::truthy(username) && py::truthy(password)) {
        Ref user_text = py::str(username);
        Ref password_text = py::str(password);
        Ref encoded_password = percent_encoded(password_text);
        auto add = [&](const Ref& needle, const char* replacement) {
            if (PyUnicode_GET_LENGTH(needle.get()) > 0) py::append(pairs, py::tuple(needle, py::text(replacement)));
        };
        add(py::concat(percent_encoded(user_text), ":", encoded_password, "@"), "");
        add(py::concat(user_text, ":", password_text, "@"), "");
        add(password_text, "***");
        add(encoded_password, "***");
    }
    return Ref::steal(PyList_AsTuple(pairs));
}

// The spans [first, second) of `text` that hold the user information of a URL: what
// stands between "://" and the last "@" of the authority (which ends at "/", "?",
// "#", a backslash, a quote, an angle bracket or white space).
template <class At>
std::vector<std::pair<Py_ssize_t, Py_ssize_t>> userinfo_spans(At at, Py_ssize_t n) {
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> spans;
    for (Py_ssize_t i = 0; i + 3 <= n;) {
        if (at(i) != ':' || at(i + 1) != '/' || at(i + 2) != '/') {
            ++i;
            continue;
        }
        const Py_ssize_t start = i + 3;
        Py_ssize_t end = start;
        Py_ssize_t last_at = -1;
        for (; end < n; ++end) {
            const Py_UCS4 ch = at(end);
            if (ch <= ' ' || ch == '/' || ch == '?' || ch == '#' || ch == '\\' || ch == '"' || ch == '\'' ||
                ch == '<' || ch == '>') {
                break;
            }
            if (ch == '@') last_at = end;
        }
        if (last_at >= 0) spans.emplace_back(start, last_at + 1);
        i = end;
    }
    return spans;
}

// `text` (str or bytes) without the user information of the URLs it quotes.
Ref without_userinfo(PyObject* text) {
    if (PyUnicode_Check(text)) {
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const auto spans = userinfo_spans([&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); }, n);
        if (spans.empty()) return Ref::borrow(text);
        Ref pieces = py::new_list();
        Py_ssize_t kept = 0;
        for (const auto& [first, second] : spans) {
            py::append(pieces, Ref::steal(PyUnicode_Substring(text, kept, first)));
            kept = second;
        }
        py::append(pieces, Ref::steal(PyUnicode_Substring(text, kept, n)));
        return Ref::steal(PyUnicode_Join(PY_STR(""), pieces));
    }
    if (PyBytes_Check(text)) {
        const char* data = PyBytes_AS_STRING(text);
        const Py_ssize_t n = PyBytes_GET_SIZE(text);
        const auto spans = userinfo_spans([&](Py_ssize_t i) { return Py_UCS4(static_cast<unsigned char>(data[i])); }, n);
        if (spans.empty()) return Ref::borrow(text);
        std::string out;
        Py_ssize_t kept = 0;
        for (const auto& [first, second] : spans) {
            out.append(data + kept, static_cast<size_t>(first - kept));
            kept = second;
        }
        out.append(data + kept, static_cast<size_t>(n - kept));
        return Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    }
    return Ref::borrow(text);
}

// `text` (str or bytes) with every secret replaced: the operator's own credentials
// wherever they stand, then the user information of any URL.
Ref scrubbed(PyObject* secrets, PyObject* text) {
    Ref result = Ref::borrow(text);
    const bool is_text = PyUnicode_Check(text);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(secrets); ++i) {
        PyObject* needle = PyTuple_GET_ITEM(PyTuple_GET_ITEM(secrets, i), 0);
        PyObject* replacement = PyTuple_GET_ITEM(PyTuple_GET_ITEM(secrets, i), 1);
        if (is_text) {
            result = Ref::steal(PyUnicode_Replace(result, needle, replacement, -1));
        } else {
            result = py::call_method(result, PY_NAME(replace), Ref::steal(PyUnicode_AsUTF8String(needle)),
                                     Ref::steal(PyUnicode_AsUTF8String(replacement)));
        }
    }
    return without_userinfo(result);
}

}  // namespace

Ref without_credentials(PyObject* self, PyObject* text) { return scrubbed(secrets(self), text); }

namespace {

// The raised exception `exc` and those it was raised from, with the secrets taken out
// of their arguments (dulwich errors can quote the URL they were given).
void drop_credentials(PyObject* secrets, PyObject* exc) {
    Ref current = Ref::borrow(exc);
    for (int depth = 0; current && depth < 16; ++depth) {
        Ref args = py::getattr(current, PY_NAME(args));
        if (PyTuple_Check(args)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(args.get());
            Ref cleaned = Ref::steal(PyTuple_New(n));
            bool changed = false;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* arg = PyTuple_GET_ITEM(args.get(), i);
                Ref kept = (PyUnicode_Check(arg) || PyBytes_Check(arg)) ? scrubbed(secrets, arg) : Ref::borrow(arg);
                changed = changed || !py::equal(kept, arg);
                PyTuple_SET_ITEM(cleaned.get(), i, kept.release());
            }
            if (changed) py::setattr(current, PY_NAME(args), cleaned);
        }
        Ref cause = Ref::steal_nullable(PyException_GetCause(current));
        current = cause ? std::move(cause) : Ref::steal_nullable(PyException_GetContext(current));
    }
}

// The writer dulwich gets as its error stream while the URL carries credentials: it
// quotes the URL in what it writes ("Push to <url> successful."), so the text goes to
// dulwich's usual stream without them. Its closure is (secrets, target stream or None).
Ref stream_call(Call& c, PyObject* method, PyObject* data) {
    PyObject* target = PyTuple_GET_ITEM(c.closure(), 1);
    if (target == Py_None) return py::none();
    if (!data) return py::call_method(target, method);
    return py::call_method(target, method, scrubbed(PyTuple_GET_ITEM(c.closure(), 0), data));
}
Ref stream_write(Call& c) {
    auto [data] = c.args<stream_write_params>();
    return stream_call(c, PY_NAME(write), data);
}
Ref stream_flush(Call& c) { return stream_call(c, PY_NAME(flush), nullptr); }
const py::FunctionDef stream_write_def{"write", "GitRepoOperator.<locals>.write", stream_write_params, nullptr,
                                       py::impl<stream_write>};
const py::FunctionDef stream_flush_def{"flush", "GitRepoOperator.<locals>.flush", "", nullptr, py::impl<stream_flush>};

Ref scrubbing_stream(Call& c, PyObject* secrets) {
    Ref target = py::getattr_optional(c.global(PY_NAME(porcelain)), PY_NAME(default_bytes_err_stream));
    Ref captured = py::tuple(secrets, target ? target.get() : Py_None);
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    return py::call_kw(py::getattr(types, PY_NAME(SimpleNamespace)), {},
                       {{PY_NAME(write), py::make_function(stream_write_def, c.globals(), captured)},
                        {PY_NAME(flush), py::make_function(stream_flush_def, c.globals(), captured)}});
}

}  // namespace

// porcelain.<fn>(*args, **keywords) for a call handed the authenticated URL: its
// output and what it raises leave without the credentials.
Ref remote_call(Call& c, PyObject* self, PyObject* fn, PyObject* auth_url, std::initializer_list<PyObject*> args,
                std::initializer_list<py::Keyword> keywords) {
    Ref callable = porcelain(c, fn);
    Ref positional = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* arg : args) PyTuple_SET_ITEM(positional.get(), i++, Py_NewRef(arg));
    Ref named = py::new_dict();
    for (const py::Keyword& keyword : keywords) py::setitem(named, keyword.name, keyword.value);
    Ref secret = secrets(self);
    if (PyUnicode_Check(auth_url) && !py::equal(scrubbed(secret, auth_url), auth_url)) {
        py::setitem(named, PY_NAME(errstream), scrubbing_stream(c, secret));
    }
    try {
        return py::call_args(callable, positional, named);
    } catch (const py::PythonError&) {
        py::Caught caught;
        try {
            drop_credentials(secret, caught);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // the original error matters more than its cleaning
        }
        caught.reraise();
    }
}

}  // namespace sections
