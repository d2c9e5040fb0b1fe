#include "masterdata/loader_launch.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "core/back_office_paths.h"

namespace cassasync::masterdata {

void start_qvo(const platform::PathMap& paths, platform::ProcessStarter& starter) {
    const auto program = paths.to_local(core::kLoaderPath);
    // No loader installed is not an error: the registers then keep their data.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(program, ec)) return;
    // One installed without its execute permission would leave the registers without
    // new article data and nobody told why.
    if (!platform::is_executable_file(program)) {
        throw std::runtime_error("article loader: " + program.string() +
                                 " is not executable; make it executable (chmod +x " + program.string() + ")");
    }
    // Started and forgotten: the service never learns whether the loader succeeded.
    const Status started = starter.start_detached(program);
    if (!started) throw std::runtime_error("article loader: " + started.message());
}

}  // namespace cassasync::masterdata
