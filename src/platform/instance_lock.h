// One service per shop root. Two services on the same root would both take a
// register's semaphore as their own and import the same receipt lines twice. The lock
// is an advisory lock on a file below the root, held while the process lives: the
// system drops it when the process ends, however it ends.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/error.h"

namespace cassasync::platform {

class InstanceLock {
public:
    // Takes the lock on `file` (created when absent) and writes this process's id in it.
    // Returns null with `status` saying why when the file cannot be opened or another
    // process holds the lock (its id is named when known).
    static std::unique_ptr<InstanceLock> acquire(const std::filesystem::path& file, Status& status);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace cassasync::platform
