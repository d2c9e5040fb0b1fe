#include "platform/pinger.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/icmp_echo.h"

namespace cassasync::platform {
namespace icmp {
namespace {

constexpr unsigned char kEchoReply = 0;
constexpr unsigned char kDestinationUnreachable = 3;
constexpr unsigned char kEchoRequest = 8;
constexpr unsigned char kTimeExceeded = 11;
constexpr std::size_t kHeaderSize = 8;

std::uint16_t read16(const unsigned char* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Length of the IPv4 header at `data`, or 0 when it is not a plausible one.
std::size_t ip_header_size(const unsigned char* data, std::size_t size) {
    if (size < 20 || (data[0] >> 4) != 4) return 0;
    const std::size_t length = static_cast<std::size_t>(data[0] & 0x0f) * 4;
    return (length >= 20 && length <= size) ? length : 0;
}

}  // namespace

std::uint16_t checksum(const unsigned char* data, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += read16(data + i);
    if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::vector<unsigned char> echo_request(std::uint16_t id, std::uint16_t sequence) {
    std::vector<unsigned char> packet(kHeaderSize + kPayloadSize, 0);
    packet[0] = kEchoRequest;
    packet[4] = static_cast<unsigned char>(id >> 8);
    packet[5] = static_cast<unsigned char>(id & 0xff);
    packet[6] = static_cast<unsigned char>(sequence >> 8);
    packet[7] = static_cast<unsigned char>(sequence & 0xff);
    std::memcpy(packet.data() + kHeaderSize, kPayload, kPayloadSize);
    const std::uint16_t sum = checksum(packet.data(), packet.size());
    packet[2] = static_cast<unsigned char>(sum >> 8);
    packet[3] = static_cast<unsigned char>(sum & 0xff);
    return packet;
}

Packet classify(const unsigned char* data, std::size_t size, const Expected& expected) {
    if (expected.with_ip_header) {
        const std::size_t skip = ip_header_size(data, size);
        if (skip == 0) return Packet::kUnrelated;
        data += skip;
        size -= skip;
    }
    if (size < kHeaderSize) return Packet::kUnrelated;

    const unsigned char type = data[0];
    if (type == kEchoReply) {
        if (data[1] != 0) return Packet::kUnrelated;
        if (expected.match_id && read16(data + 4) != expected.id) return Packet::kUnrelated;
        if (read16(data + 6) != expected.sequence) return Packet::kUnrelated;
        if (size < kHeaderSize + kPayloadSize ||
            std::memcmp(data + kHeaderSize, kPayload, kPayloadSize) != 0) {
            return Packet::kUnrelated;
        }
        return Packet::kReply;
    }
    if (type == kDestinationUnreachable || type == kTimeExceeded) {
        // The error quotes the IP header and first 8 bytes of the request it concerns.
        const unsigned char* quoted = data + kHeaderSize;
        const std::size_t quoted_size = size - kHeaderSize;
        const std::size_t skip = ip_header_size(quoted, quoted_size);
        if (skip == 0 || quoted_size - skip < kHeaderSize) return Packet::kUnrelated;
        const unsigned char* request = quoted + skip;
        if (request[0] != kEchoRequest) return Packet::kUnrelated;
        if (expected.match_id && read16(request + 4) != expected.id) return Packet::kUnrelated;
        if (read16(request + 6) != expected.sequence) return Packet::kUnrelated;
        return Packet::kRefused;
    }
    return Packet::kUnrelated;
}

bool await_reply(int fd, std::uint32_t address, const Expected& expected,
                 std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    unsigned char buffer[2048];
    for (;;) {
        const auto remaining = deadline - steady_clock::now();
        if (remaining <= steady_clock::duration::zero()) return false;
        // Rounded up so that the last fraction of a millisecond is waited, not spun.
        const auto wait = std::chrono::ceil<milliseconds>(remaining);
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(wait.count()));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (ready == 0) continue;
        if ((entry.revents & POLLIN) == 0) return false;

        sockaddr_storage from{};
        socklen_t from_size = sizeof from;
        const ssize_t got = ::recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &from_size);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        if (from_size >= sizeof(sockaddr_in) && from.ss_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(&from)->sin_addr.s_addr != address) {
            continue;
        }
        switch (classify(buffer, static_cast<std::size_t>(got), expected)) {
            case Packet::kReply: return true;
            case Packet::kRefused: return false;
            case Packet::kUnrelated: break;
        }
    }
}

}  // namespace icmp

namespace {

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { if (fd_ >= 0) ::close(fd_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// An unprivileged ping socket where net.ipv4.ping_group_range admits us, else raw.
Socket open_icmp_socket(bool& raw) {
    raw = false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        raw = true;
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    }
    return Socket(fd);
}

}  // namespace

IcmpPinger::IcmpPinger(int timeout_ms)
    : timeout_ms_(timeout_ms),
      sequence_(static_cast<std::uint16_t>(std::random_device{}())) {}

std::uint32_t IcmpPinger::echo(std::uint32_t address) {
    if (address == 0) return kEchoFailed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);

    bool raw = false;
    Socket socket = open_icmp_socket(raw);
    if (!socket.valid()) return kEchoFailed;

    icmp::Expected expected;
    expected.id = static_cast<std::uint16_t>(::getpid());
    expected.sequence = ++sequence_;
    expected.match_id = raw;
    expected.with_ip_header = raw;
    const std::vector<unsigned char> request = icmp::echo_request(expected.id, expected.sequence);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    const ssize_t sent = ::sendto(socket.get(), request.data(), request.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent != static_cast<ssize_t>(request.size())) return kEchoFailed;

    return icmp::await_reply(socket.get(), address, expected, deadline) ? kEchoSuccess : kEchoFailed;
}

bool IcmpPinger::available() {
    bool raw = false;
    return open_icmp_socket(raw).valid();
}

}  // namespace cassasync::platform
