#include "platform/file_system.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/text.h"

namespace cassasync::platform {
namespace {

namespace fs = std::filesystem;

// '*' matches any run of characters, '?' exactly one; ASCII letters match either case.
bool wildcard_match(const std::string& pattern, const std::string& name) {
    // "*.*" stands for every file on Windows, names without a dot included.
    if (pattern == "*.*") return true;
    std::size_t p = 0, n = 0;
    std::size_t star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || base::fold_ascii(pattern[p]) == base::fold_ascii(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

bool file_exists(const std::filesystem::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

std::optional<FileIdentity> file_identity(const std::filesystem::path& p) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::vector<std::filesystem::path> match_files(const std::filesystem::path& folder,
                                               const std::string& pattern) {
    std::vector<fs::path> found;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return found;
    for (const fs::directory_entry& entry : it) {
        std::error_code type_ec;
        if (!entry.is_regular_file(type_ec)) continue;
        if (wildcard_match(pattern, entry.path().filename().string())) found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

int delete_matching(const std::filesystem::path& folder, const std::string& pattern) {
    int deleted = 0;
    for (const fs::path& file : match_files(folder, pattern)) {
        std::error_code ec;
        if (fs::remove(file, ec)) ++deleted;
    }
    return deleted;
}

Status sync_to_disk(const std::filesystem::path& p) {
    // Read-only is enough for fsync, and the only way to open a folder.
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno_status("cannot open " + p.string() + " to sync it");
    int rc = 0;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    const Status status = rc == 0 ? Status::ok() : errno_status("cannot sync " + p.string());
    ::close(fd);
    return status;
}

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

AppendFile::AppendFile(AppendFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

AppendFile AppendFile::open(const std::filesystem::path& p, Status& status) {
    // O_CLOEXEC keeps the file out of programs the service starts.
    const int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        status = errno_status("cannot open " + p.string() + " for appending");
        return AppendFile();
    }
    status = Status::ok();
    return AppendFile(fd);
}

Status AppendFile::append(std::string_view bytes) {
    if (fd_ < 0) return Status::error("the file is not open");
    ssize_t written = -1;
    do {
        written = ::write(fd_, bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return errno_status("");
    if (static_cast<std::size_t>(written) == bytes.size()) return Status::ok();
    // Part of it went in: with O_APPEND the offset is now the file's end, so the length
    // before the append is that less what was written.
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end >= written && ::ftruncate(fd_, end - written) != 0) return errno_status("cut back a partial write");
    // A short write is the file system's way of saying it is full.
    errno = ENOSPC;
    return errno_status("");
}

}  // namespace cassasync::platform
