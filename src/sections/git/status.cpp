// The working copy's status as git sees it (status.hpp).
#include "status.hpp"

#include "worktree.hpp"

#include "runtime/handler.hpp"

#include <algorithm>
#include <memory>
#include <cctype>

namespace sections::git {
namespace {

// HEAD's tree as the last native status flattened it.
struct LastHeadTree : py::Cache {
    ObjectId id{};
    std::shared_ptr<const std::vector<TreeEntry>> entries;
};

constexpr py::Params check_if_dirty_params{"self, repo"};

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
}  // namespace

bool staged_lists_filled(PyObject* staged) {
    Ref lists = Ref::steal(PyDict_Values(staged));
    bool filled = false;
    py::for_each(lists, [&](PyObject* list) {
        filled = py::truthy(list);
        return !filled;
    });
    return filled;
}


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
Ref unstaged_as_git_sees(Call& c, PyObject* self, PyObject* repo, PyObject* unstaged, PyObject* gitlinks) {
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

namespace {

// A path of the tree as porcelain.status lists it: bytes with the system's separator.
Ref listed_path(const std::string& path) {
    if (fs::kPosix) return Ref::steal(PyBytes_FromStringAndSize(path.data(), Py_ssize_t(path.size())));
    std::string copy = path;
    std::replace(copy.begin(), copy.end(), '/', '\\');
    return Ref::steal(PyBytes_FromStringAndSize(copy.data(), Py_ssize_t(copy.size())));
}

Ref listed(const std::vector<std::string>& paths) {
    Ref list = Ref::steal(PyList_New(Py_ssize_t(paths.size())));
    for (std::size_t i = 0; i < paths.size(); ++i) PyList_SET_ITEM(list.get(), Py_ssize_t(i), listed_path(paths[i]).release());
    return list;
}


// A user file git reads by default: core.<name> expanded, else $XDG_CONFIG_HOME/git/<file>
// (~/.config/git/<file> without it).
std::string user_file(Call& c, PyObject* config, const char* name, const char* file) {
    std::string configured = config_text(config, "core", name);
    Ref path;
    if (!configured.empty()) {
        Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(configured.data(), Py_ssize_t(configured.size())));
        path = os_path(c, PY_NAME(expanduser), text);
    } else {
        // (Spelled as a string: Windows' headers define `environ` as a macro.)
        Ref variables = py::getattr(c.global(PY_NAME(os)), PY_STR("environ"));
        Ref xdg = py::call_method(variables, PY_NAME(get), PY_STR("XDG_CONFIG_HOME"));
        Ref base = py::truthy(xdg) ? std::move(xdg) : os_path(c, PY_NAME(expanduser), PY_STR("~/.config"));
        path = os_path(c, PY_NAME(join), base, PY_STR("git"), py::text(file));
    }
    return native_path(path);
}

// The native status of a dulwich Repo; false (nothing computed) where the tree needs
// what only dulwich does here.
bool native_status(Call& c, PyObject* repo, StatusLists& out, bool with_untracked) {
    WorktreeOptions options;
    std::string index_path;
    if (!native_worktree(c, repo, options, index_path)) return false;
    options.untracked = with_untracked;
    Index index = read_index(index_path);

    const WorktreeHooks hooks = status_hooks(c, repo, options.root);
    std::shared_ptr<const std::vector<TreeEntry>> head;
    Ref commit = py::try_except(
        PyExc_KeyError, [&] { return py::getitem(repo, bytes("HEAD")); }, [&](PyObject*) { return Ref(); });
    if (commit) {
        Ref tree = py::getattr(commit, PY_NAME(tree));
        ObjectId tree_id;
        if (!PyBytes_Check(tree) ||
            !from_hex(std::string_view(PyBytes_AS_STRING(tree.get()), std::size_t(PyBytes_GET_SIZE(tree.get()))), tree_id)) {
            return false;
        }
        // A tree never changes under its name: the last one flattened is kept (shared,
        // since another thread may replace it while this one walks).
        auto& last = c.state().get<LastHeadTree>();
        if (last.entries && last.id == tree_id) {
            head = last.entries;
        } else {
            head = std::make_shared<const std::vector<TreeEntry>>(flatten_tree(tree_id, hooks.read_object));
            last.id = tree_id;
            last.entries = head;
        }
    }
    WorktreeStatus status = worktree_status(options, index, head.get(), hooks);
    if (!status.unsupported.empty()) return false;
    if (status.index_changed) write_index_if_unchanged(index, index_path);
    out.has_staged = !status.staged_add.empty() || !status.staged_delete.empty() || !status.staged_modify.empty();
    out.unstaged = listed(status.unstaged);
    out.untracked = with_untracked ? listed(status.untracked) : py::new_list();
    out.gitlinks = Ref::steal(PySet_New(nullptr));
    for (const auto& path : status.gitlinks) py::check(PySet_Add(out.gitlinks, listed_path(path)));
    return true;
}

}  // namespace

Ref hex_bytes(const ObjectId& id) {
    const std::string hex = to_hex(id);
    return Ref::steal(PyBytes_FromStringAndSize(hex.data(), 40));
}

std::string config_text(PyObject* config, const char* section, const char* name) {
    Ref value = py::try_except(
        PyExc_KeyError, [&] { return py::call_method(config, PY_NAME(get), bytes(section), bytes(name)); },
        [&](PyObject*) { return Ref(); });
    if (!value || !PyBytes_Check(value)) return {};
    return std::string(PyBytes_AS_STRING(value.get()), std::size_t(PyBytes_GET_SIZE(value.get())));
}

bool config_bool(PyObject* config, const char* name, bool fallback) {
    return py::truthy(py::call_method(config, PY_NAME(get_boolean), bytes("core"), bytes(name), py::boolean(fallback)));
}

WorktreeHooks status_hooks(Call& c, PyObject* repo, const std::string& root) {
    auto store = std::make_shared<Ref>(py::getattr(repo, PY_NAME(object_store)));
    WorktreeHooks hooks;
    hooks.read_object = [store](const ObjectId& id) {
        Ref raw = py::call_method(*store, PY_NAME(get_raw), hex_bytes(id));
        PyObject* data = PyTuple_Check(raw) && PyTuple_GET_SIZE(raw.get()) == 2 ? PyTuple_GET_ITEM(raw.get(), 1) : nullptr;
        if (!data || !PyBytes_Check(data)) py::raise(PyExc_TypeError, "object_store.get_raw() gave no (type, bytes)");
        return std::string(PyBytes_AS_STRING(data), std::size_t(PyBytes_GET_SIZE(data)));
    };
    hooks.submodule_changed = [&c, root](const std::string& path, const ObjectId& recorded) {
        const std::string full = root + "/" + path;
        Ref folder = Ref::steal(fs::kPosix ? PyUnicode_DecodeFSDefaultAndSize(full.data(), Py_ssize_t(full.size()))
                                           : PyUnicode_DecodeUTF8(full.data(), Py_ssize_t(full.size()), "strict"));
        return !submodule_matches(c, folder, hex_bytes(recorded));
    };
    return hooks;
}

std::string native_path(PyObject* path) {
    Ref encoded = Ref::steal(fs::kPosix ? PyUnicode_EncodeFSDefault(path) : PyUnicode_AsUTF8String(path));
    std::string out(PyBytes_AS_STRING(encoded.get()), std::size_t(PyBytes_GET_SIZE(encoded.get())));
    if (!fs::kPosix) std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

bool native_worktree(Call& c, PyObject* repo, WorktreeOptions& options, std::string& index_path) {
    auto& original = c.state().get<PorcelainAtImport>();
    if (!original.repo_type || Py_TYPE(repo) != reinterpret_cast<PyTypeObject*>(original.repo_type.get())) return false;
    Ref config = py::call_method(repo, PY_NAME(get_config_stack));
    const std::string format = config_text(config, "extensions", "objectformat");
    if ((!format.empty() && format != "sha1") || !config_text(config, "core", "worktree").empty() ||
        config_bool(config, "precomposeunicode", false) || py::truthy(py::getattr(repo, PY_NAME(bare)))) {
        return false;
    }
    options.root = native_path(py::getattr(repo, PY_NAME(path)));
    options.git_dir = native_path(py::call_method(repo, PY_NAME(controldir)));
    // Where files have no executable bit, git keeps the index's (core.fileMode=false).
    options.trust_executable = fs::kPosix && config_bool(config, "filemode", true);
    options.symlinks = config_bool(config, "symlinks", fs::kPosix);
    options.ignore_case = config_bool(config, "ignorecase", false);
    options.trust_ctime = config_bool(config, "trustctime", true);
    options.autocrlf = config_text(config, "core", "autocrlf");
    for (auto& ch : options.autocrlf) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    options.excludes_file = user_file(c, config, "excludesfile", "ignore");
    options.attributes_file = user_file(c, config, "attributesfile", "attributes");
    index_path = native_path(py::call_method(repo, PY_NAME(index_path)));
    return true;
}

StatusLists read_status(Call& c, PyObject* self, PyObject* repo, bool with_untracked, bool staged_by_length) {
    auto& original = c.state().get<PorcelainAtImport>();
    py::Binding status_fn = c.global(PY_NAME(porcelain), original.porcelain).attribute(PY_NAME(status), original.status);
    StatusLists out;
    if (status_fn.native && native_status(c, repo, out, with_untracked)) {
        return out;
    }
    Ref status = py::call(status_fn.object, repo);
    Ref staged = py::getattr(status, PY_NAME(staged));
    if (PyDict_Check(staged)) {
        out.has_staged = staged_lists_filled(staged);
    } else {
        out.has_staged = staged_by_length ? py::check(PyObject_Size(staged)) > 0 : py::truthy(staged);
    }
    out.gitlinks = Ref::steal(PySet_New(nullptr));
    out.unstaged = unstaged_as_git_sees(c, self, repo, py::getattr(status, PY_NAME(unstaged)), out.gitlinks);
    out.untracked = with_untracked ? untracked_as_git_sees(c, self, repo, py::getattr(status, PY_NAME(untracked)))
                                   : py::new_list();
    return out;
}

namespace {

Ref check_if_dirty(Call& c) {
    auto [self, repo] = c.args<check_if_dirty_params>();
    StatusLists status = read_status(c, self, repo, false, true);
    const bool has_unstaged = py::check(PyObject_Size(status.unstaged)) > 0;
    return py::boolean(status.has_staged || has_unstaged);
}

}  // namespace

const py::FunctionDef check_if_dirty_def{"__check_if_dirty", "GitRepoOperator.__check_if_dirty",
                                         "检查工作目录是否有未提交的更改", py::impl<check_if_dirty, check_if_dirty_params>};

}  // namespace sections::git
