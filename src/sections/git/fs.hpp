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
    void commit();

private:
    std::string path_, lock_;
    std::intptr_t handle_;
    bool open_ = true;
};

// Replaces `path` with `data` through its lock file.
void replace_file(const std::string& path, const std::string& data);

}  // namespace sections::git::fs
