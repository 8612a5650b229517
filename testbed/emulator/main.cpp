// target-emulator: one or more emulated targets on ::1 or link-local
// addresses, for running the bridge or its tests against. Prints the sinks'
// ports, then one line per datagram a sink or a discovery port receives
// (stream packets aside) and one report line per stream; ends on SIGINT,
// SIGTERM or SIGHUP. With --control, takes commands that change the
// targets while they run (RuntimeControl.h) and answers each with a line.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testbed/emulator/MessageNames.h"
#include "testbed/emulator/Request.h"
#include "testbed/emulator/RuntimeControl.h"
#include "testbed/emulator/StreamRecord.h"
#include "testbed/emulator/TargetConfig.h"
#include "testbed/emulator/TargetEmulator.h"

namespace {

// A long run keeps only the latest requests per sink; the log has them all.
constexpr size_t kDefaultRecords = 1000;

const char* const kUsage =
    "usage: target-emulator [--config FILE] [--address ADDR[%SCOPE]] [--ifindex N] [--name NAME]\n"
    "                       [--sinks N] [--records N] [--behaviour SINK:MESSAGE=ACTION]...\n"
    "                       [--set SINK:KEY=VALUE]... [--log-port off|N] [--log-line TEXT]...\n"
    "                       [--discovery-port off|N] [--discovery MESSAGE=ACTION]...\n"
    "                       [--control FIFO|-]\n"
    "  SINK is a sink number or '*' for every sink; MESSAGE a request name (LATENCY_REQ) or number,\n"
    "  with #N for the requests about one sink, status entry or control item (PORT_REQ#2);\n"
    "  ACTION a mode (answer, silent, refuse, echo, other-port, other-address, wrong-echo,\n"
    "  malformed=short|tag|length|pad|low|other-id) and modifiers repeat=K,\n"
    "  before=short|tag|length|pad|low|other-id, delay=N (microseconds, or with ms), copies=K,\n"
    "  flood=N, stray=other-id|stale, nth=K;\n"
    "  KEY any key of a sink group of the configuration file (ppm, feedback, dropShare, ...).\n"
    "  Each further --config adds a target; the other options apply to the first.\n"
    "  --control reads commands, one a line, from a named pipe (made when missing) or standard\n"
    "  input: volume TARGET SINK VALUE (0.01 dB, set at the device), hide TARGET SINK (switched\n"
    "  off: out of the discovery answers, its port silent), show TARGET SINK; TARGET and SINK by\n"
    "  number or name. Each is answered with a line \"control: COMMAND done\" or \"... refused: WHY\".\n";

std::mutex outputMutex;

void printLine(const std::string& line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int usageError(const std::string& message)
{
    std::fprintf(stderr, "target-emulator: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// SINK:NAME=VALUE of --behaviour and --set.
struct SinkOption {
    bool allSinks = false;
    size_t sink = 0;
    std::string name;
    std::string value;

    bool applies(size_t i) const { return allSinks || i == sink; }
};

bool parseSinkOption(const std::string& text, SinkOption& out)
{
    const size_t colon = text.find(':');
    const size_t eq = text.find('=', colon == std::string::npos ? 0 : colon);
    if (colon == std::string::npos || eq == std::string::npos) {
        return false;
    }
    const std::string sink = text.substr(0, colon);
    if (sink == "*") {
        out.allSinks = true;
    } else {
        uint64_t n = 0;
        if (!testbed::parseNumber(sink, 1000, n)) {
            return false;
        }
        out.sink = static_cast<size_t>(n);
    }
    out.name = text.substr(colon + 1, eq - colon - 1);
    out.value = text.substr(eq + 1);
    return true;
}

struct BehaviourOption {
    SinkOption where;
    QUORVIN::MessageID message = 0;
    std::optional<uint16_t> number;
    testbed::Behaviour behaviour;
};

bool parseBehaviourOption(const std::string& text, BehaviourOption& out)
{
    return parseSinkOption(text, out.where) && testbed::parseMessageSelector(out.where.name, out.message, out.number)
           && testbed::parseBehaviour(out.where.value, out.behaviour);
}

// MESSAGE=ACTION of --discovery.
bool parseDiscoveryOption(const std::string& text, BehaviourOption& out)
{
    const size_t eq = text.find('=');
    return eq != std::string::npos && testbed::parseMessageSelector(text.substr(0, eq), out.message, out.number)
           && testbed::parseBehaviour(text.substr(eq + 1), out.behaviour);
}

// With several targets every line says whose it is.
std::string prefix(size_t target, size_t targets)
{
    return targets > 1 ? "[" + std::to_string(target) + "] " : std::string();
}

void printTarget(const testbed::TargetConfig& config, const testbed::TargetEmulator& emulator, const std::string& tag)
{
    std::string where;
    config.address.get_V6_str(where);
    printLine(tag + "target " + config.name + " address " + where + " ifindex "
              + std::to_string(config.address.ifindex));
    for (size_t i = 0; i < emulator.sinkCount(); ++i) {
        const testbed::SinkConfig sink = emulator.sinkConfig(i);
        const std::string s = tag + "sink " + std::to_string(i);
        printLine(s + " name " + sink.name + " port " + std::to_string(sink.port));
        printLine(s + " data-port " + std::to_string(sink.dataPort));
        for (const auto& [message, behaviour] : sink.behaviours) {
            printLine(s + " behaviour " + testbed::messageName(message) + " " + testbed::behaviourText(behaviour));
        }
        for (const auto& [key, behaviour] : sink.numberedBehaviours) {
            printLine(s + " behaviour " + testbed::messageName(key.first) + "#" + std::to_string(key.second) + " "
                      + testbed::behaviourText(behaviour));
        }
    }
    printLine(tag + "other-port " + std::to_string(emulator.otherPortAddress().getPort()));
    if (const auto discovery = emulator.discoveryAddress()) {
        printLine(tag + "discovery-port " + std::to_string(discovery->getPort()));
        const testbed::DiscoveryConfig d = emulator.discoveryConfig();
        for (const auto& [message, behaviour] : d.behaviours) {
            printLine(tag + "discovery behaviour " + testbed::messageName(message) + " "
                      + testbed::behaviourText(behaviour));
        }
        for (const auto& [key, behaviour] : d.numberedBehaviours) {
            printLine(tag + "discovery behaviour " + testbed::messageName(key.first) + "#" + std::to_string(key.second)
                      + " " + testbed::behaviourText(behaviour));
        }
    }
    if (const auto other = emulator.otherAddress()) {
        printLine(tag + "other-address-port " + std::to_string(other->getPort()));
    }
    if (const auto log = emulator.logAddress()) {
        printLine(tag + "log-port " + std::to_string(log->getPort()));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> configPaths;
    std::string discoveryPort;
    std::vector<BehaviourOption> discoveryBehaviours;
    std::string address;
    std::string ifindex;
    std::string name;
    std::string sinks;
    std::string records;
    std::string logPort;
    std::vector<std::string> logLines;
    std::vector<BehaviourOption> behaviours;
    std::vector<SinkOption> settings;
    std::string controlPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            return usageError("unknown option or missing value: " + arg);
        }
        const std::string value = argv[++i];
        if (arg == "--config") {
            configPaths.push_back(value);
        } else if (arg == "--discovery-port") {
            discoveryPort = value;
        } else if (arg == "--discovery") {
            BehaviourOption option;
            if (!parseDiscoveryOption(value, option)) {
                return usageError("bad discovery behaviour: " + value);
            }
            discoveryBehaviours.push_back(option);
        } else if (arg == "--address") {
            address = value;
        } else if (arg == "--ifindex") {
            ifindex = value;
        } else if (arg == "--name") {
            name = value;
        } else if (arg == "--sinks") {
            sinks = value;
        } else if (arg == "--records") {
            records = value;
        } else if (arg == "--behaviour") {
            BehaviourOption option;
            if (!parseBehaviourOption(value, option)) {
                return usageError("bad behaviour: " + value);
            }
            behaviours.push_back(option);
        } else if (arg == "--set") {
            SinkOption option;
            if (!parseSinkOption(value, option)) {
                return usageError("bad setting: " + value);
            }
            settings.push_back(option);
        } else if (arg == "--log-port") {
            logPort = value;
        } else if (arg == "--log-line") {
            logLines.push_back(value);
        } else if (arg == "--control") {
            controlPath = value;
        } else {
            return usageError("unknown option: " + arg);
        }
    }

    std::vector<testbed::TargetConfig> configs;
    for (const std::string& path : configPaths) {
        testbed::TargetConfig loaded;
        std::string error;
        if (!testbed::loadTargetConfig(path, loaded, error)) {
            std::fprintf(stderr, "target-emulator: %s\n", error.c_str());
            return 2;
        }
        configs.push_back(std::move(loaded));
    }
    if (configs.empty()) {
        configs.push_back(testbed::TargetConfig::withSinks(1));
        configs[0].recordLimit = kDefaultRecords;
        configs[0].discovery.port = QUORVIN::TARGET_PORT;
    }
    testbed::TargetConfig& config = configs[0];
    uint64_t n = 0;
    if (!address.empty() && !testbed::parseAddress(address, config.address)) {
        return usageError("bad address: " + address);
    }
    if (!ifindex.empty()) {
        if (!testbed::parseNumber(ifindex, 0xFFFF, n)) {
            return usageError("bad interface index: " + ifindex);
        }
        config.address.ifindex = static_cast<uint32_t>(n);
    }
    if (!name.empty()) {
        config.name = name;
    }
    if (!sinks.empty()) {
        if (!testbed::parseNumber(sinks, 64, n) || n == 0) {
            return usageError("bad sink count: " + sinks);
        }
        const size_t had = config.sinks.size();
        config.sinks.resize(static_cast<size_t>(n));
        for (size_t i = had; i < config.sinks.size(); ++i) {
            config.sinks[i].name = "Output " + std::to_string(i);
        }
    }
    if (!records.empty()) {
        if (!testbed::parseNumber(records, UINT32_MAX, n)) {
            return usageError("bad record count: " + records);
        }
        config.recordLimit = static_cast<size_t>(n);
    }
    for (const BehaviourOption& b : behaviours) {
        if (!b.where.allSinks && b.where.sink >= config.sinks.size()) {
            return usageError("behaviour for a sink that does not exist: " + std::to_string(b.where.sink));
        }
        for (size_t i = 0; i < config.sinks.size(); ++i) {
            if (b.where.applies(i) && b.number) {
                config.sinks[i].numberedBehaviours[{b.message, *b.number}] = b.behaviour;
            } else if (b.where.applies(i)) {
                config.sinks[i].behaviours[b.message] = b.behaviour;
            }
        }
    }
    for (const SinkOption& s : settings) {
        if (!s.allSinks && s.sink >= config.sinks.size()) {
            return usageError("setting for a sink that does not exist: " + std::to_string(s.sink));
        }
        for (size_t i = 0; i < config.sinks.size(); ++i) {
            std::string error;
            if (s.applies(i) && !testbed::parseSinkKey(s.name, s.value, config.sinks[i], error)) {
                return usageError("bad setting: " + error);
            }
        }
    }
    if (!logPort.empty()) {
        if (logPort == "off") {
            config.logPort.reset();
        } else if (testbed::parseNumber(logPort, 0xFFFF, n)) {
            config.logPort = static_cast<uint16_t>(n);
        } else {
            return usageError("bad log port: " + logPort);
        }
    }
    if (!logLines.empty()) {
        config.logLines = logLines;
    }
    if (!discoveryPort.empty()) {
        if (discoveryPort == "off") {
            config.discovery.port.reset();
        } else if (testbed::parseNumber(discoveryPort, 0xFFFF, n)) {
            config.discovery.port = static_cast<uint16_t>(n);
        } else {
            return usageError("bad discovery port: " + discoveryPort);
        }
    }
    for (const BehaviourOption& b : discoveryBehaviours) {
        if (b.number) {
            config.discovery.numberedBehaviours[{b.message, *b.number}] = b.behaviour;
        } else {
            config.discovery.behaviours[b.message] = b.behaviour;
        }
    }
    // The report line needs only the counts; the audio, when wanted, goes to
    // the sink's audioFile.
    for (testbed::TargetConfig& c : configs) {
        c.keepAudio = false;
    }

    // Blocked before the receive thread exists, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader that goes away must not end the emulator in the middle of a line.
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<testbed::TargetEmulator>> emulators;
    for (size_t t = 0; t < configs.size(); ++t) {
        const std::string tag = prefix(t, configs.size());
        auto emulator = std::make_unique<testbed::TargetEmulator>();
        emulator->onRequest(
            [tag](const testbed::Request& request) { printLine(tag + testbed::describeRequest(request)); });
        emulator->onStreamEnd([tag](size_t sink, const testbed::StreamReport& report) {
            printLine(tag + testbed::describeStream(sink, report));
        });
        if (!emulator->start(configs[t])) {
            std::string where;
            configs[t].address.get_V6IFN_str(where);
            std::fprintf(stderr, "target-emulator: cannot bind the sockets on %s\n", where.c_str());
            return 1;
        }
        printTarget(configs[t], *emulator, tag);
        emulators.push_back(std::move(emulator));
    }
    std::vector<testbed::ControlTarget> controlTargets;
    for (size_t t = 0; t < configs.size(); ++t) {
        controlTargets.push_back({configs[t].name, emulators[t].get()});
    }
    testbed::ControlReader control;
    if (!controlPath.empty()) {
        std::string error;
        const bool started = control.start(
            controlPath,
            [&controlTargets](const std::string& line, bool tooLong) {
                const std::string answer = tooLong ? "control: refused: line too long"
                                                   : testbed::runControlCommand(line, controlTargets);
                if (!answer.empty()) {
                    printLine(answer);
                }
            },
            error);
        if (!started) {
            std::fprintf(stderr, "target-emulator: %s\n", error.c_str());
            return 1;
        }
        printLine("control " + controlPath);
    }
    printLine("ready");

    int signalNumber = 0;
    while (sigwait(&stopSignals, &signalNumber) != 0) {
    }
    control.stop();
    for (auto& emulator : emulators) {
        emulator->stop();
    }
    printLine(std::string("stopped on ") + strsignal(signalNumber));
    return 0;
}
