// One operation at a time on a working copy (lock.cpp): clone, pull and push hold an
// exclusive lock of the operating system on the file "<local_dir>.lock" beside the
// working copy, across threads and processes.
#pragma once

#include "common.hpp"

namespace sections::git {

struct HeldLock;

// Held from construction to destruction. A thread that already holds the lock of the
// same working copy (a clone inside a pull, a subclass's method calling another) holds
// it once more; any other caller waits, without the GIL, up to `self.lock_timeout`
// seconds, then TimeoutError names the directory.
class WorkingCopyLock {
public:
    // What a lock needs of a working copy that is not there: `Make` (clone and pull
    // make it) creates the folder the lock file goes in; `Skip` (push fails on it)
    // takes no lock.
    enum class Missing { Make, Skip };
    WorkingCopyLock(Call& c, PyObject* self, Missing missing);
    ~WorkingCopyLock();
    WorkingCopyLock(const WorkingCopyLock&) = delete;
    WorkingCopyLock& operator=(const WorkingCopyLock&) = delete;

private:
    HeldLock* held_ = nullptr;  // none for a working copy that is not there (Skip)
};

}  // namespace sections::git
