#include "testbed/emulator/TargetEmulator.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "foundation/Socket.h"
#include "foundation/ThreadPriority.h"
#include "protocol/Message.h"
#include "testbed/emulator/Answerers.h"
#include "testbed/emulator/PiMutex.h"
#include "testbed/emulator/ControlHandlers.h"
#include "testbed/emulator/DiscoveryHandlers.h"

namespace testbed {

namespace {

// Large enough for any UDP datagram over IPv6, so path tests arrive whole.
constexpr size_t kReceiveSize = 65536;
// Longer delays are held to an hour, which keeps the picoseconds in range.
constexpr uint64_t kMaxDelayUs = 3'600'000'000ULL;
// A stream of 10,000 packets a second must not overrun the data socket
// while the thread is busy elsewhere: about 400 ms of such a stream.
constexpr int kDataReceiveBuffer = 4 * 1024 * 1024;
constexpr size_t kNoEndpoint = SIZE_MAX;
// Threads waiting for requests, each on a processor of its own.
constexpr size_t kAnswerers = 3;

// What a socket of the target is for: a sink's own port, a sink's stream
// data socket, the other-port socket, the log relay port, the discovery
// port (on the target's address, and on :: for the multicast search of a
// link-local target), the second address.
enum class Role { SINK, DATA, OTHER_PORT, LOG, DISCOVERY, MULTICAST, OTHER_ADDRESS };

struct Endpoint {
    TIVRA::UDPV6 socket;
    Role role = Role::SINK;
    size_t sink = 0;
    // The oldest datagram read from the socket and not yet handled, so that
    // the datagrams of all sockets are handled in the order they arrived.
    bool held = false;
    QUORVIN::Receive bytes;
    TIVRA::IPAddress from;
    timespec arrival{};
    // Where it was sent, on sockets that ask for it.
    TIVRA::IPAddress destination;
};

bool earlier(const timespec& a, const timespec& b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// One datagram with the kernel's arrival time, which the socket class does
// not offer. It lands in `scratch`, sized once, so that a datagram costs no
// more than its own bytes. False when nothing is waiting (or on a socket
// error, which the read consumes).
bool readHeld(Endpoint& ep, std::vector<uint8_t>& scratch)
{
    sockaddr_in6 sa{};
    iovec iov{scratch.data(), scratch.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(in6_pktinfo))];
    msghdr msg{};
    msg.msg_name = &sa;
    msg.msg_namelen = sizeof(sa);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    const ssize_t n = recvmsg(ep.socket.getDescriptor(), &msg, MSG_DONTWAIT);
    if (n < 0) {
        return false;
    }
    ep.bytes.assign(scratch.data(), scratch.data() + n);
    std::memcpy(ep.from.addr, &sa.sin6_addr, 16);
    ep.from.port = sa.sin6_port;
    ep.from.ifindex = sa.sin6_scope_id & 0xFFFFU;
    ep.arrival = timespec{};
    ep.destination = TIVRA::IPAddress{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            std::memcpy(&ep.arrival, CMSG_DATA(c), sizeof(timespec));
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof(info));
            std::memcpy(ep.destination.addr, &info.ipi6_addr, 16);
            ep.destination.ifindex = info.ipi6_ifindex;
        }
    }
    ep.held = true;
    return true;
}

// The kernel stamps datagrams on arrival only once timestamping is on
// system-wide, which it turns on some time after the first socket asks (and
// off again after the last one is gone); until then a datagram is stamped
// when it is read, and the order across sockets is lost. One socket kept for
// the life of the process holds it on, and the first start waits until a
// datagram really is stamped on arrival.
void ensureArrivalStamps()
{
    static std::once_flag once;
    std::call_once(once, [] {
        static TIVRA::UDPV6 keeper;
        TIVRA::IPAddress self = TargetConfig::loopback();
        const int on = 1;
        if (!keeper.open(TIVRA::Socket::UDP_V6) || !keeper.bindV6(self)
            || setsockopt(keeper.getDescriptor(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0) {
            return;
        }
        const uint8_t byte = 0;
        for (int attempt = 0; attempt < 500; ++attempt) {
            if (!keeper.sendToV6(TIVRA::BufferCS_const{&byte, 1}, self, false)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            uint8_t data[8];
            iovec iov{data, sizeof(data)};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof(control);
            if (recvmsg(keeper.getDescriptor(), &msg, MSG_DONTWAIT) < 0) {
                continue;
            }
            timespec stamp{};
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof(timespec));
                }
            }
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            const int64_t age = (now.tv_sec - stamp.tv_sec) * 1'000'000'000LL + (now.tv_nsec - stamp.tv_nsec);
            if (age >= 1'000'000) {
                return;  // stamped when it came, 2 ms before it was read
            }
        }
    });
}

struct Outgoing {
    TIVRA::Clock due;
    size_t endpoint = 0;
    TIVRA::IPAddress to;
    TIVRA::Buffer bytes;
};

// A reply decided under the lock and sent after it.
struct Reply {
    bool send = false;
    bool accepted = false;      // the normal answer went out: the request took effect
    bool startsStream = false;  // an accepted CONNECT_ANS
    size_t endpoint = 0;
    TIVRA::Clock delay;
    std::vector<TIVRA::Buffer> datagrams;  // in sending order
};

// The sockets open with address reuse, under which the kernel may hand out
// an ephemeral port that another reusing socket (of this target or of a test
// running beside it) already holds, and datagrams then reach the wrong one.
bool exclusivePort(TIVRA::UDPV6& socket)
{
    const int off = 0;
    return setsockopt(socket.getDescriptor(), SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off)) == 0;
}

void setReceiveBuffer(int fd, int bytes)
{
    // The forced form passes the system's limit, which root may do.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    }
}

QUORVIN::SendBuffer debugAnswer(uint16_t option0, const std::string& text)
{
    QUORVIN::SendBuffer m;
    m.set(QUORVIN::DEBUG_ANS, QUORVIN::STATUS_OK, option0, 0, 0, 0);
    m.set_str(text.size() > QUORVIN::MAX_PAYLOAD ? text.substr(0, QUORVIN::MAX_PAYLOAD) : text);
    m.update();
    return m;
}

// How often each kind of request (and each number asked about) has come,
// for the behaviours that pick the n-th.
struct Occurrences {
    std::map<QUORVIN::MessageID, uint32_t> byMessage;
    std::map<std::pair<QUORVIN::MessageID, uint16_t>, uint32_t> byNumber;
};

// The run of identical requests from one source that a repeat count is kept for.
struct RepeatRun {
    TIVRA::Buffer lastDatagram;
    TIVRA::IPAddress lastSource;
    uint32_t repeat = 0;

    uint32_t next(const TIVRA::IPAddress& from, const TIVRA::Buffer& datagram)
    {
        if (repeat != 0 && lastSource == from && lastDatagram == datagram) {
            ++repeat;
        } else {
            repeat = 1;
            lastSource = from;
            lastDatagram = datagram;
        }
        return repeat;
    }
};

struct SinkSlot {
    SinkConfig config;
    SinkState state;
    TIVRA::IPAddress address;
    TIVRA::IPAddress dataAddress;
    size_t dataEndpoint = 0;
    std::vector<Request> records;
    RepeatRun sinkRun;
    RepeatRun dataRun;
    Occurrences occurrences;
    std::vector<std::unique_ptr<StreamRecorder>> streams;
    uint64_t strayPackets = 0;
    // Switched off at the device: out of the listings, and its sockets answer nothing.
    bool hidden = false;

    // The stream packets and answers go to: the latest one, ended or not.
    StreamRecorder* latest() { return streams.empty() ? nullptr : streams.back().get(); }
    StreamRecorder* running() { return streams.empty() || streams.back()->ended() ? nullptr : streams.back().get(); }
};

// Work for the receiving threads that the API asks for: only they send.
struct Action {
    enum Kind { END_UNASKED, ASK_RESEND, DEBUG_LINE };
    Kind kind = END_UNASKED;
    size_t sink = 0;
    uint16_t value = 0;
    std::string text;
    TIVRA::IPAddress to;
};

using EndedStream = std::pair<size_t, StreamReport>;

uint16_t word(const TIVRA::Buffer& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

void putWord(TIVRA::Buffer& b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A datagram the host has to throw away, made from the reply it precedes.
TIVRA::Buffer spoil(const TIVRA::Buffer& reply, Behaviour::Before kind)
{
    TIVRA::Buffer bad = reply;
    switch (kind) {
    case Behaviour::SHORT:
        bad.resize(QUORVIN::HEADER_SIZE - 1);
        break;
    case Behaviour::BAD_TAG:
        putWord(bad, 0, QUORVIN::MESSAGE_TAG - 1);
        break;
    case Behaviour::BAD_LENGTH: {
        const uint16_t lw = word(bad, 2);
        putWord(bad, 2, static_cast<uint16_t>((((lw & ~7U) + 8) & 0xFFF8U) | (lw & 7U)));
        break;
    }
    case Behaviour::OTHER_ID:
        putWord(bad, 4, static_cast<uint16_t>(word(bad, 4) + 2));
        break;
    case Behaviour::BAD_PAD:
        putWord(bad, 2, static_cast<uint16_t>(word(bad, 2) | 7U));
        break;
    case Behaviour::LOW_LENGTH:
        putWord(bad, 2, 8);
        break;
    case Behaviour::NOTHING:
        break;
    }
    return bad;
}

// The n-th datagram (from 0) of a flood before the reply.
TIVRA::Buffer stray(const TIVRA::Buffer& reply, Behaviour::Stray kind, uint16_t n)
{
    TIVRA::Buffer bad = reply;
    if (kind == Behaviour::STRAY_STALE) {
        putWord(bad, 6, static_cast<uint16_t>(word(bad, 6) | QUORVIN::STATUS_OK));
        putWord(bad, 8, static_cast<uint16_t>(word(bad, 8) + n + 1));
    } else {
        putWord(bad, 4, static_cast<uint16_t>(word(bad, 4) + 2));
    }
    return bad;
}

// Changes the field an answer echoes from its request.
void wrongEcho(const Request& request, QUORVIN::SendBuffer& answer)
{
    uint16_t o[4] = {answer.getOption0(), answer.getOption1(), answer.getOption2(), answer.getOption3()};
    switch (request.message) {
    case QUORVIN::PORT_REQ:
        if (request.option0 != 0) {
            ++o[0];
        } else if (request.option1 != 0) {
            ++o[1];
        } else if (request.option2 != 0) {
            o[2] = request.option2 == 1 ? 2 : 1;
        }
        break;
    case QUORVIN::STATUS_REQ:
    case QUORVIN::CONTROLLIST_REQ:
    case QUORVIN::CONTROLVALUE_REQ:
        if (request.option0 != 0) {
            ++o[0];
        }
        break;
    default:
        return;
    }
    answer.set(answer.getMessage(), answer.getStatus(), o[0], o[1], o[2], o[3]);
}

// The behaviour for one request: the numbered one, else the identifier's;
// one that picks another occurrence leaves the request to the normal answer.
Behaviour choose(const std::map<QUORVIN::MessageID, Behaviour>& plain, const NumberedBehaviours& numbered,
                 Occurrences& seen, const Request& request)
{
    if (!request.valid) {
        return Behaviour{};
    }
    uint32_t occurrence = ++seen.byMessage[request.message];
    const std::optional<uint16_t> number = requestNumber(request.message, request.option0, request.option1);
    const Behaviour* chosen = nullptr;
    if (number) {
        const auto key = std::make_pair(request.message, *number);
        const uint32_t ofNumber = ++seen.byNumber[key];
        if (const auto it = numbered.find(key); it != numbered.end()) {
            chosen = &it->second;
            occurrence = ofNumber;
        }
    }
    if (chosen == nullptr) {
        const auto it = plain.find(request.message);
        if (it == plain.end()) {
            return Behaviour{};
        }
        chosen = &it->second;
    }
    if (chosen->nth != 0 && chosen->nth != occurrence) {
        return Behaviour{};
    }
    return *chosen;
}

// The kernel's arrival time of a datagram (wall clock) on the monotonic
// clock: the stream's timing is the host's, not how soon this thread got to it.
TIVRA::Clock monotonicArrival(const timespec& arrival)
{
    const TIVRA::Clock now = TIVRA::Clock::now();
    timespec wall{};
    if ((arrival.tv_sec == 0 && arrival.tv_nsec == 0) || clock_gettime(CLOCK_REALTIME, &wall) != 0) {
        return now;
    }
    const int64_t ageNs = (static_cast<int64_t>(wall.tv_sec) - arrival.tv_sec) * 1'000'000'000LL
                          + (static_cast<int64_t>(wall.tv_nsec) - arrival.tv_nsec);
    if (ageNs <= 0 || static_cast<uint64_t>(ageNs) * 1000 >= now.picoseconds) {
        return now;  // the wall clock stepped
    }
    return now - TIVRA::Clock(static_cast<uint64_t>(ageNs) * 1000);
}

timespec toTimespec(TIVRA::Clock d)
{
    // Rounded up, so the wait never ends just before the due time.
    const uint64_t ns = (d.picoseconds + 999) / 1000;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000ULL);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000ULL);
    return ts;
}

}  // namespace

struct TargetEmulator::Impl {
    // Serialises start and stop.
    std::mutex lifecycle;

    // Everything below up to the thread's own state is shared with the API.
    mutable PiMutex mutex;
    mutable std::condition_variable_any changed;
    bool running = false;
    std::vector<SinkSlot> sinks;
    TIVRA::IPAddress otherPort;
    size_t recordLimit = 0;
    uint64_t order = 0;
    std::function<void(const Request&)> listener;
    std::function<void(size_t, const StreamReport&)> streamListener;
    bool keepAudio = true;
    std::optional<TIVRA::IPAddress> logAddress;
    std::vector<std::string> logLines;
    bool logAck = true;
    std::string logDropLine;
    std::vector<Request> logRecords;
    std::optional<TIVRA::IPAddress> logSource;  // of the latest DEBUG_REQ
    std::vector<Action> actions;
    uint64_t actionsQueued = 0;
    uint64_t actionsDone = 0;
    std::string name;
    DiscoveryConfig discovery;
    DiscoveryState discoveryState;
    std::optional<TIVRA::IPAddress> discoveryAddress;
    std::optional<TIVRA::IPAddress> otherAddress;
    std::vector<Request> discoveryRecords;
    RepeatRun discoveryRun;
    Occurrences discoveryOccurrences;

    // Set up by start before the threads exist, torn down by stop after
    // they ended; in between only the thread holding `turn` uses them (the
    // wake-up descriptor is written under the mutex while running).
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    size_t otherEndpoint = 0;
    size_t logEndpoint = kNoEndpoint;
    size_t discoveryEndpoint = kNoEndpoint;
    size_t otherAddressEndpoint = kNoEndpoint;
    uint32_t multicastIfindex = 0;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::function<TIVRA::Clock()> clock;
    std::vector<std::thread> threads;
    // Held by the thread that reads, handles and sends; the others wait for
    // datagrams meanwhile, so whichever wakes first takes the next one.
    // Taken before `mutex`, never while holding it.
    std::mutex turn;

    // The receiving threads' own, under `turn`.
    std::deque<Outgoing> pending;  // ordered by due time, equal times in arrival order
    std::vector<uint8_t> scratch = std::vector<uint8_t>(kReceiveSize);

    bool openSockets(const TargetConfig& config, std::vector<TIVRA::IPAddress>& addresses);
    bool bindDiscovery(const TargetConfig& config, std::vector<TIVRA::IPAddress>& addresses);
    void closeSockets();
    void run(int cpu);
    void handleOldest();
    Request makeRequest(size_t endpoint, Request::Channel channel);
    void keep(std::vector<Request>& records, Request&& request);
    void handle(size_t endpoint);
    void handleData(size_t endpoint);
    void handleLog(size_t endpoint);
    void runActions();
    void handleDiscovery(size_t endpoint);
    DiscoveryView discoveryView() const;
    Reply decide(SinkSlot& slot, const Request& request, size_t endpoint);
    Reply compose(const Behaviour& b, const Request& request, size_t endpoint,
                  const std::function<bool(bool commit, QUORVIN::SendBuffer& answer)>& build) const;
    void deliver(Reply& reply, const Request& request);
    void startStream(SinkSlot& slot, const Request& request, std::vector<EndedStream>& ended);
    size_t answerEndpoint(const SinkSlot& slot, size_t sink) const;
    void reportEnded(const std::vector<EndedStream>& ended);
    void wake();
    TIVRA::Clock streamNow() const { return clock ? clock() : TIVRA::Clock::now(); }
    void send(size_t endpoint, const TIVRA::IPAddress& to, TIVRA::BufferCS_const bytes);
    void sendAll(size_t endpoint, const TIVRA::IPAddress& to, const std::vector<TIVRA::Buffer>& datagrams);
    void queue(Outgoing out);
    void sendDue();
};

// Endpoints and addresses in this order: every sink's own socket, every
// sink's data socket, the other-port socket, the discovery sockets, the log
// relay socket, the other-address socket.
bool TargetEmulator::Impl::openSockets(const TargetConfig& config, std::vector<TIVRA::IPAddress>& addresses)
{
    auto bind = [&](Role role, size_t sink, uint16_t port) {
        auto ep = std::make_unique<Endpoint>();
        ep->role = role;
        ep->sink = sink;
        TIVRA::IPAddress local = config.address;
        local.setPort(port);
        const int on = 1;
        if (!ep->socket.open(TIVRA::Socket::UDP_V6) || !exclusivePort(ep->socket) || !ep->socket.bindV6(local)
            || setsockopt(ep->socket.getDescriptor(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0) {
            return false;
        }
        if (role == Role::DATA) {
            setReceiveBuffer(ep->socket.getDescriptor(), kDataReceiveBuffer);
        }
        TIVRA::IPAddress bound = config.address;
        bound.port = local.port;
        addresses.push_back(bound);
        endpoints.push_back(std::move(ep));
        return true;
    };
    for (size_t i = 0; i < config.sinks.size(); ++i) {
        if (!bind(Role::SINK, i, config.sinks[i].port)) {
            return false;
        }
    }
    for (size_t i = 0; i < config.sinks.size(); ++i) {
        if (!bind(Role::DATA, i, config.sinks[i].dataPort)) {
            return false;
        }
    }
    otherEndpoint = endpoints.size();
    if (!bind(Role::OTHER_PORT, 0, 0)) {
        return false;
    }
    discoveryEndpoint = kNoEndpoint;
    multicastIfindex = 0;
    if (config.discovery.port) {
        discoveryEndpoint = endpoints.size();
        if (!bindDiscovery(config, addresses)) {
            return false;
        }
    }
    logEndpoint = kNoEndpoint;
    if (config.logPort && discoveryEndpoint != kNoEndpoint && *config.logPort != 0
        && *config.logPort == *config.discovery.port) {
        // A real target serves its log relay on its discovery port.
        logEndpoint = discoveryEndpoint;
    } else if (config.logPort) {
        logEndpoint = endpoints.size();
        if (!bind(Role::LOG, 0, *config.logPort)) {
            return false;
        }
    }
    otherAddressEndpoint = kNoEndpoint;
    if (config.otherAddress) {
        auto ep = std::make_unique<Endpoint>();
        ep->role = Role::OTHER_ADDRESS;
        TIVRA::IPAddress local = *config.otherAddress;
        local.setPort(0);
        if (!ep->socket.open(TIVRA::Socket::UDP_V6) || !exclusivePort(ep->socket) || !ep->socket.bindV6(local)) {
            return false;
        }
        TIVRA::IPAddress bound = *config.otherAddress;
        bound.port = local.port;
        otherAddressEndpoint = endpoints.size();
        addresses.push_back(bound);
        endpoints.push_back(std::move(ep));
    }
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wakeFd >= 0;
}

// The discovery port on the target's own address, which every answer leaves
// from; a link-local target adds a socket on the unspecified address for the
// multicast search, which every target of the process on that port shares
// (hence address reuse on both), told apart by the destination it came to.
bool TargetEmulator::Impl::bindDiscovery(const TargetConfig& config, std::vector<TIVRA::IPAddress>& addresses)
{
    const int on = 1;
    auto prepare = [&](Endpoint& ep) {
        return setsockopt(ep.socket.getDescriptor(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0
               && setsockopt(ep.socket.getDescriptor(), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof(on)) == 0;
    };
    auto reuse = [&](Endpoint& ep) {
        return setsockopt(ep.socket.getDescriptor(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
    };
    auto ep = std::make_unique<Endpoint>();
    ep->role = Role::DISCOVERY;
    TIVRA::IPAddress local = config.address;
    local.setPort(*config.discovery.port);
    // A fixed port is shared by the targets of a process; an ephemeral one stays ours alone.
    const bool fixed = *config.discovery.port != 0;
    if (!ep->socket.open(TIVRA::Socket::UDP_V6) || !(fixed ? reuse(*ep) : exclusivePort(ep->socket))
        || !ep->socket.bindV6(local) || !prepare(*ep)) {
        return false;
    }
    TIVRA::IPAddress bound = config.address;
    bound.port = local.port;
    addresses.push_back(bound);
    const bool multicast = config.address.ifindex != 0 && config.discovery.answerMulticast;
    if (multicast && !reuse(*ep)) {
        return false;
    }
    endpoints.push_back(std::move(ep));
    if (!multicast) {
        return true;
    }
    auto group = std::make_unique<Endpoint>();
    group->role = Role::MULTICAST;
    TIVRA::IPAddress any;
    any.port = bound.port;
    ipv6_mreq join{};
    join.ipv6mr_multiaddr.s6_addr[0] = 0xFF;
    join.ipv6mr_multiaddr.s6_addr[1] = 0x02;
    join.ipv6mr_multiaddr.s6_addr[15] = 0x01;
    join.ipv6mr_interface = config.address.ifindex;
    if (!group->socket.open(TIVRA::Socket::UDP_V6) || !reuse(*group) || !group->socket.bindV6(any) || !prepare(*group)
        || setsockopt(group->socket.getDescriptor(), IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof(join)) != 0) {
        return false;
    }
    multicastIfindex = config.address.ifindex;
    addresses.push_back(bound);
    endpoints.push_back(std::move(group));
    return true;
}

void TargetEmulator::Impl::closeSockets()
{
    endpoints.clear();
    logEndpoint = kNoEndpoint;
    discoveryEndpoint = kNoEndpoint;
    otherAddressEndpoint = kNoEndpoint;
    if (wakeFd >= 0) {
        ::close(wakeFd);
        wakeFd = -1;
    }
    pending.clear();
}

void TargetEmulator::Impl::run(int cpu)
{
    // A real target answers from a processor of its own; in the host's top
    // real-time class (where permitted) the emulator keeps answering
    // promptly while the machine is busy, also beside the host's stream
    // workers of the tests running side by side, which have that class too.
    becomeAnswerer(cpu);
    std::vector<pollfd> fds;
    for (const auto& ep : endpoints) {
        fds.push_back({ep->socket.getDescriptor(), POLLIN, 0});
    }
    fds.push_back({wakeFd, POLLIN, 0});
    for (;;) {
        timespec ts{};
        timespec* timeout = nullptr;
        {
            std::lock_guard<std::mutex> hold(turn);
            bool held = false;
            for (const auto& ep : endpoints) {
                held = held || ep->held;
            }
            if (held) {
                timeout = &ts;  // datagrams already read: only look
            } else if (!pending.empty()) {
                const TIVRA::Clock now = TIVRA::Clock::now();
                const TIVRA::Clock due = pending.front().due;
                ts = toTimespec(due.Comp(now) > 0 ? due - now : TIVRA::Clock(0));
                timeout = &ts;
            }
        }
        const int r = ppoll(fds.data(), fds.size(), timeout, nullptr);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        // The stop's wake-up is left unread, so that every thread sees it.
        if (stopping.load()) {
            return;
        }
        std::lock_guard<std::mutex> hold(turn);
        if (fds.back().revents != 0) {
            uint64_t count = 0;
            while (::read(wakeFd, &count, sizeof(count)) < 0 && errno == EINTR) {
            }
            if (stopping.load()) {
                wake();  // this read may have taken the stop's wake-up
                return;
            }
            runActions();
        }
        // Every socket is looked at, not only those this thread's poll saw
        // ready: another thread may have woken for an earlier datagram on
        // another socket and not have taken the turn yet. The second look
        // catches a datagram queued while the first went round, so what is
        // older than the oldest held one is held too.
        for (int look = 0; look < 2; ++look) {
            for (size_t i = 0; i + 1 < fds.size(); ++i) {
                if (!endpoints[i]->held) {
                    readHeld(*endpoints[i], scratch);  // nothing when the socket is empty
                }
            }
        }
        handleOldest();
        sendDue();
    }
}

// Merges the sockets' queues by arrival time: each socket holds at most its
// oldest datagram, and one pass of the loop, after looking at every socket,
// handles the oldest of all. So a request that came in just before another
// one on a different socket is always handled first.
void TargetEmulator::Impl::handleOldest()
{
    size_t oldest = endpoints.size();
    for (size_t i = 0; i < endpoints.size(); ++i) {
        if (endpoints[i]->held
            && (oldest == endpoints.size() || earlier(endpoints[i]->arrival, endpoints[oldest]->arrival))) {
            oldest = i;
        }
    }
    if (oldest == endpoints.size()) {
        return;
    }
    endpoints[oldest]->held = false;
    switch (endpoints[oldest]->role) {
    case Role::SINK:
        handle(oldest);
        break;
    case Role::DATA:
        handleData(oldest);
        break;
    case Role::LOG:
        handleLog(oldest);
        break;
    case Role::DISCOVERY:
    case Role::MULTICAST:
        handleDiscovery(oldest);
        break;
    case Role::OTHER_PORT:
    case Role::OTHER_ADDRESS:
        break;  // they only send
    }
}

Reply TargetEmulator::Impl::decide(SinkSlot& slot, const Request& request, size_t endpoint)
{
    const Behaviour b = choose(slot.config.behaviours, slot.config.numberedBehaviours, slot.occurrences, request);
    slot.state.streaming = slot.running() != nullptr;
    Reply reply = compose(b, request, endpoint, [&](bool commit, QUORVIN::SendBuffer& answer) {
        const SinkHandler handler = sinkHandler(request.message);
        return handler != nullptr && handler(slot.config, slot.state, request, commit, answer);
    });
    reply.startsStream = reply.accepted && request.message == QUORVIN::CONNECT_REQ;
    return reply;
}

// The datagrams a behaviour makes of the normal answer, which `build` writes
// (with commit false for a refusal, which must leave the state alone).
Reply TargetEmulator::Impl::compose(const Behaviour& b, const Request& request, size_t endpoint,
                                    const std::function<bool(bool, QUORVIN::SendBuffer&)>& build) const
{
    Reply reply;
    if (!request.valid) {
        return reply;
    }
    if (b.onRepeat > 1 && request.repeat % b.onRepeat != 0) {
        return reply;
    }
    TIVRA::Buffer bytes;
    switch (b.mode) {
    case Behaviour::SILENT:
        return reply;
    case Behaviour::ECHO:
        bytes = request.datagram;
        break;
    case Behaviour::ANSWER:
    case Behaviour::REFUSE:
    case Behaviour::OTHER_PORT:
    case Behaviour::OTHER_ADDRESS:
    case Behaviour::WRONG_ECHO:
    case Behaviour::MALFORMED: {
        QUORVIN::SendBuffer answer;
        if (!build(b.mode != Behaviour::REFUSE, answer)) {
            return reply;
        }
        if (b.mode == Behaviour::REFUSE) {
            answer.statusUpdate(QUORVIN::STATUS_OK, 0);
        } else {
            if (b.mode == Behaviour::WRONG_ECHO) {
                wrongEcho(request, answer);
            }
            answer.update();
            reply.accepted = b.mode != Behaviour::MALFORMED;
        }
        bytes = static_cast<TIVRA::BufferCS_const>(answer);
        if (b.mode == Behaviour::MALFORMED) {
            bytes = spoil(bytes, b.malformed);
        }
        break;
    }
    }
    reply.send = true;
    reply.endpoint = endpoint;
    if (b.mode == Behaviour::OTHER_PORT
        || (b.mode == Behaviour::OTHER_ADDRESS && otherAddressEndpoint == kNoEndpoint)) {
        reply.endpoint = otherEndpoint;
    } else if (b.mode == Behaviour::OTHER_ADDRESS) {
        reply.endpoint = otherAddressEndpoint;
    }
    reply.delay = TIVRA::Clock((b.delayUs < kMaxDelayUs ? b.delayUs : kMaxDelayUs) * TIVRA::Clock::US);
    for (uint16_t i = 0; i < b.flood; ++i) {
        reply.datagrams.push_back(stray(bytes, b.stray, i));
    }
    if (b.before != Behaviour::NOTHING) {
        reply.datagrams.push_back(spoil(bytes, b.before));
    }
    for (uint16_t i = 1; i < b.copies; ++i) {
        reply.datagrams.push_back(bytes);
    }
    reply.datagrams.push_back(std::move(bytes));
    return reply;
}

Request TargetEmulator::Impl::makeRequest(size_t endpoint, Request::Channel channel)
{
    const QUORVIN::Receive& rx = endpoints[endpoint]->bytes;
    Request request;
    request.channel = channel;
    request.sink = endpoints[endpoint]->sink;
    request.time = TIVRA::Clock::now();
    request.source = endpoints[endpoint]->from;
    request.valid = static_cast<bool>(rx);
    if (request.valid) {
        request.message = rx.getMessage();
        request.status = rx.getStatus();
        request.option0 = rx.getOption0();
        request.option1 = rx.getOption1();
        request.option2 = rx.getOption2();
        request.option3 = rx.getOption3();
        request.option = rx.getOption();
        const TIVRA::BufferCS_const data = rx.get_data_CS();
        request.payload.assign(data.viewData, data.viewData + data.viewSize);
    }
    request.datagram.assign(rx.begin(), rx.end());
    return request;
}

// Under the lock.
void TargetEmulator::Impl::keep(std::vector<Request>& records, Request&& request)
{
    records.push_back(std::move(request));
    if (recordLimit != 0 && records.size() > recordLimit) {
        records.erase(records.begin());
    }
}

// Under the lock. An accepted connect ends the sink's running stream and starts the next.
void TargetEmulator::Impl::startStream(SinkSlot& slot, const Request& request, std::vector<EndedStream>& ended)
{
    if (StreamRecorder* previous = slot.running()) {
        previous->finish(StreamEnd::NEW_CONNECT);
        ended.emplace_back(request.sink, previous->report(false));
    }
    slot.streams.push_back(std::make_unique<StreamRecorder>(slot.streams.size(), request.option, request.source,
                                                            streamNow(), uint64_t{slot.state.latency} * 100, keepAudio,
                                                            slot.config.stream.audioFile));
}

size_t TargetEmulator::Impl::answerEndpoint(const SinkSlot& slot, size_t sink) const
{
    switch (slot.config.stream.answerFrom) {
    case StreamBehaviour::FROM_SINK:
        return sink;  // the sinks' own sockets come first
    case StreamBehaviour::FROM_OTHER_PORT:
        return otherEndpoint;
    case StreamBehaviour::FROM_DATA:
        break;
    }
    return slot.dataEndpoint;
}

void TargetEmulator::Impl::reportEnded(const std::vector<EndedStream>& ended)
{
    if (ended.empty()) {
        return;
    }
    std::function<void(size_t, const StreamReport&)> notify;
    {
        std::lock_guard<PiMutex> lock(mutex);
        notify = streamListener;
    }
    if (notify) {
        for (const EndedStream& e : ended) {
            notify(e.first, e.second);
        }
    }
}

void TargetEmulator::Impl::handle(size_t endpoint)
{
    Request request = makeRequest(endpoint, Request::Channel::SINK);
    const TIVRA::IPAddress from = request.source;
    Reply reply;
    std::function<void(const Request&)> notify;
    std::vector<EndedStream> ended;
    {
        std::lock_guard<PiMutex> lock(mutex);
        SinkSlot& slot = sinks[request.sink];
        request.repeat = slot.sinkRun.next(from, request.datagram);
        request.order = ++order;
        // A switched-off output answers nothing and takes nothing in; the
        // record shows what the host tried.
        if (!slot.hidden) {
            reply = decide(slot, request, endpoint);
        }
        if (reply.startsStream) {
            startStream(slot, request, ended);
        }
        keep(slot.records, Request(request));
        notify = listener;
    }
    changed.notify_all();
    if (notify) {
        notify(request);
    }
    reportEnded(ended);
    deliver(reply, request);
}

void TargetEmulator::Impl::deliver(Reply& reply, const Request& request)
{
    if (!reply.send) {
        return;
    }
    if (reply.delay.picoseconds == 0) {
        sendAll(reply.endpoint, request.source, reply.datagrams);
        return;
    }
    for (TIVRA::Buffer& bytes : reply.datagrams) {
        queue(Outgoing{request.time + reply.delay, reply.endpoint, request.source, std::move(bytes)});
    }
}

DiscoveryView TargetEmulator::Impl::discoveryView() const
{
    DiscoveryView view;
    view.name = name;
    view.config = &discovery;
    for (const SinkSlot& slot : sinks) {
        view.sinks.push_back(DiscoveryView::Sink{slot.address.getPort(), slot.config.name, slot.config.version,
                                                 slot.config.summary(), slot.hidden});
    }
    return view;
}

void TargetEmulator::Impl::handleDiscovery(size_t endpoint)
{
    const Endpoint& ep = *endpoints[endpoint];
    if (endpoint == logEndpoint && ep.bytes && ep.bytes.getMessage() == QUORVIN::DEBUG_REQ) {
        handleLog(endpoint);
        return;
    }
    const bool multicast = ep.destination.addr[0] == 0xFF;
    if (ep.role == Role::MULTICAST && (!multicast || ep.destination.ifindex != multicastIfindex)) {
        return;  // another target's unicast, or the search on another interface
    }
    Request request = makeRequest(endpoint, Request::Channel::DISCOVERY);
    request.sink = 0;
    request.destination = ep.destination;
    request.multicast = multicast;
    Reply reply;
    std::function<void(const Request&)> notify;
    {
        std::lock_guard<PiMutex> lock(mutex);
        request.repeat = discoveryRun.next(request.source, request.datagram);
        request.order = ++order;
        const Behaviour b = choose(discovery.behaviours, discovery.numberedBehaviours, discoveryOccurrences, request);
        const DiscoveryView view = discoveryView();
        reply = compose(b, request, discoveryEndpoint, [&](bool commit, QUORVIN::SendBuffer& answer) {
            const DiscoveryHandler handler = discoveryHandler(request.message);
            return handler != nullptr && handler(view, discoveryState, request, commit, answer);
        });
        keep(discoveryRecords, Request(request));
        notify = listener;
    }
    changed.notify_all();
    if (notify) {
        notify(request);
    }
    deliver(reply, request);
}

// The stream's packets are the busy path: no request record, no copy of the
// payload beyond the stream's own, one short hold of the lock.
void TargetEmulator::Impl::handleData(size_t endpoint)
{
    const Endpoint& ep = *endpoints[endpoint];
    const QUORVIN::Receive& rx = ep.bytes;
    const size_t sink = ep.sink;
    StreamAnswers out;
    size_t from = endpoint;
    std::vector<EndedStream> ended;
    if (rx && rx.getMessage() == QUORVIN::STREAM_REQ) {
        const TIVRA::Clock now = clock ? clock() : monotonicArrival(ep.arrival);
        const TIVRA::BufferCS_const payload = rx.get_data_CS();
        {
            std::lock_guard<PiMutex> lock(mutex);
            SinkSlot& slot = sinks[sink];
            slot.dataRun.repeat = 0;  // a stream packet breaks a run of identical requests
            StreamRecorder* stream = slot.latest();
            if (slot.hidden) {
                // Lost on a switched-off output: the stream sees a gap, as on the link.
            } else if (stream == nullptr) {
                ++slot.strayPackets;
            } else {
                const bool wasOpen = !stream->ended();
                stream->packet(rx.getOption0(), rx.getStatus(), payload.viewData, payload.viewSize, ep.from, now,
                               slot.config.stream, out);
                if (wasOpen && stream->ended()) {
                    ended.emplace_back(sink, stream->report(false));
                }
            }
            from = answerEndpoint(slot, sink);
        }
        changed.notify_all();
        for (int i = 0; i < out.count; ++i) {
            send(from, ep.from, static_cast<TIVRA::BufferCS_const>(out.list[i]));
        }
        reportEnded(ended);
        return;
    }

    Request request = makeRequest(endpoint, Request::Channel::DATA);
    bool answer = false;
    std::function<void(const Request&)> notify;
    {
        std::lock_guard<PiMutex> lock(mutex);
        SinkSlot& slot = sinks[sink];
        request.repeat = slot.dataRun.next(request.source, request.datagram);
        request.order = ++order;
        if (request.valid && request.message == QUORVIN::DSICONNECT_REQ && !slot.hidden) {
            if (StreamRecorder* stream = slot.latest()) {
                const bool wasOpen = !stream->ended();
                answer = stream->disconnectRequest(slot.config.stream);
                if (wasOpen) {
                    ended.emplace_back(sink, stream->report(false));
                }
            }
        }
        from = answerEndpoint(slot, sink);
        keep(slot.records, Request(request));
        notify = listener;
    }
    changed.notify_all();
    if (notify) {
        notify(request);
    }
    if (answer) {
        send(from, request.source,
             static_cast<TIVRA::BufferCS_const>(QUORVIN::Send(QUORVIN::DSICONNECT_ANS, QUORVIN::STATUS_OK)));
    }
    reportEnded(ended);
}

void TargetEmulator::Impl::handleLog(size_t endpoint)
{
    Request request = makeRequest(endpoint, Request::Channel::LOG);
    request.sink = 0;
    request.repeat = 1;
    bool answer = false;
    std::vector<std::string> lines;
    bool ack = false;
    std::string dropLine;
    std::function<void(const Request&)> notify;
    {
        std::lock_guard<PiMutex> lock(mutex);
        request.order = ++order;
        if (request.valid && request.message == QUORVIN::DEBUG_REQ) {
            answer = true;
            logSource = request.source;
            lines = logLines;
            ack = logAck;
            dropLine = logDropLine;
        }
        keep(logRecords, Request(request));
        notify = listener;
    }
    changed.notify_all();
    if (notify) {
        notify(request);
    }
    if (!answer) {
        return;
    }
    if (ack) {
        send(endpoint, request.source, debugAnswer(0, std::string()));
    }
    if (!dropLine.empty()) {
        send(endpoint, request.source, debugAnswer(1, dropLine));
    }
    for (const std::string& line : lines) {
        send(endpoint, request.source, debugAnswer(2, line));
    }
}

void TargetEmulator::Impl::runActions()
{
    std::vector<Action> todo;
    {
        std::lock_guard<PiMutex> lock(mutex);
        todo.swap(actions);
    }
    for (const Action& a : todo) {
        if (a.kind == Action::DEBUG_LINE) {
            if (logEndpoint != kNoEndpoint) {
                send(logEndpoint, a.to, debugAnswer(a.value, a.text));
            }
            continue;
        }
        StreamAnswers out;
        size_t from = 0;
        TIVRA::IPAddress to;
        std::vector<EndedStream> ended;
        {
            std::lock_guard<PiMutex> lock(mutex);
            SinkSlot& slot = sinks[a.sink];
            StreamRecorder* stream = slot.running();
            if (stream == nullptr) {
                continue;
            }
            if (a.kind == Action::END_UNASKED) {
                stream->endUnasked(out);
                ended.emplace_back(a.sink, stream->report(false));
            } else {
                stream->askResend(a.value, out);
            }
            from = answerEndpoint(slot, a.sink);
            to = stream->host();
        }
        changed.notify_all();
        for (int i = 0; i < out.count; ++i) {
            send(from, to, static_cast<TIVRA::BufferCS_const>(out.list[i]));
        }
        reportEnded(ended);
    }
    if (!todo.empty()) {
        std::lock_guard<PiMutex> lock(mutex);
        actionsDone += todo.size();
    }
    changed.notify_all();
}

// Under the lock: only while running is the descriptor open.
void TargetEmulator::Impl::wake()
{
    const uint64_t one = 1;
    while (::write(wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void TargetEmulator::Impl::send(size_t endpoint, const TIVRA::IPAddress& to, TIVRA::BufferCS_const bytes)
{
    // A reply that cannot be sent is lost, as on a real link.
    endpoints[endpoint]->socket.sendToV6(bytes, to, true);
}

// Copies of one answer go as one segmented send: the receiving kernel
// queues them together, so a host that drains before its next request never
// finds a second copy arriving after the drain (answers carry no request
// key; a late copy would answer the next request).
void TargetEmulator::Impl::sendAll(size_t endpoint, const TIVRA::IPAddress& to,
                                   const std::vector<TIVRA::Buffer>& datagrams)
{
    constexpr size_t kMaxCopies = 64;
    // The identical datagrams at the end: the copies and the answer.
    size_t copiesFrom = datagrams.size();
    while (copiesFrom > 0 && datagrams[copiesFrom - 1] == datagrams.back()) {
        --copiesFrom;
    }
    const size_t copies = datagrams.size() - copiesFrom;
    const size_t one = datagrams.empty() ? 0 : datagrams.back().size();
    const bool segmented = copies >= 2 && one > 0 && copies <= kMaxCopies && one * copies <= 65000;
    for (size_t i = 0; i < (segmented ? copiesFrom : datagrams.size()); ++i) {
        send(endpoint, to, datagrams[i]);
    }
    if (!segmented) {
        return;
    }
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = to.port;
    std::memcpy(&sa.sin6_addr, to.addr, 16);
    sa.sin6_scope_id = to.ifindex;
    iovec iov[kMaxCopies];
    for (size_t i = 0; i < copies; ++i) {
        iov[i] = iovec{const_cast<uint8_t*>(datagrams[copiesFrom + i].data()), one};
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr msg{};
    msg.msg_name = &sa;
    msg.msg_namelen = sizeof(sa);
    msg.msg_iov = iov;
    msg.msg_iovlen = copies;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t segment = static_cast<uint16_t>(one);
    std::memcpy(CMSG_DATA(c), &segment, sizeof(segment));
    const int fd = endpoints[endpoint]->socket.getDescriptor();
    if (::sendmsg(fd, &msg, 0) == static_cast<ssize_t>(one * copies)) {
        return;
    }
    // A kernel or device without segmentation: one at a time.
    for (size_t i = copiesFrom; i < datagrams.size(); ++i) {
        send(endpoint, to, datagrams[i]);
    }
}

void TargetEmulator::Impl::queue(Outgoing out)
{
    auto at = pending.end();
    while (at != pending.begin() && std::prev(at)->due.Comp(out.due) > 0) {
        --at;
    }
    pending.insert(at, std::move(out));
}

void TargetEmulator::Impl::sendDue()
{
    const TIVRA::Clock now = TIVRA::Clock::now();
    while (!pending.empty() && pending.front().due.Comp(now) <= 0) {
        send(pending.front().endpoint, pending.front().to, pending.front().bytes);
        pending.pop_front();
    }
}

// ---- TargetEmulator

TargetEmulator::TargetEmulator() : impl(std::make_unique<Impl>()) {}

TargetEmulator::~TargetEmulator()
{
    stop();
}

bool TargetEmulator::start(const TargetConfig& config)
{
    ensureArrivalStamps();
    std::lock_guard<std::mutex> life(impl->lifecycle);
    if (!impl->threads.empty() || config.sinks.empty()) {
        return false;
    }
    std::vector<TIVRA::IPAddress> addresses;
    if (!impl->openSockets(config, addresses)) {
        impl->closeSockets();
        return false;
    }
    {
        std::lock_guard<PiMutex> lock(impl->mutex);
        const size_t n = config.sinks.size();
        impl->sinks.clear();
        impl->sinks.resize(n);
        for (size_t i = 0; i < n; ++i) {
            SinkSlot& slot = impl->sinks[i];
            slot.config = config.sinks[i];
            slot.config.port = addresses[i].getPort();
            slot.config.dataPort = addresses[n + i].getPort();
            slot.state = initialState(config.sinks[i]);
            slot.state.dataPort = slot.config.dataPort;
            slot.address = addresses[i];
            slot.dataAddress = addresses[n + i];
            slot.dataEndpoint = n + i;
        }
        impl->otherPort = addresses[impl->otherEndpoint];
        impl->logAddress.reset();
        if (impl->logEndpoint != kNoEndpoint) {
            impl->logAddress = addresses[impl->logEndpoint];
        }
        impl->name = config.name;
        impl->discovery = config.discovery;
        impl->discoveryState = DiscoveryState{};
        impl->discoveryRecords.clear();
        impl->discoveryRun = RepeatRun{};
        impl->discoveryOccurrences = Occurrences{};
        impl->discoveryAddress.reset();
        if (impl->discoveryEndpoint != kNoEndpoint) {
            impl->discoveryAddress = addresses[impl->discoveryEndpoint];
        }
        impl->otherAddress.reset();
        if (impl->otherAddressEndpoint != kNoEndpoint) {
            impl->otherAddress = addresses[impl->otherAddressEndpoint];
        }
        impl->logLines = config.logLines;
        impl->logAck = config.logAck;
        impl->logDropLine = config.logDropLine;
        impl->logRecords.clear();
        impl->logSource.reset();
        impl->actions.clear();
        impl->actionsDone = impl->actionsQueued;
        impl->keepAudio = config.keepAudio;
        impl->recordLimit = config.recordLimit;
        impl->order = 0;
        impl->running = true;
    }
    impl->clock = config.clock;
    impl->stopping.store(false);
    for (const int cpu : answererCpus(kAnswerers)) {
        impl->threads.emplace_back(&Impl::run, impl.get(), cpu);
    }
    return true;
}

void TargetEmulator::stop()
{
    std::lock_guard<std::mutex> life(impl->lifecycle);
    if (impl->threads.empty()) {
        return;
    }
    impl->stopping.store(true);
    impl->wake();
    for (std::thread& t : impl->threads) {
        t.join();
    }
    impl->threads.clear();
    std::vector<EndedStream> ended;
    {
        std::lock_guard<PiMutex> lock(impl->mutex);
        impl->running = false;
        for (size_t i = 0; i < impl->sinks.size(); ++i) {
            if (StreamRecorder* stream = impl->sinks[i].running()) {
                stream->finish(StreamEnd::STOPPED);
                ended.emplace_back(i, stream->report(false));
            }
        }
    }
    impl->closeSockets();
    impl->changed.notify_all();
    impl->reportEnded(ended);
}

bool TargetEmulator::running() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->running;
}

size_t TargetEmulator::sinkCount() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->sinks.size();
}

TIVRA::IPAddress TargetEmulator::sinkAddress(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].address : TIVRA::IPAddress{};
}

TIVRA::IPAddress TargetEmulator::otherPortAddress() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->otherPort;
}

void TargetEmulator::setBehaviour(size_t sink, QUORVIN::MessageID request, const Behaviour& behaviour)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].config.behaviours[request] = behaviour;
    }
}

void TargetEmulator::clearBehaviours(size_t sink)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].config.behaviours.clear();
        impl->sinks[sink].config.numberedBehaviours.clear();
    }
}

void TargetEmulator::setBehaviour(size_t sink, QUORVIN::MessageID request, uint16_t number, const Behaviour& behaviour)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].config.numberedBehaviours[{request, number}] = behaviour;
    }
}

std::optional<TIVRA::IPAddress> TargetEmulator::discoveryAddress() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->discoveryAddress;
}

std::optional<TIVRA::IPAddress> TargetEmulator::otherAddress() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->otherAddress;
}

void TargetEmulator::setDiscoveryBehaviour(QUORVIN::MessageID request, const Behaviour& behaviour)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    impl->discovery.behaviours[request] = behaviour;
}

void TargetEmulator::setDiscoveryBehaviour(QUORVIN::MessageID request, uint16_t number, const Behaviour& behaviour)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    impl->discovery.numberedBehaviours[{request, number}] = behaviour;
}

void TargetEmulator::clearDiscoveryBehaviours()
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    impl->discovery.behaviours.clear();
    impl->discovery.numberedBehaviours.clear();
}

void TargetEmulator::setDiscoveryConfig(const DiscoveryConfig& config)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    const std::optional<uint16_t> port = impl->discovery.port;
    const bool multicast = impl->discovery.answerMulticast;
    impl->discovery = config;
    impl->discovery.port = port;
    impl->discovery.answerMulticast = multicast;
}

DiscoveryConfig TargetEmulator::discoveryConfig() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->discovery;
}

DiscoveryState TargetEmulator::discoveryState() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->discoveryState;
}

std::vector<Request> TargetEmulator::discoveryRequests() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->discoveryRecords;
}

void TargetEmulator::clearDiscoveryRequests()
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    impl->discoveryRecords.clear();
}

bool TargetEmulator::waitForDiscoveryRequests(const std::function<bool(const std::vector<Request>&)>& until,
                                              std::chrono::milliseconds timeout) const
{
    std::unique_lock<PiMutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] { return until(impl->discoveryRecords); });
}

bool TargetEmulator::waitForDiscoveryRequests(QUORVIN::MessageID message, size_t count,
                                              std::chrono::milliseconds timeout) const
{
    return waitForDiscoveryRequests(
        [&](const std::vector<Request>& records) {
            size_t seen = 0;
            for (const Request& r : records) {
                seen += (r.valid && r.message == message) ? 1 : 0;
            }
            return seen >= count;
        },
        timeout);
}

Behaviour TargetEmulator::behaviour(size_t sink, QUORVIN::MessageID request) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        const auto& map = impl->sinks[sink].config.behaviours;
        if (const auto it = map.find(request); it != map.end()) {
            return it->second;
        }
    }
    return Behaviour{};
}

void TargetEmulator::setSinkConfig(size_t sink, const SinkConfig& config)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        SinkConfig& current = impl->sinks[sink].config;
        const uint16_t port = current.port;
        const uint16_t dataPort = current.dataPort;
        auto behaviours = std::move(current.behaviours);
        current = config;
        current.port = port;
        current.dataPort = dataPort;
        current.behaviours = std::move(behaviours);
    }
}

SinkConfig TargetEmulator::sinkConfig(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].config : SinkConfig{};
}

SinkState TargetEmulator::state(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].state : SinkState{};
}

std::vector<Request> TargetEmulator::requests(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].records : std::vector<Request>{};
}

void TargetEmulator::clearRequests()
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    for (SinkSlot& slot : impl->sinks) {
        slot.records.clear();
    }
}

void TargetEmulator::clearRequests(size_t sink)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].records.clear();
    }
}

bool TargetEmulator::waitForRequests(size_t sink, const std::function<bool(const std::vector<Request>&)>& until,
                                     std::chrono::milliseconds timeout) const
{
    std::unique_lock<PiMutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] {
        static const std::vector<Request> none;
        return until(sink < impl->sinks.size() ? impl->sinks[sink].records : none);
    });
}

bool TargetEmulator::waitForRequests(size_t sink, QUORVIN::MessageID message, size_t count,
                                     std::chrono::milliseconds timeout) const
{
    return waitForRequests(
        sink,
        [&](const std::vector<Request>& records) {
            size_t seen = 0;
            for (const Request& r : records) {
                seen += (r.valid && r.message == message) ? 1 : 0;
            }
            return seen >= count;
        },
        timeout);
}

void TargetEmulator::onRequest(std::function<void(const Request&)> listener)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    impl->listener = std::move(listener);
}

TIVRA::IPAddress TargetEmulator::dataAddress(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].dataAddress : TIVRA::IPAddress{};
}

std::optional<TIVRA::IPAddress> TargetEmulator::logAddress() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->logAddress;
}

size_t TargetEmulator::streamCount(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].streams.size() : 0;
}

std::optional<StreamReport> TargetEmulator::streamReport(size_t sink, size_t stream) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink >= impl->sinks.size()) {
        return std::nullopt;
    }
    const auto& streams = impl->sinks[sink].streams;
    const size_t index = stream == kLastStream ? streams.size() - 1 : stream;
    if (streams.empty() || index >= streams.size()) {
        return std::nullopt;
    }
    return streams[index]->report(true);
}

bool TargetEmulator::waitForStreamPackets(size_t sink, uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<PiMutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] {
        const StreamRecorder* stream = sink < impl->sinks.size() ? impl->sinks[sink].latest() : nullptr;
        return stream != nullptr && stream->seen() >= count;
    });
}

bool TargetEmulator::waitForStreamEnd(size_t sink, std::chrono::milliseconds timeout) const
{
    std::unique_lock<PiMutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] {
        const StreamRecorder* stream = sink < impl->sinks.size() ? impl->sinks[sink].latest() : nullptr;
        return stream != nullptr && stream->ended();
    });
}

void TargetEmulator::setStreamBehaviour(size_t sink, const StreamBehaviour& behaviour)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].config.stream = behaviour;
    }
}

StreamBehaviour TargetEmulator::streamBehaviour(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].config.stream : StreamBehaviour{};
}

void TargetEmulator::endStreamUnasked(size_t sink)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (impl->running && sink < impl->sinks.size()) {
        impl->actions.push_back(Action{Action::END_UNASKED, sink, 0, {}, {}});
        ++impl->actionsQueued;
        impl->wake();
    }
}

void TargetEmulator::goSilent(size_t sink)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        if (StreamRecorder* stream = impl->sinks[sink].running()) {
            stream->goSilent();
        }
    }
}

void TargetEmulator::askResend(size_t sink, uint16_t back)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (impl->running && sink < impl->sinks.size()) {
        impl->actions.push_back(Action{Action::ASK_RESEND, sink, back, {}, {}});
        ++impl->actionsQueued;
        impl->wake();
    }
}

void TargetEmulator::onStreamEnd(std::function<void(size_t sink, const StreamReport&)> listener)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    impl->streamListener = std::move(listener);
}

uint64_t TargetEmulator::strayPackets(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].strayPackets : 0;
}

bool TargetEmulator::setDeviceVolume(size_t sink, int16_t volume)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink >= impl->sinks.size()) {
        return false;
    }
    bool any = false;
    for (ControlItem& item : impl->sinks[sink].state.controls) {
        if (item.type == ControlItem::VOLUME) {
            item.value = volumeValue(volume);
            any = true;
        }
    }
    return any;
}

bool TargetEmulator::setHidden(size_t sink, bool hidden)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (sink >= impl->sinks.size()) {
        return false;
    }
    impl->sinks[sink].hidden = hidden;
    return true;
}

bool TargetEmulator::hidden(size_t sink) const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return sink < impl->sinks.size() && impl->sinks[sink].hidden;
}

void TargetEmulator::setLogLines(const std::vector<std::string>& lines)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    impl->logLines = lines;
}

std::vector<Request> TargetEmulator::logRequests() const
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    return impl->logRecords;
}

bool TargetEmulator::waitForLogRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<PiMutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] { return impl->logRecords.size() >= count; });
}

bool TargetEmulator::waitForActions(std::chrono::milliseconds timeout) const
{
    std::unique_lock<PiMutex> lock(impl->mutex);
    return impl->changed.wait_for(lock, timeout, [&] { return impl->actionsDone >= impl->actionsQueued; });
}

bool TargetEmulator::sendDebugLine(const std::string& text, uint16_t option0, std::optional<TIVRA::IPAddress> to)
{
    std::lock_guard<PiMutex> lock(impl->mutex);
    if (!impl->running || !impl->logAddress) {
        return false;
    }
    if (!to) {
        to = impl->logSource;
    }
    if (!to) {
        return false;
    }
    impl->actions.push_back(Action{Action::DEBUG_LINE, 0, option0, text, *to});
    ++impl->actionsQueued;
    impl->wake();
    return true;
}

}  // namespace testbed
