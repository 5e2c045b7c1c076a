// Credentials of the git working copy: the percent-encoded user information of its
// authenticated URL, and the filter that keeps the user information of any URL, and
// the operator's own credentials, out of what is logged, raised or written by dulwich.
// It needs nothing of the working copy (the other files here) but the attributes
// `username` and `password` of the operator it is handed.
#include "credentials.hpp"

#include "runtime/handler.hpp"
#include "runtime/text.hpp"

#include <algorithm>
#include <string>
#include <string_view>
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

namespace {

// The UTF-8 bytes of a str, a lone surrogate written as its three bytes (the
// "surrogatepass" handler): no str makes this fail.
Ref utf8_bytes(PyObject* text) { return Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass")); }

}  // namespace

// urllib.parse.quote(str(value), safe=""): the UTF-8 bytes, everything but letters,
// digits and "_.-~" as %XX, so that ":", "@" and "/" cannot end the user information.
// A lone surrogate, which quote() refuses, is encoded as its three bytes: the URL is
// made wherever the raw text would be, and the server refuses it like a wrong password.
Ref percent_encoded(PyObject* value) {
    Ref text = py::str(value);
    Ref raw = utf8_bytes(text);
    const char* utf8 = PyBytes_AS_STRING(raw.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(raw.get());
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

// The text an error is shown by: str(exc), or the name of its type where that is
// empty (dulwich's NotGitRepository() says nothing of itself).
Ref error_text(PyObject* exc) {
    Ref text = py::str(exc);
    if (PyUnicode_GET_LENGTH(text.get()) > 0) return text;
    return Ref::steal(PyType_GetName(Py_TYPE(exc)));
}

namespace {

// What the operator's own credentials look like in a text: triples (needle as str,
// the same as UTF-8 bytes, replacement) -- the user information as the URL carries
// it, percent-encoded, or raw is dropped (""), the password alone masked ("***").
// They are read as the authenticated URL reads them: bool(username), then the
// password and bool(password), then str(username), then str(password). Whatever of
// that fails leaves the tuple empty: a text its failure kept them out of has nothing
// of them to hide, and the filter never raises where the text itself is shown.
Ref secrets(PyObject* self) {
    Ref triples = py::new_list();
    try {
        Ref username = py::getattr(self, PY_NAME(username));
        if (!py::truthy(username)) return Ref::steal(PyTuple_New(0));
        Ref password = py::getattr(self, PY_NAME(password));
        if (!py::truthy(password)) return Ref::steal(PyTuple_New(0));
        Ref user_text = py::str(username);
        Ref password_text = py::str(password);
        Ref encoded_password = percent_encoded(password_text);
        auto add = [&](const Ref& needle, const char* replacement) {
            if (PyUnicode_GET_LENGTH(needle.get()) > 0) {
                py::append(triples, py::tuple(needle, utf8_bytes(needle), py::text(replacement)));
            }
        };
        add(py::concat(percent_encoded(user_text), ":", encoded_password, "@"), "");
        add(py::concat(user_text, ":", password_text, "@"), "");
        add(password_text, "***");
        add(encoded_password, "***");
    } catch (const py::PythonError&) {
        py::Caught caught;
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        return Ref::steal(PyTuple_New(0));
    }
    return Ref::steal(PyList_AsTuple(triples));
}

// What becomes of each character of a text: kept, masked or dropped.
enum Mark : unsigned char { kKeep = 0, kMask = 1, kDrop = 2 };

void mark(std::vector<Mark>& marks, Py_ssize_t first, Py_ssize_t last, Mark how) {
    for (Py_ssize_t i = first; i < last; ++i) marks[static_cast<size_t>(i)] = std::max(marks[static_cast<size_t>(i)], how);
}

// Drops the user information of every URL in a text of `n` characters read by `at`:
// each "://" (also one that starts inside the authority of an earlier URL) begins an
// authority that runs to the first "/", "?" or "#", or to the end of the text; its
// user information runs to the last "@" in it. Quotes, backslashes and angle brackets
// end nothing: a password may hold them, and repr() or bytes shown as text put them
// in front of its characters.
template <class At>
bool mark_userinfo(At at, Py_ssize_t n, std::vector<Mark>& marks) {
    bool marked = false;
    for (Py_ssize_t i = 0; i + 3 <= n; ++i) {
        if (at(i) != ':' || at(i + 1) != '/' || at(i + 2) != '/') continue;
        const Py_ssize_t start = i + 3;
        Py_ssize_t last_at = -1;
        for (Py_ssize_t end = start; end < n; ++end) {
            const Py_UCS4 ch = at(end);
            if (ch == '/' || ch == '?' || ch == '#') break;
            if (ch == '@') last_at = end;
        }
        if (last_at >= 0) {
            mark(marks, start, last_at + 1, kDrop);
            marked = true;
        }
    }
    return marked;
}

// `text` (str or bytes) without the secrets: the user information of its URLs and the
// operator's own credentials are found in the text as it is -- neither search sees
// what the other took out, so a password such as ":" or "/" cannot hide a URL from
// the scan -- then the dropped characters go and each run of masked ones becomes
// "***". Nothing here runs Python code or raises but for want of memory.
Ref scrubbed(PyObject* secrets, PyObject* text) {
    const bool is_text = PyUnicode_Check(text);
    if (!is_text && !PyBytes_Check(text)) return Ref::borrow(text);
    const Py_ssize_t n = is_text ? PyUnicode_GET_LENGTH(text) : PyBytes_GET_SIZE(text);
    std::vector<Mark> marks(static_cast<size_t>(n), kKeep);
    bool marked = false;
    const int kind = is_text ? PyUnicode_KIND(text) : 0;
    const void* data = is_text ? PyUnicode_DATA(text) : nullptr;
    const std::string_view raw = is_text ? std::string_view{}
                                         : std::string_view(PyBytes_AS_STRING(text), static_cast<size_t>(n));
    if (is_text) {
        marked = mark_userinfo([&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); }, n, marks);
    } else {
        marked = mark_userinfo([&](Py_ssize_t i) { return Py_UCS4(static_cast<unsigned char>(raw[static_cast<size_t>(i)])); },
                               n, marks);
    }
    for (Py_ssize_t s = 0; s < PyTuple_GET_SIZE(secrets); ++s) {
        PyObject* triple = PyTuple_GET_ITEM(secrets, s);
        const Mark how = PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(triple, 2)) == 0 ? kDrop : kMask;
        if (is_text) {
            PyObject* needle = PyTuple_GET_ITEM(triple, 0);
            const Py_ssize_t length = PyUnicode_GET_LENGTH(needle);
            for (Py_ssize_t at = 0; at + length <= n;) {
                const Py_ssize_t found = PyUnicode_Find(text, needle, at, n, 1);
                if (found == -2) py::fail();
                if (found < 0) break;
                mark(marks, found, found + length, how);
                marked = true;
                at = found + length;
            }
        } else {
            PyObject* needle_bytes = PyTuple_GET_ITEM(triple, 1);
            const std::string_view needle(PyBytes_AS_STRING(needle_bytes),
                                          static_cast<size_t>(PyBytes_GET_SIZE(needle_bytes)));
            for (size_t at = raw.find(needle); at != std::string_view::npos; at = raw.find(needle, at + needle.size())) {
                mark(marks, static_cast<Py_ssize_t>(at), static_cast<Py_ssize_t>(at + needle.size()), how);
                marked = true;
            }
        }
    }
    if (!marked) return Ref::borrow(text);
    // Runs of kept characters, and "***" for each run of masked ones (dropped
    // characters inside a run do not split it).
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> kept;  // [first, last); first < 0 stands for "***"
    bool masking = false;
    for (Py_ssize_t i = 0; i < n;) {
        const Mark m = marks[static_cast<size_t>(i)];
        if (m == kDrop) {
            ++i;
        } else if (m == kMask) {
            if (!masking) kept.emplace_back(-1, -1);
            masking = true;
            ++i;
        } else {
            Py_ssize_t j = i;
            while (j < n && marks[static_cast<size_t>(j)] == kKeep) ++j;
            kept.emplace_back(i, j);
            masking = false;
            i = j;
        }
    }
    if (is_text) {
        Ref pieces = py::new_list();
        for (const auto& [first, last] : kept) {
            py::append(pieces, first < 0 ? Ref::borrow(PY_STR("***")) : Ref::steal(PyUnicode_Substring(text, first, last)));
        }
        return Ref::steal(PyUnicode_Join(PY_STR(""), pieces));
    }
    std::string out;
    for (const auto& [first, last] : kept) {
        if (first < 0) {
            out += "***";
        } else {
            out.append(raw.substr(static_cast<size_t>(first), static_cast<size_t>(last - first)));
        }
    }
    return Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace

Ref without_credentials(PyObject* self, PyObject* text) { return scrubbed(secrets(self), text); }

namespace {

// body(), its failure forgotten: a text that cannot be replaced stays as it was, and
// the others are still cleaned.
template <class Body>
void quietly(Body&& body) {
    try {
        body();
    } catch (const py::PythonError&) {
        PyErr_Clear();
    }
}

// owner.<name> without the secrets when it is a str or bytes; any other value stays.
void scrub_attribute(PyObject* secrets, PyObject* owner, PyObject* name) {
    quietly([&] {
        Ref value = py::getattr_optional(owner, name);
        if (!value || !(PyUnicode_Check(value) || PyBytes_Check(value))) return;
        Ref kept = scrubbed(secrets, value);
        if (kept.get() != value.get()) py::setattr(owner, name, kept);
    });
}

// One error's texts without the secrets: its arguments (str and bytes ones), the
// message and file names str() of an OSError quotes, and the notes a traceback prints.
void scrub_error(PyObject* secrets, PyObject* exc) {
    quietly([&] {
        Ref args = py::getattr(exc, PY_NAME(args));
        if (!PyTuple_Check(args)) return;
        const Py_ssize_t n = PyTuple_GET_SIZE(args.get());
        Ref cleaned = Ref::steal(PyTuple_New(n));
        bool changed = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* arg = PyTuple_GET_ITEM(args.get(), i);
            Ref kept = (PyUnicode_Check(arg) || PyBytes_Check(arg)) ? scrubbed(secrets, arg) : Ref::borrow(arg);
            changed = changed || kept.get() != arg;
            PyTuple_SET_ITEM(cleaned.get(), i, kept.release());
        }
        if (changed) py::setattr(exc, PY_NAME(args), cleaned);
    });
    if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        scrub_attribute(secrets, exc, PY_NAME(strerror));
        scrub_attribute(secrets, exc, PY_NAME(filename));
        scrub_attribute(secrets, exc, PY_NAME(filename2));
    }
    quietly([&] {
        Ref notes = py::getattr_optional(exc, PY_NAME(__notes__));
        if (!notes || !PyList_Check(notes)) return;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
            PyObject* note = PyList_GET_ITEM(notes.get(), i);
            if (!PyUnicode_Check(note)) continue;
            Ref kept = scrubbed(secrets, note);
            if (kept.get() != note) py::check(PyList_SetItem(notes, i, kept.release()));
        }
    });
}

// The raised exception `exc` and those it was raised from or while handling (its
// cause and context, the members of a group), without the secrets. What cannot be
// cleaned is left as it is: the original error matters more.
void drop_credentials(PyObject* secrets, PyObject* exc) {
    std::vector<Ref> pending;
    pending.push_back(Ref::borrow(exc));
    std::vector<Ref> seen;
    while (!pending.empty() && seen.size() < 64) {
        Ref current = std::move(pending.back());
        pending.pop_back();
        if (!PyExceptionInstance_Check(current.get())) continue;  // a group subclass may list anything
        if (std::find_if(seen.begin(), seen.end(), [&](const Ref& r) { return r.get() == current.get(); }) !=
            seen.end()) {
            continue;
        }
        seen.push_back(Ref::borrow(current.get()));
        scrub_error(secrets, current);
        if (Ref cause = Ref::steal_nullable(PyException_GetCause(current))) pending.push_back(std::move(cause));
        if (Ref context = Ref::steal_nullable(PyException_GetContext(current))) pending.push_back(std::move(context));
        if (PyObject_TypeCheck(current, reinterpret_cast<PyTypeObject*>(PyExc_BaseExceptionGroup))) {
            quietly([&] {
                Ref members = py::getattr_optional(current, PY_NAME(exceptions));
                if (!members || !PyTuple_Check(members)) return;
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members.get()) && pending.size() < 64; ++i) {
                    pending.push_back(Ref::borrow(PyTuple_GET_ITEM(members.get(), i)));
                }
            });
        }
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
const py::FunctionDef stream_write_def{"write", "GitRepoOperator.<locals>.write", nullptr,
                                       py::impl<stream_write, stream_write_params>};
const py::FunctionDef stream_flush_def{"flush", "GitRepoOperator.<locals>.flush", nullptr,
                                       py::impl<stream_flush, py::no_params>};

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
    if (PyUnicode_Check(auth_url) && scrubbed(secret, auth_url).get() != auth_url) {
        py::setitem(named, PY_NAME(errstream), scrubbing_stream(c, secret));
    }
    try {
        return py::call_args(callable, positional, named);
    } catch (const py::PythonError&) {
        py::Caught caught;
        drop_credentials(secret, caught);
        caught.reraise();
    }
}

void without_credentials_in(PyObject* self, PyObject* exc) { drop_credentials(secrets(self), exc); }

}  // namespace sections
