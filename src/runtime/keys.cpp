#include "keys.hpp"

#include <cstring>

namespace py {

bool KeyTable::plain_equal(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b)) return false;  // a str never equals an int
    if (PyUnicode_CheckExact(a)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
    }
    return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

KeyTable::KeyTable(Py_ssize_t expected) {
    size_t capacity = 8;
    while (capacity < static_cast<size_t>(expected) + static_cast<size_t>(expected) / 2) capacity *= 2;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    entries_.reserve(static_cast<size_t>(expected));
}

Py_ssize_t KeyTable::add_at(size_t i, PyObject* key, Py_hash_t hash) {
    if (entries_.size() >= INT32_MAX - 1) raise(PyExc_MemoryError, "too many keys");
    entries_.push_back({hash, Ref::borrow(key)});
    slots_[i] = static_cast<std::int32_t>(entries_.size());
    // At most two thirds full.
    if (entries_.size() * 3 > slots_.size() * 2) grow();
    return size() - 1;
}

void KeyTable::grow() {
    slots_.assign(slots_.size() * 2, 0);
    mask_ = slots_.size() - 1;
    for (size_t e = 0; e < entries_.size(); ++e) {
        size_t i = static_cast<size_t>(entries_[e].hash) & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = static_cast<std::int32_t>(e + 1);
    }
}

// ---- the set ---------------------------------------------------------------------

void KeySet::use_python_set() {
    set_ = Ref::steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < table_.size(); ++i) check(PySet_Add(set_, table_.key(i)));
}

bool KeySet::python_contains(PyObject* key) {
    if (!set_) use_python_set();
    return check(PySet_Contains(set_, key)) != 0;
}

void KeySet::python_add(PyObject* key) {
    if (!set_) use_python_set();
    check(PySet_Add(set_, key));
}

// ---- the index -------------------------------------------------------------------

void KeyIndex::use_python_dict() {
    dict_ = new_dict();
    for (Py_ssize_t i = 0; i < table_.size(); ++i) setitem(dict_, table_.key(i), integer(i));
}

Py_ssize_t KeyIndex::find(PyObject* key) {
    if (!dict_ && KeyTable::plain(key)) return table_.find(key);
    if (!dict_) use_python_dict();
    if (!check(PyDict_Contains(dict_, key))) return -1;
    return PyLong_AsSsize_t(getitem(dict_, key));
}

Py_ssize_t KeyIndex::insert(PyObject* key, bool* added) {
    if (!dict_ && KeyTable::plain(key)) return table_.insert(key, added);
    if (!dict_) use_python_dict();
    *added = !check(PyDict_Contains(dict_, key));
    if (*added) setitem(dict_, key, integer(size()));
    return PyLong_AsSsize_t(getitem(dict_, key));
}

}  // namespace py
