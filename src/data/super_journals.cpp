#include "data/super_journals.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>

namespace cassasync::data {
namespace {

namespace fs = std::filesystem;

// SQLite's suffix of a super-journal's name, after the main database's name.
constexpr const char* kSuperSuffix = "-mj";
// The end of a rollback journal that names a super-journal: the name, its length (4
// bytes, big-endian), the sum of its bytes (4 bytes) and these 8 bytes.
constexpr std::array<unsigned char, 8> kJournalMagic = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};
constexpr std::size_t kTrailer = 16;  // length, sum, magic

std::optional<std::string> read_all(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
}

std::uint32_t big_endian(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<unsigned char>(bytes[at + k]);
    return v;
}

// The super-journal a rollback journal names at its end, as SQLite reads it; empty when
// it names none.
std::string named_super_journal(const std::string& journal) {
    if (journal.size() < kTrailer) return {};
    const std::size_t trailer = journal.size() - kTrailer;
    for (std::size_t k = 0; k < kJournalMagic.size(); ++k) {
        if (static_cast<unsigned char>(journal[trailer + 8 + k]) != kJournalMagic[k]) return {};
    }
    const std::uint32_t length = big_endian(journal, trailer);
    if (length == 0 || length > trailer) return {};
    const std::string name = journal.substr(trailer - length, length);
    std::uint32_t sum = 0;
    for (char c : name) sum += static_cast<unsigned char>(c);
    if (sum != big_endian(journal, trailer + 4)) return {};
    return name.substr(0, name.find('\0'));
}

// Whether some journal the super-journal lists still needs it: a hot journal (its first
// byte is not 0, so SQLite will roll it back) that names it. Nothing when that cannot be
// told.
std::optional<bool> still_needed(const fs::path& super_journal) {
    const auto listed = read_all(super_journal);
    if (!listed) return std::nullopt;
    std::size_t at = 0;
    while (at < listed->size()) {
        const std::size_t end = std::min(listed->find('\0', at), listed->size());
        const fs::path journal = listed->substr(at, end - at);
        at = end + 1;
        if (journal.empty()) continue;
        std::error_code ec;
        if (!fs::exists(journal, ec)) {
            if (ec) return std::nullopt;
            continue;
        }
        const auto bytes = read_all(journal);
        if (!bytes) return std::nullopt;
        if (bytes->empty() || (*bytes)[0] == '\0') continue;  // not hot: never rolled back
        // The name is SQLite's full path name: compared as files, not as texts, so that
        // a link on the way cannot make a needed super-journal look foreign.
        const std::string named = named_super_journal(*bytes);
        if (named.empty()) continue;
        std::error_code same_ec;
        if (fs::equivalent(named, super_journal, same_ec)) return true;
        if (same_ec && fs::exists(named)) return std::nullopt;
    }
    return false;
}

}  // namespace

std::vector<fs::path> remove_orphan_super_journals(const fs::path& main_database) {
    std::vector<fs::path> removed;
    const fs::path absolute = fs::absolute(main_database);
    const std::string prefix = absolute.filename().string() + kSuperSuffix;
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(absolute.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        std::error_code type_ec;
        if (name.rfind(prefix, 0) == 0 && entry.is_regular_file(type_ec)) found.push_back(entry.path());
    }
    for (const auto& super_journal : found) {
        if (still_needed(super_journal).value_or(true)) continue;
        if (fs::remove(super_journal, ec)) removed.push_back(super_journal);
    }
    return removed;
}

}  // namespace cassasync::data
