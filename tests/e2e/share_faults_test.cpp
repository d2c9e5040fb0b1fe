// Faults at a register's share while the real service cycles and the register stand-ins
// ring at 127.0.0.1-2: register 1's database vanishes and comes back, is replaced by
// garbage and restored, or its whole share goes away while its backlog is being
// imported; and the clock steps back an hour under the running service. Every time the
// other register is served meanwhile, the service goes on, and once the fault is gone
// the shop's reconciliation finds every line booked once.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data/database.h"
#include "platform/clock.h"
#include "platform/pinger.h"
#include "support/programs.h"
#include "support/child_process.h"
#include "support/shop_fixture.h"
#include "support/small_file_system.h"

namespace cassasync::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ShareFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::IcmpPinger::available()) GTEST_SKIP() << kNoIcmp;
    }
    void TearDown() override {
        if (HasFailure() && fs::exists(out("service"))) {
            std::printf("---- service\n%s", tail_of(out("service"), 20).c_str());
        }
    }

    fs::path shop() const { return root_.path() / "shop"; }
    // A demo shop afresh, registers at 127.0.0.1-3.
    void make_shop() {
        if (fs::exists(shop())) fs::remove_all(shop());
        ASSERT_EQ(run_program({kShopProgram, "demo", "--articles", "20", "--root", shop().string()}, out("shop"), 60s), 0)
            << read_text_file(out("shop"));
    }
    fs::path out(const std::string& name) const { return root_.path() / (name + ".out"); }
    fs::path share(int n) const { return shop() / "net" / ("127.0.0." + std::to_string(n)); }
    fs::path register_file(int n) const { return share(n) / "cassa" / "dati.mdb"; }

    void start_service(ChildOptions options = {}, const Args& more = {}) {
        options.truncate = true;  // the cycles counted are this run's
        Args args = {"--tick-ms", "100"};
        args.insert(args.end(), more.begin(), more.end());
        service_ = std::make_unique<ChildProcess>(service_args(shop(), args), out("service"), options);
    }
    void start_ringing(int n) {
        ringing_[n] = std::make_unique<ChildProcess>(
            std::vector<std::string>{kStandInProgram, "--root", shop().string(), "--register", std::to_string(n), "run",
                                     "--rate", "8"},
            out("register-" + std::to_string(n)));
    }
    void stop_ringing(int n) {
        if (!ringing_[n]) return;
        ringing_[n]->send(SIGTERM);
        ASSERT_TRUE(ringing_[n]->wait_for(30s).has_value()) << "stand-in " << n << " did not stop";
        ringing_[n].reset();
    }
    // The number of the last cycle the console reported ("ciclo N: ...").
    int last_cycle() const {
        static const std::regex cycle_line("ciclo ([0-9]+):");
        const std::string text = read_text_file(out("service"));
        int last = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), cycle_line), end; it != end; ++it) {
            last = std::stoi((*it)[1]);
        }
        return last;
    }
    // Waits until `count` more cycles have ended (a minute at most).
    void wait_cycles(int count) {
        const int target = last_cycle() + count;
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (last_cycle() < target) {
            ASSERT_TRUE(service_->running()) << "the service ended";
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "no cycle " << target;
            std::this_thread::sleep_for(20ms);
        }
    }
    std::int64_t rows_of(int n) {
        data::Database sales(shop() / "C" / "tarvi" / "vendite.mdb");
        return data::to_int_or(sales.scalar("SELECT count(*) FROM venmo WHERE cassa = ?", {data::integer(n)}), -1);
    }
    std::int64_t waiting_at(int n) {
        data::Database reg(register_file(n));
        return data::to_int_or(reg.scalar("SELECT count(*) FROM movimenti WHERE aggiornogiacenza = 'N'"), -1);
    }

    // The registers stop ringing, the service takes what waits and stops, and the shop's
    // reconciliation of `day` finds every register's lines booked once.
    void drain_and_reconcile(const std::string& day) {
        stop_ringing(1);
        stop_ringing(2);
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (waiting_at(1) + waiting_at(2) != 0 && std::chrono::steady_clock::now() < until) wait_cycles(1);
        EXPECT_EQ(waiting_at(1), 0) << "register 1's lines were not taken once its share was back";
        EXPECT_EQ(waiting_at(2), 0);
        service_->send(SIGTERM);
        const auto status = service_->wait_for(30s);
        ASSERT_TRUE(status.has_value()) << "the service did not stop";
        EXPECT_EQ(*status, 0);
        const int reconciled =
            run_program({kShopProgram, "reconcile", "--root", shop().string(), "--day", day}, out("reconcile"), 60s);
        const std::string printed = read_text_file(out("reconcile"));
        EXPECT_EQ(reconciled, 0) << printed;
        for (int n : {1, 2}) {
            EXPECT_NE(printed.find("register " + std::to_string(n) + ", " + day + ": AGREES ("), std::string::npos)
                << printed;
        }
    }

    // The day's log, all of it.
    std::string log_text() const {
        std::string all;
        for (const auto& e : fs::directory_iterator(shop() / "C" / "tarvi" / "bkp")) {
            if (e.is_regular_file()) all += read_text_file(e.path());
        }
        return all;
    }

    static std::string today() { return platform::short_date(platform::SystemClock().now()); }

    TempDir root_;
    std::unique_ptr<ChildProcess> service_;
    std::unique_ptr<ChildProcess> ringing_[3];
};

// What happens to register 1's share, and how it is put right.
struct ShareFault {
    const char* name;
    const char* logged;  // what the log says of register 1's file meanwhile
    std::function<void(const fs::path& share)> apply;
    std::function<void(const fs::path& share)> undo;
};

const fs::path kAway = "away";

const ShareFault kShareFaults[] = {
    {"the register database vanishes and comes back", "does not exist",
     [](const fs::path& share) { fs::rename(share / "cassa" / "dati.mdb", share / kAway); },
     [](const fs::path& share) { fs::rename(share / kAway, share / "cassa" / "dati.mdb"); }},
    {"the register database is replaced by garbage and restored", "file is not a database",
     [](const fs::path& share) {
         fs::rename(share / "cassa" / "dati.mdb", share / kAway);
         std::mt19937 noise(7);
         std::ofstream garbage(share / "cassa" / "dati.mdb", std::ios::binary);
         for (int i = 0; i < 64 * 1024; ++i) garbage.put(static_cast<char>(noise()));
     },
     [](const fs::path& share) { fs::rename(share / kAway, share / "cassa" / "dati.mdb"); }},
    {"the whole share goes away in the middle of the import", "does not exist",
     [](const fs::path& share) { fs::rename(share, share.string() + ".away"); },
     [](const fs::path& share) { fs::rename(share.string() + ".away", share); }},
};

TEST_F(ShareFaultTest, AShareThatFailsHoldsUpNoOtherRegisterAndLosesNothing) {
    for (const ShareFault& fault : kShareFaults) {
        SCOPED_TRACE(fault.name);
        make_shop();
        if (HasFatalFailure()) return;
        const std::string day = today();

        // Register 1 builds a backlog before the service starts, so that the fault
        // meets an import of it under way.
        start_ringing(1);
        std::this_thread::sleep_for(1500ms);
        stop_ringing(1);
        ASSERT_GT(waiting_at(1), 0);
        start_ringing(2);
        start_service();
        wait_cycles(1);
        fault.apply(share(1));
        const std::int64_t register2_before = rows_of(2);
        wait_cycles(5);
        EXPECT_GT(rows_of(2), register2_before) << "register 2 was not served while register 1's share failed";
        fault.undo(share(1));
        start_ringing(1);
        std::this_thread::sleep_for(1s);
        wait_cycles(2);
        drain_and_reconcile(day);
        // A line naming register 1's share (by its Windows or its local path) and the cause.
        std::istringstream log(log_text());
        bool told = false;
        for (std::string line; std::getline(log, line);) {
            told = told || (line.find("127.0.0.1") != std::string::npos && line.find(fault.logged) != std::string::npos);
        }
        EXPECT_TRUE(told) << "the log does not say what became of register 1's file";
        if (HasFailure()) return;
        if (today() != day) GTEST_SKIP() << "the run crossed midnight; run it again";
    }
}

// The back office's disk fills while the registers ring and the service imports, stays
// full for several cycles and then has room again: the service goes on all along, says
// of each step that failed, once per cycle, that the disk is full, and once there is
// room takes every line exactly once.
TEST_F(ShareFaultTest, AFullBackOfficeDiskLosesAndDoublesNothing) {
    make_shop();
    if (HasFatalFailure()) return;
    const std::string day = today();
    // The central files move to a small disk of their own; the log keeps a disk of its
    // own below it, so that it can tell of the spell.
    const fs::path central = shop() / "C" / "tarvi";
    const fs::path before = root_.path() / "tarvi-before";
    fs::rename(central, before);
    SmallFileSystem disk(central, "2m");
    if (!disk.mounted()) GTEST_SKIP() << "this process may not mount a small file system: " << disk.error();
    for (const auto& e : fs::directory_iterator(before)) {
        if (e.is_regular_file()) fs::copy_file(e.path(), central / e.path().filename());
    }
    SmallFileSystem log_disk(central / "bkp", "4m");
    ASSERT_TRUE(log_disk.mounted()) << log_disk.error();

    start_ringing(1);
    start_ringing(2);
    start_service({}, {"--backup-dir", (root_.path() / "copie").string()});
    wait_cycles(2);
    ASSERT_GT(disk.fill("filler.bin"), 0u);
    const int full_from = last_cycle();
    wait_cycles(8);
    const int full_until = last_cycle();
    ASSERT_TRUE(service_->running()) << "the service ended on a full disk";
    fs::remove(central / "filler.bin");
    wait_cycles(2);
    drain_and_reconcile(day);
    // No journal of a failed commit is left behind once the service has stopped.
    for (const auto& e : fs::directory_iterator(central)) {
        EXPECT_EQ(e.path().filename().string().find("-mj"), std::string::npos) << e.path();
        EXPECT_FALSE(e.path().filename().string().ends_with("-journal")) << e.path();
    }

    // The log, cycle by cycle: in the full spell a line per failed step, naming the
    // register and the step and saying the disk is full; never the same line twice in a
    // cycle.
    static const std::regex full_line(
        R"(^-  [A-Z][a-z]+( [a-z]+)* cassa Nr\. ([1-3]): .* failed on .*: database or disk is full$)");
    int cycle = 0;
    int full_lines = 0;
    std::set<std::string> registers_told;
    std::set<std::string> this_cycle;
    std::istringstream log(log_text());
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string message = line.size() > 19 ? line.substr(19) : line;
        if (message == "- Inizio elaborazione ") {
            ++cycle;
            this_cycle.clear();
            continue;
        }
        if (message.find("full") == std::string::npos) continue;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(message, m, full_line)) << "not one clear line of a step: " << message;
        EXPECT_TRUE(this_cycle.insert(message).second) << "told twice in one cycle: " << message;
        if (m.size() > 2) registers_told.insert(m[2]);
        ++full_lines;
    }
    EXPECT_GE(cycle, full_until);
    EXPECT_GE(full_lines, full_until - full_from) << "the log does not say the disk was full";
    EXPECT_GE(registers_told.size(), 2u) << "a register was not served while the disk was full";
}

// The clock steps back an hour under the running service (a time server's correction):
// the log goes on with whole lines, no document number or counter is taken twice, and
// every line is booked once.
TEST_F(ShareFaultTest, TheClockSteppingBackAnHourLeavesDocumentsCountersAndTheLogSound) {
    if (!fs::exists(kFakeTime)) GTEST_SKIP() << kFakeTime << " is missing (Debian package faketime)";
    const auto now = platform::SystemClock().now();
    if (now.hour < 1 || (now.hour == 23 && now.minute > 55)) {
        GTEST_SKIP() << "an hour back would cross midnight; the day's change has a test of its own";
    }
    make_shop();
    if (HasFatalFailure()) return;
    const std::string day = today();
    const fs::path offset = root_.path() / "faketime.rc";
    std::ofstream(offset) << "+0\n";
    ChildOptions clock;
    clock.set_env = {{"LD_PRELOAD", kFakeTime.string()},
                     {"ASAN_OPTIONS", asan_options_with_preload()},
                     {"FAKETIME_TIMESTAMP_FILE", offset.string()},
                     {"FAKETIME_NO_CACHE", "1"},
                     {"FAKETIME_DONT_FAKE_MONOTONIC", "1"}};
    start_ringing(1);
    start_ringing(2);
    start_service(clock);
    wait_cycles(4);
    std::ofstream(offset, std::ios::trunc) << "-3600\n";
    wait_cycles(6);
    drain_and_reconcile(day);

    // The log: one file for the day, every line whole and stamped, and the stamps show
    // the step back.
    int log_files = 0;
    for (const auto& e : fs::directory_iterator(shop() / "C" / "tarvi" / "bkp")) log_files += e.is_regular_file();
    EXPECT_EQ(log_files, 1);
    const std::string log = log_text();
    static const std::regex stamped(R"(^\d\d/\d\d/\d{4}-(\d\d):\d\d:\d\d-.*\r?$)");
    std::istringstream lines(log);
    std::string line;
    int stepped_back = 0;
    int previous_hour = -1;
    while (std::getline(lines, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, stamped)) << "a torn or unstamped log line: " << line;
        const int hour = std::stoi(m[1]);
        if (previous_hour >= 0 && hour < previous_hour) ++stepped_back;
        previous_hour = hour;
    }
    EXPECT_GE(stepped_back, 1) << "the service never saw the clock step back";

    // Documents: one per register and day, numbers from the counter, none taken twice.
    data::Database sales(shop() / "C" / "tarvi" / "vendite.mdb");
    data::Database main(shop() / "C" / "tarvi" / "dati.mdb");
    EXPECT_EQ(data::to_int(sales.scalar("SELECT count(*) FROM vente")),
              data::to_int(sales.scalar("SELECT count(DISTINCT numero) FROM vente")));
    EXPECT_EQ(data::to_int(sales.scalar("SELECT count(*) FROM vente")), 2) << "one day document per register";
    EXPECT_EQ(data::to_int(main.scalar("SELECT max(ultnum) FROM numeri WHERE tipo = 'VE'")),
              data::to_int(sales.scalar("SELECT max(numero) FROM vente")));
}

}  // namespace
}  // namespace cassasync::testing
