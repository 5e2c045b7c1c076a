#include "keys.hpp"

#include <cstring>

namespace py {

bool KeyTable::int_equal(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1; }

KeyTable::KeyTable(Py_ssize_t expected) {
    size_t capacity = 8;
    while (capacity < static_cast<size_t>(expected) + static_cast<size_t>(expected) / 2) capacity *= 2;
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    entries_.reserve(static_cast<size_t>(expected));
}

void KeyTable::too_many() { raise(PyExc_MemoryError, "too many keys"); }

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

// ---- the lists -------------------------------------------------------------------

Ref KeyLists::dict() {
    Ref d = new_dict();
    // Each list is held by the dict: making lists and adding plain keys to a dict no
    // one else has runs no Python code that could take one out.
    std::vector<PyObject*> lists;
    lists.reserve(lengths_.size());
    for (Py_ssize_t k = 0; k < keys_.size(); ++k) {
        Ref list = Ref::steal(PyList_New(compat::room_after_appends(lengths_[static_cast<size_t>(k)])));
        Py_SET_SIZE(list.get(), 0);  // the room's slots are NULL, and filled below
        setitem(d, keys_.key(k), list);
        lists.push_back(list);
    }
    // No allocation from here on: the lists fill in value order, their lengths always
    // what they hold.
    for (const auto& [k, value] : values_) {
        PyObject* list = lists[static_cast<size_t>(k)];
        const Py_ssize_t n = PyList_GET_SIZE(list);
        PyList_SET_ITEM(list, n, value);
        Py_SET_SIZE(list, n + 1);
    }
    values_.clear();
    lengths_.clear();
    return d;
}

}  // namespace py
