// Git working copy: the working copy of one remote repository, kept in step
// with its remote through dulwich (porcelain and Repo, read from the module at call
// time), progress and failures reported to the caller's logger.
#include "sections.hpp"

#include "common.hpp"
#include "runtime/handler.hpp"
#include "runtime/text.hpp"

#include <string>

namespace sections {
namespace {

using py::Call;
using py::Ref;

// ---- parameter lists ------------------------------------------------------------------

constexpr py::Params self_params{"self"};
constexpr py::Params init_params{
    "self, repo_url, root_path, log, username=None, password=None, warehouse_name='tamarel_pytest'"};
constexpr py::Params pull_params{"self, commit_hash=None, accept_remote=True"};
constexpr py::Params clone_params{"self, force_clone=False"};
constexpr py::Params push_params{
    "self, message='Tamarel测试平台提交', remote_name='origin', branch='master', force=True"};
constexpr py::Params file_params{"self, file_path"};
constexpr py::Params update_params{"self, accept_remote=True"};
constexpr py::Params check_if_dirty_params{"self, repo"};
constexpr py::Params stream_write_params{"data"};

// ---- shared pieces ----------------------------------------------------------------

Ref without_credentials(PyObject* self, PyObject* text);

// self.log.<level>("part" + str(value) + ...), without credentials (a repo_url may
// carry them, and so may the texts of errors).
template <class... Parts>
void log(PyObject* self, PyObject* level, const Parts&... parts) {
    Ref method = py::getattr(py::getattr(self, PY_NAME(log)), level);
    Ref message = py::concat(parts...);
    py::call(method, without_credentials(self, message));
}

Ref porcelain(Call& c, PyObject* fn) { return py::getattr(c.global(PY_NAME(porcelain)), fn); }

// The private methods, looked up on the instance at each call under the names the
// class body gives them.
#define SELF_METHOD(name) (py::private_name<"GitRepoOperator", "__" #name>())

bool contains(PyObject* container, PyObject* item) {
    return py::check(PySequence_Contains(container, item)) != 0;
}

Ref bytes(const char* text) { return Ref::steal(PyBytes_FromString(text)); }

Ref slice(PyObject* sequence, Py_ssize_t start, Py_ssize_t stop) {
    return Ref::steal(PySequence_GetSlice(sequence, start, stop));
}

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

Ref without_credentials(PyObject* self, PyObject* text) { return scrubbed(secrets(self), text); }

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

// ---- refs and status ---------------------------------------------------------------------

constexpr Py_ssize_t kHeadsPrefix = 16;  // len("ref: refs/heads/")

// The branch a decoded HEAD value names: the whole name after "ref: refs/heads/"
// ("feature/x" stays whole); for any other value its last path component.
Ref branch_of(PyObject* decoded) {
    if (py::truthy(py::call_method(decoded, PY_NAME(startswith), PY_STR("ref: refs/heads/")))) {
        return slice(decoded, kHeadsPrefix, PY_SSIZE_T_MAX);
    }
    Ref parts = py::call_method(decoded, PY_NAME(split), PY_STR("/"));
    return py::getitem(parts, py::integer(-1));
}

// The short commit name of a reference value: the first eight characters of the
// object name it holds.
Ref short_hash(PyObject* ref_value) {
    return py::call_method(slice(ref_value, 0, 8), PY_NAME(decode), PY_STR("ascii"), PY_STR("replace"));
}

// dulwich reports status.staged as a dict of lists (add, delete, modify), which is
// never empty itself: a change is staged when one of the lists is non-empty.
bool staged_lists_filled(PyObject* staged) {
    Ref lists = Ref::steal(PyDict_Values(staged));
    bool filled = false;
    py::for_each(lists, [&](PyObject* list) {
        filled = py::truthy(list);
        return !filled;
    });
    return filled;
}

// A status entry as text: bytes decoded as UTF-8, str entries as they are. A str
// entry holding a name that is not UTF-8 (escaped as surrogates) fails like the
// bytes would, with UnicodeDecodeError.
Ref path_text(PyObject* entry) {
    if (PyUnicode_Check(entry)) {
        if (PyUnicode_IS_ASCII(entry)) return Ref::borrow(entry);
        Ref raw = Ref::steal(PyUnicode_AsEncodedString(entry, "utf-8", "surrogateescape"));
        return py::call_method(raw, PY_NAME(decode), PY_STR("utf-8"));
    }
    return py::call_method(entry, PY_NAME(decode), PY_STR("utf-8"));
}

bool is_divergence(PyObject* exc) {
    if (contains(py::str(exc), PY_STR("DivergedBranches"))) return true;
    PyObject* mro = Py_TYPE(exc)->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref name = Ref::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (py::equal(name, PY_STR("DivergedBranches"))) return true;
    }
    return false;
}

// ---- identity -----------------------------------------------------------------------

Ref normalize_url(Ref url) {
    url = py::call_method(url, PY_NAME(replace), PY_STR(".git"), PY_STR(""));
    if (contains(url, PY_STR("://"))) {
        url = py::getitem(py::call_method(url, PY_NAME(split), PY_STR("://"), py::integer(1)), py::integer(1));
    }
    if (contains(url, PY_STR("@"))) {
        url = py::getitem(py::call_method(url, PY_NAME(split), PY_STR("@"), py::integer(1)), py::integer(1));
    }
    return py::call_method(url, PY_NAME(lower));
}

// The value of one "key = value" line of a git config file, as git means it: read by
// dulwich's own parser, which undoes the quoting and escapes it writes (a backslash
// in a path is stored as "\\") and drops a trailing comment.
Ref config_value(PyObject* line) {
    Ref config_module = Ref::steal(PyImport_ImportModule("dulwich.config"));
    Ref source = py::concat("[remote \"origin\"]\n", line, "\n");
    Ref stream = py::call(py::getattr(Ref::steal(PyImport_ImportModule("io")), PY_NAME(BytesIO)),
                          py::call_method(source, PY_NAME(encode), PY_STR("utf-8")));
    Ref config = py::call_method(py::getattr(config_module, PY_NAME(ConfigFile)), PY_NAME(from_file), stream);
    Ref value = py::call_method(config, PY_NAME(get), py::tuple(bytes("remote"), bytes("origin")), bytes("url"));
    return py::call_method(value, PY_NAME(decode), PY_STR("utf-8"));
}

// The value of "url =" in the [remote "origin"] section of a config text, or None.
Ref origin_url(PyObject* text) {
    Ref url = py::none();
    bool in_origin_section = false;
    Ref lines = py::call_method(text, PY_NAME(split), PY_STR("\n"));
    py::for_each(lines, [&](PyObject* raw_line) {
        Ref line = py::call_method(raw_line, PY_NAME(strip));
        if (py::equal(line, PY_STR("[remote \"origin\"]"))) {
            in_origin_section = true;
            return true;
        }
        if (py::truthy(py::call_method(line, PY_NAME(startswith), PY_STR("["))) && in_origin_section) return false;
        if (in_origin_section && py::truthy(py::call_method(line, PY_NAME(startswith), PY_STR("url =")))) {
            url = config_value(line);
            return false;
        }
        return true;
    });
    return url;
}

// The failure line of the identity test; the traceback goes to standard error.
Ref report_failure(Call& c, PyObject* self, const char* prefix, PyObject* exc) {
    Ref logger = py::getattr(self, PY_NAME(log));
    Ref text = py::str(exc);
    Ref printed = py::call_method(c.global(PY_NAME(traceback)), PY_NAME(print_exc));
    Ref message = py::concat(prefix, without_credentials(self, text), ", ", printed);
    py::call_method(logger, PY_NAME(error), message);
    return py::boolean(false);
}

Ref is_current_repo(Call& c) {
    auto [self] = c.args<self_params>();
    return py::try_except(
        PyExc_Exception,
        [&]() -> Ref {
            if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
                return py::boolean(false);
            }
            Ref git_dir = os_path(c, PY_NAME(join), py::getattr(self, PY_NAME(local_dir)), PY_STR(".git"));
            if (!py::truthy(os_path(c, PY_NAME(exists), git_dir))) return py::boolean(false);
            Ref config_path = os_path(c, PY_NAME(join), git_dir, PY_STR("config"));
            if (!py::truthy(os_path(c, PY_NAME(exists), config_path))) return py::boolean(false);
            return py::try_except(
                PyExc_Exception,
                [&]() -> Ref {
                    Ref content;
                    py::with_context(open_text(c, config_path), [&](PyObject* f) {
                        content = py::call_method(f, PY_NAME(read));
                    });
                    if (!contains(content, PY_STR("[remote \"origin\"]"))) return py::boolean(false);
                    Ref url = origin_url(content);
                    if (!py::truthy(url)) return py::boolean(false);
                    Ref current_normalized = normalize_url(std::move(url));
                    Ref target_normalized = normalize_url(py::getattr(self, PY_NAME(repo_url)));
                    return Ref::steal(PyObject_RichCompare(current_normalized, target_normalized, Py_EQ));
                },
                [&](PyObject* e) { return report_failure(c, self, "读取config文件失败: ", e); });
        },
        [&](PyObject* e) { return report_failure(c, self, "检查仓库时出错: ", e); });
}

Ref get_auth_url(Call& c) {
    auto [self] = c.args<self_params>();
    if (py::truthy(py::getattr(self, PY_NAME(username))) && py::truthy(py::getattr(self, PY_NAME(password))) &&
        py::truthy(py::call_method(py::getattr(self, PY_NAME(repo_url)), PY_NAME(startswith), PY_STR("https://")))) {
        Ref replacement = py::concat("https://", percent_encoded(py::getattr(self, PY_NAME(username))), ":",
                                     percent_encoded(py::getattr(self, PY_NAME(password))), "@");
        // Only the leading scheme (the URL starts with it) receives the credentials.
        return py::call_method(py::getattr(self, PY_NAME(repo_url)), PY_NAME(replace), PY_STR("https://"),
                               replacement, py::integer(1));
    }
    return py::getattr(self, PY_NAME(repo_url));
}

// ---- construction and clone ---------------------------------------------------------

// self.repo.close() when the operator has opened its working copy; says whether it had.
bool close_repo(PyObject* self) {
    Ref repo = py::getattr_optional(self, PY_NAME(repo));
    if (!repo) return false;
    if (Ref close = py::getattr_optional(repo, PY_NAME(close))) py::call(close);
    return true;
}

Ref init(Call& c) {
    auto [self, repo_url, root_path, log, username, password, warehouse_name] = c.args<init_params>();
    py::setattr(self, PY_NAME(repo_url), repo_url);
    py::setattr(self, PY_NAME(local_dir), os_path(c, PY_NAME(join), root_path, warehouse_name));
    py::setattr(self, PY_NAME(username), username);
    py::setattr(self, PY_NAME(password), password);
    py::setattr(self, PY_NAME(log), log);
    py::call_method(self, PY_NAME(clone));
    py::setattr(self, PY_NAME(repo), py::call(c.global(PY_NAME(Repo)), py::getattr(self, PY_NAME(local_dir))));
    return py::none();
}

Ref clone(Call& c) {
    auto [self, force_clone] = c.args<clone_params>();
    if (py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        if (!py::truthy(force_clone) && py::truthy(py::call_method(self, SELF_METHOD(is_current_repo)))) {
            log(self, PY_NAME(debug), "目录已经是当前仓库，无需重新克隆");
            return py::boolean(true);
        }
        log(self, PY_NAME(debug), "⚠目录存在，删除后重新克隆...");
        close_repo(self);  // no file of the old clone stays open across the delete
        Ref shutil = Ref::steal(PyImport_Import(PY_NAME(shutil)));
        py::call_method(shutil, PY_NAME(rmtree), py::getattr(self, PY_NAME(local_dir)));
    }
    make_dirs(c, py::getattr(self, PY_NAME(local_dir)));
    return py::call_method(self, SELF_METHOD(clone_repository));
}

// A clone replaces the working copy that self.repo has open (once the constructor has
// opened one): the old one is closed, the new one opened as self.repo.
Ref clone_repository(Call& c) {
    auto [self] = c.args<self_params>();
    Ref auth_url = py::call_method(self, SELF_METHOD(get_auth_url));
    log(self, PY_NAME(debug), "开始克隆仓库: ", py::getattr(self, PY_NAME(repo_url)));
    log(self, PY_NAME(debug), "目标目录: ", py::getattr(self, PY_NAME(local_dir)));
    const bool reopen = close_repo(self);
    Ref cloned = remote_call(c, self, PY_NAME(clone), auth_url, {auth_url, py::getattr(self, PY_NAME(local_dir))},
                             {{PY_NAME(checkout), Py_True}});
    if (Ref close = py::getattr_optional(cloned, PY_NAME(close))) py::call(close);
    if (reopen) {
        py::setattr(self, PY_NAME(repo), py::call(c.global(PY_NAME(Repo)), py::getattr(self, PY_NAME(local_dir))));
    }
    log(self, PY_NAME(debug), "仓库克隆成功!");
    return py::boolean(true);
}

// ---- pull ---------------------------------------------------------------------------

Ref pull(Call& c) {
    auto [self, commit_hash, accept_remote] = c.args<pull_params>();
    if (py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        Ref repo_info = py::call_method(self, PY_NAME(get_repo_info));
        if (commit_hash == Py_None ||
            py::truthy(Ref::steal(PyObject_RichCompare(py::getitem(repo_info, PY_STR("commit_hash")), commit_hash,
                                                       Py_NE)))) {
            log(self, PY_NAME(debug), "目录已存在并且本地不是最新的，开始拉取更新...");
            return py::call_kw(py::getattr(self, SELF_METHOD(update_repository)), {},
                               {{PY_NAME(accept_remote), accept_remote}});
        }
        return py::none();
    }
    log(self, PY_NAME(debug), "目录不存在，开始克隆仓库...");
    make_dirs(c, py::getattr(self, PY_NAME(local_dir)));
    return py::call_method(self, SELF_METHOD(clone_repository));
}

// Fetch, then merge; the remote wins unless accept_remote is false.
void fetch_and_merge(Call& c, PyObject* self, PyObject* auth_url, PyObject* accept_remote) {
    Ref fetch_result = remote_call(c, self, PY_NAME(fetch), auth_url, {py::getattr(self, PY_NAME(repo))},
                                   {{PY_NAME(remote_location), auth_url}});
    if (!py::truthy(py::getattr(fetch_result, PY_NAME(refs)))) {
        log(self, PY_NAME(debug), "仓库已经是最新版本，无需更新");
        return;
    }
    log(self, PY_NAME(debug), "成功拉取更新");
    Ref count = py::integer(py::check(PyObject_Size(py::getattr(fetch_result, PY_NAME(refs)))));
    log(self, PY_NAME(debug), "获取到的对象: ", count);
    if (py::truthy(accept_remote)) {
        log(self, PY_NAME(debug), "将强制接受远程更改，放弃本地冲突文件");
        // The fetched HEAD is stored into the current branch, forced: the remote's commit
        // becomes HEAD whether the local branch is behind, ahead or diverged (dulwich
        // only fetches for a refspec without a destination).
        Ref refspecs = Ref::steal(PyList_New(0));
        py::append(refspecs, bytes("HEAD:HEAD"));
        remote_call(c, self, PY_NAME(pull), auth_url, {py::getattr(self, PY_NAME(repo))},
                    {{PY_NAME(remote_location), auth_url}, {PY_NAME(refspecs), refspecs}, {PY_NAME(force), Py_True}});
        log(self, PY_NAME(debug), "已强制合并远程更改");
        return;
    }
    py::try_except(
        PyExc_Exception,
        [&] {
            remote_call(c, self, PY_NAME(pull), auth_url, {py::getattr(self, PY_NAME(repo))},
                        {{PY_NAME(remote_location), auth_url}});
            log(self, PY_NAME(debug), "成功合并更新");
        },
        [&](PyObject* e) {
            if (is_divergence(e)) {
                log(self, PY_NAME(debug), "分支已分叉，需要手动解决冲突");
                py::raise(PyExc_Exception, "分支已分叉，需要手动解决冲突。如需强制接受远程更改，请设置 accept_remote=True");
            }
            py::raise_object(e);
        });
}

Ref update_repository(Call& c) {
    auto [self, accept_remote] = c.args<update_params>();
    Ref auth_url = py::call_method(self, SELF_METHOD(get_auth_url));
    Ref refs = py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(refs));
    Ref head_ref = py::call_method(refs, PY_NAME(read_ref), bytes("HEAD"));
    if (py::truthy(head_ref)) {
        Ref current_branch = branch_of(py::call_method(head_ref, PY_NAME(decode)));
        log(self, PY_NAME(debug), "当前分支: ", current_branch);
    } else {
        log(self, PY_NAME(debug), "无法确定当前分支");
    }
    log(self, PY_NAME(debug), "开始拉取远程更新...");
    return py::try_except(
        PyExc_Exception,
        [&] {
            fetch_and_merge(c, self, auth_url, accept_remote);
            return py::boolean(true);
        },
        [&](PyObject* e) {
            log(self, PY_NAME(error), "更新仓库失败: ", e);
            return py::boolean(false);
        });
}

// ---- commit and push -----------------------------------------------------------------

// dulwich reports a ref the remote refused to update in the push result (and on its
// error stream) without raising; the push has failed all the same.
void raise_refused_refs(Call& c, PyObject* result) {
    Ref ref_status = py::getattr_optional(result, PY_NAME(ref_status));
    if (!ref_status || !PyDict_Check(ref_status)) return;
    Ref refusals = py::new_list();
    Ref items = Ref::steal(PyDict_Items(ref_status));
    py::for_each(items, [&](PyObject* item) {
        PyObject* ref = PyTuple_GET_ITEM(item, 0);
        PyObject* error = PyTuple_GET_ITEM(item, 1);
        if (error == Py_None) return;
        Ref name = PyBytes_Check(ref) ? py::call_method(ref, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"))
                                      : py::str(ref);
        py::append(refusals, py::concat("Push of ref ", name, " failed: ", error));
    });
    if (PyList_GET_SIZE(refusals.get()) == 0) return;
    Ref error_class = py::getattr_optional(c.global(PY_NAME(porcelain)), PY_NAME(Error));
    Ref text = Ref::steal(PyUnicode_Join(PY_STR("; "), refusals));
    py::raise_object(py::call(error_class ? error_class.get() : PyExc_Exception, text));
}


Ref push(Call& c) {
    auto [self, message, remote_name, branch, force] = c.args<push_params>();
    if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        Ref text = py::concat("本地仓库目录不存在: ", py::getattr(self, PY_NAME(local_dir)));
        py::raise_object(py::call(PyExc_FileNotFoundError, text));
    }
    Ref status = py::call(porcelain(c, PY_NAME(status)), py::getattr(self, PY_NAME(repo)));
    Ref staged = py::getattr(status, PY_NAME(staged));
    const bool has_staged = PyDict_Check(staged) ? staged_lists_filled(staged) : py::truthy(staged);
    if (!has_staged && !py::truthy(py::getattr(status, PY_NAME(unstaged)))) {
        log(self, PY_NAME(debug), "没有需要提交的更改");
        return py::none();
    }
    if (py::truthy(py::getattr(status, PY_NAME(unstaged))) || py::truthy(py::getattr(status, PY_NAME(untracked)))) {
        Ref entries = Ref::steal(
            PyNumber_Add(py::getattr(status, PY_NAME(unstaged)), py::getattr(status, PY_NAME(untracked))));
        py::for_each(entries, [&](PyObject* path_bytes) {
            py::try_except(
                PyExc_UnicodeDecodeError,
                [&] {
                    Ref path_str = path_text(path_bytes);
                    // A console that cannot show the name gets the warning; the file is
                    // still committed.
                    py::try_except(
                        PyExc_UnicodeEncodeError,
                        [&] { py::call(c.global(PY_NAME(print)), py::getattr(self, PY_NAME(local_dir)), path_str); },
                        [&](PyObject* e) { log(self, PY_NAME(warning), "无法解码文件路径: ", e); });
                    Ref full_path = os_path(c, PY_NAME(join), py::getattr(self, PY_NAME(local_dir)), path_str);
                    if (py::truthy(os_path(c, PY_NAME(exists), full_path))) {
                        Ref paths = Ref::steal(PyList_New(0));
                        py::append(paths, full_path);
                        py::call_kw(porcelain(c, PY_NAME(add)), {py::getattr(self, PY_NAME(repo))},
                                    {{PY_NAME(paths), paths}});
                    }
                },
                [&](PyObject* e) { log(self, PY_NAME(warning), "无法解码文件路径: ", e); });
        });
    }
    py::call_kw(porcelain(c, PY_NAME(commit)), {py::getattr(self, PY_NAME(repo))}, {{PY_NAME(message), message}});
    log(self, PY_NAME(info), "提交成功: ", message);
    Ref auth_url = py::call_method(self, SELF_METHOD(get_auth_url));
    if (!py::truthy(auth_url)) auth_url = py::getattr(self, PY_NAME(repo_url));
    Ref refspec = py::concat("refs/heads/", branch, ":refs/heads/", branch);
    Ref result = remote_call(c, self, PY_NAME(push), auth_url, {py::getattr(self, PY_NAME(repo))},
                             {{PY_NAME(remote_location), auth_url}, {PY_NAME(refspecs), refspec}, {PY_NAME(force), force}});
    raise_refused_refs(c, result);
    log(self, PY_NAME(info), "推送成功到 ", remote_name, "/", branch);
    return py::none();
}

// ---- repository information ------------------------------------------------------------

Ref get_file_last_commit_time(Call& c) {
    auto [self, given_file_path] = c.args<file_params>();
    Ref file_path = Ref::borrow(given_file_path);
    if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        log(self, PY_NAME(error), "本地仓库目录不存在: ", py::getattr(self, PY_NAME(local_dir)));
        return py::none();
    }
    if (py::truthy(os_path(c, PY_NAME(isabs), file_path))) {
        // A path on another drive has no relative form (ValueError): it is no file of
        // the working copy.
        bool elsewhere = false;
        py::try_except(
            PyExc_ValueError,
            [&] { file_path = os_path(c, PY_NAME(relpath), file_path, py::getattr(self, PY_NAME(local_dir))); },
            [&](PyObject*) { elsewhere = true; });
        if (elsewhere) {
            log(self, PY_NAME(error), "文件不存在: ", file_path);
            return py::none();
        }
    }
    Ref full_path = os_path(c, PY_NAME(join), py::getattr(self, PY_NAME(local_dir)), file_path);
    if (!py::truthy(os_path(c, PY_NAME(exists), full_path))) {
        log(self, PY_NAME(error), "文件不存在: ", file_path);
        return py::none();
    }
    file_path = py::call_method(file_path, PY_NAME(replace), PY_STR("\\"), PY_STR("/"));
    Ref paths = Ref::steal(PyList_New(0));
    py::append(paths, py::call_method(file_path, PY_NAME(encode), PY_STR("utf-8")));
    Ref walker = py::call_kw(py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(get_walker)), {},
                             {{PY_NAME(paths), paths}, {PY_NAME(max_entries), py::integer(1)}});
    Ref result = py::none();
    py::for_each(walker, [&](PyObject* entry) {
        Ref commit_time = py::getattr(py::getattr(entry, PY_NAME(commit)), PY_NAME(commit_time));
        result = py::call_method(c.global(PY_NAME(datetime)), PY_NAME(fromtimestamp), commit_time);
        return false;
    });
    return result;
}

Ref get_repo_info(Call& c) {
    auto [self] = c.args<self_params>();
    if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) return py::none();
    auto read_ref = [&](PyObject* name) {
        Ref refs = py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(refs));
        return py::call_method(refs, PY_NAME(read_ref), name);
    };
    Ref head_ref = read_ref(bytes("HEAD"));
    Ref commit_hash = py::text("unknown");
    Ref heads = bytes("ref: refs/heads/");
    auto names_branch = [&] {
        return py::truthy(head_ref) && py::truthy(py::call_method(head_ref, PY_NAME(startswith), heads));
    };
    if (py::truthy(head_ref)) {
        if (py::truthy(py::call_method(head_ref, PY_NAME(startswith), heads))) {
            Ref branch_name = branch_of(py::call_method(head_ref, PY_NAME(decode), PY_STR("utf-8")));
            Ref branch_ref =
                read_ref(py::call_method(py::concat("refs/heads/", branch_name), PY_NAME(encode)));
            if (py::truthy(branch_ref)) commit_hash = short_hash(branch_ref);
        } else {
            commit_hash = short_hash(head_ref);
        }
    }
    Ref is_dirty = py::call_method(self, SELF_METHOD(check_if_dirty), py::getattr(self, PY_NAME(repo)));
    Ref active_branch = py::text("unknown");
    if (names_branch()) active_branch = branch_of(py::call_method(head_ref, PY_NAME(decode), PY_STR("utf-8")));
    Ref info = py::new_dict();
    py::setitem(info, PY_STR("active_branch"), active_branch);
    py::setitem(info, PY_STR("commit_hash"), commit_hash);
    py::setitem(info, PY_STR("is_dirty"), is_dirty);
    py::setitem(info, PY_STR("remote_url"), py::getattr(self, PY_NAME(repo_url)));
    return info;
}

Ref check_if_dirty(Call& c) {
    auto [self, repo] = c.args<check_if_dirty_params>();
    Ref status = py::call(porcelain(c, PY_NAME(status)), repo);
    Ref staged = py::getattr(status, PY_NAME(staged));
    const bool has_staged =
        PyDict_Check(staged) ? staged_lists_filled(staged) : py::check(PyObject_Size(staged)) > 0;
    const bool has_unstaged = py::check(PyObject_Size(py::getattr(status, PY_NAME(unstaged)))) > 0;
    return py::boolean(has_staged || has_unstaged);
}

// ---- the class ---------------------------------------------------------------------

#define ARGS_DOC "\n        Args:\n"
#define RETURNS_DOC "\n        Returns:\n"
#define ENTRY_DOC "            "
#define END_DOC "        "

const py::FunctionDef init_def{
    "__init__", "GitRepoOperator.__init__", nullptr, py::impl<init, init_params>};
const py::FunctionDef pull_def{
    "pull", "GitRepoOperator.pull",
    "拉取远程仓库更新\n" ARGS_DOC ENTRY_DOC "commit_hash: 指定要拉取的提交哈希，None表示拉取最新\n" ENTRY_DOC
    "accept_remote: 是否接受远程更改，放弃本地冲突文件，默认True\n" END_DOC,
    py::impl<pull, pull_params>};
const py::FunctionDef clone_def{
    "clone", "GitRepoOperator.clone",
    "克隆远程仓库\n" ARGS_DOC ENTRY_DOC "force_clone: 是否强制重新克隆，如果为True则删除现有目录后重新克隆，默认False\n" END_DOC,
    py::impl<clone, clone_params>};
const py::FunctionDef push_def{
    "push", "GitRepoOperator.push",
    "\n" END_DOC "提交更改并推送到远程仓库\n" ARGS_DOC ENTRY_DOC "message (str): 提交信息，默认为\"Tamarel测试平台提交\"\n" ENTRY_DOC
    "remote_name (str): 远程仓库名称，默认为'origin'\n" ENTRY_DOC "branch (str): 分支名称，默认为'master'\n" ENTRY_DOC
    "force (bool): 是否强制推送，默认为False\n" RETURNS_DOC ENTRY_DOC "bool: 成功返回True，失败返回False\n" END_DOC,
    py::impl<push, push_params>};
const py::FunctionDef get_file_last_commit_time_def{
    "get_file_last_commit_time", "GitRepoOperator.get_file_last_commit_time",
    "获取指定文件的最近一次提交时间\n" ARGS_DOC ENTRY_DOC "file_path (str): 相对于仓库根目录的文件路径\n" RETURNS_DOC ENTRY_DOC
    "datetime: 文件的最近提交时间，如果文件不存在或出错则返回None\n" END_DOC,
    py::impl<get_file_last_commit_time, file_params>};
const py::FunctionDef is_current_repo_def{"__is_current_repo", "GitRepoOperator.__is_current_repo",
                                          "检查目录是否已经是当前仓库的Git仓库", py::impl<is_current_repo, self_params>};
const py::FunctionDef get_auth_url_def{"__get_auth_url", "GitRepoOperator.__get_auth_url",
                                       "获取带认证信息的URL", py::impl<get_auth_url, self_params>};
const py::FunctionDef clone_repository_def{"__clone_repository", "GitRepoOperator.__clone_repository",
                                           "克隆仓库", py::impl<clone_repository, self_params>};
const py::FunctionDef update_repository_def{
    "__update_repository", "GitRepoOperator.__update_repository",
    "更新仓库\n" ARGS_DOC ENTRY_DOC "accept_remote: 是否接受远程更改，放弃本地冲突文件，默认True\n" END_DOC,
    py::impl<update_repository, update_params>};
const py::FunctionDef get_repo_info_def{"get_repo_info", "GitRepoOperator.get_repo_info", "获取仓库信息",
                                        py::impl<get_repo_info, self_params>};
const py::FunctionDef check_if_dirty_def{"__check_if_dirty", "GitRepoOperator.__check_if_dirty",
                                         "检查工作目录是否有未提交的更改", py::impl<check_if_dirty, check_if_dirty_params>};

}  // namespace

void git_working_copy(py::ModuleBody& m) {
    m.import("os");
    m.import("traceback");
    m.import_from("datetime", "datetime");
    m.import_from("dulwich", "porcelain");
    m.import_from("dulwich.repo", "Repo");
    std::vector<py::Member> body;
    for (const py::FunctionDef* def : {&init_def, &pull_def, &clone_def, &push_def, &get_file_last_commit_time_def,
                                       &is_current_repo_def, &get_auth_url_def, &clone_repository_def,
                                       &update_repository_def, &get_repo_info_def, &check_if_dirty_def}) {
        body.push_back({def->name, m.function(*def)});
    }
    m.bind("GitRepoOperator", py::build_class("GitRepoOperator", m.globals(), {}, body));
}

}  // namespace sections
