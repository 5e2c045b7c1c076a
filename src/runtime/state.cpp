#include "state.hpp"

#include "coroutine.hpp"
#include "function.hpp"
#include "signature.hpp"

#include <string>

namespace py {

namespace {

// Made on first use: the registrations run while the library loads, in no fixed
// order across its sources.
std::vector<std::string>& name_texts() {
    static std::vector<std::string> texts;
    return texts;
}
// Each text's index: every place that spells a name registers it, and all of them
// share one entry of the table.
std::unordered_map<std::string, int>& name_indexes() {
    static std::unordered_map<std::string, int> indexes;
    return indexes;
}
int cache_kinds = 0;

}  // namespace

int detail::register_name(std::string text) {
    auto& texts = name_texts();
    auto [at, added] = name_indexes().try_emplace(text, (int)texts.size());
    if (added) texts.push_back(std::move(text));
    return at->second;
}

int detail::register_cache() { return cache_kinds++; }

State* State::of(PyObject* module) { return *static_cast<State**>(PyModule_GetState(module)); }

State* State::create(PyObject* module) {
    auto state = std::make_unique<State>();
    state->caches.resize(cache_kinds);
    state->names.reserve(name_texts().size());
    for (const std::string& text : name_texts()) {
        PyObject* name = PyUnicode_InternFromString(text.c_str());
        if (!name) return nullptr;
        state->names.push_back(name);
    }
    *static_cast<State**>(PyModule_GetState(module)) = state.get();
    State* made = state.release();
    // The types hold the module (and so this state) for as long as an object of theirs lives.
    if (init_function_type(*made, module) < 0 || init_coroutine_type(*made, module) < 0) return nullptr;
    return made;
}

int State::traverse(visitproc visit, void* arg) {
    Py_VISIT(function_type);
    Py_VISIT(coroutine_type);
    for (auto& cache : caches) {
        if (cache) {
            if (int rc = cache->traverse(visit, arg)) return rc;
        }
    }
    return 0;
}

// What may take part in a reference cycle. The names stay
// until free: a function of this module may still run while a collection clears its
// cycle, and they hold no object that can lead back here.
void State::clear() {
    Py_CLEAR(function_type);
    Py_CLEAR(coroutine_type);
    for (auto& cache : caches) {
        if (cache) cache->clear();
    }
}

State::~State() {
    clear();
    caches.clear();
    for (PyObject* name : names) Py_DECREF(name);
}

}  // namespace py
