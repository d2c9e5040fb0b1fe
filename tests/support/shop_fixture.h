// Test support: a fresh temporary shop root per test, with the real path map, a clock
// the test sets by hand, a pinger that answers only for the addresses the test says,
// and a process starter that records what it was asked to start. Databases are real
// SQLite files created by the same code as `cassasync-shop`.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "data/database.h"
#include "frame/context.h"
#include "sales/receipt_import.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"

namespace cassasync::testing {

// A temporary folder removed with everything in it when the object goes; below `base`
// when given, else below the system's temporary folder.
class TempDir {
public:
    TempDir();
    explicit TempDir(const std::filesystem::path& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Answers for the addresses in `up` (dotted text); every other address fails.
class FakePinger : public platform::Pinger {
public:
    std::uint32_t echo(std::uint32_t address) override;
    void set_up(const std::string& dotted, bool answers);
    int calls() const { return calls_; }

private:
    std::set<std::uint32_t> up_;
    int calls_ = 0;
};

class RecordingStarter : public platform::ProcessStarter {
public:
    Status start_detached(const std::filesystem::path& program) override {
        started.push_back(program);
        return Status::ok();
    }
    // Recorded as the program followed by its arguments; the environment beside it.
    Status start_detached_with(const std::filesystem::path& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env) override {
        std::vector<std::string> call = {program.string()};
        call.insert(call.end(), args.begin(), args.end());
        started_with.push_back(call);
        environments.push_back(env);
        return Status::ok();
    }
    std::vector<std::filesystem::path> started;
    std::vector<std::vector<std::string>> started_with;
    std::vector<std::map<std::string, std::string>> environments;
};

std::uint32_t address_of(const std::string& dotted);  // "127.0.0.1" -> memory-order address
std::string register_path(int n);                     // "\\127.0.0.n\cassa\dati.mdb"

// Base fixture: a shop with the company, main, sales and loyalty databases; the clock
// stands at 07/12/2026 10:00:00.
class ShopTest : public ::testing::Test {
protected:
    ShopTest();
    ~ShopTest() override;

    // Register n at "\\127.0.0.n\cassa\dati.mdb", answering the fake pinger.
    void add_register(int n, bool answers = true);
    // Runs start-up; expects it to complete unless told otherwise.
    void start(bool expect_complete = true);
    // The state a complete start-up leaves, without running it: settings of the
    // default shop (article intake on, customer import on, card reads on), the log
    // open, the central databases open and the register paths filled.
    void ready();

    data::Database& db(const std::string& windows_path);  // opened once, kept for the test
    data::Database& main_db() { return db("C:\\tarvi\\dati.mdb"); }
    data::Database& sales_db() { return db("C:\\tarvi\\vendite.mdb"); }
    data::Database& loyalty_db() { return db("C:\\tarvi\\fidel.mdb"); }
    data::Database& register_db(int n) { return db(register_path(n)); }
    std::filesystem::path local(const std::string& windows_path) const { return paths_.to_local(windows_path); }

    // Register n's receipt import and then its closing check, as the cycle runs them;
    // the import's figures. A failure is the cycle's log line, not raised.
    sales::ImportFigures import_and_close(int n);
    sales::ImportFigures import_and_close(int n, const sales::ImportTuning& tuning);

    // The messages of today's log, without the date and time stamp.
    std::vector<std::string> log_messages() const;
    // Whole lines as written (stamp included).
    std::vector<std::string> log_lines() const;

    TempDir root_;
    platform::RootPathMap paths_;
    platform::FixedClock clock_;
    FakePinger pinger_;
    RecordingStarter starter_;
    std::unique_ptr<frame::Context> ctx_;

private:
    std::vector<std::unique_ptr<data::Database>> open_;
    std::vector<std::string> open_names_;
};

// The whole content of a file ("" when it cannot be read).
std::string read_text_file(const std::filesystem::path& p);

// Gives a main (`loyalty` false) or loyalty file the indexes that `cassasync-shop init`
// made before text keys were searched without regard to letter case.
void use_case_sensitive_indexes(data::Database& db, bool loyalty = false);

// The query plan SQLite chooses for `sql`, its steps joined by "; ".
std::string query_plan(data::Database& db, const std::string& sql, const std::vector<data::Value>& params);

// A fixture row: column names and their values, in the order they are written.
using Row = std::vector<std::pair<std::string, data::Value>>;
// Inserts one row into `table` (values bound) and gives its rowid.
std::int64_t insert_row(data::Database& db, const std::string& table, const Row& row);

// Counts rows of `table` satisfying `where` (bound parameters).
std::int64_t count_rows(data::Database& db, const std::string& table, const std::string& where = {},
                        const std::vector<data::Value>& params = {});

}  // namespace cassasync::testing
