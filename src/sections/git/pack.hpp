// Packs as the working copy receives and reads them, a piece at a time: a fetched pack
// goes to disk with its index without any object held whole (but for the bases of
// deltas and their results), and a large blob goes from its pack into a file.
#pragma once

#include "common.hpp"

#include <cstdint>
#include <memory>

namespace sections::git {

// While installed, a fetch into `repo` hands the pack it receives to this module:
// dulwich's fetch spools the received pack to a temporary file and passes it to its
// object store's add_thin_pack, which is this module's (an attribute of that one
// store) until `remove()`. The pack is copied into the pack folder while its objects
// are inflated and hashed a piece at a time; the bases of a thin pack's deltas are
// appended, and its index (version 2) written beside it. A repository whose store is
// not a pack folder of SHA-1 objects is left to dulwich.
class StreamedPacks {
public:
    StreamedPacks(Call& c, PyObject* repo);
    // Takes the attribute away again. Never raises: the fetch's own error is the one
    // to report.
    void remove() noexcept;

private:
    Ref store_;
};

// While it lives, a push from `repo` sends a large blob a piece at a time: the records
// of its object store's generate_pack_data (an attribute of that one store until the
// end) hold such a blob's content as pieces, which dulwich's pack writer deflates and
// its transport sends one by one, where it would otherwise make a deflated copy of the
// whole blob and the transport copies of that; and the store's get_raw inflates a
// large loose object into its content a piece at a time.
class PiecewiseSend {
public:
    PiecewiseSend(Call& c, PyObject* repo);
    ~PiecewiseSend();
    PiecewiseSend(const PiecewiseSend&) = delete;
    PiecewiseSend& operator=(const PiecewiseSend&) = delete;

private:
    Ref store_;
    bool loose_ = false;  // its get_raw reads large loose objects a piece at a time too
};

// The blobs of a repository's packs, for writing a large one to a file: the indexes
// of its pack folder are read once, when made.
class PackedBlobs {
public:
    explicit PackedBlobs(PyObject* store);
    ~PackedBlobs();
    // The size of the blob `hex_sha` (a 40-digit bytes name) where it is in a pack and
    // holds at least `threshold` bytes; 0 otherwise (not packed, smaller, or no blob).
    std::uint64_t large_blob_size(PyObject* hex_sha, std::uint64_t threshold);
    // Writes the content of the packed blob `hex_sha` to the binary file object `out`,
    // a piece at a time where the pack stores it whole (resolved in memory where it is
    // a delta). Raises dulwich's ChecksumMismatch when the content does not hash to its
    // name, after having written it.
    void write_blob(PyObject* hex_sha, PyObject* out);

    struct Folder;

private:
    std::unique_ptr<Folder> folder_;
};

// The object name (40-digit bytes) of the file at `path` as a blob of its bytes as they
// are, read a piece at a time.
Ref file_blob_id(PyObject* path);

// store.add_object(blob) for dulwich's disk object store `store`; a blob of 16 MiB or
// more is written here as its loose object, deflated a piece at a time (dulwich
// deflates it whole and joins the pieces: two more copies of it in memory).
void add_blob(PyObject* store, PyObject* blob);

}  // namespace sections::git
