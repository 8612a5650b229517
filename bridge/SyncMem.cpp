// Card logic (see SyncMem.h).
#include "bridge/SyncMem.h"

#include <cstdio>
#include <cstring>

#include "foundation/SysLog.h"

using namespace QUORVIN;
using TIVRA::Clock;

namespace {

constexpr uint64_t RATE_BASE_8000 = uint64_t{1} << 32;
constexpr uint64_t RATE_BASE_44100 = uint64_t{1} << 33;
constexpr uint64_t RATE_BASE_48000 = uint64_t{1} << 34;
constexpr int RATE_MULTI_SHIFT = 35;
constexpr uint64_t DSD_WORD32 = 0x2000000;
constexpr Clock ONE_SECOND_LESS_1PS{999999999};
constexpr size_t DUMP_CHARACTERS = 767;
constexpr int16_t SINK_VOLUME_MIN = -6000;
constexpr int32_t CARD_VOLUME_MAX = 10001;

struct FormatCode {
    uint64_t code;
    FormatID id;
};
constexpr FormatCode FORMAT_CODES[] = {
    {QUORVIN_BR_FORMAT_PCM8, PCM8},
    {QUORVIN_BR_FORMAT_PCM16, PCM16},
    {QUORVIN_BR_FORMAT_PCM24, PCM24},
    {QUORVIN_BR_FORMAT_PCM32, PCM32},
    {QUORVIN_BR_FORMAT_PCM64, PCM64},
    {QUORVIN_BR_FORMAT_FLOAT32, FLOAT32},
    {QUORVIN_BR_FORMAT_FLOAT64, FLOAT64},
    {QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE, DSD1_LSB_LITTLE},
    {QUORVIN_BR_FORMAT_DSD1_LSB_BIG, DSD1_LSB_BIG},
    {QUORVIN_BR_FORMAT_DSD1_MSB_LITTLE, DSD1_MSB_LITTLE},
    {QUORVIN_BR_FORMAT_DSD1_MSB_BIG, DSD1_MSB_BIG},
};

bool streamActive(int32_t state)
{
    return state == SYNC_CONNECTING || state == SYNC_CONNECTED || state == SYNC_DISCONNECTING;
}

uint64_t microseconds(Clock c)
{
    return static_cast<uint64_t>(c.picoseconds / 1000000);
}

}  // namespace

// ---- pure parts

uint64_t cardFormatMask(FormatSupport pcm, FormatSupport dsdLsb, FormatSupport dsdMsb)
{
    static constexpr struct {
        uint64_t capability;
        uint64_t code;
    } PCM_CODES[] = {
        {0x100, QUORVIN_BR_FORMAT_PCM8},     {0x200, QUORVIN_BR_FORMAT_PCM16},   {0x400, QUORVIN_BR_FORMAT_PCM24},
        {0x800, QUORVIN_BR_FORMAT_PCM32},    {0x1000, QUORVIN_BR_FORMAT_PCM64},  {0x2000, QUORVIN_BR_FORMAT_FLOAT32},
        {0x4000, QUORVIN_BR_FORMAT_FLOAT64},
    };
    uint64_t mask = 0;
    for (const auto& p : PCM_CODES) {
        if ((uint64_t{pcm} & p.capability) != 0) {
            mask |= p.code;
        }
    }
    if (((uint64_t{dsdLsb} | uint64_t{dsdMsb}) & DSD_WORD32) != 0) {
        mask |= QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE | QUORVIN_BR_FORMAT_DSD1_LSB_BIG | QUORVIN_BR_FORMAT_DSD1_MSB_LITTLE
                | QUORVIN_BR_FORMAT_DSD1_MSB_BIG;
    }
    return mask;
}

uint64_t cardRateMask(FormatSupport pcm, FormatSupport dsdLsb, FormatSupport dsdMsb)
{
    const uint64_t p = pcm;
    const uint64_t d = uint64_t{dsdLsb} | uint64_t{dsdMsb};
    auto multi = [](uint64_t m, int k) { return (m & (uint64_t{1} << (RATE_MULTI_SHIFT + k))) != 0; };
    uint64_t mask = 0;
    if ((p & RATE_BASE_8000) != 0 && multi(p, 0)) {
        mask |= QUORVIN_BR_RATE_8000;
    }
    for (int k = 0; k < BRIDGE_RATE_STEPS; ++k) {
        if ((p & RATE_BASE_44100) != 0 && multi(p, k)) {
            mask |= bridgeRateBit44100(k);
        }
        if ((p & RATE_BASE_48000) != 0 && multi(p, k)) {
            mask |= bridgeRateBit48000(k);
        }
    }
    // DSD x64 and up, at the bit of its bit rate / 32.
    for (int k = 6; k < BRIDGE_RATE_STEPS; ++k) {
        if ((d & RATE_BASE_44100) != 0 && multi(d, k)) {
            mask |= bridgeRateBit44100(k - 5);
        }
        if ((d & RATE_BASE_48000) != 0 && multi(d, k)) {
            mask |= bridgeRateBit48000(k - 5);
        }
    }
    return mask;
}

uint64_t cardChannelMask(FormatSupport pcm, FormatSupport dsdLsb, FormatSupport dsdMsb)
{
    static constexpr uint64_t CHANNEL_BITS[6] = {1U << 0, 1U << 1, 1U << 3, 1U << 5, 1U << 7, 1U << 15};
    const uint64_t codes = uint64_t{pcm} | uint64_t{dsdLsb} | uint64_t{dsdMsb};
    uint64_t mask = 0;
    for (int i = 0; i < 6; ++i) {
        if ((codes >> i) & 1) {
            mask |= CHANNEL_BITS[i];
        }
    }
    return mask;
}

FormatConfigure decodeCardFormat(uint64_t chosenFormat, uint64_t chosenRate, uint64_t chosenChannels)
{
    FormatConfigure format(0);
    for (const FormatCode& f : FORMAT_CODES) {
        if (chosenFormat == f.code) {
            format.setFormat(f.id);
        }
    }
    // DSD is offered at the bit of its bit rate / 32, so its rate comes back x 32.
    const int dsdShift = format.isDSD() ? 5 : 0;
    bool rated = false;
    if (chosenRate == QUORVIN_BR_RATE_8000) {
        rated = format.setSpeed(8000UL << dsdShift);
    } else {
        const uint64_t pairs = chosenRate >> 1;
        for (int i = 0; i < 30; ++i) {
            const uint64_t pair = (pairs >> (2 * i)) & 3;
            if (pair == 0) {
                continue;
            }
            if ((pair & 1) != 0) {
                rated = format.setSpeed(44100UL << (i + dsdShift)) || rated;
            }
            if ((pair & 2) != 0) {
                rated = format.setSpeed(48000UL << (i + dsdShift)) || rated;
            }
            break;
        }
    }
    // A PCM format is valid without a speed; a stream is not.
    if (!rated) {
        return FormatConfigure(0);
    }
    for (int b = 0; b < 30; ++b) {
        if ((chosenChannels >> b) & 1) {
            format.setChannel(static_cast<unsigned>(b + 1));
            break;
        }
    }
    return format;
}

bool checkCardRing(uint32_t ringBytes, uint32_t periodCount, const CardLimits& limits, unsigned frameBytes,
                   CardRing& ring)
{
    if (periodCount < 1 || periodCount < limits.periodMin || periodCount > limits.periodMax
        || ringBytes % periodCount != 0 || frameBytes == 0) {
        return false;
    }
    // Within these the ring fits the mapping, and a stop never waits on
    // more queued silence than the card was made for.
    const uint32_t period = ringBytes / periodCount;
    if (period == 0 || period < limits.periodSizeMin || period > limits.periodSizeMax || period % frameBytes != 0) {
        return false;
    }
    ring = CardRing{ringBytes, periodCount, period};
    return true;
}

int16_t cardToSinkVolume(int32_t card)
{
    if (card > 9999) {
        return 0;
    }
    if (card <= 0) {
        return SINK_VOLUME_MIN;
    }
    return static_cast<int16_t>((card - CARD_VOLUME_MAX) * 6000 / 10000);
}

int32_t sinkToCardVolume(int16_t sink)
{
    if (sink >= 0) {
        return CARD_VOLUME_MAX;
    }
    if (sink <= SINK_VOLUME_MIN) {
        return 1;
    }
    return (sink + 6000) * 10000 / 6000 + 1;
}

std::string cardStartLine(Clock cycle, int64_t cycleSize, Clock minCycle, TransferMode mode, const CardRing& ring,
                          unsigned frameBytes)
{
    const uint64_t us = microseconds(cycle);
    // A cycle below one microsecond has no rate to show.
    double rate = us == 0 ? 0.0 : 1000000.0 / static_cast<double>(us);
    double again = rate;
    if (mode == TransferSinkCycle) {
        again = us == 0 ? 0.0 : static_cast<double>(1000000 / us);
    }
    char line[256];
    std::snprintf(line, sizeof line, "start cycle=%lluusec %lfHz size=%lld cycleMin=%lluusec %lf5Buffer count=%u size=%u frameSize=%u",
                  static_cast<unsigned long long>(us), rate, static_cast<long long>(cycleSize),
                  static_cast<unsigned long long>(microseconds(minCycle)), again, ring.periodCount, ring.ringBytes,
                  frameBytes);
    return line;
}

// ---- the node

SyncMem::SyncMem() : control(Control::Setting{"Alsa Host Control", ~uint64_t{0}}) {}

SyncMem::~SyncMem()
{
    // The stream's threads call this object's hooks: end them before the
    // parts they use go.
    SyncBuffer::close();
    releaseCpu();
}

void SyncMem::releaseCpu()
{
    if (cpuSend != -1) {
        if (occupiedCpu != nullptr) {
            occupiedCpu->releaseCpuSend(cpuSend);
        }
        cpuSend = -1;
    }
}

bool SyncMem::setSink(TIVRA::IPAddress sinkAddress, const Find::StatusSort& chain, Clock timeout, bool probe)
{
    for (const Find::StatusSortSt& entry : chain) {
        TIVRA::SYSLOG_INFO << "Status : " << entry.peerName;
    }
    if (!chain.empty()) {
        if (!control.open()) {
            TIVRA::SYSLOG_ERR << "control open error";
            return false;
        }
        if (!control.connect(chain)) {
            TIVRA::SYSLOG_ERR << "control connect error";
            return false;
        }
    }
    return Sync::setSink(sinkAddress, timeout, probe);
}

void SyncMem::openMem(uint8_t* mapping, const std::string& targetName, const std::string& sinkName)
{
    ring = mapping;
    header = reinterpret_cast<BridgeMemHeader*>(mapping + bridgeRingBytes(periodMax, periodSizeMax));
    std::memset(header->name1, 0, sizeof header->name1);
    std::memset(header->name2, 0, sizeof header->name2);
    std::memcpy(header->name1, targetName.data(), std::min(targetName.size(), sizeof header->name1 - 1));
    std::memcpy(header->name2, sinkName.data(), std::min(sinkName.size(), sizeof header->name2 - 1));
    storeField(header->formatMask, cardFormatMask(sincSupportPCM, sincSupportDSDlsb, sincSupportDSDmsb));
    storeField(header->rateMask, cardRateMask(sincSupportPCM, sincSupportDSDlsb, sincSupportDSDmsb));
    storeField(header->channelMask, cardChannelMask(sincSupportPCM, sincSupportDSDlsb, sincSupportDSDmsb));
    storeField(header->periodSizeMin, periodSizeMin);
    storeField(header->periodSizeMax, periodSizeMax);
    storeField(header->periodMin, periodMin);
    storeField(header->periodMax, periodMax);
    short volume = 0;
    if (control.getVolume(volume)) {
        volumeShown = sinkToCardVolume(volume);
        TIVRA::SYSLOG_INFO << "Volume Add : " << volume << " " << volumeShown;
    } else {
        volumeShown = 0;
    }
    storeField(header->volume, volumeShown);
    bridgeStatus = QUORVIN_BR_STATUS_OPEN;
    statusUpdate();
}

void SyncMem::statusUpdate()
{
    if (bridgeStatus != bridgeStatusShown) {
        bridgeStatusShown = bridgeStatus;
        storeField(header->hostStatus, bridgeStatus);
        wakeup();
    }
}

void SyncMem::setErrorStatus()
{
    bridgeStatus |= QUORVIN_BR_STATUS_ERROR | QUORVIN_BR_STATUS_CONNECTED;
    statusUpdate();
}

bool SyncMem::isMemStatusOpen() const
{
    return header != nullptr && (loadField(header->driverRequest) & QUORVIN_BR_REQUEST_INUSE) != 0;
}

void SyncMem::volumeStep()
{
    const int32_t v = loadField(header->volume);
    if (v == volumeShown) {
        return;
    }
    volumeShown = v;
    // 0 is "no volume reported", not -60 dB.
    if (v == 0) {
        return;
    }
    control.setVolume(cardToSinkVolume(v));
    short r = 0;
    if (!control.getVolume(r)) {
        return;
    }
    const int32_t card = sinkToCardVolume(r);
    // From the value read: a change the application made meanwhile stays,
    // and goes to the sink on the next turn.
    int32_t expected = v;
    if (exchangeField(header->volume, expected, card)) {
        volumeShown = card;
        TIVRA::SYSLOG_INFO << "Volume Update : " << r << " " << card;
    }
}

bool SyncMem::work()
{
    if (linkFailed()) {
        return false;
    }
    if (streamActive(syncState.load())) {
        const uint32_t request = loadField(header->driverRequest);
        const bool run = (request & QUORVIN_BR_REQUEST_RUN) != 0;
        if (!run && playing.load()) {
            bridgeStatus &= ~uint32_t{QUORVIN_BR_STATUS_PLAYING};
            statusUpdate();
            SyncBuffer::stop();
        } else if (run && !playing.load()) {
            bridgeStatus |= QUORVIN_BR_STATUS_PLAYING;
            statusUpdate();
            SyncBuffer::play();
        }
        if ((loadField(header->driverRequest) & QUORVIN_BR_REQUEST_STREAM) == 0) {
            SyncBuffer::disconnect();
            bridgeStatus = QUORVIN_BR_STATUS_OPEN;
            statusUpdate();
            releaseCpu();
        }
        volumeStep();
        return true;
    }
    bridgeStatus = QUORVIN_BR_STATUS_OPEN;
    statusUpdate();
    if ((loadField(header->driverRequest) & QUORVIN_BR_REQUEST_STREAM) == 0) {
        volumeStep();
        return true;
    }
    return startStream();
}

bool SyncMem::startStream()
{
    // One snapshot of what the driver wrote decides this start.
    const uint64_t chosenFormat = loadField(header->chosenFormat);
    const uint64_t chosenRate = loadField(header->chosenRate);
    const uint64_t chosenChannels = loadField(header->chosenChannels);
    const uint32_t ringBytes = loadField(header->ringBytes);
    const uint32_t periodCount = loadField(header->periodCount);
    const FormatConfigure format = decodeCardFormat(chosenFormat, chosenRate, chosenChannels);
    TIVRA::SYSLOG_INFO << "connect";
    CardRing shape;
    if (!format.isValid()
        || !checkCardRing(ringBytes, periodCount, cardLimits(), format.getWid() * format.getChannel(), shape)) {
        setErrorStatus();
        volumeStep();
        return true;
    }
    TIVRA::SYSLOG_INFO << "valid format";
    // The previous stream's buffer worker, if that stream ended on its own,
    // may still be in its fill hook, reading the ring and the read offset.
    joinEndedWorker();
    ringReadOffset = 0;
    storeField(header->hostReadPos, uint32_t{0});
    std::memset(ring, format.getMuteByte(), shape.ringBytes);
    notify();
    if (!is_active() || !setSinkConfigure(format)) {
        setErrorStatus();
        return false;
    }
    const AlsaProfile& p = alsaProfile;
    if (p.InfTargetProfileLimitTime.picoseconds != 0) {
        TIVRA::SYSLOG_NOTICE << "configTransfer profile";
        configTransferAuto(p.InfTargetProfileLimitTime, Clock(0), p.InfCycleTime);
        if (getCycleTime().Comp(ONE_SECOND_LESS_1PS) > 0) {
            changeWorkMode(getWorkMode() & ~uint32_t{NOSLEEP4CORE | NOSLEEPFORCE});
        }
    } else if (p.InfFlexRandom) {
        TIVRA::SYSLOG_NOTICE << "configTransfer Random " << microseconds(p.InfCycleTime) << " - "
                             << microseconds(p.InfCycleMinTime);
        if (!configTransferRandom(p.InfCycleMinTime, p.InfCycleTime, 0)) {
            TIVRA::SYSLOG_ERR << "error configTransfer Random";
            return false;
        }
    } else if (p.InfFlexVar) {
        TIVRA::SYSLOG_NOTICE << "configTransfer Var " << microseconds(p.InfCycleTime);
        if (!configTransferVar(p.InfCycleTime, 0)) {
            TIVRA::SYSLOG_ERR << "error configTransfer Var";
            return false;
        }
    } else {
        TIVRA::SYSLOG_NOTICE << "configTransfer Fix " << microseconds(p.InfCycleTime);
        if (!configTransferFix(p.InfCycleTime, 0)) {
            TIVRA::SYSLOG_ERR << "error configTransfer Fix";
            return false;
        }
    }
    const unsigned frameBytes = hostConfig.getWid() * hostConfig.getChannel();
    if (TIVRA::quorvin_log >= TIVRA::SYSLOG_NOTICE) {
        const std::string line =
            cardStartLine(getCycleTime(), getCycleSize(), getMinCycleTime(), getMode(), shape, frameBytes);
        TIVRA::SYSLOG_NOTICE << line.c_str();
    }
    if (TIVRA::quorvin_log == TIVRA::SYSLOG_DEBUG) {
        dumpCount.store(1);
    }
    streamRingBytes.store(shape.ringBytes);
    streamPeriodBytes.store(shape.periodBytes);
    setupBuffer(frameBytes == 0 ? 0 : shape.periodBytes / frameBytes, 8, false, 0);
    if (!connectPrepare()) {
        setErrorStatus();
        return false;
    }
    if (occupiedCpu != nullptr) {
        releaseCpu();
        cpuSend = occupiedCpu->commitCpuSend();
    }
    if (!SyncBuffer::connect(true, cpuSend)) {
        setErrorStatus();
        return false;
    }
    if (connectWait() && streamActive(syncState.load())) {
        bridgeStatus |= QUORVIN_BR_STATUS_CONNECTED;
        statusUpdate();
        TIVRA::SYSLOG_INFO << "connect DONE";
        volumeStep();
        return true;
    }
    setErrorStatus();
    return false;
}

void SyncMem::notifyStreamDone(TIVRA::Buffer& slot, bool /*firstAfterCycle*/)
{
    if ((loadField(header->driverRequest) & QUORVIN_BR_REQUEST_RUN) == 0) {
        slot.resize(0);
        return;
    }
    const uint64_t ringBytes = streamRingBytes.load();
    const uint64_t left = ringBytes - ringReadOffset;
    const uint64_t n = std::min<uint64_t>(streamPeriodBytes.load(), left);
    slot.resize(n);
    std::memcpy(slot.data(), ring + ringReadOffset, n);
    ringReadOffset += n;
    if (ringReadOffset >= ringBytes) {
        ringReadOffset = 0;
    }
    storeField(header->hostReadPos, static_cast<uint32_t>(ringReadOffset));
    notify();
    if (dumpCount.load() > 0) {
        dumpCount.fetch_sub(1);
        std::string text = TIVRA::BufferCS_const{slot.data(), slot.size()}.dump();
        if (text.size() > DUMP_CHARACTERS) {
            text.resize(DUMP_CHARACTERS);
        }
        TIVRA::SYSLOG_DEBUG << "DUMP:" << text;
    }
}

void SyncMem::close()
{
    SyncBuffer::close();
    bridgeStatus = QUORVIN_BR_STATUS_CLOSED;
    bridgeStatusShown = QUORVIN_BR_STATUS_CLOSED;
    if (header != nullptr) {
        storeField(header->hostStatus, uint32_t{QUORVIN_BR_STATUS_CLOSED});
    }
    releaseCpu();
    wakeup();
}

