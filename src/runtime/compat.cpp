#include "compat.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>

#if defined(_WIN32)
// Without NOMINMAX the SDK's min and max macros break std::min under MSVC.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(__linux__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

namespace py::compat {

namespace {
// Room left for what runs between two checks: the interpreter evaluating a host
// method, and the C calls it makes before it comes back to one of ours.
constexpr std::uintptr_t kMargin = 64 * 1024;

std::uintptr_t floor_of(std::uintptr_t low, std::uintptr_t size) {
    return low + std::min(kMargin, size / 2);
}

// The lowest address this thread's native calls may reach: the end of its stack plus
// a margin for the interpreter code that runs between two checks (1 when the bounds
// are unknown, so that nothing is refused).
std::uintptr_t compute_stack_floor() {
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    if (high > low) return floor_of(low, high - low);
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attr;
#if defined(__linux__)
    const bool got = pthread_getattr_np(pthread_self(), &attr) == 0;
#else
    pthread_attr_init(&attr);
    const bool got = pthread_attr_get_np(pthread_self(), &attr) == 0;
#endif
    if (got) {
        void* low = nullptr;
        size_t size = 0;
        const bool known = pthread_attr_getstack(&attr, &low, &size) == 0 && low && size;
        pthread_attr_destroy(&attr);
        if (known) return floor_of(reinterpret_cast<std::uintptr_t>(low), size);
    }
#endif
    return 1;
}

}  // namespace

// ---- watchers ---------------------------------------------------------------------

namespace {

struct WatcherSlot {
    std::atomic<bool> taken{false};
    void* owner = nullptr;
    Watchers::DictChanged on_dict = nullptr;
    Watchers::TypeChanged on_type = nullptr;
};

// Enough for a few copies of the module in each of a few dozen interpreters; an
// owner that finds none free goes without (its fast path stays off).
constexpr int kWatcherSlots = 64;
WatcherSlot watcher_slots[kWatcherSlots];

template <int K>
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) {
    const WatcherSlot& slot = watcher_slots[K];
    if (slot.on_dict) slot.on_dict(slot.owner, dict, key);
    return 0;
}
template <int K>
int on_type_event(PyTypeObject*) {
    const WatcherSlot& slot = watcher_slots[K];
    if (slot.on_type) slot.on_type(slot.owner);
    return 0;
}

template <int... K>
constexpr auto dict_callbacks(std::integer_sequence<int, K...>) {
    return std::array<PyDict_WatchCallback, sizeof...(K)>{&on_dict_event<K>...};
}
template <int... K>
constexpr auto type_callbacks(std::integer_sequence<int, K...>) {
    return std::array<PyType_WatchCallback, sizeof...(K)>{&on_type_event<K>...};
}
constexpr auto kDictCallbacks = dict_callbacks(std::make_integer_sequence<int, kWatcherSlots>{});
constexpr auto kTypeCallbacks = type_callbacks(std::make_integer_sequence<int, kWatcherSlots>{});

}  // namespace

bool Watchers::acquire(void* owner, DictChanged on_dict, TypeChanged on_type) {
    if (slot_ >= 0) return true;
    for (int k = 0; k < kWatcherSlots; ++k) {
        bool expected = false;
        if (!watcher_slots[k].taken.compare_exchange_strong(expected, true)) continue;
        WatcherSlot& slot = watcher_slots[k];
        slot.owner = owner;
        slot.on_dict = on_dict;
        slot.on_type = on_type;
        slot_ = k;
        dict_id_ = PyDict_AddWatcher(kDictCallbacks[k]);
        type_id_ = dict_id_ < 0 ? -1 : PyType_AddWatcher(kTypeCallbacks[k]);
        if (type_id_ < 0) {
            PyErr_Clear();  // every id of the interpreter in use
            release();
            return false;
        }
        return true;
    }
    return false;
}

void Watchers::release() {
    if (slot_ < 0) return;
    // Unregistered before the slot is given back, so that no event reaches its next owner.
    if (dict_id_ >= 0 && PyDict_ClearWatcher(dict_id_) < 0) PyErr_Clear();
    if (type_id_ >= 0 && PyType_ClearWatcher(type_id_) < 0) PyErr_Clear();
    WatcherSlot& slot = watcher_slots[slot_];
    slot.on_dict = nullptr;
    slot.on_type = nullptr;
    slot.owner = nullptr;
    slot.taken.store(false);
    slot_ = dict_id_ = type_id_ = -1;
}

bool stack_exhausted_slow(ThreadRecord& record, std::uintptr_t here) {
    if (record.stack_floor == UINTPTR_MAX) record.stack_floor = compute_stack_floor();
    return here < record.stack_floor;
}

}  // namespace py::compat
