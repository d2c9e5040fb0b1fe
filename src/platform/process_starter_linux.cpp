#include "platform/process_starter.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

namespace cassasync::platform {
namespace {

// Everything between fork and exec must be async-signal-safe: the service has other
// threads whose locks may be held at the moment of the fork.

[[noreturn]] void report_and_exit(int pipe_fd, int code) {
    const int error = errno;
    [[maybe_unused]] ssize_t ignored = ::write(pipe_fd, &error, sizeof error);
    ::_exit(code);
}

void mark_descriptors_close_on_exec() {
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < (limit > 0 ? limit : 1024); ++fd) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
}

[[noreturn]] void become_program(const char* program, char* const* argv, char* const* envp, int pipe_fd) {
    // The program starts with default signal handling and nothing blocked, whatever
    // the service set up for itself.
    struct sigaction default_action{};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        ::sigaction(signal_number, &default_action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0) report_and_exit(pipe_fd, 127);
    for (int std_fd = 0; std_fd <= 2; ++std_fd) {
        if (::dup2(null_fd, std_fd) < 0) report_and_exit(pipe_fd, 127);
    }
    if (null_fd > 2) ::close(null_fd);
    mark_descriptors_close_on_exec();

    if (envp) {
        ::execve(program, argv, envp);
    } else {
        ::execv(program, argv);
    }
    report_and_exit(pipe_fd, 127);
}

}  // namespace

Status ProcessStarter::start_detached_with(const std::filesystem::path& program, const std::vector<std::string>&,
                                           const std::map<std::string, std::string>&) {
    return Status::error("cannot start " + program.string() + " with arguments here");
}

Status PosixProcessStarter::start_detached(const std::filesystem::path& program) {
    return start_detached_with(program, {}, {});
}

Status PosixProcessStarter::start_detached_with(const std::filesystem::path& program,
                                                const std::vector<std::string>& args,
                                                const std::map<std::string, std::string>& env) {
    const std::string name = program.string();
    if (name.empty()) return Status::error("cannot start a program: no program path given");

    // Built before the fork: nothing may allocate between fork and exec.
    std::vector<std::string> arg_texts = {name};
    arg_texts.insert(arg_texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : arg_texts) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_texts;
    std::vector<char*> envp;
    if (!env.empty()) {
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const auto eq = entry.find('=');
            if (eq != std::string::npos && env.count(entry.substr(0, eq))) continue;
            env_texts.push_back(entry);
        }
        for (const auto& [key, value] : env) env_texts.push_back(key + "=" + value);
        for (auto& e : env_texts) envp.push_back(e.data());
        envp.push_back(nullptr);
    }

    // The pipe stays silent and closes when exec succeeds (close-on-exec); a failed
    // exec writes its errno into it first.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return errno_status("cannot start " + name);

    const pid_t child = ::fork();
    if (child < 0) {
        Status status = errno_status("cannot start " + name);
        ::close(report[0]);
        ::close(report[1]);
        return status;
    }
    if (child == 0) {
        // The middle process only sets up a new session and exits at once, so the
        // program is adopted by init and the service never has to reap it.
        ::close(report[0]);
        if (::setsid() < 0) report_and_exit(report[1], 1);
        const pid_t grandchild = ::fork();
        if (grandchild < 0) report_and_exit(report[1], 1);
        if (grandchild == 0) become_program(name.c_str(), argv.data(), envp.empty() ? nullptr : envp.data(), report[1]);
        ::_exit(0);
    }

    ::close(report[1]);
    int wait_status = 0;
    while (::waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
    }

    int exec_error = 0;
    ssize_t got;
    while ((got = ::read(report[0], &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == 0) return Status::ok();
    if (got == static_cast<ssize_t>(sizeof exec_error)) {
        errno = exec_error;
        return errno_status("cannot start " + name);
    }
    return Status::error("cannot start " + name + ": no report from the new process");
}

bool is_executable_file(const std::filesystem::path& p) {
    struct stat info{};
    if (::stat(p.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    return ::access(p.c_str(), X_OK) == 0;
}

}  // namespace cassasync::platform
