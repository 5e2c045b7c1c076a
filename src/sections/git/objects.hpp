// The repository's objects read here, for a checkout that reads every blob of a tree:
// from its packs (version 2 indexes; objects stored whole, or as deltas against
// another object of the pack or one named) and loose objects, inflated by Python's
// zlib, every object checked against its name. Recently used delta bases stay in
// memory, as git keeps them. Whatever is found in neither (a version 1 index, an
// alternate repository) is left to the caller.
#pragma once

#include "fs.hpp"
#include "sha1.hpp"

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sections::git {

class ObjectReader {
public:
    // `objects_dir`: the repository's objects folder; its pack indexes are read now.
    // A pack whose index or header is damaged is left out.
    explicit ObjectReader(const std::string& objects_dir);
    ~ObjectReader();
    ObjectReader(const ObjectReader&) = delete;
    ObjectReader& operator=(const ObjectReader&) = delete;

    // The type (1 commit, 2 tree, 3 blob, 4 tag) and contents of object `id`; false
    // when it is neither in a pack nor loose here. A corrupt object raises ValueError.
    bool read(const ObjectId& id, int& type, std::string& out);

    // A blob of `threshold` bytes or more stored whole in a pack, given to `sink` a piece
    // at a time instead of held whole; it is checked against its name at the end (a
    // corrupt one raises once its pieces are out). False, nothing given, for any other
    // object.
    using Sink = std::function<void(const char* data, std::size_t size)>;
    bool stream_blob(const ObjectId& id, std::uint64_t threshold, const Sink& sink);

    struct Pack;

private:
    // Objects are shared with the cache of delta bases; one no one else holds is
    // handed out without a copy.
    using Content = std::shared_ptr<std::string>;
    struct Found {
        Pack* pack = nullptr;
        std::uint64_t offset = 0;
    };
    Found find(const ObjectId& id);
    bool read_loose(const ObjectId& id, int& type, std::string& out);
    Content unpack(Pack& pack, std::uint64_t offset, int& type);
    std::string inflate(Pack& pack, std::uint64_t offset, std::uint64_t end, std::uint64_t size);
    Content cached(const Pack& pack, std::uint64_t offset, int& type);
    void remember(const Pack& pack, std::uint64_t offset, int type, const Content& content);

    std::string objects_dir_;
    std::vector<std::unique_ptr<Pack>> packs_;
    void* decompress_ = nullptr;  // zlib.decompress (a PyObject*, owned)
    // The delta base cache: (pack, offset) -> object, least recently used first.
    struct Entry {
        const Pack* pack;
        std::uint64_t offset;
        int type;
        Content content;
    };
    std::list<Entry> lru_;
    struct KeyHash {
        std::size_t operator()(const std::pair<const Pack*, std::uint64_t>& k) const noexcept {
            return std::hash<const void*>()(k.first) ^ (std::hash<std::uint64_t>()(k.second) * 31);
        }
    };
    std::unordered_map<std::pair<const Pack*, std::uint64_t>, std::list<Entry>::iterator, KeyHash> by_key_;
    std::size_t cached_bytes_ = 0;
};

}  // namespace sections::git
