// Credentials of the git working copy: the percent-encoded user information of its
// authenticated URL, and the filter that keeps the user information of any URL, and
// the operator's own credentials, out of what is logged, raised or written by dulwich.
// It needs nothing of the working copy (the other files here) but the attributes
// `username` and `password` of the operator it is handed.
#include "credentials.hpp"

#include "runtime/handler.hpp"
#include "runtime/text.hpp"

#include <algorithm>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <unordered_set>
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

std::string_view bytes_view(PyObject* bytes) {
    return {PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

// urllib.parse.quote(raw, safe="") of bytes: everything but letters, digits and
// "_.-~" as %XX; with `lower` the hex digits in lower case, with `plus` a space as
// "+" (urllib.parse.quote_plus).
std::string quoted(std::string_view raw, bool lower = false, bool plus = false) {
    const char* hex = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    out.reserve(raw.size() * 3);
    for (const char byte : raw) {
        const unsigned char ch = static_cast<unsigned char>(byte);
        const bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                           ch == '_' || ch == '.' || ch == '-' || ch == '~';
        if (plain) {
            out += static_cast<char>(ch);
        } else if (plus && ch == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 0xF];
        }
    }
    return out;
}

// base64.b64encode(raw): the standard alphabet, "=" padding to a multiple of four.
std::string base64(std::string_view raw) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < raw.size(); i += 3) {
        const size_t n = std::min<size_t>(3, raw.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) {
            group = (group << 8) | (k < n ? static_cast<unsigned char>(raw[i + k]) : 0u);
        }
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

}  // namespace

// urllib.parse.quote(str(value), safe=""): the UTF-8 bytes, everything but letters,
// digits and "_.-~" as %XX, so that ":", "@" and "/" cannot end the user information.
// A lone surrogate, which quote() refuses, is encoded as its three bytes: the URL is
// made wherever the raw text would be, and the server refuses it like a wrong password.
Ref percent_encoded(PyObject* value) { return py::text(quoted(bytes_view(utf8_bytes(py::str(value))))); }

// The text an error is shown by: str(exc), or the name of its type where that is
// empty (dulwich's NotGitRepository() says nothing of itself).
Ref error_text(PyObject* exc) {
    Ref text = py::str(exc);
    if (PyUnicode_GET_LENGTH(text.get()) > 0) return text;
    return Ref::steal(PyType_GetName(Py_TYPE(exc)));
}

namespace {

// What the operator's own credentials look like in a text: triples (needle as str,
// the same as UTF-8 bytes, replacement). The user information as the URL carries it,
// percent-encoded, or raw is dropped (""); the password alone is masked ("***"), raw
// and in the forms other code writes it in: percent-encoded with upper- or lower-case
// hex digits, each also with a space as "+" (quote_plus), and inside the base64 of
// "user:password" that an "Authorization: Basic" header holds (of its UTF-8 bytes, as
// git sends it, and of its Latin-1 bytes, as urllib3 does), with and without padding.
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
        std::set<std::string> added;
        auto add = [&](std::string_view needle, const char* replacement) {
            if (needle.empty() || !added.emplace(needle).second) return;
            Ref raw = Ref::steal(PyBytes_FromStringAndSize(needle.data(), static_cast<Py_ssize_t>(needle.size())));
            Ref text = Ref::steal(PyUnicode_DecodeUTF8(needle.data(), static_cast<Py_ssize_t>(needle.size()),
                                                       "surrogatepass"));
            py::append(triples, py::tuple(text, raw, py::text(replacement)));
        };
        const std::string user{bytes_view(utf8_bytes(user_text))};
        const std::string pass{bytes_view(utf8_bytes(password_text))};
        add(quoted(user) + ":" + quoted(pass) + "@", "");
        add(user + ":" + pass + "@", "");
        add(pass, "***");
        for (const bool lower : {false, true}) {
            for (const bool plus : {false, true}) add(quoted(pass, lower, plus), "***");
        }
        std::vector<std::string> basic{user + ":" + pass};
        Ref pair = Ref::steal(PyUnicode_Concat(Ref::steal(PyUnicode_Concat(user_text, PY_STR(":"))), password_text));
        if (PyUnicode_KIND(pair.get()) == PyUnicode_1BYTE_KIND) {
            basic.emplace_back(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(pair.get())),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(pair.get())));
        }
        for (const std::string& raw : basic) {
            const std::string encoded = base64(raw);
            add(encoded, "***");
            add(std::string_view(encoded).substr(0, encoded.find('=')), "***");
        }
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

// `value` without the secrets in its texts: a str or bytes scrubbed; an exact list or
// tuple rebuilt around its cleaned items, nested ones too (however deep: a stack of
// frames, no recursion), never changed in place (it may be the caller's data). A list
// met again while it is being rebuilt (one that holds itself) stands for its copy, so
// the copy holds itself (such a list is always copied); anything else, and a container
// with nothing to clean, is `value` itself. No Python code runs here, but a collection may run finalizers: each
// list is read from a snapshot, and every container seen is held to the end, so that
// no other object can take its address in `results`.
Ref cleaned(PyObject* secrets, PyObject* value) {
    auto is_container = [](PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); };
    if (!is_container(value)) return scrubbed(secrets, value);
    struct Frame {
        Ref original;
        Ref items;  // a list's items as they were when it was reached; a tuple's own
        Ref copy;   // a list's copy, made first
        std::vector<Ref> done;
        bool changed = false;
    };
    std::unordered_map<PyObject*, PyObject*> results;  // container -> what stands for it
    std::vector<Ref> held;
    std::vector<Frame> stack;
    auto begin = [&](PyObject* container) {
        Frame frame{Ref::borrow(container), Ref::borrow(container), Ref(), {}, false};
        if (PyList_CheckExact(container)) {
            frame.items = Ref::steal(PyList_GetSlice(container, 0, PY_SSIZE_T_MAX));
            frame.copy = py::new_list();
        }
        results[container] = frame.copy ? frame.copy.get() : container;
        stack.push_back(std::move(frame));
    };
    begin(value);
    while (true) {
        Frame& top = stack.back();
        const auto next = static_cast<Py_ssize_t>(top.done.size());
        if (next < PySequence_Fast_GET_SIZE(top.items.get())) {
            PyObject* item = PySequence_Fast_GET_ITEM(top.items.get(), next);
            Ref kept;
            if (!is_container(item)) {
                kept = scrubbed(secrets, item);
            } else if (auto found = results.find(item); found != results.end()) {
                kept = Ref::borrow(found->second);
            } else {
                begin(item);  // `top` is invalid from here
                continue;
            }
            top.changed = top.changed || kept.get() != item;
            top.done.push_back(std::move(kept));
            continue;
        }
        Frame frame = std::move(top);
        stack.pop_back();
        Ref out = frame.original.copy();
        if (frame.changed && frame.copy) {
            for (const Ref& item : frame.done) py::append(frame.copy, item);
            out = frame.copy.copy();
        } else if (frame.changed) {
            out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(frame.done.size())));
            for (size_t i = 0; i < frame.done.size(); ++i) {
                PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), frame.done[i].copy().release());
            }
        }
        PyObject* original = frame.original.get();
        results[original] = out.get();
        held.push_back(std::move(frame.original));
        held.push_back(std::move(frame.items));
        held.push_back(out.copy());
        if (stack.empty()) return out;
        stack.back().changed = stack.back().changed || out.get() != original;
        stack.back().done.push_back(std::move(out));
    }
}

// owner.<name> cleaned (see cleaned) where that changes it; any other value stays.
void scrub_attribute(PyObject* secrets, PyObject* owner, PyObject* name) {
    quietly([&] {
        Ref value = py::getattr_optional(owner, name);
        if (!value) return;
        Ref kept = cleaned(secrets, value);
        if (kept.get() != value.get()) py::setattr(owner, name, kept);
    });
}

// An exception group's message, which str() and the traceback show: a read-only
// attribute, replaced in the object itself, which stays the one that was raised.
void scrub_group_message(PyObject* secrets, PyObject* group) {
    quietly([&] {
        auto* object = reinterpret_cast<PyBaseExceptionGroupObject*>(group);
        if (!object->msg) return;
        Ref kept = scrubbed(secrets, object->msg);
        if (kept.get() != object->msg) Ref::steal_nullable(std::exchange(object->msg, kept.release()));
    });
}

// One error's texts without the secrets: its arguments (texts also inside lists and
// tuples), the texts that str() of some errors shows instead of the arguments (an
// OSError's message and file names, a SyntaxError's message, file name and line, an
// ImportError's message, a UnicodeError's reason, an exception group's message) and
// the notes a traceback prints (a list or a tuple).
void scrub_error(PyObject* secrets, PyObject* exc) {
    auto is = [&](PyObject* type) { return PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(type)); };
    scrub_attribute(secrets, exc, PY_NAME(args));
    if (is(PyExc_OSError)) {
        for (PyObject* name : {PY_NAME(strerror), PY_NAME(filename), PY_NAME(filename2)}) {
            scrub_attribute(secrets, exc, name);
        }
    }
    if (is(PyExc_SyntaxError)) {
        for (PyObject* name : {PY_NAME(msg), PY_NAME(filename), PY_NAME(text)}) scrub_attribute(secrets, exc, name);
    }
    if (is(PyExc_ImportError)) scrub_attribute(secrets, exc, PY_NAME(msg));
    if (is(PyExc_UnicodeError)) scrub_attribute(secrets, exc, PY_NAME(reason));
    if (is(PyExc_BaseExceptionGroup)) scrub_group_message(secrets, exc);
    scrub_attribute(secrets, exc, PY_NAME(__notes__));
}

// The raised exception `exc` and every one it leads to (its cause and context, the
// members of a group, and theirs), each once however many there are and however they
// loop, without the secrets. What cannot be cleaned is left as it is: the original
// error matters more.
void drop_credentials(PyObject* secrets, PyObject* exc) {
    std::vector<Ref> pending;
    pending.push_back(Ref::borrow(exc));
    std::unordered_set<PyObject*> seen;
    std::vector<Ref> held;  // the errors seen, alive to the end: no other takes an address in `seen`
    while (!pending.empty()) {
        Ref current = std::move(pending.back());
        pending.pop_back();
        if (!PyExceptionInstance_Check(current.get())) continue;  // a group subclass may list anything
        if (!seen.insert(current.get()).second) continue;
        held.push_back(current.copy());
        scrub_error(secrets, current);
        if (Ref cause = Ref::steal_nullable(PyException_GetCause(current))) pending.push_back(std::move(cause));
        if (Ref context = Ref::steal_nullable(PyException_GetContext(current))) pending.push_back(std::move(context));
        if (PyObject_TypeCheck(current, reinterpret_cast<PyTypeObject*>(PyExc_BaseExceptionGroup))) {
            quietly([&] {
                Ref members = py::getattr_optional(current, PY_NAME(exceptions));
                if (!members || !PyTuple_Check(members)) return;
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members.get()); ++i) {
                    pending.push_back(Ref::borrow(PyTuple_GET_ITEM(members.get(), i)));
                }
            });
        }
    }
}

// The writer dulwich gets as its error stream while the URL carries credentials: it
// quotes the URL in what it writes ("Push to <url> successful."), and a server's
// messages may quote anything. Text goes to dulwich's usual stream by whole lines,
// without the secrets: a line not yet ended waits for the rest of it (a URL written in
// two pieces is found whole), and what still waits when the call ends goes then
// (drain). Its closure is (secrets, target stream or None, pending pieces: a list of
// str, or of bytes).
constexpr Py_ssize_t kSecrets = 0, kTarget = 1, kPending = 2;

// The pending pieces written out as one text and forgotten.
void write_pending(PyObject* closure) {
    PyObject* pending = PyTuple_GET_ITEM(closure, kPending);
    if (PyList_GET_SIZE(pending) == 0) return;
    const bool is_text = PyUnicode_Check(PyList_GET_ITEM(pending, 0));
    Ref empty = is_text ? py::text("") : Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref joined = py::call_method(empty, PY_NAME(join), pending);
    py::check(PyList_SetSlice(pending, 0, PY_SSIZE_T_MAX, nullptr));
    py::call_method(PyTuple_GET_ITEM(closure, kTarget), PY_NAME(write),
                    scrubbed(PyTuple_GET_ITEM(closure, kSecrets), joined));
}

// Where the last line of `piece` (str or bytes) ends: one past its last "\n", or 0.
Py_ssize_t lines_end(PyObject* piece) {
    if (PyUnicode_Check(piece)) {
        const Py_ssize_t at = PyUnicode_FindChar(piece, '\n', 0, PyUnicode_GET_LENGTH(piece), -1);
        if (at == -2) py::fail();
        return at + 1;
    }
    const std::string_view raw = bytes_view(piece);
    const size_t at = raw.rfind('\n');
    return at == std::string_view::npos ? 0 : static_cast<Py_ssize_t>(at + 1);
}

Ref stream_write(Call& c) {
    auto [data] = c.args<stream_write_params>();
    PyObject* target = PyTuple_GET_ITEM(c.closure(), kTarget);
    PyObject* pending = PyTuple_GET_ITEM(c.closure(), kPending);
    if (target == Py_None) return py::none();
    Ref piece;
    if (PyUnicode_Check(data)) {
        piece = Ref::borrow(data);
    } else if (PyObject_CheckBuffer(data)) {
        piece = Ref::steal(PyBytes_FromObject(data));
    } else {
        write_pending(c.closure());  // what cannot be cleaned passes, in its place
        return py::call_method(target, PY_NAME(write), data);
    }
    if (PyList_GET_SIZE(pending) > 0 && PyUnicode_Check(PyList_GET_ITEM(pending, 0)) != PyUnicode_Check(piece)) {
        write_pending(c.closure());
    }
    const Py_ssize_t size = PyUnicode_Check(piece) ? PyUnicode_GET_LENGTH(piece.get()) : PyBytes_GET_SIZE(piece.get());
    const Py_ssize_t end = lines_end(piece);
    if (end == 0) {
        py::append(pending, piece);
        return py::integer(size);
    }
    py::append(pending, end == size ? piece.copy() : Ref::steal(PySequence_GetSlice(piece, 0, end)));
    write_pending(c.closure());
    if (end < size) py::append(pending, Ref::steal(PySequence_GetSlice(piece, end, size)));
    return py::integer(size);
}
Ref stream_flush(Call& c) {
    PyObject* target = PyTuple_GET_ITEM(c.closure(), kTarget);
    return target == Py_None ? py::none() : py::call_method(target, PY_NAME(flush));
}
const py::FunctionDef stream_write_def{"write", "GitRepoOperator.<locals>.write", nullptr,
                                       py::impl<stream_write, stream_write_params>};
const py::FunctionDef stream_flush_def{"flush", "GitRepoOperator.<locals>.flush", nullptr,
                                       py::impl<stream_flush, py::no_params>};

// The stream and its closure (whose pending text the caller writes out at the end).
std::pair<Ref, Ref> scrubbing_stream(Call& c, PyObject* secrets) {
    Ref target = py::getattr_optional(c.global(PY_NAME(porcelain)), PY_NAME(default_bytes_err_stream));
    Ref closure = py::tuple(secrets, target ? target.get() : Py_None, py::new_list());
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    Ref stream = py::call_kw(py::getattr(types, PY_NAME(SimpleNamespace)), {},
                             {{PY_NAME(write), py::make_function(stream_write_def, c.globals(), closure)},
                              {PY_NAME(flush), py::make_function(stream_flush_def, c.globals(), closure)}});
    return {std::move(stream), std::move(closure)};
}

}  // namespace

// porcelain.<fn>(*args, **keywords) for a call handed the authenticated URL: its
// output and what it raises leave without the credentials. The output still waiting
// for the end of its line is written when the call ends; a failure to write it is
// forgotten, for the call's own outcome is the one to report.
Ref remote_call(Call& c, PyObject* self, PyObject* fn, PyObject* auth_url, std::initializer_list<PyObject*> args,
                std::initializer_list<py::Keyword> keywords) {
    Ref callable = porcelain(c, fn);
    Ref positional = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* arg : args) PyTuple_SET_ITEM(positional.get(), i++, Py_NewRef(arg));
    Ref named = py::new_dict();
    for (const py::Keyword& keyword : keywords) py::setitem(named, keyword.name, keyword.value);
    Ref secret = secrets(self);
    Ref stream_closure;
    if (PyUnicode_Check(auth_url) && scrubbed(secret, auth_url).get() != auth_url) {
        auto [stream, closure] = scrubbing_stream(c, secret);
        py::setitem(named, PY_NAME(errstream), stream);
        stream_closure = std::move(closure);
    }
    auto write_rest = [&] {
        if (stream_closure) quietly([&] { write_pending(stream_closure); });
    };
    try {
        Ref result = py::call_args(callable, positional, named);
        write_rest();
        return result;
    } catch (const py::PythonError&) {
        py::Caught caught;
        write_rest();
        drop_credentials(secret, caught);
        caught.reraise();
    }
}

void without_credentials_in(PyObject* self, PyObject* exc) { drop_credentials(secrets(self), exc); }

}  // namespace sections
