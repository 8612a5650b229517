// The emulator's configuration: the settings file, the behaviour texts, the
// message names and the request log line.
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstring>
#include <string>
#include <vector>

#include "HostSocket.h"
#include "foundation/FileInf.h"
#include "testbed/emulator/MessageNames.h"
#include "testbed/emulator/Request.h"
#include "testbed/emulator/TargetConfig.h"
#include "testbed/emulator/TargetEmulator.h"

namespace {

using testbed::Behaviour;
using testbed::SinkConfig;
using testbed::TargetConfig;

bool parse(const std::string& text, TargetConfig& config, std::string& error)
{
    TIVRA::FileInf settings;
    settings.set_string(text);
    return testbed::parseTargetConfig(settings, config, error);
}

std::string samplePath()
{
    const std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../../testbed/emulator/sample-target.inf";
}

TEST(TargetConfig, ReadsEveryKey)
{
    const std::string text =
        "[target]\n"
        "name = Living Room\n"
        "address = fe80::1234\n"
        "ifindex = 3\n"
        "records = 50\n"
        "[sink.0]\n"
        "name = Main\n"
        "port = 40000\n"
        "support = 0x110E00\n"
        "pcm = 0x3E00000E02\n"
        "dsdLsb = 0x60202510002\n"
        "dsdMsb = 0x60202610002\n"
        "cycleMin = 52\n"
        "cycleMax = 0x0411\n"
        "profile = 0x2E\n"
        "latency = 700\n"
        "hwLatency = 35\n"
        "latencyPolicy = clamp\n"
        "latencyMin = 300\n"
        "latencyMax = 1800\n"
        "mtu = 9000\n"
        "perCycle = 15000\n"
        "pathMax = 8936\n"
        "pathOversize = truncate\n"
        "wantName = yes\n"
        "behaviour.LATENCY_REQ = silent\n"
        "behaviour.20 = refuse repeat=2 before=tag delay=15ms\n";
    TargetConfig c;
    std::string error;
    ASSERT_TRUE(parse(text, c, error)) << error;
    EXPECT_EQ(c.name, "Living Room");
    TIVRA::IPAddress expected;
    ASSERT_TRUE(expected.set_V6_str("fe80::1234"));
    EXPECT_EQ(0, std::memcmp(c.address.addr, expected.addr, 16));
    EXPECT_EQ(c.address.ifindex, 3u);
    EXPECT_EQ(c.recordLimit, 50u);
    ASSERT_EQ(c.sinks.size(), 1u);
    const SinkConfig& s = c.sinks[0];
    EXPECT_EQ(s.name, "Main");
    EXPECT_EQ(s.port, 40000);
    EXPECT_EQ(s.supportSummary, 0x110E00u);
    EXPECT_EQ(s.supportPCM, 0x3E00000E02u);
    EXPECT_EQ(s.supportDSDlsb, 0x60202510002u);
    EXPECT_EQ(s.supportDSDmsb, 0x60202610002u);
    EXPECT_EQ(s.cycleMin, 52);
    EXPECT_EQ(s.cycleMax, 1041);
    EXPECT_EQ(s.profileFlags, 0x2E);
    EXPECT_EQ(s.latency, 700);
    EXPECT_EQ(s.hwLatency, 35);
    EXPECT_EQ(s.latencyPolicy, testbed::LatencyPolicy::CLAMP);
    EXPECT_EQ(s.latencyMin, 300);
    EXPECT_EQ(s.latencyMax, 1800);
    EXPECT_EQ(s.mtu, 9000);
    EXPECT_EQ(s.perCycle, 15000);
    EXPECT_EQ(s.pathMax, 8936);
    EXPECT_EQ(s.pathOversize, testbed::PathOversize::TRUNCATE);
    EXPECT_TRUE(s.wantName);
    ASSERT_EQ(s.behaviours.size(), 2u);
    EXPECT_EQ(s.behaviours.at(QUORVIN::LATENCY_REQ), Behaviour{.mode = Behaviour::SILENT});
    EXPECT_EQ(s.behaviours.at(QUORVIN::PARAMETER_REQ),
              (Behaviour{.mode = Behaviour::REFUSE, .onRepeat = 2, .before = Behaviour::BAD_TAG, .delayUs = 15000}));
}

TEST(TargetConfig, ReadsTheStreamAndLogRelayKeys)
{
    const std::string text =
        "[target]\n"
        "logPort = 19642\n"
        "logLine.2 = third\n"
        "logLine.0 = first\n"
        "logLine.10 = last\n"
        "logAck = 0\n"
        "logDropLine = not for the log\n"
        "[sink.0]\n"
        "dataPort = 40001\n"
        "connectPhase = inverted\n"
        "streamPhase = 0x80\n"
        "feedback = ratio\n"
        "answerFrom = other-port\n"
        "ppm = -300\n"
        "targetLevel = 150ms\n"
        "startLevel = 100ms\n"
        "startAfter = 2500\n"
        "capacity = 1000ms\n"
        "dropShare = 0.015\n"
        "dropSeed = 99\n"
        "dropEvery = 50\n"
        "dropCounters = 5, 70000 0x10\n"
        "dropInfo = 1\n"
        "resendBackAfter = 1000\n"
        "resendBack = 20000\n"
        "disconnectAnswer = 3\n"
        "endAfter = 5000\n"
        "silentAfter = 6000\n"
        "audioFile = /tmp/sink0.raw\n"
        "[sink.1]\n"
        "connectPhase = none\n"
        "feedback = 2\n"
        "ppm = +250\n"
        "disconnectAnswer = never\n";
    TargetConfig c;
    std::string error;
    ASSERT_TRUE(parse(text, c, error)) << error;
    EXPECT_EQ(c.logPort, 19642);
    EXPECT_EQ(c.logLines, (std::vector<std::string>{"first", "third", "last"}));
    EXPECT_FALSE(c.logAck);
    EXPECT_EQ(c.logDropLine, "not for the log");
    ASSERT_EQ(c.sinks.size(), 2u);
    const SinkConfig& s = c.sinks[0];
    EXPECT_EQ(s.dataPort, 40001);
    const testbed::StreamBehaviour& b = s.stream;
    EXPECT_EQ(b.connectPhase, QUORVIN::STATUS_PHASE_VALID);
    EXPECT_EQ(b.streamPhase, QUORVIN::STATUS_PHASE_NORMAL);
    EXPECT_EQ(b.feedback, testbed::StreamBehaviour::FEEDBACK_RATIO);
    EXPECT_EQ(b.answerFrom, testbed::StreamBehaviour::FROM_OTHER_PORT);
    EXPECT_EQ(b.ppm, -300);
    EXPECT_EQ(b.targetLevelUs, 150000u);
    EXPECT_EQ(b.startLevelUs, 100000u);
    EXPECT_EQ(b.startAfterUs, 2500u);
    EXPECT_EQ(b.capacityUs, 1000000u);
    EXPECT_DOUBLE_EQ(b.dropShare, 0.015);
    EXPECT_EQ(b.dropSeed, 99u);
    EXPECT_EQ(b.dropEvery, 50u);
    EXPECT_EQ(b.dropCounters, (std::vector<uint64_t>{5, 70000, 16}));
    EXPECT_TRUE(b.dropInfo);
    EXPECT_EQ(b.resendBackAfter, 1000u);
    EXPECT_EQ(b.resendBack, 20000);
    EXPECT_EQ(b.disconnectAnswer, 3);
    EXPECT_EQ(b.endAfter, 5000u);
    EXPECT_EQ(b.silentAfter, 6000u);
    EXPECT_EQ(b.audioFile, "/tmp/sink0.raw");
    const testbed::StreamBehaviour& b1 = c.sinks[1].stream;
    EXPECT_EQ(b1.connectPhase, 0);
    EXPECT_EQ(b1.streamPhase, QUORVIN::STATUS_PHASE_VALID | QUORVIN::STATUS_PHASE_NORMAL);  // the default
    EXPECT_EQ(b1.feedback, testbed::StreamBehaviour::FEEDBACK_OFFSET);
    EXPECT_EQ(b1.ppm, 250);
    EXPECT_EQ(b1.disconnectAnswer, 0);
    EXPECT_FALSE(TargetConfig{}.logPort);  // off unless asked for

    // The program's --set takes the same keys one at a time.
    SinkConfig one;
    ASSERT_TRUE(testbed::parseSinkKey("ppm", "-12", one, error)) << error;
    EXPECT_EQ(one.stream.ppm, -12);
    EXPECT_FALSE(testbed::parseSinkKey("ppm", "12x", one, error));
    EXPECT_EQ(error.rfind("ppm: ", 0), 0u) << error;
}

TEST(TargetConfig, FindsItsSinks)
{
    struct Case {
        const char* text;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {"", {"Output 0"}},
        {"[sink.0]\nname = A\n[sink.1]\nname = B\n", {"A", "B"}},
        // Numbering stops at the first gap.
        {"[sink.0]\nname = A\n[sink.2]\nname = C\n", {"A"}},
        // A count; sinks without a group of their own read [sink].
        {"[target]\nsinks = 3\n[sink]\nname = Shared\n[sink.1]\nname = B\n", {"Shared", "B", "Shared"}},
        {"[target]\nsinks = 2\n", {"Output 0", "Output 1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TargetConfig config;
        std::string error;
        ASSERT_TRUE(parse(c.text, config, error)) << error;
        std::vector<std::string> names;
        for (const SinkConfig& s : config.sinks) {
            names.push_back(s.name);
        }
        EXPECT_EQ(names, c.names);
    }
}

TEST(TargetConfig, RefusesWhatItCannotUse)
{
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"[sink.0]\nlatncy = 5\n", "[sink.0] latncy: unknown key"},
        {"[target]\nnmae = x\n", "[target] nmae: unknown key"},
        {"[sink.0]\nlatency = 70000\n", "[sink.0] latency: not a number"},
        {"[sink.0]\nmtu = 1500 ; bytes\n", "[sink.0] mtu: not a number"},
        {"[sink.0]\npcm = -1\n", "[sink.0] pcm: not a number"},
        {"[sink.0]\npathMax = 65513\n", "[sink.0] pathMax: not a number"},
        {"[sink.0]\nlatencyPolicy = maybe\n", "[sink.0] latencyPolicy"},
        {"[sink.0]\npathOversize = bounce\n", "[sink.0] pathOversize"},
        {"[sink.0]\nwantName = 2\n", "[sink.0] wantName"},
        {"[sink.0]\nbehaviour.NOSUCH_REQ = silent\n", "[sink.0] behaviour.NOSUCH_REQ: unknown message"},
        {"[sink.0]\nbehaviour.LATENCY_REQ = sulk\n", "[sink.0] behaviour.LATENCY_REQ: bad behaviour"},
        {"[sink.0]\nlatencyMin = 9\nlatencyMax = 8\n", "[sink.0] latencyMin is above latencyMax"},
        {"[sink]\nport = x\n", "[sink] port"},
        {"[target]\nsinks = 0\n", "[target] sinks"},
        {"[target]\nsinks = 65\n", "[target] sinks"},
        {"[target]\naddress = 1.2.3.4\n", "[target] address"},
        {"[target]\nlogPort = on\n", "[target] logPort"},
        {"[target]\nlogLine.x = a\n", "[target] logLine.x: unknown key"},
        {"[target]\nlogLine.1000 = a\n", "[target] logLine.1000: unknown key"},
        {"[target]\nlogAck = maybe\n", "[target] logAck"},
        {"[sink.0]\nppm = 100001\n", "[sink.0] ppm"},
        {"[sink.0]\nppm = --3\n", "[sink.0] ppm"},
        {"[sink.0]\ndropShare = 1.5\n", "[sink.0] dropShare"},
        {"[sink.0]\ndropShare = -0.1\n", "[sink.0] dropShare"},
        {"[sink.0]\ndropShare = 1e-3\n", "[sink.0] dropShare"},
        {"[sink.0]\ndropCounters = 1, x\n", "[sink.0] dropCounters"},
        {"[sink.0]\nconnectPhase = 0x101\n", "[sink.0] connectPhase"},
        {"[sink.0]\nstreamPhase = upside-down\n", "[sink.0] streamPhase"},
        {"[sink.0]\nfeedback = 4\n", "[sink.0] feedback"},
        {"[sink.0]\nanswerFrom = elsewhere\n", "[sink.0] answerFrom"},
        {"[sink.0]\ntargetLevel = 2h\n", "[sink.0] targetLevel"},
        {"[sink.0]\nresendBack = 65536\n", "[sink.0] resendBack"},
        {"[sink.0]\ndisconnectAnswer = sometimes\n", "[sink.0] disconnectAnswer"},
        {"[sink.0]\ndataPort = 65536\n", "[sink.0] dataPort"},
        {"[target]\ndiscoveryPort = on\n", "[target] discoveryPort"},
        {"[target]\nbehaviour.PORT_REQ#x = silent\n", "[target] behaviour.PORT_REQ#x: bad number"},
        {"[target]\nbitmapBytes = 65513\n", "[target] bitmapBytes"},
        {"[port.0]\nport = 5\n", "[port.0] a sink number"},
        {"[port.1]\nsink = 64\n", "[port.1] sink"},
        {"[status.1]\npeer = nowhere\n", "[status.1] peer"},
        {"[status.1]\ncolour = red\n", "[status.1] colour: unknown key"},
        {"[sink.0]\nnodeInfo = 1 2 3\n", "[sink.0] nodeInfo"},
        {"[sink.0]\ncontrol.1 = loudness\n", "[sink.0] control.1: bad control item"},
        {"[sink.0]\ncontrol.2 = volume\n", "[sink.0] control.1 is missing"},
        {"[sink.0]\ncontrol.1 = volume min=-40000\n", "[sink.0] control.1: bad control item"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TargetConfig config = TargetConfig::withSinks(3);
        std::string error;
        EXPECT_FALSE(parse(c.text, config, error));
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(config.sinks.size(), 3u);  // untouched
    }
}

TEST(TargetConfig, ReadsTheDiscoveryAndControlKeys)
{
    const std::string text =
        "[target]\n"
        "discoveryPort = 0\n"
        "answerMulticast = 0\n"
        "productId = 0x1234\n"
        "description = ctl=[myaddress]:80\n"
        "otherAddress = fe80::9%3\n"
        "sinkCount = 65535\n"
        "sinkCount1 = 2\n"
        "countKind = 2\n"
        "bitmapBytes = 1000\n"
        "statusCount = 3\n"
        "behaviour.FIND_REQ = silent nth=2\n"
        "behaviour.PORT_REQ#3 = wrong-echo\n"
        "[port.3]\n"
        "sink = 1\n"
        "name = Third\n"
        "[port.7]\n"
        "port = 4000\n"
        "version = 2\n"
        "[status.1]\n"
        "state = 0\n"
        "sink = 1\n"
        "peer = fe80::5\n"
        "peerSink = 2\n"
        "peerName = Kitchen\n"
        "payloadBytes = 10\n"
        "[status.2]\n"
        "port = 999\n"
        "[sink.0]\n"
        "version = 4\n"
        "nodeInfo = 1, 2, 0x30, 4\n"
        "controlCount = 40000\n"
        "control.1 = play follow=0 status=2 value=0x20202\n"
        "control.2 = volume value=-600 min=-8000 max=0\n"
        "behaviour.CONTROLVALUE_REQ#2 = flood=3\n"
        "[sink.1]\n"
        "name = Second\n";
    TargetConfig config;
    std::string error;
    ASSERT_TRUE(parse(text, config, error)) << error;
    const testbed::DiscoveryConfig& d = config.discovery;
    EXPECT_EQ(d.port, 0);
    EXPECT_FALSE(d.answerMulticast);
    EXPECT_EQ(d.productId, 0x1234u);
    EXPECT_EQ(d.description, "ctl=[myaddress]:80");
    ASSERT_TRUE(config.otherAddress);
    EXPECT_EQ(config.otherAddress->ifindex, 3u);
    EXPECT_EQ(d.sinkCount, 65535);
    EXPECT_EQ(d.sinkCount1, 2);
    EXPECT_EQ(d.countKind, 2);
    EXPECT_EQ(d.bitmapBytes, 1000);
    EXPECT_EQ(d.statusCount, 3);
    EXPECT_EQ(d.behaviours.at(QUORVIN::FIND_REQ), (Behaviour{.mode = Behaviour::SILENT, .nth = 2}));
    EXPECT_EQ(d.numberedBehaviours.at({QUORVIN::PORT_REQ, 3}), Behaviour{.mode = Behaviour::WRONG_ECHO});
    ASSERT_EQ(d.ports.size(), 2u);
    EXPECT_EQ(d.ports.at(3), (testbed::PortEntry{.sink = 1, .port = 0, .version = std::nullopt, .name = "Third"}));
    EXPECT_EQ(d.ports.at(7),
              (testbed::PortEntry{.sink = std::nullopt, .port = 4000, .version = 2, .name = std::nullopt}));
    ASSERT_TRUE(d.status);
    ASSERT_EQ(d.status->size(), 2u);
    const testbed::StatusEntry& e = (*d.status)[0];
    EXPECT_EQ(e.state, 0);
    EXPECT_EQ(e.sink, 1u);
    EXPECT_EQ(e.peer.addr[0], 0xFE);
    EXPECT_EQ(e.peer.addr[15], 5);
    EXPECT_EQ(e.peerSink, 2);
    EXPECT_EQ(e.peerName, "Kitchen");
    EXPECT_EQ(e.payloadBytes, 10u);
    EXPECT_EQ((*d.status)[1].port, 999);
    EXPECT_EQ((*d.status)[1].state, 1);

    const SinkConfig& s = config.sinks[0];
    EXPECT_EQ(s.version, 4);
    EXPECT_EQ(s.nodeInfo[2], 0x30);
    EXPECT_EQ(s.controlCount, 40000);
    ASSERT_EQ(s.controls.size(), 2u);
    EXPECT_EQ(s.controls[0],
              (testbed::ControlItem{
                  .type = testbed::ControlItem::PLAY, .value = 0x20202, .status = 2, .followStream = false}));
    EXPECT_EQ(s.controls[1].value, 0xFFFFFFFFFDA8ULL);
    EXPECT_TRUE(s.controls[1].clamp);
    EXPECT_EQ(s.controls[1].minimum, -8000);
    EXPECT_EQ(s.controls[1].maximum, 0);
    EXPECT_EQ(s.numberedBehaviours.at({QUORVIN::CONTROLVALUE_REQ, 2}), Behaviour{.flood = 3});
    EXPECT_EQ(config.sinks[1].controls, SinkConfig{}.controls);  // the default play and volume items
}

TEST(TargetConfig, LoadsTheSampleAndRunsFromIt)
{
    TargetConfig config;
    std::string error;
    ASSERT_TRUE(testbed::loadTargetConfig(samplePath(), config, error)) << error;
    EXPECT_EQ(config.name, "Sample Target");
    ASSERT_EQ(config.sinks.size(), 2u);
    EXPECT_EQ(config.sinks[0].name, "Main");
    EXPECT_EQ(config.sinks[0].summary(), 0x110E00u);
    EXPECT_EQ(config.sinks[1].name, "Headphones");
    EXPECT_TRUE(config.sinks[1].wantName);
    EXPECT_TRUE(config.sinks[1].behaviours.empty());
    ASSERT_EQ(config.discovery.icons.icons.size(), 2u);
    EXPECT_EQ(config.discovery.icons.icons.at({2, 1}).format, 2);

    testbed::TargetEmulator emulator;
    ASSERT_TRUE(emulator.start(config));
    testbed_test::HostSocket host;
    ASSERT_TRUE(host.ok());
    QUORVIN::SendBuffer wanted;
    wanted.set(QUORVIN::LATENCY_REQ, 0, 5000);
    wanted.update();
    const auto answer = host.exchange(emulator.sinkAddress(1), wanted);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.getOption0(), 2000);  // clamped to latencyMax
    EXPECT_EQ(answer->bytes.getOption1(), 5);
}

TEST(TargetConfig, ReportsAFileItCannotRead)
{
    TargetConfig config;
    std::string error;
    EXPECT_FALSE(testbed::loadTargetConfig("/nonexistent/target.inf", config, error));
    EXPECT_NE(error.find("/nonexistent/target.inf"), std::string::npos);
}

TEST(TargetConfig, DerivesTheSummaryFromTheMasks)
{
    struct Case {
        uint64_t pcm, lsb, msb;
        uint64_t summary;
    };
    const Case cases[] = {
        {0x3E00000E02, 0, 0, 0x0E00},
        {0, 0x60202510002, 0, 0x110000},
        {0x602, 0x60202510002, 0x60202610002, 0x310600},
        {0, 0, 0x2000000002, 0x210000},  // a DSD mask without its format bits still announces DSD
        {0x02, 0, 0, 0},                 // no sample format: nothing to offer
    };
    for (const Case& c : cases) {
        SinkConfig s;
        s.supportPCM = c.pcm;
        s.supportDSDlsb = c.lsb;
        s.supportDSDmsb = c.msb;
        EXPECT_EQ(s.summary(), c.summary) << std::hex << c.pcm << " " << c.lsb << " " << c.msb;
        s.supportSummary = 0x1234;
        EXPECT_EQ(s.summary(), 0x1234u);
    }
}

TEST(Behaviour, ParsesItsTextForm)
{
    struct Case {
        const char* text;
        Behaviour expected;
    };
    const Case cases[] = {
        {"", Behaviour{}},
        {"answer", Behaviour{}},
        {"silent", Behaviour{.mode = Behaviour::SILENT}},
        {"refuse", Behaviour{.mode = Behaviour::REFUSE}},
        {"echo", Behaviour{.mode = Behaviour::ECHO}},
        {"other-port", Behaviour{.mode = Behaviour::OTHER_PORT}},
        {"repeat=3", Behaviour{.onRepeat = 3}},
        {"before=short", Behaviour{.before = Behaviour::SHORT}},
        {"before=length,delay=250", Behaviour{.before = Behaviour::BAD_LENGTH, .delayUs = 250}},
        {"echo before=other-id delay=20ms",
         Behaviour{.mode = Behaviour::ECHO, .before = Behaviour::OTHER_ID, .delayUs = 20000}},
        {"  refuse   delay=0x10us ", Behaviour{.mode = Behaviour::REFUSE, .delayUs = 16}},
        {"other-address copies=2", Behaviour{.mode = Behaviour::OTHER_ADDRESS, .copies = 2}},
        {"wrong-echo nth=3", Behaviour{.mode = Behaviour::WRONG_ECHO, .nth = 3}},
        {"malformed=pad", Behaviour{.mode = Behaviour::MALFORMED, .malformed = Behaviour::BAD_PAD}},
        {"flood=40 stray=stale before=pad delay=150ms",
         Behaviour{.before = Behaviour::BAD_PAD, .delayUs = 150000, .flood = 40, .stray = Behaviour::STRAY_STALE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Behaviour b{.mode = Behaviour::SILENT, .onRepeat = 9};
        ASSERT_TRUE(testbed::parseBehaviour(c.text, b));
        EXPECT_EQ(b, c.expected);
        Behaviour again;
        ASSERT_TRUE(testbed::parseBehaviour(testbed::behaviourText(b), again)) << testbed::behaviourText(b);
        EXPECT_EQ(again, b);
    }
    for (const char* bad : {"sulk", "silent refuse", "repeat=", "repeat=70000", "before=junk", "delay=5s", "delay=-1",
                            "delay=3600000001", "colour=red", "Silent", "malformed=nothing", "silent malformed=short",
                            "copies=65536", "stray=fresh", "nth=x"}) {
        Behaviour b;
        EXPECT_FALSE(testbed::parseBehaviour(bad, b)) << bad;
    }
}

TEST(ConfigNumbers, ParseDecimalAndHexWithinTheirLimit)
{
    struct Case {
        const char* text;
        uint64_t max;
        bool ok;
        uint64_t value;
    };
    const Case cases[] = {
        {"0", 10, true, 0},
        {"65535", 0xFFFF, true, 65535},
        {"65536", 0xFFFF, false, 0},
        {"0xFFFF", 0xFFFF, true, 65535},
        {"0x10000", 0xFFFF, false, 0},
        {"0Xab", 0xFFFF, true, 0xAB},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"0xFFFFFFFFFFFFFFFF", UINT64_MAX, true, UINT64_MAX},
        {"0x1FFFFFFFFFFFFFFFF", UINT64_MAX, false, 0},
        {"010", 100, true, 10},  // decimal, not octal
        {"", 10, false, 0},
        {"0x", 10, false, 0},
        {"12a", 1000, false, 0},
        {"+1", 10, false, 0},
        {" 1", 10, false, 0},
    };
    for (const Case& c : cases) {
        uint64_t v = 77;
        EXPECT_EQ(testbed::parseNumber(c.text, c.max, v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 77) << c.text;
    }
}

TEST(ConfigNumbers, AddressesTakeAScopeByNumberOrName)
{
    TIVRA::IPAddress a;
    ASSERT_TRUE(testbed::parseAddress("::1", a));
    EXPECT_EQ(a, TargetConfig::loopback());
    ASSERT_TRUE(testbed::parseAddress("fe80::1%3", a));
    EXPECT_EQ(a.ifindex, 3u);
    EXPECT_EQ(a.addr[0], 0xFE);
    ASSERT_TRUE(testbed::parseAddress("fe80::1%lo", a));
    EXPECT_EQ(a.ifindex, if_nametoindex("lo"));
    EXPECT_FALSE(testbed::parseAddress("fe80::1%no-such-interface", a));
    EXPECT_FALSE(testbed::parseAddress("fe80::1%", a));
    EXPECT_FALSE(testbed::parseAddress("not an address", a));
}

TEST(MessageNames, TranslateBothWays)
{
    EXPECT_EQ(testbed::messageName(QUORVIN::SUPPORT_ANS), "SUPPORT_ANS");
    EXPECT_EQ(testbed::messageName(QUORVIN::NODEINFO_REQ), "NODEINFO_REQ");
    EXPECT_EQ(testbed::messageName(38), "38");
    QUORVIN::MessageID m = 0;
    ASSERT_TRUE(testbed::messageByName("PROBE_REQ", m));
    EXPECT_EQ(m, QUORVIN::PROBE_REQ);
    ASSERT_TRUE(testbed::messageByName("65535", m));
    EXPECT_EQ(m, 65535);
    for (const char* bad : {"probe_req", "65536", "", "4x", "PROBE_REQ "}) {
        EXPECT_FALSE(testbed::messageByName(bad, m)) << bad;
    }
}

TEST(RequestLine, NamesTheMessageAndItsFields)
{
    testbed::Request r;
    r.sink = 1;
    r.order = 12;
    r.source = TargetConfig::loopback();
    r.source.setPort(40000);
    r.repeat = 2;
    r.valid = true;
    r.message = QUORVIN::SYNCNAME_REQ;
    r.status = QUORVIN::STATUS_OK;
    r.option = 0x2A;
    r.payload = {'h', 'o', 's', 't'};
    EXPECT_EQ(testbed::describeRequest(r),
              "sink 1 #12 from ::1,40000 SYNCNAME_REQ(24) status 0x0001 option 0x000000000000002a data 4 "
              "[68 6f 73 74] repeat 2");
    r.payload.assign(40, 0);
    EXPECT_NE(testbed::describeRequest(r).find("data 40 [00 00"), std::string::npos);
    EXPECT_NE(testbed::describeRequest(r).find(" ...] repeat 2"), std::string::npos);
    r.valid = false;
    r.datagram.assign(15, 0);
    EXPECT_EQ(testbed::describeRequest(r), "sink 1 #12 from ::1,40000 invalid datagram 15 bytes");
    // The stream's data socket and the log relay port say where they came.
    r.channel = testbed::Request::Channel::DATA;
    EXPECT_EQ(testbed::describeRequest(r), "sink 1 data #12 from ::1,40000 invalid datagram 15 bytes");
    r.channel = testbed::Request::Channel::LOG;
    EXPECT_EQ(testbed::describeRequest(r), "log #12 from ::1,40000 invalid datagram 15 bytes");
}

}  // namespace
