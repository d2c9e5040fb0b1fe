// cassasync-register: a stand-in for one cash register's own software, for demos and
// tests. It works on the register's database the way the register would
// (src/register_side/register_side.h): it rings up receipts, records loyalty-card
// readings, creates and changes barcodes and customers, issues invoices and leaves the
// day's close request, and `run` does a realistic mix of these at a given rate until it
// is stopped. This file only reads the options and calls the register side.
#include <CLI/CLI.hpp>


#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "cassasync_version.h"
#include "core/back_office_paths.h"
#include "platform/path_map.h"
#include "platform/stop_signals.h"
#include "register_side/register_side.h"
#include "shop/shop_admin.h"

namespace {

namespace platform = cassasync::platform;
using cassasync::register_side::CardChoice;
using cassasync::register_side::Register;
using cassasync::register_side::RegisterOptions;
using cassasync::register_side::Tally;

// SIGINT and SIGTERM are taken only at the points where the stand-in waits, so that an
// action is never cut in half.
class StopWaiter : public cassasync::register_side::Waiter {
public:
    bool wait(std::chrono::milliseconds ms) override { return signals_.wait(ms); }
    bool stopped() const override { return signals_.stopped(); }

private:
    platform::StopSignals signals_;
};


int run(Register& reg, double rate, double seconds, const std::string& summary, std::uint64_t seed) {
    StopWaiter stop;
    const auto result = cassasync::register_side::run_mix(reg, stop, rate, seconds, seed);
    cassasync::register_side::print_counts(reg.number(), result.tally, stdout);
    if (!summary.empty() && !cassasync::register_side::write_summary(reg, result.tally, result.seconds, summary)) {
        std::fprintf(stderr, "cassasync-register %d: cannot write the summary %s\n", reg.number(), summary.c_str());
        return 1;
    }
    return 0;
}

int finish_single(const Register& reg, const Tally& tally, bool done, const char* what) {
    if (!done) {
        std::fprintf(stderr,
                     "cassasync-register %d: %s given up: the register's semaphore stayed taken (Semafori.Flag1 not 0)\n",
                     reg.number(), what);
        return 2;
    }
    cassasync::register_side::print_counts(reg.number(), tally, stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"cassasync-register: a stand-in for a cash register's own software (demos and tests)"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("cassasync-register ") + CASSASYNC_VERSION);
    RegisterOptions options;
    options.company_path = cassasync::shop::kCompanyPath;
    options.default_main_path = cassasync::shop::kDefaultMainPath;
    std::string root = cassasync::core::default_root();
    app.add_option("--root", root, "shop root folder (default $CASSASYNC_ROOT or /var/lib/cassasync)");
    auto* number_opt = app.add_option("--register", options.number, "register number, 1 to 10")->check(CLI::Range(1, 10));
    auto* path_opt = app.add_option("--path", options.path, "register database path, e.g. \\\\127.0.0.1\\cassa\\dati.mdb");
    app.add_option("--lock-wait-ms", options.lock_wait_ms,
                   "longest wait for the register's semaphore before an action is given up (default 10000)")
        ->check(CLI::Range(0, 600000));
    app.add_option("--seed", options.seed, "random seed (default: a new one every run)");

    auto* ring = app.add_subcommand("ring", "ring up one receipt");
    int lines = 0;
    bool with_card = false, without_card = false;
    ring->add_option("--lines", lines, "article lines (default 1 to 6)")->check(CLI::Range(1, 200));
    ring->add_flag("--card", with_card, "the customer shows a loyalty card");
    ring->add_flag("--no-card", without_card, "no loyalty card");
    auto* card = app.add_subcommand("card", "record one loyalty-card reading");
    auto* article = app.add_subcommand("article", "create or change a barcode at the register");
    auto* customer = app.add_subcommand("customer", "create or change a customer at the register");
    auto* invoice = app.add_subcommand("invoice", "issue an invoice at the register");
    auto* close = app.add_subcommand("close", "ask the back office to close the register's day");
    auto* run_cmd = app.add_subcommand("run", "a realistic mix of all of the above until stopped");
    double rate = 2;
    double seconds = 0;
    std::string summary;
    run_cmd->add_option("--rate", rate, "actions per second")->required()->check(CLI::Range(0.01, 1000.0));
    run_cmd->add_option("--seconds", seconds, "stop after this many seconds (default: at SIGINT or SIGTERM)")
        ->check(CLI::Range(0.0, 1e7));
    run_cmd->add_option("--summary", summary, "write what was done to this file");

    CLI11_PARSE(app, argc, argv);
    if (!*number_opt && !*path_opt) {
        std::fprintf(stderr, "cassasync-register: give --register N or --path PATH\n");
        return 1;
    }

    try {
        platform::RootPathMap paths(root);
        Register reg(options, paths);
        Tally tally;
        if (ring->parsed()) return finish_single(reg, tally, reg.ring(tally, lines, with_card ? CardChoice::with_card : (without_card ? CardChoice::without_card : CardChoice::by_chance), nullptr), "receipt");
        if (card->parsed()) return finish_single(reg, tally, reg.card(tally, nullptr), "card reading");
        if (article->parsed()) return finish_single(reg, tally, reg.article(tally, nullptr), "barcode change");
        if (customer->parsed()) return finish_single(reg, tally, reg.customer(tally, nullptr), "customer change");
        if (invoice->parsed()) return finish_single(reg, tally, reg.invoice(tally, nullptr), "invoice");
        if (close->parsed()) {
            const std::string request = reg.close_request();
            std::printf("register %d: close request left at %s\n", reg.number(), request.c_str());
            return 0;
        }
        if (run_cmd->parsed()) return run(reg, rate, seconds, summary, options.seed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cassasync-register: %s\n", e.what());
        return 1;
    }
    return 0;
}
