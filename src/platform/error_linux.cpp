#include "platform/error.h"

#include <cerrno>
#include <system_error>

namespace cassasync {

Status errno_status(const std::string& what) {
    const int code = errno;
    // error_code::message is thread-safe where strerror is not.
    std::string text = std::error_code(code, std::generic_category()).message();
    if (what.empty()) return Status::error(text);
    return Status::error(what + ": " + text);
}

}  // namespace cassasync
