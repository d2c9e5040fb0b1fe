// Runs the shop's real programs from a test: a child started with its arguments, its
// standard output and error going to one file, waited for with a time limit, stopped by
// a signal. A child still running when the object goes is killed and reaped, so a
// failing test never leaves a program behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace cassasync::testing {

class ChildProcess {
public:
    // Starts `argv[0]` with the arguments; raises std::runtime_error when it cannot.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& output);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit status (128 + signal number for a child ended by a signal), or nothing
    // when the child is still running after `limit`.
    std::optional<int> wait_for(std::chrono::milliseconds limit);
    bool running();
    void send(int signal_number);
    const std::filesystem::path& output() const { return output_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path output_;
};

// Starts, waits up to `limit` and returns the exit status; a child still running then
// is killed and reported as -1.
int run_program(const std::vector<std::string>& argv, const std::filesystem::path& output,
                std::chrono::milliseconds limit);

std::string read_text(const std::filesystem::path& file);

// The last `count` lines of a text file, for failure messages.
std::string tail_of(const std::filesystem::path& file, int count);

}  // namespace cassasync::testing
