// The daemon binary end to end across a veth link: start-up, stop and play.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DaemonRun.h"
#include "bridge/BridgeIoctl.h"
#include "bridge/BridgeMemHeader.h"
#include "testbed/player/CounterCheck.h"

using namespace daemonrun;
using standin::count;

namespace {

class Daemon : public DaemonRun {
protected:
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
    testbed::CounterCheck recording(const std::string& sink) const
    {
        const std::string audio = readFile(sinks.at(sink).audio);
        return testbed::checkCounter(reinterpret_cast<const uint8_t*>(audio.data()), audio.size(),
                                     QUORVIN::QUORVIN_BR_FORMAT_PCM16, 2);
    }
};

constexpr uint64_t kFrames = 48000;  // a second
const std::vector<std::string> kCounter{"--source", "counter", "--format", "pcm16", "--rate", "48000",
                                        "--channels", "2", "--frames", std::to_string(kFrames)};

// Every listed sink gets a card of the default ring, attached, with the
// target's and the sink's names in its header.
TEST_F(Daemon, EverySinkGetsANamedCard)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const auto journal = this->journal();
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

// Each stop signal, idle or while a card streams, ends the daemon with
// status 0, every card removed and the final request sent, so nothing is
// left with the driver.
TEST_F(Daemon, StopSignalsRemoveEveryCard)
{
    struct Case {
        int signal;
        bool streaming;
    };
    for (const Case c : {Case{SIGTERM, false}, Case{SIGINT, false}, Case{SIGHUP, false}, Case{SIGTERM, true},
                         Case{SIGINT, true}, Case{SIGHUP, true}}) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + (c.streaming ? " streaming" : " idle"));
        std::filesystem::remove_all(standinDir);
        std::filesystem::create_directory(standinDir);
        if (!emulator.started()) {
            ASSERT_NO_FATAL_FAILURE(startEmulator());
        }
        const size_t streams = occurrences(emulatorOutput(), "CONNECT_REQ(8)");
        ASSERT_NO_FATAL_FAILURE(startDaemon());
        ASSERT_TRUE(waitAttached(3, 20s)) << daemonOutput();
        std::thread player;
        if (c.streaming) {
            const int card = cardOf("Main");
            ASSERT_GE(card, 0);
            player = std::thread([this, card] { play(card, {"--rate", "48000", "--format", "pcm16", "--seconds", "30"}); });
            EXPECT_TRUE(waitEmulator("CONNECT_REQ(8)", streams + 1, 10s));
        }
        ASSERT_EQ(::kill(daemon.pid(), c.signal), 0);
        const auto status = daemon.wait(10s);
        if (player.joinable()) {
            player.join();
        }
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, 0);
        const auto journal = this->journal();
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

// Counters played into two cards at once reach their sinks every frame once
// and in order after the mute pre-roll; the volume set on the chained card
// goes to the end of its chain (Tail), the head (Feed) is left at 0 dB.
TEST_F(Daemon, CountersPlayThroughAndTheVolumeReachesTheChainsTail)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const int feed = cardOf("Feed");
    const int main = cardOf("Main");
    ASSERT_GE(feed, 0);
    ASSERT_GE(main, 0);
    std::vector<std::string> withVolume = kCounter;
    withVolume.insert(withVolume.end(), {"--volume", "5001", "--volume-after", "4"});
    int mainResult = -1;
    std::string mainOutput;
    std::thread other([&] { mainResult = play(main, kCounter, &mainOutput); });
    std::string feedOutput;
    EXPECT_EQ(play(feed, withVolume, &feedOutput), 0) << feedOutput;
    other.join();
    EXPECT_EQ(mainResult, 0) << mainOutput;
    for (const std::string sink : {"Feed", "Main"}) {
        SCOPED_TRACE(sink);
        ASSERT_TRUE(testwait::waitFor([&] { return emulatorLines(sinks.at(sink).stream, "#0 disconnect") == 1; }, 10s));
        const testbed::CounterCheck check = recording(sink);
        EXPECT_TRUE(check.clean()) << check.describe() << "\n" << streamDiagnosis();
        EXPECT_EQ(check.firstIndex, 0U) << check.describe();
        EXPECT_EQ(check.frames, kFrames) << check.describe();
    }
    // -30 dB, as 0.01 dB in the 16 bits above the item's number with its write bit.
    const std::string minus30 = "CONTROLVALUE_REQ(62) status 0x0000 option 0xfffffffff4488002";
    EXPECT_TRUE(testwait::waitFor([&] { return emulatorLines(sinks.at("Tail").prefix, minus30) == 1; }, 10s));
    EXPECT_EQ(emulatorLines(sinks.at("Feed").prefix, minus30), 0U);
    EXPECT_EQ(emulatorLines(sinks.at("Feed").prefix, "CONTROLVALUE_REQ(62) status 0x0000 option 0x0000000000008002"), 1U);
    EXPECT_FALSE(std::filesystem::exists(sinks.at("Tail").audio));
}

// The volume of the chain's tail is what the chained card shows from its
// start; a card whose sink has no control shows none (0).
TEST_F(Daemon, TheTailsVolumeReachesTheChainedCard)
{
    writeBeta("control.1 = play\ncontrol.2 = volume value=-1500\n");
    ASSERT_NO_FATAL_FAILURE(startAll());
    const std::map<std::string, int32_t> expected{{"Feed", 7501}, {"Main", 10001}, {"Tail", 0}};
    for (const auto& [sink, volume] : expected) {
        const int card = cardOf(sink);
        ASSERT_GE(card, 0) << sink;
        const std::string file = readFile(testbed::driverCardFile(standinDir, card));
        ASSERT_GE(file.size(), kRingBytes + 228);
        int32_t shown = 0;
        std::memcpy(&shown, file.data() + kRingBytes + 224, sizeof shown);
        EXPECT_EQ(shown, volume) << sink;
    }
}

// The same card played, stopped and played again: each stream is recorded
// whole, from its first frame.
TEST_F(Daemon, PlayStopAndReplay)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(playsClean("Feed"));
    }
    EXPECT_EQ(emulatorLines(sinks.at("Feed").stream, " disconnect from "), 3U);
}

// Writes a 16-bit stereo 48 kHz WAV of seeded noise; its sample bytes.
std::string writeNoiseWav(const std::string& path, uint32_t frames)
{
    std::string data;
    uint32_t state = 12345;
    for (uint32_t i = 0; i < frames * 2; ++i) {
        state = state * 1664525U + 1013904223U;
        uint16_t sample = static_cast<uint16_t>(state >> 16);
        sample = sample == 0 ? 1 : sample;  // no mute frame inside, so the pre-roll cannot be mistaken
        data.push_back(static_cast<char>(sample & 0xFF));
        data.push_back(static_cast<char>(sample >> 8));
    }
    auto le = [](std::string& out, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
    };
    std::string file = "RIFF";
    le(file, static_cast<uint32_t>(36 + data.size()), 4);
    file += "WAVEfmt ";
    le(file, 16, 4);
    le(file, 1, 2);
    le(file, 2, 2);
    le(file, 48000, 4);
    le(file, 48000 * 4, 4);
    le(file, 4, 2);
    le(file, 16, 2);
    file += "data";
    le(file, static_cast<uint32_t>(data.size()), 4);
    std::ofstream(path, std::ios::binary) << file << data;
    return data;
}

// A WAV file played into a card is recorded byte for byte after the mute
// pre-roll, with only mute after it.
TEST_F(Daemon, WavFileIsRecordedExactly)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const int card = cardOf("Main");
    ASSERT_GE(card, 0);
    const std::string samples = writeNoiseWav(dir + "/noise.wav", 36000);
    std::string output;
    ASSERT_EQ(play(card, {"--wav", dir + "/noise.wav"}, &output), 0) << output;
    ASSERT_TRUE(testwait::waitFor([&] { return emulatorLines(sinks.at("Main").stream, "#0 disconnect") == 1; }, 10s));
    const std::string audio = readFile(sinks.at("Main").audio);
    size_t start = 0;
    while (start + 4 <= audio.size() && audio.compare(start, 4, std::string(4, '\0')) == 0) {
        start += 4;
    }
    ASSERT_GE(audio.size(), start + samples.size());
    EXPECT_TRUE(audio.compare(start, samples.size(), samples) == 0) << streamDiagnosis();
    EXPECT_EQ(audio.find_first_not_of('\0', start + samples.size()), std::string::npos);
}

}  // namespace
