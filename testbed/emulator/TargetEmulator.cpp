#include "testbed/emulator/TargetEmulator.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#include "foundation/Socket.h"
#include "protocol/Message.h"

namespace testbed {

namespace {

// Large enough for any UDP datagram over IPv6, so path tests arrive whole.
constexpr size_t kReceiveSize = 65536;
// Longer delays are held to an hour, which keeps the picoseconds in range.
constexpr uint64_t kMaxDelayUs = 3'600'000'000ULL;

// What a socket of the target is for. The stream's data port of each sink
// and the well-known port (discovery, log relay) become further roles.
enum class Role { SINK, OTHER_PORT };

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
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
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
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            std::memcpy(&ep.arrival, CMSG_DATA(c), sizeof(timespec));
        }
    }
    ep.held = true;
    return true;
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
    size_t endpoint = 0;
    TIVRA::Clock delay;
    std::vector<TIVRA::Buffer> datagrams;  // in sending order
};

struct SinkSlot {
    SinkConfig config;
    SinkState state;
    TIVRA::IPAddress address;
    std::vector<Request> records;
    // The run of identical requests the repeat count is kept for.
    TIVRA::Buffer lastDatagram;
    TIVRA::IPAddress lastSource;
    uint32_t repeat = 0;
};

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
    case Behaviour::NOTHING:
        break;
    }
    return bad;
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
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool running = false;
    std::vector<SinkSlot> sinks;
    TIVRA::IPAddress otherPort;
    size_t recordLimit = 0;
    uint64_t order = 0;
    std::function<void(const Request&)> listener;

    // Set up by start before the thread exists, torn down by stop after it
    // ended; in between the receive thread alone uses them.
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    size_t otherEndpoint = 0;
    int wakeFd = -1;
    std::thread thread;

    // The receive thread's own.
    std::deque<Outgoing> pending;  // ordered by due time, equal times in arrival order
    std::vector<uint8_t> scratch = std::vector<uint8_t>(kReceiveSize);

    bool openSockets(const TargetConfig& config, std::vector<TIVRA::IPAddress>& addresses);
    void closeSockets();
    void run();
    void handleOldest();
    void handle(size_t endpoint);
    Reply decide(SinkSlot& slot, const Request& request, size_t endpoint);
    void send(size_t endpoint, const TIVRA::IPAddress& to, const TIVRA::Buffer& bytes);
    void queue(Outgoing out);
    void sendDue();
};

bool TargetEmulator::Impl::openSockets(const TargetConfig& config, std::vector<TIVRA::IPAddress>& addresses)
{
    auto bind = [&](Role role, size_t sink, uint16_t port) {
        auto ep = std::make_unique<Endpoint>();
        ep->role = role;
        ep->sink = sink;
        TIVRA::IPAddress local = config.address;
        local.setPort(port);
        const int on = 1;
        if (!ep->socket.open(TIVRA::Socket::UDP_V6) || !ep->socket.bindV6(local)
            || setsockopt(ep->socket.getDescriptor(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0) {
            return false;
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
    otherEndpoint = endpoints.size();
    if (!bind(Role::OTHER_PORT, 0, 0)) {
        return false;
    }
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wakeFd >= 0;
}

void TargetEmulator::Impl::closeSockets()
{
    endpoints.clear();
    if (wakeFd >= 0) {
        ::close(wakeFd);
        wakeFd = -1;
    }
    pending.clear();
}

void TargetEmulator::Impl::run()
{
    std::vector<pollfd> fds;
    for (const auto& ep : endpoints) {
        fds.push_back({ep->socket.getDescriptor(), POLLIN, 0});
    }
    fds.push_back({wakeFd, POLLIN, 0});
    for (;;) {
        timespec ts{};
        timespec* timeout = nullptr;
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
        const int r = ppoll(fds.data(), fds.size(), timeout, nullptr);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds.back().revents != 0) {
            return;  // stop
        }
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (fds[i].revents != 0 && !endpoints[i]->held) {
                readHeld(*endpoints[i], scratch);
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
    if (endpoints[oldest]->role == Role::SINK) {
        handle(oldest);
    }
}

Reply TargetEmulator::Impl::decide(SinkSlot& slot, const Request& request, size_t endpoint)
{
    Reply reply;
    if (!request.valid) {
        return reply;
    }
    Behaviour b;
    if (const auto it = slot.config.behaviours.find(request.message); it != slot.config.behaviours.end()) {
        b = it->second;
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
    case Behaviour::OTHER_PORT: {
        const SinkHandler handler = sinkHandler(request.message);
        QUORVIN::SendBuffer answer;
        if (handler == nullptr || !handler(slot.config, slot.state, request, b.mode != Behaviour::REFUSE, answer)) {
            return reply;
        }
        if (b.mode == Behaviour::REFUSE) {
            answer.statusUpdate(QUORVIN::STATUS_OK, 0);
        } else {
            answer.update();
        }
        bytes = static_cast<TIVRA::BufferCS_const>(answer);
        break;
    }
    }
    reply.send = true;
    reply.endpoint = b.mode == Behaviour::OTHER_PORT ? otherEndpoint : endpoint;
    reply.delay = TIVRA::Clock((b.delayUs < kMaxDelayUs ? b.delayUs : kMaxDelayUs) * TIVRA::Clock::US);
    if (b.before != Behaviour::NOTHING) {
        reply.datagrams.push_back(spoil(bytes, b.before));
    }
    reply.datagrams.push_back(std::move(bytes));
    return reply;
}

void TargetEmulator::Impl::handle(size_t endpoint)
{
    const QUORVIN::Receive& rx = endpoints[endpoint]->bytes;
    const TIVRA::IPAddress from = endpoints[endpoint]->from;
    Request request;
    request.sink = endpoints[endpoint]->sink;
    request.time = TIVRA::Clock::now();
    request.source = from;
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

    Reply reply;
    std::function<void(const Request&)> notify;
    {
        std::lock_guard<std::mutex> lock(mutex);
        SinkSlot& slot = sinks[request.sink];
        if (slot.repeat != 0 && slot.lastSource == from && slot.lastDatagram == request.datagram) {
            ++slot.repeat;
        } else {
            slot.repeat = 1;
            slot.lastSource = from;
            slot.lastDatagram = request.datagram;
        }
        request.repeat = slot.repeat;
        request.order = ++order;
        reply = decide(slot, request, endpoint);
        slot.records.push_back(request);
        if (recordLimit != 0 && slot.records.size() > recordLimit) {
            slot.records.erase(slot.records.begin());
        }
        notify = listener;
    }
    changed.notify_all();
    if (notify) {
        notify(request);
    }
    if (!reply.send) {
        return;
    }
    if (reply.delay.picoseconds == 0) {
        for (const TIVRA::Buffer& bytes : reply.datagrams) {
            send(reply.endpoint, from, bytes);
        }
        return;
    }
    for (TIVRA::Buffer& bytes : reply.datagrams) {
        queue(Outgoing{request.time + reply.delay, reply.endpoint, from, std::move(bytes)});
    }
}

void TargetEmulator::Impl::send(size_t endpoint, const TIVRA::IPAddress& to, const TIVRA::Buffer& bytes)
{
    // A reply that cannot be sent is lost, as on a real link.
    endpoints[endpoint]->socket.sendToV6(bytes, to, true);
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
    std::lock_guard<std::mutex> life(impl->lifecycle);
    if (impl->thread.joinable() || config.sinks.empty()) {
        return false;
    }
    std::vector<TIVRA::IPAddress> addresses;
    if (!impl->openSockets(config, addresses)) {
        impl->closeSockets();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->sinks.clear();
        for (size_t i = 0; i < config.sinks.size(); ++i) {
            SinkSlot slot;
            slot.config = config.sinks[i];
            slot.config.port = addresses[i].getPort();
            slot.state = initialState(config.sinks[i]);
            slot.address = addresses[i];
            impl->sinks.push_back(std::move(slot));
        }
        impl->otherPort = addresses.back();
        impl->recordLimit = config.recordLimit;
        impl->order = 0;
        impl->running = true;
    }
    impl->thread = std::thread(&Impl::run, impl.get());
    return true;
}

void TargetEmulator::stop()
{
    std::lock_guard<std::mutex> life(impl->lifecycle);
    if (!impl->thread.joinable()) {
        return;
    }
    const uint64_t one = 1;
    while (::write(impl->wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
    impl->thread.join();
    impl->closeSockets();
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->running = false;
}

bool TargetEmulator::running() const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->running;
}

size_t TargetEmulator::sinkCount() const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->sinks.size();
}

TIVRA::IPAddress TargetEmulator::sinkAddress(size_t sink) const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].address : TIVRA::IPAddress{};
}

TIVRA::IPAddress TargetEmulator::otherPortAddress() const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->otherPort;
}

void TargetEmulator::setBehaviour(size_t sink, QUORVIN::MessageID request, const Behaviour& behaviour)
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].config.behaviours[request] = behaviour;
    }
}

void TargetEmulator::clearBehaviours(size_t sink)
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].config.behaviours.clear();
    }
}

Behaviour TargetEmulator::behaviour(size_t sink, QUORVIN::MessageID request) const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
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
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        SinkConfig& current = impl->sinks[sink].config;
        const uint16_t port = current.port;
        auto behaviours = std::move(current.behaviours);
        current = config;
        current.port = port;
        current.behaviours = std::move(behaviours);
    }
}

SinkConfig TargetEmulator::sinkConfig(size_t sink) const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].config : SinkConfig{};
}

SinkState TargetEmulator::state(size_t sink) const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].state : SinkState{};
}

std::vector<Request> TargetEmulator::requests(size_t sink) const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return sink < impl->sinks.size() ? impl->sinks[sink].records : std::vector<Request>{};
}

void TargetEmulator::clearRequests()
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    for (SinkSlot& slot : impl->sinks) {
        slot.records.clear();
    }
}

void TargetEmulator::clearRequests(size_t sink)
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    if (sink < impl->sinks.size()) {
        impl->sinks[sink].records.clear();
    }
}

bool TargetEmulator::waitForRequests(size_t sink, const std::function<bool(const std::vector<Request>&)>& until,
                                     std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl->mutex);
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
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->listener = std::move(listener);
}

}  // namespace testbed
