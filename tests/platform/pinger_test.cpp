#include "platform/pinger.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/icmp_echo.h"

namespace cassasync::platform {
namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t address_of(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(::inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return a.s_addr;
}

Bytes ip_header(std::size_t option_words = 0) {
    Bytes h(20 + option_words * 4, 0);
    h[0] = static_cast<unsigned char>(0x40 | (5 + option_words));
    h[9] = 1;  // ICMP
    return h;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What a host sends back for our request: type 0, the rest echoed.
Bytes reply_to(std::uint16_t id, std::uint16_t sequence) {
    Bytes packet = icmp::echo_request(id, sequence);
    packet[0] = 0;
    return packet;
}

// An ICMP error quoting the IP header and first 8 bytes of our request.
Bytes error_about(unsigned char type, std::uint16_t id, std::uint16_t sequence) {
    Bytes quoted = icmp::echo_request(id, sequence);
    quoted.resize(8);
    Bytes packet = {type, 1, 0, 0, 0, 0, 0, 0};
    return concat(concat(packet, ip_header()), quoted);
}

TEST(IcmpPacketTest, ChecksumFollowsTheInternetChecksum) {
    // Worked example of RFC 1071: the one's-complement sum is 0xddf2.
    const unsigned char sample[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(icmp::checksum(sample, sizeof sample), 0x220d);
    // An odd byte counts as the high half of a last word.
    const unsigned char odd[] = {0x00, 0x01, 0xf2};
    EXPECT_EQ(icmp::checksum(odd, sizeof odd), static_cast<std::uint16_t>(~(0x0001 + 0xf200)));
}

TEST(IcmpPacketTest, EchoRequestLayout) {
    const Bytes packet = icmp::echo_request(0x1234, 0xabcd);
    ASSERT_EQ(packet.size(), 17u);
    EXPECT_EQ(packet[0], 8);  // echo request
    EXPECT_EQ(packet[1], 0);
    EXPECT_EQ(packet[4], 0x12);
    EXPECT_EQ(packet[5], 0x34);
    EXPECT_EQ(packet[6], 0xab);
    EXPECT_EQ(packet[7], 0xcd);
    EXPECT_EQ(std::string(packet.begin() + 8, packet.end()), "Echo This");
    // A correctly checksummed message sums to zero.
    EXPECT_EQ(icmp::checksum(packet.data(), packet.size()), 0);
}

TEST(IcmpPacketTest, ClassifiesPackets) {
    const icmp::Expected raw{0x1234, 7, true, true};
    const icmp::Expected datagram{0x1234, 7, false, false};
    Bytes wrong_payload = reply_to(0x1234, 7);
    wrong_payload.back() = '!';
    Bytes short_payload = reply_to(0x1234, 7);
    short_payload.resize(12);
    Bytes not_ipv4 = concat(ip_header(), reply_to(0x1234, 7));
    not_ipv4[0] = 0x65;

    struct Case {
        const char* name;
        Bytes packet;
        icmp::Expected expected;
        icmp::Packet result;
    };
    const std::vector<Case> cases = {
        {"raw: our reply", concat(ip_header(), reply_to(0x1234, 7)), raw, icmp::Packet::kReply},
        {"raw: IP header with options", concat(ip_header(2), reply_to(0x1234, 7)), raw, icmp::Packet::kReply},
        {"raw: another program's id", concat(ip_header(), reply_to(0x9999, 7)), raw, icmp::Packet::kUnrelated},
        {"raw: an older sequence", concat(ip_header(), reply_to(0x1234, 6)), raw, icmp::Packet::kUnrelated},
        {"raw: our own request seen on loopback", concat(ip_header(), icmp::echo_request(0x1234, 7)), raw,
         icmp::Packet::kUnrelated},
        {"raw: not an IPv4 header", not_ipv4, raw, icmp::Packet::kUnrelated},
        {"raw: header only", ip_header(), raw, icmp::Packet::kUnrelated},
        {"raw: unreachable about our request", concat(ip_header(), error_about(3, 0x1234, 7)), raw,
         icmp::Packet::kRefused},
        {"raw: time exceeded about our request", concat(ip_header(), error_about(11, 0x1234, 7)), raw,
         icmp::Packet::kRefused},
        {"raw: unreachable about another request", concat(ip_header(), error_about(3, 0x1234, 8)), raw,
         icmp::Packet::kUnrelated},
        {"datagram: our reply", reply_to(0x1234, 7), datagram, icmp::Packet::kReply},
        {"datagram: id rewritten by the kernel", reply_to(0x0042, 7), datagram, icmp::Packet::kReply},
        {"datagram: another sequence", reply_to(0x1234, 8), datagram, icmp::Packet::kUnrelated},
        {"datagram: another payload", wrong_payload, datagram, icmp::Packet::kUnrelated},
        {"datagram: payload cut short", short_payload, datagram, icmp::Packet::kUnrelated},
        {"datagram: shorter than a header", Bytes{0, 0, 0}, datagram, icmp::Packet::kUnrelated},
        {"datagram: empty", Bytes{}, datagram, icmp::Packet::kUnrelated},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(icmp::classify(c.packet.data(), c.packet.size(), c.expected), c.result) << "case: " << c.name;
    }
}

// A pair of connected datagram sockets stands in for the ICMP socket, so that the
// waiting can be checked without depending on what the network answers.
class AwaitReplyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_), 0); }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void deliver(const Bytes& packet) {
        ASSERT_EQ(::send(fds_[1], packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
    }
    bool await(std::chrono::milliseconds within) {
        return icmp::await_reply(fds_[0], address_of("127.0.0.1"), expected_,
                                 std::chrono::steady_clock::now() + within);
    }

    int fds_[2] = {-1, -1};
    icmp::Expected expected_{0x1234, 7, false, false};
};

TEST_F(AwaitReplyTest, NothingArrivesUntilTheDeadline) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(await(std::chrono::milliseconds(60)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST_F(AwaitReplyTest, SkipsUnrelatedPacketsUntilTheReply) {
    deliver(reply_to(0x1234, 6));
    deliver(icmp::echo_request(0x1234, 7));
    deliver(Bytes{1, 2, 3});
    deliver(reply_to(0x1234, 7));
    EXPECT_TRUE(await(std::chrono::milliseconds(2000)));
}

TEST_F(AwaitReplyTest, OnlyUnrelatedPacketsMeanNoReply) {
    deliver(reply_to(0x1234, 6));
    deliver(reply_to(0x1234, 8));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(await(std::chrono::milliseconds(60)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

TEST_F(AwaitReplyTest, AnErrorAboutOurRequestEndsTheWait) {
    expected_ = icmp::Expected{0x1234, 7, true, true};
    deliver(concat(ip_header(), error_about(3, 0x1234, 7)));
    deliver(concat(ip_header(), reply_to(0x1234, 7)));  // never read
    EXPECT_FALSE(await(std::chrono::milliseconds(2000)));
}

TEST(IcmpPingerTest, AddressZeroFailsWithoutASocket) {
    IcmpPinger pinger;
    EXPECT_NE(pinger.echo(0), kEchoSuccess);
    EXPECT_EQ(pinger.echo(0), kEchoFailed);
}

TEST(IcmpPingerTest, LoopbackAnswers) {
    if (!IcmpPinger::available()) {
        GTEST_SKIP() << "no ICMP socket can be opened here: neither a datagram ICMP socket "
                        "(net.ipv4.ping_group_range excludes this group) nor a raw one (no CAP_NET_RAW)";
    }
    IcmpPinger pinger;
    EXPECT_EQ(pinger.echo(address_of("127.0.0.1")), kEchoSuccess);
    if constexpr (std::endian::native == std::endian::little) {
        // The address as the configuration's dotted text builds it: first octet lowest.
        const std::uint32_t built = 127u + 0u * 256u + 0u * 65536u + 1u * 16777216u;
        EXPECT_EQ(built, address_of("127.0.0.1"));
        EXPECT_EQ(pinger.echo(built), kEchoSuccess);
    }
    EXPECT_EQ(pinger.echo(address_of("127.0.0.2")), kEchoSuccess);
    // Repeated echoes each find their own reply.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(pinger.echo(address_of("127.0.0.1")), kEchoSuccess) << "echo " << i;

    IcmpPinger patient(1000);
    EXPECT_EQ(patient.echo(address_of("127.0.0.3")), kEchoSuccess);
}

}  // namespace
}  // namespace cassasync::platform
