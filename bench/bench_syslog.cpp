// Cost of a log statement, filtered and emitted, and of the clock reads that
// sit beside log statements in the stream worker's loop.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "foundation/Clock.h"
#include "foundation/SysLog.h"

namespace {

// The syslog receiver: a datagram socket on an ephemeral port of ::1 with a
// large queue, drained between batches so that no datagram is refused.
class Receiver {
public:
    Receiver()
    {
        fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int big = 32 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big)) != 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
        }
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_loopback;
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        socklen_t len = sizeof(sa);
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin6_port);
    }
    ~Receiver() { ::close(fd); }

    long drain()
    {
        char buf[4096];
        long n = 0;
        while (recv(fd, buf, sizeof(buf), 0) >= 0) {
            ++n;
        }
        return n;
    }

    int fd = -1;
    unsigned short port = 0;
};

void noPrint(const char*) {}

void BM_FilteredStatement(benchmark::State& state)
{
    TIVRA::quorvin_log = TIVRA::SYSLOG_INFO;
    int value = 42;
    const std::string someString = "text";
    for (auto _ : state) {
        // Makes every pass load the threshold again, as a real call site does.
        benchmark::ClobberMemory();
        TIVRA::SYSLOG_DEBUG << "Setting: periodMin      : " << value << " more " << someString;
    }
    TIVRA::quorvin_log = -1;
}
BENCHMARK(BM_FilteredStatement);

// Emitted line including the non-blocking send to a bound ::1 socket.
void BM_EmittedLineSent(benchmark::State& state)
{
    Receiver rx;
    TIVRA::SysLog::initialize(16, false, rx.port);
    TIVRA::quorvin_log = TIVRA::SYSLOG_DEBUG;
    int value = 42;
    const std::string someString = "text";
    long sent = 0;
    long received = 0;
    for (auto _ : state) {
        TIVRA::SYSLOG_INFO << "Setting: periodMin      : " << value << " more " << someString;
        if (++sent % 1024 == 0) {
            state.PauseTiming();
            received += rx.drain();
            state.ResumeTiming();
        }
    }
    received += rx.drain();
    state.counters["lost"] = static_cast<double>(sent - received);
    TIVRA::quorvin_log = -1;
    TIVRA::SysLog::finalize();
}
BENCHMARK(BM_EmittedLineSent);

// The same line handed to a callback that does nothing: building and stamping
// without the system call.
void BM_EmittedLineBuiltOnly(benchmark::State& state)
{
    TIVRA::SysLog::initialize(16, &noPrint);
    TIVRA::quorvin_log = TIVRA::SYSLOG_DEBUG;
    int value = 42;
    const std::string someString = "text";
    for (auto _ : state) {
        TIVRA::SYSLOG_INFO << "Setting: periodMin      : " << value << " more " << someString;
    }
    TIVRA::quorvin_log = -1;
    TIVRA::SysLog::finalize();
}
BENCHMARK(BM_EmittedLineBuiltOnly);

void BM_ClockNow(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(TIVRA::Clock::now());
    }
}
BENCHMARK(BM_ClockNow);

void BM_ClockComp(benchmark::State& state)
{
    TIVRA::Clock a = TIVRA::Clock::now();
    TIVRA::Clock b = a + TIVRA::Clock(5);
    for (auto _ : state) {
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
        benchmark::DoNotOptimize(a.Comp(b));
    }
}
BENCHMARK(BM_ClockComp);

}  // namespace

BENCHMARK_MAIN();
