// References as the working copy reads and moves them (refs.hpp).
#include "refs.hpp"

#include "runtime/handler.hpp"

namespace sections::git {

Ref branch_of(PyObject* decoded) {
    if (py::truthy(py::call_method(decoded, PY_NAME(startswith), PY_STR("ref: refs/heads/")))) {
        return slice(decoded, kHeadsPrefix, PY_SSIZE_T_MAX);
    }
    Ref parts = py::call_method(decoded, PY_NAME(split), PY_STR("/"));
    return py::getitem(parts, py::integer(-1));
}

Ref short_hash(PyObject* ref_value) {
    return py::call_method(slice(ref_value, 0, 8), PY_NAME(decode), PY_STR("ascii"), PY_STR("replace"));
}

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

Ref branch_ref_name(PyObject* branch) {
    return py::call_method(py::concat("refs/heads/", branch), PY_NAME(encode), PY_STR("utf-8"));
}

void set_ref(PyObject* refs, PyObject* name, PyObject* old, PyObject* value, const char* message) {
    py::call_kw(py::getattr(refs, PY_NAME(set_if_equals)), {name, old, value}, {{PY_NAME(message), bytes(message)}});
}

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

bool starts_with(PyObject* value, const char* prefix) {
    const auto length = static_cast<Py_ssize_t>(std::strlen(prefix));
    return PyBytes_Check(value) && PyBytes_GET_SIZE(value) >= length &&
           std::memcmp(PyBytes_AS_STRING(value), prefix, static_cast<size_t>(length)) == 0;
}

Ref remote_value(PyObject* remote_refs, PyObject* name) {
    Ref value = py::try_except(
        PyExc_KeyError, [&] { return py::getitem(remote_refs, name); }, [&](PyObject*) { return Ref(); });
    return value && PyBytes_Check(value) ? std::move(value) : Ref();
}

namespace {

// config.get(section, name), or an empty Ref where it is not set.
Ref config_value(PyObject* config, PyObject* section, const char* name) {
    return py::try_except(
        PyExc_KeyError, [&] { return py::call_method(config, PY_NAME(get), section, bytes(name)); },
        [&](PyObject*) { return Ref(); });
}

Ref bytes_concat(PyObject* head, PyObject* tail) { return Ref::steal(PyNumber_Add(head, tail)); }

// The text a ref name is shown by in a log line: its part after `prefix`, decoded.
Ref shown_name(PyObject* name, Py_ssize_t prefix) {
    return py::call_method(slice(name, prefix, PY_SSIZE_T_MAX), PY_NAME(decode), PY_STR("utf-8"), PY_STR("replace"));
}

constexpr Py_ssize_t kTagsPrefix = 10;  // len("refs/tags/")

}  // namespace

Ref upstream_of(PyObject* repo, PyObject* branch_ref) {
    Ref fallback = Ref::borrow(branch_ref);
    Ref get_config = py::getattr_optional(repo, PY_NAME(get_config));
    if (!get_config || !starts_with(branch_ref, "refs/heads/")) return fallback;
    Ref config = py::call(get_config);
    Ref section = py::tuple(bytes("branch"), slice(branch_ref, kBranchPrefix, PY_SSIZE_T_MAX));
    Ref merge = config_value(config, section, "merge");
    if (!merge || !PyBytes_Check(merge) || PyBytes_GET_SIZE(merge.get()) == 0) return fallback;
    // The upstream of another remote (or of a local branch, ".") is not what this
    // working copy fetches.
    Ref remote = config_value(config, section, "remote");
    if (remote && !py::equal(remote, bytes("origin"))) return fallback;
    return starts_with(merge, "refs/") ? std::move(merge) : bytes_concat(bytes("refs/heads/"), merge);
}

void record_upstream(PyObject* repo) {
    Ref refs = py::getattr_optional(repo, PY_NAME(refs));
    if (!refs || !py::getattr_optional(repo, PY_NAME(get_config))) return;
    auto [name, value] = resolve_ref(refs, bytes("HEAD"));
    if (value == Py_None || !starts_with(name, "refs/heads/") || PyBytes_GET_SIZE(name.get()) <= kBranchPrefix) {
        return;
    }
    Ref config = py::call_method(repo, PY_NAME(get_config));
    Ref section = py::tuple(bytes("branch"), slice(name, kBranchPrefix, PY_SSIZE_T_MAX));
    if (py::truthy(py::call_method(config, PY_NAME(has_section), section))) return;
    py::call_method(config, PY_NAME(set), section, bytes("remote"), bytes("origin"));
    py::call_method(config, PY_NAME(set), section, bytes("merge"), name);
    py::call_method(config, PY_NAME(write_to_path));
}

void follow_tags(PyObject* self, PyObject* repo, PyObject* remote_refs) {
    Ref store = py::getattr_optional(repo, PY_NAME(object_store));
    if (!store || !PyDict_Check(remote_refs)) return;
    Ref refs = py::getattr(repo, PY_NAME(refs));
    Ref heads = Ref::steal(PySet_New(nullptr));
    Ref wanted = py::new_dict();  // the commit a tag names -> [(tag, value)]
    Ref items = Ref::steal(PyDict_Items(remote_refs));
    py::for_each(items, [&](PyObject* item) {
        PyObject* name = PyTuple_GET_ITEM(item, 0);
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        if (!PyBytes_Check(value)) return;
        if (starts_with(name, "refs/heads/")) {
            py::check(PySet_Add(heads, value));
            return;
        }
        if (!starts_with(name, "refs/tags/") || py::truthy(py::call_method(name, PY_NAME(endswith), bytes("^{}")))) {
            return;
        }
        Ref local = py::call_method(refs, PY_NAME(read_ref), name);
        if (py::truthy(local)) {
            if (!py::equal(local, value)) {
                log(self, PY_NAME(warning), "远程标签 ", shown_name(name, kTagsPrefix), " 指向其他提交，本地标签保持不变");
            }
            return;
        }
        // A tag whose objects did not come with the fetch, or that names no commit,
        // is not followed.
        Ref peeled = py::try_except(
            PyExc_KeyError,
            [&] {
                Ref pair = py::call(dulwich_attr("dulwich.object_store", PY_NAME(peel_sha)), store, value);
                Ref object = py::getitem(pair, py::integer(1));
                if (!py::equal(py::getattr(object, PY_NAME(type_name)), bytes("commit"))) return Ref();
                return py::getattr(object, PY_NAME(id));
            },
            [&](PyObject*) { return Ref(); });
        if (!peeled) return;
        Ref tags = py::dict_get(wanted, peeled);
        if (tags == Py_None) {
            tags = py::new_list();
            py::setitem(wanted, peeled, tags);
        }
        py::append(tags, py::tuple(name, value));
    });
    if (PyDict_GET_SIZE(wanted.get()) == 0) return;
    // A commit in the history of one of the remote's branches: each asked with git's
    // cut-off, which walks back only as far as the commit's own time.
    Ref contains = dulwich_attr("dulwich.graph", PY_NAME(can_fast_forward));
    Ref created = py::new_list();
    Ref items_wanted = Ref::steal(PyDict_Items(wanted));
    py::for_each(items_wanted, [&](PyObject* item) {
        PyObject* commit = PyTuple_GET_ITEM(item, 0);
        bool reachable = false;
        py::for_each(heads, [&](PyObject* head) {
            reachable = py::truthy(py::call(contains, repo, commit, head));
            return !reachable;
        });
        if (!reachable) return;
        py::for_each(PyTuple_GET_ITEM(item, 1), [&](PyObject* tag) {
            PyObject* name = PyTuple_GET_ITEM(tag, 0);
            Ref added = py::call_kw(py::getattr(refs, PY_NAME(add_if_new)), {name, PyTuple_GET_ITEM(tag, 1)},
                                    {{PY_NAME(message), bytes("fetch: tag")}});
            if (py::truthy(added)) py::append(created, shown_name(name, kTagsPrefix));
        });
    });
    if (PyList_GET_SIZE(created.get()) == 0) return;
    log(self, PY_NAME(debug), "获取到新标签: ", Ref::steal(PyUnicode_Join(PY_STR(", "), created)));
}

}  // namespace sections::git
