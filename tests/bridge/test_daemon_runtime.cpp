// The daemon binary end to end while the targets change under it: a sink
// switched off and on at the device, and volume that the device sets or
// holds in its range.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "DaemonRun.h"

using namespace daemonrun;
using standin::count;

namespace {

// One scan interval and what a scan itself may take on a loaded machine.
constexpr auto kScan = 30s;

class DaemonRuntime : public DaemonRun {
protected:
    std::string controlPipe() const { return dir + "/control"; }

    // Alpha with the extra lines in Main's group.
    void writeAlpha(const std::string& mainLines) const
    {
        std::ofstream(dir + "/alpha.inf") << "[target]\nname = Alpha\naddress = fe80::2%" << testnet::NetNamespaces::kTargetLink
                                          << "\n[sink.0]\nname = Main\naudioFile = " << dir << "/main.raw\n"
                                          << mainLines << "[sink.1]\nname = Feed\naudioFile = " << dir << "/feed.raw\n";
    }

    // The fixture's emulator, taking commands on the control pipe.
    void startControlledEmulator()
    {
        const size_t ready = occurrences(emulatorOutput(), "ready\n");
        emulator = startLogged(testnet::NetNamespaces::Target,
                               {buildDir() + "/testbed/target-emulator", "--config", dir + "/alpha.inf", "--config",
                                dir + "/beta.inf", "--control", controlPipe()},
                               emulatorFile());
        ASSERT_TRUE(emulator.started());
        ASSERT_TRUE(waitEmulator("ready\n", ready + 1, 10s)) << emulatorOutput();
    }

    // Sends a command to the emulator and waits for it to be carried out.
    void command(const std::string& line)
    {
        const std::string done = "control: " + line + " done\n";
        const size_t before = occurrences(emulatorOutput(), done);
        // Without waiting: the emulator holds the pipe open, or it is gone.
        const int fd = ::open(controlPipe().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        const std::string text = line + "\n";
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        ASSERT_TRUE(written) << line;
        ASSERT_TRUE(waitEmulator(done, before + 1, 5s)) << emulatorOutput();
    }

    // The sink's address as the daemon's log lines write it.
    std::string addressText(const std::string& sink) const
    {
        const std::string out = emulatorOutput();
        const std::string key = sinks.at(sink).prefix + " name " + sink + " port ";
        const size_t at = out.rfind(key);
        if (at == std::string::npos) {
            return "?";
        }
        const size_t from = at + key.size();
        const std::string host = sinks.at(sink).prefix[1] == '0' ? "fe80::2" : "fe80::3";
        return host + "," + out.substr(from, out.find('\n', from) - from);
    }

    // Output lines of the emulator that start with `prefix` and hold `part`.
    size_t emulatorLines(const std::string& prefix, const std::string& part) const
    {
        std::istringstream in(emulatorOutput());
        size_t n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.rfind(prefix + " ", 0) == 0 && line.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    int32_t cardVolume(int card) const
    {
        const std::string file = readFile(testbed::driverCardFile(standinDir, card));
        int32_t volume = -1;
        if (file.size() >= kRingBytes + 228) {
            std::memcpy(&volume, file.data() + kRingBytes + 224, sizeof volume);
        }
        return volume;
    }
};

// Main switched off at the device, idle: three scans count its grace down
// and the fourth drops its card. Switched on again, it gets a new card
// within one scan, which plays, and which shows the volume the device was
// set to while the daemon ran (read when the card is set up).
TEST_F(DaemonRuntime, SinkSwitchedOffLosesItsCardAfterTheGraceAndComesBackWithTheDevicesVolume)
{
    ASSERT_NO_FATAL_FAILURE(startControlledEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
    const int main = cardOf("Main");
    ASSERT_GE(main, 0);
    EXPECT_EQ(cardVolume(main), 10001);
    const std::string at = addressText("Main");

    ASSERT_NO_FATAL_FAILURE(command("volume Alpha Main -1200"));
    ASSERT_NO_FATAL_FAILURE(command("hide Alpha Main"));
    for (const int left : {2, 1, 0}) {
        ASSERT_TRUE(waitDaemon("Scan Mis 3 " + std::to_string(left) + " " + at + "\n", 1, kScan)) << daemonOutput();
        EXPECT_EQ(events.removes(main), 0U) << left;
    }
    ASSERT_TRUE(events.waitRemoves(main, 1, kScan)) << daemonOutput();
    EXPECT_TRUE(waitDaemon("lost node:" + std::to_string(main) + " " + at + "\n", 1, 5s)) << daemonOutput();
    EXPECT_EQ(cardOf("Main"), -1);
    EXPECT_EQ(attachedCards(), 2U);

    ASSERT_NO_FATAL_FAILURE(command("show Alpha Main"));
    ASSERT_TRUE(testwait::waitFor([&] { return cardOf("Main") >= 0; }, kScan)) << daemonOutput();
    const int again = cardOf("Main");
    EXPECT_TRUE(waitDaemon("add node:" + at + " " + std::to_string(again) + "\n", 1, 5s)) << daemonOutput();
    EXPECT_TRUE(testwait::waitFor([&] { return log.count("TargetName : Alpha:Main") == 2; }, 5s));
    // -12 dB from the device: (6000 - 1200) x 10000 / 6000 + 1.
    EXPECT_EQ(cardVolume(again), 8001);
    EXPECT_TRUE(testwait::waitFor([&] { return log.count("Volume Add : -1200 8001") == 1; }, 5s));
    ASSERT_NO_FATAL_FAILURE(playsClean("Main"));

    const auto journal = this->journal();
    EXPECT_EQ(count(journal, "CREATE"), 4U);
    EXPECT_EQ(count(journal, "REMOVE"), 1U);
    EXPECT_EQ(count(journal, "REMOVE", main), 1U);
    // The other sinks stayed as they were.
    EXPECT_EQ(attachedCards(), 3U);
}

// A volume set on the card that the sink holds in its range (no lower than
// -20 dB): the card takes back what the sink answered.
TEST_F(DaemonRuntime, ACardVolumeTheSinkHoldsInItsRangeComesBackToTheCard)
{
    writeAlpha("control.1 = play\ncontrol.2 = volume min=-2000\n");
    ASSERT_NO_FATAL_FAILURE(startControlledEmulator());
    ASSERT_NO_FATAL_FAILURE(startDaemon());
    ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
    const int main = cardOf("Main");
    ASSERT_GE(main, 0);
    EXPECT_EQ(cardVolume(main), 10001);

    std::string output;
    EXPECT_EQ(play(main, {"--rate", "48000", "--format", "pcm16", "--frames", "48000", "--volume", "5001",
                          "--volume-after", "4"},
                   &output),
              0)
        << output;
    // -30 dB asked, as 0.01 dB above the item's number with its write bit.
    EXPECT_TRUE(testwait::waitFor(
        [&] {
            return emulatorLines(sinks.at("Main").prefix,
                                 "CONTROLVALUE_REQ(62) status 0x0000 option 0xfffffffff4488002") == 1;
        },
        10s));
    // -20 dB held: (6000 - 2000) x 10000 / 6000 + 1.
    EXPECT_TRUE(testwait::waitFor([&] { return cardVolume(main) == 6667; }, 10s)) << cardVolume(main);
    EXPECT_TRUE(testwait::waitFor([&] { return log.count("Volume Update : -2000 6667") == 1; }, 5s));
}

}  // namespace
