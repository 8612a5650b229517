// Three network namespaces of a test's own: "host" and "target" as in
// NetNamespaces, and between them "link", where the link emulator forwards
// every frame between the host's veth pair and the target's, through the
// rules it was started with (loss, bursts, reordering, duplication, delay).
// Names carry the pid and a counter; the destructor stops the emulator and
// removes everything, however the test ends, and namespaces left by a killed
// process are removed by the next fixture.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "NetNamespaces.h"
#include "foundation/IPAddress.h"
#include "testbed/linkemu/LinkRules.h"

namespace testnet {

class LinkNamespaces {
public:
    enum Side { Host, Link, Target };

    static constexpr const char* kHostLink = "qhost0";
    static constexpr const char* kLinkHost = "qlinkh0";    // in the link namespace, the host's peer
    static constexpr const char* kLinkTarget = "qlinkt0";  // in the link namespace, the target's peer
    static constexpr const char* kTargetLink = "qtarget0";

    struct Options {
        // link-emulator rules, "[ab:|ba:]key=value"; ab is host to target.
        std::vector<std::string> rules;
        uint64_t seed = 1;
        // Rules apply to UDP frames only; neighbour discovery and the rest
        // pass untouched, so a test's datagrams alone draw from the seed.
        bool onlyUdp = false;
    };

    // What the emulator counted each way.
    struct Counters {
        linkemu::Counters toTarget;
        linkemu::Counters toHost;
    };

    explicit LinkNamespaces(const Options& options);
    LinkNamespaces() : LinkNamespaces(Options{}) {}
    ~LinkNamespaces();
    LinkNamespaces(const LinkNamespaces&) = delete;
    LinkNamespaces& operator=(const LinkNamespaces&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& name(Side side) const { return names[side]; }
    // Interface index of the end veth on the host or target side.
    uint32_t linkIndex(Side side) const { return side == Host ? hostIndex : targetIndex; }

    // As NetNamespaces: fe80::1 on the host end, fe80::(2 + n) on the target end.
    TIVRA::IPAddress hostAddress() const;
    TIVRA::IPAddress targetAddress(unsigned n = 0) const;
    TIVRA::IPAddress targetAddressFromHost(unsigned n = 0) const;
    bool addTargetAddress(unsigned n);
    // Each end knows the other's link address for good, so no datagram
    // waits on neighbour discovery: the kernel sends what it queued meanwhile
    // in a burst that a datagram sent at the same moment can overtake.
    bool knowNeighbours();

    // The host end down (its address goes with it) and up again.
    bool linkDown();
    bool linkUp();

    // The emulator's counters now (it is asked by SIGUSR1), or nothing.
    std::optional<Counters> counters();
    // Stops the emulator (SIGTERM) and returns its last counters, once it
    // exited with 0.
    std::optional<Counters> stopLink();

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

    Program start(Side side, const std::vector<std::string>& argv) const;
    int run(Side side, const std::vector<std::string>& argv, std::string* output = nullptr) const;

private:
    static bool enter(const std::string& ns);
    bool ip(Side side, const std::vector<std::string>& args);
    bool addAddress(Side side, unsigned last);
    bool setUp(const Options& options);
    bool waitUntilUp();
    std::optional<Counters> readStats(bool fresh);

    std::string names[3];
    std::string statsPath;
    Program emulator;
    uint32_t hostIndex = 0;
    uint32_t targetIndex = 0;
    std::string error_;
};

}  // namespace testnet
