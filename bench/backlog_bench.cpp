// Backlog benchmark: what a register's own software feels while the service drains a
// backlog at that register, and what an idle cycle costs.
//
//   backlog_bench [--lines N] [--articles N] [--hold-ms MS] [--pause-ms MS] [--runs N] [--dir DIR]
//
// Builds a shop with N (default 100,000) waiting receipt lines at register 1 and two more
// registers with nothing waiting, and drains the backlog with the real cycle four ways:
// as the service did before these changes (batches of 1,000 lines, register 1's semaphore
// held for the whole drain), the same with today's batches, taking turns only between
// batches, and taking turns with the register also let go while the service works on a
// batch it has read (the service now). With --runs N each way runs N times, the ways
// taking turns, so that a slower spell of the machine weighs on all. In every drain a
// stand-in for register 1's software writes a receipt line every 50 ms, taking the
// semaphore as that software does (one conditional update, tried again every 10 to 40 ms),
// and registers 2 and 3 get a line before every cycle. Prints lines per second of each
// drain, the register's longest and 99th-percentile wait for its semaphore, the longest
// stretch the service kept it (as the cycle reports it), the cycle times, and whether
// registers 2 and 3 were served in every cycle. Then the CPU time of an idle cycle per
// register, with ten registers reached and nothing waiting.
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_shop.h"
#include "frame/context.h"
#include "frame/cycle.h"
#include "frame/startup.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "sales/receipt_import.h"
#include "shop/shop_admin.h"

namespace {

using namespace cassasync;
using namespace cassasync::bench;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kWriteEvery = 50ms;
constexpr auto kGiveUp = 300s;  // the register's software waits this long at most here

std::string register_path(int n) { return "\\\\127.0.0." + std::to_string(n) + "\\cassa\\dati.mdb"; }

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The service as the program runs it: start-up on the shop's files, then cycles.
struct Service {
    explicit Service(const std::filesystem::path& root)
        : paths(root), clock(platform::LocalTime{2026, 12, 7, 10, 0, 0}), ctx(paths, clock, pinger, starter) {
        if (auto started = frame::run_startup(ctx); started.outcome != frame::StartupOutcome::complete) {
            throw std::runtime_error("start-up failed: " + started.message);
        }
    }
    ~Service() { ctx.databases.close_all(); }
    platform::RootPathMap paths;
    platform::FixedClock clock;
    LoopbackPinger pinger;
    NoStarter starter;
    frame::Context ctx;
};

// Register 1's own software: a receipt line every 50 ms, each under the semaphore.
class RegisterSoftware {
public:
    explicit RegisterSoftware(const std::filesystem::path& file) : thread_([this, file] { run(file); }) {}
    ~RegisterSoftware() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    const std::vector<double>& waits_ms() const { return waits_; }

private:
    void run(const std::filesystem::path& file) {
        sqlite3* db = open_raw(file);
        std::mt19937 rng(5);
        Stmt take(db, "UPDATE Semafori SET Flag1 = 1 WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 = 0");
        Stmt give(db, "UPDATE Semafori SET Flag1 = 0 WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 = 1");
        Stmt ring(db,
                  "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione, quantita,"
                  " prezzo, totrig, sconto, codrep, tiporecord, operatore, numcassa, bflag1, descli)"
                  " VALUES ('S','N',?,0.9,?,?,'ARTICOLO',1,1,1,0,1,1,1,1,'V','')");
        const double today = static_cast<double>(platform::day_serial(2026, 12, 7));
        auto next = Clock::now();
        for (int receipt = 900000; !stop_; ++receipt) {
            std::this_thread::sleep_until(next);
            next += kWriteEvery;
            const auto asked = Clock::now();
            bool taken = false;
            while (!stop_ && Clock::now() - asked < kGiveUp) {
                take.run();
                if (sqlite3_changes(db) == 1) {
                    taken = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10 + rng() % 31));
            }
            if (!taken) break;
            waits_.push_back(ms(Clock::now() - asked));
            exec(db, "BEGIN IMMEDIATE");
            ring.d(1, today).i(2, receipt).t(3, article_ean(1)).run();
            exec(db, "COMMIT");
            give.run();
            if (Clock::now() > next) next = Clock::now();
        }
        sqlite3_close(db);
    }

    std::atomic<bool> stop_{false};
    std::vector<double> waits_;
    std::thread thread_;
};

// A count between two cycles. The register's software writes on its own thread; a count
// that meets its lock (or a deadlock SQLite will not wait out) is simply made again.
std::int64_t scalar(sqlite3* db, const char* sql) {
    const auto give_up = Clock::now() + 60s;
    for (;;) {
        try {
            Stmt st(db, sql);
            return st.row() ? st.ci(0) : 0;
        } catch (const std::runtime_error&) {
            if (sqlite3_errcode(db) != SQLITE_BUSY || Clock::now() > give_up) throw;
        }
        std::this_thread::sleep_for(5ms);
    }
}

struct Drain {
    double lines_per_second = 0;
    double longest_wait_ms = 0;
    double p99_wait_ms = 0;
    int writes = 0;
    double longest_hold_ms = 0;
    int cycles = 0;
    double longest_cycle_ms = 0;
    double mean_cycle_ms = 0;
    bool others_every_cycle = true;
};

// Drains register 1's first `lines` lines with the real cycle under `limits`.
Drain drain(const std::filesystem::path& root, int lines, registers::TurnLimits limits) {
    Service service(root);
    frame::ProcessingCycle cycle(service.ctx, frame::CycleSteps::standard(), limits);
    std::vector<sqlite3*> regs;
    for (int n = 1; n <= 3; ++n) regs.push_back(open_raw(service.paths.to_local(register_path(n))));
    const std::string left_sql = "SELECT count(*) FROM movimenti WHERE aggiornogiacenza = 'N' AND id <= " +
                                 std::to_string(lines);
    Drain d;
    std::vector<double> cycle_ms;
    RegisterSoftware till(service.paths.to_local(register_path(1)));
    const auto started = Clock::now();
    for (int receipt = 1; scalar(regs[0], left_sql.c_str()) > 0; ++receipt) {
        if (receipt > 10000) throw std::runtime_error("the backlog does not drain");
        for (int n : {2, 3}) {
            Stmt ring(regs[static_cast<std::size_t>(n - 1)],
                      "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione,"
                      " quantita, prezzo, totrig, codrep, tiporecord, numcassa) VALUES"
                      " ('S','N',46363,0.5,?,?,'ARTICOLO',1,1,1,1,1,?)");
            ring.i(1, receipt).t(2, article_ean(1)).i(3, n).run();
        }
        const auto cycle_started = Clock::now();
        cycle.Elabora_Casse();
        cycle_ms.push_back(ms(Clock::now() - cycle_started));
        d.longest_hold_ms = std::max(d.longest_hold_ms, ms(cycle.last_report().longest_hold));
        for (int n : {2, 3}) {
            if (scalar(regs[static_cast<std::size_t>(n - 1)], "SELECT count(*) FROM movimenti WHERE aggiornogiacenza = 'N'") != 0) {
                d.others_every_cycle = false;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    till.stop();
    for (auto* r : regs) sqlite3_close(r);

    d.lines_per_second = lines / seconds;
    auto waits = till.waits_ms();
    d.writes = static_cast<int>(waits.size());
    std::sort(waits.begin(), waits.end());
    if (!waits.empty()) {
        d.longest_wait_ms = waits.back();
        d.p99_wait_ms = waits[std::min(waits.size() - 1, waits.size() * 99 / 100)];
    }
    d.cycles = static_cast<int>(cycle_ms.size());
    d.longest_cycle_ms = *std::max_element(cycle_ms.begin(), cycle_ms.end());
    for (double c : cycle_ms) d.mean_cycle_ms += c / static_cast<double>(cycle_ms.size());
    return d;
}

double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

// CPU time of one idle cycle per register, with ten registers reached and nothing waiting.
double idle_cpu_ms_per_register(const std::filesystem::path& root) {
    constexpr int kRegisters = 10;
    constexpr int kCycles = 50;
    build_shop(root, 100, 0, Mix::uniform);
    platform::RootPathMap paths(root);
    for (int n = 2; n <= kRegisters; ++n) {
        if (auto st = shop::add_register(paths, n, register_path(n)); !st) throw std::runtime_error(st.message());
    }
    Service service(root);
    frame::ProcessingCycle cycle(service.ctx);
    for (int k = 0; k < 3; ++k) cycle.Elabora_Casse();  // files opened, statements prepared
    const double before = cpu_seconds();
    for (int k = 0; k < kCycles; ++k) cycle.Elabora_Casse();
    return (cpu_seconds() - before) * 1000.0 / (kCycles * kRegisters);
}

void print_drain(const char* name, const Drain& d) {
    std::printf("%-26s %9.0f %8.0f %8.0f %8d %10.0f %7d %9.0f %9.0f %6s\n", name, d.lines_per_second, d.longest_wait_ms,
                d.p99_wait_ms, d.writes, d.longest_hold_ms, d.cycles, d.mean_cycle_ms, d.longest_cycle_ms,
                d.others_every_cycle ? "yes" : "no");
}

}  // namespace

int main(int argc, char** argv) {
    int lines = 100000;
    int articles = 10000;
    int runs = 1;
    registers::TurnLimits turns{};
    std::filesystem::path base = std::filesystem::temp_directory_path() / "cassasync-backlog-bench";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--lines") lines = std::stoi(value());
        else if (arg == "--articles") articles = std::stoi(value());
        else if (arg == "--hold-ms") turns.hold = std::chrono::milliseconds(std::stoi(value()));
        else if (arg == "--pause-ms") turns.pause = std::chrono::milliseconds(std::stoi(value()));
        else if (arg == "--runs") runs = std::max(1, std::stoi(value()));
        else if (arg == "--dir") base = value();
        else {
            std::fprintf(stderr,
                         "usage: backlog_bench [--lines N] [--articles N] [--hold-ms MS] [--pause-ms MS] [--runs N]"
                         " [--dir DIR]\n");
            return 2;
        }
    }
    try {
        std::filesystem::remove_all(base);
        const auto built = base / "built";
        std::filesystem::create_directories(built);
        std::printf("building a shop: %d articles, %d lines waiting at register 1, registers 2 and 3 idle\n", articles,
                    lines);
        build_shop(built, articles, lines, Mix::uniform);
        platform::RootPathMap paths(built);
        for (int n = 2; n <= 3; ++n) {
            if (auto st = shop::add_register(paths, n, register_path(n)); !st) throw std::runtime_error(st.message());
        }
        std::printf("\n%-26s %9s %8s %8s %8s %10s %7s %9s %9s %6s\n", "drain", "lines/s", "wait max", "wait p99",
                    "writes", "held max", "cycles", "cycle ms", "cycle max", "others");
        std::printf("%-26s %9s %8s %8s %8s %10s %7s %9s %9s %6s\n", "", "", "ms", "ms", "", "ms", "", "mean", "ms",
                    "served");
        registers::TurnLimits between = turns;
        between.free_while_working = false;
        const registers::TurnLimits whole{
            .hold = 24h, .pause = 0ms, .budget = 24h, .retake_wait = 1s, .free_while_working = false};
        const struct Way {
            const char* name;
            registers::TurnLimits limits;
            const char* batch_lines;  // the receipt import's batches; null: as the service has them
        } ways[] = {
            {"before: held, 1,000-line", whole, "1000"},
            {"semaphore held throughout", whole, nullptr},
            {"turns between batches", between, nullptr},
            {"taking turns", turns, nullptr},
        };
        constexpr std::size_t kWays = std::size(ways);
        double best[kWays] = {};
        for (int run = 1; run <= runs; ++run) {
            for (std::size_t w = 0; w < kWays; ++w) {
                const auto copy = base / "drain";
                std::filesystem::remove_all(copy);
                std::filesystem::copy(built, copy, std::filesystem::copy_options::recursive);
                if (ways[w].batch_lines) ::setenv(sales::kBatchLinesVariable, ways[w].batch_lines, 1);
                const Drain d = drain(copy, lines, ways[w].limits);
                ::unsetenv(sales::kBatchLinesVariable);
                print_drain(ways[w].name, d);
                best[w] = std::max(best[w], d.lines_per_second);
            }
        }
        std::printf("\nturns: held at most %lld ms, then free for %lld ms; at most %lld ms of a cycle per register\n",
                    static_cast<long long>(turns.hold.count()), static_cast<long long>(turns.pause.count()),
                    static_cast<long long>(turns.budget.count()));
        std::printf("best of %d, lines/s: before these changes (batches of 1,000, semaphore held throughout) %.0f;"
                    " now held throughout %.0f; turns between batches %.0f; taking turns %.0f\n",
                    runs, best[0], best[1], best[2], best[3]);
        std::printf("taking turns keeps %.0f%% of the speed before these changes and %.0f%% of the same code holding"
                    " the semaphore throughout (turns between batches only: %.0f%%)\n",
                    100.0 * best[3] / best[0], 100.0 * best[3] / best[1], 100.0 * best[2] / best[1]);

        const double idle = idle_cpu_ms_per_register(base / "idle");
        std::printf("idle cycle, ten registers reached, nothing waiting: %.2f ms CPU per register per cycle\n", idle);
        std::filesystem::remove_all(base);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "backlog_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
