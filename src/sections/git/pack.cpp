// Packs read and written a piece at a time (pack.hpp). The formats are git's: a pack is
// "PACK", its version (2 or 3), its object count, the objects (a header giving type and
// inflated size, for a delta its base, then a zlib stream) and the SHA-1 of all that;
// an index (version 2) lists the objects' names in order with their CRC-32s and
// offsets. Inflating and hashing go through Python's zlib and hashlib.
#include "pack.hpp"
#include "sha1.hpp"

#include "runtime/handler.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sections::git {
namespace {

using Sha = ObjectId;

struct ShaHash {
    size_t operator()(const Sha& sha) const noexcept {
        size_t h;
        std::memcpy(&h, sha.data(), sizeof h);
        return h;
    }
};

constexpr int kBlob = 3;
constexpr int kOfsDelta = 6;
constexpr int kRefDelta = 7;
constexpr size_t kChunk = 1 << 16;          // bytes of a pack read at a time
constexpr long long kInflated = 1 << 20;    // bytes inflated at a time
constexpr int kMaxChain = 10000;            // deltas on deltas followed, at most

const char* type_name(int type) {
    switch (type) {
        case 1: return "commit";
        case 2: return "tree";
        case 3: return "blob";
        case 4: return "tag";
        default: return nullptr;
    }
}

// ---- CRC-32 (IEEE), as the index records it -----------------------------------------------

constexpr std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, size_t length) {
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// ---- what comes from Python -------------------------------------------------------------

Ref module(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

Ref bytes_of(const void* data, size_t length) {
    return Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(length)));
}

// A memoryview of `length` bytes at `data`, for a call that only reads them.
Ref view(const void* data, size_t length) {
    return Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(static_cast<const char*>(data)),
                                              static_cast<Py_ssize_t>(length), PyBUF_READ));
}

// A bytes value the caller fills: `length` bytes, not yet shared with anyone.
Ref new_bytes(std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    return Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
}

[[noreturn]] void corrupt(const char* what) {
    PyErr_Format(PyExc_ValueError, "corrupt pack: %s", what);
    py::fail();
}

Ref hex_of(const Sha& sha) {
    const std::string hex = to_hex(sha);
    return bytes_of(hex.data(), hex.size());
}

// The 20 bytes a 40-digit name stands for; false for anything else.
bool sha_of_hex(PyObject* hex, Sha& sha) {
    return PyBytes_Check(hex) &&
           from_hex(std::string_view(PyBytes_AS_STRING(hex), static_cast<size_t>(PyBytes_GET_SIZE(hex))), sha);
}

[[noreturn]] void checksum_mismatch(const Sha& expected, const Sha& got) {
    py::raise_object(py::call(dulwich_attr("dulwich.errors", PY_NAME(ChecksumMismatch)), hex_of(expected), hex_of(got)));
}

// hashlib.sha1(), fed a piece at a time: its SHA-1 uses the processor's instructions
// for it where there are some, for the large objects and packs hashed here.
class Hashing {
public:
    Hashing() : hash_(py::call_kw(py::getattr(module("hashlib"), PY_NAME(sha1)), {}, {{PY_NAME(usedforsecurity), Py_False}})) {}
    void update(const void* data, size_t length) {
        if (length > 0) py::call_method(hash_, PY_NAME(update), view(data, length));
    }
    void update(PyObject* data) { py::call_method(hash_, PY_NAME(update), data); }
    Sha digest() {
        Ref digest = py::call_method(hash_, PY_NAME(digest));
        Sha sha{};
        if (!PyBytes_Check(digest) || PyBytes_GET_SIZE(digest.get()) != 20) corrupt("digest");
        std::memcpy(sha.data(), PyBytes_AS_STRING(digest.get()), sha.size());
        return sha;
    }

private:
    Ref hash_;
};

// The hash of an object starts with its type and size.
void start_object(Hashing& hash, int type, std::uint64_t size) {
    const std::string header = object_header(type_name(type), static_cast<std::size_t>(size));
    hash.update(header.data(), header.size());
}

Sha object_sha(int type, PyObject* content) {
    Hashing hash;
    start_object(hash, type, static_cast<std::uint64_t>(PyBytes_GET_SIZE(content)));
    hash.update(content);
    return hash.digest();
}

// zlib.decompressobj(): each piece `feed` gives it inflated (at most kInflated bytes a
// call) and handed to `sink`.
class Inflater {
public:
    Inflater() : stream_(py::call(py::getattr(module("zlib"), PY_NAME(decompressobj)))) {}

    // Inflates `input`; returns how many of its bytes belonged to the stream (all of
    // them until it ends). Once the stream has ended, what is left is unused_data:
    // unconsumed_tail may still hold it too (where the end came in a tail), and is not
    // fed again.
    template <class Sink>
    size_t feed(PyObject* input, Sink&& sink) {
        Ref out = py::call_method(stream_, PY_NAME(decompress), input, py::integer(kInflated));
        for (;;) {
            if (PyBytes_GET_SIZE(out.get()) > 0) sink(out.get());
            if (ended()) break;
            Ref tail = py::getattr(stream_, PY_NAME(unconsumed_tail));
            if (PyBytes_GET_SIZE(tail.get()) == 0) break;
            out = py::call_method(stream_, PY_NAME(decompress), tail, py::integer(kInflated));
        }
        const Py_ssize_t size = PyBytes_GET_SIZE(input);
        if (!ended()) return static_cast<size_t>(size);
        return static_cast<size_t>(size - PyBytes_GET_SIZE(py::getattr(stream_, PY_NAME(unused_data)).get()));
    }
    bool ended() { return py::truthy(py::getattr(stream_, PY_NAME(eof))); }

private:
    Ref stream_;
};

// ---- objects in a pack file -------------------------------------------------------------

// A pack file opened for reading by offset.
class PackFile {
public:
    explicit PackFile(Ref file) : file_(std::move(file)) {}
    PyObject* file() const { return file_.get(); }

    Ref read_at(std::uint64_t offset, size_t length) {
        py::call_method(file_, PY_NAME(seek), Ref::steal(PyLong_FromUnsignedLongLong(offset)));
        return read(length);
    }
    Ref read(size_t length) {
        Ref data = py::call_method(file_, PY_NAME(read), Ref::steal(PyLong_FromSize_t(length)));
        if (!PyBytes_Check(data)) py::raise(PyExc_TypeError, "a pack file read no bytes");
        return data;
    }

    // The zlib stream at `offset`, inflated piece by piece into `sink`; it must give
    // `size` bytes.
    template <class Sink>
    void inflate(std::uint64_t offset, std::uint64_t size, Sink&& sink) {
        Inflater inflater;
        std::uint64_t total = 0;
        py::call_method(file_, PY_NAME(seek), Ref::steal(PyLong_FromUnsignedLongLong(offset)));
        while (!inflater.ended()) {
            Ref chunk = read(kChunk);
            if (PyBytes_GET_SIZE(chunk.get()) == 0) corrupt("truncated object");
            inflater.feed(chunk, [&](PyObject* piece) {
                total += static_cast<std::uint64_t>(PyBytes_GET_SIZE(piece));
                if (total > size) corrupt("object larger than its header says");
                sink(piece);
            });
        }
        if (total != size) corrupt("object smaller than its header says");
    }

    // The first `want` inflated bytes (fewer where the stream is shorter) of the stream
    // at `offset`.
    std::string inflate_start(std::uint64_t offset, size_t want) {
        Inflater inflater;
        std::string inflated;
        py::call_method(file_, PY_NAME(seek), Ref::steal(PyLong_FromUnsignedLongLong(offset)));
        while (inflated.size() < want && !inflater.ended()) {
            Ref chunk = read(4096);
            if (PyBytes_GET_SIZE(chunk.get()) == 0) corrupt("truncated object");
            inflater.feed(chunk, [&](PyObject* piece) {
                inflated.append(PyBytes_AS_STRING(piece), static_cast<size_t>(PyBytes_GET_SIZE(piece)));
            });
        }
        return inflated;
    }

    // The whole object of `size` bytes whose stream is at `offset`.
    Ref inflate_whole(std::uint64_t offset, std::uint64_t size) {
        Ref content = new_bytes(size);
        char* out = PyBytes_AS_STRING(content.get());
        std::uint64_t filled = 0;
        inflate(offset, size, [&](PyObject* piece) {
            const auto length = static_cast<size_t>(PyBytes_GET_SIZE(piece));
            std::memcpy(out + filled, PyBytes_AS_STRING(piece), length);
            filled += length;
        });
        return content;
    }

private:
    Ref file_;
};

// An object's header in a pack: its type, inflated size, where its stream starts, and
// for a delta its base (an offset back in the pack, or a name).
struct Header {
    int type = 0;
    std::uint64_t size = 0;
    std::uint64_t data_offset = 0;
    std::uint64_t base_offset = 0;
    Sha base{};
};

// Parses the header at the start of `data` (of `length` bytes) for an object at
// `offset`; false when `data` ends before the header does.
bool parse_header(const unsigned char* data, size_t length, std::uint64_t offset, Header& header) {
    size_t i = 0;
    if (i >= length) return false;
    unsigned char byte = data[i++];
    header.type = (byte >> 4) & 7;
    header.size = byte & 15;
    int shift = 4;
    while (byte & 0x80) {
        if (i >= length) return false;
        if (shift > 57) corrupt("object size");
        byte = data[i++];
        header.size |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        shift += 7;
    }
    if (header.type == kOfsDelta) {
        if (i >= length) return false;
        byte = data[i++];
        std::uint64_t back = byte & 0x7f;
        while (byte & 0x80) {
            if (i >= length) return false;
            if (back >> 56) corrupt("delta base offset");
            byte = data[i++];
            back = ((back + 1) << 7) | (byte & 0x7f);
        }
        if (back == 0 || back > offset) corrupt("delta base offset");
        header.base_offset = offset - back;
    } else if (header.type == kRefDelta) {
        if (length - i < header.base.size()) return false;
        std::memcpy(header.base.data(), data + i, header.base.size());
        i += header.base.size();
    } else if (!type_name(header.type)) {
        corrupt("object type");
    }
    header.data_offset = offset + i;
    return true;
}

// The size a delta's header gives, read from `p` on.
std::uint64_t delta_size(const unsigned char*& p, const unsigned char* end) {
    std::uint64_t size = 0;
    int shift = 0;
    unsigned char byte;
    do {
        if (p >= end || shift > 63) corrupt("delta header");
        byte = *p++;
        size |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        shift += 7;
    } while (byte & 0x80);
    return size;
}

// The object `delta` makes of `base`.
Ref apply_delta(PyObject* base, PyObject* delta) {
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(delta));
    const unsigned char* end = p + PyBytes_GET_SIZE(delta);
    const auto base_size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(base));
    if (delta_size(p, end) != base_size) corrupt("delta for a base of another size");
    const std::uint64_t size = delta_size(p, end);
    Ref result = new_bytes(size);
    char* out = PyBytes_AS_STRING(result.get());
    const char* from = PyBytes_AS_STRING(base);
    std::uint64_t written = 0;
    while (p < end) {
        const unsigned char op = *p++;
        if (op & 0x80) {
            std::uint64_t offset = 0, length = 0;
            for (int i = 0; i < 4; ++i) {
                if (!(op & (1 << i))) continue;
                if (p >= end) corrupt("delta copy");
                offset |= static_cast<std::uint64_t>(*p++) << (8 * i);
            }
            for (int i = 0; i < 3; ++i) {
                if (!(op & (0x10 << i))) continue;
                if (p >= end) corrupt("delta copy");
                length |= static_cast<std::uint64_t>(*p++) << (8 * i);
            }
            if (length == 0) length = 0x10000;
            if (offset > base_size || length > base_size - offset || length > size - written) corrupt("delta copy");
            std::memcpy(out + written, from + offset, static_cast<size_t>(length));
            written += length;
        } else if (op != 0) {
            if (op > end - p || op > size - written) corrupt("delta insert");
            std::memcpy(out + written, p, op);
            p += op;
            written += op;
        } else {
            corrupt("delta opcode");
        }
    }
    if (written != size) corrupt("delta result size");
    return result;
}

// ---- receiving a pack -----------------------------------------------------------------

// One object of a received pack.
struct Entry {
    std::uint64_t offset = 0;
    std::uint64_t data_offset = 0;
    std::uint64_t size = 0;
    std::uint64_t base_offset = 0;
    Sha base{};
    Sha sha{};
    std::uint32_t crc = 0;
    unsigned char type = 0;      // as stored
    unsigned char resolved = 0;  // the object's own type once known
};

// The received pack, read from dulwich's `read_all` and copied into `out` (hashed as it
// goes) while each object is inflated and, unless it is a delta, hashed.
class Receiver {
public:
    Receiver(PyObject* read_all, PyObject* out, std::uint64_t limit) : read_all_(read_all), out_(out), limit_(limit) {}

    std::vector<Entry> receive() {
        need(12);
        const unsigned char* head = peek();
        if (std::memcmp(head, "PACK", 4) != 0) corrupt("no pack signature");
        const std::uint32_t version = be32(head + 4);
        if (version != 2 && version != 3) corrupt("pack version");
        const std::uint32_t count = be32(head + 8);
        consume(12);
        std::vector<Entry> entries;
        entries.reserve(std::min<std::uint32_t>(count, 1 << 16));
        for (std::uint32_t i = 0; i < count; ++i) entries.push_back(object());
        flush();
        const Sha computed = pack_hash_.digest();
        need(20);
        Sha trailer;
        std::memcpy(trailer.data(), peek(), trailer.size());
        if (trailer != computed) checksum_mismatch(trailer, computed);
        write(peek(), trailer.size());
        pos_ += trailer.size();
        checksum_ = trailer;
        return entries;
    }
    const Sha& checksum() const { return checksum_; }

private:
    static std::uint32_t be32(const unsigned char* p) {
        return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
    }
    size_t available() const { return buffer_.size() - pos_; }
    const unsigned char* peek() const { return reinterpret_cast<const unsigned char*>(buffer_.data()) + pos_; }

    // At least `n` bytes unread in the buffer; false where the pack ends first.
    bool fill(size_t n) {
        while (available() < n) {
            if (ended_) return false;
            if (pos_ > kChunk) {
                buffer_.erase(0, pos_);
                pos_ = 0;
            }
            Ref chunk = py::call(read_all_, py::integer(static_cast<long long>(kChunk)));
            if (!PyBytes_Check(chunk)) py::raise(PyExc_TypeError, "the received pack read no bytes");
            const auto length = static_cast<size_t>(PyBytes_GET_SIZE(chunk.get()));
            if (length == 0) {
                ended_ = true;
                continue;
            }
            read_ += length;
            if (limit_ && read_ > limit_) py::raise(PyExc_ValueError, "the received pack is larger than allowed");
            buffer_.append(PyBytes_AS_STRING(chunk.get()), length);
        }
        return true;
    }
    void need(size_t n) {
        if (!fill(n)) corrupt("truncated");
    }

    // The next `n` bytes belong to the pack's content: hashed and copied.
    void consume(size_t n) {
        pending_.append(buffer_.data() + pos_, n);
        pos_ += n;
        offset_ += n;
        if (pending_.size() >= (1 << 20)) flush();
    }
    void flush() {
        pack_hash_.update(pending_.data(), pending_.size());
        write(pending_.data(), pending_.size());
        pending_.clear();
    }
    void write(const void* data, size_t length) {
        if (length > 0) py::call_method(out_, PY_NAME(write), view(data, length));
    }

    Entry object() {
        Entry entry;
        entry.offset = offset_;
        Header header;
        size_t want = 32;
        for (;;) {
            fill(want);
            if (parse_header(peek(), available(), offset_, header)) break;
            if (available() < want) corrupt("truncated");
            want *= 2;
        }
        const auto header_length = static_cast<size_t>(header.data_offset - offset_);
        entry.crc = crc32(0, peek(), header_length);
        consume(header_length);
        entry.type = static_cast<unsigned char>(header.type);
        entry.size = header.size;
        entry.base_offset = header.base_offset;
        entry.base = header.base;
        entry.data_offset = offset_;
        if (header.type == kOfsDelta || header.type == kRefDelta) {
            inflate(entry, [](PyObject*) {});
        } else {
            Hashing hash;
            start_object(hash, header.type, header.size);
            inflate(entry, [&](PyObject* piece) { hash.update(piece); });
            entry.sha = hash.digest();
            entry.resolved = entry.type;
        }
        return entry;
    }

    // The object's zlib stream, consumed (and added to its CRC) while inflated. The
    // first piece given to zlib is about the stream's size, so that what follows it is
    // not copied over and again for small objects.
    template <class Sink>
    void inflate(Entry& entry, Sink&& sink) {
        Inflater inflater;
        std::uint64_t total = 0;
        size_t piece = static_cast<size_t>(std::min<std::uint64_t>(entry.size + entry.size / 16000 * 5 + 64, kChunk));
        while (!inflater.ended()) {
            need(1);
            const size_t length = std::min(available(), piece);
            piece = kChunk;
            Ref input = bytes_of(peek(), length);
            const size_t used = inflater.feed(input, [&](PyObject* out) {
                total += static_cast<std::uint64_t>(PyBytes_GET_SIZE(out));
                if (total > entry.size) corrupt("object larger than its header says");
                sink(out);
            });
            entry.crc = crc32(entry.crc, peek(), used);
            consume(used);
        }
        if (total != entry.size) corrupt("object smaller than its header says");
    }

    PyObject* read_all_;
    PyObject* out_;
    std::uint64_t limit_;
    std::uint64_t read_ = 0;
    std::string buffer_;
    size_t pos_ = 0;
    bool ended_ = false;
    std::uint64_t offset_ = 0;
    std::string pending_;
    Hashing pack_hash_;
    Sha checksum_{};
};

// The deltas of a received pack resolved, base before delta: each base is inflated
// once and its deltas applied while it is held; the names of the bases a thin pack
// leaves out (found in `store`) are collected in `missing`.
class Resolver {
public:
    Resolver(std::vector<Entry>& entries, PackFile& pack, PyObject* store)
        : entries_(entries), pack_(pack), store_(store) {}

    void resolve(std::vector<Sha>& missing) {
        for (size_t i = 0; i < entries_.size(); ++i) {
            const Entry& entry = entries_[i];
            if (entry.type == kOfsDelta) {
                auto found = std::lower_bound(entries_.begin(), entries_.end(), entry.base_offset,
                                              [](const Entry& e, std::uint64_t offset) { return e.offset < offset; });
                if (found == entries_.end() || found->offset != entry.base_offset) corrupt("delta base offset");
                by_offset_[static_cast<std::uint32_t>(found - entries_.begin())].push_back(static_cast<std::uint32_t>(i));
            } else if (entry.type == kRefDelta) {
                by_name_[entry.base].push_back(static_cast<std::uint32_t>(i));
            }
        }
        for (size_t i = 0; i < entries_.size(); ++i) {
            const Entry& entry = entries_[i];
            if (entry.resolved == 0 || !has_deltas(i, entry.sha)) continue;
            descend(pack_.inflate_whole(entry.data_offset, entry.size), entry.type, i, entry.sha);
        }
        // Bases outside the pack, from the store. A base named here may be in the pack
        // after all, as a delta whose own chain starts outside it (a server that sends
        // no offset deltas names every base), so a name the store lacks waits for the
        // next pass; a pass that resolves nothing leaves a base missing indeed.
        while (!by_name_.empty()) {
            std::vector<Sha> names;
            names.reserve(by_name_.size());
            for (const auto& named : by_name_) names.push_back(named.first);
            Sha absent{};
            bool resolved_any = false;
            for (const Sha& base : names) {
                if (!by_name_.count(base)) continue;  // resolved in this pass, inside the pack
                Ref raw = py::try_except(
                    PyExc_KeyError, [&] { return py::call_method(store_, PY_NAME(get_raw), hex_of(base)); },
                    [&](PyObject*) { return Ref(); });
                if (!raw) {
                    absent = base;
                    continue;
                }
                auto [type, content] = py::unpack2(raw);
                const long base_type = PyLong_AsLong(type);
                if (!type_name(static_cast<int>(base_type)) || !PyBytes_Check(content)) corrupt("a delta's base");
                missing.push_back(base);
                descend(std::move(content), static_cast<int>(base_type), SIZE_MAX, base);
                resolved_any = true;
            }
            if (!resolved_any) {
                const std::string hex = to_hex(absent);
                PyErr_Format(PyExc_ValueError, "corrupt pack: a delta's base is missing (%s)", hex.c_str());
                py::fail();
            }
        }
        for (const Entry& entry : entries_) {
            if (entry.resolved == 0) corrupt("unresolved delta");
        }
    }

private:
    bool has_deltas(size_t index, const Sha& sha) const {
        return by_offset_.count(static_cast<std::uint32_t>(index)) > 0 || by_name_.count(sha) > 0;
    }
    // The deltas of the object at `index` (SIZE_MAX: outside the pack) named `sha`,
    // taken out of the maps: each is resolved once.
    std::vector<std::uint32_t> take_deltas(size_t index, const Sha& sha) {
        std::vector<std::uint32_t> deltas;
        if (auto found = by_offset_.find(static_cast<std::uint32_t>(index)); index != SIZE_MAX && found != by_offset_.end()) {
            deltas = std::move(found->second);
            by_offset_.erase(found);
        }
        if (auto found = by_name_.find(sha); found != by_name_.end()) {
            deltas.insert(deltas.end(), found->second.begin(), found->second.end());
            by_name_.erase(found);
        }
        return deltas;
    }

    struct Frame {
        Ref content;
        int type;
        std::vector<std::uint32_t> deltas;
        size_t next = 0;
    };

    void descend(Ref content, int type, size_t index, const Sha& sha) {
        std::vector<Frame> stack;
        stack.push_back({std::move(content), type, take_deltas(index, sha)});
        while (!stack.empty()) {
            if (stack.back().next == stack.back().deltas.size()) {
                stack.pop_back();
                continue;
            }
            Frame& top = stack.back();
            const std::uint32_t at = top.deltas[top.next++];
            const int object_type = top.type;
            Entry& entry = entries_[at];
            Ref delta = pack_.inflate_whole(entry.data_offset, entry.size);
            Ref result = apply_delta(top.content, delta);
            entry.sha = object_sha(object_type, result);
            entry.resolved = static_cast<unsigned char>(object_type);
            std::vector<std::uint32_t> deltas = take_deltas(at, entry.sha);
            if (!deltas.empty()) stack.push_back({std::move(result), object_type, std::move(deltas)});
        }
    }

    std::vector<Entry>& entries_;
    PackFile& pack_;
    PyObject* store_;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> by_offset_;
    std::unordered_map<Sha, std::vector<std::uint32_t>, ShaHash> by_name_;
};

void put_be32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// The index (version 2) of a pack with `entries`, whose checksum is `checksum`.
std::string index_of(std::vector<Entry>& entries, const Sha& checksum) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.sha < b.sha; });
    for (size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].sha == entries[i - 1].sha) corrupt("an object twice");
    }
    std::string out("\377tOc", 4);
    put_be32(out, 2);
    size_t at = 0;
    for (int first = 0; first < 256; ++first) {
        while (at < entries.size() && entries[at].sha[0] == first) ++at;
        put_be32(out, static_cast<std::uint32_t>(at));
    }
    for (const Entry& entry : entries) out.append(reinterpret_cast<const char*>(entry.sha.data()), entry.sha.size());
    for (const Entry& entry : entries) put_be32(out, entry.crc);
    std::string large;
    for (const Entry& entry : entries) {
        if (entry.offset < 0x80000000u) {
            put_be32(out, static_cast<std::uint32_t>(entry.offset));
        } else {
            put_be32(out, 0x80000000u | static_cast<std::uint32_t>(large.size() / 8));
            put_be32(large, static_cast<std::uint32_t>(entry.offset >> 32));
            put_be32(large, static_cast<std::uint32_t>(entry.offset));
        }
    }
    out += large;
    out.append(reinterpret_cast<const char*>(checksum.data()), checksum.size());
    Hashing hash;
    hash.update(out.data(), out.size());
    const Sha own = hash.digest();
    out.append(reinterpret_cast<const char*>(own.data()), own.size());
    return out;
}

// A thin pack completed: the bases it leaves out, read from `store`, are appended, the
// object count in its header and its checksum rewritten.
Sha append_bases(PyObject* file, PyObject* store, const std::vector<Sha>& missing, std::vector<Entry>& entries) {
    PackFile pack{Ref::borrow(file)};
    Ref end = py::call_method(file, PY_NAME(seek), py::integer(0), py::integer(2));
    std::uint64_t offset = PyLong_AsUnsignedLongLong(end) - 20;
    py::call_method(file, PY_NAME(truncate), Ref::steal(PyLong_FromUnsignedLongLong(offset)));
    py::call_method(file, PY_NAME(seek), Ref::steal(PyLong_FromUnsignedLongLong(offset)));
    Ref compress = py::getattr(module("zlib"), PY_NAME(compress));
    for (const Sha& sha : missing) {
        auto [type, content] = py::unpack2(py::call_method(store, PY_NAME(get_raw), hex_of(sha)));
        const auto size = static_cast<std::uint64_t>(PyBytes_GET_SIZE(content.get()));
        std::string header;
        unsigned char byte = static_cast<unsigned char>(PyLong_AsLong(type) << 4 | (size & 15));
        std::uint64_t rest = size >> 4;
        while (rest) {
            header.push_back(static_cast<char>(byte | 0x80));
            byte = rest & 0x7f;
            rest >>= 7;
        }
        header.push_back(static_cast<char>(byte));
        Ref compressed = py::call(compress, content);
        Entry entry;
        entry.offset = offset;
        entry.sha = sha;
        entry.crc = crc32(crc32(0, reinterpret_cast<const unsigned char*>(header.data()), header.size()),
                          reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(compressed.get())),
                          static_cast<size_t>(PyBytes_GET_SIZE(compressed.get())));
        py::call_method(file, PY_NAME(write), view(header.data(), header.size()));
        py::call_method(file, PY_NAME(write), compressed);
        offset += header.size() + static_cast<std::uint64_t>(PyBytes_GET_SIZE(compressed.get()));
        entries.push_back(entry);
    }
    std::string count;
    put_be32(count, static_cast<std::uint32_t>(entries.size()));
    py::call_method(file, PY_NAME(seek), py::integer(8));
    py::call_method(file, PY_NAME(write), view(count.data(), count.size()));
    py::call_method(file, PY_NAME(seek), py::integer(0));
    Hashing hash;
    for (std::uint64_t left = offset; left > 0;) {
        Ref chunk = pack.read(static_cast<size_t>(std::min<std::uint64_t>(left, 1 << 20)));
        if (PyBytes_GET_SIZE(chunk.get()) == 0) corrupt("truncated");
        hash.update(chunk);
        left -= static_cast<std::uint64_t>(PyBytes_GET_SIZE(chunk.get()));
    }
    const Sha checksum = hash.digest();
    py::call_method(file, PY_NAME(seek), py::integer(0), py::integer(2));
    py::call_method(file, PY_NAME(write), view(checksum.data(), checksum.size()));
    return checksum;
}

// Runs `body`; where it raises (or runs out of memory), `cleanup` runs before the error
// goes on, its own errors dropped.
template <class Body, class Cleanup>
void with_cleanup(Body&& body, Cleanup&& cleanup) {
    try {
        try {
            body();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            py::fail();
        }
    } catch (const py::PythonError&) {
        py::Caught caught;
        try {
            cleanup();
        } catch (const py::PythonError&) {
            PyErr_Clear();
        }
        caught.reraise();
    }
}

constexpr py::Params add_thin_pack_params{"read_all, read_some=None, progress=None, **kwargs"};

// object_store.add_thin_pack(read_all, read_some, progress=None, max_input_size=None)
// for the store this function was made around: the pack `read_all` gives, copied to
// a temporary file in the pack folder while read, resolved, completed, indexed, and
// moved in as pack-<checksum>.pack and .idx.
Ref add_thin_pack(Call& c) {
    auto [read_all, read_some, progress, kwargs] = c.args<add_thin_pack_params>();
    (void)read_some;
    (void)progress;
    PyObject* store = c.closure();
    std::uint64_t limit = 0;
    if (PyObject* given = PyDict_Check(kwargs) ? PyDict_GetItemWithError(kwargs, PY_NAME(max_input_size)) : nullptr) {
        if (given != Py_None) limit = PyLong_AsUnsignedLongLong(given);
        if (PyErr_Occurred()) py::fail();
    }
    Ref os = module("os");
    Ref pack_dir = py::getattr(store, PY_NAME(pack_dir));
    Ref mkstemp = py::getattr(module("tempfile"), PY_NAME(mkstemp));
    auto [fd, pack_path] = py::unpack2(py::call_kw(mkstemp, {}, {{PY_NAME(dir), pack_dir}, {PY_NAME(prefix), PY_STR("tmp_pack_")}}));
    Ref file, index_path;
    with_cleanup(
        [&] {
            file = py::call_method(os, PY_NAME(fdopen), fd, PY_STR("w+b"));
            Receiver receiver(read_all, file, limit);
            std::vector<Entry> entries = receiver.receive();
            Sha checksum = receiver.checksum();
            if (entries.empty()) {
                py::call_method(file, PY_NAME(close));
                py::call_method(os, PY_NAME(remove), pack_path);
                return;
            }
            py::call_method(file, PY_NAME(flush));
            PackFile pack{file.copy()};
            std::vector<Sha> missing;
            Resolver(entries, pack, store).resolve(missing);
            if (!missing.empty()) checksum = append_bases(file, store, missing, entries);
            py::call_method(file, PY_NAME(close));
            const std::string index = index_of(entries, checksum);
            auto [index_fd, index_tmp] =
                py::unpack2(py::call_kw(mkstemp, {}, {{PY_NAME(dir), pack_dir}, {PY_NAME(prefix), PY_STR("tmp_idx_")}}));
            index_path = std::move(index_tmp);
            Ref index_file = py::call_method(os, PY_NAME(fdopen), index_fd, PY_STR("wb"));
            py::with_context(index_file, [&](PyObject* f) {
                py::call_method(f, PY_NAME(write), view(index.data(), index.size()));
            });
            Ref base = os_path(c, PY_NAME(join), pack_dir,
                               py::concat("pack-", py::call_method(hex_of(checksum), PY_NAME(decode), PY_STR("ascii"))));
            Ref final_pack = py::concat(base, ".pack");
            if (py::truthy(os_path(c, PY_NAME(exists), final_pack))) {  // these objects are here already
                py::call_method(os, PY_NAME(remove), pack_path);
                py::call_method(os, PY_NAME(remove), index_path);
                return;
            }
            for (PyObject* path : {pack_path.get(), index_path.get()}) {
                py::call_method(os, PY_NAME(chmod), path, py::integer(0444));
            }
            py::call_method(os, PY_NAME(replace), pack_path, final_pack);
            py::call_method(os, PY_NAME(replace), index_path, py::concat(base, ".idx"));
        },
        [&] {
            if (!file) {
                py::call_method(os, PY_NAME(close), fd);
            } else {
                py::call_method(file, PY_NAME(close));
            }
            for (PyObject* path : {pack_path.get(), index_path.get()}) {
                if (path && py::truthy(os_path(c, PY_NAME(exists), path))) py::call_method(os, PY_NAME(remove), path);
            }
        });
    return py::none();
}

const py::FunctionDef add_thin_pack_def{"add_thin_pack", "GitRepoOperator.<locals>.add_thin_pack", nullptr,
                                        py::impl<add_thin_pack, add_thin_pack_params>};

// ---- sending large blobs a piece at a time ----------------------------------------

constexpr std::size_t kSentPiece = 1 << 20;
constexpr std::size_t kLargeSent = 16u << 20;

constexpr py::Params in_pieces_params{"record"};

// One record of the pack a push sends: a whole blob of kLargeSent bytes or more held
// as one piece gets its content as views of kSentPiece bytes, so that the pack's
// writer deflates it (and the transport sends it) a piece at a time instead of making
// a compressed copy of the whole blob, then copies of that.
Ref in_pieces(Call& c) {
    auto [record] = c.args<in_pieces_params>();
    Ref type = py::getattr_optional(record, PY_NAME(pack_type_num));
    Ref chunks = py::getattr_optional(record, PY_NAME(decomp_chunks));
    if (!type || !chunks || !PyLong_CheckExact(type.get()) || PyLong_AsLong(type) != 3 ||
        !PyList_CheckExact(chunks.get()) || PyList_GET_SIZE(chunks.get()) != 1) {
        PyErr_Clear();
        return Ref::borrow(record);
    }
    PyObject* whole = PyList_GET_ITEM(chunks.get(), 0);
    if (!PyBytes_CheckExact(whole) || std::size_t(PyBytes_GET_SIZE(whole)) < kLargeSent) return Ref::borrow(record);
    const std::size_t size = std::size_t(PyBytes_GET_SIZE(whole));
    Ref content = Ref::steal(PyMemoryView_FromObject(whole));
    Ref pieces = py::new_list();
    for (std::size_t at = 0; at < size; at += kSentPiece) {
        py::append(pieces, Ref::steal(PySequence_GetSlice(content, Py_ssize_t(at),
                                                          Py_ssize_t(std::min(size, at + kSentPiece)))));
    }
    py::setattr(record, PY_NAME(decomp_chunks), pieces);
    return Ref::borrow(record);
}

const py::FunctionDef in_pieces_def{"in_pieces", "GitRepoOperator.<locals>.in_pieces", nullptr,
                                    py::impl<in_pieces, in_pieces_params>};

constexpr py::Params get_raw_params{"name"};

// object_store.get_raw(name) for the store this function was made around: a loose
// object whose file holds kSentPiece bytes or more is inflated a piece at a time into
// its content (dulwich reads the deflated file whole and makes two more copies of the
// content on the way); anything else is the store's own.
Ref get_raw(Call& c) {
    auto [name] = c.args<get_raw_params>();
    PyObject* store = c.closure();
    auto own = [&] {
        Ref method = py::getattr(reinterpret_cast<PyObject*>(Py_TYPE(store)), PY_NAME(get_raw));
        return py::call(method, store, name);
    };
    Sha sha{};
    if (PyBytes_Check(name) && PyBytes_GET_SIZE(name) == 20) {
        std::memcpy(sha.data(), PyBytes_AS_STRING(name), sha.size());
    } else if (!sha_of_hex(name, sha)) {
        return own();
    }
    const std::string hex = to_hex(sha);
    Ref path = os_path(c, PY_NAME(join), py::getattr(store, PY_NAME(path)),
                       Ref::steal(PyUnicode_FromStringAndSize(hex.data(), 2)),
                       Ref::steal(PyUnicode_FromStringAndSize(hex.data() + 2, Py_ssize_t(hex.size() - 2))));
    Ref st = py::try_except(
        PyExc_OSError, [&] { return py::call_method(module("os"), PY_NAME(stat), path); },
        [&](PyObject*) { return Ref(); });
    if (!st || PyLong_AsLongLong(py::getattr(st, PY_NAME(st_size))) < Py_ssize_t(kSentPiece)) {
        PyErr_Clear();
        return own();
    }
    Ref file = py::call(py::getattr(module("io"), PY_NAME(open)), path, PY_STR("rb"));
    Ref content;
    int type = 0;
    std::string header;
    std::size_t size = 0, filled = 0;
    py::with_context(file, [&](PyObject* f) {
        PackFile loose{Ref::borrow(f)};
        Inflater inflater;
        while (!inflater.ended()) {
            Ref chunk = loose.read(kChunk);
            if (PyBytes_GET_SIZE(chunk.get()) == 0) corrupt("truncated loose object");
            inflater.feed(chunk, [&](PyObject* piece) {
                std::string_view data(PyBytes_AS_STRING(piece), std::size_t(PyBytes_GET_SIZE(piece)));
                if (!content) {  // the header, "<type> <size>\0", comes first
                    const std::size_t end = data.find('\0');
                    header.append(data.substr(0, end));
                    if (header.size() > 32) corrupt("loose object header");
                    if (end == std::string_view::npos) return;
                    data.remove_prefix(end + 1);
                    const std::size_t space = header.find(' ');
                    for (int t = 1; t <= 4 && space != std::string::npos; ++t) {
                        if (header.compare(0, space, type_name(t)) == 0) type = t;
                    }
                    if (type == 0) corrupt("loose object type");
                    for (char digit : std::string_view(header).substr(space + 1)) {
                        if (digit < '0' || digit > '9' || size > (std::size_t(1) << 40)) corrupt("loose object size");
                        size = size * 10 + std::size_t(digit - '0');
                    }
                    content = Ref::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
                    if (!content) py::fail();
                }
                if (data.size() > size - filled) corrupt("loose object longer than its size");
                std::memcpy(PyBytes_AS_STRING(content.get()) + filled, data.data(), data.size());
                filled += data.size();
            });
        }
    });
    if (!content || filled != size) corrupt("loose object shorter than its size");
    return py::tuple(py::integer(type), content);
}

const py::FunctionDef get_raw_def{"get_raw", "GitRepoOperator.<locals>.get_raw", nullptr,
                                  py::impl<get_raw, get_raw_params>};

constexpr py::Params generate_pack_data_params{"*args, **kwargs"};

// object_store.generate_pack_data(have, want, ...) for the store this function was
// made around: the store's own, its records passed through in_pieces as they come.
Ref generate_pack_data(Call& c) {
    auto [args, kwargs] = c.args<generate_pack_data_params>();
    PyObject* store = c.closure();
    Ref method = py::getattr(reinterpret_cast<PyObject*>(Py_TYPE(store)), PY_NAME(generate_pack_data));
    Ref bound = Ref::steal(PyMethod_New(method, store));
    Ref result = py::call_args(bound, args, PyDict_Check(kwargs) && PyDict_GET_SIZE(kwargs) ? kwargs : nullptr);
    if (!PyTuple_CheckExact(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) return result;
    Ref records = py::call(reinterpret_cast<PyObject*>(&PyMap_Type), py::make_function(in_pieces_def, c.globals()),
                           PyTuple_GET_ITEM(result.get(), 1));
    return py::tuple(PyTuple_GET_ITEM(result.get(), 0), records);
}

const py::FunctionDef generate_pack_data_def{"generate_pack_data", "GitRepoOperator.<locals>.generate_pack_data",
                                             nullptr, py::impl<generate_pack_data, generate_pack_data_params>};

}  // namespace

// ---- large blobs read from their packs ------------------------------------------------

// The packs of a folder, each with its index read whole (28 bytes an object) and the
// offsets of its objects in order, by which an object's stored extent is known.
struct PackedBlobs::Folder {
    struct Pack {
        Ref path;
        std::string index;
        std::uint32_t count = 0;
        std::vector<std::uint64_t> offsets;  // ascending, then the trailer's offset
        std::unique_ptr<PackFile> file;      // opened when first read

        std::uint64_t offset_of(std::uint32_t i) const {
            const auto* p = reinterpret_cast<const unsigned char*>(index.data()) + 8 + 1024 + size_t{count} * 24 + size_t{i} * 4;
            const std::uint32_t small = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
            if (!(small & 0x80000000u)) return small;
            const size_t at = 8 + 1024 + size_t{count} * 28 + size_t{small & 0x7fffffffu} * 8;
            if (at + 8 > index.size() - 40) corrupt("index offset");
            std::uint64_t value = 0;
            for (int k = 0; k < 8; ++k) value = value << 8 | static_cast<unsigned char>(index[at + k]);
            return value;
        }
        // The offset of the object named `sha`, or false.
        bool find(const Sha& sha, std::uint64_t& offset) const {
            const auto* fanout = reinterpret_cast<const unsigned char*>(index.data()) + 8;
            auto fan = [&](int k) {
                const unsigned char* p = fanout + 4 * k;
                return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
            };
            std::uint32_t low = sha[0] ? fan(sha[0] - 1) : 0, high = fan(sha[0]);
            const char* names = index.data() + 8 + 1024;
            while (low < high) {
                const std::uint32_t mid = low + (high - low) / 2;
                const int order = std::memcmp(names + size_t{mid} * 20, sha.data(), 20);
                if (order == 0) {
                    offset = offset_of(mid);
                    return true;
                }
                if (order < 0) {
                    low = mid + 1;
                } else {
                    high = mid;
                }
            }
            return false;
        }
        PackFile& open() {
            if (!file) {
                file = std::make_unique<PackFile>(py::call(py::getattr(module("io"), PY_NAME(open)), path, PY_STR("rb")));
            }
            return *file;
        }
    };

    Ref store;
    std::vector<Pack> packs;

    ~Folder() {
        for (Pack& pack : packs) {
            if (!pack.file) continue;
            PyObject* pending = PyErr_GetRaisedException();
            PyObject* result = PyObject_CallMethodNoArgs(pack.file->file(), PY_NAME(close));
            if (!result) PyErr_Clear();
            Py_XDECREF(result);
            PyErr_SetRaisedException(pending);
        }
    }

    void load(PyObject* pack_dir) {
        Ref os = module("os");
        Ref names = py::call_method(os, PY_NAME(listdir), pack_dir);
        py::for_each(names, [&](PyObject* name) {
            if (!PyUnicode_Check(name) || !py::truthy(py::call_method(name, PY_NAME(endswith), PY_STR(".idx")))) return;
            Ref stem = Ref::steal(PyUnicode_Substring(name, 0, PyUnicode_GET_LENGTH(name) - 4));
            Pack pack;
            pack.path = os_path_join(pack_dir, py::concat(stem, ".pack"));
            Ref index_path = os_path_join(pack_dir, name);
            Ref size = py::try_except(
                PyExc_OSError, [&] { return py::call(py::getattr(py::getattr(os, PY_NAME(path)), PY_NAME(getsize)), pack.path); },
                [&](PyObject*) { return Ref(); });
            if (!size) return;  // an index without its pack
            Ref data;
            py::with_context(py::call(py::getattr(module("io"), PY_NAME(open)), index_path, PY_STR("rb")),
                             [&](PyObject* f) { data = py::call_method(f, PY_NAME(read)); });
            const auto length = static_cast<size_t>(PyBytes_GET_SIZE(data.get()));
            const char* raw = PyBytes_AS_STRING(data.get());
            if (length < 8 + 1024 + 40 || std::memcmp(raw, "\377tOc\0\0\0\2", 8) != 0) return;  // version 1: dulwich reads it
            pack.index.assign(raw, length);
            const auto* last = reinterpret_cast<const unsigned char*>(raw) + 8 + 1020;
            pack.count = std::uint32_t{last[0]} << 24 | std::uint32_t{last[1]} << 16 | std::uint32_t{last[2]} << 8 | last[3];
            if (length < 8 + 1024 + size_t{pack.count} * 28 + 40) return;
            pack.offsets.reserve(size_t{pack.count} + 1);
            for (std::uint32_t i = 0; i < pack.count; ++i) pack.offsets.push_back(pack.offset_of(i));
            std::sort(pack.offsets.begin(), pack.offsets.end());
            pack.offsets.push_back(PyLong_AsUnsignedLongLong(size) - 20);
            packs.push_back(std::move(pack));
        });
    }

    static Ref os_path_join(PyObject* folder, PyObject* name) {
        return py::call_method(py::getattr(module("os"), PY_NAME(path)), PY_NAME(join), folder, name);
    }

    struct Found {
        Pack* pack = nullptr;
        std::uint64_t offset = 0;
    };
    Found find(const Sha& sha) {
        for (Pack& pack : packs) {
            std::uint64_t offset;
            if (pack.find(sha, offset)) return {&pack, offset};
        }
        return {};
    }

    // The header of the object at `offset` in `pack`.
    static Header header_at(Pack& pack, std::uint64_t offset) {
        Ref head = pack.open().read_at(offset, 64);
        Header header;
        if (!parse_header(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(head.get())),
                          static_cast<size_t>(PyBytes_GET_SIZE(head.get())), offset, header)) {
            corrupt("truncated object header");
        }
        return header;
    }

    // The type and size of the object at `offset`: a delta's result size is the second
    // number of its inflated start; its type, its base's.
    std::pair<int, std::uint64_t> kind_at(Pack& pack, std::uint64_t offset) {
        Header header = header_at(pack, offset);
        int depth = 0;
        std::uint64_t size = header.size;
        bool sized = false;
        Pack* at = &pack;
        while (header.type == kOfsDelta || header.type == kRefDelta) {
            if (++depth > kMaxChain) corrupt("delta chain");
            if (!sized) {
                const std::string inflated = at->open().inflate_start(header.data_offset, 20);
                const auto* p = reinterpret_cast<const unsigned char*>(inflated.data());
                const unsigned char* end = p + inflated.size();
                delta_size(p, end);
                size = delta_size(p, end);
                sized = true;
            }
            if (header.type == kOfsDelta) {
                header = header_at(*at, header.base_offset);
            } else {
                Found base = find(header.base);
                if (!base.pack) return {0, 0};  // a base elsewhere: left to dulwich
                at = base.pack;
                header = header_at(*at, base.offset);
            }
        }
        return {header.type, size};
    }

    // The content of the object at `offset`, its deltas applied in memory.
    Ref content_at(Pack& pack, std::uint64_t offset) {
        std::vector<std::pair<Pack*, Header>> chain;
        Pack* at = &pack;
        Header header = header_at(pack, offset);
        while (header.type == kOfsDelta || header.type == kRefDelta) {
            if (chain.size() > static_cast<size_t>(kMaxChain)) corrupt("delta chain");
            chain.emplace_back(at, header);
            if (header.type == kOfsDelta) {
                header = header_at(*at, header.base_offset);
            } else {
                Found base = find(header.base);
                if (!base.pack) corrupt("a delta's base is missing");
                at = base.pack;
                header = header_at(*at, base.offset);
            }
        }
        Ref content = at->open().inflate_whole(header.data_offset, header.size);
        for (auto step = chain.rbegin(); step != chain.rend(); ++step) {
            Ref delta = step->first->open().inflate_whole(step->second.data_offset, step->second.size);
            content = apply_delta(content, delta);
        }
        return content;
    }
};

PackedBlobs::PackedBlobs(PyObject* store) : folder_(std::make_unique<Folder>()) {
    folder_->store = Ref::borrow(store);
    if (Ref pack_dir = py::getattr_optional(store, PY_NAME(pack_dir))) {
        if (py::truthy(py::call_method(py::getattr(module("os"), PY_NAME(path)), PY_NAME(isdir), pack_dir))) {
            folder_->load(pack_dir);
        }
    }
}

PackedBlobs::~PackedBlobs() = default;

std::uint64_t PackedBlobs::large_blob_size(PyObject* hex_sha, std::uint64_t threshold) {
    Sha sha;
    if (!sha_of_hex(hex_sha, sha)) return 0;
    Folder::Found found = folder_->find(sha);
    if (!found.pack) return 0;
    auto [type, size] = folder_->kind_at(*found.pack, found.offset);
    return type == kBlob && size >= threshold ? size : 0;
}

void PackedBlobs::write_blob(PyObject* hex_sha, PyObject* out) {
    Sha sha;
    if (!sha_of_hex(hex_sha, sha)) corrupt("object name");
    Folder::Found found = folder_->find(sha);
    if (!found.pack) corrupt("no such packed object");
    Folder::Pack& pack = *found.pack;
    Header header = Folder::header_at(pack, found.offset);
    Hashing hash;
    if (header.type == kBlob) {  // stored whole: a piece at a time
        start_object(hash, kBlob, header.size);
        pack.open().inflate(header.data_offset, header.size, [&](PyObject* piece) {
            hash.update(piece);
            py::call_method(out, PY_NAME(write), piece);
        });
    } else {
        Ref content = folder_->content_at(pack, found.offset);
        start_object(hash, kBlob, static_cast<std::uint64_t>(PyBytes_GET_SIZE(content.get())));
        hash.update(content);
        py::call_method(out, PY_NAME(write), content);
    }
    const Sha got = hash.digest();
    if (got != sha) checksum_mismatch(sha, got);
}

Ref file_blob_id(PyObject* path) {
    Ref os = module("os");
    Ref size = py::getattr(py::call_method(os, PY_NAME(stat), path), PY_NAME(st_size));
    const std::uint64_t expected = PyLong_AsUnsignedLongLong(size);
    if (PyErr_Occurred()) py::fail();
    Hashing hash;
    start_object(hash, kBlob, expected);
    std::uint64_t total = 0;
    py::with_context(py::call(py::getattr(module("io"), PY_NAME(open)), path, PY_STR("rb")), [&](PyObject* f) {
        PackFile file{Ref::borrow(f)};
        for (;;) {
            Ref chunk = file.read(1 << 20);
            if (PyBytes_GET_SIZE(chunk.get()) == 0) break;
            total += static_cast<std::uint64_t>(PyBytes_GET_SIZE(chunk.get()));
            hash.update(chunk);
        }
    });
    // A file that changed while read names no blob it held: one name is as good as another.
    if (total != expected) return bytes_of("0000000000000000000000000000000000000000", 40);
    return hex_of(hash.digest());
}

void add_blob(PyObject* store, PyObject* blob) {
    constexpr Py_ssize_t kLargeObject = 16 << 20;
    Ref chunks = py::call_method(blob, PY_NAME(as_raw_chunks));
    Py_ssize_t total = 0;
    if (PyList_Check(chunks)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
            PyObject* chunk = PyList_GET_ITEM(chunks.get(), i);
            total = PyBytes_Check(chunk) ? total + PyBytes_GET_SIZE(chunk) : -1;
            if (total < 0) break;
        }
    }
    Ref root = py::getattr_optional(store, PY_NAME(path));
    if (total < kLargeObject || !root || !py::getattr_optional(store, PY_NAME(pack_dir))) {
        py::call_method(store, PY_NAME(add_object), blob);
        return;
    }
    Ref os = module("os");
    Ref os_path = py::getattr(os, PY_NAME(path));
    Ref id = py::call_method(py::getattr(blob, PY_NAME(id)), PY_NAME(decode), PY_STR("ascii"));
    Ref folder = py::call_method(os_path, PY_NAME(join), root, slice(id, 0, 2));
    Ref path = py::call_method(os_path, PY_NAME(join), folder, slice(id, 2, PY_SSIZE_T_MAX));
    py::call_kw(py::getattr(os, PY_NAME(makedirs)), {folder}, {{PY_NAME(exist_ok), Py_True}});
    if (py::truthy(py::call_method(os_path, PY_NAME(exists), path))) {  // there already: freshened, as dulwich does
        py::call_method(os, PY_NAME(utime), path, Py_None);
        return;
    }
    Ref level = py::getattr_optional(store, PY_NAME(loose_compression_level));
    Ref compressor = py::call(py::getattr(module("zlib"), PY_NAME(compressobj)), level ? level.get() : py::integer(-1).get());
    auto [fd, temporary] = py::unpack2(py::call_kw(py::getattr(module("tempfile"), PY_NAME(mkstemp)), {},
                                                   {{PY_NAME(dir), folder}, {PY_NAME(prefix), PY_STR("tmp_obj_")}}));
    Ref file;
    with_cleanup(
        [&] {
            file = py::call_method(os, PY_NAME(fdopen), fd, PY_STR("wb"));
            const std::string header = "blob " + std::to_string(total) + '\0';
            py::call_method(file, PY_NAME(write), py::call_method(compressor, PY_NAME(compress), view(header.data(), header.size())));
            py::for_each(chunks, [&](PyObject* chunk) {
                const char* data = PyBytes_AS_STRING(chunk);
                const auto size = static_cast<size_t>(PyBytes_GET_SIZE(chunk));
                for (size_t at = 0; at < size; at += kChunk * 16) {
                    Ref piece = view(data + at, std::min(size - at, kChunk * 16));
                    py::call_method(file, PY_NAME(write), py::call_method(compressor, PY_NAME(compress), piece));
                }
            });
            py::call_method(file, PY_NAME(write), py::call_method(compressor, PY_NAME(flush)));
            py::call_method(file, PY_NAME(close));
            py::call_method(os, PY_NAME(chmod), temporary, py::integer(0444));
            py::call_method(os, PY_NAME(replace), temporary, path);
        },
        [&] {
            if (!file) {
                py::call_method(os, PY_NAME(close), fd);
            } else {
                py::call_method(file, PY_NAME(close));
            }
            if (py::truthy(py::call_method(os_path, PY_NAME(exists), temporary))) py::call_method(os, PY_NAME(remove), temporary);
        });
}

// ---- installing the receiver ----------------------------------------------------------

StreamedPacks::StreamedPacks(Call& c, PyObject* repo) {
    Ref store = py::getattr_optional(repo, PY_NAME(object_store));
    if (!store || !py::getattr_optional(store, PY_NAME(pack_dir)) || !py::getattr_optional(store, PY_NAME(get_raw))) {
        return;
    }
    if (Ref format = py::getattr_optional(store, PY_NAME(object_format))) {
        Ref name = py::getattr_optional(format, PY_NAME(name));
        if (!name || !py::equal(name, PY_STR("sha1"))) return;
    }
    try {
        py::setattr(store, PY_NAME(add_thin_pack), py::make_function(add_thin_pack_def, c.globals(), store));
        store_ = std::move(store);
    } catch (const py::PythonError&) {
        PyErr_Clear();  // a store that takes no attribute receives as dulwich does
    }
}

PiecewiseSend::PiecewiseSend(Call& c, PyObject* repo) {
    Ref store = py::getattr_optional(repo, PY_NAME(object_store));
    if (!store || !py::getattr_optional(reinterpret_cast<PyObject*>(Py_TYPE(store.get())), PY_NAME(generate_pack_data))) {
        PyErr_Clear();
        return;
    }
    try {
        py::setattr(store, PY_NAME(generate_pack_data), py::make_function(generate_pack_data_def, c.globals(), store));
        store_ = std::move(store);
        if (py::getattr_optional(store_, PY_NAME(path)) && py::getattr_optional(store_, PY_NAME(pack_dir))) {
            py::setattr(store_, PY_NAME(get_raw), py::make_function(get_raw_def, c.globals(), store_));
            loose_ = true;
        }
    } catch (const py::PythonError&) {
        PyErr_Clear();  // a store that takes no attribute sends as dulwich does
    }
}

PiecewiseSend::~PiecewiseSend() {
    if (!store_) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (PyObject_DelAttr(store_.get(), PY_NAME(generate_pack_data)) < 0) PyErr_Clear();
    if (loose_ && PyObject_DelAttr(store_.get(), PY_NAME(get_raw)) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

void StreamedPacks::remove() noexcept {
    if (!store_) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (PyObject_DelAttr(store_.get(), PY_NAME(add_thin_pack)) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    store_ = Ref();
}

}  // namespace sections::git
