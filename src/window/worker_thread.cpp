#include "window/worker_thread.h"

#include <exception>
#include <string>

namespace cassasync::window {

namespace {
constexpr const char* kWorkerFailed = "Elaborazione fermata da un errore imprevisto: ";
}

WorkerThread::WorkerThread(std::function<void()> body, core::OperationLog& log)
    : thread_([this, body = std::move(body), &log] { run(body, log); }) {}

WorkerThread::~WorkerThread() { join(); }

void WorkerThread::join() {
    if (thread_.joinable()) thread_.join();
}

void WorkerThread::run(const std::function<void()>& body, core::OperationLog& log) {
    try {
        body();
    } catch (const std::exception& e) {
        log.progress(kWorkerFailed + std::string(e.what()));
    } catch (...) {
        log.progress(std::string(kWorkerFailed) + "errore sconosciuto");
    }
    finished_.store(true);
}

}  // namespace cassasync::window
