// The real programs: a shop made by `cassasync-shop`, the service `cassasync` run
// headless on it, its exit status, its console and its log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data/database.h"
#include "platform/pinger.h"
#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kService = CASSASYNC_BINARY_DIR "/app/cassasync";
const std::string kShop = CASSASYNC_BINARY_DIR "/tools/cassasync-shop";

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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

// A program started with its output and error in two files; killed if still running
// when the object goes, so that a failing test leaves nothing behind.
class Program {
public:
    struct Env {
        std::map<std::string, std::string> set;
        std::vector<std::string> unset;
    };

    Program(const std::vector<std::string>& argv, const fs::path& dir, const Env& env = {})
        : out_(dir / "stdout.txt"), err_(dir / "stderr.txt") {
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0) ::_exit(126);
            ::dup2(out, 1);
            ::dup2(err, 2);
            for (const auto& name : env.unset) ::unsetenv(name.c_str());
            for (const auto& [name, value] : env.set) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }
    ~Program() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The exit status, or nothing when still running after `limit`.
    std::optional<int> wait_for(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!status_) {
            int raw = 0;
            const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else if (std::chrono::steady_clock::now() >= until) {
                return std::nullopt;
            } else {
                std::this_thread::sleep_for(10ms);
            }
        }
        return status_;
    }
    void send(int signal_number) { ::kill(pid_, signal_number); }
    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    fs::path out_, err_;
};

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() : shop_(work_.path() / "shop") { fs::create_directories(shop_); }

    // Runs a program to its end (one minute at most) and gives its exit status.
    int run(const std::vector<std::string>& argv, const Program::Env& env = {}) {
        last_ = std::make_unique<Program>(argv, work_.path(), env);
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
    // The messages of the one log in the log folder, without their date and time.
    Lines log_messages() const {
        std::vector<fs::path> logs;
        for (const auto& e : fs::directory_iterator(log_folder())) logs.push_back(e.path());
        EXPECT_EQ(logs.size(), 1u);
        if (logs.empty()) return {};
        EXPECT_EQ(logs[0].filename().string().rfind("logqvo_", 0), 0u) << logs[0];
        Lines out;
        for (const auto& l : split_lines(read_file(logs[0]))) out.push_back(l.size() >= 19 ? l.substr(19) : l);
        return out;
    }
    std::string flag(int n) {
        data::Database reg(shop_ / "net" / ("127.0.0." + std::to_string(n)) / "cassa" / "dati.mdb");
        return data::describe(reg.scalar("SELECT Flag1 FROM Semafori"));
    }

    testing::TempDir work_;
    fs::path shop_;
    std::unique_ptr<Program> last_;
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
    EXPECT_EQ(log_messages(), kStartUp);
    EXPECT_EQ(last_->out(), "");
    EXPECT_EQ(last_->err(), "");

    // The root from the environment; no display at all also means headless.
    Program::Env env;
    env.set["CASSASYNC_ROOT"] = shop_.string();
    env.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    EXPECT_EQ(run({kService, "--cycles", "0"}, env), 0) << last_->err();
    Lines twice = kStartUp;
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

TEST_F(ServiceTest, ALogThatCannotBeOpenedEndsWithStatusOne) {
    shop({"init"});
    fs::remove_all(log_folder());
    EXPECT_EQ(run(service({"--cycles", "0"})), 1);
    EXPECT_NE(last_->err().find("C:\\tarvi\\bkp\\logqvo_"), std::string::npos) << last_->err();
    EXPECT_FALSE(fs::exists(log_folder()));
}

TEST_F(ServiceTest, CommandLine) {
    EXPECT_EQ(run({kService, "--version"}), 0);
    EXPECT_EQ(last_->out().rfind("cassasync ", 0), 0u) << last_->out();
    EXPECT_NE(run({kService, "--drive", "12", "--headless", "--cycles", "0", "--root", shop_.string()}), 0);
    EXPECT_NE(last_->err().find("drive"), std::string::npos) << last_->err();
    EXPECT_NE(run({kService, "--cycles", "-1", "--root", shop_.string()}), 0);
    EXPECT_FALSE(fs::exists(log_folder())) << "nothing runs on a bad command line";
}

TEST_F(ServiceTest, SigtermEndsTheServiceLikeTheExitButton) {
    shop({"init"});
    Program service_run(service({"--tick-ms", "20"}), work_.path());
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (service_run.out().find("ciclo 1:") == std::string::npos && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(service_run.out().find("ciclo 1:"), std::string::npos) << "no cycle ran";
    service_run.send(SIGTERM);
    const auto status = service_run.wait_for(10s);
    ASSERT_TRUE(status.has_value()) << "the service did not stop";
    EXPECT_EQ(*status, 0);
    const std::string text = read_file(log_folder() / fs::directory_iterator(log_folder())->path().filename());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    const auto lines = log_messages();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(kStartUp.size())), kStartUp);
    EXPECT_GE(std::count(lines.begin(), lines.end(), "- Inizio elaborazione "), 1);
}

}  // namespace
}  // namespace cassasync::frame
