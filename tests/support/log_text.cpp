// Log lines and messages for tests (log_text.h).
#include "support/log_text.h"

#include <sstream>

#include "support/shop_fixture.h"

namespace cassasync::testing {

namespace {
constexpr std::size_t kStampWidth = 19;  // "dd/mm/yyyy-hh:mm:ss"
}

Lines split_lines(const std::string& text) {
    Lines out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

std::string without_stamp(const std::string& line) {
    return line.size() >= kStampWidth ? line.substr(kStampWidth) : line;
}

Lines without_stamps(const Lines& lines) {
    Lines out;
    out.reserve(lines.size());
    for (const auto& l : lines) out.push_back(without_stamp(l));
    return out;
}

Lines log_messages_in(const std::filesystem::path& folder) {
    Lines out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        for (const auto& l : split_lines(read_text_file(entry.path()))) out.push_back(without_stamp(l));
    }
    return out;
}

}  // namespace cassasync::testing
