#include "bridge/BridgeSettings.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <thread>

#include "foundation/SysLog.h"

namespace {

// Far beyond any CPU number, and small enough that b - first + 1 cannot
// overflow for any first a caller holds.
constexpr int64_t CPU_NUMBER_CAP = int64_t{1} << 40;

// A part counts when it is exactly "0" or its leading number is positive.
bool cpuPart(const std::string& part, int64_t& value)
{
    if (part == "0") {
        value = 0;
        return true;
    }
    const long n = std::strtol(part.c_str(), nullptr, 10);
    value = std::min<int64_t>(n, CPU_NUMBER_CAP);
    return value > 0;
}

void takePositive(const TIVRA::FileInf& settings, const char* key, uint32_t& field)
{
    const int32_t low = static_cast<int32_t>(static_cast<uint64_t>(settings.get64(key)));
    if (low > 0) {
        field = static_cast<uint32_t>(low);
    }
}

}  // namespace

CardLimits readCardLimits(const TIVRA::FileInf& settings)
{
    CardLimits limits;
    takePositive(settings, "periodMin", limits.periodMin);
    takePositive(settings, "periodSizeMax", limits.periodSizeMax);
    takePositive(settings, "periodMax", limits.periodMax);
    takePositive(settings, "periodSizeMin", limits.periodSizeMin);

    const uint64_t ring = QUORVIN::bridgeRingBytes(limits.periodMax, limits.periodSizeMax);
    const uint64_t mapping = QUORVIN::bridgeMappingBytes(limits.periodMax, limits.periodSizeMax);
    // The create request carries the ring size and ring positions travel in
    // 32-bit header fields: keep the mapping within a signed 32-bit size.
    if (mapping > (uint64_t{1} << 31)) {
        TIVRA::SYSLOG_WARNING << "Setting: period limits refused, mapping too large : " << mapping;
        limits = CardLimits();
    } else if (ring % QUORVIN::BRIDGE_HEADER_ALIGN != 0) {
        TIVRA::SYSLOG_WARNING << "Setting: period limits refused, ring not a multiple of 8 : " << ring;
        limits = CardLimits();
    }

    TIVRA::SYSLOG_NOTICE << "Setting: periodSizeMin  : " << limits.periodSizeMin;
    TIVRA::SYSLOG_NOTICE << "Setting: periodSizeMax  : " << limits.periodSizeMax;
    TIVRA::SYSLOG_NOTICE << "Setting: periodMin      : " << limits.periodMin;
    TIVRA::SYSLOG_NOTICE << "Setting: periodMax      : " << limits.periodMax;
    return limits;
}

bool parseCpuRange(const std::string& text, int32_t& first, int32_t& count, int64_t cpuCount, const char* key)
{
    int64_t f = first;
    int64_t c = count;
    bool changed = false;
    int64_t value = 0;
    const size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (cpuPart(text, value)) {
            f = value;
            c = 1;
            changed = true;
        }
    } else {
        if (cpuPart(text.substr(0, dash), value)) {
            f = value;
            changed = true;
        }
        if (cpuPart(text.substr(dash + 1), value)) {
            c = value - f + 1;
            changed = true;
        }
    }
    if (!changed) {
        return true;
    }

    const int64_t cpus = cpuCount > 0 ? cpuCount : int64_t{std::numeric_limits<int32_t>::max()} + 1;
    if (f >= cpus) {
        TIVRA::SYSLOG_WARNING << "Setting: " << key << " refused, no such CPU : " << text;
        return false;
    }
    // An unset first (-1) still must not count more CPUs than there are.
    const int64_t room = cpus - std::max<int64_t>(f, 0);
    bool whole = true;
    if (c > room) {
        c = room;
        whole = false;
    }
    first = static_cast<int32_t>(f);
    count = static_cast<int32_t>(c);
    if (!whole) {
        TIVRA::SYSLOG_WARNING << "Setting: " << key << " clamped : " << text << " -> " << first << "," << count;
    }
    return whole;
}

bool parseCpuRange(const std::string& text, int32_t& first, int32_t& count)
{
    return parseCpuRange(text, first, count, machineCpuCount());
}

int64_t machineCpuCount()
{
    const long configured = ::sysconf(_SC_NPROCESSORS_CONF);
    if (configured > 0) {
        return configured;
    }
    return std::thread::hardware_concurrency();
}

void readCpuSettings(const TIVRA::FileInf& settings, OccupiedCPU& cpu, int64_t cpuCount)
{
    parseCpuRange(settings.get("CpuSend"), cpu.InfCpuSend, cpu.InfRengSend, cpuCount, "CpuSend");
    parseCpuRange(settings.get("CpuOther"), cpu.InfCpuOther, cpu.InfRengOther, cpuCount, "CpuOther");
    cpu.resetUserCpu();
    TIVRA::SYSLOG_NOTICE << "Setting: InfCpuSend      : " << cpu.InfCpuSend;
    TIVRA::SYSLOG_NOTICE << "Setting: InfRengSend     : " << cpu.InfRengSend;
    TIVRA::SYSLOG_NOTICE << "Setting: InfCpuOther     : " << cpu.InfCpuOther;
    TIVRA::SYSLOG_NOTICE << "Setting: InfRengOther    : " << cpu.InfRengOther;
}

void readCpuSettings(const TIVRA::FileInf& settings, OccupiedCPU& cpu)
{
    readCpuSettings(settings, cpu, machineCpuCount());
}
