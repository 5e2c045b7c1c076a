// One operation at a time on a working copy. Two operators on one local_dir (threads
// of one process, or processes) would otherwise interleave and lose files: a forced
// pull removes what a push has just written, a failed push takes HEAD back to a value
// another writer has since moved on from. Clone, pull and push therefore hold an
// exclusive lock of the operating system -- flock() on POSIX, LockFileEx() on Windows --
// on the file "<local_dir>.lock" beside the working copy. Both belong to the open file,
// not to the process: two threads with a descriptor each exclude each other, and the
// system drops the lock when its holder ends, so a killed process leaves none behind.
//
// The file is beside the working copy, not inside its .git: a clone deletes the whole
// directory (and a first clone has no .git yet), so a lock file in there would vanish
// under its holder while a newcomer made a new one and locked that.
#include "lock.hpp"

#include <chrono>
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#ifdef _WIN32
#define NOMINMAX  // the SDK's min and max macros would break std::min
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#endif

namespace sections::git {

namespace {

#ifdef _WIN32
using Handle = HANDLE;
#else
using Handle = int;
#endif

// What try_lock() (below, per system) says while another holds the lock; it says 0
// when the lock was free and is now the handle's, and the system's error code when
// trying failed. It needs no GIL.
constexpr unsigned long kBusy = ~0ul;
using Clock = std::chrono::steady_clock;

// Which file a handle is open on, as the file system tells files apart.
struct FileId {
    unsigned long long device = 0;
    unsigned long long index = 0;
    bool operator==(const FileId&) const = default;
};

}  // namespace

// A lock file this thread has open and locked, and how many of its guards hold it.
struct HeldLock {
    Handle handle{};
    FileId id;
    long process = 0;  // a child forked while a guard holds it must not release the parent's lock
    int depth = 1;
};

namespace {

// The locks this thread holds (one per working copy): a guard of a copy already held
// here holds it again instead of waiting for itself.
thread_local std::vector<HeldLock*> held_here;

// Without the GIL for the length of the scope, so that other threads (the lock's
// holder among them) run; no Python object may be touched meanwhile.
class WithoutGil {
public:
    WithoutGil() : saved_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(saved_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

private:
    PyThreadState* saved_;
};

#ifdef _WIN32

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

[[noreturn]] void raise_os_error(unsigned long error, PyObject* path) {
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(error), path);
    py::fail();
}

// The lock file, made when missing. Others may open it meanwhile, but nobody can
// delete or rename it while it is open (no FILE_SHARE_DELETE), so the file at the path
// is always the one locked; the handle is not inherited by child processes.
Handle open_file(PyObject* path, FileId& id) {
    wchar_t* wide = PyUnicode_AsWideCharString(path, nullptr);
    if (!wide) py::fail();
    HANDLE handle;
    DWORD error = 0;
    BY_HANDLE_FILE_INFORMATION info{};
    {
        WithoutGil unlocked;
        handle = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            error = GetLastError();
        } else if (!GetFileInformationByHandle(handle, &info)) {
            error = GetLastError();
            CloseHandle(handle);
        }
    }
    PyMem_Free(wide);
    if (error) raise_os_error(error, path);
    id = {info.dwVolumeSerialNumber,
          (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return handle;
}

unsigned long try_lock(Handle handle) {
    OVERLAPPED at{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return 0;
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION ? kBusy : error;
}

bool still_at(Handle, const FileId&, PyObject*) { return true; }  // see open_file

void unlock(Handle handle) {
    OVERLAPPED at{};
    UnlockFileEx(handle, 0, 1, 0, &at);
}

void close_file(Handle handle) { CloseHandle(handle); }

void pause(double seconds) { Sleep(static_cast<DWORD>(seconds * 1000)); }

#else

long process_id() { return static_cast<long>(getpid()); }

// The lock files open in this process. A child forked while one is open (os.fork,
// multiprocessing) shares its lock, and would keep it past a parent that is killed:
// the child closes its copies at once (which leaves the parent's lock as it is).
std::mutex open_files_mutex;
std::vector<int> open_files;
std::once_flag fork_handlers;

void before_fork() { open_files_mutex.lock(); }
void after_fork_in_parent() { open_files_mutex.unlock(); }
void after_fork_in_child() {
    for (const int fd : open_files) close(fd);
    open_files.clear();
    open_files_mutex.unlock();
}

[[noreturn]] void raise_os_error(unsigned long error, PyObject* path) {
    errno = static_cast<int>(error);
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    py::fail();
}

// The lock file, made when missing; read-only is enough to lock it, so a file another
// user made can be locked too. Not inherited by the programs a child process runs.
Handle open_file(PyObject* path, FileId& id) {
    std::call_once(fork_handlers, [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    Ref encoded;
    if (!PyUnicode_FSConverter(path, &encoded)) py::fail();
    int fd;
    int error = 0;
    struct stat info {};
    {
        // Listed as it opens: no fork in between sees the file unlisted.
        WithoutGil unlocked;
        const std::lock_guard<std::mutex> guard(open_files_mutex);
        open_files.reserve(open_files.size() + 1);
        fd = open(PyBytes_AS_STRING(encoded.get()), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = errno;
        } else if (fstat(fd, &info) != 0) {
            error = errno;
            close(fd);
        } else {
            open_files.push_back(fd);
        }
    }
    if (error) raise_os_error(error, path);
    id = {static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)};
    return fd;
}

unsigned long try_lock(Handle fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    return errno == EWOULDBLOCK || errno == EINTR ? kBusy : static_cast<unsigned long>(errno);
}

// Whether the locked file is still the one at the path: someone may have deleted it,
// and a newcomer then makes and locks another.
bool still_at(Handle, const FileId& id, PyObject* path) {
    Ref encoded;
    if (!PyUnicode_FSConverter(path, &encoded)) py::fail();
    struct stat info {};
    if (stat(PyBytes_AS_STRING(encoded.get()), &info) != 0) return false;
    return FileId{static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)} == id;
}

void unlock(Handle fd) { flock(fd, LOCK_UN); }

void close_file(Handle fd) {
    {
        const std::lock_guard<std::mutex> guard(open_files_mutex);
        std::erase(open_files, fd);
    }
    close(fd);
}

void pause(double seconds) {
    struct timespec span{};
    span.tv_sec = static_cast<time_t>(seconds);
    span.tv_nsec = static_cast<long>((seconds - static_cast<double>(span.tv_sec)) * 1e9);
    nanosleep(&span, nullptr);
}

#endif

// Tries the lock without the GIL until it is had, trying fails or `slice` seconds have
// passed (kBusy then), pausing in between: a millisecond, doubling up to ten.
unsigned long try_for(Handle handle, double slice, double& pause_seconds) {
    WithoutGil unlocked;
    const auto until = Clock::now() + std::chrono::duration<double>(slice);
    while (true) {
        const unsigned long result = try_lock(handle);
        if (result != kBusy) return result;
        const double left = std::chrono::duration<double>(until - Clock::now()).count();
        if (left <= 0) return kBusy;
        pause(std::min(pause_seconds, left));
        pause_seconds = std::min(pause_seconds * 2, 0.01);
    }
}

HeldLock* held_by_this_thread(const FileId& id) {
    for (HeldLock* held : held_here) {
        if (held->id == id && held->process == process_id()) return held;
    }
    return nullptr;
}

// self.lock_timeout as seconds; NaN and negative values wait not at all.
double timeout_of(PyObject* setting) {
    const double seconds = PyFloat_AsDouble(setting);
    if (seconds == -1.0 && PyErr_Occurred()) py::fail();
    return std::isnan(seconds) || seconds < 0 ? 0.0 : seconds;
}

}  // namespace

// Open the lock file, then: a lock this thread holds already is held once more;
// otherwise wait for it, a tenth of a second at a time (between them the GIL is taken
// to see the deadline and Ctrl+C), and check that the file locked is still the one at
// the path (else start again with the one there now).
WorkingCopyLock::WorkingCopyLock(Call& c, PyObject* self, Missing missing) {
    Ref local_dir = py::getattr(self, PY_NAME(local_dir));
    if (missing == Missing::Skip && !py::truthy(os_path(c, PY_NAME(exists), local_dir))) return;
    Ref folder = os_path(c, PY_NAME(abspath), local_dir);
    if (missing == Missing::Make) make_dirs(c, os_path(c, PY_NAME(dirname), folder));
    if (PyBytes_Check(folder)) {
        folder = Ref::steal(
            PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(folder.get()), PyBytes_GET_SIZE(folder.get())));
    }
    Ref path = py::concat(folder, ".lock");
    Ref setting = py::getattr(self, PY_NAME(lock_timeout));
    const double timeout = timeout_of(setting);
    // Made before the lock is taken: nothing can fail between taking it and handing it
    // to this guard.
    auto held = std::make_unique<HeldLock>();
    held_here.reserve(held_here.size() + 1);
    const auto start = Clock::now();
    double pause_seconds = 0.001;
    Handle handle = open_file(path, held->id);
    while (true) {
        if (HeldLock* outer = held_by_this_thread(held->id)) {
            close_file(handle);
            ++outer->depth;
            held_ = outer;
            return;
        }
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        const unsigned long result = try_for(handle, std::clamp(timeout - waited, 0.0, 0.1), pause_seconds);
        if (result == 0) {
            try {
                if (still_at(handle, held->id, path)) break;
            } catch (const py::PythonError&) {
                unlock(handle);
                close_file(handle);
                throw;
            }
            unlock(handle);
            close_file(handle);
            handle = open_file(path, held->id);
            continue;
        }
        if (result != kBusy) {
            close_file(handle);
            raise_os_error(result, path);
        }
        if (std::chrono::duration<double>(Clock::now() - start).count() >= timeout) {
            close_file(handle);
            Ref text = py::concat("本地仓库正被其他操作占用，等待", setting, "秒后仍未释放: ", local_dir);
            py::raise_object(py::call(PyExc_TimeoutError, without_credentials(self, text)));
        }
        if (PyErr_CheckSignals() < 0) {  // Ctrl+C ends the wait
            close_file(handle);
            py::fail();
        }
    }
    held->handle = handle;
    held->process = process_id();
    held_ = held.release();
    held_here.push_back(held_);
}

WorkingCopyLock::~WorkingCopyLock() {
    if (!held_ || --held_->depth > 0) return;
    std::erase(held_here, held_);
    if (held_->process == process_id()) {  // a forked child closed its copy already
        unlock(held_->handle);
        close_file(held_->handle);
    }
    delete held_;
}

}  // namespace sections::git
