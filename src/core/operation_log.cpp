#include "core/operation_log.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "base/text.h"

namespace cassasync::core {
namespace {

// Marks a message that was cut.
constexpr const char* kCutMark = "...";

// A spell of failed writes is reported at most this often.
constexpr long long kNoticeIntervalSeconds = 60 * 60;
// The end of a reported spell, on standard error; the log's path follows.
constexpr const char* kWrittenAgain = "cassasync: the operation log can be written again: ";

// The clock's time in whole seconds, for spacing the notices.
long long clock_seconds(const platform::LocalTime& t) {
    return std::llround(platform::date_time_serial(t) * 86400.0);
}

// The day logs' names: prefix + ddmmyyyy + suffix.
constexpr const char* kLogPrefix = "logqvo_";
constexpr const char* kLogSuffix = ".txt";
constexpr const char* kLogPattern = "logqvo_*.txt";

// Log names are compared as Windows compares them.
using base::equal_folded;

bool same_day(const platform::LocalTime& a, const platform::LocalTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

// The day in a log's name ("logqvo_ddmmyyyy.txt", any letter case), taken digit by
// digit; nothing when the name is not a day's log.
std::optional<platform::LocalTime> log_day(const std::string& file_name) {
    const std::string_view prefix = kLogPrefix;
    const std::string_view suffix = kLogSuffix;
    const std::size_t digits = 8;  // ddmmyyyy
    const std::string_view name = file_name;
    if (name.size() != prefix.size() + digits + suffix.size()) return std::nullopt;
    if (!equal_folded(name.substr(0, prefix.size()), prefix)) return std::nullopt;
    if (!equal_folded(name.substr(prefix.size() + digits), suffix)) return std::nullopt;
    int value[digits] = {};
    for (std::size_t k = 0; k < digits; ++k) {
        const char c = name[prefix.size() + k];
        if (c < '0' || c > '9') return std::nullopt;
        value[k] = c - '0';
    }
    platform::LocalTime day;
    day.day = value[0] * 10 + value[1];
    day.month = value[2] * 10 + value[3];
    day.year = ((value[4] * 10 + value[5]) * 10 + value[6]) * 10 + value[7];
    return day;
}

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The message as one line of bounded length: a CR or LF from register text would
// otherwise let it write a line of its own, with a date of its choosing.
std::string one_bounded_line(const std::string& message) {
    std::string text = message;
    if (text.size() > kMaxMessageBytes) {
        std::size_t cut = kMaxMessageBytes - std::char_traits<char>::length(kCutMark);
        // Never half a UTF-8 character; text that is not UTF-8 loses at most three bytes more.
        for (int back = 0; back < 3 && cut > 0 && is_continuation_byte(text[cut]); ++back) --cut;
        text.resize(cut);
        text += kCutMark;
    }
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = ' ';
    }
    return text;
}

}  // namespace

std::string log_file_name(const platform::LocalTime& day) {
    std::string d = platform::short_date(day);  // dd/mm/yyyy
    return kLogPrefix + d.substr(0, 2) + d.substr(3, 2) + d.substr(6, 4) + kLogSuffix;
}

bool is_last_months_log(const std::string& file_name, const platform::LocalTime& today) {
    // Last month's number; January gives 0 ("00"), which no log carries.
    const auto day = log_day(file_name);
    return day && day->month == today.month - 1;
}

// Only names whose month positions hold last month's digits go: a plain "*mm*" pattern
// would also take logs whose day or year holds those digits (in March of 2020-2029
// every log, today's included).
void delete_last_months_logs(const std::filesystem::path& folder, const platform::LocalTime& today) {
    const std::string today_name = log_file_name(today);
    for (const auto& file : platform::match_files(folder, kLogPattern)) {
        const std::string name = file.filename().string();
        if (equal_folded(name, today_name) || !is_last_months_log(name, today)) continue;
        std::error_code ec;
        std::filesystem::remove(file, ec);  // a log that cannot go is left for next month
    }
}

Status OperationLog::open(const std::filesystem::path& file) {
    std::lock_guard lock(mutex_);
    Status st;
    auto h = platform::AppendFile::open(file, st);
    if (!st) return st;
    handle_ = std::move(h);
    file_ = file;
    // The day comes from the name, not the clock: a start-up that opens the log at the
    // stroke of midnight still moves on to the new day at its first line.
    const auto day = log_day(file.filename().string());
    dated_ = day.has_value();
    if (day) day_ = *day;
    move_failing_ = false;
    return Status::ok();
}

void OperationLog::move_to_day(const platform::LocalTime& now) {
    const auto folder = file_.parent_path();
    const auto next = folder / log_file_name(now);
    Status st;
    auto h = platform::AppendFile::open(next, st);
    if (!st) {
        // Lines keep going into the old file rather than being lost; the next line tries again.
        if (!move_failing_) {
            std::fprintf(stderr, "cassasync: the new day's operation log: %s; its lines go on in %s until it can "
                                 "be opened\n",
                         st.message().c_str(), file_.c_str());
        }
        move_failing_ = true;
        return;
    }
    const bool new_month = now.month != day_.month || now.year != day_.year;
    handle_ = std::move(h);
    file_ = next;
    day_ = now;
    move_failing_ = false;
    // The service runs for months: without this the clean-up start-up does would only
    // happen when it is restarted.
    if (new_month) delete_last_months_logs(folder, now);
}

bool OperationLog::is_open() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handle_);
}

void OperationLog::close() {
    std::lock_guard lock(mutex_);
    handle_ = platform::AppendFile();
}

void OperationLog::write(const std::string& message) {
    const std::string text = one_bounded_line(message);
    std::lock_guard lock(mutex_);
    // The time is read under the lock, so that lines from several threads reach the files
    // in the order of their stamps: a line stamped before midnight never follows one
    // stamped after it, which would take the log back to the day before.
    const auto now = clock_.now();
    std::string line = platform::short_date(now) + "-" + platform::long_time(now) + text;
    if (echo_) std::fprintf(stderr, "%s\n", line.c_str());
    if (!handle_) return;
    if (dated_ && !same_day(now, day_)) move_to_day(now);
    line += "\r\n";
    const Status written = handle_.append(line);
    if (written) {
        if (failing_ && noticed_) std::fprintf(stderr, "%s%s\n", kWrittenAgain, file_.c_str());
        failing_ = false;
        noticed_ = false;
        return;
    }
    failing_ = true;
    // The service goes on without its log (a full disk must not stop the sales), but a
    // person must learn that the record is missing: once per spell, on standard error
    // (the service manager's journal, or the console).
    const long long seconds = clock_seconds(now);
    if (noticed_ || (last_notice_ != 0 && seconds - last_notice_ < kNoticeIntervalSeconds)) return;
    std::fprintf(stderr, "cassasync: cannot write the operation log %s: %s; its lines are lost until it can "
                         "be written again\n",
                 file_.c_str(), written.message().c_str());
    noticed_ = true;
    last_notice_ = seconds;
}

}  // namespace cassasync::core
