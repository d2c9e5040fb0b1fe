#include "status_page/status_server.h"

#include <httplib.h>
#include <arpa/inet.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "status_page/status_views.h"

namespace cassasync::status_page {

namespace {

constexpr const char* kTokenHeader = "X-Status-Token";
constexpr const char* kTokenQuery = "token";
constexpr const char* kBearer = "Bearer ";
// No route takes a body: anything larger than this is refused before it is read.
constexpr std::size_t kMaxBody = 1024;
constexpr std::size_t kKeepAliveRequests = 20;

bool same_token(const std::string& a, const std::string& b) {
    // Compared in full whatever differs first, so timing tells nothing about the token.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                      static_cast<unsigned char>(i < b.size() ? b[i] : 0));
    }
    return diff == 0;
}

std::string offered_token(const httplib::Request& req) {
    if (req.has_header(kTokenHeader)) return req.get_header_value(kTokenHeader);
    const std::string auth = req.get_header_value("Authorization");
    if (auth.rfind(kBearer, 0) == 0) return auth.substr(std::string(kBearer).size());
    if (req.has_param(kTokenQuery)) return req.get_param_value(kTokenQuery);
    return {};
}

}  // namespace

std::optional<ListenAddress> parse_listen(const std::string& text) {
    if (text == "off") return std::nullopt;
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        throw std::invalid_argument("ADDR:PORT or off is expected, not \"" + text + "\"");
    }
    ListenAddress a;
    a.host = text.substr(0, colon);
    in_addr parsed{};
    if (inet_pton(AF_INET, a.host.c_str(), &parsed) != 1) {
        throw std::invalid_argument("\"" + a.host + "\" is not an IPv4 address");
    }
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
        throw std::invalid_argument("\"" + port + "\" is not a port number");
    }
    a.port = std::stoi(port);
    if (a.port > 65535) throw std::invalid_argument("port " + port + " is beyond 65535");
    return a;
}

bool is_loopback(const std::string& host) {
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) return false;
    return (ntohl(parsed.s_addr) >> 24) == 127;
}

std::string read_token(const std::string& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("the status token file " + file + " cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    std::string token = text.str();
    const auto first = token.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) throw std::runtime_error("the status token file " + file + " is empty");
    token = token.substr(first, token.find_last_not_of(" \t\r\n") - first + 1);
    return token;
}

struct StatusServer::Impl {
    httplib::Server server;
};

StatusServer::StatusServer(const frame::Health& health, ServerOptions options)
    : health_(health), options_(std::move(options)), impl_(std::make_unique<Impl>()) {}

StatusServer::~StatusServer() { stop(); }

Status StatusServer::start() {
    if (!is_loopback(options_.listen.host) && options_.token.empty()) {
        return Status::error("the status page listens beyond 127.0.0.0/8 only with --status-token");
    }
    auto& srv = impl_->server;
    const int threads = options_.threads;
    srv.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    // Address reuse for a quick restart, but not port sharing: a second service on the
    // same port must be told the port is taken, not be handed half the requests.
    srv.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    srv.set_read_timeout(options_.read_timeout);
    srv.set_write_timeout(options_.read_timeout);
    srv.set_keep_alive_timeout(options_.read_timeout.count());
    srv.set_keep_alive_max_count(kKeepAliveRequests);
    srv.set_payload_max_length(kMaxBody);
    srv.set_default_headers({{"Cache-Control", "no-store"},
                             {"X-Content-Type-Options", "nosniff"},
                             {"Content-Security-Policy",
                              "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                              "connect-src 'self'"}});
    const std::string token = options_.token;
    srv.set_pre_routing_handler([token](const httplib::Request& req, httplib::Response& res) {
        if (token.empty() || same_token(offered_token(req), token)) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer");
        res.set_content("token required\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    const frame::Health& health = health_;
    srv.Get("/", [&health](const httplib::Request&, httplib::Response& res) {
        res.set_content(status_html(health.snapshot()), "text/html; charset=utf-8");
    });
    srv.Get("/status.json", [&health](const httplib::Request&, httplib::Response& res) {
        res.set_content(status_json(health.snapshot()), "application/json");
    });
    srv.Get("/metrics", [&health](const httplib::Request&, httplib::Response& res) {
        res.set_content(metrics_text(health.snapshot()), "text/plain; version=0.0.4");
    });
    // Read-only: every other method is refused, whatever the path.
    const auto refuse = [](const httplib::Request&, httplib::Response& res) {
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        res.set_content("read-only\n", "text/plain");
    };
    srv.Post(".*", refuse);
    srv.Put(".*", refuse);
    srv.Patch(".*", refuse);
    srv.Delete(".*", refuse);
    srv.Options(".*", refuse);
    const auto& listen = options_.listen;
    if (listen.port == 0) {
        port_ = srv.bind_to_any_port(listen.host);
        if (port_ < 0) port_ = 0;
    } else if (srv.bind_to_port(listen.host, listen.port)) {
        port_ = listen.port;
    }
    if (port_ == 0) {
        return Status::error("the status page cannot listen on " + listen.host + ":" + std::to_string(listen.port) +
                             " (address in use or not this machine's); the service goes on without it");
    }
    thread_ = std::thread([this] { impl_->server.listen_after_bind(); });
    return Status::ok();
}

std::string StatusServer::url() const {
    return "http://" + options_.listen.host + ":" + std::to_string(port_) + "/";
}

void StatusServer::stop() {
    if (!thread_.joinable()) return;
    impl_->server.stop();
    thread_.join();
}

}  // namespace cassasync::status_page
