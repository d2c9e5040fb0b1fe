// Starts a separate program without waiting for it (the article loader). The child is
// detached: it does not inherit our descriptors beyond stdio and is never reaped by the
// caller, so it outlives the service if need be.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/error.h"

namespace cassasync::platform {

class ProcessStarter {
public:
    virtual ~ProcessStarter() = default;
    // Starts `program` with no arguments; returns once the process exists.
    virtual Status start_detached(const std::filesystem::path& program) = 0;
    // Starts `program` with `args` after its name and `env` added to the service's own
    // environment; returns once the process exists. Not every starter can.
    virtual Status start_detached_with(const std::filesystem::path& program, const std::vector<std::string>& args,
                                       const std::map<std::string, std::string>& env);
};

class PosixProcessStarter : public ProcessStarter {
public:
    Status start_detached(const std::filesystem::path& program) override;
    Status start_detached_with(const std::filesystem::path& program, const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env) override;
};

// True when `p` is an ordinary file that this process may execute.
bool is_executable_file(const std::filesystem::path& p);

}  // namespace cassasync::platform
