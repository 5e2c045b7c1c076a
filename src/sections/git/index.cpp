// The index file (index.hpp), after git's Documentation/gitformat-index.
#include "index.hpp"

#include "runtime/ref.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace sections::git {
namespace {

[[noreturn]] void corrupt(const std::string& path, const char* what) {
    py::Ref name = py::Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size())));
    PyErr_Format(PyExc_ValueError, "index file corrupt (%s): %U", what, name.get());
    py::fail();
}

std::uint32_t be32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}
std::uint16_t be16(const unsigned char* p) { return std::uint16_t(p[0] << 8 | p[1]); }

void put32(std::string& out, std::uint32_t v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}
void put16(std::string& out, std::uint16_t v) {
    const char b[2] = {char(v >> 8), char(v)};
    out.append(b, 2);
}

// Version 4's offset encoding of how many bytes of the previous path to drop.
bool read_varint(const unsigned char*& p, const unsigned char* end, std::uint64_t& value) {
    if (p >= end) return false;
    unsigned char c = *p++;
    value = c & 127;
    while (c & 128) {
        if (p >= end || value > (std::uint64_t(1) << 50)) return false;
        c = *p++;
        value = ((value + 1) << 7) + (c & 127);
    }
    return true;
}
void put_varint(std::string& out, std::uint64_t value) {
    unsigned char buf[16];
    int pos = sizeof buf - 1;
    buf[pos] = value & 127;
    while (value >>= 7) buf[--pos] = 128 | (--value & 127);
    out.append(reinterpret_cast<const char*>(buf + pos), sizeof buf - std::size_t(pos));
}

int compare_paths(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c) return c;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

void IndexEntry::set_stat(const fs::FileStat& st) {
    ctime_s = std::uint32_t(st.ctime_s);
    ctime_ns = st.ctime_ns;
    mtime_s = std::uint32_t(st.mtime_s);
    mtime_ns = st.mtime_ns;
    dev = std::uint32_t(st.dev);
    ino = std::uint32_t(st.ino);
    uid = st.uid;
    gid = st.gid;
    size = std::uint32_t(st.size);
}

std::uint32_t mode_from_stat(const fs::FileStat& st, bool trust_executable, std::uint32_t previous) {
    switch (st.kind) {
        case fs::Kind::Symlink: return kModeSymlink;
        case fs::Kind::Directory: return kModeGitlink;
        default: break;
    }
    if (!trust_executable) return previous == kModeExecutable ? kModeExecutable : kModeFile;
    return st.executable ? kModeExecutable : kModeFile;
}

bool entry_less(const IndexEntry& a, const IndexEntry& b) {
    const int c = compare_paths(a.path, b.path);
    return c < 0 || (c == 0 && a.stage() < b.stage());
}

const IndexEntry* Index::find(std::string_view path, int stage) const {
    auto it = std::lower_bound(entries.begin(), entries.end(), path, [&](const IndexEntry& e, std::string_view p) {
        const int c = compare_paths(e.path, p);
        return c < 0 || (c == 0 && e.stage() < stage);
    });
    if (it == entries.end() || it->path != path || it->stage() != stage) return nullptr;
    return &*it;
}

void Index::put(IndexEntry entry) {
    auto it = std::lower_bound(entries.begin(), entries.end(), entry, entry_less);
    if (it != entries.end() && it->path == entry.path && it->stage() == entry.stage()) {
        *it = std::move(entry);
    } else {
        entries.insert(it, std::move(entry));
    }
}

void Index::drop_extension(std::string_view signature) {
    std::erase_if(extensions, [&](const IndexExtension& x) { return x.signature == signature; });
}

Index read_index(const std::string& path) {
    Index index;
    std::string data;
    if (!fs::read_file(path, data)) return index;
    if (auto st = fs::lstat(path)) {
        index.mtime_s = st->mtime_s;
        index.mtime_ns = st->mtime_ns;
    }
    const auto* begin = reinterpret_cast<const unsigned char*>(data.data());
    if (data.size() < 12 + 20) corrupt(path, "too short");
    if (std::memcmp(begin, "DIRC", 4) != 0) corrupt(path, "bad signature");
    index.version = be32(begin + 4);
    if (index.version < 2 || index.version > 4) corrupt(path, "bad version");
    const std::uint32_t count = be32(begin + 8);
    const unsigned char* end = begin + data.size() - 20;
    // The trailer is the SHA-1 of everything before it (all zeros under index.skipHash).
    ObjectId trailer;
    std::memcpy(trailer.data(), end, 20);
    index.checksum = trailer;
    if (trailer != ObjectId{} && sha1_of(std::string_view(data.data(), data.size() - 20)) != trailer) {
        corrupt(path, "bad checksum");
    }
    if (count > data.size() / 62) corrupt(path, "too many entries");
    index.entries.reserve(count);
    const unsigned char* p = begin + 12;
    std::string previous;
    for (std::uint32_t i = 0; i < count; ++i) {
        const unsigned char* start = p;
        if (end - p < 62) corrupt(path, "truncated entry");
        IndexEntry e;
        e.ctime_s = be32(p);
        e.ctime_ns = be32(p + 4);
        e.mtime_s = be32(p + 8);
        e.mtime_ns = be32(p + 12);
        e.dev = be32(p + 16);
        e.ino = be32(p + 20);
        e.mode = be32(p + 24);
        e.uid = be32(p + 28);
        e.gid = be32(p + 32);
        e.size = be32(p + 36);
        std::memcpy(e.id.data(), p + 40, 20);
        const std::uint16_t flags = be16(p + 60);
        e.flags = flags & 0xf000;
        p += 62;
        if (flags & 0x4000) {
            if (index.version < 3) corrupt(path, "extended flags in version 2");
            if (end - p < 2) corrupt(path, "truncated entry");
            e.extended = be16(p);
            p += 2;
        }
        std::size_t name_length = flags & 0x0fff;
        if (index.version == 4) {
            std::uint64_t drop;
            if (!read_varint(p, end, drop) || drop > previous.size()) corrupt(path, "bad path prefix");
            const auto* nul = static_cast<const unsigned char*>(std::memchr(p, 0, std::size_t(end - p)));
            if (!nul) corrupt(path, "unterminated path");
            e.path.assign(previous, 0, previous.size() - std::size_t(drop));
            e.path.append(reinterpret_cast<const char*>(p), std::size_t(nul - p));
            p = nul + 1;
        } else {
            const auto* nul = static_cast<const unsigned char*>(std::memchr(p, 0, std::size_t(end - p)));
            if (!nul) corrupt(path, "unterminated path");
            e.path.assign(reinterpret_cast<const char*>(p), std::size_t(nul - p));
            // Entries are padded with 1 to 8 NULs to a multiple of 8 bytes.
            const std::size_t length = std::size_t(nul - start) + 1;
            const std::size_t padded = (length + 7) & ~std::size_t(7);
            if (std::size_t(end - start) < padded) corrupt(path, "truncated entry");
            p = start + padded;
        }
        if (name_length != 0x0fff && name_length != e.path.size()) corrupt(path, "bad name length");
        if (e.path.empty()) corrupt(path, "empty path");
        if (!index.entries.empty() && !entry_less(index.entries.back(), e)) corrupt(path, "entries out of order");
        if (index.version == 4) previous = e.path;
        index.entries.push_back(std::move(e));
    }
    while (p < end) {
        if (end - p < 8) corrupt(path, "truncated extension");
        std::string signature(reinterpret_cast<const char*>(p), 4);
        const std::uint32_t size = be32(p + 4);
        p += 8;
        if (std::uint64_t(end - p) < size) corrupt(path, "truncated extension");
        const bool optional = signature[0] >= 'A' && signature[0] <= 'Z';
        if (!optional && index.unsupported.empty()) index.unsupported = signature;
        // EOIE and IEOT only locate entries for threaded readers: they describe the
        // file as it is and would be wrong in one written from here.
        if (signature != "EOIE" && signature != "IEOT") {
            index.extensions.push_back({std::move(signature), std::string(reinterpret_cast<const char*>(p), size)});
        }
        p += size;
    }
    return index;
}

std::string serialize_index(const Index& index) {
    std::uint32_t version = index.version < 2 || index.version > 4 ? 2 : index.version;
    for (const auto& e : index.entries) {
        if (e.extended && version < 3) version = 3;
    }
    std::string out;
    out.reserve(12 + index.entries.size() * 80);
    out.append("DIRC", 4);
    put32(out, version);
    put32(out, std::uint32_t(index.entries.size()));
    std::string_view previous;
    for (const auto& e : index.entries) {
        const std::size_t start = out.size();
        for (std::uint32_t v : {e.ctime_s, e.ctime_ns, e.mtime_s, e.mtime_ns, e.dev, e.ino, e.mode, e.uid, e.gid, e.size}) {
            put32(out, v);
        }
        out.append(reinterpret_cast<const char*>(e.id.data()), 20);
        std::uint16_t flags = std::uint16_t((e.flags & 0xb000) | (e.path.size() < 0x0fff ? e.path.size() : 0x0fff));
        if (e.extended) flags |= 0x4000;
        put16(out, flags);
        if (e.extended) put16(out, e.extended);
        if (version == 4) {
            std::size_t common = 0;
            while (common < previous.size() && common < e.path.size() && previous[common] == e.path[common]) ++common;
            put_varint(out, previous.size() - common);
            out.append(e.path, common, std::string::npos);
            out.push_back('\0');
            previous = e.path;
        } else {
            out.append(e.path);
            const std::size_t length = out.size() - start + 1;
            out.append(((length + 7) & ~std::size_t(7)) - length + 1, '\0');
        }
    }
    for (const auto& x : index.extensions) {
        out.append(x.signature.data(), 4);
        put32(out, std::uint32_t(x.data.size()));
        out.append(x.data);
    }
    const ObjectId sum = sha1_of(out);
    out.append(reinterpret_cast<const char*>(sum.data()), 20);
    return out;
}

void write_index(const Index& index, const std::string& path) { fs::replace_file(path, serialize_index(index)); }

bool write_index_if_unchanged(const Index& index, const std::string& path) {
    std::optional<fs::LockFile> lock;
    try {
        lock.emplace(path);
    } catch (const py::PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        PyErr_Clear();
        return false;
    }
    std::string current;
    if (!fs::read_file(path, current) || current.size() < 20 ||
        std::memcmp(current.data() + current.size() - 20, index.checksum.data(), 20) != 0) {
        return false;
    }
    lock->write(serialize_index(index));
    lock->commit();
    return true;
}

}  // namespace sections::git
