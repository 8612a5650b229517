#include "LinkNamespaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>

extern char** environ;

namespace testnet {

namespace {

using namespace tools;

// The build puts the program at <build>/testbed/, test programs at <build>/tests/.
std::string emulatorPath()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return "link-emulator";
    }
    const std::string exe(self, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/')) + "/../testbed/link-emulator";
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

LinkNamespaces::LinkNamespaces(const Options& options)
{
    static std::atomic<unsigned> counter{0};
    const std::string base = kPrefix + std::to_string(getpid()) + "-L" + std::to_string(counter++);
    names[Host] = base + "-h";
    names[Link] = base + "-l";
    names[Target] = base + "-t";
    statsPath = "/tmp/" + base + ".stats";
    removeOrphans();
    if (!setUp(options) && error_.empty()) {
        error_ = "setting up the namespaces failed";
    }
}

LinkNamespaces::~LinkNamespaces()
{
    emulator.stop();
    for (const std::string& ns : names) {
        runProgram({"ip", "netns", "del", ns});
    }
    std::remove(statsPath.c_str());
    std::remove((statsPath + ".tmp").c_str());
}

bool LinkNamespaces::setUp(const Options& options)
{
    for (const std::string& ns : names) {
        // Two first "ip netns add" on a machine at once may trip each other.
        bool added = false;
        for (int attempt = 0; attempt < 5 && !added; ++attempt) {
            added = runProgram({"ip", "netns", "add", ns}) == 0;
        }
        if (!added) {
            error_ = "ip netns add " + ns + " failed";
            return false;
        }
    }
    if (!ip(Host, {"link", "add", kHostLink, "type", "veth", "peer", "name", kLinkHost, "netns", names[Link]})
        || !ip(Link, {"link", "add", kLinkTarget, "type", "veth", "peer", "name", kTargetLink, "netns", names[Target]})) {
        return false;
    }
    // Only the tests' own addresses, and none at all in the link namespace,
    // whose kernel must not talk on the link it carries.
    if (!ip(Host, {"link", "set", kHostLink, "addrgenmode", "none"})
        || !ip(Link, {"link", "set", kLinkHost, "addrgenmode", "none"})
        || !ip(Link, {"link", "set", kLinkTarget, "addrgenmode", "none"})
        || !ip(Target, {"link", "set", kTargetLink, "addrgenmode", "none"})) {
        return false;
    }
    const bool checksums = inHost([] { return transmitChecksumOff(kHostLink); })
        && inTarget([] { return transmitChecksumOff(kTargetLink); });
    if (!checksums) {
        error_ = "transmit checksum offload cannot be switched off";
        return false;
    }
    if (!addAddress(Host, 1) || !addAddress(Target, 2)) {
        return false;
    }
    for (const Side side : {Host, Link, Target}) {
        if (!ip(side, {"link", "set", "lo", "up"})) {
            return false;
        }
    }
    if (!ip(Link, {"link", "set", kLinkHost, "up"}) || !ip(Link, {"link", "set", kLinkTarget, "up"})
        || !ip(Host, {"link", "set", kHostLink, "up"}) || !ip(Target, {"link", "set", kTargetLink, "up"})) {
        return false;
    }

    std::remove(statsPath.c_str());
    std::vector<std::string> argv{emulatorPath(), "--a", kLinkHost, "--b", kLinkTarget,
                                  "--seed", std::to_string(options.seed), "--stats", statsPath};
    if (options.onlyUdp) {
        argv.push_back("--only-udp");
    }
    argv.insert(argv.end(), options.rules.begin(), options.rules.end());
    emulator = start(Link, argv);
    // The emulator writes its stats once it listens on both interfaces.
    const bool listening = waitUntil([&] { return access(statsPath.c_str(), F_OK) == 0 || emulator.wait(std::chrono::milliseconds(0)); },
                                     std::chrono::seconds(10));
    if (!listening || access(statsPath.c_str(), F_OK) != 0) {
        error_ = "the link emulator did not start: " + joined(argv);
        return false;
    }
    if (!waitUntilUp()) {
        return false;
    }
    hostIndex = inHost([] { return if_nametoindex(kHostLink); });
    targetIndex = inTarget([] { return if_nametoindex(kTargetLink); });
    if (hostIndex == 0 || targetIndex == 0) {
        error_ = "the veth ends have no index";
        return false;
    }
    return true;
}

// A veth end that was just set up drops what it is given until the kernel
// has taken note of the carrier (see NetNamespaces).
bool LinkNamespaces::waitUntilUp()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const std::pair<Side, const char*> links[] = {
        {Host, kHostLink}, {Link, kLinkHost}, {Link, kLinkTarget}, {Target, kTargetLink}};
    for (const auto& [side, link] : links) {
        const std::vector<std::string> argv{"ip", "-n", name(side), "-o", "link", "show", "dev", link};
        std::string output;
        while (runProgram(argv, &output) != 0 || output.find(" state UP ") == std::string::npos) {
            if (std::chrono::steady_clock::now() > end) {
                error_ = joined(argv) + " never shows state UP: " + output;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return true;
}

std::optional<LinkNamespaces::Counters> LinkNamespaces::readStats(bool fresh)
{
    if (fresh && !waitUntil([&] { return access(statsPath.c_str(), F_OK) == 0; }, std::chrono::seconds(10))) {
        return std::nullopt;
    }
    std::ifstream in(statsPath);
    std::string line;
    std::optional<linkemu::Counters> ab;
    std::optional<linkemu::Counters> ba;
    while (std::getline(in, line)) {
        if (line.rfind("ab ", 0) == 0) {
            ab = linkemu::parseCounters(line.substr(3));
        } else if (line.rfind("ba ", 0) == 0) {
            ba = linkemu::parseCounters(line.substr(3));
        }
    }
    if (!ab || !ba) {
        return std::nullopt;
    }
    return Counters{*ab, *ba};
}

std::optional<LinkNamespaces::Counters> LinkNamespaces::counters()
{
    if (!emulator.started() || emulator.wait(std::chrono::milliseconds(0))) {
        return std::nullopt;
    }
    std::remove(statsPath.c_str());
    kill(emulator.pid(), SIGUSR1);
    return readStats(true);
}

std::optional<LinkNamespaces::Counters> LinkNamespaces::stopLink()
{
    if (!emulator.started() || emulator.wait(std::chrono::milliseconds(0))) {
        return std::nullopt;
    }
    std::remove(statsPath.c_str());
    kill(emulator.pid(), SIGTERM);
    const std::optional<int> status = emulator.wait(std::chrono::seconds(10));
    if (!status || *status != 0) {
        return std::nullopt;
    }
    return readStats(false);
}

bool LinkNamespaces::enter(const std::string& ns)
{
    return tools::enterNamespace(ns);
}

bool LinkNamespaces::ip(Side side, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"ip", "-n", name(side)};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    if (runProgram(argv, &output) != 0) {
        error_ = joined(argv) + ": " + output;
        return false;
    }
    return true;
}

bool LinkNamespaces::addAddress(Side side, unsigned last)
{
    return ip(side, {"addr", "replace", linkLocalText(last), "dev", side == Host ? kHostLink : kTargetLink, "nodad"});
}

TIVRA::IPAddress LinkNamespaces::hostAddress() const
{
    return linkLocal(1, hostIndex);
}

TIVRA::IPAddress LinkNamespaces::targetAddress(unsigned n) const
{
    return linkLocal(2 + n, targetIndex);
}

TIVRA::IPAddress LinkNamespaces::targetAddressFromHost(unsigned n) const
{
    return linkLocal(2 + n, hostIndex);
}

bool LinkNamespaces::addTargetAddress(unsigned n)
{
    return addAddress(Target, 2 + n);
}

bool LinkNamespaces::knowNeighbours()
{
    auto linkAddress = [&](Side side, const char* link) {
        std::string output;
        if (runProgram({"ip", "-n", name(side), "-o", "link", "show", "dev", link}, &output) != 0) {
            return std::string{};
        }
        const size_t at = output.find("link/ether ");
        return at == std::string::npos ? std::string{} : output.substr(at + 11, 17);
    };
    const std::string hostMac = linkAddress(Host, kHostLink);
    const std::string targetMac = linkAddress(Target, kTargetLink);
    if (hostMac.size() != 17 || targetMac.size() != 17) {
        error_ = "the veth ends show no link address";
        return false;
    }
    auto address = [](unsigned last) {
        const std::string text = linkLocalText(last);
        return text.substr(0, text.find('/'));
    };
    return ip(Host, {"neigh", "replace", address(2), "lladdr", targetMac, "dev", kHostLink, "nud", "permanent"})
        && ip(Target, {"neigh", "replace", address(1), "lladdr", hostMac, "dev", kTargetLink, "nud", "permanent"});
}

bool LinkNamespaces::linkDown()
{
    return ip(Host, {"link", "set", kHostLink, "down"});
}

bool LinkNamespaces::linkUp()
{
    return ip(Host, {"link", "set", kHostLink, "up"}) && addAddress(Host, 1) && waitUntilUp();
}

Program LinkNamespaces::start(Side side, const std::vector<std::string>& argv) const
{
    return tools::startIn(name(side), argv);
}

int LinkNamespaces::run(Side side, const std::vector<std::string>& argv, std::string* output) const
{
    return tools::runIn(name(side), argv, output);
}

}  // namespace testnet
