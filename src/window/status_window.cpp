#include "window/status_window.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "window/main_window.h"
#include "window/worker_thread.h"

namespace cassasync::window {

namespace {

// Documentation aid (scripts/screenshot.sh): CASSASYNC_SCREENSHOT=/path.png saves the
// window a little after start-up and then closes it as the exit button would.
// CASSASYNC_SCREENSHOT_DELAY_MS changes the wait (default 2500 ms, a couple of
// refreshes and an even number of blinks, so the served lamps are lit).
constexpr const char* kScreenshotVariable = "CASSASYNC_SCREENSHOT";
constexpr const char* kScreenshotDelayVariable = "CASSASYNC_SCREENSHOT_DELAY_MS";
constexpr int kScreenshotDelayMs = 2500;
// Set in the environment of the child that tries the display.
constexpr const char* kProbeVariable = "CASSASYNC_PROBE_DISPLAY";
constexpr std::chrono::seconds kProbeLimit{15};

bool variable_set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

void schedule_screenshot(MainWindow& window) {
    if (!variable_set(kScreenshotVariable)) return;
    const QString file = QString::fromLocal8Bit(std::getenv(kScreenshotVariable));
    int delay = kScreenshotDelayMs;
    if (variable_set(kScreenshotDelayVariable)) delay = std::atoi(std::getenv(kScreenshotDelayVariable));
    QTimer::singleShot(delay, &window, [&window, file] {
        window.refresh_from_board();
        QDir().mkpath(QFileInfo(file).absolutePath());
        if (!window.grab().save(file))
            std::fprintf(stderr, "cassasync: cannot save the screenshot to %s\n", file.toLocal8Bit().constData());
        window.close();
    });
}

}  // namespace

bool display_variable_set() {
    return variable_set("QT_QPA_PLATFORM") || variable_set("DISPLAY") || variable_set("WAYLAND_DISPLAY");
}

bool display_available() {
    if (!display_variable_set()) return false;
    // A display variable may name a display that is not there (a session that has ended, a
    // server not started yet), and Qt ends the whole process when it cannot open one. A
    // child process of this same program opens it first; only if that works does the
    // service show its window.
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
    env_text.push_back(std::string(kProbeVariable) + "=1");
    std::vector<char*> env;
    for (auto& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, self, &quiet, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&quiet);
    if (rc != 0) return false;
    // A display that answers but never finishes opening counts as none.
    const auto until = std::chrono::steady_clock::now() + kProbeLimit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool probing_display() { return variable_set(kProbeVariable); }

int probe_display(int& argc, char** argv) {
    QApplication app(argc, argv);
    return 0;
}

int run_status_window(int& argc, char** argv, frame::Context& ctx, const frame::WorkerOptions& options,
                      const std::string& startup_message) {
    QApplication app(argc, argv);
    // The program ends when the window has finished closing (worker stopped, files
    // closed), not when the last window merely disappears.
    QApplication::setQuitOnLastWindowClosed(false);

    {
        WorkerThread worker([&ctx, options] { frame::run_worker(ctx, options); }, ctx.log);
        MainWindow window(ctx, &worker);
        QObject::connect(&window, &MainWindow::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
        window.show();

        if (!startup_message.empty()) {
            auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("cassasync"),
                                        QString::fromStdString(startup_message), QMessageBox::Ok, &window);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setWindowModality(Qt::NonModal);
            box->show();
        }
        schedule_screenshot(window);

        QApplication::exec();

        // Normally the window has already done this; it matters only when the event
        // loop ended some other way.
        ctx.stop_requested.store(true);
        worker.join();
    }
    ctx.databases.close_all();
    ctx.log.close();
    return 0;
}

}  // namespace cassasync::window
