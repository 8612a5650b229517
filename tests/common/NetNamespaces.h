// Two network namespaces of a test's own, "host" and "target", joined by one
// veth pair with static link-local addresses, so that tests can use the
// multicast search, fixed ports and link failures without touching the
// machine's network or each other (names carry the pid and a counter).
// Everything is removed by the destructor, however the test ends; a process
// killed before that leaves its namespaces behind, and the next fixture of
// any test program removes those of dead processes.
//
// The network namespace belongs to a thread: inHost / inTarget run a function
// on a fresh thread that has entered the namespace. Sockets stay in the
// namespace they were made in, and threads started from inside inherit it,
// so an object opened there may be used from any thread afterwards (but a
// lookup of interface names or addresses must run inside).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "foundation/IPAddress.h"

namespace testnet {

// Runs a program (no shell) and waits for it; its exit status, or -1 when it
// could not be started or did not exit normally. Output and errors go to
// *output when given.
int runProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

// A program started in a namespace; stopped (SIGTERM, then SIGKILL) and
// reaped when it goes.
class Program {
public:
    Program() = default;
    explicit Program(pid_t pid) : child(pid) {}
    ~Program() { stop(); }
    Program(Program&& other) noexcept : child(other.child) { other.child = -1; }
    Program& operator=(Program&& other) noexcept;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool started() const { return child > 0; }
    pid_t pid() const { return child; }
    // Its exit status once it has ended within the time, else nothing.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    void stop();

private:
    pid_t child = -1;
    std::optional<int> status;
};

// What both namespace fixtures are made of.
namespace tools {
// Namespaces of this project's fixtures: the prefix, then the creating pid.
inline constexpr const char* kPrefix = "tivra-";
inline constexpr const char* kRunDir = "/run/netns/";
// Starts a program (no shell), its output to outFd or to /dev/null (-1).
pid_t spawn(const std::vector<std::string>& argv, int outFd);
std::string joined(const std::vector<std::string>& argv);
// Namespaces named by a process that is gone: it was killed before its
// fixture could remove them.
void removeOrphans();
// Transmit checksum offload off: a veth end otherwise hands its peer UDP
// datagrams whose checksum field holds only the pseudo-header sum, which a
// socket accepts but a program that forwards the captured bytes does not.
bool transmitChecksumOff(const char* link);
// fe80::last, with its scope.
TIVRA::IPAddress linkLocal(unsigned last, uint32_t scope);
std::string linkLocalText(unsigned last);  // "fe80::last/64"
// Moves the calling thread into the named namespace; a test failure if not.
bool enterNamespace(const std::string& ns);
Program startIn(const std::string& ns, const std::vector<std::string>& argv);
int runIn(const std::string& ns, const std::vector<std::string>& argv, std::string* output);
}  // namespace tools

class NetNamespaces {
public:
    enum Side { Host, Target };

    // Interface names are the same in every fixture: each namespace has its own.
    static constexpr const char* kHostLink = "qhost0";
    static constexpr const char* kTargetLink = "qtarget0";

    // Builds both namespaces; ok() tells whether it worked, error() why not.
    NetNamespaces();
    ~NetNamespaces();
    NetNamespaces(const NetNamespaces&) = delete;
    NetNamespaces& operator=(const NetNamespaces&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& name(Side side) const { return side == Host ? hostNs : targetNs; }
    // Interface index of the veth end in its own namespace.
    uint32_t linkIndex(Side side) const { return side == Host ? hostIndex : targetIndex; }

    // fe80::1 on the host end, with the host end's index as scope.
    TIVRA::IPAddress hostAddress() const;
    // fe80::(2 + n) on the target end. Scope: the target end's index, as
    // targets inside see themselves; targetAddressFromHost gives the host's
    // view (the host end's index), which is how answers arrive at the host.
    TIVRA::IPAddress targetAddress(unsigned n = 0) const;
    TIVRA::IPAddress targetAddressFromHost(unsigned n = 0) const;
    // Adds fe80::(2 + n) to the target end (n = 0 is there from the start),
    // usable at once (no duplicate address detection).
    bool addTargetAddress(unsigned n);

    // Takes the host end down (the kernel drops its link-local address with
    // it): sends on it fail with ENETUNREACH or EADDRNOTAVAIL.
    bool linkDown();
    // Up again with its address, once both ends carry traffic.
    bool linkUp();

    // Runs f on a thread inside the namespace and returns its result (a
    // default value, with a test failure, when the namespace cannot be entered).
    template <typename F>
    auto in(Side side, F&& f) -> std::invoke_result_t<F&>
    {
        using R = std::invoke_result_t<F&>;
        const std::string ns = name(side);
        if constexpr (std::is_void_v<R>) {
            std::thread([&] {
                if (enter(ns)) {
                    f();
                }
            }).join();
        } else {
            std::optional<R> result;
            std::thread([&] {
                if (enter(ns)) {
                    result.emplace(f());
                }
            }).join();
            return result ? std::move(*result) : R{};
        }
    }
    template <typename F>
    auto inHost(F&& f)
    {
        return in(Host, std::forward<F>(f));
    }
    template <typename F>
    auto inTarget(F&& f)
    {
        return in(Target, std::forward<F>(f));
    }

    // Starts a program in the namespace (ip netns exec), or runs it there and
    // waits for its exit status.
    Program start(Side side, const std::vector<std::string>& argv) const;
    int run(Side side, const std::vector<std::string>& argv, std::string* output = nullptr) const;

private:
    // Moves the calling thread into the named namespace; a test failure if not.
    static bool enter(const std::string& ns);
    bool ip(Side side, const std::vector<std::string>& args);
    bool addAddress(Side side, unsigned last);
    bool setUp();
    bool waitUntilUp();

    std::string hostNs;
    std::string targetNs;
    uint32_t hostIndex = 0;
    uint32_t targetIndex = 0;
    std::string error_;
};

}  // namespace testnet
