// The working copy's identity: the authenticated URL of the remote, and whether a
// folder already holds a clone of it (its origin URL, normalised).
#include "operator.hpp"

#include "runtime/handler.hpp"

namespace sections::git {
namespace {

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

}  // namespace

const py::FunctionDef is_current_repo_def{"__is_current_repo", "GitRepoOperator.__is_current_repo",
                                          "检查目录是否已经是当前仓库的Git仓库", py::impl<is_current_repo, self_params>};
const py::FunctionDef get_auth_url_def{"__get_auth_url", "GitRepoOperator.__get_auth_url",
                                       "获取带认证信息的URL", py::impl<get_auth_url, self_params>};

}  // namespace sections::git
