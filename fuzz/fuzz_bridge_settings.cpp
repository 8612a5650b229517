// Arbitrary settings files through the keys the daemon reads at start-up,
// by the very functions its entry calls: the card limits, the two CPU
// ranges and the profile groups. Byte 0 picks the machine's CPU count for
// the range checks (1..256); the rest is the file. Besides not crashing:
// the limits are the defaults or a ring the card mapping can hold, the
// ranges stay inside the machine, and no profile keeps a time out of range.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge/AlsaProfile.h"
#include "bridge/BridgeSettings.h"
#include "bridge/OccupiedCPU.h"
#include "foundation/FileInf.h"

namespace {

void require(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

void checkRange(int32_t first, int32_t count, int64_t cpus)
{
    if (first < 0) {
        return;
    }
    require(first < cpus, "a range starts inside the machine");
    require(count < 0 || static_cast<int64_t>(first) + count <= cpus, "a range ends inside the machine");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const int64_t cpus = 1 + data[0];
    TIVRA::FileInf settings;
    settings.set_string(std::string(reinterpret_cast<const char*>(data + 1), size - 1));

    const CardLimits limits = readCardLimits(settings);
    if (!(limits == CardLimits{})) {
        const uint64_t ring = uint64_t{limits.periodMax} * limits.periodSizeMax;
        require(ring + 232 <= (uint64_t{1} << 31), "the card mapping stays below 2^31 bytes");
        require(ring % 8 == 0, "the ring keeps the header 8-byte aligned");
    }

    OccupiedCPU cpu;
    readCpuSettings(settings, cpu, cpus);
    checkRange(cpu.InfCpuSend, cpu.InfRengSend, cpus);
    checkRange(cpu.InfCpuOther, cpu.InfRengOther, cpus);
    require(cpu.sendUsage.size() <= static_cast<size_t>(cpus), "the sender table fits the machine");
    const int taken = cpu.commitCpuSend();
    require(taken < 0 || (taken >= cpu.InfCpuSend && taken < cpus), "a sender CPU from the range");
    cpu.releaseCpuSend(taken);

    AlsaProfileMap profiles;
    loadAlsaProfiles(settings, profiles);
    require(profiles.count("") == 1, "the default profile exists");
    // Times are taken as whole microseconds of a positive 32-bit number.
    constexpr uint64_t longest = uint64_t{INT32_MAX} * TIVRA::Clock::US;
    for (const auto& [name, p] : profiles) {
        require(p.InfTargetProfileLimitTime.picoseconds <= longest && p.InfCycleTime.picoseconds <= longest &&
                    p.InfCycleMinTime.picoseconds <= longest && p.syncInfoCycle.picoseconds <= longest,
                "no profile keeps a time outside the key's range");
    }
    dumpAlsaProfiles(profiles);
    return 0;
}
