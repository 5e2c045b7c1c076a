// The index file (.git/index) as git reads and writes it: versions 2, 3 and 4, the
// entries with their stat data, and the extensions kept byte for byte. Reading a
// missing file gives an empty index; a truncated or corrupt one raises ValueError
// naming the file. Writing goes through "index.lock" and a rename, as git does.
//
// Paths are bytes as git stores them ('/' separated, no leading slash). Entries stay
// sorted by path, then stage.
#pragma once

#include "fs.hpp"
#include "sha1.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sections::git {

constexpr std::uint32_t kModeFile = 0100644;
constexpr std::uint32_t kModeExecutable = 0100755;
constexpr std::uint32_t kModeSymlink = 0120000;
constexpr std::uint32_t kModeGitlink = 0160000;
constexpr std::uint32_t kModeTree = 0040000;

// The object type of a mode: 0100644/0100755 files, symlinks, gitlinks, trees.
inline std::uint32_t mode_type(std::uint32_t mode) { return mode & 0170000; }

struct IndexEntry {
    std::string path;
    std::uint32_t ctime_s = 0, ctime_ns = 0, mtime_s = 0, mtime_ns = 0;
    std::uint32_t dev = 0, ino = 0, mode = 0, uid = 0, gid = 0, size = 0;
    ObjectId id{};
    // The flag bits of the on-disk entry without the name length: assume-valid
    // (0x8000), extended (0x4000, set when `extended` is), the stage (0x3000).
    std::uint16_t flags = 0;
    // Version 3 and later: skip-worktree (0x4000) and intent-to-add (0x2000).
    std::uint16_t extended = 0;

    int stage() const { return (flags >> 12) & 3; }
    bool assume_valid() const { return flags & 0x8000; }
    bool skip_worktree() const { return extended & 0x4000; }
    bool intent_to_add() const { return extended & 0x2000; }

    // The stat data of a file as git records it (times, device, inode and owner
    // truncated to 32 bits; the size too).
    void set_stat(const fs::FileStat& st);
};

// The mode git records for a file of this stat (a regular file with the owner's
// execute bit is 0100755); `trust_executable` false (core.fileMode=false, and
// Windows) keeps `previous`'s executable bit for a regular file that was one before.
std::uint32_t mode_from_stat(const fs::FileStat& st, bool trust_executable, std::uint32_t previous = 0);

struct IndexExtension {
    std::string signature;  // four bytes
    std::string data;
};

struct Index {
    std::uint32_t version = 2;
    std::vector<IndexEntry> entries;
    std::vector<IndexExtension> extensions;
    // The index file's modification time when it was read: entries changed in the same
    // instant or later are "racily clean" and must be compared by their contents.
    std::int64_t mtime_s = 0;
    std::uint32_t mtime_ns = 0;
    // The trailer of the file as read (all zeros for no file).
    ObjectId checksum{};
    // Set (with the extension's signature) when the index uses a required extension
    // this code does not know (split index "link", sparse index "sdir").
    std::string unsupported;

    bool is_racy(const IndexEntry& e) const {
        if (mtime_s == 0) return false;
        const std::int64_t index_s = mtime_s & 0xffffffffLL;
        return index_s < std::int64_t(e.mtime_s) || (index_s == std::int64_t(e.mtime_s) && mtime_ns <= e.mtime_ns);
    }
    // The entry of `path` at `stage`, or null.
    const IndexEntry* find(std::string_view path, int stage = 0) const;
    IndexEntry* find(std::string_view path, int stage = 0) {
        return const_cast<IndexEntry*>(static_cast<const Index*>(this)->find(path, stage));
    }
    // Puts `entry` at its sorted place, replacing one of the same path and stage.
    void put(IndexEntry entry);
    // Drops an extension (say "TREE" once entries changed, as git invalidates it).
    void drop_extension(std::string_view signature);
};

// Index path order: bytes compared as unsigned, then the stage.
bool entry_less(const IndexEntry& a, const IndexEntry& b);

Index read_index(const std::string& path);
// The file's bytes, checksum included.
std::string serialize_index(const Index& index);
void write_index(const Index& index, const std::string& path);
// Writes `index` (read from `path` and since changed in memory) only while the file is
// still the one read, under its lock: false, writing nothing, when another writer
// holds the lock or has replaced the file (git's opportunistic update of stat data).
bool write_index_if_unchanged(const Index& index, const std::string& path);

}  // namespace sections::git
