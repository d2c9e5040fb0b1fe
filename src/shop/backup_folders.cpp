#include "shop/backup_folders.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace cassasync::shop {

namespace {

constexpr std::size_t kFolderNameLength = 15;  // YYYYMMDD-HHMMSS

bool is_backup_folder(const std::filesystem::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_directory() || name.size() != kFolderNameLength || name[8] != '-') return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return c == '-' || (c >= '0' && c <= '9'); });
}

}  // namespace

std::string folder_name(const platform::LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

std::vector<std::filesystem::path> backup_folders(const std::filesystem::path& root) {
    std::vector<std::filesystem::path> folders;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (is_backup_folder(*it)) folders.push_back(it->path());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

}  // namespace cassasync::shop
