// Starts a separate program without waiting for it (the article loader). The child is
// detached: it does not inherit our descriptors beyond stdio and is never reaped by the
// caller, so it outlives the service if need be.
#pragma once

#include <filesystem>

#include "platform/error.h"

namespace cassasync::platform {

class ProcessStarter {
public:
    virtual ~ProcessStarter() = default;
    // Starts `program` with no arguments; returns once the process exists.
    virtual Status start_detached(const std::filesystem::path& program) = 0;
};

class PosixProcessStarter : public ProcessStarter {
public:
    Status start_detached(const std::filesystem::path& program) override;
};

// True when `p` is an ordinary file that this process may execute.
bool is_executable_file(const std::filesystem::path& p);

}  // namespace cassasync::platform
