#include "frame/operation_log.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

namespace cassasync::frame {
namespace {

// Marks a message that was cut.
constexpr const char* kCutMark = "...";

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The message as one line of bounded length: a CR or LF from register text would
// otherwise let it write a line of its own, with a date of its choosing.
std::string one_bounded_line(const std::string& message) {
    std::string text = message;
    if (text.size() > kMaxMessageBytes) {
        std::size_t cut = kMaxMessageBytes - std::char_traits<char>::length(kCutMark);
        // Never half a UTF-8 character; text that is not UTF-8 loses at most three bytes more.
        for (int back = 0; back < 3 && cut > 0 && is_continuation_byte(text[cut]); ++back) --cut;
        text.resize(cut);
        text += kCutMark;
    }
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = ' ';
    }
    return text;
}

}  // namespace

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
    std::string line = platform::short_date(now) + "-" + platform::long_time(now) + one_bounded_line(message);
    std::lock_guard lock(mutex_);
    if (echo_) std::fprintf(stderr, "%s\n", line.c_str());
    if (!handle_) return;
    line += "\r\n";
    const bool written = std::fwrite(line.data(), 1, line.size(), handle_.get()) == line.size() &&
                         std::fflush(handle_.get()) == 0;
    if (written) {
        failing_ = false;
        return;
    }
    const int error = errno;
    std::clearerr(handle_.get());
    // The service goes on without its log (a full disk must not stop the sales), but a
    // person must learn that the record is missing: once per spell, on standard error
    // (the service manager's journal, or the console).
    if (!failing_) {
        std::fprintf(stderr, "cassasync: cannot write the operation log %s: %s; its lines are lost until it can "
                             "be written again\n",
                     file_.c_str(), std::error_code(error, std::generic_category()).message().c_str());
    }
    failing_ = true;
}

}  // namespace cassasync::frame
