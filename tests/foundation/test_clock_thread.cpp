#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <thread>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/ThreadPriority.h"

using TIVRA::Clock;
using TIVRA::ThreadPriority;

TEST(Clock, CompareBySignOfDifference)
{
    EXPECT_EQ(Clock(7).Comp(Clock(7)), 0);
    EXPECT_EQ(Clock(5).Comp(Clock(3)), 1);
    EXPECT_EQ(Clock(3).Comp(Clock(5)), -1);
    EXPECT_EQ(Clock(1).Comp(Clock(~0ULL)), 1);  // across the wrap
    EXPECT_EQ(Clock(~0ULL).Comp(Clock(1)), -1);
    EXPECT_EQ((Clock(10) + Clock(5)).picoseconds, 15U);
    EXPECT_EQ((Clock(10) - Clock(15)).picoseconds, ~0ULL - 4);
}

TEST(Clock, NowIsMonotonicPicosecondsAndNeverZero)
{
    const Clock a = Clock::now();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const Clock b = Clock::now();
    EXPECT_NE(a.picoseconds, 0U);
    EXPECT_GE(b.Comp(a), 0);
    const uint64_t mid = static_cast<uint64_t>(ts.tv_sec) * Clock::SEC + static_cast<uint64_t>(ts.tv_nsec) * 1000;
    EXPECT_LE(a.picoseconds, mid);
    EXPECT_GE(b.picoseconds, mid);
}

namespace {

// Runs f on a fresh thread so that class changes never leak into the test
// runner's own thread.
template <typename F>
void onThread(F f)
{
    std::thread t(f);
    t.join();
}

int policyOf(uint64_t tid)
{
    return sched_getscheduler(static_cast<pid_t>(tid));
}

}  // namespace

TEST(ThreadPriority, FourClassesAndRefusal)
{
    onThread([] {
        const uint64_t tid = ThreadPriority::getSelfThreadID();
        EXPECT_EQ(tid, static_cast<uint64_t>(gettid()));
        sched_param p{};

        ASSERT_TRUE(ThreadPriority::setPriority(tid, ThreadPriority::PRIORITY_REALTIME)) << "needs root";
        EXPECT_EQ(policyOf(tid), SCHED_FIFO);
        sched_getparam(static_cast<pid_t>(tid), &p);
        EXPECT_EQ(p.sched_priority, 99);

        ASSERT_TRUE(ThreadPriority::setPriority(tid, ThreadPriority::PRIORITY_HIGH));
        EXPECT_EQ(policyOf(tid), SCHED_RR);
        sched_getparam(static_cast<pid_t>(tid), &p);
        EXPECT_EQ(p.sched_priority, 10);

        ASSERT_TRUE(ThreadPriority::setPriority(tid, ThreadPriority::PRIORITY_NORMAL));
        EXPECT_EQ(policyOf(tid), SCHED_OTHER);

        ASSERT_TRUE(ThreadPriority::setPriority(tid, ThreadPriority::PRIORITY_IDLE));
        EXPECT_EQ(policyOf(tid), SCHED_IDLE);

        EXPECT_FALSE(ThreadPriority::setPriority(tid, static_cast<ThreadPriority::Priority>(4)));
        EXPECT_EQ(policyOf(tid), SCHED_IDLE);  // unchanged
    });
}

namespace {

// Child exit codes of RealTimeClassesNeedTheRight.
enum RightsChild {
    kChildOk = 0,
    kChildSetupFailed = 10,
    kChildStillPrivileged,
    kChildRealtimeAccepted,
    kChildHighAccepted,
    kChildClassChanged,
    kChildNormalRefused,
};

// Runs in a forked child: drops to nobody with no real-time allowance, then
// asks for each real-time class.
[[noreturn]] void tryRealTimeWithoutRights()
{
    const sched_param normal{};
    const rlimit none{0, 0};
    if (sched_setscheduler(0, SCHED_OTHER, &normal) != 0 || setrlimit(RLIMIT_RTPRIO, &none) != 0
        || setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
        _exit(kChildSetupFailed);
    }
    if (setuid(0) == 0) {
        _exit(kChildStillPrivileged);
    }
    const uint64_t tid = ThreadPriority::getSelfThreadID();
    if (ThreadPriority::setPriority(tid, ThreadPriority::PRIORITY_REALTIME)) {
        _exit(kChildRealtimeAccepted);
    }
    if (ThreadPriority::setPriority(tid, ThreadPriority::PRIORITY_HIGH)) {
        _exit(kChildHighAccepted);
    }
    if (policyOf(tid) != SCHED_OTHER) {
        _exit(kChildClassChanged);
    }
    if (!ThreadPriority::setPriority(tid, ThreadPriority::PRIORITY_NORMAL)) {
        _exit(kChildNormalRefused);
    }
    _exit(kChildOk);
}

}  // namespace

TEST(ThreadPriority, RealTimeClassesNeedTheRight)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        tryRealTimeWithoutRights();
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kChildOk) << "see RightsChild for the code";
}

namespace {

std::vector<unsigned> cpusOf(const std::list<ThreadPriority::Cpus>& ranges)
{
    cpu_set_t set;
    std::fill_n(reinterpret_cast<unsigned char*>(&set), sizeof(set), 0xFF);  // stale bits must go
    ThreadPriority::buildCpuSet(ranges, set);
    std::vector<unsigned> cpus;
    for (unsigned cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            cpus.push_back(cpu);
        }
    }
    return cpus;
}

}  // namespace

TEST(ThreadPriority, CpuSetOfRanges)
{
    static_assert(CPU_SETSIZE == 1024);
    struct Case {
        std::list<ThreadPriority::Cpus> ranges;
        std::vector<unsigned> cpus;
    };
    const std::vector<Case> cases = {
        {{{1022, 10}}, {1022, 1023}},  // capped at the last CPU of the set
        {{{1023, 65535}}, {1023}},
        {{{5, 0}}, {}},
        {{{1024, 4}}, {}},
        {{{65535, 65535}}, {}},
        {{{0, 1}}, {0}},
        {{{1, 2}, {0, 0}}, {1, 2}},
        {{{6, 2}, {0, 3}, {2, 2}}, {0, 1, 2, 3, 6, 7}},  // overlaps merge
    };
    for (const Case& c : cases) {
        std::string label;
        for (const auto& r : c.ranges) {
            label += "{" + std::to_string(r.firstCpu) + "," + std::to_string(r.cpuCount) + "} ";
        }
        EXPECT_EQ(cpusOf(c.ranges), c.cpus) << label;
    }

    // An empty list: every configured CPU.
    std::vector<unsigned> all(std::min(get_nprocs_conf(), 1023));
    for (unsigned i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    EXPECT_EQ(cpusOf({}), all);
}

TEST(ThreadPriority, PinningRanges)
{
    onThread([] {
        const uint64_t tid = ThreadPriority::getSelfThreadID();
        const int n = get_nprocs_conf();
        ASSERT_EQ(ThreadPriority::getCpuCore(), n);
        cpu_set_t set;

        ASSERT_TRUE(ThreadPriority::setCpuThread(tid, {{0, 1}}));
        ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
        EXPECT_EQ(CPU_COUNT(&set), 1);
        EXPECT_TRUE(CPU_ISSET(0, &set));

        if (n >= 3) {
            ASSERT_TRUE(ThreadPriority::setCpuThread(tid, {{1, 2}, {0, 0}}));
            sched_getaffinity(0, sizeof(set), &set);
            EXPECT_EQ(CPU_COUNT(&set), 2);
            EXPECT_TRUE(CPU_ISSET(1, &set) && CPU_ISSET(2, &set));
        }

        // A zero-length range adds nothing: an empty set is refused and the
        // thread keeps its CPUs.
        EXPECT_FALSE(ThreadPriority::setCpuThread(tid, {{5, 0}}));
        EXPECT_FALSE(ThreadPriority::setCpuThread(tid, {{1024, 4}}));
        sched_getaffinity(0, sizeof(set), &set);
        EXPECT_GE(CPU_COUNT(&set), 1);

        // A range running past the last CPU still pins to the CPUs that exist.
        ASSERT_TRUE(ThreadPriority::setCpuThread(tid, {{0, 1000}}));
        sched_getaffinity(0, sizeof(set), &set);
        EXPECT_EQ(CPU_COUNT(&set), n);

        ASSERT_TRUE(ThreadPriority::setCpuThread(tid, {}));
        sched_getaffinity(0, sizeof(set), &set);
        EXPECT_EQ(CPU_COUNT(&set), n);
    });
}
