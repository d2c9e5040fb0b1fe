#include "platform/stop_signals.h"

#include <pthread.h>
#include <time.h>

namespace cassasync::platform {

StopSignals::StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
}

bool StopSignals::wait(std::chrono::milliseconds timeout) {
    if (stopped_) return true;
    if (timeout.count() < 0) timeout = std::chrono::milliseconds(0);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    ts.tv_nsec = static_cast<long>(timeout.count() % 1000) * 1000000L;
    if (sigtimedwait(&set_, nullptr, &ts) > 0) stopped_ = true;
    return stopped_;
}

}  // namespace cassasync::platform
