// The file system as git's working-tree code needs it: stat data, directory listings,
// whole-file reads, symbolic links and replacing a file atomically. Paths are bytes
// with '/' separators (UTF-8 on Windows, where a name that is not UTF-8 names no file).
// Failures other than "no such file" raise OSError with the path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sections::git::fs {

enum class Kind { Regular, Symlink, Directory, Other };

struct FileStat {
    Kind kind;
    std::int64_t ctime_s, mtime_s;
    std::uint32_t ctime_ns, mtime_ns;
    std::uint64_t dev, ino, size;
    std::uint32_t uid, gid;
    bool executable;  // the owner's execute bit; always false where files have none
};

// Whether the file system has an executable bit and stat data git compares beyond
// times and size (inode, device, owner): false on Windows.
constexpr bool kPosix =
#ifdef _WIN32
    false;
#else
    true;
#endif

// lstat(path); nothing when there is no such file (or a parent is not a folder).
std::optional<FileStat> lstat(const std::string& path);

// lstat of many paths under `root` (relative, '/' separated; consecutive paths in one
// folder are looked up from that folder), on `threads` threads. Touches no Python
// object: call it with the GIL released. Per path: 0 (found), 1 (no such file) or
// the system's error code, which raise_error() turns into OSError.
struct StatResult {
    int status;
    FileStat st;
};
std::vector<StatResult> lstat_many(const std::string& root, const std::vector<const std::string*>& paths,
                                   unsigned threads);
[[noreturn]] void raise_error(const std::string& path, int code);

struct DirEntry {
    std::string name;
    Kind kind;
};
// The folder's entries in the order the system lists them (as os.scandir does),
// without "." and ".."; nothing when the folder is gone.
std::optional<std::vector<DirEntry>> list_dir(const std::string& path);

// The whole file; false when there is no such file.
bool read_file(const std::string& path, std::string& out);
// The target of a symbolic link.
std::string read_link(const std::string& path);

// `path` + ".lock", created exclusively (an existing lock raises FileExistsError, as
// git refuses a held lock); commit() renames it over `path`; a lock not committed is
// removed when it goes out of scope.
class LockFile {
public:
    explicit LockFile(std::string path);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    void write(const std::string& data);
    // The lock file's stat data; its contents replaced.
    FileStat stat();
    void rewrite(const std::string& data);
    void commit();

private:
    std::string path_, lock_;
    std::intptr_t handle_;
    bool open_ = true;
};

// A file read at any offset, kept open (a pack).
class FileReader {
public:
    FileReader() = default;
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;
    // False when there is no such file.
    bool open(const std::string& path);
    std::uint64_t size() const { return size_; }
    // `size` bytes from `offset` (fewer only at the end of the file).
    void read_at(std::uint64_t offset, std::size_t size, std::string& out);

private:
    std::string path_;
    std::intptr_t handle_ = -1;
    std::uint64_t size_ = 0;
};

// Replaces `path` with `data` through its lock file.
void replace_file(const std::string& path, const std::string& data);

// Writing a working tree. Each call is false (nothing done) where the path is
// already taken, or absent, as each says; other failures raise OSError.

// A folder (0777 less the umask); false when something is already there.
bool make_dir(const std::string& path);
// A symbolic link to `target` ('/' separated); false when something is already there.
bool make_symlink(const std::string& target, const std::string& path);
// Removes a file or a symbolic link; false when there is none.
bool remove_file(const std::string& path);
// Removes an empty folder; false when there is none or it is not empty.
bool remove_dir(const std::string& path);
// Sets the modification time of a file or link (not of what a link names).
void set_mtime(const std::string& path, std::int64_t s, std::uint32_t ns);

// A regular file created where nothing is (never through a symbolic link), written a
// piece at a time: 0666 less the umask, 0777 for an executable one. Dropped unfinished,
// the file is removed again.
class NewFile {
public:
    NewFile() = default;
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    // False when something is already at `path`.
    bool open(const std::string& path, bool executable);
    void write(const char* data, std::size_t size);
    // Closes the file: its stat data as written.
    FileStat finish();

private:
    std::string path_;
    std::intptr_t handle_ = -1;
    bool open_ = false;
};

}  // namespace sections::git::fs
