#include "support/raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace cassasync::testing {

namespace {

int connect_loopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("no socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    }
    return fd;
}

void send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;  // the server may refuse before reading everything
        sent += static_cast<std::size_t>(n);
    }
}

}  // namespace

int raw_http_status(int port, const std::string& bytes, std::chrono::milliseconds limit) {
    const int fd = connect_loopback(port);
    send_all(fd, bytes);
    std::string answer;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (answer.find("\r\n") == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[512];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // "HTTP/1.1 404 Not Found"
    if (answer.rfind("HTTP/1.", 0) != 0 || answer.size() < 12) return 0;
    return std::atoi(answer.substr(9, 3).c_str());
}

SlowClient::SlowClient(int port, const std::string& bytes) : fd_(connect_loopback(port)) { send_all(fd_, bytes); }
SlowClient::~SlowClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool SlowClient::closed_by_server(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buf[512];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return true;  // closed (a 408 or 400 may come first; reading goes on)
    }
}

}  // namespace cassasync::testing
