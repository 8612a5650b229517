// The daemon: reads its settings, opens the driver's control node and
// discovery, then runs the main loop (every node's turn, a scan every 20 s
// or when a node failed, 10 ms of rest) until SIGINT, SIGHUP or SIGTERM, or
// until a scan fails; at the end every card is removed.
//
// Usage: quorvin-bridge [SETTINGS-PATH [BRIDGE-NAME]]
// A BRIDGE-NAME longer than MAX_HOST_NAME bytes is cut, with a warning.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <string>

#include "bridge/AlsaProfile.h"
#include "bridge/BridgeIoctl.h"
#include "bridge/BridgeName.h"
#include "bridge/BridgeSettings.h"
#include "bridge/QuorvinVideRododa.h"
#include "foundation/Clock.h"
#include "foundation/FileInf.h"
#include "foundation/FilePath.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "protocol/Message.h"
#include "protocol/SysLogQuorvin.h"

using namespace QUORVIN;

namespace {

std::atomic<bool> exit_targets{false};

constexpr unsigned short LOG_PORT = 19640;
constexpr TIVRA::Clock SCAN_INTERVAL{20 * TIVRA::Clock::SEC};
constexpr long PASS_REST_NS = 10 * 1000 * 1000;

void SignalHandlerExit(int)
{
    exit_targets.store(true);
}

// The stop signals, blocked in every thread (the ones started later inherit
// the mask) and taken by the loop thread alone, between its passes: no
// worker's or scan's wait is cut short by a signal landing there.
sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}

// Rests for the pass's 10 ms, or less when a stop signal comes.
void restOrStop(const sigset_t& set)
{
    const timespec rest{0, PASS_REST_NS};
    const int signal = sigtimedwait(&set, nullptr, &rest);
    if (signal > 0) {
        SignalHandlerExit(signal);
    }
}

void setUpLogging(const std::string& debug)
{
    bool console = false;
    TIVRA::SysLog::SysLogLevel level = TIVRA::SYSLOG_NOTICE;
    const char* line = nullptr;
    if (debug == "enable") {
        level = TIVRA::SYSLOG_INFO;
        line = "debug : enable";
    } else if (debug == "stdout") {
        console = true;
        level = TIVRA::SYSLOG_INFO;
        line = "debug : stdout";
    } else if (debug == "debug") {
        console = true;
        level = TIVRA::SYSLOG_DEBUG;
        line = "debug : stdout";
    }
    SysLogQuorvin::initialize(16, LOG_PORT, console);
    SysLogQuorvin::changeLevel(level, LOG_PORT);
    if (line != nullptr) {
        TIVRA::SYSLOG_INFO << line;
    }
    TIVRA::SYSLOG_DEBUG << "debug : debug";
}

std::list<std::string> interfaceNames(const std::string& value)
{
    std::list<std::string> names;
    if (value.empty()) {
        return names;
    }
    const std::string text = value + ",";
    size_t start = 0;
    for (size_t comma = text.find(','); comma != std::string::npos; comma = text.find(',', start)) {
        names.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

void pinLoopThread(const OccupiedCPU& cpu)
{
    const uint64_t self = TIVRA::ThreadPriority::getSelfThreadID();
    if (cpu.InfCpuOther != -1 && cpu.InfRengOther > 0) {
        if (TIVRA::ThreadPriority::setCpuThread(self, {TIVRA::ThreadPriority::Cpus{
                                                          static_cast<uint16_t>(cpu.InfCpuOther),
                                                          static_cast<uint16_t>(cpu.InfRengOther)}})) {
            TIVRA::SYSLOG_INFO << "Loop Thread CPU set " << cpu.InfCpuOther << "," << cpu.InfRengOther;
        } else {
            TIVRA::SYSLOG_WARNING << "Loop Thread CPU set error " << cpu.InfCpuOther << "," << cpu.InfRengOther;
        }
    }
    if (TIVRA::ThreadPriority::setPriority(self, TIVRA::ThreadPriority::PRIORITY_IDLE)) {
        TIVRA::SYSLOG_INFO << "Loop Thread Priority set IDLE";
    } else {
        TIVRA::SYSLOG_WARNING << "Loop Thread Priority set Error";
    }
}

// The main loop; false when a scan failed.
bool mainLoop(QuorvinVideRododa& bridge, const sigset_t& signals)
{
    TIVRA::Clock lastScan = TIVRA::Clock::now();
    bool firstPass = true;
    for (;;) {
        bool forced = false;
        for (auto& [address, node] : bridge.aliveNodes) {
            // A node already lost waits for the scan that rebuilds it.
            if (bridge.lostNodes.count(address) != 0) {
                continue;
            }
            if (!node->work()) {
                bridge.lostNodes.insert(address);
                forced = true;
                break;
            }
        }
        const TIVRA::Clock now = TIVRA::Clock::now();
        if (firstPass || forced || (now - lastScan).Comp(SCAN_INTERVAL) > 0) {
            firstPass = false;
            lastScan = now;
            if (!bridge.scan()) {
                return false;
            }
        }
        if (exit_targets.load()) {
            return true;
        }
        restOrStop(signals);
        if (exit_targets.load()) {
            return true;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::string bridgeName = "VUVO VAZA";
    TIVRA::FilePath path;
    path.setMySelfPath();
    path.removeFilename();
    std::string settingsPath = path + "setting.inf";
    if (argc > 1) {
        settingsPath = argv[1];
    }
    if (argc > 2) {
        bridgeName = argv[2];
    }
    // Cut here, once, so that the targets, their sinks and their streams
    // all know the host by the same name.
    const size_t givenName = bridgeName.size();
    const bool nameCut = cutBridgeName(bridgeName, MAX_HOST_NAME);
    std::list<std::string> interfaces;
    Find::Setting setting;
    setting.acceptId = 0;
    setting.hostName = bridgeName;
    setting.hostId = ~uint64_t{0};
    QuorvinVideRododa bridge(setting);
    TIVRA::FileInf settings;
    if (settings.load(settingsPath, 0)) {
        setUpLogging(settings.get("Debug"));
        TIVRA::SYSLOG_INFO << "Load Setting : " << settingsPath;
        if (nameCut) {
            TIVRA::SYSLOG_WARNING << "Setting: bridgeName cut  : " << givenName << " -> " << bridgeName.size();
        }
        interfaces = interfaceNames(settings.get("Interface"));
        const CardLimits limits = readCardLimits(settings);
        bridge.periodMin = limits.periodMin;
        bridge.periodSizeMax = limits.periodSizeMax;
        bridge.periodMax = limits.periodMax;
        bridge.periodSizeMin = limits.periodSizeMin;
        readCpuSettings(settings, bridge.occupiedCpu);
        loadAlsaProfiles(settings, bridge.alsaProfiles);
        dumpAlsaProfiles(bridge.alsaProfiles);
    } else {
        SysLogQuorvin::initialize(16, LOG_PORT, false);
    }
    pinLoopThread(bridge.occupiedCpu);
    bridge.bridgeName = bridgeName;

    bridge.controlFd = ::open(BRIDGE_CONTROL_NODE, O_RDWR | O_CLOEXEC);
    if (bridge.controlFd < 0) {
        TIVRA::SYSLOG_ERR << "meme open error Err";
        TIVRA::SYSLOG_ERR << "bridge.Initial Err";
        return 1;
    }
    if (::ioctl(bridge.controlFd, QUORVIN_BR_INIT, 0UL) < 0) {
        TIVRA::SYSLOG_ERR << "bridge.Initial Err";
        return 1;
    }
    if (!bridge.find.open(interfaces)) {
        TIVRA::SYSLOG_ERR << "Socket Err";
        TIVRA::SYSLOG_ERR << "bridge.Start Err";
        return 1;
    }
    exit_targets.store(false);
    const bool stopped = mainLoop(bridge, signals);
    bridge.shutdown();
    return stopped ? 0 : 1;
}
