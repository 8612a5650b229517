// The daemon binary end to end across a veth link: start-up, stop and play.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "DaemonRun.h"
#include "bridge/BridgeIoctl.h"
#include "testbed/player/CounterCheck.h"

using namespace daemonrun;
using standin::count;

namespace {

class Daemon : public DaemonRun {};

// Every listed sink gets a card of the default ring, attached, with the
// target's and the sink's names in its header.
TEST_F(Daemon, EverySinkGetsANamedCard)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const auto journal = testbed::readJournal(standinDir);
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal[0].request, "INIT");
    EXPECT_EQ(count(journal, "INIT"), 1U);
    std::map<std::string, std::string> names;
    for (const auto& line : journal) {
        if (line.request == "CREATE") {
            EXPECT_EQ(line.arg, kRingBytes);
            ASSERT_GE(line.result, 0);
            const int card = static_cast<int>(line.result);
            EXPECT_EQ(count(journal, "ATTACH", card), 1U) << card;
            const auto header = cardNames(testbed::driverCardFile(standinDir, card));
            ASSERT_TRUE(header) << card;
            names[header->sink] = header->target;
        }
    }
    EXPECT_EQ(count(journal, "CREATE"), 3U);
    const std::map<std::string, std::string> expected{{"Main", "Alpha"}, {"Feed", "Alpha"}, {"Tail", "Beta"}};
    EXPECT_EQ(names, expected);
}

// Each stop signal ends the daemon with status 0, every card removed and the
// final request sent, so nothing is left with the driver.
TEST_F(Daemon, StopSignalsRemoveEveryCard)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        std::filesystem::remove_all(standinDir);
        std::filesystem::create_directory(standinDir);
        if (!emulator.started()) {
            ASSERT_NO_FATAL_FAILURE(startEmulator());
        }
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
        ASSERT_EQ(::kill(daemon.pid(), signal), 0);
        const auto status = daemon.wait(10s);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, 0);
        const auto journal = testbed::readJournal(standinDir);
        for (const auto& line : journal) {
            if (line.request == "CREATE") {
                const int card = static_cast<int>(line.result);
                // The card's own removal carries its header's state; the final one none.
                size_t removed = 0;
                for (const auto& l : journal) {
                    removed += l.request == "REMOVE" && l.card == card && l.hostStatus ? 1 : 0;
                }
                EXPECT_EQ(removed, 1U) << card;
            }
        }
        ASSERT_FALSE(journal.empty());
        const auto& last = journal.back();
        EXPECT_EQ(last.request, "REMOVE");
        EXPECT_EQ(last.card, 0);
        EXPECT_EQ(last.arg, 0U);
        EXPECT_FALSE(last.hostStatus);
        EXPECT_EQ(count(journal, "CREATE"), 3U);
    }
}

}  // namespace
