// The status server: the health model over HTTP for anyone in the shop. Routes `/` (the
// page), `/status.json` and `/metrics`; read-only (every other method gets 405). It runs
// on its own small pool of threads and reads only the health snapshot, so a bad or slow
// client never touches the cycle. A token, when given, is needed by every request
// (header or query); one is required to listen beyond the loopback network. Created by
// the program's main after start-up; stops when it goes.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "frame/health.h"
#include "platform/error.h"

namespace cassasync::status_page {

// Where to listen: "ADDR:PORT" with an IPv4 address, or "off".
struct ListenAddress {
    std::string host;
    int port = 0;  // 0: any free port (tests)
};
inline constexpr const char* kDefaultListen = "127.0.0.1:8750";
// nullopt for "off"; raises std::invalid_argument with the reason for a bad text.
std::optional<ListenAddress> parse_listen(const std::string& text);
bool is_loopback(const std::string& host);
// The token in `file`, blanks and line ends around it removed; raises std::runtime_error
// when the file cannot be read or holds none.
std::string read_token(const std::string& file);

struct ServerOptions {
    ListenAddress listen;
    std::string token;  // empty: no token asked
    int threads = 4;
    std::chrono::seconds read_timeout{5};
};

class StatusServer {
public:
    StatusServer(const frame::Health& health, ServerOptions options);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds and starts serving. An error (address in use, beyond the loopback without a
    // token) is returned, never thrown; the service goes on without the page.
    Status start();
    // "http://127.0.0.1:8750/" once started.
    std::string url() const;
    int port() const { return port_; }
    void stop();

private:
    struct Impl;
    const frame::Health& health_;
    ServerOptions options_;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace cassasync::status_page
