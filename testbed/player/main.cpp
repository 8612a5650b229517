// card-player NODE [options]: plays into a card node file the way an
// application and the driver together do. See testbed/README.md.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "testbed/StandinPriority.h"
#include "testbed/player/CardFormat.h"
#include "testbed/player/CardMap.h"
#include "testbed/player/CardPlayer.h"
#include "testbed/player/Sources.h"

namespace {

testbed::CardPlayer* g_player = nullptr;

void onSignal(int)
{
    if (g_player != nullptr) {
        g_player->requestStop();
    }
}

void usage()
{
    std::fputs(
        "usage: card-player NODE [options]\n"
        "  --events FILE        the driver stand-in's event block (else the header is polled)\n"
        "  --card N             card number in it (default: the node name's _N)\n"
        "  --ring-bytes N       ring bytes before the header (default: file size - 232)\n"
        "  --source counter|sine|wav   what to play (default counter)\n"
        "  --wav FILE           play a WAV file (PCM 16/24/32): format, rate, channels from it\n"
        "  --format F           pcm16 pcm24 pcm32 dsd dsd-lsb-little dsd-lsb-big dsd-msb-little dsd-msb-big\n"
        "  --rate HZ            sample rate; for DSD the one-bit rate (default 44100, DSD 2822400)\n"
        "  --channels N         (default 2)\n"
        "  --periods N          periods in the ring (default 8)\n"
        "  --period-frames N    frames per period (default about 10 ms)\n"
        "  --frames N           frames of the counter or sine (default endless)\n"
        "  --seconds S          stop after S seconds of RUN\n"
        "  --freq HZ            sine frequency (default 1000)\n"
        "  --amplitude A        sine amplitude, 0..1 (default 0.5)\n"
        "  --volume V           set the card volume to V (1..10001)\n"
        "  --volume-after P     ... once the host has read P periods (default 0)\n"
        "  --underrun-after N   stop refilling after N refills\n"
        "  --invalid KIND       period-count-0 period-count-high ring-too-big not-divisible\n"
        "                       partial-frame channel-bit format-not-offered format-code\n"
        "  --timeout MS         each wait on the host (default 10000)\n"
        "  --hold               keep the requests while the host shows the card open but\n"
        "                       not connected (it may connect again); end on its error\n"
        "                       status, when the card is no longer open, or on --timeout\n"
        "  --report-every N     a \"periods written\" line every N periods (default 16)\n",
        stderr);
}

bool number(const char* text, unsigned long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-';
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "card-player: %s\n", message.c_str());
    return testbed::PLAY_FAILED;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string node;
    std::string eventsPath;
    std::string wavPath;
    std::string sourceName = "counter";
    long long card = -1;
    unsigned long long ringBytes = 0;
    unsigned long long frames = 0;
    double frequency = 1000.0;
    double amplitude = 0.5;
    bool formatGiven = false;
    bool rateGiven = false;
    bool channelsGiven = false;
    testbed::PlayerOptions options;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        }
        if (arg.rfind("--", 0) != 0) {
            if (!node.empty()) {
                usage();
                return fail("one node only");
            }
            node = arg;
            continue;
        }
        if (arg == "--hold") {
            options.hold = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
            return fail(arg + " needs a value");
        }
        const char* value = argv[++i];
        unsigned long long n = 0;
        const bool isNumber = number(value, n);
        const auto bad = [&] { return fail("bad value for " + arg + ": " + value); };
        if (arg == "--events") {
            eventsPath = value;
        } else if (arg == "--card") {
            if (!isNumber || n >= testbed::DriverEvents::kCards) {
                return bad();
            }
            card = static_cast<long long>(n);
        } else if (arg == "--ring-bytes") {
            if (!isNumber || n == 0 || n % 8 != 0) {
                return bad();
            }
            ringBytes = n;
        } else if (arg == "--source") {
            sourceName = value;
            if (sourceName != "counter" && sourceName != "sine" && sourceName != "wav") {
                return bad();
            }
        } else if (arg == "--wav") {
            wavPath = value;
            sourceName = "wav";
        } else if (arg == "--format") {
            if (std::strcmp(value, "dsd") == 0 || std::strcmp(value, "DSD") == 0) {
                options.format = testbed::kDsdFormats;
            } else if (!testbed::parseFormatName(value, options.format)) {
                return bad();
            }
            formatGiven = true;
        } else if (arg == "--rate") {
            if (!isNumber || n == 0) {
                return bad();
            }
            options.rate = n;
            rateGiven = true;
        } else if (arg == "--channels") {
            if (!isNumber || n == 0 || n > 64) {
                return bad();
            }
            options.channels = static_cast<uint32_t>(n);
            channelsGiven = true;
        } else if (arg == "--periods") {
            if (!isNumber || n == 0 || n > UINT32_MAX) {
                return bad();
            }
            options.periods = static_cast<uint32_t>(n);
        } else if (arg == "--period-frames") {
            if (!isNumber || n == 0 || n > UINT32_MAX) {
                return bad();
            }
            options.periodFrames = static_cast<uint32_t>(n);
        } else if (arg == "--frames") {
            if (!isNumber || n == 0) {
                return bad();
            }
            frames = n;
        } else if (arg == "--seconds" || arg == "--freq" || arg == "--amplitude") {
            char* end = nullptr;
            const double d = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(d > 0) || (arg == "--amplitude" && d > 1)) {
                return bad();
            }
            (arg == "--seconds" ? options.seconds : arg == "--freq" ? frequency : amplitude) = d;
        } else if (arg == "--volume") {
            if (!isNumber || n == 0 || n > 10001) {
                return bad();
            }
            options.volume = static_cast<int32_t>(n);
        } else if (arg == "--volume-after") {
            if (!isNumber) {
                return bad();
            }
            options.volumeAfter = n;
        } else if (arg == "--underrun-after") {
            if (!isNumber || n > INT64_MAX) {
                return bad();
            }
            options.underrunAfter = static_cast<int64_t>(n);
        } else if (arg == "--invalid") {
            if (!testbed::parseInvalidHeader(value, options.invalid)) {
                return bad();
            }
        } else if (arg == "--timeout") {
            if (!isNumber || n == 0 || n > 24ull * 3600 * 1000) {
                return bad();
            }
            options.timeout = std::chrono::milliseconds(n);
        } else if (arg == "--report-every") {
            if (!isNumber || n > UINT32_MAX) {
                return bad();
            }
            options.reportEvery = static_cast<uint32_t>(n);
        } else {
            usage();
            return fail("unknown option " + arg);
        }
    }
    if (node.empty()) {
        usage();
        return fail("no card node given");
    }

    // The source, and from a WAV file the format it fixes.
    std::unique_ptr<testbed::Source> source;
    if (sourceName == "wav") {
        if (wavPath.empty()) {
            return fail("--source wav needs --wav FILE");
        }
        auto wav = std::make_unique<testbed::WavSource>();
        std::string error;
        if (!wav->open(wavPath, error)) {
            return fail(wavPath + ": " + error);
        }
        const testbed::WavInfo& info = wav->info();
        if ((formatGiven && options.format != info.format) || (rateGiven && options.rate != info.rate)
            || (channelsGiven && options.channels != info.channels)) {
            return fail(wavPath + ": the file is " + testbed::formatName(info.format) + " " + std::to_string(info.rate)
                        + " Hz " + std::to_string(info.channels) + " channels, not what the options ask");
        }
        options.format = info.format;
        options.rate = info.rate;
        options.channels = info.channels;
        source = std::move(wav);
    } else if (testbed::isDsdFormat(options.format) || options.format == testbed::kDsdFormats) {
        if (!rateGiven) {
            options.rate = 2822400;
        }
    }

    testbed::CardMapping mapping;
    std::string error;
    if (!testbed::mapCard(node, ringBytes, mapping, error)) {
        return fail(error);
    }
    testbed::CardPlayer player(mapping.ring, mapping.ringBytes);
    const testbed::DriverEvents* block = nullptr;
    if (!eventsPath.empty()) {
        if (card < 0) {
            card = testbed::cardOfNode(node);
        }
        if (card < 0) {
            return fail("--events needs --card N: no card number in " + node);
        }
        block = testbed::mapEvents(eventsPath, error);
        if (block == nullptr) {
            return fail(error);
        }
        player.setEvents(block, static_cast<int>(card));
    }

    const auto make = [&](uint64_t format) -> std::unique_ptr<testbed::Source> {
        if (sourceName == "wav") {
            return std::move(source);
        }
        if (sourceName == "sine") {
            return std::make_unique<testbed::SineSource>(format, options.channels, options.rate, frequency, amplitude,
                                                         frames);
        }
        return std::make_unique<testbed::CounterSource>(format, options.channels, frames);
    };

    g_player = &player;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // An application feeds its ring from a real-time thread: a busy machine
    // must not starve the ring, nor may the player outrank the daemon.
    if (!testbed::becomeStandinRealtime()) {
        std::fputs("card-player: no real-time priority; playing at normal priority\n", stderr);
    }
    const int result = player.play(make, options);
    g_player = nullptr;
    testbed::unmapEvents(block);
    testbed::unmapCard(mapping);
    return result;
}
