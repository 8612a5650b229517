#include "NetNamespaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace testnet {

namespace tools {


pid_t spawn(const std::vector<std::string>& argv, int outFd)
{
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

namespace {

int exitStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string joined(const std::vector<std::string>& argv)
{
    std::string text;
    for (const std::string& a : argv) {
        text += (text.empty() ? "" : " ") + a;
    }
    return text;
}

// Namespaces named by a process that is gone: it was killed before its
// fixture could remove them.
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
        runProgram({"ip", "netns", "del", name});  // another fixture may be quicker
    }
}

// Transmit checksum offload off: a veth end otherwise hands its peer UDP
// datagrams whose checksum field holds only the pseudo-header sum, which a
// socket accepts but a program that forwards the captured bytes does not.
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

bool enterNamespace(const std::string& ns)
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

Program startIn(const std::string& ns, const std::vector<std::string>& argv)
{
    std::vector<std::string> full{"ip", "netns", "exec", ns};
    full.insert(full.end(), argv.begin(), argv.end());
    return Program(spawn(full, -1));
}

int runIn(const std::string& ns, const std::vector<std::string>& argv, std::string* output)
{
    std::vector<std::string> full{"ip", "netns", "exec", ns};
    full.insert(full.end(), argv.begin(), argv.end());
    return runProgram(full, output);
}

}  // namespace tools

using namespace tools;

int runProgram(const std::vector<std::string>& argv, std::string* output)
{
    int pipeFds[2] = {-1, -1};
    if (output != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = spawn(argv, pipeFds[1]);
    if (pipeFds[1] >= 0) {
        ::close(pipeFds[1]);
    }
    if (output != nullptr) {
        output->clear();
        char chunk[512];
        ssize_t got = 0;
        while (pid > 0 && (got = ::read(pipeFds[0], chunk, sizeof(chunk))) != 0) {
            if (got > 0) {
                output->append(chunk, static_cast<size_t>(got));
            } else if (errno != EINTR) {
                break;
            }
        }
        ::close(pipeFds[0]);
    }
    if (pid <= 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return exitStatus(status);
}

Program& Program::operator=(Program&& other) noexcept
{
    if (this != &other) {
        stop();
        child = other.child;
        status = other.status;
        other.child = -1;
    }
    return *this;
}

std::optional<int> Program::wait(std::chrono::milliseconds timeout)
{
    if (status || child <= 0) {
        return status;
    }
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(child, &raw, WNOHANG);
        if (done == child) {
            status = exitStatus(raw);
            return status;
        }
        if (done < 0 && errno != EINTR) {
            status = -1;
            return status;
        }
        if (std::chrono::steady_clock::now() > end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void Program::stop()
{
    if (child <= 0 || status) {
        return;
    }
    kill(child, SIGTERM);
    if (!wait(std::chrono::seconds(2))) {
        kill(child, SIGKILL);
        int raw = 0;
        waitpid(child, &raw, 0);
        status = -1;
    }
}

NetNamespaces::NetNamespaces()
{
    static std::atomic<unsigned> counter{0};
    const std::string base = kPrefix + std::to_string(getpid()) + "-" + std::to_string(counter++);
    hostNs = base + "-h";
    targetNs = base + "-t";
    removeOrphans();
    if (!setUp() && error_.empty()) {
        error_ = "setting up the namespaces failed";
    }
}

NetNamespaces::~NetNamespaces()
{
    // Deleting a namespace destroys its veth end, and with it the peer.
    runProgram({"ip", "netns", "del", hostNs});
    runProgram({"ip", "netns", "del", targetNs});
}

bool NetNamespaces::setUp()
{
    for (const std::string& ns : {hostNs, targetNs}) {
        // The first "ip netns add" on a machine makes /run/netns a mount
        // point; two doing that at once may trip each other: try again.
        bool added = false;
        for (int attempt = 0; attempt < 5 && !added; ++attempt) {
            added = runProgram({"ip", "netns", "add", ns}) == 0;
        }
        if (!added) {
            error_ = "ip netns add " + ns + " failed";
            return false;
        }
    }
    if (!ip(Host, {"link", "add", kHostLink, "type", "veth", "peer", "name", kTargetLink, "netns", targetNs})) {
        return false;
    }
    // No kernel-made link-local address: the tests' own are the only ones.
    if (!ip(Host, {"link", "set", kHostLink, "addrgenmode", "none"})
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
    if (!ip(Host, {"link", "set", "lo", "up"}) || !ip(Target, {"link", "set", "lo", "up"})
        || !ip(Host, {"link", "set", kHostLink, "up"}) || !ip(Target, {"link", "set", kTargetLink, "up"})) {
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

// A veth end that was just set up drops what it is given (its queue is not
// attached yet) until the kernel has taken note of the carrier, which it may
// put off for up to a second: the neighbour solicitation in front of the
// first datagram would be lost and resent a second later.
bool NetNamespaces::waitUntilUp()
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const Side side : {Host, Target}) {
        const std::vector<std::string> argv{"ip", "-n", name(side), "-o", "link", "show", "dev",
                                            side == Host ? kHostLink : kTargetLink};
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

bool NetNamespaces::enter(const std::string& ns)
{
    return enterNamespace(ns);
}

bool NetNamespaces::ip(Side side, const std::vector<std::string>& args)
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

bool NetNamespaces::addAddress(Side side, unsigned last)
{
    return ip(side, {"addr", "replace", linkLocalText(last), "dev", side == Host ? kHostLink : kTargetLink, "nodad"});
}

TIVRA::IPAddress NetNamespaces::hostAddress() const
{
    return linkLocal(1, hostIndex);
}

TIVRA::IPAddress NetNamespaces::targetAddress(unsigned n) const
{
    return linkLocal(2 + n, targetIndex);
}

TIVRA::IPAddress NetNamespaces::targetAddressFromHost(unsigned n) const
{
    return linkLocal(2 + n, hostIndex);
}

bool NetNamespaces::addTargetAddress(unsigned n)
{
    return addAddress(Target, 2 + n);
}

bool NetNamespaces::linkDown()
{
    return ip(Host, {"link", "set", kHostLink, "down"});
}

bool NetNamespaces::linkUp()
{
    return ip(Host, {"link", "set", kHostLink, "up"}) && addAddress(Host, 1) && waitUntilUp();
}

Program NetNamespaces::start(Side side, const std::vector<std::string>& argv) const
{
    return startIn(name(side), argv);
}

int NetNamespaces::run(Side side, const std::vector<std::string>& argv, std::string* output) const
{
    return runIn(name(side), argv, output);
}

}  // namespace testnet
