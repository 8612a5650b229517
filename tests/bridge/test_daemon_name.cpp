// The daemon started with a long bridge name as its second argument, end to
// end against the emulator program: both targets are told the whole name,
// Alpha names it back in the status answers of the sinks the host feeds, so
// Feed's chain to Tail is built; the stream tells Feed the name, plays, and
// the volume set on Feed's card reaches Tail. A name longer than every
// message can carry is cut once, at start-up, with a warning, and then goes
// the same way.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "DaemonRun.h"
#include "protocol/Message.h"

using namespace daemonrun;

namespace {

class DaemonName : public DaemonRun {
protected:
    void SetUp() override
    {
        DaemonRun::SetUp();
        std::ofstream(dir + "/alpha.inf") << "[target]\nname = Alpha\naddress = fe80::2%"
                                          << testnet::NetNamespaces::kTargetLink << "\nhostPeerName = 1\n"
                                          << "[sink.0]\nname = Main\naudioFile = " << dir << "/main.raw\n"
                                          << "[sink.1]\nname = Feed\naudioFile = " << dir << "/feed.raw\n";
    }

    void startNamed(const std::string& name)
    {
        daemon = startLogged(testnet::NetNamespaces::Host,
                             {buildDir() + "/testbed/driver-standin", "--dir", standinDir, "--",
                              buildDir() + "/bridge/quorvin-bridge", settingsFile(), name},
                             daemonFile());
        ASSERT_TRUE(daemon.started());
        ASSERT_TRUE(events.open(standinDir, 10s));
    }

    // Lines of `output` that start with `prefix` and hold `part`.
    static size_t lines(const std::string& output, const std::string& prefix, const std::string& part)
    {
        std::istringstream in(output);
        size_t n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.rfind(prefix + " ", 0) == 0 && line.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    size_t emulatorLines(const std::string& prefix, const std::string& part) const
    {
        return lines(emulatorOutput(), prefix, part);
    }
    // Requests of the kind that came, at least one, each carrying the name
    // as `carried` says (a request sent again is one more line).
    static void allCarry(const std::string& output, const std::string& prefix, const std::string& request,
                         const std::string& carried)
    {
        const size_t whole = lines(output, prefix, request + " " + carried);
        EXPECT_GE(whole, 1U) << prefix << " " << request;
        EXPECT_EQ(lines(output, prefix, request), whole) << prefix << " " << request;
    }

    // Every path that carries the name, each carrying `bytes` of it.
    void carriedEverywhere(size_t bytes)
    {
        ASSERT_TRUE(waitAttached(3, 20s));
        const std::string carried = "status 0x0001 option 0xffffffffffffffff data " + std::to_string(bytes) + " [";
        const std::string atStart = emulatorOutput();
        for (const std::string target : {"[0]", "[1]"}) {
            allCarry(atStart, target + " discovery", "NOTISNAME_REQ(22)", carried);
        }

        const int feed = cardOf("Feed");
        ASSERT_GE(feed, 0);
        const size_t before = readFile(sinks.at("Feed").audio).size();
        std::string output;
        ASSERT_EQ(play(feed,
                       {"--source", "counter", "--format", "pcm16", "--rate", "48000", "--channels", "2", "--frames",
                        "48000", "--volume", "5001", "--volume-after", "4"},
                       &output),
                  0)
            << output;
        ASSERT_TRUE(
            testwait::waitFor([&] { return emulatorLines(sinks.at("Feed").stream, "#0 disconnect") == 1; }, 10s));
        const std::string audio = readFile(sinks.at("Feed").audio).substr(before);
        const testbed::CounterCheck check = testbed::checkCounter(reinterpret_cast<const uint8_t*>(audio.data()),
                                                                  audio.size(), QUORVIN::QUORVIN_BR_FORMAT_PCM16, 2);
        EXPECT_TRUE(check.clean()) << check.describe();
        EXPECT_EQ(check.frames, 48000U) << check.describe();
        allCarry(emulatorOutput(), sinks.at("Feed").prefix, "SYNCNAME_REQ(24)", carried);

        // -30 dB, as 0.01 dB in the 16 bits above the item's number with its write bit.
        const std::string minus30 = "CONTROLVALUE_REQ(62) status 0x0000 option 0xfffffffff4488002";
        EXPECT_TRUE(testwait::waitFor([&] { return emulatorLines(sinks.at("Tail").prefix, minus30) == 1; }, 10s));
        EXPECT_EQ(emulatorLines(sinks.at("Feed").prefix, minus30), 0U);
    }

    static constexpr const char* kCut = "Setting: bridgeName cut  : ";
};

TEST_F(DaemonName, AtTheLimitEveryPathCarriesItWhole)
{
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startNamed(std::string(QUORVIN::MAX_HOST_NAME, 'n')));
    ASSERT_NO_FATAL_FAILURE(carriedEverywhere(QUORVIN::MAX_HOST_NAME));
    EXPECT_EQ(occurrences(daemonOutput(), kCut), 0U);
}

// 70000 bytes with a two-byte character across the limit: cut before it.
TEST_F(DaemonName, LongerIsCutBeforeACharacterWithAWarningAndCarried)
{
    const size_t before = QUORVIN::MAX_HOST_NAME - 1;
    std::string name(before, 'n');
    name += "\xC3\xA9";
    name += std::string(70000 - name.size(), 'n');
    ASSERT_NO_FATAL_FAILURE(startEmulator());
    ASSERT_NO_FATAL_FAILURE(startNamed(name));
    ASSERT_NO_FATAL_FAILURE(carriedEverywhere(before));
    EXPECT_EQ(occurrences(daemonOutput(), std::string(kCut) + "70000 -> " + std::to_string(before) + "\n"), 1U);
}

}  // namespace
