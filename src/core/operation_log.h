// The daily operation log: the service's only durable record of what it did. One file
// per day, "C:\tarvi\bkp\logqvo_ddmmyyyy.txt" (mapped below the root), opened at
// start-up and kept until the program ends; the service runs for months, so the first
// line after midnight goes into the new day's file in the same folder, and when a month
// begins last month's logs are removed as start-up removes them. Each line is the short
// date, "-", the long time and the message, ended by CR LF and flushed at once so that
// nothing is lost when the process dies. Safe to write from any thread. Messages carry
// register text (surnames, barcodes), so a message can neither start a line of its own
// nor grow without bound: control characters become blanks and a long message is cut.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_system.h"

namespace cassasync::core {

// The "-  " lead-in of progress and error lines.
inline constexpr const char* kProgress = "-  ";
// The most bytes of one message that reach the log, the mark of a cut included.
inline constexpr std::size_t kMaxMessageBytes = 1000;

class OperationLog {
public:
    explicit OperationLog(const platform::Clock& clock) : clock_(clock) {}

    // Opens `file` for appending. When it is a day's log ("logqvo_ddmmyyyy.txt"), a line
    // written on another day goes into that day's file in the same folder.
    Status open(const std::filesystem::path& file);
    bool is_open() const;
    void close();
    const std::filesystem::path& file() const { return file_; }

    // Writes one line: date + "-" + time + message. Start-up opens the log before its
    // first line; a line written while the log is closed goes only to standard error
    // when echo is on. A line reaches the file whole or not at all. A line that cannot
    // be written is lost; standard error says so once per spell (at most once an hour,
    // so that a nearly full disk that takes one line and refuses the next does not
    // repeat it), and says once when lines reach the file again. A line of another day than the open file's
    // goes into that day's file; while that file cannot be opened, lines go on in the
    // old one (said once on standard error) and each later line tries again.
    void write(const std::string& message);
    void progress(const std::string& message) { write(kProgress + message); }

    // Standard error gets a copy of every line too (headless console use).
    void echo_to_stderr(bool on) { echo_ = on; }

private:
    // REQUIRES: mutex_ held, handle_ open on a day's log.
    void move_to_day(const platform::LocalTime& now);

    const platform::Clock& clock_;
    mutable std::mutex mutex_;
    std::filesystem::path file_;
    platform::AppendFile handle_;
    platform::LocalTime day_;    // the day whose log is open
    bool dated_ = false;         // the open file is a day's log, so it moves on with the day
    bool echo_ = false;
    bool failing_ = false;       // the last write did not reach the file
    bool noticed_ = false;       // a spell was reported and its end not yet
    long long last_notice_ = 0;  // when the last spell was reported, in seconds of the clock
    bool move_failing_ = false;  // the new day's file could not be opened at the last try
};

// "logqvo_" + ddmmyyyy + ".txt" for the given day.
std::string log_file_name(const platform::LocalTime& day);

// Whether `file_name` is an operation log of last month ("logqvo_ddmmyyyy.txt" whose mm
// are the month before `today`'s, "00" in January).
bool is_last_months_log(const std::string& file_name, const platform::LocalTime& today);

// Deletes last month's logs in `folder`, never today's: run by start-up and when the
// running log enters a new month. A log that cannot be deleted is left for next month.
void delete_last_months_logs(const std::filesystem::path& folder, const platform::LocalTime& today);

}  // namespace cassasync::core
