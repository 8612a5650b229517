// Real ALSA programs (aplay, speaker-test) play into the daemon's card
// through the testbed's PCM plugin, in the driver's place.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DaemonRun.h"
#include "testbed/StandinPriority.h"
#include "bridge/BridgeMemHeader.h"
#include "testbed/player/CardFormat.h"
#include "testbed/player/Sources.h"

using namespace daemonrun;

namespace {

// A command found on PATH, empty when not.
std::string onPath(const std::string& name)
{
    const char* path = getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');) {
        const std::string candidate = d + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

void putLe(std::string& out, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

// A 16-bit stereo 48 kHz WAV whose frame i carries the counter first + i
// (first >= 1: no frame is mute, so the pre-roll cannot be mistaken for
// audio); its sample bytes.
std::string writeCounterWav(const std::string& path, uint32_t frames, uint32_t first)
{
    constexpr uint32_t kChannels = 2;
    constexpr uint32_t kRate = 48000;
    std::string data(size_t{frames} * kChannels * 2, '\0');
    for (uint32_t i = 0; i < frames; ++i) {
        testbed::writeCounterFrame(reinterpret_cast<uint8_t*>(&data[size_t{i} * kChannels * 2]),
                                   QUORVIN::QUORVIN_BR_FORMAT_PCM16, kChannels, first + i);
    }
    std::string file = "RIFF";
    putLe(file, static_cast<uint32_t>(36 + data.size()), 4);
    file += "WAVEfmt ";
    putLe(file, 16, 4);
    putLe(file, 1, 2);
    putLe(file, kChannels, 2);
    putLe(file, kRate, 4);
    putLe(file, kRate * kChannels * 2, 4);
    putLe(file, kChannels * 2, 2);
    putLe(file, 16, 2);
    file += "data";
    putLe(file, static_cast<uint32_t>(data.size()), 4);
    std::ofstream(path, std::ios::binary) << file << data;
    return data;
}

class DaemonAlsa : public DaemonRun {
protected:
    void SetUp() override
    {
        plugin = buildDir() + "/testbed/libasound_module_pcm_quorvin.so";
        if (!std::filesystem::exists(plugin)) {
            GTEST_SKIP() << "the ALSA plugin is not built (no alsa-lib: libasound2-dev)";
        }
        aplay = onPath("aplay");
        speakerTest = onPath("speaker-test");
        if (aplay.empty() || speakerTest.empty()) {
            GTEST_SKIP() << "aplay or speaker-test missing (alsa-utils)";
        }
        DaemonRun::SetUp();
    }

    // An ALSA configuration that keeps the system's and adds the card's PCM
    // "quorvin_card" through the plugin.
    std::string writeAlsaConfig(int card) const
    {
        const std::string path = dir + "/asound.conf";
        std::ofstream(path) << "<confdir:alsa.conf>\n"
                            << "pcm_type.quorvin { lib \"" << plugin << "\" }\n"
                            << "pcm.quorvin_card {\n  type quorvin\n  card \""
                            << testbed::driverCardFile(standinDir, card) << "\"\n  events \"" << standinDir << "/"
                            << testbed::kDriverEventsFile << "\"\n}\n";
        return path;
    }

    // An ALSA program in the host namespace with that configuration; its exit status.
    // The application in a real-time class, as an audio player's thread is,
    // at the stand-ins' priority: a busy machine must not starve its ring,
    // nor may it outrank the daemon.
    int runAlsa(int card, std::vector<std::string> argv, std::string* output) const
    {
        argv.insert(argv.begin(), {"chrt", "-f", std::to_string(testbed::kStandinPriority), "env",
                                   "ALSA_CONFIG_PATH=" + writeAlsaConfig(card)});
        return net.run(testnet::NetNamespaces::Host, argv, output);
    }

    // Emulator lines of a sink's stream that hold `part`.
    size_t streamLines(const std::string& sink, const std::string& part) const
    {
        std::istringstream in(emulatorOutput());
        size_t n = 0;
        for (std::string line; std::getline(in, line);) {
            n += line.rfind(sinks.at(sink).stream + " ", 0) == 0 && line.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    void aplayIsRecordedExactly(const std::vector<uint32_t>& lengths);

    std::string plugin;
    std::string aplay;
    std::string speakerTest;
};

// aplay plays WAV files into Main's card: the recording holds each file's
// samples byte for byte, each after mute (the pre-roll, the pause between
// files), and only mute after the last.
void DaemonAlsa::aplayIsRecordedExactly(const std::vector<uint32_t>& lengths)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const int card = cardOf("Main");
    ASSERT_GE(card, 0);
    std::vector<std::string> argv{aplay, "-D", "quorvin_card"};
    std::vector<std::string> files;
    uint32_t first = 1;
    for (size_t i = 0; i < lengths.size(); ++i) {
        argv.push_back(dir + "/counter" + std::to_string(i) + ".wav");
        files.push_back(writeCounterWav(argv.back(), lengths[i], first));
        first += lengths[i];
    }
    std::string output;
    ASSERT_EQ(runAlsa(card, argv, &output), 0) << output;
    // A stream for each file.
    const std::string last = "#" + std::to_string(files.size() - 1) + " disconnect";
    ASSERT_TRUE(testwait::waitFor([&] { return streamLines("Main", last) == 1; }, 10s)) << emulatorOutput();
    EXPECT_EQ(streamLines("Main", "#" + std::to_string(files.size()) + " "), 0U) << emulatorOutput();
    const std::string audio = readFile(sinks.at("Main").audio);
    size_t at = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        while (at + 4 <= audio.size() && audio.compare(at, 4, std::string(4, '\0')) == 0) {
            at += 4;
        }
        ASSERT_GE(audio.size(), at + files[i].size()) << "recorded " << audio.size() << " bytes, audio from " << at;
        size_t same = 0;
        while (same < files[i].size() && audio[at + same] == files[i][same]) {
            ++same;
        }
        ASSERT_EQ(same, files[i].size()) << "the recording differs from byte " << same << " of the samples\n"
                                          << streamDiagnosis();
        at += same;
    }
    EXPECT_EQ(audio.find_first_not_of('\0', at), std::string::npos);
    // The plugin left the card as it found it: open, no request.
    EXPECT_TRUE(testwait::waitFor(
        [&] {
            const std::string bytes = readFile(testbed::driverCardFile(standinDir, card));
            const auto* h = reinterpret_cast<const QUORVIN::BridgeMemHeader*>(bytes.data() + kRingBytes);
            return bytes.size() >= kRingBytes + sizeof(*h) && h->driverRequest == 0
                   && h->hostStatus == QUORVIN::QUORVIN_BR_STATUS_OPEN;
        },
        5s));
}

// About a second, not whole periods: the last period is part audio, part mute.
TEST_F(DaemonAlsa, AplayIsRecordedExactly)
{
    aplayIsRecordedExactly({48777});
}

// A tenth of a second, less than aplay's buffer: it never reaches its start
// threshold, and the drain starts it.
TEST_F(DaemonAlsa, AplayPlaysAFileShorterThanItsBuffer)
{
    aplayIsRecordedExactly({4800});
}

// aplay frees the parameters after a file and sets them again for the next:
// the plugin lets the first stream go and asks for a fresh one.
TEST_F(DaemonAlsa, AplayPlaysTwoFilesOneAfterTheOther)
{
    aplayIsRecordedExactly({30011, 20011});
}

// The parameters ALSA offers are the header's: its formats, channel counts
// and rates, period sizes and counts, and a buffer up to the card's ring.
TEST_F(DaemonAlsa, AplayIsOfferedTheHeadersParameters)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const int card = cardOf("Main");
    ASSERT_GE(card, 0);
    const std::string bytes = readFile(testbed::driverCardFile(standinDir, card));
    ASSERT_GE(bytes.size(), kRingBytes + sizeof(QUORVIN::BridgeMemHeader));
    QUORVIN::BridgeMemHeader h;
    std::memcpy(&h, bytes.data() + kRingBytes, sizeof(h));
    const auto range = [](uint64_t low, uint64_t high) {
        return low == high ? std::to_string(low) : "[" + std::to_string(low) + " " + std::to_string(high) + "]";
    };
    std::set<std::string> formats;
    const std::pair<uint64_t, const char*> names[] = {
        {QUORVIN::QUORVIN_BR_FORMAT_PCM16, "S16_LE"},     {QUORVIN::QUORVIN_BR_FORMAT_PCM24, "S24_3LE"},
        {QUORVIN::QUORVIN_BR_FORMAT_PCM32, "S32_LE"},     {QUORVIN::QUORVIN_BR_FORMAT_FLOAT32, "FLOAT_LE"},
        {QUORVIN::QUORVIN_BR_FORMAT_FLOAT64, "FLOAT64_LE"}};
    for (const auto& [code, name] : names) {
        if ((h.formatMask & code) != 0) {
            formats.insert(name);
        }
    }
    ASSERT_FALSE(formats.empty()) << std::hex << h.formatMask;
    uint64_t rateLow = UINT64_MAX;
    uint64_t rateHigh = 0;
    for (int bit = 0; bit < 64; ++bit) {
        const uint64_t hz = testbed::rateOfBit(h.rateMask & (uint64_t{1} << bit));
        if (hz != 0) {
            rateLow = std::min(rateLow, hz);
            rateHigh = std::max(rateHigh, hz);
        }
    }
    ASSERT_NE(h.channelMask, 0U);
    const uint64_t channelLow = static_cast<uint64_t>(__builtin_ctzll(h.channelMask)) + 1;
    const uint64_t channelHigh = 64 - static_cast<uint64_t>(__builtin_clzll(h.channelMask));

    const std::string wav = dir + "/short.wav";
    writeCounterWav(wav, 4800, 1);
    std::string output;
    ASSERT_EQ(runAlsa(card, {aplay, "--dump-hw-params", "-D", "quorvin_card", wav}, &output), 0) << output;
    std::map<std::string, std::string> dump;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon + 1 < line.size()) {
            dump[line.substr(0, colon)] = line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    std::istringstream formatWords(dump["FORMAT"]);
    std::set<std::string> offered{std::istream_iterator<std::string>(formatWords), {}};
    EXPECT_EQ(offered, formats) << output;
    EXPECT_EQ(dump["ACCESS"], "MMAP_INTERLEAVED RW_INTERLEAVED") << output;
    EXPECT_EQ(dump["CHANNELS"], range(channelLow, channelHigh)) << output;
    EXPECT_EQ(dump["RATE"], range(rateLow, rateHigh)) << output;
    EXPECT_EQ(dump["PERIOD_BYTES"], range(h.periodSizeMin, h.periodSizeMax)) << output;
    EXPECT_EQ(dump["PERIODS"], range(h.periodMin, h.periodMax)) << output;
    EXPECT_EQ(dump["BUFFER_BYTES"], range(uint64_t{h.periodSizeMin} * h.periodMin, kRingBytes)) << output;
}

// speaker-test plays two loops of its sine through both channels without an
// error, as one stream the sink records.
TEST_F(DaemonAlsa, SpeakerTestPlaysItsLoops)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    const int card = cardOf("Main");
    ASSERT_GE(card, 0);
    std::string output;
    ASSERT_EQ(runAlsa(card,
                      {speakerTest, "-D", "quorvin_card", "-c", "2", "-r", "48000", "-F", "S16_LE", "-t", "sine", "-l",
                       "2", "-b", "200000", "-p", "20000"},
                      &output),
              0)
        << output;
    EXPECT_EQ(output.find("error"), std::string::npos) << output;
    ASSERT_TRUE(testwait::waitFor([&] { return streamLines("Main", "#0 disconnect") == 1; }, 10s))
        << emulatorOutput();
    const std::string audio = readFile(sinks.at("Main").audio);
    EXPECT_NE(audio.find_first_not_of('\0'), std::string::npos) << "only mute recorded";
}

}  // namespace
