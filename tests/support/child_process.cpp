#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/shop_fixture.h"

extern char** environ;

namespace cassasync::testing {

namespace {

// This process's environment with the options' changes.
std::vector<std::string> environment_for(const ChildOptions& options) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        const bool dropped = options.set_env.count(name) ||
                             std::find(options.unset_env.begin(), options.unset_env.end(), name) !=
                                 options.unset_env.end();
        if (!dropped) env.push_back(entry);
    }
    for (const auto& [name, value] : options.set_env) env.push_back(name + "=" + value);
    return env;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& output,
                           const ChildOptions& options)
    : output_(output), error_(options.error.value_or(output)) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::vector<std::string> env_text = environment_for(options);
    std::vector<char*> env;
    for (const auto& e : env_text) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    const int mode = O_WRONLY | O_CREAT | (options.truncate ? O_TRUNC : O_APPEND);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), mode, 0644);
    if (options.error) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.error->c_str(), mode, 0644);
    } else {
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    // The child starts with no signal blocked, whatever the test runner does.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    const int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), env.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
}

std::optional<int> ChildProcess::wait_for(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!status_) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (r < 0) {
            status_ = -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

bool ChildProcess::running() { return !wait_for(std::chrono::milliseconds(0)); }

void ChildProcess::send(int signal_number) {
    if (pid_ > 0 && !status_) ::kill(pid_, signal_number);
}

int run_program(const std::vector<std::string>& argv, const std::filesystem::path& output,
                std::chrono::milliseconds limit) {
    ChildProcess child(argv, output);
    auto status = child.wait_for(limit);
    return status ? *status : -1;
}

std::string ChildProcess::out() const { return read_text_file(output_); }
std::string ChildProcess::err() const { return read_text_file(error_); }

std::string tail_of(const std::filesystem::path& file, int count) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    std::string out;
    const std::size_t from = lines.size() > static_cast<std::size_t>(count) ? lines.size() - count : 0;
    for (std::size_t i = from; i < lines.size(); ++i) out += lines[i] + "\n";
    return out;
}

}  // namespace cassasync::testing
