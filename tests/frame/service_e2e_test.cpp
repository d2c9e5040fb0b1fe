// The real programs: a shop made by `cassasync-shop`, the service `cassasync` run
// headless on it, its exit status, its console and its log.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cassasync_version.h"
#include "data/database.h"
#include "platform/pinger.h"
#include "support/child_process.h"
#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kService = CASSASYNC_BINARY_DIR "/app/cassasync";
const std::string kShop = CASSASYNC_BINARY_DIR "/tools/cassasync-shop";

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

// The messages of log lines, without their date and time ("dd/mm/yyyy-hh:mm:ss").
Lines without_stamps(const Lines& lines) {
    Lines out;
    for (const auto& l : lines) out.push_back(l.size() >= 19 ? l.substr(19) : l);
    return out;
}

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
        std::vector<std::string> argv = {kShop};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("--root");
        argv.push_back(shop_.string());
        ASSERT_EQ(run(argv), 0) << last_->err();
    }
    std::vector<std::string> service(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kService, "--root", shop_.string(), "--headless"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
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
    std::string flag(int n) {
        data::Database reg(shop_ / "net" / ("127.0.0." + std::to_string(n)) / "cassa" / "dati.mdb");
        return data::describe(reg.scalar("SELECT Flag1 FROM Semafori"));
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
    EXPECT_EQ(run({kService, "--cycles", "0"}, env), 0) << last_->err();
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
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.set_env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
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
    EXPECT_NE(run({kService, "--drive", "12", "--headless", "--cycles", "0", "--root", shop_.string()}), 0);
    EXPECT_NE(last_->err().find("drive"), std::string::npos) << last_->err();
    EXPECT_NE(run({kService, "--cycles", "-1", "--root", shop_.string()}), 0);
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
    EXPECT_EQ(run({"/bin/sh", "-c", "{ \"$0\" --root \"$1\" --headless --cycles 40 --tick-ms 5; echo $? >\"$2\"; } | true",
                   kService, shop_.string(), status.string()}),
              0);
    EXPECT_EQ(testing::read_text_file(status), "0\n");
    lines = log_messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "- Inizio elaborazione ") - cycles_before, 40);

    EXPECT_EQ(run({kService, "--root", (work_.path() / "nowhere").string(), "--headless", "--cycles", "0"}), 1);
    EXPECT_NE(last_->err().find("is not a folder"), std::string::npos) << last_->err();
}

TEST_F(ServiceTest, ADisplayThatIsNotThereMeansHeadless) {
    // Display 99 of this machine, its socket absent: a session that has ended.
    if (fs::exists("/tmp/.X11-unix/X99")) GTEST_SKIP() << "this machine has a display :99";
    shop({"init"});
    testing::ChildOptions env;
    env.set_env["DISPLAY"] = ":99";
    env.unset_env = {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    EXPECT_EQ(run({kService, "--root", shop_.string(), "--cycles", "1", "--tick-ms", "10"}, env), 0) << last_->err();
    EXPECT_EQ(last_->out().rfind("ciclo 1: ", 0), 0u) << last_->out();
    EXPECT_NE(last_->err().find("the display cannot be opened; running without the window"), std::string::npos)
        << last_->err();

    // The offscreen platform opens: the window runs, no console line.
    env.set_env["QT_QPA_PLATFORM"] = "offscreen";
    env.unset_env = {"WAYLAND_DISPLAY"};
    EXPECT_EQ(run({kService, "--root", shop_.string(), "--cycles", "1", "--tick-ms", "10"}, env), 0) << last_->err();
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
