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

// The same prefix as NetNamespaces, so that either fixture removes what a
// killed test program of the other left behind.
constexpr const char* kPrefix = "tivra-";
constexpr const char* kRunDir = "/run/netns/";

pid_t spawnQuiet(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string joined(const std::vector<std::string>& argv)
{
    std::string text;
    for (const std::string& a : argv) {
        text += (text.empty() ? "" : " ") + a;
    }
    return text;
}

void removeOrphans()
{
    DIR* dir = opendir(kRunDir);
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> orphans;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(kPrefix, 0) != 0) {
            continue;
        }
        const long pid = std::strtol(name.c_str() + std::strlen(kPrefix), nullptr, 10);
        if (pid > 0 && pid != getpid() && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            orphans.push_back(name);
        }
    }
    closedir(dir);
    for (const std::string& name : orphans) {
        runProgram({"ip", "netns", "del", name});
    }
}

// The forwarder sends the captured bytes as they are: an end veth that left
// the UDP checksum to offload would hand over datagrams the far end drops.
bool transmitChecksumOff(const char* link)
{
    const int s = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    ethtool_value value{};
    value.cmd = ETHTOOL_STXCSUM;
    value.data = 0;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, link, IFNAMSIZ - 1);
    ifr.ifr_data = reinterpret_cast<char*>(&value);
    const bool ok = ioctl(s, SIOCETHTOOL, &ifr) == 0;
    ::close(s);
    return ok;
}

TIVRA::IPAddress linkLocal(unsigned last, uint32_t scope)
{
    TIVRA::IPAddress a;
    a.addr[0] = 0xFE;
    a.addr[1] = 0x80;
    a.addr[14] = static_cast<uint8_t>(last >> 8);
    a.addr[15] = static_cast<uint8_t>(last);
    a.ifindex = scope;
    return a;
}

std::string linkLocalText(unsigned last)
{
    char text[32];
    std::snprintf(text, sizeof(text), "fe80::%x/64", last);
    return text;
}

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
    const std::string path = kRunDir + ns;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << std::strerror(errno);
        return false;
    }
    const bool entered = setns(fd, CLONE_NEWNET) == 0;
    if (!entered) {
        ADD_FAILURE() << "setns " << path << ": " << std::strerror(errno);
    }
    ::close(fd);
    return entered;
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
    std::vector<std::string> full{"ip", "netns", "exec", name(side)};
    full.insert(full.end(), argv.begin(), argv.end());
    return Program(spawnQuiet(full));
}

int LinkNamespaces::run(Side side, const std::vector<std::string>& argv, std::string* output) const
{
    std::vector<std::string> full{"ip", "netns", "exec", name(side)};
    full.insert(full.end(), argv.begin(), argv.end());
    return runProgram(full, output);
}

}  // namespace testnet
