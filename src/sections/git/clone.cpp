// Clone: keeping a clone of the configured remote, or cloning it afresh.
#include "checkout.hpp"
#include "lock.hpp"
#include "operator.hpp"
#include "refs.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

namespace sections::git {
namespace {

constexpr py::Params clone_params{"self, force_clone=False"};

Ref clone(Call& c) {
    auto [self, force_clone] = c.args<clone_params>();
    WorkingCopyLock lock(c, self, WorkingCopyLock::Missing::Make);
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
    // While porcelain.clone is dulwich's own, it fetches and the checkout that follows
    // is made here (checkout.hpp); a clone function of the platform's own is asked for
    // the checkout as always.
    auto& original = c.state().get<PorcelainAtImport>();
    const bool native =
        c.global(PY_NAME(porcelain), original.porcelain).attribute(PY_NAME(clone), original.clone).native;
    // What a clone that raised wrote is removed, so that no half clone with the origin
    // URL passes for the working copy; the clone's own error is the one reported.
    auto remove_quietly = [&] {
        try {
            if (before) {
                remove_created(c, local_dir, before);
            } else if (py::truthy(os_path(c, PY_NAME(isdir), local_dir))) {
                py::call_method(Ref::steal(PyImport_Import(PY_NAME(shutil))), PY_NAME(rmtree), local_dir);
            }
        } catch (const py::PythonError&) {
            PyErr_Clear();
        }
    };
    Ref cloned;
    try {
        cloned = remote_call(c, self, PY_NAME(clone), auth_url, {auth_url, local_dir.get()},
                             {{PY_NAME(checkout), native ? Py_False : Py_True}});
    } catch (const py::PythonError&) {
        py::Caught caught;
        remove_quietly();
        caught.reraise();
    }
    try {
        record_upstream(cloned);
        if (native) check_out_clone(c, self, cloned);
    } catch (const py::PythonError&) {
        py::Caught caught;
        try {
            if (Ref close = py::getattr_optional(cloned, PY_NAME(close))) py::call(close);  // nothing open while removed
        } catch (const py::PythonError&) {
            PyErr_Clear();
        }
        remove_quietly();
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

}  // namespace

const py::FunctionDef clone_def{
    "clone", "GitRepoOperator.clone",
    "克隆远程仓库\n" ARGS_DOC ENTRY_DOC "force_clone: 是否强制重新克隆，如果为True则删除现有目录后重新克隆，默认False\n" END_DOC,
    py::impl<clone, clone_params>};
const py::FunctionDef clone_repository_def{"__clone_repository", "GitRepoOperator.__clone_repository",
                                           "克隆仓库", py::impl<clone_repository, self_params>};

}  // namespace sections::git
