// The service program as tests start it. Tests run in parallel, so a service started by
// a test never listens on the status page's fixed port: it is switched off here, and the
// tests of the page itself ask for a free loopback port.
#pragma once

#include <string>
#include <vector>

namespace cassasync::testing {

inline const std::string kServiceProgram = CASSASYNC_BINARY_DIR "/app/cassasync";

// {program, args..., --status-listen LISTEN}; the page's own tests give "127.0.0.1:0".
inline std::vector<std::string> service_command(std::vector<std::string> args, const std::string& listen = "off") {
    args.insert(args.begin(), kServiceProgram);
    args.push_back("--status-listen");
    args.push_back(listen);
    return args;
}

}  // namespace cassasync::testing
