// Test-only program for the receipt import crash test: sets up the service for a shop
// root the way a complete start-up leaves it and runs one receipt import of register 1.
// With "--die-after-commit K" it kills itself right after the K-th batch's central
// commit, before the register's marks: the instant a crash would import lines twice.
//
//   sales_crash_child ROOT [--batch-lines N] [--die-after-commit K]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "frame/context.h"
#include "frame/startup.h"
#include "sales/receipt_import.h"
#include "support/shop_fixture.h"

int main(int argc, char** argv) {
    using namespace cassasync;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ROOT [--batch-lines N] [--die-after-commit K]\n", argv[0]);
        return 2;
    }
    sales::ImportTuning tuning;
    int die_after = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--batch-lines") tuning.batch_lines = static_cast<std::size_t>(std::atoi(argv[i + 1]));
        if (option == "--die-after-commit") die_after = std::atoi(argv[i + 1]);
    }
    int commits = 0;
    if (die_after > 0) {
        tuning.after_central_commit = [&] {
            if (++commits == die_after) std::raise(SIGKILL);
        };
    }
    try {
        platform::RootPathMap paths(argv[1]);
        platform::FixedClock clock(platform::LocalTime{2026, 12, 7, 10, 0, 0});
        cassasync::testing::FakePinger pinger;
        pinger.set_up("127.0.0.1", true);
        cassasync::testing::RecordingStarter starter;
        frame::Context ctx(paths, clock, pinger, starter);
        // The service's own start-up: settings from the company file, the central files opened.
        if (auto started = frame::run_startup(ctx); started.outcome != frame::StartupOutcome::complete) {
            throw std::runtime_error("start-up failed: " + started.message);
        }
        auto figures = sales::Travaso_Scontrini(ctx, 1, tuning);
        std::printf("%lld lines, %d batches, %d settled\n", static_cast<long long>(figures.lines), figures.batches,
                    figures.settled);
        ctx.databases.close_all();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "import failed: %s\n", e.what());
        return 1;
    }
}
