// Transfer profile computations. Every search moves the cycle in 50-us steps
// and recomputes with integer and single-precision arithmetic; nothing here
// allocates. The sink's values come from the network, so every search that
// they could keep going has a bound and fails instead, and a zero byte rate
// or frame alignment fails the computation instead of dividing by it.
#include "stream/Profile.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "foundation/SysLog.h"

namespace QUORVIN {

using TIVRA::Clock;

namespace {

constexpr uint64_t STEP = 50 * Clock::US;
constexpr uint64_t SINK_UNIT = 10 * Clock::US;
constexpr uint32_t PACKETS_MAX = 0xFFFF;
// Upward searches give up once the cycle has risen this far above its start:
// no useful cycle lies a second beyond where the search began.
constexpr uint64_t RISE_MAX = Clock::SEC;
// Single precision on purpose: the fixed family's margin and the variable
// family's scale are float constants, and the results depend on their bits.
constexpr float FIX_SCALE = 1.03e-6f;
constexpr float VAR_SCALE = 1e-6f;

constexpr unsigned short KNOWN_CYCLES[] = {5,   10,  16,  20,   33,   41,   52,   83,   104,  166,   208,  333,
                                           416, 520, 833, 1041, 1666, 2083, 3333, 4166, 8333, 16666, 33333};

uint64_t us(Clock c)
{
    return c.picoseconds / Clock::US;
}

uint32_t bytesPerSecond(FormatConfigure c)
{
    return static_cast<uint32_t>((c.getSpeed() * c.getBits() * c.getChannel()) >> 3);
}

uint32_t frameBytes(FormatConfigure c)
{
    return c.getWid() * c.getChannel();
}

// Rounded-up non-negative float as a count, without a library call: a float
// of 2^23 or more is whole, below that the truncation is exact. The
// conversion would be undefined far beyond any real size, so it saturates.
uint64_t ceilCount(float v)
{
    if (!(v < 9223372036854775808.0f)) {
        return uint64_t{1} << 63;
    }
    const uint64_t whole = static_cast<uint64_t>(v);
    return static_cast<float>(whole) < v ? whole + 1 : whole;
}

uint32_t ceilCount32(float v)
{
    const uint64_t c = ceilCount(v);
    return c <= UINT32_MAX ? static_cast<uint32_t>(c) : UINT32_MAX;
}

uint64_t raiseTo(uint64_t v, uint64_t unit)
{
    return (v + unit - 1) / unit * unit;
}

// The variable family's acceptance floor: 103 % of the limit in whole
// microseconds, from the float microsecond count through double.
uint64_t lim103(Clock limitCycle)
{
    const double d = static_cast<double>(static_cast<float>(us(limitCycle))) * 1.03;
    const uint32_t whole = d < 4294967296.0 ? static_cast<uint32_t>(d) : UINT32_MAX;
    return uint64_t{whole} * Clock::US;
}

// floor(bytes x 10^12 / rate) without the 64-bit overflow of the plain product;
// false when the cycle itself does not fit.
bool cycleOfBytes(uint64_t bytes, uint32_t rate, uint64_t& cycle)
{
    const uint64_t scaled = bytes * Clock::US;  // bytes stay below 2^40 here
    const uint64_t whole = scaled / rate;
    if (whole >= UINT64_MAX / Clock::US) {
        return false;
    }
    cycle = whole * Clock::US + (scaled % rate) * Clock::US / rate;
    return true;
}

bool attempt(ProfileMaker& m, bool var, Clock t, int count)
{
    return var ? m.configTransferVar(t, count) : m.configTransferFix(t, count);
}

// The packet-count search on t. Past PackDataCount packets every attempt
// repeats the one at PackDataCount, so the attempt with one packet more either
// ends the search or shows that no later one will.
bool countSearch(ProfileMaker& m, bool var, Clock t)
{
    if (m.PackDataSize == 0 || m.PackDataCount == 0 || bytesPerSecond(m.config) == 0) {
        return false;  // every attempt would fail
    }
    if (var && m.PackDataSize < frameBytes(m.config)) {
        return false;  // no packet holds a whole frame
    }
    const int last = int{m.PackDataCount} + 1;
    Clock prev{0};
    for (int n = 1; n <= last; ++n) {
        if (attempt(m, var, t, n)) {
            if (m.cycleTime == t) {
                return true;
            }
            if (m.cycleTime == prev) {
                // One packet fewer gives the same cycle. Should that attempt
                // fail (prev was left from before the search), the profile
                // with n packets stands.
                return attempt(m, var, t, n - 1) || attempt(m, var, t, n);
            }
        }
        prev = m.cycleTime;
    }
    return false;
}

// The fixed ("Fix") or variable ("Var") family of the automatic profile.
bool familyProfile(ProfileMaker& m, bool var)
{
    const bool fromMin = (m.prof & PROFILE_FROMMIN) != 0;
    const bool limitOnly = (m.prof & PROFILE_LIMITONLY) != 0;
    const bool search = (m.prof & PROFILE_AUTO) != 0 || m.forceAuto;
    const uint64_t minPs = uint64_t{m.min} * SINK_UNIT;
    const uint64_t maxPs = uint64_t{m.max} * SINK_UNIT;
    const uint64_t limitPs = m.limitCycle.picoseconds;
    const uint64_t floor103 = lim103(m.limitCycle);

    uint64_t t = maxPs;
    if (fromMin) {
        t = (!var && limitOnly) ? limitPs : std::max(minPs, limitPs);
    }
    auto accepted = [&](uint64_t c) {
        if (!var) {
            return limitOnly ? c >= limitPs : (c >= limitPs && c >= minPs && (fromMin || c <= maxPs));
        }
        return limitOnly ? c >= floor103 : (c >= floor103 && c >= minPs && c <= maxPs);
    };

    // A Var result is the target itself while the packet limits allow it,
    // and the same shorter cycle from the first step beyond that point on;
    // past one step above the maximum no result can be accepted any more.
    uint64_t end = (t > UINT64_MAX - RISE_MAX) ? UINT64_MAX : t + RISE_MAX;
    if (var && !limitOnly) {
        end = std::min(end, maxPs + STEP);
    }
    bool haveRejected = false;
    uint64_t rejected = 0;
    for (;;) {
        const bool done = search ? countSearch(m, var, Clock{t}) : attempt(m, var, Clock{t}, 1);
        if (done) {
            if (accepted(m.cycleTime.picoseconds)) {
                return true;
            }
            if (!fromMin || (haveRejected && m.cycleTime.picoseconds == rejected)) {
                return false;
            }
            haveRejected = true;
            rejected = m.cycleTime.picoseconds;
        } else {
            // What fails here fails at every longer cycle of the same 50-us
            // grid; a variable cycle that starts at 0 holds no byte, and a
            // search from there fails rather than finding a cycle by itself.
            return false;
        }
        if (t > end || end - t < STEP) {
            return false;
        }
        t += STEP;
    }
}

// The bytes of one packet and the packets of one cycle from q bytes at the
// widest frame of the sink, then as many packets more as the cycle needs to
// reach the limit and the sink's minimum.
bool sinkCycleTail(ProfileMaker& m, uint64_t q, uint32_t count)
{
    const uint64_t units = q / m.frameMax;
    const uint32_t bps8 = bytesPerSecond(m.config);
    if (units == 0 || bps8 == 0) {
        return false;
    }
    const uint64_t bytes = units * frameBytes(m.config);
    const uint64_t floor = std::max(m.limitCycle.picoseconds, uint64_t{m.min} * SINK_UNIT);
    uint64_t cyc = 0;
    for (;;) {
        if (!cycleOfBytes(uint64_t{count} * bytes, bps8, cyc)) {
            return false;
        }
        if (cyc >= floor) {
            break;
        }
        if (count == PACKETS_MAX) {
            return false;
        }
        ++count;
    }
    m.cycleTime = Clock{cyc};
    m.packetCount = static_cast<uint16_t>(count);
    m.packetBytes = static_cast<uint32_t>(bytes);
    TIVRA::SYSLOG_INFO << "SINCCYCLE=" << static_cast<unsigned int>(m.packetBytes) << "x"
                       << static_cast<unsigned int>(m.packetCount)
                       << " cycle=" << static_cast<unsigned long>(m.cycleTime.picoseconds) << "ps";
    m.packetBytesMax = m.packetBytes;
    m.framesPerPacketQ14 = static_cast<uint32_t>(units) << 14;
    m.mode = TransferSinkCycle;
    return true;
}

// Cycle from the sink's own cycle: whole minimum sink cycles of the base rate.
bool sinkCycleProfile(ProfileMaker& m, const char*& name)
{
    const uint64_t speedBase = (m.config.value >> 32) & 7;
    const uint32_t base = (speedBase & 2) ? 44100 : (speedBase & 4) ? 48000 : (speedBase & 1) ? 8000 : 0;
    const uint64_t rate = uint64_t{m.baseMin} * base;
    if (base == 0 || rate > UINT32_MAX || m.frameMax == 0) {
        return false;
    }

    bool kelvanto = false;
    if (m.minKnown) {
        if (base == 8000) {
            TIVRA::SYSLOG_WARNING << "KelvantoMode base rate talt";
        } else {
            kelvanto = true;
        }
    }

    uint64_t q = 0;
    uint32_t n = 1;
    if (kelvanto) {
        name = "Kelvanto";
        const uint64_t q0 = rate / 300;  // bytes of 1/300 s
        q = q0;
        while (q > m.PackDataSize) {
            n *= 2;
            if (n > PACKETS_MAX) {
                return false;
            }
            q = q0 / n;
            if (q % m.frameMax != 0) {
                TIVRA::SYSLOG_WARNING << "KelvantoMode fragment talt";
                kelvanto = false;
                break;
            }
        }
    }
    if (!kelvanto) {
        name = "SinkCycle";
        const uint64_t total = raiseTo(uint64_t{m.min} * rate * 10 / 1'000'000, m.frameMax);
        n = 1;
        q = total;
        while (q > m.PackDataSize) {
            if (n == PACKETS_MAX) {
                return false;
            }
            ++n;
            q = raiseTo(total / n, m.frameMax);
            if (q == 0) {
                return false;
            }
        }
    }
    return sinkCycleTail(m, q, n);
}

// The bytes one cycle may carry: the packet size times the packets allowed
// (all of them for a count of 0). 0 refuses, also for a negative count.
uint64_t cycleLimit(int count, unsigned short packetSize, unsigned short packets)
{
    if (count < 0) {
        return 0;
    }
    const uint32_t allowed = count == 0 ? packets : std::min<uint32_t>(static_cast<uint32_t>(count), packets);
    return uint64_t{packetSize} * allowed;
}

}  // namespace

ProfileMaker::operator Profile() const
{
    Profile p;
    p.cycleTime = cycleTime;
    p.packetBytes = packetBytes;
    p.packetBytesMax = packetBytesMax;
    p.framesPerPacketQ14 = framesPerPacketQ14;
    p.packetCount = packetCount;
    p.minCycleTime = minCycleTime;
    p.mode = mode;
    return p;
}

void ProfileMaker::setConfig(FormatConfigure configure, Clock limit, unsigned short dataSize, unsigned short dataCount)
{
    config = configure;
    limitCycle = limit;
    PackDataSize = dataSize;
    PackDataCount = dataCount;
}

bool ProfileMaker::setParameter(unsigned short minCycle, unsigned short maxCycle, uint16_t flags,
                                unsigned int baseBytes, unsigned int frameBytesMax)
{
    min = minCycle;
    max = maxCycle;
    prof = flags;
    baseMin = baseBytes;
    frameMax = frameBytesMax;
    cycleTime = Clock{0};
    if (min == 0 && max == 0 && prof == 0) {
        return false;  // an empty parameter answer
    }
    minKnown = ((prof & PROFILE_SINKCYCLE) != 0 && min == 3)
               || std::find(std::begin(KNOWN_CYCLES), std::end(KNOWN_CYCLES), min) != std::end(KNOWN_CYCLES);
    return true;
}

bool ProfileMaker::configTransferFix(Clock cycle, int count)
{
    const uint64_t limit = cycleLimit(count, PackDataSize, PackDataCount);
    const uint32_t bps8 = bytesPerSecond(config);
    if (limit == 0 || bps8 == 0) {
        return false;
    }
    packetBytes = 0;
    const uint32_t frame = frameBytes(config);
    const float rate = static_cast<float>(bps8);
    auto needAt = [&](uint64_t c) { return ceilCount(static_cast<float>(c / Clock::US) * FIX_SCALE * rate); };
    // The need raised to whole frames stays below the limit exactly when the
    // need is at most the last whole-frame size below it.
    const uint64_t needMax = (limit - 1) / frame * frame;

    // The need grows with the cycle, so the longest cycle of the 50-us steps
    // down from the target that fits is found by halving the step range
    // instead of walking it; the result is the same cycle.
    uint64_t c = cycle.picoseconds;
    if (needAt(c) > needMax) {
        if (c <= STEP) {
            return false;
        }
        uint64_t tooLong = 0;
        uint64_t fits = (c - 1) / STEP;  // the last step still above 0
        if (needAt(c - fits * STEP) > needMax) {
            return false;
        }
        while (fits - tooLong > 1) {
            const uint64_t mid = tooLong + (fits - tooLong) / 2;
            if (needAt(c - mid * STEP) <= needMax) {
                fits = mid;
            } else {
                tooLong = mid;
            }
        }
        c -= fits * STEP;
    }
    const uint64_t size = raiseTo(needAt(c), frame);

    cycleTime = Clock{c};
    packetCount = static_cast<uint16_t>(size <= PackDataSize ? 1 : (size + PackDataSize - 1) / PackDataSize);
    framesPerPacketQ14 =
        static_cast<uint32_t>(uint64_t{bps8 / frame} * 16384 * (us(cycleTime) / packetCount) / 1'000'000);
    // The frames of a packet at the worker's largest correction (+491/16384),
    // raised to a whole frame.
    const int64_t q = framesPerPacketQ14;
    packetBytesMax = static_cast<uint32_t>(((q + ((q * 491) >> 14) + 16383) >> 14) * int64_t{frame});
    mode = TransferFix;
    return true;
}

bool ProfileMaker::configTransferVar(Clock cycle, int count)
{
    const uint64_t limit = cycleLimit(count, PackDataSize, PackDataCount);
    const uint32_t bps8 = bytesPerSecond(config);
    if (limit == 0 || bps8 == 0) {
        return false;
    }
    const uint32_t frame = frameBytes(config);
    const float rate = static_cast<float>(bps8);
    const uint64_t size = raiseTo(ceilCount(static_cast<float>(us(cycle)) * VAR_SCALE * rate), frame);

    uint64_t total = size;
    if (size <= limit) {
        cycleTime = cycle;
    } else {
        total = limit;
        cycleTime = Clock{uint64_t{ceilCount32((1e6f / rate) * static_cast<float>(limit))} * Clock::US};
    }
    packetCount = static_cast<uint16_t>((total + PackDataSize - 1) / PackDataSize);
    if (packetCount == 0) {
        return false;
    }
    packetBytes = static_cast<uint32_t>(total / packetCount / frame * frame);
    if (packetBytes == 0) {
        return false;  // packets without a whole frame carry nothing
    }
    packetBytesMax = packetBytes;
    framesPerPacketQ14 = (packetBytes / frame) << 14;
    mode = TransferVar;
    return true;
}

bool ProfileMaker::configTransferFixAuto(Clock cycle)
{
    return countSearch(*this, false, cycle);
}

bool ProfileMaker::configTransferVarAuto(Clock cycle)
{
    return countSearch(*this, true, cycle);
}

bool ProfileMaker::configTransferSizeFix(unsigned long bytes)
{
    const uint32_t bps8 = bytesPerSecond(config);
    if (bps8 == 0 || bytes == 0 || bytes > UINT32_MAX) {
        return false;
    }
    const uint32_t frame = frameBytes(config);
    uint32_t size = static_cast<uint32_t>(bytes);
    uint32_t count = 1;
    while (size > PackDataSize) {
        if (count > PACKETS_MAX / 2) {
            return false;  // more packets than a cycle can count
        }
        size /= 2;
        count *= 2;
    }
    if (size == 0) {
        return false;
    }
    packetBytes = size;
    cycleTime = Clock{uint64_t{ceilCount32((1e6f / static_cast<float>(bps8)) * static_cast<float>(bytes))} * Clock::US};
    packetCount = static_cast<uint16_t>(count);
    packetBytesMax = packetBytes;
    framesPerPacketQ14 = (packetBytes / frame) << 14;
    mode = TransferVar;
    return true;
}

bool ProfileMaker::configTransferRandom(Clock minCycle, Clock cycle, int count)
{
    if (!configTransferFix(cycle, count)) {
        return false;
    }
    if (minCycle.picoseconds < Clock::US || cycleTime.picoseconds <= minCycle.picoseconds) {
        return false;
    }
    mode = TransferRandom;
    minCycleTime = minCycle;
    return true;
}

bool ProfileMaker::configTransferAuto()
{
    cycleTime = Clock{0};
    if (min == 0 && max == 0 && prof == 0) {
        return false;
    }
    TIVRA::SYSLOG_INFO << "PROFILE min=" << static_cast<unsigned int>(min) << " max=" << static_cast<unsigned int>(max)
                       << " prof" << static_cast<unsigned int>(prof) << " config"
                       << static_cast<unsigned long>(config.value) << " PackDataSize"
                       << static_cast<unsigned int>(PackDataSize) << " PackDataCount"
                       << static_cast<unsigned int>(PackDataCount) << " limitCycle"
                       << static_cast<unsigned long>(us(limitCycle)) << " baseMin" << baseMin;
    const char* name = nullptr;
    if ((prof & PROFILE_SINKCYCLE) != 0) {
        if (!sinkCycleProfile(*this, name)) {
            return false;
        }
    } else {
        const bool var = (prof & PROFILE_VAR) != 0;
        name = var ? "Var" : "Fix";
        if (!familyProfile(*this, var)) {
            return false;
        }
    }
    TIVRA::SYSLOG_INFO << "PROFILE done " << name;
    return true;
}

void ProfileMaker::configTransferAuto(Clock start)
{
    TIVRA::SYSLOG_INFO << "configTransferAuto " << static_cast<unsigned long>(us(start));
    if (!configTransferAuto()) {
        forceAuto = true;
        if (configTransferAuto()) {
            forceAuto = false;
        } else {
            TIVRA::SYSLOG_INFO << "configTransferAuto falt";
            // Without the sink's packet-count limit, up to 103 % of the limit.
            const unsigned short keptCount = PackDataCount;
            PackDataCount = 0xFFFF;
            const bool var = (prof & PROFILE_VAR) != 0;
            const uint64_t floor103 = lim103(limitCycle);
            uint64_t t = start.picoseconds != 0 ? start.picoseconds : limitCycle.picoseconds;
            const uint64_t end = (t > UINT64_MAX - RISE_MAX) ? UINT64_MAX : t + RISE_MAX;
            for (;;) {
                const bool ended = countSearch(*this, var, Clock{t});
                if (ended && cycleTime.picoseconds >= floor103) {
                    break;
                }
                // Only a search that reached its own target can do better at
                // a longer one: a search that ended short of it has met the
                // packet limits and repeats itself, and one that failed fails
                // again (below 1 us a variable cycle holds no byte yet).
                if (ended ? cycleTime.picoseconds != t : t >= Clock::US) {
                    break;
                }
                if (t > end || end - t < STEP) {
                    break;
                }
                t += STEP;
            }
            PackDataCount = keptCount;
            forceAuto = false;
        }
    }
    TIVRA::SYSLOG_INFO << "configTransferAuto done";
}

}  // namespace QUORVIN
