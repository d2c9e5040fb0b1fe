// Reading what the operation log wrote: lines without their CR LF ends, and messages
// without the "dd/mm/yyyy-hh:mm:ss" stamp each line starts with, so that tests compare
// texts, not times.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cassasync::testing {

using Lines = std::vector<std::string>;

// The lines of `text`, a CR before each line end taken off.
Lines split_lines(const std::string& text);
// A log line's message: what follows the stamp (the line itself when too short).
std::string without_stamp(const std::string& line);
Lines without_stamps(const Lines& lines);
// The messages of every log file in `folder`, file after file.
Lines log_messages_in(const std::filesystem::path& folder);

}  // namespace cassasync::testing
