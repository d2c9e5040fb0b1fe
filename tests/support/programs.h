// Where a test finds the shop's real programs (the ones this build made), and their
// command lines on a shop root, so that every process test starts them the same way.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace cassasync::testing {

inline const std::string kBinaryDir = CASSASYNC_BINARY_DIR;
inline const std::string kServiceProgram = kBinaryDir + "/app/cassasync";
inline const std::string kShopProgram = kBinaryDir + "/tools/cassasync-shop";
inline const std::string kStandInProgram = kBinaryDir + "/tools/cassasync-register";

// From the Debian package faketime: preloaded, it shifts the wall clock of one program.
inline const std::filesystem::path kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// ASAN_OPTIONS for a program started with a preloaded library (the faked clock): the
// sanitizer runtime of the sanitizer build would otherwise refuse to start it.
inline std::string asan_options_with_preload() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return std::string(asan ? asan : "") + ":verify_asan_link_order=0";
}

// Why a process test cannot run without ICMP echo.
inline constexpr const char* kNoIcmp =
    "this process may not open an ICMP socket: the service could not see its registers";

using Args = std::vector<std::string>;

// cassasync-shop --root ROOT MORE...
Args shop_args(const std::filesystem::path& root, const Args& more);
// cassasync --root ROOT --headless MORE... Tests run in parallel, so a service a test
// starts never listens on the status page's fixed port: unless MORE names a
// --status-listen of its own, the page is switched off.
Args service_args(const std::filesystem::path& root, const Args& more);
// cassasync ARGS... --status-listen LISTEN, for a test that sets every option itself; the
// page's own tests give "127.0.0.1:0", a free loopback port.
Args service_command(Args args, const std::string& listen = "off");
// cassasync-register --root ROOT --register N MORE...
Args stand_in_args(const std::filesystem::path& root, int n, const Args& more);

}  // namespace cassasync::testing
