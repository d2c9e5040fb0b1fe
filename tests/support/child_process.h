// Runs the shop's real programs from a test: a child started with its arguments, its
// standard output and error going to one file (or error to a second one), optionally
// with changes to its environment, waited for with a time limit, stopped by a signal. A
// child still running when the object goes is killed and reaped, so a failing test never
// leaves a program behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cassasync::testing {

struct ChildOptions {
    std::optional<std::filesystem::path> error;  // standard error on its own; default: with the output
    std::map<std::string, std::string> set_env;
    std::vector<std::string> unset_env;
    bool truncate = false;  // the output files start empty; default: appended to
};

class ChildProcess {
public:
    // Starts `argv[0]` with the arguments; raises std::runtime_error when it cannot.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& output,
                 const ChildOptions& options = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit status (128 + signal number for a child ended by a signal), or nothing
    // when the child is still running after `limit`.
    std::optional<int> wait_for(std::chrono::milliseconds limit);
    bool running();
    void send(int signal_number);
    const std::filesystem::path& output() const { return output_; }
    std::string out() const;  // what the child wrote to its output file
    std::string err() const;  // ... to its error file (its output file when shared)

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path output_;
    std::filesystem::path error_;
};

// Starts, waits up to `limit` and returns the exit status; a child still running then
// is killed and reported as -1.
int run_program(const std::vector<std::string>& argv, const std::filesystem::path& output,
                std::chrono::milliseconds limit);

// The last `count` lines of a text file, for failure messages.
std::string tail_of(const std::filesystem::path& file, int count);

}  // namespace cassasync::testing
