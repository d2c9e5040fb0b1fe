// The operation log on real files: a message is always one line of bounded length,
// whatever register text it carries, the system's own messages pass unchanged, and
// after midnight the lines go into the new day's file.
#include "core/operation_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

constexpr const char* kStamp = "07/12/2026-10:00:00";

// True when `text` is well-formed UTF-8 (no stray or missing continuation bytes).
bool is_utf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                                 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

class OperationLogTest : public ::testing::Test {
protected:
    OperationLogTest() { EXPECT_TRUE(log_.open(file_).is_ok()); }

    // The file's whole content, and then an empty file for the next check.
    std::string take_text() {
        log_.close();
        std::string text = testing::read_text_file(file_);
        std::filesystem::remove(file_);
        EXPECT_TRUE(log_.open(file_).is_ok());
        return text;
    }

    // A day's file, read while the log still holds it open: every line is flushed.
    std::string day_text(const char* name) const { return testing::read_text_file(dir_.path() / name); }

    testing::TempDir dir_;
    std::filesystem::path file_ = dir_.path() / "logqvo_07122026.txt";
    platform::FixedClock clock_{{2026, 12, 7, 10, 0, 0}};
    core::OperationLog log_{clock_};
};

TEST_F(OperationLogTest, AMessageIsOneLineWhateverItHolds) {
    log_.progress("A\r\nB");
    EXPECT_EQ(take_text(), std::string(kStamp) + "-  A  B\r\n");

    // A surname that tries to write a line of its own, with a date of its choosing.
    log_.write("- Cliente ROSSI\r\n01/01/2020-00:00:00- Avvio programma");
    EXPECT_EQ(take_text(), std::string(kStamp) + "- Cliente ROSSI  01/01/2020-00:00:00- Avvio programma\r\n");

    std::string controls;
    for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
    controls += '\x7F';
    log_.write("<" + controls + ">");
    EXPECT_EQ(take_text(), std::string(kStamp) + "<" + std::string(controls.size(), ' ') + ">\r\n");

    // The system's own texts, printable ASCII and other characters pass byte for byte.
    const std::string own[] = {
        "- Apro DB  C:\\tarvi\\dati.mdb",
        "-  Controllo cassa Nr.3 ...NON COLLEGATA",
        "1 - ERRORE : SOCIETA CON CODICE 1 NON ESISTE C:\\vurk\\tarvi.mdb",
        "-  Caffè d'orzo ~ 1,50 € ",
        std::string(core::kMaxMessageBytes, 'x'),
    };
    for (const std::string& message : own) {
        log_.write(message);
        EXPECT_EQ(take_text(), std::string(kStamp) + message + "\r\n") << message.substr(0, 60);
    }
}

TEST_F(OperationLogTest, ALongMessageIsCutOnACharacterBoundary) {
    std::string huge = "- Barcode ";
    while (huge.size() < 100 * 1024) huge += "8001234567890 ";
    log_.write(huge);
    const std::string text = take_text();
    ASSERT_EQ(text.find("\r\n"), text.size() - 2) << "one line";
    const std::string message = text.substr(19, text.size() - 21);
    EXPECT_LE(message.size(), core::kMaxMessageBytes);
    EXPECT_GE(message.size(), core::kMaxMessageBytes - 8) << "cut near the bound, not far before it";
    EXPECT_EQ(message.substr(0, 100), huge.substr(0, 100));

    // A two-, three- and four-byte character at every position across the bound.
    for (const char* wide : {"è", "€", "\xF0\x9F\x98\x80"}) {
        for (std::size_t lead = core::kMaxMessageBytes - 12; lead < core::kMaxMessageBytes + 4; ++lead) {
            std::string long_text(lead, 'a');
            while (long_text.size() < core::kMaxMessageBytes + 20) long_text += wide;
            log_.write(long_text);
            const std::string line = take_text();
            const std::string written = line.substr(19, line.size() - 21);
            EXPECT_TRUE(is_utf8(written)) << wide << " after " << lead << " bytes";
            EXPECT_LE(written.size(), core::kMaxMessageBytes) << wide << " after " << lead << " bytes";
            ASSERT_GE(written.size(), 3u);
            EXPECT_EQ(written.substr(written.size() - 3), "...") << wide << " after " << lead << " bytes";
            EXPECT_EQ(long_text.compare(0, written.size() - 3, written, 0, written.size() - 3), 0)
                << wide << " after " << lead << " bytes: the start of the message";
        }
    }
}

TEST_F(OperationLogTest, AfterMidnightTheLinesGoIntoTheNewDaysFile) {
    clock_.set({2026, 12, 7, 23, 59, 59});
    log_.write("- Inizio elaborazione ");
    EXPECT_EQ(day_text("logqvo_07122026.txt"), "07/12/2026-23:59:59- Inizio elaborazione \r\n");

    clock_.advance_seconds(1);
    log_.progress("Controllo cassa Nr.1 ...OK");
    log_.write("- Inizio elaborazione ");
    EXPECT_EQ(day_text("logqvo_08122026.txt"),
              "08/12/2026-00:00:00-  Controllo cassa Nr.1 ...OK\r\n08/12/2026-00:00:00- Inizio elaborazione \r\n");
    EXPECT_EQ(day_text("logqvo_07122026.txt"), "07/12/2026-23:59:59- Inizio elaborazione \r\n")
        << "the day before keeps only its own lines";
    EXPECT_EQ(log_.file(), dir_.path() / "logqvo_08122026.txt");

    // Across New Year the January file is begun.
    clock_.set({2026, 12, 31, 23, 59, 59});
    log_.write("- Fine anno");
    clock_.advance_seconds(1);
    log_.write("- Inizio anno");
    EXPECT_EQ(day_text("logqvo_31122026.txt"), "31/12/2026-23:59:59- Fine anno\r\n");
    EXPECT_EQ(day_text("logqvo_01012027.txt"), "01/01/2027-00:00:00- Inizio anno\r\n");

    // Start-up named the day's file just before midnight and opens it just after: the
    // first line still goes into the new day's file.
    log_.close();
    clock_.set({2027, 1, 2, 0, 0, 0});
    ASSERT_TRUE(log_.open(dir_.path() / "logqvo_01012027.txt").is_ok());
    log_.write("- Avvio programma");
    EXPECT_EQ(day_text("logqvo_02012027.txt"), "02/01/2027-00:00:00- Avvio programma\r\n");
}

// The new day's file cannot be opened (here a folder stands in its place): no line is
// lost, standard error says so once, and a later line opens the file once it can.
TEST_F(OperationLogTest, ANewDaysFileThatCannotBeOpenedLeavesTheLinesInTheOldOne) {
    const std::filesystem::path next = dir_.path() / "logqvo_08122026.txt";
    std::filesystem::create_directory(next);
    clock_.set({2026, 12, 8, 0, 0, 5});
    ::testing::internal::CaptureStderr();
    log_.write("- Inizio elaborazione ");
    log_.progress("Controllo cassa Nr.1 ...OK");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(day_text("logqvo_07122026.txt"),
              "08/12/2026-00:00:05- Inizio elaborazione \r\n08/12/2026-00:00:05-  Controllo cassa Nr.1 ...OK\r\n");
    const std::string notice = "cassasync: the new day's operation log: cannot open " + next.string() +
                               " for appending: Is a directory; its lines go on in " + file_.string() +
                               " until it can be opened\n";
    EXPECT_EQ(said, notice);

    std::filesystem::remove(next);
    clock_.advance_seconds(5);
    log_.write("- Inizio elaborazione ");
    EXPECT_EQ(day_text("logqvo_08122026.txt"), "08/12/2026-00:00:10- Inizio elaborazione \r\n");
    EXPECT_EQ(log_.file(), next);
}

// The log's disk is full mid-run: the service goes on, and standard error says once
// that the log is not being written, naming the file and the reason.
TEST(OperationLogFailure, ALogThatCannotBeWrittenIsSaidOnceOnStandardError) {
    const std::filesystem::path full = "/dev/full";  // every write fails as on a full disk
    if (!std::filesystem::exists(full)) GTEST_SKIP() << "this system has no /dev/full";
    platform::FixedClock clock{{2026, 12, 7, 10, 0, 0}};
    core::OperationLog log{clock};
    ASSERT_TRUE(log.open(full).is_ok());
    ::testing::internal::CaptureStderr();
    log.write("- Inizio elaborazione ");
    log.progress("Cassa-1-Scontrino-5-8001234567890");
    log.progress("Cassa-1-Scontrino-6-8001234567890");
    const std::string said = ::testing::internal::GetCapturedStderr();
    const std::string notice = "cassasync: cannot write the operation log /dev/full: No space left on device";
    EXPECT_EQ(said.rfind(notice, 0), 0u) << said;
    EXPECT_EQ(said.find(notice, 1), std::string::npos) << "said once: " << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

// A nearly full disk takes a short line and refuses a long one, turn by turn (a file-size
// limit makes the kernel answer as a full disk does, with short writes). Every line in
// the file is whole, and standard error tells of the spell once, and of its end once,
// however often it alternates within the hour; an hour later a new spell is told again.
// Run in a child process, whose limit and standard error bind no other test.
TEST(OperationLogFailure, OnANearlyFullDiskLinesAreWholeAndTheNoticeComesOncePerSpell) {
    testing::TempDir dir;
    const auto file = dir.path() / "logqvo_07122026.txt";
    const auto said_file = dir.path() / "stderr.txt";
    constexpr int kTurns = 20;
    const std::string long_message(1200, 'x');  // cut to the longest line, over the limit
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int err = ::open(said_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(10);
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(11);
        platform::FixedClock clock{{2026, 12, 7, 10, 0, 0}};
        core::OperationLog log{clock};
        if (!log.open(file).is_ok()) ::_exit(12);
        for (int turn = 0; turn < kTurns; ++turn) {
            log.write(long_message);
            log.write("-  Cassa-1-Scontrino-" + std::to_string(turn));
            clock.advance_seconds(60);
        }
        clock.advance_seconds(2 * 60 * 60);
        log.write(long_message);
        log.write("-  fine");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const std::string text = testing::read_text_file(file);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const auto end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "a line without its end: " << text.substr(at);
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kTurns) + 1) << text;
    for (int turn = 0; turn < kTurns; ++turn) {
        const std::string& line = lines[static_cast<std::size_t>(turn)];
        ASSERT_EQ(line.size(), 19u + std::string("-  Cassa-1-Scontrino-").size() + std::to_string(turn).size())
            << line;
        EXPECT_EQ(line.substr(19), "-  Cassa-1-Scontrino-" + std::to_string(turn));
    }
    EXPECT_EQ(lines.back().substr(19), "-  fine");

    const std::string said = testing::read_text_file(said_file);
    const std::string notice = "cassasync: cannot write the operation log " + file.string() +
                               ": No space left on device; its lines are lost until it can be written again\n";
    const std::string again = "cassasync: the operation log can be written again: " + file.string() + "\n";
    EXPECT_EQ(said, notice + again + notice + again);
}

}  // namespace
}  // namespace cassasync::frame
