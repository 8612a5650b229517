// One BSD socket descriptor with the library's fixed options. The system
// uses UDP over IPv6 only; the other families are part of the interface.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace TIVRA {

class Socket {
public:
    enum Type : int32_t {
        TCP_V4 = 0,
        UDP_V4 = 1,
        TCP_V6 = 2,
        UDP_V6 = 3,
        TCP_DUAL = 4,
        UDP_DUAL = 5,
    };

    enum WaitResult : int32_t {
        WaitError = 0,
        WaitTimeout = 1,
        WaitReady = 2,
    };

    struct Interfase {
        std::string ifName;
    };
    using InterfaseMap = std::map<IPAddress, Interfase>;

    class Waiter;

    Socket();
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool open(Type type);
    // The descriptor is an atomic value: a wait on a closed socket sleeps its
    // time-out and reports ready, and the receive that follows fails.
    void close();
    // close() for a socket another thread may be using: the socket reads as
    // closed at once and blocked calls are woken, but the descriptor itself
    // is released only by the next close() or open() (after the other
    // thread is joined), so its number cannot be reused under that thread.
    void interrupt();
    bool is_open() const { return fd.load(std::memory_order_acquire) != -1; }
    int getDescriptor() const { return fd.load(std::memory_order_acquire); }
    bool shutdown();
    bool setBlocking(bool on);
    bool getBlocking() const { return blocking.load(std::memory_order_relaxed); }
    int getLastError() const { return lastError.load(std::memory_order_relaxed); }
    Type getType() const { return socketType; }
    uint32_t getIfOverride() const { return ifOverride; }

    // IPv6
    bool bindV6(IPAddress& local, unsigned backlog = 1000);
    void setToV6(const IPAddress& to);
    void getToV6(IPAddress& out) const;
    bool setInterface(uint32_t index);
    bool memberV6(const IPAddress& group);
    bool connectV6(const IPAddress& to);
    bool acceptV6(Socket& out, IPAddress& peer);
    WaitResult acceptV6(Socket& out, IPAddress& peer, Clock timeout);

    // Sends one datagram. With wait, a send that would block is repeated in
    // blocking mode and the socket is put back to non-blocking afterwards.
    bool sendToV6(BufferCS_const data, const IPAddress& to, bool wait);
    bool sendToV6(BufferCS_const data, bool wait);
    bool send(BufferCS_const data);
    bool sendNoBlock(BufferCS_const data, size_t offset, size_t& sent);

    // Nothing waiting is not a failure: true with an empty result.
    bool receiveFromV6(Buffer& into, IPAddress& from);
    bool receiveFromV6(BufferCS into, size_t& got, IPAddress& from);
    bool receive(Buffer& into);
    bool receive(BufferCS into, size_t& got);

    WaitResult wait(Clock timeout);
    WaitResult wait() { return wait(Clock(0)); }

    static bool getMyAddresV6(InterfaseMap& map);
    static bool getMyLocalAddresV6(InterfaseMap& map, bool withLoopback);
    static bool getMyAddresV4(InterfaseMap& map);

    // IPv4
    bool bindV4(IPAddress local);
    bool connectV4(const IPAddress& to);
    bool memberV4(const IPAddress& group, const IPAddress& interfaceAddress);
    bool memberV4(const IPAddress& group);
    bool sendToV4(BufferCS_const data, const IPAddress& to, const IPAddress& interfaceAddress, bool wait);
    bool sendToV4(BufferCS_const data, const IPAddress& to, bool wait);
    bool receiveFromV4(Buffer& into, IPAddress& from);
    bool receiveFromV4(BufferCS into, size_t& got, IPAddress& from);

    // Size of the buffer the Buffer-filling receives use; owners may set it.
    size_t recvSize = 1500;

private:
    bool isStream() const;
    void fillV6(sockaddr_in6& sa, const IPAddress& to) const;
    bool sendLoop(int d, BufferCS_const data, const void* sa, unsigned saLen, bool wait);

    std::atomic<int> fd{-1};
    std::atomic<int> retiredFd{-1};  // interrupted, not yet released
    sockaddr_in6 toAddr{};
    Type socketType = TCP_V4;
    std::atomic<bool> blocking{true};
    std::atomic<int> lastError{0};
    uint32_t ifOverride = 0;
};

// The system's datagram socket: a Socket opened as UDP_V6.
using UDPV6 = Socket;

// Waits for readability on several sockets at once.
class Socket::Waiter {
public:
    struct fbsType {
        uint64_t bits[16];
    };

    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Closed sockets and descriptors of 1024 or more are not registered.
    void set(Socket& socket);
    void clear(Socket& socket);
    void clear();
    bool empty() const { return sockets.empty(); }
    WaitResult wait(Clock timeout);
    bool check(Socket& socket) const;

    static fbsType* fbsNew();
    static void fbsDelere(fbsType* set);
    static bool fbsCheck(fbsType* set, Socket& socket);
    static int32_t fbsSetup(fbsType* set, const std::set<unsigned long>& descriptors, unsigned long largest);
    static WaitResult fbsSelect(fbsType* readSet, fbsType* writeSet, unsigned long largest, Clock timeout);

private:
    fbsType* fbs;
    std::set<unsigned long> sockets;
};

}  // namespace TIVRA
