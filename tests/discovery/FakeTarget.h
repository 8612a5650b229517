// A scripted target on ::1 for the discovery exchanges: a discovery socket,
// one socket per sink port and an "other" socket (another port of the same
// host), served by threads that hand every request, one at a time, to the
// test's handler and send back what it returns. Requests are recorded.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Message.h"
#include "testbed/emulator/Answerers.h"

namespace fake {

inline TIVRA::IPAddress loopback(uint16_t port = 0)
{
    TIVRA::IPAddress a;
    a.addr[15] = 1;
    a.setPort(port);
    return a;
}

inline std::vector<uint8_t> bytesOf(TIVRA::BufferCS_const v)
{
    return std::vector<uint8_t>(v.viewData, v.viewData + v.viewSize);
}

// A well-formed datagram.
inline std::vector<uint8_t> message(QUORVIN::MessageID id, QUORVIN::StatusID status, uint16_t o0 = 0, uint16_t o1 = 0,
                                    uint16_t o2 = 0, uint16_t o3 = 0, const std::string& payload = {})
{
    QUORVIN::SendBuffer b;
    b.set(id, status, o0, o1, o2, o3);
    b.set_str(payload);
    b.update();
    return bytesOf(b);
}

inline std::vector<uint8_t> message64(QUORVIN::MessageID id, QUORVIN::StatusID status, uint64_t option,
                                      const std::string& payload = {})
{
    return message(id, status, static_cast<uint16_t>(option), static_cast<uint16_t>(option >> 16),
                   static_cast<uint16_t>(option >> 32), static_cast<uint16_t>(option >> 48), payload);
}

struct Reply {
    std::vector<uint8_t> bytes;
    int from = -1;  // socket index; -1: the one the request came to
};

struct Seen {
    int socket = 0;  // 0 discovery, 1.. sink ports
    QUORVIN::Receive request;
    TIVRA::IPAddress from;
};

class Target {
public:
    using Handler = std::function<std::vector<Reply>(const Seen&)>;
    static constexpr int kOther = -2;

    // Discovery socket on ::1 at `port` (0: any), `sinks` sink sockets.
    explicit Target(size_t sinks = 0, uint16_t port = 0) : sockets(sinks + 2)
    {
        for (size_t i = 0; i < sockets.size(); ++i) {
            TIVRA::IPAddress a = loopback(i == 0 ? port : 0);
            ok = ok && sockets[i].open(TIVRA::Socket::UDP_V6) && sockets[i].bindV6(a);
            addresses.push_back(a);
        }
        for (const int cpu : testbed::answererCpus(3)) {
            threads.emplace_back([this, cpu] { run(cpu); });
        }
    }
    ~Target()
    {
        stop = true;
        for (std::thread& t : threads) {
            t.join();
        }
    }

    bool ok = true;
    TIVRA::IPAddress address() const { return plain(0); }
    TIVRA::IPAddress sinkAddress(size_t i) const { return plain(1 + i); }
    uint16_t sinkPort(size_t i) const { return sinkAddress(i).getPort(); }
    TIVRA::IPAddress otherAddress() const { return plain(sockets.size() - 1); }

    void setHandler(Handler h)
    {
        std::lock_guard<std::mutex> lock(mutex);
        handler = std::move(h);
    }
    std::vector<Seen> seen() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return record;
    }
    size_t count(QUORVIN::MessageID id) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const Seen& s : record) {
            n += s.request && s.request.getMessage() == id ? 1 : 0;
        }
        return n;
    }
    // Sends from socket `index` (kOther: the other socket) to `to`.
    bool send(int index, const std::vector<uint8_t>& bytes, const TIVRA::IPAddress& to)
    {
        const size_t i = index == kOther ? sockets.size() - 1 : static_cast<size_t>(index);
        return sockets[i].sendToV6(TIVRA::BufferCS_const{bytes.data(), bytes.size()}, to, true);
    }

private:
    TIVRA::IPAddress plain(size_t i) const
    {
        TIVRA::IPAddress a = addresses[i];
        a.ifindex = 0;
        return a;
    }

    // A real target answers from a processor of its own: in real-time
    // class, and with several threads waiting on processors of their own
    // (the first awake answers), it keeps answering within the budget while
    // parallel tests load the machine.
    void run(int cpu)
    {
        testbed::becomeAnswerer(cpu);
        std::vector<pollfd> fds;
        for (auto& s : sockets) {
            fds.push_back({s.getDescriptor(), POLLIN, 0});
        }
        while (!stop) {
            if (::poll(fds.data(), fds.size(), 20) <= 0) {
                continue;
            }
            std::lock_guard<std::mutex> hold(turn);
            for (size_t i = 0; i + 1 < fds.size(); ++i) {
                // Another thread may have taken what woke this one.
                if ((fds[i].revents & POLLIN) == 0 || sockets[i].wait(TIVRA::Clock(0)) != TIVRA::Socket::WaitReady) {
                    continue;
                }
                Seen s;
                s.socket = static_cast<int>(i);
                if (!sockets[i].receiveFromV6(s.request, s.from)) {
                    continue;
                }
                std::vector<Reply> replies;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    record.push_back(s);
                    if (handler) {
                        replies = handler(s);
                    }
                }
                for (const Reply& r : replies) {
                    send(r.from == -1 ? static_cast<int>(i) : r.from, r.bytes, s.from);
                    ++sent;
                }
            }
        }
    }

    std::vector<TIVRA::Socket> sockets;
    std::vector<TIVRA::IPAddress> addresses;
    mutable std::mutex mutex;
    Handler handler;
    std::vector<Seen> record;
    std::atomic<bool> stop{false};

public:
    std::atomic<size_t> sent{0};  // replies sent

private:
    std::mutex turn;  // the answering thread's
    std::vector<std::thread> threads;
};

}  // namespace fake
