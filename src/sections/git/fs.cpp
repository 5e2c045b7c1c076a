// The file system calls of fs.hpp, on POSIX and on Windows.
#include "fs.hpp"

#include "runtime/ref.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <io.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace sections::git::fs {
namespace {

[[noreturn]] void raise_os_error(const std::string& path) {
#ifdef _WIN32
    const DWORD error = GetLastError();  // before anything else can change it
    py::Ref name = py::Ref::steal(PyUnicode_DecodeUTF8(path.data(), Py_ssize_t(path.size()), "replace"));
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, int(error), name);
#else
    const int error = errno;
    py::Ref name = py::Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size())));
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
#endif
    py::fail();
}

// All of `size` bytes written to the open file `handle` (named `path` in errors).
void write_all(std::intptr_t handle, const char* data, std::size_t size, const std::string& path) {
    std::size_t done = 0;
    while (done < size) {
#ifdef _WIN32
        DWORD wrote = 0;
        const DWORD chunk = DWORD(size - done > (1u << 30) ? (1u << 30) : size - done);
        if (!WriteFile(reinterpret_cast<HANDLE>(handle), data + done, chunk, &wrote, nullptr)) raise_os_error(path);
#else
        const ssize_t wrote = ::write(int(handle), data + done, size - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path);
        }
#endif
        done += std::size_t(wrote);
    }
}

[[noreturn]] void lock_exists(const std::string& lock) {
    py::Ref name = py::Ref::steal(PyUnicode_DecodeFSDefaultAndSize(lock.data(), Py_ssize_t(lock.size())));
    py::Ref text = py::Ref::steal(PyUnicode_FromFormat("Unable to create '%U': File exists", name.get()));
    PyErr_SetObject(PyExc_FileExistsError, text);
    py::fail();
}

#ifdef _WIN32

// UTF-8 to the system's UTF-16, with '/' as '\\'; false for bytes that are not UTF-8.
bool wide(const std::string& path, std::wstring& out) {
    if (path.empty()) {
        out.clear();
        return true;
    }
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), nullptr, 0);
    if (n <= 0) return false;
    out.assign(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), int(path.size()), out.data(), n);
    for (auto& ch : out) {
        if (ch == L'/') ch = L'\\';
    }
    // Beyond MAX_PATH an absolute path needs the "\\?\" form (the working tree's
    // paths are validated: no "." or ".." components for it to resolve).
    if (out.size() >= MAX_PATH - 12 && out.compare(0, 4, L"\\\\?\\") != 0) {
        if (out.size() > 2 && out[1] == L':' && out[2] == L'\\') {
            out.insert(0, L"\\\\?\\");
        } else if (out.compare(0, 2, L"\\\\") == 0) {
            out.replace(0, 2, L"\\\\?\\UNC\\");
        }
    }
    return true;
}

std::string narrow(const wchar_t* text, std::size_t size) {
    if (size == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, int(size), nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, int(size), out.data(), n, nullptr, nullptr);
    return out;
}

bool missing_error(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_DIRECTORY || error == ERROR_BAD_NETPATH;
}

// FILETIME to seconds and nanoseconds since 1970, as os.stat gives them.
void unix_time(const FILETIME& ft, std::int64_t& s, std::uint32_t& ns) {
    const std::int64_t ticks = (std::int64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const std::int64_t since = ticks - 116444736000000000LL;
    s = since / 10000000;
    std::int64_t rest = since % 10000000;
    if (rest < 0) {
        rest += 10000000;
        s -= 1;
    }
    ns = std::uint32_t(rest * 100);
}

Kind kind_of(DWORD attributes, DWORD reparse_tag) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && reparse_tag == IO_REPARSE_TAG_SYMLINK) return Kind::Symlink;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Kind::Directory;
    return Kind::Regular;
}

#else

Kind kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) return Kind::Regular;
    if (S_ISLNK(mode)) return Kind::Symlink;
    if (S_ISDIR(mode)) return Kind::Directory;
    return Kind::Other;
}

#endif

}  // namespace

#ifdef _WIN32

// 0 found, 1 missing, else the Windows error code.
int lstat_code(const std::string& path, FileStat& st) {
    std::wstring name;
    if (!wide(path, name)) return 1;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(name.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return missing_error(error) ? 1 : int(error);
    }
    FindClose(h);
    st = FileStat{};
    st.kind = kind_of(found.dwFileAttributes, found.dwReserved0);
    unix_time(found.ftCreationTime, st.ctime_s, st.ctime_ns);
    unix_time(found.ftLastWriteTime, st.mtime_s, st.mtime_ns);
    st.size = (std::uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    return 0;
}

std::optional<FileStat> lstat(const std::string& path) {
    FileStat st;
    const int code = lstat_code(path, st);
    if (code == 1) return std::nullopt;
    if (code != 0) raise_error(path, code);
    return st;
}

std::vector<StatResult> lstat_many(const std::string& root, const std::vector<const std::string*>& paths, unsigned) {
    std::vector<StatResult> out(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) out[i].status = lstat_code(root + "/" + *paths[i], out[i].st);
    return out;
}

void raise_error(const std::string& path, int code) {
    SetLastError(DWORD(code));
    raise_os_error(path);
}

std::optional<std::vector<DirEntry>> list_dir(const std::string& path) {
    std::wstring name;
    if (!wide(path, name)) return std::nullopt;
    if (!name.empty() && name.back() != L'\\') name += L'\\';
    name += L'*';
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(name.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (missing_error(error)) return std::nullopt;
        raise_os_error(path);
    }
    std::vector<DirEntry> out;
    do {
        const wchar_t* n = found.cFileName;
        if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0))) continue;
        out.push_back({narrow(n, wcslen(n)), kind_of(found.dwFileAttributes, found.dwReserved0)});
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return out;
}

bool read_file(const std::string& path, std::string& out) {
    std::wstring name;
    if (!wide(path, name)) return false;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (missing_error(GetLastError())) return false;
        raise_os_error(path);
    }
    out.clear();
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
            CloseHandle(h);
            raise_os_error(path);
        }
        if (got == 0) break;
        out.append(buffer, got);
    }
    CloseHandle(h);
    return true;
}

std::string read_link(const std::string& path) {
    // Rare on Windows (core.symlinks is off by default): asked of os.readlink.
    py::Ref name = py::Ref::steal(PyUnicode_DecodeUTF8(path.data(), Py_ssize_t(path.size()), "strict"));
    py::Ref os = py::Ref::steal(PyImport_ImportModule("os"));
    py::Ref target = py::Ref::steal(PyObject_CallMethod(os, "readlink", "O", name.get()));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(target, &size);
    if (!text) py::fail();
    std::string out(text, std::size_t(size));
    for (auto& ch : out) {
        if (ch == '\\') ch = '/';
    }
    return out;
}

LockFile::LockFile(std::string path) : path_(std::move(path)), lock_(path_ + ".lock") {
    std::wstring wlock;
    if (!wide(lock_, wlock)) {
        SetLastError(ERROR_INVALID_NAME);
        raise_os_error(lock_);
    }
    HANDLE h = CreateFileW(wlock.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_EXISTS) lock_exists(lock_);
        raise_os_error(lock_);
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
}

LockFile::~LockFile() {
    if (!open_) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    std::wstring wlock;
    if (wide(lock_, wlock)) DeleteFileW(wlock.c_str());
}

void LockFile::write(const std::string& data) { write_all(handle_, data.data(), data.size(), lock_); }

FileStat LockFile::stat() {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), &info)) raise_os_error(lock_);
    FileStat st{};
    st.kind = Kind::Regular;
    unix_time(info.ftCreationTime, st.ctime_s, st.ctime_ns);
    unix_time(info.ftLastWriteTime, st.mtime_s, st.mtime_ns);
    st.size = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return st;
}

void LockFile::rewrite(const std::string& data) {
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(h, start, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) raise_os_error(lock_);
    write(data);
}

void set_mtime(const std::string& path, std::int64_t s, std::uint32_t ns) {
    std::wstring name;
    if (!wide(path, name)) {
        SetLastError(ERROR_INVALID_NAME);
        raise_os_error(path);
    }
    HANDLE h = CreateFileW(name.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) raise_os_error(path);
    const std::int64_t ticks = s * 10000000 + ns / 100 + 116444736000000000LL;
    FILETIME ft;
    ft.dwLowDateTime = DWORD(ticks & 0xffffffff);
    ft.dwHighDateTime = DWORD(std::uint64_t(ticks) >> 32);
    const BOOL done = SetFileTime(h, nullptr, nullptr, &ft);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!done) {
        SetLastError(error);
        raise_os_error(path);
    }
}

FileReader::~FileReader() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool FileReader::open(const std::string& path) {
    path_ = path;
    std::wstring name;
    if (!wide(path, name)) return false;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (missing_error(GetLastError())) return false;
        raise_os_error(path);
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) raise_os_error(path);
    size_ = std::uint64_t(size.QuadPart);
    return true;
}

void FileReader::read_at(std::uint64_t offset, std::size_t size, std::string& out) {
    out.resize(size);
    std::size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = DWORD((offset + done) & 0xffffffff);
        at.OffsetHigh = DWORD((offset + done) >> 32);
        DWORD got = 0;
        const DWORD chunk = DWORD(size - done > (1u << 30) ? (1u << 30) : size - done);
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out.data() + done, chunk, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            raise_os_error(path_);
        }
        if (got == 0) break;
        done += got;
    }
    out.resize(done);
}

bool make_dir(const std::string& path) {
    std::wstring name;
    if (!wide(path, name)) {
        SetLastError(ERROR_INVALID_NAME);
        raise_os_error(path);
    }
    if (CreateDirectoryW(name.c_str(), nullptr)) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return false;
    raise_os_error(path);
}

bool make_symlink(const std::string& target, const std::string& path) {
    std::wstring name, wtarget;
    if (!wide(path, name) || !wide(target, wtarget)) {
        SetLastError(ERROR_INVALID_NAME);
        raise_os_error(path);
    }
    // A link to a folder is made as one (its target taken from the link's folder).
    DWORD flags = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    const std::size_t slash = path.rfind('/');
    const bool absolute = target.size() > 1 && (target[1] == ':' || target[0] == '/');
    const std::string resolved =
        absolute || slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
    FileStat st;
    if (lstat_code(resolved, st) == 0 && st.kind == Kind::Directory) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    if (CreateSymbolicLinkW(name.c_str(), wtarget.c_str(), flags)) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return false;
    raise_os_error(path);
}

bool remove_file(const std::string& path) {
    std::wstring name;
    if (!wide(path, name)) return false;
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (missing_error(GetLastError())) return false;
        raise_os_error(path);
    }
    // A link to a folder is a folder there; a read-only file must be made writable.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (RemoveDirectoryW(name.c_str())) return true;
        raise_os_error(path);
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(name.c_str())) return true;
    if (missing_error(GetLastError())) return false;
    raise_os_error(path);
}

bool remove_dir(const std::string& path) {
    std::wstring name;
    if (!wide(path, name)) return false;
    if (RemoveDirectoryW(name.c_str())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_DIR_NOT_EMPTY || missing_error(error)) return false;
    raise_os_error(path);
}

NewFile::~NewFile() {
    if (!open_) return;
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    std::wstring name;
    if (wide(path_, name)) DeleteFileW(name.c_str());
}

bool NewFile::open(const std::string& path, bool) {
    path_ = path;
    std::wstring name;
    if (!wide(path, name)) {
        SetLastError(ERROR_INVALID_NAME);
        raise_os_error(path);
    }
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return false;
        FileStat st;
        if (error == ERROR_ACCESS_DENIED && lstat_code(path, st) == 0) return false;  // a folder is there
        SetLastError(error);
        raise_os_error(path);
    }
    handle_ = reinterpret_cast<std::intptr_t>(h);
    open_ = true;
    return true;
}

void NewFile::write(const char* data, std::size_t size) { write_all(handle_, data, size, path_); }

FileStat NewFile::finish() {
    open_ = false;
    if (!CloseHandle(reinterpret_cast<HANDLE>(handle_))) raise_os_error(path_);
    // The times as the file system keeps them once the file is closed.
    FileStat st;
    const int code = lstat_code(path_, st);
    if (code != 0) raise_error(path_, code == 1 ? ERROR_FILE_NOT_FOUND : code);
    return st;
}

void LockFile::commit() {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    open_ = false;
    std::wstring wlock, wpath;
    wide(lock_, wlock);
    wide(path_, wpath);
    if (!MoveFileExW(wlock.c_str(), wpath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(wlock.c_str());
        SetLastError(error);
        raise_os_error(path_);
    }
}

#else

FileStat from_stat(const struct stat& s) {
    FileStat st{};
    st.kind = kind_of_mode(s.st_mode);
    st.ctime_s = s.st_ctim.tv_sec;
    st.ctime_ns = std::uint32_t(s.st_ctim.tv_nsec);
    st.mtime_s = s.st_mtim.tv_sec;
    st.mtime_ns = std::uint32_t(s.st_mtim.tv_nsec);
    st.dev = std::uint64_t(s.st_dev);
    st.ino = std::uint64_t(s.st_ino);
    st.size = std::uint64_t(s.st_size);
    st.uid = s.st_uid;
    st.gid = s.st_gid;
    st.executable = (s.st_mode & S_IXUSR) != 0;
    return st;
}

std::optional<FileStat> lstat(const std::string& path) {
    struct stat s;
    if (::lstat(path.c_str(), &s) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        raise_os_error(path);
    }
    return from_stat(s);
}

namespace {

void lstat_range(const std::string& root, const std::vector<const std::string*>& paths, std::size_t begin,
                 std::size_t end, std::vector<StatResult>& out) {
    std::string dir_name = "\x01";  // no folder yet
    int dir = -1, dir_error = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const std::string& path = *paths[i];
        const std::size_t slash = path.rfind('/');
        const std::string_view folder = slash == std::string::npos ? std::string_view() : std::string_view(path).substr(0, slash);
        if (folder != dir_name) {
            if (dir >= 0) ::close(dir);
            dir_name.assign(folder);
            const std::string full = folder.empty() ? root : root + "/" + dir_name;
            dir = ::open(full.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            dir_error = dir < 0 ? errno : 0;
        }
        int error = dir_error;
        struct stat s;
        if (dir >= 0) {
            const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
            error = ::fstatat(dir, name, &s, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
        }
        if (error == 0) {
            out[i] = {0, from_stat(s)};
        } else {
            out[i].status = error == ENOENT || error == ENOTDIR ? 1 : error;
        }
    }
    if (dir >= 0) ::close(dir);
}

}  // namespace

std::vector<StatResult> lstat_many(const std::string& root, const std::vector<const std::string*>& paths,
                                   unsigned threads) {
    std::vector<StatResult> out(paths.size());
    const std::size_t n = paths.size();
    if (threads < 2 || n < 2000) {
        lstat_range(root, paths, 0, n, out);
        return out;
    }
    // A worker that cannot allocate leaves its share to the calling thread.
    std::vector<char> done(threads, 0);
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            workers.emplace_back([&, t] {
                try {
                    lstat_range(root, paths, n * t / threads, n * (t + 1) / threads, out);
                    done[t] = 1;
                } catch (...) {
                }
            });
        } catch (...) {
            break;
        }
    }
    lstat_range(root, paths, 0, n / threads, out);
    for (auto& w : workers) w.join();
    for (unsigned t = 1; t < threads; ++t) {
        if (!done[t]) lstat_range(root, paths, n * t / threads, n * (t + 1) / threads, out);
    }
    return out;
}

void raise_error(const std::string& path, int code) {
    errno = code;
    raise_os_error(path);
}

std::optional<std::vector<DirEntry>> list_dir(const std::string& path) {
    DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
    if (!dir) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        raise_os_error(path);
    }
    std::vector<DirEntry> out;
    errno = 0;
    while (dirent* d = ::readdir(dir)) {
        const char* n = d->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        Kind kind;
        switch (d->d_type) {
            case DT_REG: kind = Kind::Regular; break;
            case DT_LNK: kind = Kind::Symlink; break;
            case DT_DIR: kind = Kind::Directory; break;
            case DT_UNKNOWN: {
                std::string full = path.empty() ? std::string(n) : path + "/" + n;
                auto st = lstat(full);
                kind = st ? st->kind : Kind::Other;
                break;
            }
            default: kind = Kind::Other;
        }
        out.push_back({n, kind});
    }
    const int error = errno;
    ::closedir(dir);
    if (error) {
        errno = error;
        raise_os_error(path);
    }
    return out;
}

bool read_file(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        raise_os_error(path);
    }
    out.clear();
    struct stat s;
    if (::fstat(fd, &s) == 0 && s.st_size > 0) out.reserve(std::size_t(s.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            errno = error;
            raise_os_error(path);
        }
        if (got == 0) break;
        out.append(buffer, std::size_t(got));
    }
    ::close(fd);
    return true;
}

std::string read_link(const std::string& path) {
    std::string out(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), out.data(), out.size());
        if (n < 0) raise_os_error(path);
        if (std::size_t(n) < out.size()) {
            out.resize(std::size_t(n));
            return out;
        }
        out.resize(out.size() * 2);
    }
}

LockFile::LockFile(std::string path) : path_(std::move(path)), lock_(path_ + ".lock") {
    const int fd = ::open(lock_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) lock_exists(lock_);
        raise_os_error(lock_);
    }
    handle_ = fd;
}

LockFile::~LockFile() {
    if (!open_) return;
    ::close(int(handle_));
    ::unlink(lock_.c_str());
}

void LockFile::write(const std::string& data) { write_all(handle_, data.data(), data.size(), lock_); }

FileStat LockFile::stat() {
    struct stat s;
    if (::fstat(int(handle_), &s) != 0) raise_os_error(lock_);
    return from_stat(s);
}

void LockFile::rewrite(const std::string& data) {
    if (::ftruncate(int(handle_), 0) != 0 || ::lseek(int(handle_), 0, SEEK_SET) != 0) raise_os_error(lock_);
    write(data);
}

void set_mtime(const std::string& path, std::int64_t s, std::uint32_t ns) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {}};
    times[1].tv_sec = time_t(s);
    times[1].tv_nsec = long(ns);
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) raise_os_error(path);
}

FileReader::~FileReader() {
    if (handle_ != -1) ::close(int(handle_));
}

bool FileReader::open(const std::string& path) {
    path_ = path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        raise_os_error(path);
    }
    handle_ = fd;
    struct stat s;
    if (::fstat(fd, &s) != 0) raise_os_error(path);
    size_ = std::uint64_t(s.st_size);
    return true;
}

void FileReader::read_at(std::uint64_t offset, std::size_t size, std::string& out) {
    out.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(int(handle_), out.data() + done, size - done, off_t(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path_);
        }
        if (got == 0) break;
        done += std::size_t(got);
    }
    out.resize(done);
}

bool make_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    if (errno == EEXIST) return false;
    raise_os_error(path);
}

bool make_symlink(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), path.c_str()) == 0) return true;
    if (errno == EEXIST) return false;
    raise_os_error(path);
}

bool remove_file(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return false;
    raise_os_error(path);
}

bool remove_dir(const std::string& path) {
    if (::rmdir(path.c_str()) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR || errno == ENOTEMPTY || errno == EEXIST) return false;
    raise_os_error(path);
}

NewFile::~NewFile() {
    if (!open_) return;
    ::close(int(handle_));
    ::unlink(path_.c_str());
}

bool NewFile::open(const std::string& path, bool executable) {
    path_ = path;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, executable ? 0777 : 0666);
    if (fd < 0) {
        if (errno == EEXIST) return false;
        raise_os_error(path);
    }
    handle_ = fd;
    open_ = true;
    return true;
}

void NewFile::write(const char* data, std::size_t size) { write_all(handle_, data, size, path_); }

FileStat NewFile::finish() {
    struct stat s;
    const bool stated = ::fstat(int(handle_), &s) == 0;
    const int error = errno;
    open_ = false;
    if (::close(int(handle_)) != 0 || !stated) {
        if (stated) {
            const int close_error = errno;
            ::unlink(path_.c_str());
            errno = close_error;
        } else {
            ::unlink(path_.c_str());
            errno = error;
        }
        raise_os_error(path_);
    }
    return from_stat(s);
}

void LockFile::commit() {
    open_ = false;
    if (::close(int(handle_)) != 0 || ::rename(lock_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(lock_.c_str());
        errno = error;
        raise_os_error(path_);
    }
}

#endif

void replace_file(const std::string& path, const std::string& data) {
    LockFile lock(path);
    lock.write(data);
    lock.commit();
}

}  // namespace sections::git::fs
