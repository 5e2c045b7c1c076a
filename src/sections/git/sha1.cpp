// SHA-1 (FIPS 180-4), written for clarity; a blob of a few megabytes hashes in a few
// milliseconds, well below the cost of reading it.
#include "sha1.hpp"

#include <cstring>

#include "runtime/ref.hpp"

namespace sections::git {
namespace {

inline std::uint32_t rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

Sha1::Sha1() : h_{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void Sha1::block(const std::uint8_t* p) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = std::uint32_t(p[4 * i]) << 24 | std::uint32_t(p[4 * i + 1]) << 16 | std::uint32_t(p[4 * i + 2]) << 8 |
               std::uint32_t(p[4 * i + 3]);
    }
    for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const std::uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
}

void Sha1::update(const void* data, std::size_t size) {
    auto* p = static_cast<const std::uint8_t*>(data);
    length_ += size;
    if (used_) {
        const std::size_t take = size < 64 - used_ ? size : 64 - used_;
        std::memcpy(buffer_ + used_, p, take);
        used_ += take;
        p += take;
        size -= take;
        if (used_ < 64) return;
        block(buffer_);
        used_ = 0;
    }
    for (; size >= 64; p += 64, size -= 64) block(p);
    if (size) {
        std::memcpy(buffer_, p, size);
        used_ = size;
    }
}

ObjectId Sha1::finish() {
    const std::uint64_t bits = length_ * 8;
    const std::uint8_t pad = 0x80;
    update(&pad, 1);
    const std::uint8_t zero[64] = {};
    update(zero, (used_ <= 56 ? 56 - used_ : 120 - used_));
    std::uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = std::uint8_t(bits >> (56 - 8 * i));
    update(tail, 8);
    ObjectId out;
    for (int i = 0; i < 5; ++i) {
        out[4 * i] = std::uint8_t(h_[i] >> 24);
        out[4 * i + 1] = std::uint8_t(h_[i] >> 16);
        out[4 * i + 2] = std::uint8_t(h_[i] >> 8);
        out[4 * i + 3] = std::uint8_t(h_[i]);
    }
    return out;
}

std::string object_header(std::string_view type, std::size_t size) {
    std::string header(type);
    header += ' ';
    header += std::to_string(size);
    header += '\0';
    return header;
}

namespace {

// hashlib.sha1(first + second).digest(), without joining the two.
ObjectId hashlib_sha1(std::string_view first, std::string_view second) {
    py::Ref hashlib = py::Ref::steal(PyImport_ImportModule("hashlib"));
    py::Ref sha = py::Ref::steal(PyObject_CallMethod(hashlib, "sha1", nullptr));
    for (std::string_view part : {first, second}) {
        if (part.empty()) continue;
        py::Ref view = py::Ref::steal(
            PyMemoryView_FromMemory(const_cast<char*>(part.data()), Py_ssize_t(part.size()), PyBUF_READ));
        py::Ref ignored = py::Ref::steal(PyObject_CallMethod(sha, "update", "O", view.get()));
    }
    py::Ref digest = py::Ref::steal(PyObject_CallMethod(sha, "digest", nullptr));
    if (!PyBytes_Check(digest) || PyBytes_GET_SIZE(digest.get()) != 20) {
        py::raise(PyExc_SystemError, "hashlib.sha1() gave no 20-byte digest");
    }
    ObjectId out;
    std::memcpy(out.data(), PyBytes_AS_STRING(digest.get()), 20);
    return out;
}

constexpr std::size_t kHashlibFrom = 64 * 1024;

}  // namespace

ObjectId sha1_of(std::string_view data) {
    if (data.size() >= kHashlibFrom) return hashlib_sha1(data, {});
    Sha1 sha;
    sha.update(data);
    return sha.finish();
}

ObjectId blob_id(std::string_view contents) { return object_name("blob", contents); }

ObjectId object_name(std::string_view type, std::string_view contents) {
    const std::string header = object_header(type, contents.size());
    if (contents.size() >= kHashlibFrom) return hashlib_sha1(header, contents);
    Sha1 sha;
    sha.update(header);
    sha.update(contents);
    return sha.finish();
}

std::string to_hex(const ObjectId& id) {
    static const char digits[] = "0123456789abcdef";
    std::string out(40, '0');
    for (std::size_t i = 0; i < id.size(); ++i) {
        out[2 * i] = digits[id[i] >> 4];
        out[2 * i + 1] = digits[id[i] & 15];
    }
    return out;
}

bool from_hex(std::string_view hex, ObjectId& out) {
    if (hex.size() != 40) return false;
    for (std::size_t i = 0; i < 40; ++i) {
        const char ch = hex[i];
        int v;
        if (ch >= '0' && ch <= '9') {
            v = ch - '0';
        } else if (ch >= 'a' && ch <= 'f') {
            v = ch - 'a' + 10;
        } else {
            return false;
        }
        if (i % 2 == 0) {
            out[i / 2] = std::uint8_t(v << 4);
        } else {
            out[i / 2] |= std::uint8_t(v);
        }
    }
    return true;
}

}  // namespace sections::git
