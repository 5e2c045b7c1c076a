// Native staging (stage.hpp), after dulwich's porcelain.add and WorkTree.stage: an
// ignored path is left out, a missing one leaves the index, a file or symlink gets
// the blob dulwich's normalizer makes of it, stored through dulwich's object store,
// and an entry with its stat data and mode (executable when the owner may run it).
#include "stage.hpp"

#include "index.hpp"
#include "pack.hpp"
#include "status.hpp"

#include "runtime/handler.hpp"

#include <optional>

namespace sections::git {

bool stage_natively(Call& c, PyObject* self, PyObject* repo, const std::vector<std::string>& paths) {
    if (!fs::kPosix) return false;  // dulwich takes the mode from os.lstat there
    auto& original = c.state().get<PorcelainAtImport>();
    py::Binding add = c.global(PY_NAME(porcelain), original.porcelain).attribute(PY_NAME(add), original.add);
    if (!add.native) return false;
    WorktreeOptions options;
    std::string index_path;
    if (!native_worktree(c, repo, options, index_path)) return false;
    // The paths are relative to the working copy the status read, which must be the
    // one push names them in.
    Ref here = os_path(c, PY_NAME(realpath), py::getattr(self, PY_NAME(local_dir)));
    Ref there = os_path(c, PY_NAME(realpath), py::getattr(repo, PY_NAME(path)));
    if (!py::equal(here, there)) return false;

    IgnoreRules ignores(options.root, options.git_dir, options.excludes_file, options.ignore_case);
    std::vector<std::pair<std::string, std::optional<fs::FileStat>>> staged;
    for (const auto& path : paths) {
        if (path.empty() || path.back() == '/' || ignores.ignored(path, false)) {
            if (path.empty() || path.back() == '/') return false;  // a folder: dulwich walks it
            continue;
        }
        auto st = fs::lstat(options.root + "/" + path);
        if (st && st->kind == fs::Kind::Directory) return false;
        staged.emplace_back(path, st);
    }

    Ref normalizer = py::call_method(repo, PY_NAME(get_blob_normalizer));
    Ref blob_type = dulwich_attr("dulwich.objects", PY_NAME(Blob));
    Ref store = py::getattr(repo, PY_NAME(object_store));
    // An index another writer holds is left to porcelain.add, which fails on it as
    // it always has.
    std::optional<fs::LockFile> lock;
    try {
        lock.emplace(index_path);
    } catch (const py::PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) throw;
        PyErr_Clear();
        return false;
    }
    Index index = read_index(index_path);
    if (!index.unsupported.empty()) return false;
    for (const auto& e : index.entries) {
        if (e.stage() != 0) return false;
    }
    for (auto& [path, st] : staged) {
        const std::string full = options.root + "/" + path;
        if (!st || (st->kind != fs::Kind::Regular && st->kind != fs::Kind::Symlink)) {
            std::erase_if(index.entries, [&](const IndexEntry& e) { return e.path == path; });
            continue;
        }
        std::string data;
        if (st->kind == fs::Kind::Symlink) {
            data = fs::read_link(full);
        } else if (!fs::read_file(full, data)) {
            std::erase_if(index.entries, [&](const IndexEntry& e) { return e.path == path; });
            continue;
        }
        Ref raw = Ref::steal(PyBytes_FromStringAndSize(data.data(), Py_ssize_t(data.size())));
        std::string().swap(data);  // one copy of a large file at a time
        Ref blob = py::call_method(blob_type, PY_NAME(from_string), raw);
        Ref name = Ref::steal(PyBytes_FromStringAndSize(path.data(), Py_ssize_t(path.size())));
        if (py::truthy(normalizer)) blob = py::call_method(normalizer, PY_NAME(checkin_normalize), blob, name);
        add_blob(store, blob);
        Ref id = py::getattr(blob, PY_NAME(id));
        IndexEntry entry;
        if (!PyBytes_Check(id) ||
            !from_hex(std::string_view(PyBytes_AS_STRING(id.get()), std::size_t(PyBytes_GET_SIZE(id.get()))), entry.id)) {
            return false;
        }
        entry.path = path;
        entry.set_stat(*st);
        entry.mode = st->kind == fs::Kind::Symlink ? kModeSymlink : st->executable ? kModeExecutable : kModeFile;
        // An entry whose blob and mode stay keeps its flags (skip-worktree), as dulwich
        // keeps them; intent-to-add ends.
        if (const IndexEntry* old = index.find(path); old && old->id == entry.id && old->mode == entry.mode) {
            entry.flags = old->flags & 0x8000;
            entry.extended = old->extended & ~0x2000;
        }
        index.put(std::move(entry));
    }
    // The cached trees no longer describe the entries.
    index.drop_extension("TREE");
    lock->write(serialize_index(index));
    lock->commit();
    return true;
}

}  // namespace sections::git
