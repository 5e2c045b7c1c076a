#include "compat.hpp"

#include <algorithm>

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

bool stack_exhausted_slow(ThreadRecord& record, std::uintptr_t here) {
    if (record.stack_floor == UINTPTR_MAX) record.stack_floor = compute_stack_floor();
    return here < record.stack_floor;
}

}  // namespace py::compat
