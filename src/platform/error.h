// The project's error value for operations that fail in normal running (a file that
// cannot be opened, a register that does not answer, a database that is locked).
// A Status is cheap to copy; an empty message means success.
#pragma once

#include <string>
#include <utility>

namespace cassasync {

class Status {
public:
    Status() = default;
    static Status ok() { return {}; }
    static Status error(std::string message) { return Status(std::move(message)); }

    bool is_ok() const { return message_.empty(); }
    explicit operator bool() const { return is_ok(); }
    const std::string& message() const { return message_; }

private:
    explicit Status(std::string message) : message_(std::move(message)) {
        if (message_.empty()) message_ = "unknown error";
    }
    std::string message_;
};

// Turns the current errno into a Status naming what was being done ("open /x/y").
Status errno_status(const std::string& what);

}  // namespace cassasync
