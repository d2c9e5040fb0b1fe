// The real programs: a shop made by `cassasync-shop`, the service `cassasync` run
// headless on it, its exit status, its console and its log.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cassasync_version.h"
#include "data/database.h"
#include "platform/pinger.h"
#include "support/child_process.h"
#include "support/log_text.h"
#include "support/programs.h"
#include "support/shop_fixture.h"
#include "support/small_file_system.h"

namespace cassasync::frame {
namespace {

using testing::kServiceProgram;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Lines;
using testing::split_lines;
using testing::without_stamps;


class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() : shop_(work_.path() / "shop") { fs::create_directories(shop_); }

    // A program's output and error in two files, emptied for each program.
    testing::ChildOptions separate_streams(testing::ChildOptions options = {}) const {
        options.error = work_.path() / "stderr.txt";
        options.truncate = true;
        return options;
    }
    // Runs a program to its end (one minute at most) and gives its exit status.
    int run(const std::vector<std::string>& argv, const testing::ChildOptions& env = {}) {
        last_ = std::make_unique<testing::ChildProcess>(argv, work_.path() / "stdout.txt", separate_streams(env));
        auto status = last_->wait_for(60s);
        EXPECT_TRUE(status.has_value()) << argv[0] << " did not end";
        return status.value_or(-1);
    }
    void shop(const std::vector<std::string>& args) {
        ASSERT_EQ(run(testing::shop_args(shop_, args)), 0) << last_->err();
    }
    std::vector<std::string> service(const std::vector<std::string>& args) {
        return testing::service_args(shop_, args);
    }
    fs::path log_folder() const { return shop_ / "C" / "tarvi" / "bkp"; }
    // All a complete start-up says on standard error: which build serves which root.
    std::string starting_line() const {
        return std::string("cassasync ") + CASSASYNC_VERSION + ": starting on " + shop_.string() + "\n";
    }
    // The one log in the log folder.
    fs::path log_file() const {
        for (const auto& e : fs::directory_iterator(log_folder())) {
            if (e.is_regular_file()) return e.path();
        }
        return {};
    }
    // The messages of the one log in the log folder, without their date and time.
    Lines log_messages() const {
        std::vector<fs::path> logs;
        // Files only: the daily copies have a folder of their own in there.
        for (const auto& e : fs::directory_iterator(log_folder())) {
            if (e.is_regular_file()) logs.push_back(e.path());
        }
        EXPECT_EQ(logs.size(), 1u);
        if (logs.empty()) return {};
        EXPECT_EQ(logs[0].filename().string().rfind("logqvo_", 0), 0u) << logs[0];
        return without_stamps(split_lines(testing::read_text_file(logs[0])));
    }
    fs::path register_file(int n) const {
        return shop_ / "net" / ("127.0.0." + std::to_string(n)) / "cassa" / "dati.mdb";
    }
    std::string flag(int n) {
        data::Database reg(register_file(n));
        return data::describe(reg.scalar("SELECT Flag1 FROM Semafori"));
    }
    // Waits up to a minute for `text` on a running program's console.
    static bool wait_for_output(testing::ChildProcess& child, const std::string& text) {
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (child.out().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= until || !child.running()) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    testing::TempDir work_;
    fs::path shop_;
    std::unique_ptr<testing::ChildProcess> last_;
};

const Lines kStartUp = {"- Avvio programma",
                        "- Apro DB  C:\\tarvi\\dati.mdb",
                        "- Apro DB  C:\\tarvi\\vendite.mdb",
                        "-  >>>>> ATTENDERE PREGO...  <<<<<",
                        "-  IL PROGRAMMA STA EFFETTUANDO ",
                        "-  IL CONTROLLO ",
                        "-  CONTROLLO IL DATABASE TARVI",
                        "- Apro DB  C:\\vurk\\tarvi.mdb",
                        "-  DB OK  ",
                        "-  CONTROLLO DB TARVI OK",
                        "-  CONTROLLO COLLEGAMENTO CASSE"};

TEST_F(ServiceTest, CyclesZeroEndsAfterStartUp) {
    shop({"init"});
    EXPECT_EQ(run(service({"--cycles", "0"})), 0) << last_->err();
    // A shop without a copy is copied right after start-up; the run after it, minutes
    // later, finds that copy recent enough.
    Lines first = log_messages();
    ASSERT_EQ(first.size(), kStartUp.size() + 1);
    const std::string copy_line = first.back();
    EXPECT_EQ(copy_line.rfind("- Copia di sicurezza in " + (log_folder() / "copie").string() + "/", 0), 0u) << copy_line;
    EXPECT_NE(copy_line.find(": 4 file copiati e verificati"), std::string::npos) << copy_line;
    first.pop_back();
    EXPECT_EQ(first, kStartUp);
    EXPECT_EQ(last_->out(), "");
    EXPECT_EQ(last_->err(), starting_line());

    // The root from the environment; no display at all also means headless.
    testing::ChildOptions env;
    env.set_env["CASSASYNC_ROOT"] = shop_.string();
    env.unset_env = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    EXPECT_EQ(run(testing::service_command({"--cycles", "0"}), env), 0) << last_->err();
    Lines twice = kStartUp;
    twice.push_back(copy_line);
    twice.insert(twice.end(), kStartUp.begin(), kStartUp.end());
    EXPECT_EQ(log_messages(), twice);
}

TEST_F(ServiceTest, TwoCyclesOnThreeLoopbackRegisters) {
    if (!platform::IcmpPinger::available()) GTEST_SKIP() << "this process may not open an ICMP socket";
    shop({"demo", "--articles", "20"});
    EXPECT_EQ(run(service({"--cycles", "2", "--tick-ms", "100"})), 0) << last_->err();

    const auto lines = log_messages();
    Lines expected = kStartUp;
    for (const char* l : {"- Cassa 1 OK", "- Cassa 2 OK", "- Cassa 3 OK"}) expected.push_back(l);
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(expected.size())), expected);

    int cycles = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != "- Inizio elaborazione ") continue;
        ++cycles;
        ASSERT_LT(i + 3, lines.size());
        EXPECT_EQ(Lines(lines.begin() + static_cast<long>(i) + 1, lines.begin() + static_cast<long>(i) + 4),
                  (Lines{"-  Controllo cassa Nr.1 ...OK", "-  Controllo cassa Nr.2 ...OK",
                         "-  Controllo cassa Nr.3 ...OK"}))
            << "cycle " << cycles;
    }
    EXPECT_EQ(cycles, 2);
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(flag(n), "0") << "register " << n;

    const Lines console = split_lines(last_->out());
    ASSERT_EQ(console.size(), 2u) << last_->out();
    EXPECT_EQ(console[0].rfind("ciclo 1: casse collegate 3/3, durata ", 0), 0u) << console[0];
    EXPECT_EQ(console[1].rfind("ciclo 2: casse collegate 3/3, durata ", 0), 0u) << console[1];
}

TEST_F(ServiceTest, WithoutTheCompanyDatabaseTheMessageGoesToStandardError) {
    shop({"init"});
    fs::remove(shop_ / "C" / "vurk" / "tarvi.mdb");
    EXPECT_EQ(run(service({"--cycles", "0"})), 0);
    EXPECT_NE(last_->err().find("ERRORE : FILE C:\\vurk\\tarvi.mdb NON ESISTE "), std::string::npos) << last_->err();
    EXPECT_EQ(log_messages(), Lines{"- Avvio programma"});

    // Cycles go on, each saying that the database name is missing.
    EXPECT_EQ(run(service({"--cycles", "2", "--tick-ms", "10"})), 0);
    EXPECT_EQ(log_messages(), (Lines{"- Avvio programma", "- Avvio programma", "- Inizio elaborazione ",
                                     "-  ERRORE :NOME DB NON ESISTE....", "- Inizio elaborazione ",
                                     "-  ERRORE :NOME DB NON ESISTE...."}));

    // On another drive the company database is looked for there.
    EXPECT_EQ(run(service({"--cycles", "0", "--drive", "d"})), 0);
    EXPECT_NE(last_->err().find("ERRORE : FILE D:\\vurk\\tarvi.mdb NON ESISTE "), std::string::npos) << last_->err();
}

// Run as a system service, the console is all a person sees: a start-up that stopped
// says there why, on which file, and what mends it.
TEST_F(ServiceTest, AStartUpThatStoppedSaysWhyAndWhatMendsItOnStandardError) {
    shop({"init"});
    const fs::path company = shop_ / "C" / "vurk" / "tarvi.mdb";
    fs::remove(company);
    EXPECT_EQ(run(service({"--cycles", "0"})), 0);
    EXPECT_NE(last_->err().find(company.string()), std::string::npos) << last_->err();
    EXPECT_NE(last_->err().find("cassasync-shop init"), std::string::npos) << last_->err();

    // A damaged company database.
    std::ofstream(company, std::ios::binary) << "not a database: a few words where the header should be";
    EXPECT_EQ(run(service({"--cycles", "0"})), 0);
    EXPECT_NE(last_->err().find("tarvi.mdb"), std::string::npos) << last_->err();
    EXPECT_NE(last_->err().find("backup"), std::string::npos) << last_->err();

    // A main database that is not where the company record says.
    fs::remove(company);
    shop({"init"});
    fs::remove(shop_ / "C" / "tarvi" / "dati.mdb");
    EXPECT_EQ(run(service({"--cycles", "0"})), 0);
    EXPECT_NE(last_->err().find("C:\\TARVI\\DATI.MDB"), std::string::npos) << last_->err();
    EXPECT_NE(last_->err().find("società"), std::string::npos) << last_->err();

    // A complete start-up says nothing more than its version.
    shop({"init"});
    EXPECT_EQ(run(service({"--cycles", "0"})), 0);
    EXPECT_EQ(last_->err(), starting_line());
}

// A service that runs across midnight, under a clock that starts shortly before New Year
// and runs ten times fast: the lines after midnight are in the new day's file, and the
// clean-up of January (the logs of month "00") runs while the service is running.
TEST_F(ServiceTest, AfterMidnightTheLogContinuesInTheNewDaysFile) {
    const std::string faketime = "/usr/bin/faketime";
    if (!fs::exists(faketime)) GTEST_SKIP() << faketime << " is missing (Debian package faketime)";
    shop({"init"});
    // Start-up on 31 December takes November's logs; this one goes only when January begins.
    const fs::path month_00 = log_folder() / "logqvo_10002026.txt";
    const fs::path december = log_folder() / "logqvo_15122026.txt";
    for (const auto& f : {month_00, december}) std::ofstream(f) << "x\r\n";

    testing::ChildOptions env;
    // The faked clock comes as a preloaded library, which the sanitizer runtime would
    // otherwise refuse to follow.
    env.set_env["ASAN_OPTIONS"] = testing::asan_options_with_preload();
    std::vector<std::string> argv = {faketime, "-f", "@2026-12-31 23:59:40 x10"};
    for (const auto& a : service({"--cycles", "15", "--tick-ms", "2000"})) argv.push_back(a);
    ASSERT_EQ(run(argv, env), 0) << last_->err();

    const Lines before = split_lines(testing::read_text_file(log_folder() / "logqvo_31122026.txt"));
    const Lines after = split_lines(testing::read_text_file(log_folder() / "logqvo_01012027.txt"));
    ASSERT_FALSE(before.empty()) << "no line before midnight: " << last_->err();
    ASSERT_FALSE(after.empty()) << "no line after midnight";
    for (const auto& l : before) EXPECT_EQ(l.rfind("31/12/2026-23:59:", 0), 0u) << l;
    for (const auto& l : after) EXPECT_EQ(l.rfind("01/01/2027-00:", 0), 0u) << l;

    const Lines after_messages = without_stamps(after);
    Lines messages = without_stamps(before);
    messages.insert(messages.end(), after_messages.begin(), after_messages.end());
    ASSERT_GE(messages.size(), kStartUp.size());
    EXPECT_EQ(Lines(messages.begin(), messages.begin() + static_cast<long>(kStartUp.size())), kStartUp);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "- Inizio elaborazione "), 15);
    EXPECT_GE(std::count(after_messages.begin(), after_messages.end(), "- Inizio elaborazione "), 1);
    EXPECT_FALSE(fs::exists(month_00));
    EXPECT_TRUE(fs::exists(december));
}

TEST_F(ServiceTest, ALogThatCannotBeOpenedEndsWithStatusOne) {
    shop({"init"});
    fs::remove_all(log_folder());
    EXPECT_EQ(run(service({"--cycles", "0"})), 1);
    EXPECT_NE(last_->err().find("C:\\tarvi\\bkp\\logqvo_"), std::string::npos) << last_->err();
    EXPECT_FALSE(fs::exists(log_folder()));
}

TEST_F(ServiceTest, CommandLine) {
    EXPECT_NE(run(testing::service_command({"--drive", "12", "--headless", "--cycles", "0", "--root", shop_.string()})), 0);
    EXPECT_NE(last_->err().find("drive"), std::string::npos) << last_->err();
    EXPECT_NE(run(testing::service_command({"--cycles", "-1", "--root", shop_.string()})), 0);
    EXPECT_FALSE(fs::exists(log_folder())) << "nothing runs on a bad command line";
}

TEST_F(ServiceTest, OneServicePerRootAndAClosedConsoleDoesNotStopIt) {
    shop({"init"});
    testing::ChildProcess first(service({"--tick-ms", "20"}), work_.path() / "first.txt");
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (first.out().find("ciclo 1:") == std::string::npos && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(first.out().find("ciclo 1:"), std::string::npos) << "no cycle ran";

    // A second service on the same root would import the same receipt lines again.
    EXPECT_EQ(run(service({"--cycles", "1", "--tick-ms", "10"})), 1);
    EXPECT_NE(last_->err().find("another cassasync is already running on this root (process "), std::string::npos)
        << last_->err();
    EXPECT_EQ(last_->out(), "");
    EXPECT_TRUE(first.running());
    first.send(SIGTERM);
    ASSERT_TRUE(first.wait_for(10s).has_value());

    // Once the first has ended, the root is free again.
    EXPECT_EQ(run(service({"--cycles", "0"})), 0) << last_->err();
    auto lines = log_messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "- Avvio programma"), 2)
        << "the refused service wrote nothing to the log";
    const auto cycles_before = std::count(lines.begin(), lines.end(), "- Inizio elaborazione ");

    // A console whose reader has gone: the service runs all its cycles and ends normally.
    const fs::path status = work_.path() / "status.txt";
    EXPECT_EQ(run({"/bin/sh", "-c", "{ \"$0\" --root \"$1\" --headless --cycles 40 --tick-ms 5 --status-listen off; echo $? >\"$2\"; } | true",
                   kServiceProgram, shop_.string(), status.string()}),
              0);
    EXPECT_EQ(testing::read_text_file(status), "0\n");
    lines = log_messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "- Inizio elaborazione ") - cycles_before, 40);

    EXPECT_EQ(run(testing::service_command({"--root", (work_.path() / "nowhere").string(), "--headless", "--cycles", "0"})), 1);
    EXPECT_NE(last_->err().find("is not a folder"), std::string::npos) << last_->err();
}

TEST_F(ServiceTest, ADisplayThatIsNotThereMeansHeadless) {
    // Display 99 of this machine, its socket absent: a session that has ended.
    if (fs::exists("/tmp/.X11-unix/X99")) GTEST_SKIP() << "this machine has a display :99";
    shop({"init"});
    testing::ChildOptions env;
    env.set_env["DISPLAY"] = ":99";
    env.unset_env = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    EXPECT_EQ(run(testing::service_command({"--root", shop_.string(), "--cycles", "1", "--tick-ms", "10"}), env), 0) << last_->err();
    EXPECT_EQ(last_->out().rfind("ciclo 1: ", 0), 0u) << last_->out();
    EXPECT_NE(last_->err().find("the display cannot be opened; running without the window"), std::string::npos)
        << last_->err();

    // The offscreen platform opens: the window runs, no console line.
    env.set_env["QT_QPA_PLATFORM"] = "offscreen";
    env.unset_env = {"WAYLAND_DISPLAY"};
    EXPECT_EQ(run(testing::service_command({"--root", shop_.string(), "--cycles", "1", "--tick-ms", "10"}), env), 0) << last_->err();
    EXPECT_EQ(last_->out(), "");
    EXPECT_EQ(last_->err().find("the display cannot be opened"), std::string::npos) << last_->err();
}

TEST_F(ServiceTest, SigtermEndsTheServiceLikeTheExitButton) {
    shop({"init"});
    testing::ChildProcess service_run(service({"--tick-ms", "20"}), work_.path() / "stdout.txt", separate_streams());
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (service_run.out().find("ciclo 1:") == std::string::npos && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(service_run.out().find("ciclo 1:"), std::string::npos) << "no cycle ran";
    service_run.send(SIGTERM);
    const auto status = service_run.wait_for(10s);
    ASSERT_TRUE(status.has_value()) << "the service did not stop";
    EXPECT_EQ(*status, 0);
    const std::string text = testing::read_text_file(log_file());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    const auto lines = log_messages();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(kStartUp.size())), kStartUp);
    EXPECT_GE(std::count(lines.begin(), lines.end(), "- Inizio elaborazione "), 1);
}

}  // namespace
}  // namespace cassasync::frame

namespace cassasync::frame {
namespace {

// The "durata N ms" of a console cycle line.
long cycle_milliseconds(const std::string& line) {
    const auto at = line.find("durata ");
    return at == std::string::npos ? -1 : std::stol(line.substr(at + 7));
}

// Another program (a copy, a repair tool) keeps register 1's file locked for several
// cycles: the other registers are served every cycle, the cycles stay short, the log
// names the register and its file, and once the lock goes register 1 is served again.
TEST_F(ServiceTest, ARegisterLockedByAnotherProgramDoesNotHoldUpTheOthers) {
    if (!platform::IcmpPinger::available()) GTEST_SKIP() << "this process may not open an ICMP socket";
    shop({"demo", "--articles", "20"});
    for (int n : {1, 2}) {
        const std::string path = "\\\\127.0.0." + std::to_string(n) + "\\cassa\\dati.mdb";
        ASSERT_EQ(run(testing::stand_in_args(shop_, n, {"--path", path, "card"})), 0)
            << last_->err();
    }
    auto readings = [this](int n) {
        data::Database reg(register_file(n));
        return data::to_int_or(reg.scalar("SELECT count(*) FROM cartetxrx"), -1);
    };
    ASSERT_EQ(readings(1), 1);
    ASSERT_EQ(readings(2), 1);

    constexpr int kLockedCycles = 4;
    auto holder = std::make_unique<data::Database>(register_file(1));
    holder->exec("BEGIN EXCLUSIVE");
    testing::ChildProcess service_process(service({"--tick-ms", "50"}), work_.path() / "console.txt",
                                          separate_streams());
    ASSERT_TRUE(wait_for_output(service_process, "ciclo " + std::to_string(kLockedCycles) + ":"))
        << service_process.out();
    EXPECT_EQ(readings(2), 0) << "register 2 was not served while register 1 was locked";
    holder.reset();
    ASSERT_TRUE(wait_for_output(service_process, "ciclo " + std::to_string(kLockedCycles + 3) + ":"))
        << service_process.out();
    service_process.send(SIGTERM);
    ASSERT_TRUE(service_process.wait_for(30s).has_value());

    const Lines console = split_lines(service_process.out());
    ASSERT_GE(console.size(), static_cast<std::size_t>(kLockedCycles));
    for (int k = 0; k < kLockedCycles; ++k) {
        const long ms = cycle_milliseconds(console[static_cast<std::size_t>(k)]);
        EXPECT_GE(ms, 0) << console[static_cast<std::size_t>(k)];
        // One bounded wait for the locked file, not one per step.
        EXPECT_LT(ms, 2500) << console[static_cast<std::size_t>(k)];
    }

    const Lines lines = log_messages();
    const std::string locked = "-  Cassa 1 (\\\\127.0.0.1\\cassa\\dati.mdb): database bloccato da un altro programma";
    int locked_lines = 0;
    int cycle = 0;
    for (const auto& l : lines) {
        if (l == "- Inizio elaborazione ") ++cycle;
        if (l == locked) {
            ++locked_lines;
            EXPECT_LE(cycle, kLockedCycles + 1) << "register 1 still reported locked after the lock went";
        }
        EXPECT_EQ(l.find("Cassa 2 ("), std::string::npos) << l;
    }
    // One line per locked cycle, not one per step.
    EXPECT_GE(locked_lines, kLockedCycles);
    EXPECT_LE(locked_lines, cycle);
    EXPECT_EQ(readings(1), 0) << "register 1 was not served once free";
    EXPECT_EQ(flag(1), "0");
    EXPECT_EQ(flag(2), "0");
}

// The log's disk fills while the service runs, for many cycles, and then has room again:
// the service goes on, the log holds only whole lines, and standard error tells of the
// spell once and of its end once.
TEST_F(ServiceTest, OnAFullDiskTheLogKeepsWholeLinesAndTheNoticeComesOnce) {
    shop({"init"});
    testing::SmallFileSystem disk(log_folder(), "128k");
    if (!disk.mounted()) GTEST_SKIP() << "this process may not mount a small file system: " << disk.error();

    // The start-up backup goes to another disk: this one is the log's.
    testing::ChildProcess service_process(
        service({"--tick-ms", "10", "--backup-dir", (work_.path() / "copie").string()}), work_.path() / "console.txt",
        separate_streams());
    ASSERT_TRUE(wait_for_output(service_process, "ciclo 1:")) << service_process.out();
    const fs::path filler = log_folder() / "filler.bin";
    disk.fill(filler.filename());
    const auto full_from = split_lines(service_process.out()).size();
    ASSERT_TRUE(wait_for_output(service_process, "ciclo " + std::to_string(full_from + 200) + ":"))
        << service_process.out();
    fs::path log;
    for (const auto& e : fs::directory_iterator(log_folder())) {
        if (e.path().filename().string().rfind("logqvo_", 0) == 0) log = e.path();
    }
    ASSERT_FALSE(log.empty());
    const auto inizio_lines = [&log] {
        const Lines lines = without_stamps(split_lines(testing::read_text_file(log)));
        return std::count(lines.begin(), lines.end(), "- Inizio elaborazione ");
    };
    const auto while_full = inizio_lines();
    fs::remove(filler);
    ASSERT_TRUE(wait_for_output(service_process, "ciclo " + std::to_string(full_from + 210) + ":"))
        << service_process.out();
    service_process.send(SIGTERM);
    ASSERT_TRUE(service_process.wait_for(30s).has_value());

    const std::string text = testing::read_text_file(log);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << "the log ends in a cut line";
    std::set<std::string> allowed(kStartUp.begin(), kStartUp.end());
    // What each cycle writes in a shop without registers.
    allowed.insert("- Inizio elaborazione ");
    allowed.insert("-  CONTROLLO SE CI SONO TESSERE DA TRASMETTERE ALLA CASSA");
    for (const auto& line : split_lines(text)) {
        ASSERT_GE(line.size(), 19u) << line;
        EXPECT_EQ(line[2], '/') << line;
        EXPECT_EQ(line[10], '-') << line;
        const std::string message = line.substr(19);
        const bool backup_line = message.rfind("- Copia di sicurezza in ", 0) == 0 &&
                                 message.ends_with(": 4 file copiati e verificati");
        EXPECT_TRUE(allowed.count(message) == 1 || backup_line) << "not a whole line: " << line;
    }
    EXPECT_GE(inizio_lines(), while_full + 5) << "nothing written once there was room";

    const std::string said = service_process.err();
    const auto count = [&said](const std::string& what) {
        std::size_t n = 0;
        for (auto at = said.find(what); at != std::string::npos; at = said.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("cassasync: cannot write the operation log "), 1u) << said;
    EXPECT_EQ(count("cassasync: the operation log can be written again: "), 1u) << said;
}

}  // namespace
}  // namespace cassasync::frame
