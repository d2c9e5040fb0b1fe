// Power cuts at the back office. First the power-cut disk on its own. Then a small demo
// shop whose registers have rung receipts (with and without cards), read cards, changed
// barcodes and customers, issued an invoice and asked for their day to be closed: the
// service starts and runs its cycles on the power-cut disk, and the power is cut at an
// instant drawn at random among all the writes, syncs, truncations and deletions of that
// run. The back office's files then lose what a disk may lose; the registers, being other
// machines, keep what they had at that instant. The service starts again on what is left
// and runs to the end. Every database must pass its integrity check and hold exactly what
// a run without a cut leaves: each register row taken once (stock, points, journal, card
// records, documents, register marks).
//
// One run in four cuts the power again while the service recovers from the first cut.
//
// CASSASYNC_POWER_CUTS sets the runs per shard (default 250, four shards);
// CASSASYNC_POWER_CUT_SEED replays a run (the seed is printed); CASSASYNC_POWER_CUT_AT
// puts every cut at that instant; CASSASYNC_POWER_CUT_TRACE=1 lists the instants.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "core/back_office_paths.h"
#include "core/operation_log.h"
#include "data/database.h"
#include "frame/context.h"
#include "frame/cycle.h"
#include "frame/startup.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "registers/semaphores.h"
#include "sales/receipt_import.h"
#include "shop/backup_folders.h"
#include "support/child_process.h"
#include "support/power_cut_disk.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kShop = CASSASYNC_BINARY_DIR "/tools/cassasync-shop";
const std::string kStandIn = CASSASYNC_BINARY_DIR "/tools/cassasync-register";

constexpr int kRegisters = 3;  // as the demo shop has them
constexpr int kCycles = 3;     // a run without a cut has nothing left to take after these
constexpr int kShards = 4;
const char* const kRecoveryStep = "the recovery, cut again";
// The folders of a copy that failed, and of one a cut stopped half-way.
const std::vector<std::string> kNoCopyFolders = {shop::kFailedSuffix, shop::kUnderWaySuffix};

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

// Where the runs' copies of the shop go: in memory where the machine has it. A run syncs
// nothing (the power-cut disk keeps that record itself), but creates, renames and removes
// files, which on a disk file system costs more than the run.
fs::path scratch() {
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return fs::temp_directory_path();
}

platform::LocalTime evening_of_today() {
    platform::SystemClock system;
    auto t = system.now();
    t.hour = 23;
    t.minute = 0;
    t.second = 0;
    return t;
}

// The step a cut fell in, from the cycle step under way and the last of its log lines
// that names a part of it (the receipt import ends with the closing check). First match wins: more specific texts first.
const std::vector<std::pair<std::string, std::string>> kStepLines = {
    {"Ricevuto Comando di chiusura", "day closing"},
    {"REGISTRATA", "day closing"},
    {"Riconciliazione", "day closing"},
    {"Calcolo i totali", "day closing"},
    {"registrando la vendita", "day closing"},
    {"chiusura", "day closing"},
    {"Copia di sicurezza", "backup"},
    {"Scontrin", "receipt import"},
    {"scontrin", "receipt import"},
    {"Cassa-", "receipt import"},
    {"Travaso vendite", "receipt import"},
    {"atture", "invoices"},
    {"Fattura", "invoices"},
    {"ARTICOLI", "register intake"},
    {"articoli modificati", "register intake"},
    {"Articolo", "register intake"},
    {"Clienti", "register intake"},
    {"Cliente", "register intake"},
    {"TESSERA", "card reads"},
};

// The service as one boot of the back office's machine: a fresh context, start-up and
// the cycles. It stops, as a machine without power does, at the cut.
class Boot {
public:
    Boot(const fs::path& root, platform::LocalTime now)
        : paths_(root), clock_(now), ctx_(paths_, clock_, pinger_, starter_),
          log_(paths_.to_local(std::string(core::kLogFolder) + core::log_file_name(now))) {
        for (int n = 1; n <= kRegisters; ++n) pinger_.set_up("127.0.0." + std::to_string(n), true);
    }
    ~Boot() {
        ctx_.databases.close_all();
        ctx_.log.close();
    }

    void run(PowerCutDisk& disk) {
        disk.on_cut([this] {
            ctx_.stop_requested = true;
            cut_step_ = step_now();
        });
        begin("start-up");
        frame::run_startup(ctx_);
        // Turns at a register's semaphore come after a time held, which a loaded machine
        // reaches sooner: without them every run makes the same operations, and a seed
        // replays the same cuts.
        registers::TurnLimits no_turns;
        no_turns.hold = no_turns.budget = std::chrono::hours(1);
        frame::ProcessingCycle cycle(ctx_, labelled(frame::CycleSteps::standard()), no_turns);
        for (int i = 0; i < kCycles && !ctx_.stop_requested; ++i) {
            begin("between steps");
            const std::uint64_t changes = disk.changes_in_scope();
            cycle.Elabora_Casse();
            // A cycle that changed none of the back office's files leaves the next one the
            // same shop and the same clock, so the same nothing to do: the boot ends there.
            if (disk.changes_in_scope() == changes) break;
        }
        disk.on_cut({});
    }
    // The step under way when the power was cut.
    const std::string& cut_step() const { return cut_step_; }
    std::string log() const { return read_text_file(log_); }

private:
    void begin(const char* step) {
        step_ = step;
        std::error_code ec;
        const auto size = fs::file_size(log_, ec);
        log_mark_ = ec ? 0 : size;
    }
    std::string step_now() const {
        const std::string text = log();
        const std::string since = text.size() > log_mark_ ? text.substr(log_mark_) : std::string();
        std::size_t line_end = since.size();
        while (line_end > 0) {
            const std::size_t start = since.rfind('\n', line_end - 1);
            const std::size_t from = start == std::string::npos ? 0 : start + 1;
            const std::string line = since.substr(from, line_end - from);
            for (const auto& [words, step] : kStepLines) {
                if (line.find(words) != std::string::npos) return step;
            }
            if (start == std::string::npos) break;
            line_end = start;
        }
        return step_;
    }

    template <typename R, typename... A>
    std::function<R(A...)> label(const char* name, std::function<R(A...)> f) {
        return [this, name, f](A... a) -> R {
            begin(name);
            if constexpr (std::is_void_v<R>) {
                f(a...);
                begin("between steps");
            } else {
                R result = f(a...);
                begin("between steps");
                return result;
            }
        };
    }
    frame::CycleSteps labelled(frame::CycleSteps s) {
        s.Invia_Totali_Tessere = label("card totals", s.Invia_Totali_Tessere);
        s.Ricevi_Totali_Tessere = label("card totals", s.Ricevi_Totali_Tessere);
        s.Leggi_Tessere_Cassa = label("card reads", s.Leggi_Tessere_Cassa);
        s.Aggiorna_Articoli = label("register intake", s.Aggiorna_Articoli);
        s.Aggiorna_Clienti = label("register intake", s.Aggiorna_Clienti);
        s.Recupero_Fatture = label("invoices", s.Recupero_Fatture);
        s.Travaso_Scontrini = label("receipt import", s.Travaso_Scontrini);
        s.Trasmetti_Tessere = label("card sends", s.Trasmetti_Tessere);
        s.Consolida_Stato_Clienti = label("customer status", s.Consolida_Stato_Clienti);
        return s;
    }

    platform::RootPathMap paths_;
    platform::FixedClock clock_;
    FakePinger pinger_;
    RecordingStarter starter_;
    frame::Context ctx_;
    fs::path log_;
    std::string step_;
    std::uintmax_t log_mark_ = 0;
    std::string cut_step_;
};

bool is_database(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    char head[16] = {};
    in.read(head, sizeof head);
    return in && std::string(head, 15) == "SQLite format 3";
}

// A backup the service marked as failed, or one it never finished, is not a copy anyone
// restores; its folder may hold anything a cut left.
bool in_failed_backup(const fs::path& p) {
    for (const auto& part : p) {
        const std::string s = part.string();
        for (const std::string& suffix : kNoCopyFolders) {
            if (s.size() > suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0) return true;
        }
    }
    return false;
}

// The files below `root` that are checked: all but those of a failed backup.
std::vector<fs::path> files_below(const fs::path& root) {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file() && !in_failed_backup(e.path())) out.push_back(e.path());
    }
    return out;
}

std::vector<fs::path> databases_below(const fs::path& root) {
    std::vector<fs::path> out;
    for (const auto& p : files_below(root)) {
        if (is_database(p)) out.push_back(p);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The shop's databases by their Windows names: the back office's and the registers'.
std::vector<std::string> shop_files() {
    std::vector<std::string> files = {"C:\\tarvi\\dati.mdb", "C:\\tarvi\\vendite.mdb", "C:\\tarvi\\fidel.mdb"};
    for (int n = 1; n <= kRegisters; ++n) files.push_back(register_path(n));
    return files;
}

// Every row of every table of one of the shop's databases, one line each, as text.
std::vector<std::string> contents(const fs::path& root, const std::string& name) {
    std::vector<std::string> out;
    data::Database db(platform::RootPathMap(root).to_local(name));
    std::vector<std::string> tables;
    auto& list = db.prepare("SELECT name FROM sqlite_schema WHERE type = 'table' ORDER BY name");
    while (list.step()) tables.push_back(data::to_text(list.column(0)));
    list.reset();
    for (const auto& table : tables) {
        auto& rows = db.prepare("SELECT * FROM " + data::quote_identifier(table));
        while (rows.step()) {
            std::string line = name + " " + table + ":";
            for (int i = 0; i < rows.column_count(); ++i) line += " " + data::to_text(rows.column(i));
            out.push_back(std::move(line));
        }
        rows.reset();
    }
    return out;
}

// What a run without a cut leaves: every database's bytes (by its path below the root)
// and the rows of the shop's files. A cut run that leaves a file with the very same
// bytes left it with the same rows and the same verdict of the integrity check, so only
// the files that differ are opened and checked again: most cuts leave the back office's
// files exactly as a run without a cut does.
struct EndState {
    std::map<std::string, std::string> bytes;
    std::map<std::string, std::vector<std::string>> rows;  // by Windows name
};

EndState end_state(const fs::path& root) {
    EndState end;
    for (const auto& file : databases_below(root)) end.bytes[fs::relative(file, root).string()] = read_text_file(file);
    for (const auto& name : shop_files()) end.rows[name] = contents(root, name);
    return end;
}

// What is wrong with the files below `root` after a run, measured against `end`; empty
// when nothing is. With no bytes in `end` every file is checked.
std::string faults(const fs::path& root, const EndState& end) {
    std::ostringstream why;
    std::set<std::string> unchanged;  // paths below the root
    for (const auto& file : databases_below(root)) {
        const std::string relative = fs::relative(file, root).string();
        const auto same = end.bytes.find(relative);
        if (same != end.bytes.end() && same->second == read_text_file(file)) {
            unchanged.insert(relative);
            continue;
        }
        data::Database db(file);
        const std::string verdict = data::to_text(db.scalar("PRAGMA integrity_check"));
        if (verdict != "ok") why << "integrity check of " << relative << ": " << verdict << "\n";
    }
    for (const auto& p : files_below(root)) {
        const std::string name = p.filename().string();
        if (name.find("-journal") != std::string::npos || name.find(".mdb-mj") != std::string::npos) {
            why << "left behind: " << fs::relative(p, root).string() << "\n";
        }
    }
    std::vector<std::string> expected, found;
    const platform::RootPathMap paths(root);
    for (const auto& name : shop_files()) {
        if (unchanged.count(fs::relative(paths.to_local(name), root).string())) continue;
        const auto& rows = end.rows.at(name);
        expected.insert(expected.end(), rows.begin(), rows.end());
        const auto now = contents(root, name);
        found.insert(found.end(), now.begin(), now.end());
    }
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    if (found != expected) {
        std::vector<std::string> missing, extra;
        std::set_difference(expected.begin(), expected.end(), found.begin(), found.end(), std::back_inserter(missing));
        std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(), std::back_inserter(extra));
        why << found.size() << " rows in the files that changed where a run without a cut leaves " << expected.size()
            << "\n";
        for (std::size_t i = 0; i < std::min<std::size_t>(missing.size(), 6); ++i) why << "  missing " << missing[i] << "\n";
        for (std::size_t i = 0; i < std::min<std::size_t>(extra.size(), 6); ++i) why << "  more    " << extra[i] << "\n";
    }
    return why.str();
}

// The process's one power-cut disk, made before any connection: SQLite keeps it to the end.
PowerCutDisk& the_disk() {
    static PowerCutDisk* disk = new PowerCutDisk();
    return *disk;
}

struct StepFigures {
    int simulated = 0;
    int survived = 0;
};

class PowerCutTest : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() {
        // Receipt batches of three lines: the registers' lines then fill several batches,
        // each worked on with the register let go and checked before it commits, and the
        // cuts land in those windows too.
        ::setenv(sales::kBatchLinesVariable, "3", 1);
        disk_ = &the_disk();
        shop_ = new TempDir(scratch());
        build_shop(shop_->path() / "shop");
    }
    static void TearDownTestSuite() {
        ::unsetenv(sales::kBatchLinesVariable);
        delete shop_;
        shop_ = nullptr;
    }

    // The demo shop, and what its registers did, through the real programs.
    static void build_shop(const fs::path& root) {
        const fs::path out = shop_->path() / "build.out";
        auto run = [&](std::vector<std::string> argv) {
            ASSERT_EQ(run_program(argv, out, 60s), 0) << tail_of(out, 20);
        };
        run({kShop, "demo", "--root", root.string(), "--articles", "20"});
        for (int n = 1; n <= kRegisters; ++n) {
            auto reg = [&](const std::string& seed, std::vector<std::string> more) {
                std::vector<std::string> a{kStandIn, "--root", root.string(), "--register", std::to_string(n),
                                           "--seed", seed};
                a.insert(a.end(), more.begin(), more.end());
                run(a);
            };
            const std::string s = std::to_string(n);
            reg(s + "1", {"ring", "--card", "--lines", "3"});
            reg(s + "2", {"ring", "--no-card", "--lines", "2"});
            reg(s + "3", {"card"});
            reg(s + "4", {"article"});
            reg(s + "5", {"customer"});
            if (n == 2) reg(s + "6", {"invoice"});
            reg(s + "7", {"ring", "--card", "--lines", "2"});
            if (n != 2) reg(s + "8", {"close"});
        }
    }

    // A copy of the shop in a fresh folder, every file of it on the disk for good.
    fs::path fresh_copy(const TempDir& dir) {
        const fs::path root = dir.path() / "shop";
        fs::copy(shop_->path() / "shop", root, fs::copy_options::recursive);
        disk_->begin(root / "C", dir.path() / "stash");
        return root;
    }

    static PowerCutDisk* disk_;
    static TempDir* shop_;
};

PowerCutDisk* PowerCutTest::disk_ = nullptr;
TempDir* PowerCutTest::shop_ = nullptr;

TEST_P(PowerCutTest, EveryRowIsTakenOnceWhereverThePowerFails) {
    const platform::LocalTime now = evening_of_today();

    // The run without a cut: what every run must end with, and how many instants it has.
    EndState expected;
    std::uint64_t instants = 0;
    {
        TempDir dir(scratch());
        const fs::path root = fresh_copy(dir);
        std::vector<std::string> trace;
        if (env_number("CASSASYNC_POWER_CUT_TRACE", 0)) disk_->trace(&trace);
        Boot boot(root, now);
        boot.run(*disk_);
        disk_->trace(nullptr);
        instants = disk_->operations();
        for (std::size_t i = 0; i < trace.size(); ++i) std::printf("instant %zu: %s\n", i + 1, trace[i].c_str());
        // Every step must have had something to do, or its cuts would prove nothing.
        const std::string log = boot.log();
        for (const char* work : {"Lettura TESSERA", "Leggo ARTICOLI", " Cliente ", "Recupero fattura del", "Cassa-",
                                 "REGISTRATA CON SUCCESSO", "Aggiorno TESSERA"}) {
            EXPECT_NE(log.find(work), std::string::npos) << "a run without a cut logs no \"" << work << "\"";
        }
        // The closing's own reconciliation of the registers' lines with the sales rows.
        EXPECT_EQ(log.find("DIFFERS"), std::string::npos) << log;
        expected = end_state(root);
        // Every file checked in full: the files of later runs are compared with these.
        ASSERT_EQ(faults(root, EndState{{}, expected.rows}), "");
        data::Database reg1(platform::RootPathMap(root).to_local(register_path(1)));
        ASSERT_GT(count_rows(reg1, "movimenti"), 0);
        ASSERT_EQ(count_rows(reg1, "movimenti", "aggiornogiacenza = 'N'"), 0) << "a run without a cut leaves lines";
    }
    ASSERT_GT(instants, 100u);

    const std::uint64_t cuts = env_number("CASSASYNC_POWER_CUTS", 250);
    const std::uint64_t seed = env_number("CASSASYNC_POWER_CUT_SEED", std::random_device{}());
    const std::uint64_t at_only = env_number("CASSASYNC_POWER_CUT_AT", 0);
    std::printf("power cuts: shard %d, CASSASYNC_POWER_CUT_SEED=%llu replays it; %llu instants per run\n", GetParam(),
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(instants));
    std::mt19937_64 random(seed + static_cast<std::uint64_t>(GetParam()));
    std::uniform_int_distribution<std::uint64_t> instant(1, instants);
    std::bernoulli_distribution recut(0.25);

    std::map<std::string, StepFigures> by_step;
    PowerOnReport losses;
    int simulated = 0, survived = 0, reported = 0, not_reached = 0;
    const auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration checking{}, copying{}, powering_on{};
    for (std::uint64_t i = 0; i < cuts; ++i) {
        const auto copied = std::chrono::steady_clock::now();
        TempDir dir(scratch());
        const fs::path root = fresh_copy(dir);
        copying += std::chrono::steady_clock::now() - copied;
        const std::uint64_t at = at_only ? at_only : instant(random);
        // The steps the run's cuts fell in: the first, and the recovery's when it was cut too.
        std::vector<std::string> cut_steps;
        std::string cut_at, why;
        try {
            disk_->arm(at);
            for (;;) {
                {
                    Boot boot(root, now);
                    boot.run(*disk_);
                    if (disk_->cut()) cut_steps.push_back(cut_steps.empty() ? boot.cut_step() : kRecoveryStep);
                }
                if (!disk_->cut()) break;
                if (cut_at.empty()) cut_at = disk_->cut_at();
                const auto powered = std::chrono::steady_clock::now();
                const PowerOnReport r = disk_->power_on(random);
                powering_on += std::chrono::steady_clock::now() - powered;
                losses.sectors_kept += r.sectors_kept;
                losses.sectors_lost += r.sectors_lost;
                losses.sizes_reverted += r.sizes_reverted;
                losses.entries_reverted += r.entries_reverted;
                // One run in four cuts the recovery too (once): it must survive that as well.
                if (cut_steps.size() == 1 && !at_only && recut(random)) disk_->arm(instant(random));
            }
            if (cut_steps.empty()) {
                // This run made fewer operations than the one without a cut (a batch
                // bounded by time may end sooner): no cut to count.
                ++not_reached;
                continue;
            }
            const auto checked = std::chrono::steady_clock::now();
            why = faults(root, expected);
            checking += std::chrono::steady_clock::now() - checked;
        } catch (const std::exception& e) {
            why = std::string("escaped: ") + e.what() + "\n";
        }
        for (const auto& step : cut_steps) {
            ++simulated;
            ++by_step[step].simulated;
            if (why.empty()) {
                ++survived;
                ++by_step[step].survived;
            }
        }
        if (!why.empty()) {
            std::string which = "cut " + std::to_string(i) + " at operation " + std::to_string(at) + " (" + cut_at;
            for (const auto& step : cut_steps) which += ", " + step;
            which += ")";
            std::printf("power cuts: NOT SURVIVED: %s: %s", which.c_str(), why.substr(0, why.find('\n') + 1).c_str());
            if (++reported <= 3) ADD_FAILURE() << which << ":\n" << why;
        }
    }

    using ms = std::chrono::milliseconds;
    const auto in_ms = [](std::chrono::steady_clock::duration d) {
        return static_cast<long long>(std::chrono::duration_cast<ms>(d).count());
    };
    std::printf("power cuts: %d simulated, %d survived (%lld ms, of which %lld copying the shop, %lld powering on,"
                " %lld checking)\n",
                simulated, survived, in_ms(std::chrono::steady_clock::now() - started), in_ms(copying),
                in_ms(powering_on), in_ms(checking));
    for (const auto& [name, f] : by_step) {
        std::printf("power cuts:   %-24s %5d simulated, %5d survived\n", name.c_str(), f.simulated, f.survived);
    }
    std::printf("power cuts: unsynced sectors kept %d, lost %d; sizes reverted %d; files created or deleted undone %d;"
                " runs shorter than the cut's instant %d\n",
                losses.sectors_kept, losses.sectors_lost, losses.sizes_reverted, losses.entries_reverted, not_reached);
    EXPECT_EQ(survived, simulated);
    EXPECT_LE(not_reached * 20, static_cast<int>(cuts)) << "runs whose instant never came: " << not_reached;
    // The cuts must have fallen where the disk had something to lose.
    if (cuts >= 50) {
        EXPECT_GT(losses.sectors_lost, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, PowerCutTest, ::testing::Range(0, kShards));

// The disk itself, through the file-system calls SQLite makes: a cut loses only what no
// sync covered, a whole sector at a time, and each outcome a disk allows does occur.
class DiskFile {
public:
    DiskFile(const fs::path& path, int flags) : memory_(static_cast<std::size_t>(vfs()->szOsFile)) {
        sqlite3_vfs* v = vfs();
        rc_ = v->xOpen(v, path.c_str(), file(), flags | SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    }
    ~DiskFile() {
        if (rc_ == SQLITE_OK) file()->pMethods->xClose(file());
    }
    int write(char fill, int sector) {
        const std::string bytes(PowerCutDisk::kSector, fill);
        return file()->pMethods->xWrite(file(), bytes.data(), PowerCutDisk::kSector, sector * sqlite3_int64{PowerCutDisk::kSector});
    }
    int sync() { return file()->pMethods->xSync(file(), SQLITE_SYNC_FULL); }
    int opened() const { return rc_; }
    static sqlite3_vfs* vfs() { return sqlite3_vfs_find(nullptr); }

private:
    sqlite3_file* file() { return reinterpret_cast<sqlite3_file*>(memory_.data()); }
    std::vector<std::max_align_t> memory_;
    int rc_ = SQLITE_CANTOPEN;
};

// The sectors of a file as the fill character of each ('0' for zeros, '?' for a mix).
std::string sectors_of(const fs::path& p) {
    const std::string bytes = read_text_file(p);
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); at += PowerCutDisk::kSector) {
        const std::string s = bytes.substr(at, PowerCutDisk::kSector);
        const bool whole = s.size() == PowerCutDisk::kSector && s.find_first_not_of(s[0]) == std::string::npos;
        out += whole ? (s[0] == '\0' ? '0' : s[0]) : '?';
    }
    return out;
}

TEST(PowerCutDiskTest, LosesWholeSectorsThatNoSyncCoveredAndNothingElse) {
    PowerCutDisk& disk = the_disk();
    ASSERT_STREQ(DiskFile::vfs()->zName, "cassasync-power-cut");
    std::set<std::string> seen;  // outcomes, by name
    std::mt19937_64 random(20261209);
    for (int run = 0; run < 64; ++run) {
        TempDir dir(scratch());
        const fs::path inside = dir.path() / "C", outside = dir.path() / "net";
        fs::create_directories(inside);
        fs::create_directories(outside);
        std::ofstream(inside / "db", std::ios::binary) << std::string(PowerCutDisk::kSector, 'a');
        std::ofstream(inside / "old-journal", std::ios::binary) << "j";
        std::ofstream(inside / "synced-away", std::ios::binary) << "s";
        disk.begin(inside, dir.path() / "stash");
        // Made durable by the folder's sync that comes with it (before what must stay undecided).
        ASSERT_EQ(DiskFile::vfs()->xDelete(DiskFile::vfs(), (inside / "synced-away").c_str(), 1), SQLITE_OK);
        {
            DiskFile db(inside / "db", SQLITE_OPEN_MAIN_DB);
            DiskFile other(outside / "register", SQLITE_OPEN_MAIN_DB);
            DiskFile journal(inside / "db-journal", SQLITE_OPEN_MAIN_JOURNAL);
            ASSERT_EQ(db.opened(), SQLITE_OK);
            ASSERT_EQ(other.opened(), SQLITE_OK);
            ASSERT_EQ(journal.opened(), SQLITE_OK);
            ASSERT_EQ(db.write('b', 1), SQLITE_OK);
            ASSERT_EQ(db.sync(), SQLITE_OK);
            ASSERT_EQ(db.write('c', 0), SQLITE_OK);  // over synced content
            ASSERT_EQ(db.write('d', 2), SQLITE_OK);  // grows the file
            ASSERT_EQ(other.write('r', 0), SQLITE_OK);
            ASSERT_EQ(journal.write('n', 0), SQLITE_OK);
            ASSERT_EQ(DiskFile::vfs()->xDelete(DiskFile::vfs(), (inside / "old-journal").c_str(), 0), SQLITE_OK);
            disk.arm(2);
            ASSERT_EQ(db.write('e', 3), SQLITE_OK);
            EXPECT_NE(db.write('f', 0), SQLITE_OK) << "the cut";
            EXPECT_NE(other.write('g', 1), SQLITE_OK) << "nothing after the cut, on any machine";
            EXPECT_NE(db.sync(), SQLITE_OK);
            EXPECT_TRUE(disk.cut());
        }
        disk.power_on(random);

        const std::string db = sectors_of(inside / "db");
        ASSERT_GE(db.size(), 2u) << "run " << run << ": the synced size is kept";
        EXPECT_TRUE(db[0] == 'a' || db[0] == 'c') << "run " << run << ": sector 0 is " << db[0];
        EXPECT_EQ(db[1], 'b') << "run " << run << ": a synced sector is never lost";
        if (db.size() > 2) {
            EXPECT_TRUE(db[2] == 'd' || db[2] == '0') << "run " << run << ": " << db;
        }
        if (db.size() > 3) {
            EXPECT_TRUE(db[3] == 'e' || db[3] == '0') << "run " << run << ": " << db;
        }
        EXPECT_LE(db.size(), 4u) << "run " << run << ": " << db;
        EXPECT_EQ(sectors_of(outside / "register"), "r") << "run " << run << ": another machine keeps every write";
        EXPECT_FALSE(fs::exists(inside / "synced-away")) << "run " << run << ": a deletion whose folder was synced";
        seen.insert(std::string("sector 0 ") + db[0]);
        seen.insert("size " + std::to_string(db.size()));
        if (db.size() > 2) seen.insert(std::string("sector 2 ") + db[2]);
        seen.insert(std::string("deleted journal ") + (fs::exists(inside / "old-journal") ? "back" : "gone"));
        seen.insert(std::string("new journal ") + (fs::exists(inside / "db-journal") ? "there" : "gone"));
    }
    for (const char* outcome : {"sector 0 a", "sector 0 c", "size 2", "size 4", "sector 2 d", "sector 2 0",
                                "deleted journal back", "deleted journal gone", "new journal there", "new journal gone"}) {
        EXPECT_TRUE(seen.count(outcome)) << "never seen in 64 cuts: " << outcome;
    }
}

}  // namespace
}  // namespace cassasync::testing
