// Git working copy: the working copy of one remote repository, kept in step
// with its remote through dulwich (porcelain and Repo, read from the module at call
// time), progress and failures reported to the caller's logger.
#include "sections.hpp"

#include "common.hpp"
#include "credentials.hpp"
#include "runtime/handler.hpp"
#include "runtime/text.hpp"

#include <cstring>
#include <string>
#include <type_traits>

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
constexpr py::Params exit_params{"self, exc_type, exc_value, traceback"};

// ---- shared pieces ----------------------------------------------------------------

// A piece of a log line: an error is shown by its text, or its type's name where the
// text is empty; anything else becomes str(value) in the line.
inline const char* log_part(const char* part) { return part; }
inline Ref log_part(PyObject* part) { return PyExceptionInstance_Check(part) ? error_text(part) : Ref::borrow(part); }

// self.log.<level>("part" + str(value) + ...), without credentials (a repo_url may
// carry them, and so may the texts of errors). A line of literal pieces only has none
// to take out, and is passed as it is.
template <class... Parts>
void log(PyObject* self, PyObject* level, const Parts&... parts) {
    Ref method = py::getattr(py::getattr(self, PY_NAME(log)), level);
    if constexpr ((std::is_convertible_v<const Parts&, const char*> && ...)) {
        py::call(method, py::concat(parts...));
    } else {
        Ref message = py::concat(log_part(parts)...);
        py::call(method, without_credentials(self, message));
    }
}

Ref porcelain(Call& c, PyObject* fn) { return py::getattr(c.global(PY_NAME(porcelain)), fn); }

// The private methods, looked up on the instance at each call under the names the
// class body gives them.
#define SELF_METHOD(name) PY_PRIVATE_NAME("GitRepoOperator", "__" #name)

bool contains(PyObject* container, PyObject* item) {
    return py::check(PySequence_Contains(container, item)) != 0;
}

Ref bytes(const char* text) { return Ref::steal(PyBytes_FromString(text)); }

Ref slice(PyObject* sequence, Py_ssize_t start, Py_ssize_t stop) {
    return Ref::steal(PySequence_GetSlice(sequence, start, stop));
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

// A dulwich name below porcelain (dulwich.index, dulwich.graph, ...), imported when
// first needed.
Ref dulwich_attr(const char* module, PyObject* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    return py::getattr(imported, name);
}

// What the reference `name` stands for, following symbolic references the way HEAD
// names its branch, read through refs.read_ref: the name finally read and its value
// (None for a branch not born yet).
std::pair<Ref, Ref> resolve_ref(PyObject* refs, PyObject* name) {
    Ref current = Ref::borrow(name);
    for (int depth = 0; depth < 8; ++depth) {
        Ref value = py::call_method(refs, PY_NAME(read_ref), current);
        if (PyBytes_Check(value) && PyBytes_GET_SIZE(value.get()) > 5 &&
            std::memcmp(PyBytes_AS_STRING(value.get()), "ref: ", 5) == 0) {
            current = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(value.get()) + 5,
                                                           PyBytes_GET_SIZE(value.get()) - 5));
            continue;
        }
        return {std::move(current), py::truthy(value) ? std::move(value) : py::none()};
    }
    return {std::move(current), py::none()};
}

// b"refs/heads/" + str(branch) encoded, and the same under refs/remotes/origin/.
Ref branch_ref_name(PyObject* branch) {
    return py::call_method(py::concat("refs/heads/", branch), PY_NAME(encode), PY_STR("utf-8"));
}

// refs.set_if_equals(name, old, new, message=...): old None sets unconditionally.
void set_ref(PyObject* refs, PyObject* name, PyObject* old, PyObject* value, const char* message) {
    py::call_kw(py::getattr(refs, PY_NAME(set_if_equals)), {name, old, value}, {{PY_NAME(message), bytes(message)}});
}

// refs/remotes/origin/<x> follows the remote's refs/heads/<x> (`branch_ref`), as git
// keeps it on fetch and push, so that `git status -sb` compares with the server.
void set_tracking_ref(PyObject* refs, PyObject* branch_ref, PyObject* value, const char* message) {
    if (!PyBytes_Check(branch_ref) || !PyBytes_Check(value)) return;
    static constexpr char kHeads[] = "refs/heads/";
    const Py_ssize_t prefix = sizeof(kHeads) - 1;
    if (PyBytes_GET_SIZE(branch_ref) <= prefix || std::memcmp(PyBytes_AS_STRING(branch_ref), kHeads, prefix) != 0) {
        return;
    }
    Ref name = Ref::steal(PyBytes_FromFormat("refs/remotes/origin/%s", PyBytes_AS_STRING(branch_ref) + prefix));
    if (py::equal(resolve_ref(refs, name).second, value)) return;
    set_ref(refs, name, Py_None, value, message);
}

// A status entry (bytes or str) as the file name under `root`, and as the path key of
// the index; empty Refs for entries of any other type, and for a name the file system
// cannot hold (bytes that are not UTF-8 on Windows): no such file can be there.
std::pair<Ref, Ref> entry_paths(Call& c, PyObject* root, PyObject* entry) {
    Ref key;
    if (PyBytes_Check(entry)) {
        key = Ref::borrow(entry);
    } else if (PyUnicode_Check(entry)) {
        key = Ref::steal(PyUnicode_EncodeFSDefault(entry));
    } else {
        return {};
    }
    PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(key.get()), PyBytes_GET_SIZE(key.get()));
    if (!decoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) py::fail();
        PyErr_Clear();
        return {};
    }
    Ref name = Ref::steal(decoded);
    return {os_path(c, PY_NAME(join), root, name), std::move(key)};
}

constexpr long kGitlinkMode = 0160000;

// A checked-out submodule agrees with its gitlink when its HEAD is the recorded
// commit; one not checked out (no .git inside) always does, as git sees it.
bool submodule_matches(Call& c, PyObject* folder, PyObject* recorded) {
    if (!py::truthy(os_path(c, PY_NAME(exists), os_path(c, PY_NAME(join), folder, PY_STR(".git"))))) return true;
    return py::try_except(
        PyExc_Exception,
        [&] {
            bool same = false;
            py::with_context(py::call(c.global(PY_NAME(Repo)), folder), [&](PyObject* sub) {
                same = py::equal(py::call_method(sub, PY_NAME(head)), recorded);
            });
            return same;
        },
        [&](PyObject*) { return false; });
}

// The index entry of `key` when it is a gitlink (a submodule's commit), else empty.
Ref gitlink_entry(Ref& index, PyObject* repo, PyObject* key) {
    if (!index) index = py::call_method(repo, PY_NAME(open_index));
    Ref indexed = py::try_except(
        PyExc_KeyError, [&] { return py::getitem(index, key); }, [&](PyObject*) { return Ref(); });
    Ref mode = indexed ? py::getattr_optional(indexed, PY_NAME(mode)) : Ref();
    const long mode_bits = mode && PyLong_Check(mode) ? PyLong_AsLong(mode) : 0;
    return (mode_bits & 0170000) == kGitlinkMode ? std::move(indexed) : Ref();
}

// dulwich lists a checked-out submodule's folder as untracked ("lib/"); git does not,
// and adding it would put the submodule's files in place of the gitlink.
Ref untracked_as_git_sees(Call& c, PyObject* self, PyObject* repo, PyObject* untracked) {
    if (!PyList_Check(untracked)) return Ref::borrow(untracked);
    Ref kept = py::new_list();
    Ref index;
    Ref root;
    py::for_each(untracked, [&](PyObject* entry) {
        if (!root) root = py::getattr(self, PY_NAME(local_dir));
        auto [path, key] = entry_paths(c, root, entry);
        if (path && py::truthy(os_path(c, PY_NAME(isdir), path))) {
            Ref folder = py::call_method(key, PY_NAME(rstrip), bytes("/"));
            if (gitlink_entry(index, repo, folder)) return;
        }
        py::append(kept, entry);
    });
    return kept;
}

// dulwich lists a gitlink as unstaged whenever its folder is there (a clone leaves it
// empty), where git sees no change. `unstaged` without the gitlinks git calls
// unchanged; `gitlinks` (when given) collects those that stay, which are never staged.
Ref unstaged_as_git_sees(Call& c, PyObject* self, PyObject* repo, PyObject* unstaged, PyObject* gitlinks = nullptr) {
    Ref kept = py::new_list();
    Ref index;
    Ref root;
    py::for_each(unstaged, [&](PyObject* entry) {
        if (!root) root = py::getattr(self, PY_NAME(local_dir));
        auto [path, key] = entry_paths(c, root, entry);
        if (!path || !py::truthy(os_path(c, PY_NAME(isdir), path))) {
            py::append(kept, entry);
            return;
        }
        Ref indexed = gitlink_entry(index, repo, key);
        if (!indexed) {
            py::append(kept, entry);
            return;
        }
        if (submodule_matches(c, path, py::getattr(indexed, PY_NAME(sha)))) return;
        py::append(kept, entry);
        if (gitlinks) py::check(PySet_Add(gitlinks, entry));
    });
    return kept;
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
    Ref text = error_text(exc);
    without_credentials_in(self, exc);  // the traceback quotes the error's texts
    Ref printed = py::call_method(c.global(PY_NAME(traceback)), PY_NAME(print_exc));
    Ref message = without_credentials(self, py::concat(prefix, text, ", ", printed));
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
        Ref user = percent_encoded(py::getattr(self, PY_NAME(username)));  // str(username) first
        Ref password = percent_encoded(py::getattr(self, PY_NAME(password)));
        Ref replacement = py::concat("https://", user, ":", password, "@");
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

// The operators whose working copy is open (a weakref.WeakSet, made with the class).
// Their repositories are closed when the interpreter exits, before it tears the
// modules down: an open pack file found then by dulwich's __del__ makes it print
// "Exception ignored in ..." to standard error.
struct OpenOperators : py::Cache {
    Ref operators;
    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(operators.get());
        return 0;
    }
    void clear() override { operators = {}; }
};

Ref close_at_exit(Call& c) {
    Ref operators = Ref::steal(PySequence_List(c.closure()));
    py::for_each(operators, [&](PyObject* op) {
        try {
            close_repo(op);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // the interpreter is going: nothing is left to report to
        }
    });
    return py::none();
}
const py::FunctionDef close_at_exit_def{"close_at_exit", "GitRepoOperator.<locals>.close_at_exit", nullptr,
                                        py::impl<close_at_exit, py::no_params>};

Ref init(Call& c) {
    auto [self, repo_url, root_path, log, username, password, warehouse_name] = c.args<init_params>();
    py::setattr(self, PY_NAME(repo_url), repo_url);
    py::setattr(self, PY_NAME(local_dir), os_path(c, PY_NAME(join), root_path, warehouse_name));
    py::setattr(self, PY_NAME(username), username);
    py::setattr(self, PY_NAME(password), password);
    py::setattr(self, PY_NAME(log), log);
    py::call_method(self, PY_NAME(clone));
    py::setattr(self, PY_NAME(repo), py::call(c.global(PY_NAME(Repo)), py::getattr(self, PY_NAME(local_dir))));
    if (PyObject* operators = c.state().get<OpenOperators>().operators.get()) {
        try {
            py::call_method(operators, PY_NAME(add), self);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // an instance without weak references is just not closed at exit
        }
    }
    return py::none();
}

// close(): the working copy's repository is closed (its pack files released); again
// and again without effect.
Ref close(Call& c) {
    auto [self] = c.args<self_params>();
    close_repo(self);
    return py::none();
}

Ref enter(Call& c) {
    auto [self] = c.args<self_params>();
    return Ref::borrow(self);
}

Ref exit(Call& c) {
    auto [self, exc_type, exc_value, traceback] = c.args<exit_params>();
    py::call_method(self, PY_NAME(close));
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

// What `folder` holds now (os.listdir), to tell afterwards what a clone created.
// Empty when the folder is missing (dulwich then makes it, and removes it on failure).
Ref folder_entries(Call& c, PyObject* folder) {
    if (!py::truthy(os_path(c, PY_NAME(isdir), folder))) return Ref();
    return Ref::steal(PySet_New(py::call_method(c.global(PY_NAME(os)), PY_NAME(listdir), folder)));
}

// A clone that raised leaves behind what it wrote (dulwich keeps the .git it made in
// a folder that already existed): everything in `folder` that was not in `before` is
// removed, so that no empty repository with the origin URL passes for the clone.
void remove_created(Call& c, PyObject* folder, PyObject* before) {
    Ref shutil = Ref::steal(PyImport_Import(PY_NAME(shutil)));
    Ref os = c.global(PY_NAME(os));
    Ref names = py::call_method(os, PY_NAME(listdir), folder);
    py::for_each(names, [&](PyObject* name) {
        if (py::check(PySet_Contains(before, name))) return;
        Ref path = os_path(c, PY_NAME(join), folder, name);
        if (py::truthy(os_path(c, PY_NAME(isdir), path)) && !py::truthy(os_path(c, PY_NAME(islink), path))) {
            py::call_method(shutil, PY_NAME(rmtree), path);
        } else {
            py::call_method(os, PY_NAME(remove), path);
        }
    });
}

// dulwich writes the URL it cloned from into the reflogs ("clone: from <url>"); git
// writes it without the user information, and so does this: the credentials stay in
// .git/config alone. Only the message part of each line (after the tab) is touched.
void scrub_reflogs(Call& c, PyObject* self) {
    Ref logs = os_path(c, PY_NAME(join), py::getattr(self, PY_NAME(local_dir)), PY_STR(".git"), PY_STR("logs"));
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref walk = py::call_method(c.global(PY_NAME(os)), PY_NAME(walk), logs);
    py::for_each(walk, [&](PyObject* step) {
        PyObject* folder = PyTuple_GET_ITEM(step, 0);
        py::for_each(PyTuple_GET_ITEM(step, 2), [&](PyObject* name) {
            Ref path = os_path(c, PY_NAME(join), folder, name);
            Ref data;
            py::with_context(py::call(py::getattr(io, PY_NAME(open)), path, PY_STR("rb")),
                             [&](PyObject* f) { data = py::call_method(f, PY_NAME(read)); });
            Ref lines = py::call_method(data, PY_NAME(split), bytes("\n"));
            Ref cleaned = py::new_list();
            bool changed = false;
            py::for_each(lines, [&](PyObject* line) {
                Ref parts = py::call_method(line, PY_NAME(partition), bytes("\t"));
                Ref message = py::call_method(PyTuple_GET_ITEM(parts.get(), 2), PY_NAME(decode), PY_STR("utf-8"),
                                              PY_STR("surrogateescape"));
                Ref kept = without_credentials(self, message);
                if (py::equal(kept, message)) {
                    py::append(cleaned, line);
                    return;
                }
                changed = true;
                Ref encoded = py::call_method(kept, PY_NAME(encode), PY_STR("utf-8"), PY_STR("surrogateescape"));
                py::append(cleaned, Ref::steal(PyNumber_Add(PyTuple_GET_ITEM(parts.get(), 0),
                                                            Ref::steal(PyNumber_Add(PyTuple_GET_ITEM(parts.get(), 1),
                                                                                    encoded)))));
            });
            if (!changed) return;
            Ref text = py::call_method(bytes("\n"), PY_NAME(join), cleaned);
            py::with_context(py::call(py::getattr(io, PY_NAME(open)), path, PY_STR("wb")),
                             [&](PyObject* f) { py::call_method(f, PY_NAME(write), text); });
        });
    });
}

// git clone records the checked-out branch's upstream (branch.<name>.remote and
// .merge), by which `git status` compares it with origin's; dulwich does so from 1.x
// on. The same for a clone of an older release, where it is missing.
void record_upstream(PyObject* cloned) {
    Ref refs = py::getattr_optional(cloned, PY_NAME(refs));
    if (!refs || !py::getattr_optional(cloned, PY_NAME(get_config))) return;
    auto [name, value] = resolve_ref(refs, bytes("HEAD"));
    static constexpr char kHeads[] = "refs/heads/";
    const Py_ssize_t prefix = sizeof(kHeads) - 1;
    if (value == Py_None || !PyBytes_Check(name) || PyBytes_GET_SIZE(name.get()) <= prefix ||
        std::memcmp(PyBytes_AS_STRING(name.get()), kHeads, prefix) != 0) {
        return;
    }
    Ref config = py::call_method(cloned, PY_NAME(get_config));
    Ref section = py::tuple(bytes("branch"), slice(name, prefix, PY_SSIZE_T_MAX));
    if (py::truthy(py::call_method(config, PY_NAME(has_section), section))) return;
    py::call_method(config, PY_NAME(set), section, bytes("remote"), bytes("origin"));
    py::call_method(config, PY_NAME(set), section, bytes("merge"), name);
    py::call_method(config, PY_NAME(write_to_path));
}

// A clone replaces the working copy that self.repo has open (once the constructor has
// opened one): the old one is closed, the new one opened as self.repo.
Ref clone_repository(Call& c) {
    auto [self] = c.args<self_params>();
    Ref auth_url = py::call_method(self, SELF_METHOD(get_auth_url));
    log(self, PY_NAME(debug), "开始克隆仓库: ", py::getattr(self, PY_NAME(repo_url)));
    log(self, PY_NAME(debug), "目标目录: ", py::getattr(self, PY_NAME(local_dir)));
    const bool reopen = close_repo(self);
    Ref local_dir = py::getattr(self, PY_NAME(local_dir));
    Ref before = folder_entries(c, local_dir);
    Ref cloned;
    try {
        cloned = remote_call(c, self, PY_NAME(clone), auth_url, {auth_url, local_dir.get()},
                             {{PY_NAME(checkout), Py_True}});
    } catch (const py::PythonError&) {
        py::Caught caught;
        try {
            if (before) remove_created(c, local_dir, before);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // the clone's own error is the one to report
        }
        caught.reraise();
    }
    try {
        record_upstream(cloned);
    } catch (const py::PythonError&) {
        py::Caught caught;
        if (Ref close = py::getattr_optional(cloned, PY_NAME(close))) py::call(close);
        caught.reraise();
    }
    if (Ref close = py::getattr_optional(cloned, PY_NAME(close))) py::call(close);
    scrub_reflogs(c, self);
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

// ---- merging the fetched commit ---------------------------------------------------------
//
// The merge is done here, not by porcelain.pull: up to dulwich 0.24.x a pull refused
// by a local change has already moved the branch, and no release checks out anything
// into a repository whose branch is not born yet (what a failed clone left). The
// fetched commit is checked out over the old HEAD's tree with dulwich's own
// update_working_tree, and the branch moves only once index and files have followed.

Ref tree_of(PyObject* repo, PyObject* commit_id) { return py::getattr(py::getitem(repo, commit_id), PY_NAME(tree)); }

// The path of one side of a tree change; None for a side that is absent.
Ref change_path(PyObject* side) {
    if (side == Py_None) return py::none();
    return py::getattr(side, PY_NAME(path));
}

[[noreturn]] void refuse_merge(PyObject* path, const char* what) {
    Ref name = py::call_method(path, PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"));
    Ref text = py::concat(what, " '", name, "' would be overwritten by merge. Please commit your changes or stash "
                          "them before you merge.");
    py::raise_object(py::call(dulwich_attr("dulwich.errors", PY_NAME(WorkingTreeModifiedError)), text));
}

// What a fast-forward (not forced) must not overwrite beyond what update_working_tree
// checks itself (the files against the old tree): a staged change on a path the
// merge changes, and an untracked file where the merge adds one. git refuses both.
void refuse_overwrites(Call& c, PyObject* self, PyObject* repo, PyObject* changes) {
    Ref index = py::call_method(repo, PY_NAME(open_index));
    Ref root = py::getattr(self, PY_NAME(local_dir));
    py::for_each(changes, [&](PyObject* change) {
        Ref old_side = py::getattr(change, PY_NAME(old));
        Ref new_side = py::getattr(change, PY_NAME(new));
        Ref old_path = change_path(old_side);
        Ref path = old_path != Py_None ? old_path.copy() : change_path(new_side);
        if (path == Py_None) return;
        const bool indexed = py::check(PySequence_Contains(index, path)) != 0;
        if (old_path == Py_None) {
            if (indexed) refuse_merge(path, "Your staged file");
            auto [file, key] = entry_paths(c, root, path);
            if (file && py::truthy(os_path(c, PY_NAME(lexists), file))) refuse_merge(path, "The untracked file");
            return;
        }
        Ref staged = indexed ? py::getattr(py::getitem(index, path), PY_NAME(sha)) : py::none();
        if (!py::equal(staged, py::getattr(old_side, PY_NAME(sha)))) refuse_merge(path, "Your local changes to");
    });
}

// HEAD's branch (or a detached HEAD) moves to `target`, the remote's commit, with the
// working tree and index following. Forced, the remote wins over local commits and
// over local changes on the paths it changes; otherwise only a fast-forward is made,
// a local history ahead of the remote is kept, and a diverged one raises
// DivergedBranches -- with branch, index and files as they were.
void merge_remote(Call& c, PyObject* self, PyObject* target, bool force) {
    Ref repo = py::getattr(self, PY_NAME(repo));
    Ref refs = py::getattr(repo, PY_NAME(refs));
    auto [head_name, old] = resolve_ref(refs, bytes("HEAD"));
    if (old != Py_None && py::equal(old, target)) return;
    if (!force && old != Py_None) {
        Ref can_fast_forward = dulwich_attr("dulwich.graph", PY_NAME(can_fast_forward));
        if (py::truthy(py::call(can_fast_forward, repo, target, old))) return;  // the local history is ahead
        if (!py::truthy(py::call(can_fast_forward, repo, old, target))) {
            Ref diverged = py::getattr_optional(c.global(PY_NAME(porcelain)), PY_NAME(DivergedBranches));
            if (!diverged) diverged = dulwich_attr("dulwich.porcelain", PY_NAME(DivergedBranches));
            py::raise_object(py::call(diverged, old, target));
        }
    }
    Ref old_tree = old != Py_None ? tree_of(repo, old) : py::none();
    Ref new_tree = tree_of(repo, target);
    Ref changes = Ref::steal(PySequence_List(py::call(dulwich_attr("dulwich.diff_tree", PY_NAME(tree_changes)),
                                                      py::getattr(repo, PY_NAME(object_store)), old_tree, new_tree)));
    if (!force) refuse_overwrites(c, self, repo, changes);
    Ref iterator = Ref::steal(PyObject_GetIter(changes));
    py::call_kw(dulwich_attr("dulwich.index", PY_NAME(update_working_tree)), {repo, old_tree, new_tree},
                {{PY_NAME(change_iterator), iterator},
                 {PY_NAME(blob_normalizer), py::call_method(repo, PY_NAME(get_blob_normalizer))},
                 {PY_NAME(allow_overwrite_modified), py::boolean(force)}});
    set_ref(refs, head_name, old, target, force ? "pull: forced update to the remote's commit" : "pull: Fast-forward");
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
    Ref remote_refs = py::getattr(fetch_result, PY_NAME(refs));
    Ref count = py::integer(py::check(PyObject_Size(remote_refs)));
    log(self, PY_NAME(debug), "获取到的对象: ", count);
    if (PyDict_Check(remote_refs)) {
        Ref refs = py::getattr(py::getattr(self, PY_NAME(repo)), PY_NAME(refs));
        Ref items = Ref::steal(PyDict_Items(remote_refs));
        py::for_each(items, [&](PyObject* item) {
            set_tracking_ref(refs, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), "fetch: fast-forward");
        });
    }
    Ref target = py::getitem(remote_refs, bytes("HEAD"));
    if (py::truthy(accept_remote)) {
        log(self, PY_NAME(debug), "将强制接受远程更改，放弃本地冲突文件");
        merge_remote(c, self, target, true);
        log(self, PY_NAME(debug), "已强制合并远程更改");
        return;
    }
    py::try_except(
        PyExc_Exception,
        [&] {
            merge_remote(c, self, target, false);
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


// A push that did not go through takes its commit back: the branch HEAD names returns
// to `before` (or is removed again, for a branch the commit created), index and files
// keep the changes, and the next push commits them again. A pull (the remote wins by
// default) would otherwise revert a commit stranded here.
void undo_commit(PyObject* repo, PyObject* before) {
    Ref refs = py::getattr(repo, PY_NAME(refs));
    auto [name, after] = resolve_ref(refs, bytes("HEAD"));
    if (after == Py_None || py::equal(after, before)) return;
    if (before == Py_None) {
        py::call_method(refs, PY_NAME(remove_if_equals), name, after);
    } else {
        set_ref(refs, name, after, before, "reset: the push failed, its commit is taken back");
    }
}

Ref push(Call& c) {
    auto [self, message, remote_name, branch, force] = c.args<push_params>();
    if (!py::truthy(os_path(c, PY_NAME(exists), py::getattr(self, PY_NAME(local_dir))))) {
        Ref text = py::concat("本地仓库目录不存在: ", py::getattr(self, PY_NAME(local_dir)));
        py::raise_object(py::call(PyExc_FileNotFoundError, without_credentials(self, text)));
    }
    Ref repo = py::getattr(self, PY_NAME(repo));
    Ref status = py::call(porcelain(c, PY_NAME(status)), repo);
    Ref staged = py::getattr(status, PY_NAME(staged));
    const bool has_staged = PyDict_Check(staged) ? staged_lists_filled(staged) : py::truthy(staged);
    Ref gitlinks = Ref::steal(PySet_New(nullptr));
    Ref unstaged = unstaged_as_git_sees(c, self, repo, py::getattr(status, PY_NAME(unstaged)), gitlinks);
    if (!has_staged && !py::truthy(unstaged)) {
        log(self, PY_NAME(debug), "没有需要提交的更改");
        return py::none();
    }
    // Every path is printed as it comes; the files are then staged in one call, which
    // reads and writes the index once.
    Ref to_add = py::new_list();
    Ref untracked = untracked_as_git_sees(c, self, repo, py::getattr(status, PY_NAME(untracked)));
    if (py::truthy(unstaged) || py::truthy(untracked)) {
        Ref entries = Ref::steal(PyNumber_Add(unstaged, untracked));
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
                    // Deleted files stay unstaged, and a gitlink is never staged (adding
                    // its folder would drop the submodule from the commit).
                    if (py::truthy(os_path(c, PY_NAME(exists), full_path)) &&
                        !py::check(PySet_Contains(gitlinks, path_bytes))) {
                        py::append(to_add, full_path);
                    }
                },
                [&](PyObject* e) { log(self, PY_NAME(warning), "无法解码文件路径: ", e); });
        });
    }
    if (PyList_GET_SIZE(to_add.get()) > 0) {
        py::call_kw(porcelain(c, PY_NAME(add)), {repo}, {{PY_NAME(paths), to_add}});
    } else if (!has_staged) {
        // Only deletions or gitlinks: staging left the index as HEAD has it, and a
        // commit would be empty.
        log(self, PY_NAME(debug), "没有需要提交的更改");
        return py::none();
    }
    Ref before = resolve_ref(py::getattr(repo, PY_NAME(refs)), bytes("HEAD")).second;
    py::call_kw(porcelain(c, PY_NAME(commit)), {repo}, {{PY_NAME(message), message}});
    log(self, PY_NAME(info), "提交成功: ", message);
    Ref auth_url = py::call_method(self, SELF_METHOD(get_auth_url));
    if (!py::truthy(auth_url)) auth_url = py::getattr(self, PY_NAME(repo_url));
    Ref refspec = py::concat("refs/heads/", branch, ":refs/heads/", branch);
    try {
        Ref result =
            remote_call(c, self, PY_NAME(push), auth_url, {repo},
                        {{PY_NAME(remote_location), auth_url}, {PY_NAME(refspecs), refspec}, {PY_NAME(force), force}});
        raise_refused_refs(c, result);
    } catch (const py::PythonError&) {
        py::Caught caught;
        try {
            undo_commit(repo, before);
        } catch (const py::PythonError&) {
            PyErr_Clear();  // the push's own error is the one to report
        }
        caught.reraise();
    }
    Ref refs = py::getattr(repo, PY_NAME(refs));
    Ref pushed_ref = branch_ref_name(branch);
    set_tracking_ref(refs, pushed_ref, resolve_ref(refs, pushed_ref).second, "update by push");
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
    const bool has_unstaged =
        py::check(PyObject_Size(unstaged_as_git_sees(c, self, repo, py::getattr(status, PY_NAME(unstaged))))) > 0;
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
const py::FunctionDef close_def{"close", "GitRepoOperator.close", "关闭工作副本的仓库，释放打开的文件；可重复调用",
                                py::impl<close, self_params>};
const py::FunctionDef enter_def{"__enter__", "GitRepoOperator.__enter__", nullptr, py::impl<enter, self_params>};
const py::FunctionDef exit_def{"__exit__", "GitRepoOperator.__exit__", "退出时关闭仓库（见 close）",
                               py::impl<exit, exit_params>};

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
                                       &update_repository_def, &get_repo_info_def, &check_if_dirty_def, &close_def,
                                       &enter_def, &exit_def}) {
        body.push_back({def->name, m.function(*def)});
    }
    m.bind("GitRepoOperator", py::build_class("GitRepoOperator", m.globals(), {}, body), py::Listed::Yes);
    // The open working copies, closed when this module's interpreter exits (see
    // close_at_exit).
    Ref weakref = Ref::steal(PyImport_ImportModule("weakref"));
    Ref operators = py::call(py::getattr(weakref, PY_NAME(WeakSet)));
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    py::call_method(atexit, PY_NAME(register), m.function(close_at_exit_def, operators));
    m.state().get<OpenOperators>().operators = std::move(operators);
}

}  // namespace sections
