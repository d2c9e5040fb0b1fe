// A small file system of its own (tmpfs), mounted at a folder for one test and gone with
// it: how a test gives one part of a shop a disk that fills up. Mounting needs the right
// to mount; a test checks `mounted()` and skips with `error()` where it may not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace cassasync::testing {

class SmallFileSystem {
public:
    // Mounts a tmpfs of `size` (tmpfs's own notation: "128k", "8m") at `where`, creating
    // the folder; what the folder held is hidden until the object goes.
    SmallFileSystem(const std::filesystem::path& where, const char* size);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

    // Writes `name` in the mounted folder until the file system has no room left; gives
    // the bytes written. Removing the file gives the room back.
    std::uintmax_t fill(const std::string& name) const;

private:
    std::filesystem::path where_;
    bool mounted_ = false;
    std::string error_;
};

}  // namespace cassasync::testing
