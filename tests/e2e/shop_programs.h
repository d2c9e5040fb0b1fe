// The shop's programs as the end-to-end tests run them, and the clock-shifting library
// that runs one of them at another time of day.
#pragma once

#include <filesystem>
#include <string>

namespace cassasync::testing {

inline const std::string kShop = CASSASYNC_BINARY_DIR "/tools/cassasync-shop";
inline const std::string kStandIn = CASSASYNC_BINARY_DIR "/tools/cassasync-register";
inline const std::string kService = CASSASYNC_BINARY_DIR "/app/cassasync";
// From the Debian package faketime: preloaded, it shifts the wall clock of one program.
inline const std::filesystem::path kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// Why an end-to-end test cannot run without ICMP echo.
inline constexpr const char* kNoIcmp =
    "this process may not open an ICMP socket: the service could not see its registers";

}  // namespace cassasync::testing
