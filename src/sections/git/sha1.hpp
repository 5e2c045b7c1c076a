// SHA-1 as git names its objects: a plain incremental digest, and the name of a blob
// ("blob <size>\0" followed by the contents).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sections::git {

using ObjectId = std::array<std::uint8_t, 20>;

class Sha1 {
public:
    Sha1();
    void update(const void* data, std::size_t size);
    void update(std::string_view data) { update(data.data(), data.size()); }
    ObjectId finish();

private:
    void block(const std::uint8_t* p);
    std::uint32_t h_[5];
    std::uint64_t length_ = 0;
    std::uint8_t buffer_[64];
    std::size_t used_ = 0;
};

// SHA-1 of `data`; long inputs go through Python's hashlib (its SHA-1 uses the CPU's
// instructions for it where there are some), so the GIL must be held.
ObjectId sha1_of(std::string_view data);

// The object name of a blob holding `contents`; of an object of type `type` ("blob",
// "tree", "commit", "tag").
ObjectId blob_id(std::string_view contents);
ObjectId object_name(std::string_view type, std::string_view contents);
// "<type> <size>\0": the header every loose object's name is taken over.
std::string object_header(std::string_view type, std::size_t size);

// Forty lower-case hexadecimal digits, and back (false for anything else).
std::string to_hex(const ObjectId& id);
bool from_hex(std::string_view hex, ObjectId& out);

}  // namespace sections::git
