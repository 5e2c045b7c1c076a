// The repository's objects (objects.hpp), after git's Documentation/gitformat-pack:
// an index (version 2) lists the names in order, a fan-out table by first byte before
// them, then CRC-32s, then 4-byte offsets (the high bit pointing into a table of 8-byte
// ones); a pack is "PACK", its version, its object count, the objects (type and
// inflated size in a varint, for a delta its base as a negative offset or a name, then
// a zlib stream) and the SHA-1 of it all, which its index repeats.
#include "objects.hpp"

#include "runtime/ref.hpp"

#include <algorithm>
#include <cstring>

namespace sections::git {
namespace {

constexpr int kBlobObject = 3, kOfsDelta = 6, kRefDelta = 7;
constexpr int kMaxChain = 10000;                        // deltas on deltas followed, at most
constexpr std::size_t kCacheBytes = 64u << 20;          // delta bases kept
constexpr std::size_t kLargestCached = 16u << 20;       // larger bases are not kept
constexpr std::uint64_t kMaxRatio = 1032;               // deflate inflates at most this much

[[noreturn]] void corrupt(const ObjectId& id, const char* what) {
    const std::string hex = to_hex(id);
    PyErr_Format(PyExc_ValueError, "corrupt object %s (%s)", hex.c_str(), what);
    py::fail();
}

[[noreturn]] void corrupt_pack(const char* what) {
    PyErr_Format(PyExc_ValueError, "corrupt pack (%s)", what);
    py::fail();
}

std::uint32_t be32(const unsigned char* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

const char* type_name(int type) {
    switch (type) {
        case 1: return "commit";
        case 2: return "tree";
        case 3: return "blob";
        case 4: return "tag";
        default: return nullptr;
    }
}

// An object's header in a pack: its stored type, the size of its zlib stream's
// contents, where that stream starts, and a delta's base.
struct Header {
    int type = 0;
    std::uint64_t size = 0;
    std::uint64_t data_offset = 0;
    std::uint64_t base_offset = 0;
    ObjectId base{};
};

// The object `delta` makes of `base`: its header gives both sizes, then copies from
// the base and literal inserts follow, each within bounds.
std::string apply_delta(const std::string& base, const std::string& delta) {
    const auto* p = reinterpret_cast<const unsigned char*>(delta.data());
    const unsigned char* end = p + delta.size();
    auto varint = [&]() {
        std::uint64_t value = 0;
        int shift = 0;
        unsigned char byte;
        do {
            if (p >= end || shift > 63) corrupt_pack("delta header");
            byte = *p++;
            value |= std::uint64_t(byte & 0x7f) << shift;
            shift += 7;
        } while (byte & 0x80);
        return value;
    };
    if (varint() != base.size()) corrupt_pack("delta for a base of another size");
    const std::uint64_t size = varint();
    if (size > (std::uint64_t(delta.size()) + base.size()) * 0x10000) corrupt_pack("delta result size");
    std::string out;
    out.reserve(std::size_t(std::min<std::uint64_t>(size, 64u << 20)));
    while (p < end) {
        const unsigned char op = *p++;
        if (op & 0x80) {
            std::uint64_t offset = 0, length = 0;
            for (int i = 0; i < 4; ++i) {
                if (!(op & (1 << i))) continue;
                if (p >= end) corrupt_pack("delta copy");
                offset |= std::uint64_t(*p++) << (8 * i);
            }
            for (int i = 0; i < 3; ++i) {
                if (!(op & (0x10 << i))) continue;
                if (p >= end) corrupt_pack("delta copy");
                length |= std::uint64_t(*p++) << (8 * i);
            }
            if (length == 0) length = 0x10000;
            if (offset > base.size() || length > base.size() - offset || length > size - out.size()) {
                corrupt_pack("delta copy");
            }
            out.append(base, std::size_t(offset), std::size_t(length));
        } else if (op != 0) {
            if (op > end - p || op > size - out.size()) corrupt_pack("delta insert");
            out.append(reinterpret_cast<const char*>(p), op);
            p += op;
        } else {
            corrupt_pack("delta opcode");
        }
    }
    if (out.size() != size) corrupt_pack("delta result size");
    return out;
}

}  // namespace

struct ObjectReader::Pack {
    std::string index;
    std::uint32_t count = 0;
    std::vector<std::uint64_t> ends;  // every object's offset in order, then the trailer's
    fs::FileReader file;

    const unsigned char* at(std::size_t offset) const {
        return reinterpret_cast<const unsigned char*>(index.data()) + offset;
    }
    std::uint32_t fan(int k) const { return be32(at(8 + 4 * std::size_t(k))); }

    // Validates the index against its pack; false leaves the pack to dulwich.
    bool load(const std::string& index_path, const std::string& pack_path) {
        if (!fs::read_file(index_path, index) || index.size() < 8 + 1024 + 40) return false;
        if (std::memcmp(index.data(), "\377tOc\0\0\0\2", 8) != 0) return false;
        for (int k = 1; k < 256; ++k) {
            if (fan(k) < fan(k - 1)) return false;
        }
        count = fan(255);
        const std::uint64_t fixed = 8 + 1024 + std::uint64_t(count) * 28 + 40;
        if (index.size() < fixed || (index.size() - fixed) % 8 != 0) return false;
        const std::uint64_t large = (index.size() - fixed) / 8;
        if (!file.open(pack_path) || file.size() < 32) return false;
        std::string head;
        file.read_at(0, 12, head);
        if (head.size() != 12 || std::memcmp(head.data(), "PACK", 4) != 0) return false;
        const std::uint32_t version = be32(reinterpret_cast<const unsigned char*>(head.data()) + 4);
        if ((version != 2 && version != 3) || be32(reinterpret_cast<const unsigned char*>(head.data()) + 8) != count) {
            return false;
        }
        std::string trailer;
        file.read_at(file.size() - 20, 20, trailer);
        if (trailer.size() != 20 || std::memcmp(trailer.data(), index.data() + index.size() - 40, 20) != 0) return false;
        const std::uint64_t limit = file.size() - 20;
        ends.reserve(std::size_t(count) + 1);
        const std::size_t small = 8 + 1024 + std::size_t(count) * 24;
        const std::size_t big = small + std::size_t(count) * 4;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint64_t offset = be32(at(small + 4 * std::size_t(i)));
            if (offset & 0x80000000u) {
                const std::uint64_t slot = offset & 0x7fffffffu;
                if (slot >= large) return false;
                const unsigned char* p = at(big + 8 * std::size_t(slot));
                offset = std::uint64_t(be32(p)) << 32 | be32(p + 4);
            }
            if (offset < 12 || offset >= limit) return false;
            ends.push_back(offset);
        }
        std::sort(ends.begin(), ends.end());
        ends.push_back(limit);
        return true;
    }

    std::uint64_t offset_of(std::uint32_t i) const {
        const std::size_t small = 8 + 1024 + std::size_t(count) * 24;
        std::uint64_t offset = be32(at(small + 4 * std::size_t(i)));
        if (offset & 0x80000000u) {
            const unsigned char* p = at(small + std::size_t(count) * 4 + 8 * std::size_t(offset & 0x7fffffffu));
            offset = std::uint64_t(be32(p)) << 32 | be32(p + 4);
        }
        return offset;
    }

    bool find(const ObjectId& id, std::uint64_t& offset) const {
        std::uint32_t low = id[0] ? fan(id[0] - 1) : 0, high = fan(id[0]);
        const unsigned char* names = at(8 + 1024);
        while (low < high) {
            const std::uint32_t mid = low + (high - low) / 2;
            const int order = std::memcmp(names + std::size_t(mid) * 20, id.data(), 20);
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

    // Where the object at `offset` ends: the next object's offset (or the trailer).
    std::uint64_t end_of(std::uint64_t offset) const { return *std::upper_bound(ends.begin(), ends.end(), offset); }

    Header header_at(std::uint64_t offset) {
        std::string raw;
        file.read_at(offset, std::size_t(std::min<std::uint64_t>(64, end_of(offset) - offset)), raw);
        const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
        const std::size_t length = raw.size();
        std::size_t i = 0;
        auto next = [&]() {
            if (i >= length) corrupt_pack("truncated object header");
            return p[i++];
        };
        Header h;
        unsigned char byte = next();
        h.type = (byte >> 4) & 7;
        h.size = byte & 15;
        for (int shift = 4; byte & 0x80; shift += 7) {
            if (shift > 57) corrupt_pack("object size");
            byte = next();
            h.size |= std::uint64_t(byte & 0x7f) << shift;
        }
        if (h.type == kOfsDelta) {
            byte = next();
            std::uint64_t back = byte & 0x7f;
            while (byte & 0x80) {
                if (back >> 56) corrupt_pack("delta base offset");
                byte = next();
                back = ((back + 1) << 7) | (byte & 0x7f);
            }
            if (back == 0 || back > offset - 12) corrupt_pack("delta base offset");
            h.base_offset = offset - back;
        } else if (h.type == kRefDelta) {
            if (length - i < 20) corrupt_pack("truncated object header");
            std::memcpy(h.base.data(), p + i, 20);
            i += 20;
        } else if (!type_name(h.type)) {
            corrupt_pack("object type");
        }
        h.data_offset = offset + i;
        return h;
    }
};

ObjectReader::ObjectReader(const std::string& objects_dir) : objects_dir_(objects_dir) {
    py::Ref zlib = py::Ref::steal(PyImport_ImportModule("zlib"));
    decompress_ = py::Ref::steal(PyObject_GetAttrString(zlib, "decompress")).release();
    const std::string folder = objects_dir + "/pack";
    auto listing = fs::list_dir(folder);
    if (!listing) return;
    for (const auto& item : *listing) {
        const std::string& name = item.name;
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".idx") != 0) continue;
        auto pack = std::make_unique<Pack>();
        const std::string stem = folder + "/" + name.substr(0, name.size() - 4);
        if (pack->load(stem + ".idx", stem + ".pack")) packs_.push_back(std::move(pack));
    }
}

ObjectReader::~ObjectReader() { Py_XDECREF(static_cast<PyObject*>(decompress_)); }

ObjectReader::Found ObjectReader::find(const ObjectId& id) {
    for (auto& pack : packs_) {
        std::uint64_t offset;
        if (pack->find(id, offset)) return {pack.get(), offset};
    }
    return {};
}

// zlib.decompress over the stored stream, which must give `size` bytes.
std::string ObjectReader::inflate(Pack& pack, std::uint64_t offset, std::uint64_t end, std::uint64_t size) {
    if (end <= offset) corrupt_pack("empty object");
    const std::uint64_t stored = end - offset;
    if (size > stored * kMaxRatio + 64 || size > std::uint64_t(PY_SSIZE_T_MAX)) corrupt_pack("object size");
    py::Ref out;
    {
        std::string raw;
        pack.file.read_at(offset, std::size_t(stored), raw);
        py::Ref view = py::Ref::steal(PyMemoryView_FromMemory(raw.data(), Py_ssize_t(raw.size()), PyBUF_READ));
        py::Ref wbits = py::Ref::steal(PyLong_FromLong(15));
        py::Ref buffer = py::Ref::steal(PyLong_FromUnsignedLongLong(size ? size : 1));
        PyObject* args[] = {view.get(), wbits.get(), buffer.get()};
        out = py::Ref::steal(PyObject_Vectorcall(static_cast<PyObject*>(decompress_), args, 3, nullptr));
    }
    if (!PyBytes_Check(out) || std::uint64_t(PyBytes_GET_SIZE(out.get())) != size) corrupt_pack("object size");
    return std::string(PyBytes_AS_STRING(out.get()), std::size_t(size));
}

ObjectReader::Content ObjectReader::cached(const Pack& pack, std::uint64_t offset, int& type) {
    auto found = by_key_.find({&pack, offset});
    if (found == by_key_.end()) return nullptr;
    lru_.splice(lru_.end(), lru_, found->second);
    type = found->second->type;
    return found->second->content;
}

void ObjectReader::remember(const Pack& pack, std::uint64_t offset, int type, const Content& content) {
    if (content->size() > kLargestCached || by_key_.count({&pack, offset})) return;
    lru_.push_back({&pack, offset, type, content});
    by_key_[{&pack, offset}] = std::prev(lru_.end());
    cached_bytes_ += content->size();
    while (cached_bytes_ > kCacheBytes && !lru_.empty()) {
        const Entry& oldest = lru_.front();
        cached_bytes_ -= oldest.content->size();
        by_key_.erase({oldest.pack, oldest.offset});
        lru_.pop_front();
    }
}

// The object at `offset`: its chain of deltas followed down to an object stored whole
// (or a base already in memory), then applied back up, the bases kept.
ObjectReader::Content ObjectReader::unpack(Pack& pack, std::uint64_t offset, int& type) {
    struct Step {
        Pack* pack;
        std::uint64_t offset, data_offset, size;
    };
    std::vector<Step> deltas;
    Pack* at = &pack;
    std::uint64_t where = offset;
    Content base;
    for (;;) {
        if (deltas.size() > std::size_t(kMaxChain)) corrupt_pack("delta chain too long");
        if ((base = cached(*at, where, type))) break;
        const Header h = at->header_at(where);
        if (type_name(h.type)) {
            type = h.type;
            base = std::make_shared<std::string>(inflate(*at, h.data_offset, at->end_of(where), h.size));
            if (!deltas.empty()) remember(*at, where, type, base);
            break;
        }
        deltas.push_back({at, where, h.data_offset, h.size});
        if (h.type == kOfsDelta) {
            where = h.base_offset;
            continue;
        }
        const Found found = find(h.base);
        if (!found.pack) {
            std::string loose;
            if (!read_loose(h.base, type, loose)) corrupt(h.base, "a delta's base is missing");
            base = std::make_shared<std::string>(std::move(loose));
            break;
        }
        at = found.pack;
        where = found.offset;
    }
    for (auto step = deltas.rbegin(); step != deltas.rend(); ++step) {
        const std::string delta = inflate(*step->pack, step->data_offset, step->pack->end_of(step->offset), step->size);
        base = std::make_shared<std::string>(apply_delta(*base, delta));
        if (std::next(step) != deltas.rend()) remember(*step->pack, step->offset, type, base);
    }
    return base;
}

bool ObjectReader::read_loose(const ObjectId& id, int& type, std::string& out) {
    const std::string hex = to_hex(id);
    std::string raw;
    if (!fs::read_file(objects_dir_ + "/" + hex.substr(0, 2) + "/" + hex.substr(2), raw)) return false;
    py::Ref view = py::Ref::steal(PyMemoryView_FromMemory(raw.data(), Py_ssize_t(raw.size()), PyBUF_READ));
    PyObject* args[] = {view.get()};
    py::Ref data = py::Ref::steal(PyObject_Vectorcall(static_cast<PyObject*>(decompress_), args, 1, nullptr));
    if (!PyBytes_Check(data)) corrupt(id, "loose object");
    const std::string_view all(PyBytes_AS_STRING(data.get()), std::size_t(PyBytes_GET_SIZE(data.get())));
    const std::size_t space = all.find(' '), nul = all.find('\0');
    if (space == std::string_view::npos || nul == std::string_view::npos || space > nul) corrupt(id, "loose header");
    const std::string_view name = all.substr(0, space);
    type = 0;
    for (int t = 1; t <= 4; ++t) {
        if (name == type_name(t)) type = t;
    }
    const std::string_view body = all.substr(nul + 1);
    if (type == 0 || all.substr(space + 1, nul - space - 1) != std::to_string(body.size())) corrupt(id, "loose header");
    out.assign(body);
    if (object_name(name, out) != id) corrupt(id, "does not hash to its name");
    return true;
}

bool ObjectReader::read(const ObjectId& id, int& type, std::string& out) {
    const Found found = find(id);
    if (!found.pack) return read_loose(id, type, out);
    Content content = unpack(*found.pack, found.offset, type);
    if (object_name(type_name(type), *content) != id) corrupt(id, "does not hash to its name");
    if (content.use_count() == 1) {
        out = std::move(*content);
    } else {
        out = *content;
    }
    return true;
}

bool ObjectReader::stream_blob(const ObjectId& id, std::uint64_t threshold, const Sink& sink) {
    const Found found = find(id);
    if (!found.pack) return false;
    Pack& pack = *found.pack;
    const Header h = pack.header_at(found.offset);
    if (h.type != kBlobObject || h.size < threshold) return false;
    constexpr std::size_t kPiece = 1u << 20;
    py::Ref zlib = py::Ref::steal(PyImport_ImportModule("zlib"));
    py::Ref stream = py::Ref::steal(PyObject_CallMethod(zlib, "decompressobj", nullptr));
    py::Ref hashlib = py::Ref::steal(PyImport_ImportModule("hashlib"));
    py::Ref sha = py::Ref::steal(PyObject_CallMethod(hashlib, "sha1", nullptr));
    const std::string header = object_header("blob", std::size_t(h.size));
    py::Ref ignored = py::Ref::steal(PyObject_CallMethod(sha, "update", "y#", header.data(), Py_ssize_t(header.size())));
    py::Ref limit = py::Ref::steal(PyLong_FromSize_t(kPiece));
    std::uint64_t total = 0;
    auto take = [&](PyObject* piece) {
        const auto length = std::size_t(PyBytes_GET_SIZE(piece));
        total += length;
        if (total > h.size) corrupt_pack("object larger than its header says");
        py::Ref hashed = py::Ref::steal(PyObject_CallMethod(sha, "update", "O", piece));
        if (length) sink(PyBytes_AS_STRING(piece), length);
    };
    const std::uint64_t end = pack.end_of(found.offset);
    std::string raw;
    for (std::uint64_t at = h.data_offset; at < end;) {
        pack.file.read_at(at, std::size_t(std::min<std::uint64_t>(kPiece, end - at)), raw);
        if (raw.empty()) corrupt_pack("truncated object");
        at += raw.size();
        py::Ref input = py::Ref::steal(PyBytes_FromStringAndSize(raw.data(), Py_ssize_t(raw.size())));
        for (;;) {
            py::Ref out = py::Ref::steal(PyObject_CallMethod(stream, "decompress", "OO", input.get(), limit.get()));
            if (!PyBytes_Check(out)) corrupt_pack("object contents");
            take(out);
            input = py::Ref::steal(PyObject_GetAttrString(stream, "unconsumed_tail"));
            if (!PyBytes_Check(input) || PyBytes_GET_SIZE(input.get()) == 0) break;
        }
        if (PyObject_IsTrue(py::Ref::steal(PyObject_GetAttrString(stream, "eof"))) == 1) break;
    }
    if (total != h.size) corrupt_pack("object smaller than its header says");
    py::Ref digest = py::Ref::steal(PyObject_CallMethod(sha, "digest", nullptr));
    if (!PyBytes_Check(digest) || PyBytes_GET_SIZE(digest.get()) != 20 ||
        std::memcmp(PyBytes_AS_STRING(digest.get()), id.data(), 20) != 0) {
        corrupt(id, "does not hash to its name");
    }
    return true;
}

}  // namespace sections::git
