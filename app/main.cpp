// cassasync: the back-office synchronisation service. Runs start-up, then the processing
// cycle on a worker thread, with the status window or, headless, a console status line
// per cycle. SIGINT and SIGTERM act like the window's exit button.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <pthread.h>
#include <signal.h>

#include "core/back_office_paths.h"
#include "frame/alerts.h"
#include "frame/backups.h"
#include "frame/context.h"
#include "frame/cycle.h"
#include "frame/startup.h"
#include "platform/clock.h"
#include "platform/instance_lock.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"
#include "platform/stop_signals.h"
#include "platform/service_notify.h"
#include "status_page/status_server.h"

#ifdef CASSASYNC_HAVE_WINDOW
#include "window/status_window.h"
#endif

#include "cassasync_version.h"

namespace {

using namespace cassasync;

// SIGINT and SIGTERM are blocked in every thread and taken by one watcher thread, which
// asks the worker to stop as the exit button does. No handler runs in signal context,
// so nothing but an ordinary thread touches the context.
class SignalWatcher {
public:
    // Before any other thread exists, so that all of them inherit the blocked signals.
    explicit SignalWatcher(std::atomic<bool>& stop) {
        thread_ = std::thread([this, &stop] {
            while (!done_.load()) {
                if (signals_.wait(std::chrono::milliseconds(100))) {
                    stop.store(true);
                    return;
                }
            }
        });
    }
    ~SignalWatcher() {
        done_.store(true);
        thread_.join();
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    platform::StopSignals signals_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// "C", "c" or "C:": the drive letter, upper-cased; 0 when the text is no drive.
char drive_letter(const std::string& text) {
    if (text.empty() || text.size() > 2 || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
    if (text.size() == 2 && text[1] != ':') return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
}

// Why start-up stopped and what mends it, on the console: under a service manager that
// is all a person sees. With the window too, for whoever started it from a console.
void print_startup_failure(const frame::StartupResult& started) {
    if (!started.reason.empty()) std::fprintf(stderr, "cassasync: start-up stopped: %s\n", started.reason.c_str());
}

int run_headless(frame::Context& ctx, const frame::WorkerOptions& options, const frame::StartupResult& started) {
    if (!started.message.empty()) std::fprintf(stderr, "cassasync: %s\n", started.message.c_str());
    print_startup_failure(started);
    frame::WorkerOptions console = options;
    // The cycle's line, and the most serious alert in force, as the window shows it.
    console.on_cycle = [&ctx](const std::string& line) {
        const std::string alert = ctx.health.alert();
        if (alert.empty()) {
            std::printf("%s\n", line.c_str());
        } else {
            std::printf("%s  %s%s\n", line.c_str(), frame::kAlertMark, alert.c_str());
        }
        std::fflush(stdout);
    };
    frame::run_worker(ctx, console);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef CASSASYNC_HAVE_WINDOW
    if (window::probing_display()) return window::probe_display(argc, argv);
#endif
    CLI::App app{"cassasync: back-office synchronisation service for the shop's cash registers"};
    std::string root = core::default_root();
    std::string drive = "C";
    bool headless = false;
    int cycles = -1;
    int tick_ms = 5000;
    app.add_option("--root", root, "shop root folder (default $CASSASYNC_ROOT, else /var/lib/cassasync)");
    app.add_option("--drive", drive, "the current drive, where the company database is looked for (default C)")
        ->check([](const std::string& text) {
            return drive_letter(text) ? std::string() : std::string("a drive letter such as C or D: is expected");
        });
    app.add_flag("--headless", headless, "no window, a status line per cycle on standard output");
    app.add_option("--cycles", cycles, "exit after N processing cycles; 0 = right after start-up")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--tick-ms", tick_ms, "processing timer interval in milliseconds (default 5000)")
        ->check(CLI::Range(1, 24 * 60 * 60 * 1000));
    std::string backup_dir;
    int keep_backups = 14;
    app.add_option("--backup-dir", backup_dir, "where the daily copies go (default ROOT/C/tarvi/bkp/copie)");
    app.add_option("--keep-backups", keep_backups, "how many daily copies are kept (default 14)")
        ->check(CLI::Range(1, 3650));
    std::string status_listen = status_page::kDefaultListen;
    std::string status_token_file;
    frame::AlertOptions alert_options;
    app.add_option("--status-listen", status_listen,
                   "where the status page listens, ADDR:PORT (port 0: any free one) or off (default 127.0.0.1:8750)")
        ->check([](const std::string& text) {
            try {
                status_page::parse_listen(text);
                return std::string();
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
        });
    app.add_option("--status-token", status_token_file,
                   "file holding the token every status request must carry (needed beyond 127.0.0.0/8)");
    app.add_option("--alert-command", alert_options.command,
                   "shell command run for each alert: $1 started|repeated|cleared, $2 error|warning, $3 key, $4 text");
    app.add_option("--alert-unreached-min", alert_options.unreached_minutes,
                   "minutes a register may stay unreached before an alert (default 15)")
        ->check(CLI::Range(1, 24 * 60));
    app.set_version_flag("--version", std::string("cassasync ") + CASSASYNC_VERSION);
    CLI11_PARSE(app, argc, argv);

    const auto listen = status_page::parse_listen(status_listen);
    std::string status_token;
    if (!status_token_file.empty()) {
        try {
            status_token = status_page::read_token(status_token_file);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "cassasync: %s\n", e.what());
            return 1;
        }
    }
    if (listen && !status_page::is_loopback(listen->host) && status_token.empty()) {
        std::fprintf(stderr, "cassasync: --status-listen %s is beyond 127.0.0.0/8: give --status-token FILE\n",
                     status_listen.c_str());
        return 1;
    }

    // A console that goes away (a closed pipe) must not end the service: writes to it fail
    // and are ignored.
    std::signal(SIGPIPE, SIG_IGN);
    std::error_code missing;
    if (!std::filesystem::is_directory(root, missing)) {
        std::fprintf(stderr, "cassasync: the shop root %s is not a folder (give --root or set CASSASYNC_ROOT)\n",
                     root.c_str());
        return 1;
    }
    Status locked;
    const auto lock = platform::InstanceLock::acquire(std::filesystem::path(root) / "cassasync.lock", locked);
    if (!lock) {
        std::fprintf(stderr, "cassasync: %s\n", locked.message().c_str());
        return 1;
    }
    // The journal then shows which build served the shop from this start on.
    std::fprintf(stderr, "cassasync %s: starting on %s\n", CASSASYNC_VERSION, root.c_str());

    platform::RootPathMap paths(root);
    platform::SystemClock clock;
    platform::IcmpPinger pinger;
    platform::PosixProcessStarter starter;
    frame::Context ctx(paths, clock, pinger, starter);
    ctx.backups.folder = backup_dir;
    ctx.backups.keep = keep_backups;
    SignalWatcher signals(ctx.stop_requested);

    const frame::StartupResult started = frame::run_startup(ctx, drive_letter(drive));
    if (started.outcome == frame::StartupOutcome::log_unavailable) {
        std::fprintf(stderr, "cassasync: %s\n", started.message.c_str());
        ctx.databases.close_all();
        return 1;
    }

    if (started.outcome == frame::StartupOutcome::complete) {
        // A shop whose newest copy is more than a day old (or that has none) is copied
        // before the first cycle; a failure is one log line.
        try {
            frame::back_up_if_due(ctx, true);
        } catch (const std::exception& e) {
            ctx.log.progress(e.what());
        }
    }

    ctx.health.set_started(frame::clock_seconds(clock.now()), ctx.log.file().string());
    // The page is for people: a port in use is said once and the service goes on without it.
    std::unique_ptr<status_page::StatusServer> status_server;
    if (listen) {
        status_server = std::make_unique<status_page::StatusServer>(
            ctx.health, status_page::ServerOptions{*listen, status_token});
        const Status served = status_server->start();
        const std::string line = served.is_ok() ? "Pagina di stato: " + status_server->url() : served.message();
        std::fprintf(stderr, "cassasync: %s\n", line.c_str());
        ctx.log.progress(line);
    }

    platform::SystemdNotifier notifier;
    frame::Alerts alerts(ctx, alert_options);
    frame::WorkerOptions options;
    options.tick = std::chrono::milliseconds(tick_ms);
    options.cycles = cycles;
    // Pinged only when a cycle completes: a cycle stuck on a dead share lets the
    // service manager's watchdog restart the service.
    options.after_cycle = [&](const std::string& line) {
        alerts.evaluate(ctx.health.snapshot());
        notifier.status(line);
        notifier.watchdog();
    };
    notifier.ready();

    int status = 0;
#ifdef CASSASYNC_HAVE_WINDOW
    const bool show_window = !headless && window::display_available();
    if (show_window) {
        print_startup_failure(started);
        status = window::run_status_window(argc, argv, ctx, options, started.message);
    } else {
        if (!headless && window::display_variable_set()) {
            std::fprintf(stderr, "cassasync: the display cannot be opened; running without the window\n");
        }
        status = run_headless(ctx, options, started);
    }
#else
    status = run_headless(ctx, options, started);
#endif
    notifier.stopping();
    if (status_server) status_server->stop();
    ctx.databases.close_all();
    ctx.log.close();
    return status;
}
