// The thread the processing cycle runs on while the window is shown. It starts on
// construction and runs its body once; an exception that escapes the body is written
// to the operation log and ends the thread, never the program. The window polls
// finished() so that it can close without blocking its own event loop.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "core/operation_log.h"

namespace cassasync::window {

class WorkerThread {
public:
    WorkerThread(std::function<void()> body, core::OperationLog& log);
    ~WorkerThread();  // joins: the owner asks the body to stop first
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool finished() const { return finished_.load(); }
    void join();

private:
    void run(const std::function<void()>& body, core::OperationLog& log);

    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace cassasync::window
