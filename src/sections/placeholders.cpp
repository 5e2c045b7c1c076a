// Tamarel.replace_str: placeholder expansion. "${{key}}" and "${{key|cache_name}}" are
// expanded innermost first through a host object (its cache, call expressions and text
// tests) until none is left; the result is stripped.
#include "tamarel.hpp"

#include "runtime/text.hpp"

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace sections::tamarel_members {
namespace {

using py::Call;
using py::Ref;

// The first "${{...}}" from the left whose inner text holds no brace: what
// re.search(r"\$\{\{([^{}]*)\}\}", text) matches, as its group 0. Empty if none.
struct Placeholder {
    Ref text;                 // group 0; empty when nothing matched
    Py_ssize_t start = -1;    // where it starts in the searched text, when known
};

// Finds the leftmost placeholder of each pass without reading the text again from
// its start, and tells whether the placeholder found occurs again after itself.
//
// A pass changes the text only from its match on, and the text after the match only
// where the placeholder occurs again. The scanner keeps the positions of the braces
// before the point where the next search may begin (see replaced), and an index of
// the unchanged end of the text, the tail: its braces and its placeholders, at their
// distances from the end, which the passes before them do not change. The first
// search reads the whole text once to build the index; the next ones read only the
// replaced part and then walk the tail's braces.
class PlaceholderScanner {
public:
    Placeholder find(PyObject* text) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const void* data = PyUnicode_DATA(text);
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: return find(text, static_cast<const Py_UCS1*>(data), n);
            case PyUnicode_2BYTE_KIND: return find(text, static_cast<const Py_UCS2*>(data), n);
            default: return find(text, static_cast<const Py_UCS4*>(data), n);
        }
    }

    // Whether `match`, the last placeholder found in `text`, occurs again after it.
    bool occurs_again(PyObject* text, const Placeholder& match) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const Py_ssize_t len = PyUnicode_GET_LENGTH(match.text);
        const Py_ssize_t end = match.start + len;
        const Py_ssize_t tail_start = n - tail_len_;
        // Between the match and the tail (the rest of a replaced part), and across
        // into the tail: searched.
        if (end < tail_start) {
            const Py_ssize_t found = PyUnicode_Find(text, match.text, end, std::min(n, tail_start + len - 1), 1);
            if (found == -2) py::fail();
            if (found >= 0) return true;
        }
        // Within the tail: one of its placeholders.
        auto [first, last] = placeholders_.equal_range(last_hash_);
        for (auto it = first; it != last; ++it) {
            const Py_ssize_t starts_there = PyUnicode_Tailmatch(text, match.text, n - it->second, n, -1);
            if (starts_there < 0) py::fail();
            if (starts_there) return true;
        }
        return false;
    }

    // The match at `start` was replaced, only there; `text` is the new text. Nothing
    // before `start` matched and that part is unchanged, so a new match that begins
    // earlier must reach into the replaced part: it begins within two characters of
    // `start`, or at a "${{" whose brace-free inner text runs up to `start`, or up to
    // a "}" just before `start` that the replacement's first "}" completes into "}}".
    void replaced(PyObject* text, Py_ssize_t start) {
        while (!braces_.empty() && braces_.back() >= start) braces_.pop_back();
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
        resume_ = start > 2 ? start - 2 : 0;
        size_t last = braces_.size();
        if (last == 0) return;
        Py_ssize_t j = braces_[last - 1];
        if (j == start - 1 && at(j) == '}') {
            if (last < 2) return;
            j = braces_[last - 2];
        }
        if (j >= 2 && at(j) == '{' && at(j - 1) == '{' && at(j - 2) == '$' && j - 2 < resume_) resume_ = j - 2;
    }

    // The text was searched or changed some other way, or is not an exact str.
    void reset() {
        braces_.clear();
        resume_ = 0;
        indexed_ = false;
    }

private:
    // FNV-1a of the characters' code points (the same for any storage kind).
    template <class Char>
    static std::uint64_t hash(const Char* s, Py_ssize_t len) {
        std::uint64_t h = 14695981039346656037ull;
        for (Py_ssize_t i = 0; i < len; ++i) h = (h ^ static_cast<std::uint64_t>(s[i])) * 1099511628211ull;
        return h;
    }

    // The text from `from` on becomes the tail: its braces, and the placeholders
    // among them -- "{{" after a "$", then "}}" as the next two braces.
    template <class Char>
    void index(const Char* s, Py_ssize_t from, Py_ssize_t n) {
        tail_.clear();
        placeholders_.clear();
        for (Py_ssize_t p = n - 1; p >= from; --p) {
            if (s[p] == '{' || s[p] == '}') tail_.push_back(n - p);
        }
        for (size_t i = tail_.size(); i >= 4; --i) {
            const Py_ssize_t q = n - tail_[i - 1];
            const Py_ssize_t p = n - tail_[i - 3];
            if (q > from && s[q - 1] == '$' && s[q] == '{' && n - tail_[i - 2] == q + 1 && s[q + 1] == '{' &&
                s[p] == '}' && n - tail_[i - 4] == p + 1 && s[p + 1] == '}') {
                placeholders_.emplace(hash(s + q - 1, p + 3 - q), n - (q - 1));
            }
        }
        tail_len_ = n - from;
        indexed_ = true;
    }

    // The first "}}" (from `resume_` on) whose last brace before is the "{" of a "${{"
    // ends the leftmost match: the one whose inner text holds no brace.
    template <class Char>
    Placeholder find(PyObject* text, const Char* s, Py_ssize_t n) {
        const Py_ssize_t from = resume_;
        while (!braces_.empty() && braces_.back() >= from) braces_.pop_back();
        if (!indexed_) index(s, from, n);
        const Py_ssize_t tail_start = n - tail_len_;
        auto closes = [&](Py_ssize_t p) {
            if (s[p] != '}' || p + 1 >= n || s[p + 1] != '}' || braces_.empty()) return false;
            const Py_ssize_t q = braces_.back();
            return s[q] == '{' && q >= 2 && s[q - 1] == '{' && s[q - 2] == '$' && q - 2 >= from;
        };
        auto match = [&](Py_ssize_t p) {
            const Py_ssize_t start = braces_.back() - 2;
            braces_.push_back(p);
            braces_.push_back(p + 1);
            last_hash_ = hash(s + start, p + 2 - start);
            if (p + 1 >= tail_start) {  // its "}}" ends in the tail
                tail_.pop_back();
                tail_len_ = n - (p + 2);
            }
            if (start >= tail_start) forget(n - start);
            return Placeholder{Ref::steal(PyUnicode_Substring(text, start, p + 2)), start};
        };
        // The part read character by character: what the last pass replaced.
        for (Py_ssize_t p = from; p < tail_start; ++p) {
            if (s[p] != '{' && s[p] != '}') continue;
            if (closes(p)) return match(p);
            braces_.push_back(p);
        }
        // Then the tail's braces, from the index.
        while (!tail_.empty()) {
            const Py_ssize_t p = n - tail_.back();
            tail_.pop_back();
            if (closes(p)) return match(p);
            braces_.push_back(p);
        }
        tail_len_ = 0;
        return {};
    }

    // The tail's placeholder at distance `distance` from the end left the tail.
    void forget(Py_ssize_t distance) {
        auto [first, last] = placeholders_.equal_range(last_hash_);
        for (auto it = first; it != last; ++it) {
            if (it->second == distance) {
                placeholders_.erase(it);
                return;
            }
        }
    }

    std::vector<Py_ssize_t> braces_;  // positions, before the next search's start
    Py_ssize_t resume_ = 0;
    bool indexed_ = false;
    std::vector<Py_ssize_t> tail_;  // the tail's braces, by distance from the end; the leftmost last
    Py_ssize_t tail_len_ = 0;
    std::unordered_multimap<std::uint64_t, Py_ssize_t> placeholders_;  // hash -> distance of its "$"
    std::uint64_t last_hash_ = 0;  // of the last match
};

constexpr const char* kPlaceholderPattern = "\\$\\{\\{([^{}]*)\\}\\}";

// re.search(pattern, text).group(0) through the module's `re`, or empty when there is
// no match. While `re` and `re.search` are the ones bound at import, the scan is done
// here; a rebinding of either is called as it is.
Placeholder search_placeholder(Call& c, PyObject* text, PlaceholderScanner& scanner) {
    py::Binding search = re_function(c, PY_NAME(search), c.state().get<ReAtImport>().search);
    if (search.native && PyUnicode_Check(text)) return scanner.find(text);
    scanner.reset();
    Ref match = py::call(search.object, py::text(kPlaceholderPattern), text);
    if (match.get() == Py_None) return {};
    return {py::call_method(match, PY_NAME(group), py::integer(0))};
}

Ref split_bar(PyObject* key_text) {
    if (PyUnicode_CheckExact(key_text)) {
        return Ref::steal(PyUnicode_Split(key_text, PY_STR("|"), -1));
    }
    return py::call_method(key_text, PY_NAME(split), PY_STR("|"));
}

// data.replace(match, str(value)), called on data itself unless it is an exact str;
// `data.replace` is looked up before str(value) runs, as Python evaluates it. The
// scanner follows the change, or starts over where it cannot.
Ref replace_all(PyObject* data, const Placeholder& match, PyObject* value, PlaceholderScanner& scanner) {
    if (!PyUnicode_CheckExact(data)) {
        scanner.reset();  // str(data) is a new text each pass
        Ref replace = py::getattr(data, PY_NAME(replace));
        Ref replacement = py::str(value);
        return py::call(replace, match.text, replacement);
    }
    if (match.start < 0) {  // found by a rebound re.search
        Ref replacement = py::str(value);
        return Ref::steal(PyUnicode_Replace(data, match.text, replacement, -1));
    }
    // The leftmost match is also the first occurrence of its own text.
    const bool again = scanner.occurs_again(data, match);
    Ref replacement = py::str(value);
    if (again) {
        scanner.reset();
        return py::replace_from(data, match.start, match.text, replacement);
    }
    Ref result = py::replace_at(data, match.start, match.text, replacement);
    if (PyUnicode_CheckExact(result)) scanner.replaced(result, match.start);
    return result;
}

// The key and the cache name of the pieces of a placeholder's inner text:
//     if len(pieces) == 2: key, cache_name = pieces
//     else: key, cache_name = pieces[0], None
void take_pieces(PyObject* pieces, Ref& key, Ref& cache_name) {
    if (py::check((int)PyObject_Size(pieces)) != 2) {
        key = Ref::steal(PyObject_GetItem(pieces, py::integer(0)));
        return;
    }
    std::tie(key, cache_name) = py::unpack2(pieces);
}

constexpr py::Params replace_str_params{"self, data, m_0002, tamarel_tools_error"};

Ref replace_str(Call& c) {
    auto [self, given_data, m_0002, tamarel_tools_error] = c.args<replace_str_params>();
    Ref data = Ref::borrow(given_data);

    PlaceholderScanner scanner;
    while (py::truthy(py::call_method(self, PY_NAME(is_extract), py::str(data)))) {
        Placeholder match = search_placeholder(c, py::str(data), scanner);
        if (!match.text) break;
        PyObject* full_match = match.text;
        Ref key_text = py::call_method(self, PY_NAME(remove_parentheses), full_match);

        // "key|cache_name" names a cache entry; any other number of pieces does not.
        Ref pieces = split_bar(key_text);
        Ref key;
        Ref cache_name;
        take_pieces(pieces, key, cache_name);

        Ref value;
        if (py::truthy(py::call_method(self, PY_NAME(is_extract), key))) {
            Ref nested = Ref::steal(PyUnicode_FromFormat("${{%U}}", py::str(key).get()));
            value = py::call_method(self, PY_NAME(replace_str), nested, m_0002, tamarel_tools_error);
        } else if (py::truthy(py::call_method(self, PY_NAME(identify_parentheses), key))) {
            value = py::call_method(self, PY_NAME(regular), key);
        } else {
            value = py::call_method(self, PY_NAME(get_cache), key);
        }

        if (value.get() == Py_None) {
            Ref kwargs = py::new_dict();
            py::setitem(kwargs, PY_NAME(value), py::tuple(key));
            py::raise_object(py::call_args(tamarel_tools_error, py::star_args(tamarel_tools_error, m_0002), kwargs));
        }
        if (cache_name && py::truthy(cache_name)) {
            py::call_method(self, PY_NAME(set_cache), cache_name, value);
        }
        data = replace_all(data, match, value, scanner);
    }
    if (PyUnicode_Check(data)) return py::call_method(data, PY_NAME(strip));
    return data;
}

}  // namespace

const py::FunctionDef replace_str_def{"replace_str", "Tamarel.replace_str", nullptr,
                                      py::impl<replace_str, replace_str_params>};

}  // namespace sections::tamarel_members
