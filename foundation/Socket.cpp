#include "foundation/Socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace TIVRA {

namespace {

constexpr int kSelectLimit = 1024;

timeval toTimeval(Clock timeout)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.picoseconds / Clock::SEC);
    tv.tv_usec = static_cast<suseconds_t>((timeout.picoseconds / Clock::US) % 1'000'000ULL);
    return tv;
}

void sleepFor(const timeval& tv)
{
    Clock::sleep(Clock(static_cast<uint64_t>(tv.tv_sec) * Clock::SEC + static_cast<uint64_t>(tv.tv_usec) * Clock::US));
}

// Readability of one descriptor; select for the usual case, poll for
// descriptors that do not fit a 1024-bit set.
Socket::WaitResult waitReadable(int d, Clock timeout)
{
    timeval tv = toTimeval(timeout);
    if (d < 0) {
        // A closed socket: nothing to watch, so sleep the whole time-out
        // and let the receive that follows fail.
        sleepFor(tv);
        return Socket::WaitReady;
    }
    if (d >= kSelectLimit) {
        pollfd p{d, POLLIN, 0};
        const long ms = tv.tv_sec * 1000L + tv.tv_usec / 1000L;
        const int r = poll(&p, 1, static_cast<int>(ms));
        if (r < 0) {
            return Socket::WaitError;
        }
        return r > 0 ? Socket::WaitReady : Socket::WaitTimeout;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(d, &set);
    const int r = select(d + 1, &set, nullptr, nullptr, &tv);
    if (r < 0) {
        return Socket::WaitError;
    }
    return (r > 0 && FD_ISSET(d, &set)) ? Socket::WaitReady : Socket::WaitTimeout;
}

void toIPAddress(const sockaddr_in6& sa, IPAddress& out)
{
    std::memcpy(out.addr, &sa.sin6_addr, 16);
    out.port = sa.sin6_port;
    out.ifindex = sa.sin6_scope_id & 0xFFFFU;
}

sockaddr_in toV4(const IPAddress& a)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = a.port;
    std::memcpy(&sa.sin_addr, a.addr + 12, 4);
    return sa;
}

bool isLinkLocal(const IPAddress& a)
{
    return a.addr[0] == 0xFE && a.addr[1] == 0x80;
}

bool isLoopback(const IPAddress& a)
{
    static const uint8_t loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.addr, loop, 16) == 0;
}

// With address reuse on, the kernel may hand out an ephemeral datagram port
// that another reusing socket already holds, and the two then share its
// traffic. A socket that asks for any port gets one of its own.
void exclusivePort(int d)
{
    const int off = 0;
    setsockopt(d, SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off));
}

bool collectAddresses(Socket::InterfaseMap& map, int family)
{
    map.clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != family) {
            continue;
        }
        IPAddress key;
        if (family == AF_INET6) {
            const auto* sa = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
            std::memcpy(key.addr, &sa->sin6_addr, 16);
        } else {
            const auto* sa = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
            key.addr[10] = 0xFF;
            key.addr[11] = 0xFF;
            std::memcpy(key.addr + 12, &sa->sin_addr, 4);
        }
        key.ifindex = if_nametoindex(it->ifa_name) & 0xFFFFU;
        map[key].ifName = it->ifa_name;
    }
    freeifaddrs(list);
    return true;
}

}  // namespace

Socket::Socket() = default;

Socket::~Socket()
{
    close();
}

bool Socket::isStream() const
{
    return socketType == TCP_V4 || socketType == TCP_V6 || socketType == TCP_DUAL;
}

bool Socket::open(Type type)
{
    close();
    socketType = type;
    int domain = 0;
    int kind = 0;
    switch (type) {
    case TCP_V4:
        domain = AF_INET;
        kind = SOCK_STREAM;
        break;
    case UDP_V4:
        domain = AF_INET;
        kind = SOCK_DGRAM;
        break;
    case TCP_V6:
    case TCP_DUAL:
        domain = AF_INET6;
        kind = SOCK_STREAM;
        break;
    case UDP_V6:
    case UDP_DUAL:
        domain = AF_INET6;
        kind = SOCK_DGRAM;
        break;
    default:
        break;  // family 0, type 0: refused by the kernel
    }
    const int d = ::socket(domain, kind, 0);
    if (d < 0) {
        return false;
    }
    const int one = 1;
    if (type == UDP_V4) {
        if (setsockopt(d, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0) {
            ::close(d);
            return false;
        }
        int off = 0;
        ioctl(d, FIONBIO, &off);
    }
    setsockopt(d, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(d, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    const int pmtu = IP_PMTUDISC_DO;
    setsockopt(d, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof(pmtu));
    if (type >= TCP_V6 && type <= UDP_DUAL) {
        const int only = (type == TCP_V6 || type == UDP_V6) ? 1 : 0;
        setsockopt(d, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof(only));
    }
    blocking.store(true, std::memory_order_relaxed);
    fd.store(d, std::memory_order_release);
    return true;
}

void Socket::interrupt()
{
    const int d = fd.exchange(-1, std::memory_order_acq_rel);
    if (d == -1) {
        return;
    }
    ::shutdown(d, SHUT_RDWR);
    const int older = retiredFd.exchange(d, std::memory_order_acq_rel);
    if (older != -1) {
        ::close(older);
    }
}

void Socket::close()
{
    const int retired = retiredFd.exchange(-1, std::memory_order_acq_rel);
    if (retired != -1) {
        ::close(retired);
    }
    const int d = fd.exchange(-1, std::memory_order_acq_rel);
    if (d == -1) {
        return;
    }
    if (isStream()) {
        ::shutdown(d, SHUT_RDWR);
    }
    ::close(d);
}

bool Socket::shutdown()
{
    return ::shutdown(getDescriptor(), SHUT_RDWR) == 0;
}

bool Socket::setBlocking(bool on)
{
    int nb = on ? 0 : 1;
    if (ioctl(getDescriptor(), FIONBIO, &nb) != 0) {
        return false;
    }
    blocking.store(on, std::memory_order_relaxed);
    return true;
}

bool Socket::bindV6(IPAddress& local, unsigned backlog)
{
    ifOverride = 0;
    uint32_t scope = 0;
    if (isLinkLocal(local)) {
        scope = ifOverride = local.ifindex;
    } else if (isLoopback(local)) {
        if (local.ifindex != 0) {
            scope = ifOverride = local.ifindex;
        } else {
            InterfaseMap map;
            if (!getMyAddresV6(map)) {
                return false;
            }
            for (const auto& entry : map) {
                if (isLoopback(entry.first)) {
                    scope = ifOverride = entry.first.ifindex;
                    break;
                }
            }
        }
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = local.port;
    std::memcpy(&sa.sin6_addr, local.addr, 16);
    sa.sin6_scope_id = scope;
    const int d = getDescriptor();
    if (local.port == 0) {
        exclusivePort(d);
    }
    if (::bind(d, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        lastError.store(errno, std::memory_order_relaxed);
        return false;
    }
    if (local.port == 0) {
        sockaddr_in6 got{};
        socklen_t len = sizeof(got);
        if (getsockname(d, reinterpret_cast<sockaddr*>(&got), &len) != 0) {
            return false;
        }
        local.port = got.sin6_port;
    }
    if (isStream() && ::listen(d, static_cast<int>(backlog)) != 0) {
        return false;
    }
    if (ifOverride != 0) {
        setInterface(ifOverride);
    }
    return true;
}

void Socket::fillV6(sockaddr_in6& sa, const IPAddress& to) const
{
    sa = sockaddr_in6{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = to.port;
    std::memcpy(&sa.sin6_addr, to.addr, 16);
    sa.sin6_scope_id = ifOverride != 0 ? ifOverride : to.ifindex;
}

void Socket::setToV6(const IPAddress& to)
{
    fillV6(toAddr, to);
}

void Socket::getToV6(IPAddress& out) const
{
    std::memcpy(out.addr, &toAddr.sin6_addr, 16);
    out.port = toAddr.sin6_port;
    out.ifindex = ifOverride == 0 ? toAddr.sin6_scope_id : 0;
}

bool Socket::setInterface(uint32_t index)
{
    const unsigned v = index;
    return setsockopt(getDescriptor(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &v, sizeof(v)) == 0;
}

bool Socket::memberV6(const IPAddress& group)
{
    ipv6_mreq req{};
    std::memcpy(&req.ipv6mr_multiaddr, group.addr, 16);
    req.ipv6mr_interface = group.ifindex;
    return setsockopt(getDescriptor(), IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &req, sizeof(req)) == 0;
}

bool Socket::connectV6(const IPAddress& to)
{
    sockaddr_in6 sa;
    fillV6(sa, to);
    if (::connect(getDescriptor(), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        lastError.store(errno, std::memory_order_relaxed);
        return false;
    }
    return true;
}

bool Socket::acceptV6(Socket& out, IPAddress& peer)
{
    out.close();
    sockaddr_in6 sa{};
    socklen_t len = sizeof(sa);
    const int d = ::accept(getDescriptor(), reinterpret_cast<sockaddr*>(&sa), &len);
    if (d < 0) {
        return false;
    }
    out.fd.store(d, std::memory_order_release);
    out.socketType = socketType;
    std::memcpy(peer.addr, &sa.sin6_addr, 16);
    peer.port = sa.sin6_port;
    return true;
}

Socket::WaitResult Socket::acceptV6(Socket& out, IPAddress& peer, Clock timeout)
{
    const WaitResult r = wait(timeout);
    if (r != WaitReady) {
        return r;
    }
    return acceptV6(out, peer) ? WaitReady : WaitError;
}

bool Socket::sendLoop(int d, BufferCS_const data, const void* sa, unsigned saLen, bool wait)
{
    const int count = static_cast<int>(data.viewSize);
    const auto* addr = static_cast<const sockaddr*>(sa);
    bool switched = false;
    for (;;) {
        const ssize_t n = ::sendto(d, data.viewData, static_cast<size_t>(count), 0, addr, saLen);
        if (n == count) {
            if (switched && setBlocking(false)) {
                switched = false;
            }
            return true;
        }
        if (n < 0) {
            const int e = errno;
            lastError.store(e, std::memory_order_relaxed);
            if (!wait || (e != EAGAIN && e != ENOBUFS)) {
                return false;
            }
        } else if (!wait) {
            return false;  // short send
        }
        if (!getBlocking()) {
            if (setBlocking(true)) {
                switched = true;
            }
        }
    }
}

bool Socket::sendToV6(BufferCS_const data, const IPAddress& to, bool wait)
{
    // The destination is built locally rather than swapped into toAddr, so
    // the default destination is untouched and the logger's socket can be
    // shared by every thread without a lock.
    sockaddr_in6 sa;
    fillV6(sa, to);
    return sendLoop(getDescriptor(), data, &sa, sizeof(sa), wait);
}

bool Socket::sendToV6(BufferCS_const data, bool wait)
{
    return sendLoop(getDescriptor(), data, &toAddr, sizeof(toAddr), wait);
}

bool Socket::send(BufferCS_const data)
{
    const ssize_t n = ::send(getDescriptor(), data.viewData, data.viewSize, 0);
    if (n < 0) {
        lastError.store(errno, std::memory_order_relaxed);
        return false;
    }
    return static_cast<size_t>(n) == data.viewSize;
}

bool Socket::sendNoBlock(BufferCS_const data, size_t offset, size_t& sent)
{
    const size_t len = offset < data.viewSize ? data.viewSize - offset : 0;
    const ssize_t n = ::send(getDescriptor(), data.viewData + offset, len, 0);
    if (n < 0) {
        sent = 0;
        lastError.store(errno, std::memory_order_relaxed);
        return false;
    }
    sent = offset + static_cast<size_t>(n);
    return true;
}

bool Socket::receiveFromV6(Buffer& into, IPAddress& from)
{
    into.resize(recvSize);
    size_t got = 0;
    const bool ok = receiveFromV6(into.writable(), got, from);
    into.resize(got);
    return ok;
}

bool Socket::receiveFromV6(BufferCS into, size_t& got, IPAddress& from)
{
    sockaddr_in6 sa{};
    socklen_t len = sizeof(sa);
    errno = 0;
    const ssize_t n =
        ::recvfrom(getDescriptor(), into.viewData, into.viewSize, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n >= 0) {
        got = static_cast<size_t>(n);
        if (n > 0) {
            toIPAddress(sa, from);
        }
        return true;
    }
    got = 0;
    return errno == EAGAIN || errno == 0;
}

bool Socket::receive(Buffer& into)
{
    into.resize(recvSize);
    errno = 0;
    const ssize_t n = ::recv(getDescriptor(), into.data(), into.size(), 0);
    if (n > 0) {
        into.resize(static_cast<size_t>(n));
        return true;
    }
    into.clear();
    if (n == 0) {
        return false;
    }
    return errno == EAGAIN || errno == 0;
}

bool Socket::receive(BufferCS into, size_t& got)
{
    const ssize_t n = ::recv(getDescriptor(), into.viewData, into.viewSize, 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return true;
    }
    if (n == 0) {
        return false;
    }
    got = 0;
    return errno == EAGAIN;
}

Socket::WaitResult Socket::wait(Clock timeout)
{
    return waitReadable(getDescriptor(), timeout);
}

bool Socket::getMyAddresV6(InterfaseMap& map)
{
    return collectAddresses(map, AF_INET6);
}

bool Socket::getMyLocalAddresV6(InterfaseMap& map, bool withLoopback)
{
    if (!getMyAddresV6(map)) {
        return false;
    }
    for (auto it = map.begin(); it != map.end();) {
        if (isLinkLocal(it->first) || (withLoopback && isLoopback(it->first))) {
            ++it;
        } else {
            it = map.erase(it);
        }
    }
    return true;
}

bool Socket::getMyAddresV4(InterfaseMap& map)
{
    return collectAddresses(map, AF_INET);
}

bool Socket::bindV4(IPAddress local)
{
    sockaddr_in sa = toV4(local);
    if (local.isUnspecified()) {
        sa.sin_addr.s_addr = INADDR_ANY;
    }
    const int d = getDescriptor();
    if (local.port == 0) {
        exclusivePort(d);
    }
    if (::bind(d, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        lastError.store(errno, std::memory_order_relaxed);
        return false;
    }
    if (!isStream()) {
        const int one = 1;
        if (setsockopt(d, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) != 0) {
            return false;
        }
    }
    return true;
}

bool Socket::connectV4(const IPAddress& to)
{
    const sockaddr_in sa = toV4(to);
    if (::connect(getDescriptor(), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        lastError.store(errno, std::memory_order_relaxed);
        return false;
    }
    return true;
}

bool Socket::memberV4(const IPAddress& group, const IPAddress& interfaceAddress)
{
    ip_mreq req{};
    std::memcpy(&req.imr_multiaddr, group.addr + 12, 4);
    if (!interfaceAddress.isUnspecified()) {
        std::memcpy(&req.imr_interface, interfaceAddress.addr + 12, 4);
    }
    return setsockopt(getDescriptor(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof(req)) == 0;
}

bool Socket::memberV4(const IPAddress& group)
{
    InterfaseMap map;
    if (!getMyAddresV4(map)) {
        return false;
    }
    for (const auto& entry : map) {
        if (!memberV4(group, entry.first)) {
            return false;
        }
    }
    return true;
}

bool Socket::sendToV4(BufferCS_const data, const IPAddress& to, const IPAddress& interfaceAddress, bool wait)
{
    const sockaddr_in sa = toV4(to);
    const int d = getDescriptor();
    if (!interfaceAddress.isUnspecified() && to.addr[12] == 239) {
        in_addr ifa{};
        std::memcpy(&ifa, interfaceAddress.addr + 12, 4);
        if (setsockopt(d, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof(ifa)) != 0) {
            return false;
        }
    }
    return sendLoop(d, data, &sa, sizeof(sa), wait);
}

bool Socket::sendToV4(BufferCS_const data, const IPAddress& to, bool wait)
{
    if (to.addr[12] != 239) {
        return sendToV4(data, to, IPAddress{}, wait);
    }
    InterfaseMap map;
    if (!getMyAddresV4(map)) {
        return false;
    }
    for (const auto& entry : map) {
        if (!sendToV4(data, to, entry.first, wait)) {
            return false;
        }
    }
    return true;
}

bool Socket::receiveFromV4(Buffer& into, IPAddress& from)
{
    into.resize(recvSize);
    size_t got = 0;
    const bool ok = receiveFromV4(into.writable(), got, from);
    into.resize(got);
    return ok;
}

bool Socket::receiveFromV4(BufferCS into, size_t& got, IPAddress& from)
{
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    errno = 0;
    const ssize_t n =
        ::recvfrom(getDescriptor(), into.viewData, into.viewSize, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n >= 0) {
        got = static_cast<size_t>(n);
        if (n > 0) {
            std::memset(from.addr, 0, 10);
            from.addr[10] = 0xFF;
            from.addr[11] = 0xFF;
            std::memcpy(from.addr + 12, &sa.sin_addr, 4);
            from.port = sa.sin_port;
        }
        return true;
    }
    got = 0;
    return errno == EAGAIN || errno == 0;
}

// ---- Waiter

Socket::Waiter::Waiter() : fbs(fbsNew()) {}

Socket::Waiter::~Waiter()
{
    fbsDelere(fbs);
}

void Socket::Waiter::set(Socket& socket)
{
    const int d = socket.getDescriptor();
    if (d >= 0 && d < kSelectLimit) {
        sockets.insert(static_cast<unsigned long>(d));
    }
}

void Socket::Waiter::clear(Socket& socket)
{
    const int d = socket.getDescriptor();
    if (d >= 0) {
        sockets.erase(static_cast<unsigned long>(d));
    }
}

void Socket::Waiter::clear()
{
    sockets.clear();
}

Socket::WaitResult Socket::Waiter::wait(Clock timeout)
{
    const long largest = fbsSetup(fbs, sockets, 0);
    if (sockets.empty()) {
        sleepFor(toTimeval(timeout));
        return WaitTimeout;
    }
    return fbsSelect(fbs, nullptr, static_cast<unsigned long>(largest), timeout);
}

bool Socket::Waiter::check(Socket& socket) const
{
    return fbsCheck(fbs, socket);
}

Socket::Waiter::fbsType* Socket::Waiter::fbsNew()
{
    return new fbsType{};
}

void Socket::Waiter::fbsDelere(fbsType* set)
{
    delete set;
}

bool Socket::Waiter::fbsCheck(fbsType* set, Socket& socket)
{
    const int d = socket.getDescriptor();
    if (set == nullptr || d < 0 || d >= kSelectLimit) {
        return false;
    }
    return (set->bits[d / 64] >> (d % 64)) & 1U;
}

int32_t Socket::Waiter::fbsSetup(fbsType* set, const std::set<unsigned long>& descriptors, unsigned long largest)
{
    *set = fbsType{};
    for (unsigned long d : descriptors) {
        if (d >= static_cast<unsigned long>(kSelectLimit)) {
            continue;  // does not fit the set
        }
        set->bits[d / 64] |= uint64_t{1} << (d % 64);
        if (d > largest) {
            largest = d;
        }
    }
    return static_cast<int32_t>(largest);
}

Socket::WaitResult Socket::Waiter::fbsSelect(fbsType* readSet, fbsType* writeSet, unsigned long largest, Clock timeout)
{
    static_assert(sizeof(fbsType) == sizeof(fd_set), "the descriptor set is a select set");
    if (largest >= static_cast<unsigned long>(kSelectLimit)) {
        largest = kSelectLimit - 1;
    }
    timeval tv = toTimeval(timeout);
    const int r = select(static_cast<int>(largest) + 1, reinterpret_cast<fd_set*>(readSet),
                         reinterpret_cast<fd_set*>(writeSet), nullptr, &tv);
    if (r < 0) {
        return WaitError;
    }
    return r > 0 ? WaitReady : WaitTimeout;
}

}  // namespace TIVRA
