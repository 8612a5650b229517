// link-emulator: the link between two interfaces of one namespace. Every
// Ethernet frame that arrives on one is sent out of the other, through the
// rules of its direction.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "LinkRules.h"
#include "testbed/StandinPriority.h"

namespace {

using linkemu::Clock;
using linkemu::Direction;

void usage()
{
    std::cerr << "usage: link-emulator --a IF --b IF [--seed N] [--stats FILE] [--only-udp] [RULE...]\n"
                 "  RULE: [ab:|ba:]loss=PCT | burst=N@PCT | reorder=PCT[@MS] | duplicate=PCT | delay=MS[+-MS]\n";
}

int openLink(const std::string& name)
{
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) {
        std::cerr << "link-emulator: no interface " << name << "\n";
        return -1;
    }
    const int s = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (s < 0) {
        std::cerr << "link-emulator: packet socket: " << std::strerror(errno) << "\n";
        return -1;
    }
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(index);
    // Frames we send come back to a socket on the same interface as
    // outgoing: they must not be forwarded again.
    const int one = 1;
    packet_mreq promisc{};
    promisc.mr_ifindex = static_cast<int>(index);
    promisc.mr_type = PACKET_MR_PROMISC;
    // Room for bursts while delayed frames wait (root may exceed the limit).
    const int room = 8 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room));
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0
        || setsockopt(s, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one)) != 0
        || setsockopt(s, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &promisc, sizeof(promisc)) != 0) {
        std::cerr << "link-emulator: " << name << ": " << std::strerror(errno) << "\n";
        ::close(s);
        return -1;
    }
    return s;
}

bool isUdp(const linkemu::Frame& f)
{
    if (f.size() < 14) {
        return false;
    }
    const unsigned type = (f[12] << 8) | f[13];
    if (type == ETHERTYPE_IPV6) {
        return f.size() > 14 + 6 && f[14 + 6] == IPPROTO_UDP;
    }
    if (type == ETHERTYPE_IP) {
        return f.size() > 14 + 9 && f[14 + 9] == IPPROTO_UDP;
    }
    return false;
}

std::string statsText(const Direction& ab, const Direction& ba)
{
    return "ab " + linkemu::formatCounters(ab.counters()) + "\nba " + linkemu::formatCounters(ba.counters()) + "\n";
}

// Replaced whole, so a reader never sees half of it.
void writeStats(const std::string& path, const std::string& text)
{
    if (path.empty()) {
        return;
    }
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
    }
    std::rename(temporary.c_str(), path.c_str());
}

// Reads what waits on from and hands it to its direction.
void receive(int from, Direction& d, bool onlyUdp)
{
    static uint8_t buffer[65536];
    for (;;) {
        sockaddr_ll source{};
        socklen_t length = sizeof(source);
        const ssize_t got = ::recvfrom(from, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&source), &length);
        if (got < 0) {
            // ENETDOWN and the like pass with the interface's state.
            return;
        }
        if (source.sll_pkttype == PACKET_OUTGOING) {
            continue;
        }
        linkemu::Frame frame(buffer, buffer + got);
        const bool impaired = !onlyUdp || isUdp(frame);
        d.arrive(std::move(frame), Clock::now(), impaired);
    }
}

void transmit(int to, Direction& d)
{
    for (const linkemu::Frame& f : d.take(Clock::now())) {
        if (::send(to, f.data(), f.size(), 0) < 0) {
            d.sendFailed();
        }
    }
}

// A veth hands a frame to the backlog of the CPU that sent it. Frames
// sent in order from two CPUs can leave in the other order when one
// backlog waits for its softirq thread, so a link that keeps order sends
// from one CPU only.
void stayOnOneCpu()
{
    const int cpu = sched_getcpu();
    if (cpu < 0) {
        return;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof(one), &one) != 0) {
        std::cerr << "link-emulator: cannot stay on cpu " << cpu << ": " << std::strerror(errno) << "\n";
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string a;
    std::string b;
    std::string statsPath;
    uint64_t seed = 1;
    bool onlyUdp = false;
    linkemu::LinkRules rules;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--a" && hasValue) {
            a = argv[++i];
        } else if (arg == "--b" && hasValue) {
            b = argv[++i];
        } else if (arg == "--seed" && hasValue) {
            seed = std::strtoull(argv[++i], nullptr, 0);
        } else if (arg == "--stats" && hasValue) {
            statsPath = argv[++i];
        } else if (arg == "--only-udp") {
            onlyUdp = true;
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (const std::string error = linkemu::applyRule(rules, arg); !error.empty()) {
            std::cerr << "link-emulator: " << error << "\n";
            usage();
            return 2;
        }
    }
    if (a.empty() || b.empty()) {
        usage();
        return 2;
    }

    stayOnOneCpu();
    // A wire waits for no processor: on a busy machine a forwarder of normal
    // priority queues whole bursts, which no link does.
    if (!testbed::becomeStandinRealtime()) {
        std::cerr << "link-emulator: no real-time priority; forwarding at normal priority\n";
    }
    sigset_t signals;
    sigemptyset(&signals);
    for (const int s : {SIGTERM, SIGINT, SIGUSR1}) {
        sigaddset(&signals, s);
    }
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int sigFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    const int fdA = openLink(a);
    const int fdB = openLink(b);
    if (sigFd < 0 || fdA < 0 || fdB < 0) {
        return 1;
    }
    // Each direction draws from its own stream of the seed.
    Direction ab(rules.ab, seed);
    Direction ba(rules.ba, seed ^ 0xA5A5A5A5A5A5A5A5ull);
    // The stats file appearing tells that both interfaces are being listened to.
    writeStats(statsPath, statsText(ab, ba));

    for (;;) {
        pollfd fds[3] = {{fdA, POLLIN, 0}, {fdB, POLLIN, 0}, {sigFd, POLLIN, 0}};
        timespec wait{};
        timespec* timeout = nullptr;
        std::optional<Clock::time_point> due = ab.nextDue();
        if (const auto other = ba.nextDue(); other && (!due || *other < *due)) {
            due = other;
        }
        if (due) {
            const auto left = std::max<Clock::duration>(Clock::duration::zero(), *due - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait.tv_sec = ns / 1000000000;
            wait.tv_nsec = ns % 1000000000;
            timeout = &wait;
        }
        if (ppoll(fds, 3, timeout, nullptr) < 0 && errno != EINTR) {
            std::cerr << "link-emulator: poll: " << std::strerror(errno) << "\n";
            return 1;
        }
        if (fds[0].revents != 0) {
            receive(fdA, ab, onlyUdp);
        }
        if (fds[1].revents != 0) {
            receive(fdB, ba, onlyUdp);
        }
        transmit(fdB, ab);
        transmit(fdA, ba);
        if (fds[2].revents != 0) {
            signalfd_siginfo info{};
            bool stop = false;
            while (::read(sigFd, &info, sizeof(info)) == sizeof(info)) {
                stop = stop || info.ssi_signo != SIGUSR1;
            }
            const std::string text = statsText(ab, ba);
            writeStats(statsPath, text);
            std::cout << text << std::flush;
            if (stop) {
                return 0;
            }
        }
    }
}
