// Private sets and maps of ids, for walks that build them only to look things up.
//
// While every key is an exact str or an exact int -- keys whose hashing and comparing
// run no Python code -- the keys live in the module's own table, which neither makes
// nor resizes a Python object. The first key of another type moves them, in the
// order they came, into the Python set or dict the walk would have used, and from
// then on every operation is that container's: the hashes taken and the comparisons
// made are then the ones Python makes.
#pragma once

#include "ops.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace py {

class KeyTable {
public:
    // Sized for about `expected` keys.
    explicit KeyTable(Py_ssize_t expected);

    // The key's index (the order of first insertion), or -1.
    Py_ssize_t find(PyObject* key) const {
        const Py_hash_t hash = hash_of(key);
        return slots_[slot_of(key, hash)] - 1;
    }
    // The key's index; `*added` tells whether it was new.
    Py_ssize_t insert(PyObject* key, bool* added) {
        const Py_hash_t hash = hash_of(key);
        const size_t i = slot_of(key, hash);
        *added = slots_[i] == 0;
        return *added ? add_at(i, key, hash) : slots_[i] - 1;
    }
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(entries_.size()); }
    PyObject* key(Py_ssize_t index) const { return entries_[static_cast<size_t>(index)].key; }

    static bool plain(PyObject* key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

private:
    struct Entry {
        Py_hash_t hash;
        Ref key;
    };
    // A plain key's hash: a str's cached one when it has it (hashing a plain key
    // cannot fail).
    static Py_hash_t hash_of(PyObject* key) {
        if (PyUnicode_CheckExact(key)) {
            const Py_hash_t cached = compat::cached_hash(key);
            if (cached != -1) return cached;
        }
        return PyObject_Hash(key);
    }
    // The slot holding `key`, or the empty slot where it would go.
    size_t slot_of(PyObject* key, Py_hash_t hash) const {
        for (size_t i = static_cast<size_t>(hash) & mask_;; i = (i + 1) & mask_) {
            const std::int32_t slot = slots_[i];
            if (slot == 0) return i;
            const Entry& entry = entries_[static_cast<size_t>(slot - 1)];
            if (entry.hash == hash && (entry.key.get() == key || plain_equal(entry.key, key))) return i;
        }
    }
    // str == str and int == int as Python decides them, for two distinct objects.
    static bool plain_equal(PyObject* a, PyObject* b) {
        if (Py_TYPE(a) != Py_TYPE(b)) return false;  // a str never equals an int
        if (!PyUnicode_CheckExact(a)) return int_equal(a, b);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        const int kind = PyUnicode_KIND(a);
        if (n != PyUnicode_GET_LENGTH(b) || kind != PyUnicode_KIND(b)) return false;
        const auto* x = static_cast<const unsigned char*>(PyUnicode_DATA(a));
        const auto* y = static_cast<const unsigned char*>(PyUnicode_DATA(b));
        const size_t bytes = static_cast<size_t>(n) * kind;
        if (bytes > 16) return std::memcmp(x, y, bytes) == 0;
        for (size_t i = 0; i < bytes; ++i) {  // ids are short: no call for them
            if (x[i] != y[i]) return false;
        }
        return true;
    }
    static bool int_equal(PyObject* a, PyObject* b);
    // Puts a new key into the empty slot `i`; its index.
    Py_ssize_t add_at(size_t i, PyObject* key, Py_hash_t hash) {
        if (entries_.size() >= INT32_MAX - 1) too_many();
        entries_.push_back({hash, Ref::borrow(key)});
        slots_[i] = static_cast<std::int32_t>(entries_.size());
        if (entries_.size() * 3 > slots_.size() * 2) grow();  // at most two thirds full
        return size() - 1;
    }
    [[noreturn]] static void too_many();
    void grow();

    std::vector<Entry> entries_;
    std::vector<std::int32_t> slots_;  // 0: empty, else entry index + 1
    size_t mask_;
};

// A set: `key in s` and `s.add(key)`.
class KeySet {
public:
    explicit KeySet(Py_ssize_t expected = 0) : table_(expected) {}
    bool contains(PyObject* key) {
        if (!set_ && KeyTable::plain(key)) return table_.find(key) >= 0;
        return python_contains(key);
    }
    void add(PyObject* key) {
        bool added;
        if (!set_ && KeyTable::plain(key)) {
            table_.insert(key, &added);
        } else {
            python_add(key);
        }
    }
    // The keys are still in the module's own table: no lookup so far ran Python code.
    bool private_table() const { return !set_; }

private:
    bool python_contains(PyObject* key);
    void python_add(PyObject* key);
    void use_python_set();
    KeyTable table_;
    Ref set_;  // once a key is not plain
};

// A dict from key to the index of its first insertion, used as an adjacency map is:
class KeyIndex {
public:
    explicit KeyIndex(Py_ssize_t expected = 0) : table_(expected) {}
    // d[key] if key in d else -1
    Py_ssize_t find(PyObject* key);
    // if key not in d: d[key] = len(d)    (*added)
    // d[key]
    Py_ssize_t insert(PyObject* key, bool* added);
    // len(d)
    Py_ssize_t size() const { return dict_ ? PyDict_GET_SIZE(dict_.get()) : table_.size(); }

private:
    void use_python_dict();
    KeyTable table_;
    Ref dict_;  // key -> index, once a key is not plain
};

// The dict that `if key not in d: d[key] = []` and `d[key].append(value)` build, for
// plain keys: while every key is plain the keys are numbered in the module's table and
// each value kept with its key's number, and the dict is made at the end, each list at
// its final length with the room those appends would have left it (the same lists,
// sys.getsizeof included). Nothing about plain keys can tell the dict's operations
// were put off: they run no Python code, and the dict is nobody else's meanwhile.
class KeyLists {
public:
    explicit KeyLists(Py_ssize_t expected = 0) : keys_(expected) { values_.reserve(static_cast<size_t>(expected)); }
    ~KeyLists() {
        for (const auto& pair : values_) Py_DECREF(pair.second);
    }
    KeyLists(const KeyLists&) = delete;
    KeyLists& operator=(const KeyLists&) = delete;

    // Keeps the pair, taking the value over; false, keeping nothing and leaving the
    // value as it was, when the key is not plain.
    bool add(PyObject* key, Ref& value) {
        if (!KeyTable::plain(key)) return false;
        bool added;
        const Py_ssize_t k = keys_.insert(key, &added);
        if (added) lengths_.push_back(0);
        ++lengths_[static_cast<size_t>(k)];
        values_.emplace_back(k, value.get());
        value.release();  // once kept: a failed emplace leaves it with the caller
        return true;
    }
    // The dict of the pairs kept so far (once: it takes the values).
    Ref dict();

private:
    KeyTable keys_;
    std::vector<Py_ssize_t> lengths_;  // by number of the key
    // (number of the key, value), in order; the values are owned until dict() moves
    // them into the lists.
    std::vector<std::pair<Py_ssize_t, PyObject*>> values_;
};

// An exact dict in which looking up an exact str runs no Python code, told in
// constant time: its key table is of the kind that holds exact str keys only. False
// for a dict whose table once took a key of another type, whatever it holds now.
inline bool str_keyed(PyObject* o) { return PyDict_CheckExact(o) && compat::str_keys_only(o); }

// The expected number of items of a sized container (0 for other iterables).
inline Py_ssize_t expected_size(PyObject* o) {
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o);
    if (PyTuple_CheckExact(o)) return PyTuple_GET_SIZE(o);
    return 0;
}

}  // namespace py
