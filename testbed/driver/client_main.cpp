// driver-client: sends the driver's requests in the order its words say, as
// the daemon would, and prints one line per step ("<step> <result>"). Meant
// to run under driver-standin.
//
//   open | init | create BYTES | map | unmap | attach | wakeup | notify
//   remove [N] | card N | status HEX | readpos N | poke OFFSET VALUE
//   wait-word OFFSET VALUE | ioctl REQ ARG | cardioctl REQ ARG | other
//   catch SIGNAL | wait-signal | pid | exit STATUS
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>

#include "bridge/BridgeIoctl.h"
#include "bridge/BridgeMemHeader.h"

namespace {

volatile sig_atomic_t caught = 0;

void onSignal(int)
{
    caught = caught + 1;
}

unsigned long number(const char* text)
{
    return std::strtoul(text, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int control = -1;
    int cardFd = -1;
    int card = 0;
    unsigned char* map = nullptr;
    size_t mapSize = 0;
    sig_atomic_t reported = 0;
    // wait-signal returns for a signal that came since the last one returned,
    // also one that came before it started.
    sig_atomic_t waited = 0;

    auto header = [&]() -> QUORVIN::BridgeMemHeader* {
        return map ? reinterpret_cast<QUORVIN::BridgeMemHeader*>(map + mapSize - QUORVIN::BRIDGE_HEADER_SIZE)
                   : nullptr;
    };
    auto word = [&](unsigned long offset) -> uint32_t* {
        if (!map || offset % 4 != 0 || offset + 4 > mapSize) {
            return nullptr;
        }
        return reinterpret_cast<uint32_t*>(map + offset);
    };
    auto print = [](const char* step, long value) { std::printf("%s %ld\n", step, value); };

    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        auto arg = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "driver-client: %s needs a value\n", step.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (step == "open") {
            control = open(QUORVIN::BRIDGE_CONTROL_NODE, O_RDWR | O_CLOEXEC);
            print("open", control < 0 ? -1 : 0);
        } else if (step == "init") {
            print("init", ioctl(control, QUORVIN::QUORVIN_BR_INIT, 0UL));
        } else if (step == "create") {
            const long r = ioctl(control, QUORVIN::QUORVIN_BR_CREATE, number(arg()));
            card = static_cast<int>(r);
            print("create", r);
        } else if (step == "card") {
            card = static_cast<int>(number(arg()));
        } else if (step == "map") {
            const std::string node = QUORVIN::bridgeCardNode(card);
            cardFd = open(node.c_str(), O_RDWR | O_CLOEXEC);
            struct stat st {};
            if (cardFd < 0 || fstat(cardFd, &st) != 0) {
                print("map", -1);
                continue;
            }
            mapSize = static_cast<size_t>(st.st_size);
            void* m = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, cardFd, 0);
            map = m == MAP_FAILED ? nullptr : static_cast<unsigned char*>(m);
            std::printf("map %d %zu\n", map ? card : -1, map ? mapSize : 0);
        } else if (step == "unmap") {
            if (map) {
                munmap(map, mapSize);
                map = nullptr;
            }
            if (cardFd >= 0) {
                close(cardFd);
                cardFd = -1;
            }
            print("unmap", 0);
        } else if (step == "attach" || step == "wakeup" || step == "notify") {
            const unsigned long a = step == "attach"   ? QUORVIN::QUORVIN_BR_ATTACH_ARG
                                    : step == "wakeup" ? QUORVIN::QUORVIN_BR_WAKEUP_ARG
                                                       : QUORVIN::QUORVIN_BR_NOTIFY_ARG;
            print(step.c_str(), ioctl(cardFd, QUORVIN::bridgeRequest(card), a));
        } else if (step == "remove") {
            const int n = i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0]))
                              ? static_cast<int>(number(arg()))
                              : card;
            print("remove", ioctl(control, QUORVIN::bridgeRequest(n), QUORVIN::QUORVIN_BR_REMOVE_ARG));
        } else if (step == "status" || step == "readpos") {
            const uint32_t v = static_cast<uint32_t>(number(arg()));
            auto* h = header();
            if (h) {
                QUORVIN::storeField(step == "status" ? h->hostStatus : h->hostReadPos, v);
            }
            print(step.c_str(), h ? 0 : -1);
        } else if (step == "poke") {
            uint32_t* w = word(number(arg()));
            const uint32_t v = static_cast<uint32_t>(number(arg()));
            if (w) {
                std::atomic_ref<uint32_t>(*w).store(v);
            }
            print("poke", w ? 0 : -1);
        } else if (step == "wait-word") {
            uint32_t* w = word(number(arg()));
            const uint32_t v = static_cast<uint32_t>(number(arg()));
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            bool seen = false;
            while (w && !(seen = std::atomic_ref<uint32_t>(*w).load() == v) && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            print("wait-word", seen ? 0 : -1);
        } else if (step == "ioctl" || step == "cardioctl") {
            const unsigned long request = number(arg());
            const unsigned long a = number(arg());
            print(step.c_str(), ioctl(step == "ioctl" ? control : cardFd, request, a));
        } else if (step == "other") {
            // A driver request number on another file goes to that file's driver.
            const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
            const long r = ioctl(null, QUORVIN::QUORVIN_BR_CREATE, 4096UL);
            const int e = errno;
            close(null);
            std::printf("other %ld %s\n", r, r < 0 && e == ENOTTY ? "ENOTTY" : "?");
        } else if (step == "catch") {
            struct sigaction sa {};
            sa.sa_handler = onSignal;
            sa.sa_flags = SA_RESTART;
            sigemptyset(&sa.sa_mask);
            sigaction(static_cast<int>(number(arg())), &sa, nullptr);
        } else if (step == "wait-signal") {
            // Blocked between the test and the wait, so none slips in there.
            sigset_t all, old;
            sigfillset(&all);
            sigprocmask(SIG_BLOCK, &all, &old);
            sigset_t open = old;
            for (int s : {SIGINT, SIGHUP, SIGTERM, SIGUSR1, SIGUSR2}) {
                sigdelset(&open, s);
            }
            while (caught == waited) {
                sigsuspend(&open);
            }
            waited = caught;
            sigprocmask(SIG_SETMASK, &old, nullptr);
        } else if (step == "pid") {
            print("pid", getpid());
        } else if (step == "exit") {
            std::exit(static_cast<int>(number(arg())));
        } else {
            std::fprintf(stderr, "driver-client: unknown step %s\n", step.c_str());
            return 2;
        }
        if (caught != reported) {
            reported = caught;
            print("signals", reported);
        }
    }
    return 0;
}
