// The host's side of a test against the emulator: one UDP socket on ::1
// that sends requests and collects whatever comes back, with its source.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "protocol/Message.h"

namespace testbed_test {

struct Datagram {
    QUORVIN::Receive bytes;
    TIVRA::IPAddress from;
};

class HostSocket {
public:
    HostSocket() : HostSocket(loopback()) {}
    // On ::1, or on a link-local address with its interface index.
    explicit HostSocket(TIVRA::IPAddress local)
    {
        socket.recvSize = 65536;
        const uint32_t scope = local.ifindex;
        // Without address reuse, so that the ephemeral port is ours alone:
        // with it the kernel may share one with a socket of another test.
        const int off = 0;
        opened = socket.open(TIVRA::Socket::UDP_V6)
                 && setsockopt(socket.getDescriptor(), SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off)) == 0
                 && socket.bindV6(local);
        address = local;
        address.ifindex = scope;
    }

    static TIVRA::IPAddress loopback()
    {
        TIVRA::IPAddress a;
        a.addr[15] = 1;
        return a;
    }

    bool ok() const { return opened; }
    const TIVRA::IPAddress& local() const { return address; }

    bool send(const TIVRA::IPAddress& to, const QUORVIN::Send& message)
    {
        return socket.sendToV6(static_cast<TIVRA::BufferCS_const>(message), to, true);
    }
    bool sendBytes(const TIVRA::IPAddress& to, const TIVRA::Buffer& bytes) { return socket.sendToV6(bytes, to, true); }

    // The next datagram, or nothing within the time-out.
    std::optional<Datagram> receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000))
    {
        if (socket.wait(TIVRA::Clock(static_cast<uint64_t>(timeout.count()) * TIVRA::Clock::MS))
            != TIVRA::Socket::WaitReady) {
            return std::nullopt;
        }
        Datagram d;
        if (!socket.receiveFromV6(d.bytes, d.from) || d.bytes.empty()) {
            return std::nullopt;
        }
        return d;
    }

    std::optional<Datagram> exchange(const TIVRA::IPAddress& to, const QUORVIN::Send& message)
    {
        if (!send(to, message)) {
            return std::nullopt;
        }
        return receive();
    }

    // Everything that came back for the requests sent so far to the target
    // of `fenceSink`: the emulator serves all its sockets on one thread in
    // arrival order, so once the answer to a fence request sent now is here,
    // every immediate answer to earlier requests is here too. The fence is a
    // path test of a size no test uses, recognised by its answer.
    std::vector<Datagram> untilFence(const TIVRA::IPAddress& fenceSink)
    {
        QUORVIN::SendBuffer fence;
        fence.set(QUORVIN::DATASIZE_REQ, 0);
        fence.resize(kFenceBytes);
        fence.fill(kFenceByte);
        fence.update();
        std::vector<Datagram> got;
        if (!send(fenceSink, fence)) {
            return got;
        }
        while (auto d = receive()) {
            if (d->bytes && d->bytes.getMessage() == QUORVIN::DATASIZE_ANS && d->bytes.getOption2() == kFenceBytes
                && d->bytes.getOption3() == kFenceBytes * kFenceByte && d->from == fenceSink) {
                fenced = true;
                return got;
            }
            got.push_back(std::move(*d));
        }
        fenced = false;
        return got;
    }

    // Whether the last untilFence saw its fence answer.
    bool fenced = false;

    static constexpr uint16_t kFenceBytes = 7;
    static constexpr uint8_t kFenceByte = 0xFE;

private:
    TIVRA::UDPV6 socket;
    TIVRA::IPAddress address;
    bool opened = false;
};

// The host's path test payload: byte i = (i + 122) AND 0xFF.
inline QUORVIN::SendBuffer pathTest(uint16_t bytes)
{
    QUORVIN::SendBuffer m;
    m.set(QUORVIN::DATASIZE_REQ, 0);
    m.resize(bytes);
    for (uint16_t i = 0; i < bytes; ++i) {
        m.get_data()[i] = static_cast<uint8_t>((i + 122) & 0xFF);
    }
    m.update();
    return m;
}

inline uint16_t pathSum(uint16_t bytes)
{
    uint16_t sum = 0;
    for (uint16_t i = 0; i < bytes; ++i) {
        sum = static_cast<uint16_t>(sum + ((i + 122) & 0xFF));
    }
    return sum;
}

}  // namespace testbed_test
