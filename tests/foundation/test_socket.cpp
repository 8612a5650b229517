#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <linux/ipv6.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "foundation/Socket.h"

using TIVRA::Buffer;
using TIVRA::BufferCS_const;
using TIVRA::Clock;
using TIVRA::IPAddress;
using TIVRA::Socket;

namespace {

IPAddress loopback(uint16_t port = 0)
{
    IPAddress a;
    a.addr[15] = 1;
    a.setPort(port);
    return a;
}

// A UDP socket bound to an ephemeral port of ::1.
struct Bound {
    Socket sock;
    IPAddress addr = loopback();
    Bound()
    {
        EXPECT_TRUE(sock.open(Socket::UDP_V6));
        EXPECT_TRUE(sock.bindV6(addr));
    }
};

BufferCS_const view(const std::string& s)
{
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(Socket, OpenGivesBlockingV6OnlyDatagramWithReuse)
{
    Socket s;
    EXPECT_FALSE(s.is_open());
    ASSERT_TRUE(s.open(Socket::UDP_V6));
    EXPECT_TRUE(s.is_open());
    EXPECT_TRUE(s.getBlocking());
    int v = 0;
    socklen_t len = sizeof(v);
    ASSERT_EQ(getsockopt(s.getDescriptor(), SOL_SOCKET, SO_TYPE, &v, &len), 0);
    EXPECT_EQ(v, SOCK_DGRAM);
    ASSERT_EQ(getsockopt(s.getDescriptor(), IPPROTO_IPV6, IPV6_V6ONLY, &v, &len), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(getsockopt(s.getDescriptor(), SOL_SOCKET, SO_REUSEADDR, &v, &len), 0);
    EXPECT_EQ(v, 1);

    Socket dual;
    ASSERT_TRUE(dual.open(Socket::UDP_DUAL));
    ASSERT_EQ(getsockopt(dual.getDescriptor(), IPPROTO_IPV6, IPV6_V6ONLY, &v, &len), 0);
    EXPECT_EQ(v, 0);

    Socket bad;
    EXPECT_FALSE(bad.open(static_cast<Socket::Type>(6)));
    EXPECT_FALSE(bad.is_open());

    s.close();
    EXPECT_FALSE(s.is_open());
    s.close();  // closing twice is harmless
}

TEST(Socket, BindEphemeralAndLoopbackScope)
{
    Socket any;
    ASSERT_TRUE(any.open(Socket::UDP_V6));
    IPAddress unspecified;
    ASSERT_TRUE(any.bindV6(unspecified));
    EXPECT_NE(unspecified.getPort(), 0);
    EXPECT_EQ(any.getIfOverride(), 0U);

    // ::1 with index 0 takes the loopback interface's index.
    Socket::InterfaseMap map;
    ASSERT_TRUE(Socket::getMyAddresV6(map));
    uint32_t loIndex = 0;
    for (const auto& e : map) {
        IPAddress key = e.first;
        key.ifindex = 0;
        if (key.comp(loopback()) == 0) {
            loIndex = e.first.ifindex;
        }
    }
    ASSERT_NE(loIndex, 0U);
    Bound b;
    EXPECT_NE(b.addr.getPort(), 0);
    EXPECT_EQ(b.sock.getIfOverride(), loIndex);

    // With an override, every destination takes its scope and getToV6
    // reports index 0.
    IPAddress to = loopback(1234);
    to.ifindex = 77;
    b.sock.setToV6(to);
    IPAddress back;
    b.sock.getToV6(back);
    EXPECT_EQ(back.getPort(), 1234);
    EXPECT_EQ(back.ifindex, 0U);

    // Without an override the stored scope is reported.
    any.setToV6(to);
    any.getToV6(back);
    EXPECT_EQ(back.ifindex, 77U);

    // A second listener on the same TCP port is refused with the errno kept.
    Socket tcp1, tcp2;
    ASSERT_TRUE(tcp1.open(Socket::TCP_V6));
    IPAddress t = loopback();
    ASSERT_TRUE(tcp1.bindV6(t));
    ASSERT_TRUE(tcp2.open(Socket::TCP_V6));
    EXPECT_FALSE(tcp2.bindV6(t));
    EXPECT_EQ(tcp2.getLastError(), EADDRINUSE);
}

// Address reuse must not let the kernel hand out an ephemeral port that
// another socket holds: datagrams would reach the wrong socket.
TEST(Socket, EphemeralPortsAreNeverShared)
{
    std::vector<std::unique_ptr<Socket>> sockets;
    std::set<uint16_t> ports;
    for (int i = 0; i < 600; ++i) {
        auto s = std::make_unique<Socket>();
        ASSERT_TRUE(s->open(Socket::UDP_V6));
        IPAddress a = loopback();
        ASSERT_TRUE(s->bindV6(a));
        EXPECT_TRUE(ports.insert(a.getPort()).second) << "port " << a.getPort() << " handed out twice";
        sockets.push_back(std::move(s));
    }
    // Nor can another socket bind such a port later.
    Socket first, second;
    ASSERT_TRUE(first.open(Socket::UDP_V6) && second.open(Socket::UDP_V6));
    IPAddress taken = loopback();
    ASSERT_TRUE(first.bindV6(taken));
    IPAddress same = taken;
    EXPECT_FALSE(second.bindV6(same));
    EXPECT_EQ(second.getLastError(), EADDRINUSE);
}

TEST(Socket, SendAndReceiveOverLoopback)
{
    Bound rx, tx;
    const std::string msg = "hello target";
    ASSERT_TRUE(tx.sock.sendToV6(view(msg), rx.addr, false));
    ASSERT_EQ(rx.sock.wait(Clock(Clock::SEC)), Socket::WaitReady);
    Buffer got;
    IPAddress from;
    ASSERT_TRUE(rx.sock.receiveFromV6(got, from));
    EXPECT_EQ(std::string(got.begin(), got.end()), msg);
    EXPECT_EQ(from.getPort(), tx.addr.getPort());

    // A datagram longer than recvSize arrives cut.
    rx.sock.recvSize = 4;
    ASSERT_TRUE(tx.sock.sendToV6(view(msg), rx.addr, false));
    ASSERT_EQ(rx.sock.wait(Clock(Clock::SEC)), Socket::WaitReady);
    ASSERT_TRUE(rx.sock.receiveFromV6(got, from));
    EXPECT_EQ(std::string(got.begin(), got.end()), "hell");

    // Into a caller's view.
    ASSERT_TRUE(tx.sock.sendToV6(view(msg), rx.addr, false));
    ASSERT_EQ(rx.sock.wait(Clock(Clock::SEC)), Socket::WaitReady);
    uint8_t raw[64];
    size_t n = 99;
    ASSERT_TRUE(rx.sock.receiveFromV6(TIVRA::BufferCS{raw, sizeof(raw)}, n, from));
    EXPECT_EQ(n, msg.size());

    // The default-destination form.
    tx.sock.setToV6(rx.addr);
    ASSERT_TRUE(tx.sock.sendToV6(view(msg), false));
    ASSERT_EQ(rx.sock.wait(Clock(Clock::SEC)), Socket::WaitReady);
    rx.sock.recvSize = 1500;
    ASSERT_TRUE(rx.sock.receiveFromV6(got, from));
    EXPECT_EQ(got.size(), msg.size());
}

TEST(Socket, NonBlockingReceiveWithNothingQueued)
{
    Bound rx;
    ASSERT_TRUE(rx.sock.setBlocking(false));
    EXPECT_FALSE(rx.sock.getBlocking());
    Buffer got(10, 1);
    IPAddress from = loopback(42);
    EXPECT_TRUE(rx.sock.receiveFromV6(got, from));
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(from.getPort(), 42);  // untouched
    EXPECT_EQ(rx.sock.wait(), Socket::WaitTimeout);

    rx.sock.close();
    got.assign(3, 1);
    EXPECT_FALSE(rx.sock.receiveFromV6(got, from));
    EXPECT_TRUE(got.empty());
    uint8_t raw[8];
    size_t n = 5;
    EXPECT_FALSE(rx.sock.receiveFromV6(TIVRA::BufferCS{raw, sizeof(raw)}, n, from));
    EXPECT_EQ(n, 0U);
}

TEST(Socket, WaitTimesOutAndSubMicrosecondWaitsZero)
{
    Bound rx;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rx.sock.wait(Clock(50 * Clock::MS)), Socket::WaitTimeout);
    EXPECT_GE(secondsSince(start), 0.045);

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(rx.sock.wait(Clock(999'999)), Socket::WaitTimeout);
    EXPECT_LT(secondsSince(start), 0.5);
}

TEST(Socket, WaitOnClosedSocketSleepsThenReportsReady)
{
    Socket s;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.wait(Clock(100 * Clock::MS)), Socket::WaitReady);
    EXPECT_GE(secondsSince(start), 0.095);
    EXPECT_EQ(s.wait(), Socket::WaitReady);
}

// The stream engine closes a socket from one thread while another waits and
// receives on it; the waiting thread must end after its wait.
TEST(Socket, CloseFromAnotherThreadEndsTheReceiver)
{
    Bound rx;
    std::atomic<bool> ended{false};
    std::thread t([&] {
        Buffer got;
        IPAddress from;
        for (;;) {
            const auto r = rx.sock.wait(Clock(20 * Clock::MS));
            if (r == Socket::WaitError) {
                break;
            }
            if (r == Socket::WaitReady && !rx.sock.receiveFromV6(got, from)) {
                break;
            }
        }
        ended = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    rx.sock.close();
    t.join();
    EXPECT_TRUE(ended);
}

// The stream object's close: the socket reads as closed at once and the
// waiting thread ends, but the descriptor number stays taken until the owner
// has joined that thread and closes for good.
TEST(Socket, InterruptKeepsTheDescriptorUntilClose)
{
    Bound rx;
    const int number = rx.sock.getDescriptor();
    std::atomic<bool> ended{false};
    std::thread t([&] {
        Buffer got;
        IPAddress from;
        while (rx.sock.wait(Clock(Clock::SEC)) != Socket::WaitError && rx.sock.receiveFromV6(got, from)) {
        }
        ended = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rx.sock.interrupt();
    EXPECT_FALSE(rx.sock.is_open());
    Socket other;
    ASSERT_TRUE(other.open(Socket::UDP_V6));
    EXPECT_NE(other.getDescriptor(), number);
    t.join();  // woken by the shutdown, well before the 1 s wait ends
    EXPECT_TRUE(ended);
    rx.sock.close();
    Socket reuse;
    ASSERT_TRUE(reuse.open(Socket::UDP_V6));
    EXPECT_EQ(reuse.getDescriptor(), number);
}

namespace {

bool writeFile(const std::string& path, const std::string& text)
{
    const int d = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (d < 0) {
        return false;
    }
    const bool ok = ::write(d, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(d);
    return ok;
}

IPAddress onLink(uint8_t last, uint16_t port = 0)
{
    IPAddress a;
    a.addr[0] = 0xFD;
    a.addr[15] = last;
    a.setPort(port);
    return a;
}

// Moves the calling thread into a network namespace of its own and gives it
// one tap device "q0", up, holding fd00::1/64. Nothing answers on that link,
// so a datagram to fd00::2 waits in the neighbour queue, still charged to
// its socket's send buffer, until resolution fails (after about 300 ms).
// The device goes with the returned descriptor and the namespace with the
// thread and its sockets, however the test ends.
int enterLinkWithoutNeighbours()
{
    if (unshare(CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "unshare: " << std::strerror(errno);
        return -1;
    }
    const int tap = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tap < 0) {
        ADD_FAILURE() << "/dev/net/tun: " << std::strerror(errno);
        return -1;
    }
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "q0");
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    const int ctl = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = ctl >= 0 && ioctl(tap, TUNSETIFF, &ifr) == 0
        && writeFile("/proc/sys/net/ipv6/conf/q0/accept_dad", "0")
        && writeFile("/proc/sys/net/ipv6/neigh/q0/retrans_time_ms", "100")
        && ioctl(ctl, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP;
        ok = ioctl(ctl, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (ok) {
        in6_ifreq address{};
        std::memcpy(&address.ifr6_addr, onLink(1).addr, 16);
        address.ifr6_prefixlen = 64;
        address.ifr6_ifindex = static_cast<int>(if_nametoindex("q0"));
        ok = ioctl(ctl, SIOCSIFADDR, &address) == 0;
    }
    if (!ok) {
        ADD_FAILURE() << "setting up q0: " << std::strerror(errno);
    }
    if (ctl >= 0) {
        ::close(ctl);
    }
    if (!ok) {
        ::close(tap);
        return -1;
    }
    return tap;
}

}  // namespace

// A full send queue on a non-blocking socket: the waiting send switches to
// blocking mode, waits until the queue has room, sends, and hands the
// socket back non-blocking with its stored destination untouched.
TEST(Socket, WaitingSendRestoresNonBlockingModeAndDestination)
{
    std::thread([] {
        const int tap = enterLinkWithoutNeighbours();
        ASSERT_GE(tap, 0);
        struct CloseTap {
            int d;
            ~CloseTap() { ::close(d); }
        } closeTap{tap};

        // The address is usable once the link is up.
        Socket tx;
        ASSERT_TRUE(tx.open(Socket::UDP_V6));
        IPAddress local = onLink(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!tx.bindV6(local)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "fd00::1 never became usable";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            local = onLink(1);
        }
        int small = 4096;
        ASSERT_EQ(setsockopt(tx.getDescriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
        ASSERT_TRUE(tx.setBlocking(false));
        const IPAddress stored = onLink(9, 4321);
        tx.setToV6(stored);

        // Queue datagrams towards the silent neighbour until the kernel
        // refuses one.
        const std::string datagram(1000, 'x');
        const IPAddress silent = onLink(2, 5000);
        bool refused = false;
        for (int i = 0; i < 1000 && !refused; ++i) {
            refused = !tx.sendToV6(view(datagram), silent, false);
        }
        ASSERT_TRUE(refused) << "the send queue never filled";
        ASSERT_EQ(tx.getLastError(), EAGAIN);

        // Another errno first, so that EAGAIN afterwards comes from the waiting send.
        IPAddress offLink;
        offLink.addr[0] = 0x20;
        offLink.addr[1] = 0x01;
        offLink.setPort(9);
        ASSERT_FALSE(tx.sendToV6(view(datagram), offLink, false));
        ASSERT_EQ(tx.getLastError(), ENETUNREACH);

        // Watch the descriptor's mode while the waiting send runs.
        std::atomic<bool> done{false};
        std::atomic<bool> sawBlocking{false};
        std::thread watch([&] {
            while (!done) {
                const int flags = fcntl(tx.getDescriptor(), F_GETFL);
                if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
                    sawBlocking = true;
                }
                std::this_thread::yield();
            }
        });
        const bool sent = tx.sendToV6(view(datagram), silent, true);
        done = true;
        watch.join();

        EXPECT_TRUE(sent);
        EXPECT_EQ(tx.getLastError(), EAGAIN) << "the waiting send never met the full queue";
        EXPECT_TRUE(sawBlocking) << "the resend did not run in blocking mode";
        EXPECT_FALSE(tx.getBlocking());
        EXPECT_NE(fcntl(tx.getDescriptor(), F_GETFL) & O_NONBLOCK, 0);
        IPAddress back;
        tx.getToV6(back);
        EXPECT_EQ(back.comp(stored), 0);
    }).join();
}

TEST(Socket, SendOnClosedSocketFails)
{
    Socket s;
    EXPECT_FALSE(s.sendToV6(view("x"), loopback(9), false));
    EXPECT_FALSE(s.sendToV6(view("x"), loopback(9), true));
}

TEST(Socket, DescriptorsAbove1024UseThePollWait)
{
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < 1100 && lim.rlim_max >= 1100) {
        rlimit raised = lim;
        raised.rlim_cur = 1100;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    } else if (lim.rlim_cur < 1100) {
        GTEST_SKIP() << "descriptor limit below 1100";
    }
    // Take up the low descriptors so that the next socket lands above 1024.
    std::vector<int> fillers;
    for (;;) {
        const int d = ::dup(0);
        ASSERT_GE(d, 0);
        fillers.push_back(d);
        if (d >= 1030) {
            break;
        }
    }
    Bound rx;
    EXPECT_GE(rx.sock.getDescriptor(), 1024);
    Bound tx;
    for (int d : fillers) {
        ::close(d);
    }
    EXPECT_EQ(rx.sock.wait(Clock(10 * Clock::MS)), Socket::WaitTimeout);
    ASSERT_TRUE(tx.sock.sendToV6(view("x"), rx.addr, false));
    EXPECT_EQ(rx.sock.wait(Clock(Clock::SEC)), Socket::WaitReady);

    // The waiter refuses such a descriptor instead of overrunning its set.
    Socket::Waiter w;
    w.set(rx.sock);
    EXPECT_TRUE(w.empty());
    setrlimit(RLIMIT_NOFILE, &lim);
}

TEST(Socket, LocalInterfacesIncludeLoopbackOnRequest)
{
    Socket::InterfaseMap all, local, localLo;
    ASSERT_TRUE(Socket::getMyAddresV6(all));
    ASSERT_TRUE(Socket::getMyLocalAddresV6(local, false));
    ASSERT_TRUE(Socket::getMyLocalAddresV6(localLo, true));
    size_t linkLocal = 0;
    size_t loopbacks = 0;
    for (const auto& e : all) {
        EXPECT_FALSE(e.second.ifName.empty());
        EXPECT_LE(e.first.ifindex, 0xFFFFU);
        EXPECT_EQ(e.first.getPort(), 0);
        IPAddress key = e.first;
        key.ifindex = 0;
        loopbacks += key.comp(loopback()) == 0 ? 1 : 0;
        linkLocal += (e.first.addr[0] == 0xFE && e.first.addr[1] == 0x80) ? 1 : 0;
    }
    EXPECT_EQ(loopbacks, 1U) << "this machine has ::1 on its loopback interface";
    EXPECT_EQ(local.size(), linkLocal);
    for (const auto& e : local) {
        EXPECT_TRUE(e.first.addr[0] == 0xFE && e.first.addr[1] == 0x80);
    }
    EXPECT_EQ(localLo.size(), linkLocal + loopbacks);
}

TEST(SocketWaiter, ReportsOnlyTheReadableSocket)
{
    Bound a, b, tx;
    Socket::Waiter w;
    EXPECT_TRUE(w.empty());
    w.set(a.sock);
    w.set(b.sock);
    w.set(b.sock);
    Socket closed;
    w.set(closed);
    w.clear(closed);
    EXPECT_FALSE(w.empty());

    ASSERT_TRUE(tx.sock.sendToV6(view("x"), b.addr, false));
    ASSERT_EQ(w.wait(Clock(Clock::SEC)), Socket::WaitReady);
    EXPECT_FALSE(w.check(a.sock));
    EXPECT_TRUE(w.check(b.sock));
    EXPECT_FALSE(w.check(closed));

    Buffer got;
    IPAddress from;
    ASSERT_TRUE(b.sock.receiveFromV6(got, from));
    EXPECT_EQ(w.wait(Clock(10 * Clock::MS)), Socket::WaitTimeout);

    w.clear(b.sock);
    w.clear(a.sock);
    EXPECT_TRUE(w.empty());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(w.wait(Clock(30 * Clock::MS)), Socket::WaitTimeout);
    EXPECT_GE(secondsSince(start), 0.025);
}

TEST(SocketWaiter, RawSetOperations)
{
    Bound a;
    auto* set = Socket::Waiter::fbsNew();
    const std::set<unsigned long> ds = {static_cast<unsigned long>(a.sock.getDescriptor()), 5000};
    EXPECT_EQ(Socket::Waiter::fbsSetup(set, ds, 3), std::max(3, a.sock.getDescriptor()));
    EXPECT_TRUE(Socket::Waiter::fbsCheck(set, a.sock));
    Socket closed;
    EXPECT_FALSE(Socket::Waiter::fbsCheck(set, closed));
    Socket::Waiter::fbsDelere(set);
    Socket::Waiter::fbsDelere(nullptr);
}
