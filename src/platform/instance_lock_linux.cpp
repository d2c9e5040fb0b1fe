#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace cassasync::platform {
namespace {

// The holder's process id as it wrote it; empty when unreadable.
std::string read_holder(int fd) {
    char buf[32] = {};
    const ssize_t got = pread(fd, buf, sizeof buf - 1, 0);
    std::string text(buf, got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text.find_first_not_of("0123456789") == std::string::npos ? text : std::string();
}

}  // namespace

std::unique_ptr<InstanceLock> InstanceLock::acquire(const std::filesystem::path& file, Status& status) {
    // Close-on-exec: a loader the service starts must not hold the lock after it.
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        status = errno_status("open " + file.string());
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            const std::string holder = read_holder(fd);
            status = Status::error("another cassasync is already running on this root" +
                                   (holder.empty() ? std::string() : " (process " + holder + ")") + ": " +
                                   file.string() + " is locked");
        } else {
            status = errno_status("lock " + file.string());
        }
        close(fd);
        return nullptr;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    // The id only serves the message above: a failure to write it changes nothing else.
    [[maybe_unused]] const bool written =
        ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
    status = Status::ok();
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() { close(fd_); }

}  // namespace cassasync::platform
