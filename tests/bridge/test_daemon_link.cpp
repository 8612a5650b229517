// The daemon binary end to end across an impaired link: the link emulator
// between the host's and the targets' namespaces loses, repeats, reorders or
// delays the datagrams both ways, seeded, and a counter played into a card
// must still reach its sink every frame once and in order. Each run prints
// the sink's underruns and the link's counters.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "DaemonRun.h"
#include "bridge/BridgeMemHeader.h"
#include "testbed/linkemu/LinkRules.h"
#include "testbed/player/CounterCheck.h"

using namespace daemonrun;

namespace {

struct Scenario {
    const char* name;
    std::vector<std::string> rules;  // both directions alike
    uint64_t seed;
};

std::ostream& operator<<(std::ostream& out, const Scenario& s)
{
    return out << s.name;
}

testnet::LinkNamespaces::Options linkOptions(const Scenario& s)
{
    testnet::LinkNamespaces::Options o;
    o.rules = s.rules;
    o.seed = s.seed;
    // Neighbour discovery passes untouched: a lost solicitation stalls the
    // link for seconds at the kernel's pace, which no part of the daemon
    // can do anything about. Every datagram, the control exchanges, the
    // audio, the resend requests and the feedback, is impaired.
    o.onlyUdp = true;
    return o;
}

class DaemonLink : public DaemonRunOver<testnet::LinkNamespaces>, public ::testing::WithParamInterface<Scenario> {
protected:
    DaemonLink() : DaemonRunOver(linkOptions(GetParam())) {}

    // The last line of the sink's emulator output that reports an ended stream.
    std::string streamReport(const std::string& sink) const
    {
        std::istringstream in(emulatorOutput());
        std::string last;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(sinks.at(sink).stream + " #", 0) == 0) {
                last = line;
            }
        }
        return last;
    }
    // " underruns N overflows M" of a report line.
    static std::string underruns(const std::string& report)
    {
        const size_t at = report.find(" underruns ");
        const size_t end = at == std::string::npos ? at : report.find(" disconnects ", at);
        return at == std::string::npos ? std::string() : report.substr(at + 1, end - at - 1);
    }
};

constexpr uint64_t kFrames = 96000;  // two seconds

// A counter played into a card arrives whole: the daemon's resends fill what
// the link lost, the sink keeps each counter once whatever came twice or out
// of order.
TEST_P(DaemonLink, CounterArrivesEveryFrameOnceInOrder)
{
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    // A discovery request is sent once and a control request three times
    // 10 ms apart: a lost answer, or a burst that takes all three sends,
    // leaves its sink to the next scan, 20 s on. So only the card played
    // into is awaited, for up to four scans.
    const std::string sink = "Main";
    int card = -1;
    ASSERT_TRUE(testwait::waitFor([&] { return (card = cardOf(sink)) >= 0; }, 90s)) << daemonOutput();
    const size_t ended = occurrences(emulatorOutput(), sinks.at(sink).stream + " #");
    std::string output;
    // A lost connect request is sent again only after 10 s, which the
    // player's waits on the host must outlast.
    ASSERT_EQ(play(card, {"--source", "counter", "--rate", "48000", "--format", "pcm16", "--channels", "2",
                          "--frames", std::to_string(kFrames), "--timeout", "40000"},
                   &output),
              0)
        << output;
    ASSERT_TRUE(waitEmulator(sinks.at(sink).stream + " #", ended + 1, 30s)) << daemonOutput();

    const auto link = net.counters();
    ASSERT_TRUE(link);
    const std::string report = streamReport(sink);
    const std::string name = GetParam().name;
    RecordProperty("sink", underruns(report));
    RecordProperty("toTarget", linkemu::formatCounters(link->toTarget));
    RecordProperty("toHost", linkemu::formatCounters(link->toHost));
    std::cout << "[ link " << name << " ] sink: " << underruns(report) << "\n"
              << "[ link " << name << " ] to target: " << linkemu::formatCounters(link->toTarget) << "\n"
              << "[ link " << name << " ] to host:   " << linkemu::formatCounters(link->toHost) << "\n"
              << "[ link " << name << " ] " << report << "\n"
              << "[ link " << name << " ] daemon resends asked: " << occurrences(daemonOutput(), "   count resend ")
              << std::endl;

    const std::string audio = readFile(sinks.at(sink).audio);
    const testbed::CounterCheck check = testbed::checkCounter(
        reinterpret_cast<const uint8_t*>(audio.data()), audio.size(), QUORVIN::QUORVIN_BR_FORMAT_PCM16, 2);
    EXPECT_TRUE(check.clean()) << check.describe() << "\n" << streamDiagnosis();
    EXPECT_EQ(check.firstIndex, 0U) << check.describe();
    EXPECT_EQ(check.frames, kFrames) << check.describe();
    // A resend request beyond the ring ends the stream.
    EXPECT_EQ(occurrences(daemonOutput(), "   count error "), 0U);
}

INSTANTIATE_TEST_SUITE_P(, DaemonLink,
                         ::testing::Values(Scenario{"Loss1", {"loss=1"}, 11}, Scenario{"Loss5", {"loss=5"}, 12},
                                           Scenario{"BurstsOf3", {"burst=3@1"}, 13},
                                           Scenario{"Reorder10", {"reorder=10"}, 14},
                                           Scenario{"Duplicate1", {"duplicate=1"}, 15},
                                           Scenario{"Delay5Jitter2", {"delay=5+-2"}, 16}),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
