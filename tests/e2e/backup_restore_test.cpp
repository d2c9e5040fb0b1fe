// A backup taken by the real service while the register stand-ins ring and the import
// runs, then put back a day later: the copy is whole (integrity check, manifest) and
// restorable; after the restore the reconciliation finds what the registers imported
// since the copy missing, `reconcile --requeue` sets exactly that back to waiting, and a
// few cycles later every register's days agree again.
//
// Yesterday is yesterday for the programs: the first day runs under a clock set back a
// day (faketime), the second on the real one.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data/database.h"
#include "data/sha256.h"
#include "platform/clock.h"
#include "platform/pinger.h"
#include "support/programs.h"
#include "support/child_process.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class BackupRestoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::IcmpPinger::available()) GTEST_SKIP() << kNoIcmp;
        if (!fs::exists(kFakeTime)) GTEST_SKIP() << kFakeTime << " is missing (Debian package faketime)";
        const auto now = platform::SystemClock().now();
        if (now.hour == 23) GTEST_SKIP() << "47 hours back and 24 hours back would fall on one day";
        ASSERT_EQ(run_program({kShopProgram, "demo", "--articles", "20", "--root", shop().string()}, out("shop"), 60s), 0)
            << read_text_file(out("shop"));
        yesterday_clock_.set_env = {{"LD_PRELOAD", kFakeTime.string()},
                                    {"ASAN_OPTIONS", asan_options_with_preload()},
                                    {"FAKETIME", "-1d"},
                                    {"FAKETIME_DONT_FAKE_MONOTONIC", "1"}};
    }
    void TearDown() override {
        if (HasFailure() && fs::exists(out("service"))) {
            std::printf("---- service\n%s", tail_of(out("service"), 30).c_str());
        }
    }

    fs::path shop() const { return root_.path() / "shop"; }
    fs::path out(const std::string& name) const { return root_.path() / (name + ".out"); }
    fs::path copies() const { return shop() / "C" / "tarvi" / "bkp" / "copie"; }
    std::vector<std::string> stand_in(int n, std::vector<std::string> more) const {
        std::vector<std::string> a{kStandInProgram, "--root", shop().string(), "--register", std::to_string(n)};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    std::vector<std::string> service(int cycles) const {
        return service_args(shop(), {"--tick-ms", "100", "--cycles", std::to_string(cycles)});
    }
    std::int64_t waiting() {
        std::int64_t total = 0;
        for (int n = 1; n <= 3; ++n) {
            data::Database reg(shop() / "net" / ("127.0.0." + std::to_string(n)) / "cassa" / "dati.mdb");
            total += data::to_int_or(reg.scalar("SELECT count(*) FROM movimenti WHERE aggiornogiacenza = 'N'"), 0);
        }
        return total;
    }
    // `cassasync-shop reconcile` of a day; its exit status, the printout in `printed`.
    int reconcile(const std::string& day, std::string& printed, const std::vector<std::string>& more = {}) {
        std::vector<std::string> argv{kShopProgram, "reconcile", "--root", shop().string(), "--day", day};
        argv.insert(argv.end(), more.begin(), more.end());
        const int status = run_program(argv, out("reconcile"), 60s);
        printed = read_text_file(out("reconcile"));
        return status;
    }
    // Registers 1 and 2 ring for `ringing` while the service cycles; register 2 asks for
    // its day to be closed half-way. Then the service drains what waits and stops.
    void a_day_of_work(const ChildOptions& clock, std::chrono::milliseconds ringing, bool close) {
        ChildOptions service_options = clock;
        service_options.truncate = true;
        ChildProcess svc(service(1000), out("service"), service_options);
        std::vector<std::unique_ptr<ChildProcess>> registers;
        for (int n : {1, 2}) {
            registers.push_back(std::make_unique<ChildProcess>(stand_in(n, {"run", "--rate", "8"}),
                                                               out("register-" + std::to_string(n)), clock));
        }
        std::this_thread::sleep_for(ringing / 2);
        if (close) {
            ASSERT_EQ(run_program(stand_in(2, {"close"}), out("close"), 30s), 0);
        }
        std::this_thread::sleep_for(ringing / 2);
        for (auto& r : registers) r->send(SIGTERM);
        for (auto& r : registers) ASSERT_TRUE(r->wait_for(30s).has_value());
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (waiting() != 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(100ms);
        svc.send(SIGTERM);
        const auto status = svc.wait_for(30s);
        ASSERT_TRUE(status.has_value());
        ASSERT_EQ(*status, 0);
        ASSERT_EQ(waiting(), 0) << "the service did not take every line";
    }

    TempDir root_;
    ChildOptions yesterday_clock_;
};

// A copy's manifest: "file NAME SIZE SHA256" and "rows NAME TABLE COUNT" lines.
struct Manifest {
    std::map<std::string, std::pair<std::uintmax_t, std::string>> files;
    std::map<std::string, std::int64_t> rows;  // "NAME TABLE" -> count
};

Manifest read_manifest(const fs::path& folder) {
    Manifest m;
    std::ifstream in(folder / "manifest.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, name, third, fourth;
        words >> kind >> name >> third >> fourth;
        if (kind == "file") m.files[name] = {std::stoull(third), fourth};
        if (kind == "rows") m.rows[name + " " + third] = std::stoll(fourth);
    }
    return m;
}

TEST_F(BackupRestoreTest, ACopyTakenWhileTheRegistersRingIsWholeAndARestoreLosesNoLine) {
    const auto now = platform::SystemClock().now();
    const std::string today = platform::short_date(now);
    platform::LocalTime before = platform::from_serial(platform::date_time_serial(now) - 1.0);
    const std::string yesterday = platform::short_date(before);

    // ---- the day before yesterday, 23 hours before: the start-up copy, so that
    // yesterday's start-up finds a recent one and the day's first close makes the next.
    ChildOptions earlier = yesterday_clock_;
    earlier.set_env["FAKETIME"] = "-47h";
    {
        ChildProcess first(service(0), out("service-0"), earlier);
        const auto status = first.wait_for(60s);
        ASSERT_TRUE(status.has_value() && *status == 0) << first.out();
    }

    // ---- yesterday: a copy after register 2's close, the registers ringing
    a_day_of_work(yesterday_clock_, 5s, true);
    if (HasFatalFailure()) return;
    std::vector<fs::path> made;
    for (const auto& e : fs::directory_iterator(copies())) made.push_back(e.path());
    std::sort(made.begin(), made.end());
    ASSERT_EQ(made.size(), 2u) << "a copy at the first start-up and one after yesterday's first close";
    const fs::path copy = made.back();
    ASSERT_EQ(copy.filename().string().substr(0, 8),
              std::to_string(before.year * 10000 + before.month * 100 + before.day));

    // ---- the copy taken mid-import: every file whole and as its manifest says
    const Manifest manifest = read_manifest(copy);
    ASSERT_EQ(manifest.files.size(), 4u) << testing::read_text_file(copy / "manifest.txt");
    for (const auto& [name, described] : manifest.files) {
        SCOPED_TRACE(name);
        const fs::path file = copy / name;
        ASSERT_TRUE(fs::exists(file));
        EXPECT_EQ(fs::file_size(file), described.first);
        EXPECT_EQ(data::sha256_of_file(file).value_or(""), described.second);
        data::Database db(file);
        EXPECT_EQ(data::to_text(db.scalar("PRAGMA integrity_check")), "ok");
    }
    int tables_counted = 0;
    for (const auto& [name_table, count] : manifest.rows) {
        const auto blank = name_table.find(' ');
        data::Database db(copy / name_table.substr(0, blank));
        EXPECT_EQ(data::to_int(db.scalar("SELECT count(*) FROM " + name_table.substr(blank + 1))), count) << name_table;
        ++tables_counted;
    }
    EXPECT_GT(tables_counted, 0);
    const std::int64_t rows_in_copy = manifest.rows.count("vendite.mdb venmo") ? manifest.rows.at("vendite.mdb venmo") : -1;
    std::int64_t rows_yesterday = 0;
    {
        data::Database sales(shop() / "C" / "tarvi" / "vendite.mdb");
        rows_yesterday = data::to_int(sales.scalar("SELECT count(*) FROM venmo"));
    }
    ASSERT_GT(rows_in_copy, 0) << "the copy was taken before any import";
    ASSERT_LT(rows_in_copy, rows_yesterday) << "the copy was taken after the import had ended";

    // ---- today: more lines imported, then the copy of yesterday is put back
    a_day_of_work({}, 2s, false);
    if (HasFatalFailure()) return;
    ASSERT_EQ(run_program({kShopProgram, "restore", "--root", shop().string(), "--from", copy.string()}, out("restore"), 60s), 0)
        << read_text_file(out("restore"));

    std::string printed;
    for (const std::string& day : {yesterday, today}) {
        SCOPED_TRACE(day);
        EXPECT_EQ(reconcile(day, printed), 1) << printed;
        EXPECT_NE(printed.find("missing centrally"), std::string::npos) << printed;
        EXPECT_EQ(printed.find("times centrally"), std::string::npos) << printed;
        EXPECT_EQ(reconcile(day, printed, {"--requeue"}), 1) << printed;
        EXPECT_NE(printed.find("line(s) set back to waiting"), std::string::npos) << printed;
    }
    EXPECT_GT(waiting(), 0);
    ASSERT_EQ(run_program(service(6), out("service"), 120s), 0) << read_text_file(out("service"));
    EXPECT_EQ(waiting(), 0);
    for (const std::string& day : {yesterday, today}) {
        SCOPED_TRACE(day);
        EXPECT_EQ(reconcile(day, printed), 0) << printed;
        for (int n : {1, 2}) {
            EXPECT_NE(printed.find("register " + std::to_string(n) + ", " + day + ": AGREES ("), std::string::npos)
                << printed;
        }
    }
}

}  // namespace
}  // namespace cassasync::testing
