#include "platform/path_map.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "base/text.h"

namespace cassasync::platform {
namespace {

namespace fs = std::filesystem;

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Splits at either separator. Each part loses its trailing blanks and dots, as on
// Windows ("dati.mdb " names dati.mdb). That leaves "." and ".." empty, and empty
// parts are dropped, so no configured path can climb out of the root.
std::vector<std::string> split_components(const std::string& text) {
    std::vector<std::string> parts;
    std::string current;
    auto flush = [&] {
        while (!current.empty() && (current.back() == ' ' || current.back() == '.')) current.pop_back();
        if (!current.empty()) parts.push_back(current);
        current.clear();
    };
    for (char c : text) {
        if (is_separator(c)) {
            flush();
        } else {
            current.push_back(c);
        }
    }
    flush();
    return parts;
}

// The entry of `dir` that is spelled like `name` apart from ASCII case; an exact
// spelling wins, otherwise the first in sorted order so the choice is stable.
std::optional<std::string> find_entry(const fs::path& dir, const std::string& name) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(dir / name, ec))) return name;
    std::optional<std::string> best;
    fs::directory_iterator it(dir, ec);
    if (ec) return std::nullopt;
    for (const fs::directory_entry& entry : it) {
        std::string candidate = entry.path().filename().string();
        if (base::equal_folded(candidate, name) && (!best || candidate < *best)) best = std::move(candidate);
    }
    return best;
}

}  // namespace

RootPathMap::RootPathMap(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path RootPathMap::to_local(const std::string& text) const {
    // A path ends at its first NUL, as every file call reads it: a name with one inside
    // must not look up one file and open another.
    const std::string windows_path = text.substr(0, text.find('\0'));
    if (windows_path.empty()) return {};

    fs::path base = root_;
    std::string rest;
    if (windows_path.size() >= 2 && is_separator(windows_path[0]) && is_separator(windows_path[1])) {
        base /= "net";
        rest = windows_path.substr(2);
    } else if (windows_path.size() >= 2 && windows_path[1] == ':' &&
               ((windows_path[0] >= 'A' && windows_path[0] <= 'Z') ||
                (windows_path[0] >= 'a' && windows_path[0] <= 'z'))) {
        const char drive = windows_path[0] >= 'a' ? static_cast<char>(windows_path[0] - 'a' + 'A')
                                                  : windows_path[0];
        base /= std::string(1, drive);
        rest = windows_path.substr(2);
    } else {
        rest = windows_path;
    }

    fs::path result = base;
    bool on_disk = true;  // once a component is missing, nothing below it can exist
    for (const std::string& component : split_components(rest)) {
        if (on_disk) {
            if (std::optional<std::string> found = find_entry(result, component)) {
                result /= *found;
                continue;
            }
            on_disk = false;
        }
        result /= component;
    }
    return result;
}

}  // namespace cassasync::platform
