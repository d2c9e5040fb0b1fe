#include "masterdata/loader_launch.h"

#include <stdexcept>

namespace cassasync::masterdata {

void start_qvo(frame::Context& ctx) {
    const auto program = ctx.paths.to_local(frame::kLoaderPath);
    // No loader installed is not an error: the registers then keep their data.
    if (!platform::is_executable_file(program)) return;
    // Started and forgotten: the service never learns whether the loader succeeded.
    const Status started = ctx.starter.start_detached(program);
    if (!started) throw std::runtime_error("article loader: " + started.message());
}

}  // namespace cassasync::masterdata
