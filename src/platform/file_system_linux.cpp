#include "platform/file_system.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#include <sys/stat.h>

namespace cassasync::platform {
namespace {

namespace fs = std::filesystem;

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

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
        } else if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
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

FileHandle open_for_append(const std::filesystem::path& p, Status& status) {
    // "e" (O_CLOEXEC) keeps the file out of programs the service starts.
    FileHandle file(std::fopen(p.c_str(), "abe"));
    if (!file) {
        status = errno_status("cannot open " + p.string() + " for appending");
        return file;
    }
    status = Status::ok();
    return file;
}

}  // namespace cassasync::platform
