// The target search and the chains between targets over a real link: the
// host in one network namespace, emulated targets in another, joined by a
// veth pair with link-local addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "NetNamespaces.h"

using testnet::NetNamespaces;

namespace {

sockaddr_in6 socketAddress(const TIVRA::IPAddress& a, uint16_t port)
{
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    std::memcpy(&sa.sin6_addr, a.addr, 16);
    sa.sin6_port = htons(port);
    sa.sin6_scope_id = a.ifindex;
    return sa;
}

// A UDP socket bound to the address and port; -1 on failure.
int boundSocket(const TIVRA::IPAddress& a, uint16_t port)
{
    const int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in6 sa = socketAddress(a, port);
    if (s >= 0 && ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// 0 when sent, else the errno.
int sendTo(int s, const std::string& text, const TIVRA::IPAddress& to, uint16_t port)
{
    const sockaddr_in6 sa = socketAddress(to, port);
    const ssize_t sent = ::sendto(s, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    return sent == static_cast<ssize_t>(text.size()) ? 0 : errno;
}

struct Datagram {
    std::string text;
    sockaddr_in6 from{};
};

// One datagram within 5 s; empty text on time-out.
Datagram receive(int s)
{
    Datagram d;
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) {
        return d;
    }
    char buffer[2048];
    socklen_t length = sizeof(d.from);
    const ssize_t got = ::recvfrom(s, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&d.from), &length);
    if (got > 0) {
        d.text.assign(buffer, static_cast<size_t>(got));
    }
    return d;
}

bool sameAddress(const sockaddr_in6& sa, const TIVRA::IPAddress& a)
{
    return std::memcmp(&sa.sin6_addr, a.addr, 16) == 0 && sa.sin6_scope_id == a.ifindex;
}

bool namespaceExists(const std::string& name)
{
    struct stat st{};
    return ::stat(("/run/netns/" + name).c_str(), &st) == 0;
}

// Ones' complement sum of the IPv6 pseudo-header and the UDP datagram:
// 0xFFFF when the checksum field is right.
uint16_t udpChecksumSum(const uint8_t* ip6, size_t length)
{
    const uint8_t* udp = ip6 + 40;
    const size_t udpLength = (static_cast<size_t>(udp[4]) << 8) | udp[5];
    if (length < 40 + udpLength) {
        return 0;
    }
    uint32_t sum = 0;
    auto add = [&sum](const uint8_t* p, size_t n) {
        for (size_t i = 0; i + 1 < n; i += 2) {
            sum += (static_cast<uint32_t>(p[i]) << 8) | p[i + 1];
        }
        if (n % 2 != 0) {
            sum += static_cast<uint32_t>(p[n - 1]) << 8;
        }
    };
    add(ip6 + 8, 32);  // source and destination
    sum += static_cast<uint32_t>(udpLength);
    sum += IPPROTO_UDP;
    add(udp, udpLength);
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(sum);
}

constexpr uint16_t kPort = 40001;

}  // namespace

// ---- the fixture itself

TEST(NetNamespaces, CarriesDatagramsBothWaysBetweenTheLinkLocalAddresses)
{
    NetNamespaces net;
    ASSERT_TRUE(net.ok()) << net.error();
    const int target = net.inTarget([&] { return boundSocket(net.targetAddress(), kPort); });
    const int host = net.inHost([&] { return boundSocket(net.hostAddress(), kPort); });
    ASSERT_GE(target, 0);
    ASSERT_GE(host, 0);

    // The sockets stay in their namespaces: this thread may use them.
    ASSERT_EQ(sendTo(host, "to the target", net.targetAddressFromHost(), kPort), 0);
    const Datagram there = receive(target);
    EXPECT_EQ(there.text, "to the target");
    TIVRA::IPAddress hostSeenFromTarget = net.hostAddress();
    hostSeenFromTarget.ifindex = net.linkIndex(NetNamespaces::Target);
    EXPECT_TRUE(sameAddress(there.from, hostSeenFromTarget));

    ASSERT_EQ(sendTo(target, "to the host", net.hostAddress(), kPort), 0);  // scope as seen inside the target
    const Datagram back = receive(host);
    EXPECT_EQ(back.text, "to the host");
    EXPECT_TRUE(sameAddress(back.from, net.targetAddressFromHost()));
    ::close(target);
    ::close(host);
}

// A forwarder passes on the bytes it captured: they must carry a real UDP
// checksum, which a veth end with transmit checksum offload does not write.
TEST(NetNamespaces, DatagramsOnTheWireCarryTheirChecksum)
{
    NetNamespaces net;
    ASSERT_TRUE(net.ok()) << net.error();
    const int capture = net.inTarget([&] {
        const int s = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IPV6));
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_protocol = htons(ETH_P_IPV6);
        ll.sll_ifindex = static_cast<int>(net.linkIndex(NetNamespaces::Target));
        if (s >= 0 && ::bind(s, reinterpret_cast<const sockaddr*>(&ll), sizeof(ll)) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    });
    const int host = net.inHost([&] { return boundSocket(net.hostAddress(), 0); });
    ASSERT_GE(capture, 0);
    ASSERT_GE(host, 0);
    ASSERT_EQ(sendTo(host, "checked bytes", net.targetAddressFromHost(), kPort), 0);

    bool seen = false;
    for (int i = 0; i < 20 && !seen; ++i) {  // skip the neighbour discovery in front of it
        pollfd p{capture, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        uint8_t frame[2048];
        const ssize_t got = ::recv(capture, frame, sizeof(frame), 0);
        ASSERT_GT(got, 48);
        if (frame[6] != IPPROTO_UDP) {
            continue;
        }
        seen = true;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(frame) + 48, static_cast<size_t>(got) - 48), "checked bytes");
        EXPECT_EQ(udpChecksumSum(frame, static_cast<size_t>(got)), 0xFFFF);
    }
    EXPECT_TRUE(seen);
    ::close(capture);
    ::close(host);
}

// A send on a link that is down fails for that destination only.
TEST(NetNamespaces, LinkDownFailsTheSendAndLinkUpRestoresIt)
{
    NetNamespaces net;
    ASSERT_TRUE(net.ok()) << net.error();
    const int target = net.inTarget([&] { return boundSocket(net.targetAddress(), kPort); });
    const int host = net.inHost([&] { return boundSocket({}, 0); });
    ASSERT_GE(target, 0);
    ASSERT_GE(host, 0);
    TIVRA::IPAddress group;
    group.addr[0] = 0xFF;
    group.addr[1] = 0x02;
    group.addr[15] = 1;
    group.ifindex = net.linkIndex(NetNamespaces::Host);
    const auto linkFailure = [](int error) { return error == ENETUNREACH || error == EADDRNOTAVAIL; };

    ASSERT_TRUE(net.linkDown()) << net.error();
    const int unicast = sendTo(host, "unicast", net.targetAddressFromHost(), kPort);
    const int multicast = sendTo(host, "multicast", group, kPort);
    EXPECT_TRUE(linkFailure(unicast)) << std::strerror(unicast);
    EXPECT_TRUE(linkFailure(multicast)) << std::strerror(multicast);

    ASSERT_TRUE(net.linkUp()) << net.error();
    ASSERT_EQ(sendTo(host, "again", net.targetAddressFromHost(), kPort), 0);
    EXPECT_EQ(receive(target).text, "again");
    ::close(target);
    ::close(host);
}

TEST(NetNamespaces, RunsProgramsInsideAndRemovesEverythingAfterwards)
{
    std::string hostName;
    std::string targetName;
    {
        NetNamespaces net;
        ASSERT_TRUE(net.ok()) << net.error();
        hostName = net.name(NetNamespaces::Host);
        targetName = net.name(NetNamespaces::Target);
        EXPECT_TRUE(namespaceExists(hostName));
        EXPECT_TRUE(namespaceExists(targetName));

        // Each end is seen in its own namespace only, by threads and programs.
        EXPECT_NE(net.inHost([] { return if_nametoindex(NetNamespaces::kHostLink); }), 0U);
        EXPECT_EQ(net.inHost([] { return if_nametoindex(NetNamespaces::kTargetLink); }), 0U);
        EXPECT_EQ(if_nametoindex(NetNamespaces::kHostLink), 0U);
        EXPECT_EQ(net.run(NetNamespaces::Target, {"ip", "link", "show", NetNamespaces::kTargetLink}), 0);
        EXPECT_NE(net.run(NetNamespaces::Host, {"ip", "link", "show", NetNamespaces::kTargetLink}), 0);

        // A started program runs until it is stopped.
        testnet::Program sleeper = net.start(NetNamespaces::Target, {"sleep", "30"});
        ASSERT_TRUE(sleeper.started());
        EXPECT_FALSE(sleeper.wait(std::chrono::milliseconds(50)));
        sleeper.stop();
        EXPECT_TRUE(sleeper.wait(std::chrono::milliseconds(0)));
    }
    EXPECT_FALSE(namespaceExists(hostName));
    EXPECT_FALSE(namespaceExists(targetName));
}
