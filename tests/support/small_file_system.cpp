#include "support/small_file_system.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace cassasync::testing {

namespace fs = std::filesystem;

SmallFileSystem::SmallFileSystem(const fs::path& where, const char* size) : where_(where) {
    fs::create_directories(where);
    const std::string options = std::string("size=") + size;
    if (::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0) {
        mounted_ = true;
    } else {
        error_ = std::strerror(errno);
    }
}

SmallFileSystem::~SmallFileSystem() {
    // Detached: a program of the test may still hold a file open in there.
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
}

std::uintmax_t SmallFileSystem::fill(const std::string& name) const {
    // Small blocks, each flushed, so that the last free bytes are taken too.
    std::ofstream out(where_ / name, std::ios::binary);
    const std::string block(512, 'f');
    while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) {
    }
    std::error_code ec;
    const auto written = fs::file_size(where_ / name, ec);
    return ec ? 0 : written;
}

}  // namespace cassasync::testing
