// The few file operations the service needs on local (already mapped) paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace cassasync::platform {

// True when an ordinary file (not a folder) exists there; any error gives false.
bool file_exists(const std::filesystem::path& p);

// Which file a path names: a file replaced under the same name (restored from a backup,
// or written anew and renamed over the old one) has another identity than the old one.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
// The identity of the file there now; none when it cannot be reached.
std::optional<FileIdentity> file_identity(const std::filesystem::path& p);

// Names in `folder` that match a pattern with '*' and '?' wildcards, compared
// case-insensitively like Windows; an unreadable folder gives no names. Only ordinary
// files count; each is returned as folder / name, in sorted order.
std::vector<std::filesystem::path> match_files(const std::filesystem::path& folder,
                                               const std::string& pattern);

// Deletes every matching ordinary file; returns how many were deleted.
int delete_matching(const std::filesystem::path& folder, const std::string& pattern);

// Makes a file's written content, or a folder's entries (files created, renamed or
// removed in it), durable with fsync(2): until then the system may hold them in memory
// only, and a power cut loses them.
Status sync_to_disk(const std::filesystem::path& p);

// A file open for appending whole lines (the operation log). Each append is one
// write(2) on an O_APPEND descriptor, with no buffer in between: an append the disk can
// take only part of is cut off again, so the file never holds half a line with the next
// line glued to it, and nothing refused stays behind to reach the file later. One
// writer per file; move-only, closed when it goes.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(AppendFile&& other) noexcept;
    AppendFile& operator=(AppendFile&& other) noexcept;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens for appending, creating the file when absent (never creates folders).
    static AppendFile open(const std::filesystem::path& p, Status& status);

    explicit operator bool() const { return fd_ >= 0; }
    // Appends all of `bytes` or, as far as the file system allows, nothing: after a short
    // write the file is cut back to its length before the append.
    Status append(std::string_view bytes);

private:
    explicit AppendFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace cassasync::platform
