// The few file operations the service needs on local (already mapped) paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
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

struct FileCloser {
    void operator()(std::FILE* f) const { if (f) std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens for appending, creating the file when absent (never creates folders).
FileHandle open_for_append(const std::filesystem::path& p, Status& status);

}  // namespace cassasync::platform
