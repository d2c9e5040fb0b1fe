#include "frame/operation_log.h"

#include <cstdio>

namespace cassasync::frame {

std::string log_file_name(const platform::LocalTime& day) {
    std::string d = platform::short_date(day);  // dd/mm/yyyy
    return "logqvo_" + d.substr(0, 2) + d.substr(3, 2) + d.substr(6, 4) + ".txt";
}

Status OperationLog::open(const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    Status st;
    auto h = platform::open_for_append(file, st);
    if (!st) return st;
    handle_ = std::move(h);
    file_ = file;
    return Status::ok();
}

bool OperationLog::is_open() const {
    std::lock_guard lock(mutex_);
    return handle_ != nullptr;
}

void OperationLog::close() {
    std::lock_guard lock(mutex_);
    handle_.reset();
}

void OperationLog::write(const std::string& message) {
    auto now = clock_.now();
    std::string line = platform::short_date(now) + "-" + platform::long_time(now) + message;
    std::lock_guard lock(mutex_);
    if (echo_) std::fprintf(stderr, "%s\n", line.c_str());
    if (!handle_) return;
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), handle_.get());
    std::fflush(handle_.get());
}

}  // namespace cassasync::frame
