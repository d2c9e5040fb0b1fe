// The service program as tests start it. Tests run in parallel, so a service started by
// a test never listens on the status page's fixed port: it is switched off here, and the
// tests of the page itself ask for a free loopback port.
#pragma once

#include <string>
#include <vector>

namespace cassasync::testing {

inline const std::string kServiceProgram = CASSASYNC_BINARY_DIR "/app/cassasync";
inline constexpr const char* kStatusOff[] = {"--status-listen", "off"};

// {program, args..., --status-listen off}
inline std::vector<std::string> service_command(std::vector<std::string> args) {
    args.insert(args.begin(), kServiceProgram);
    args.insert(args.end(), std::begin(kStatusOff), std::end(kStatusOff));
    return args;
}

}  // namespace cassasync::testing
