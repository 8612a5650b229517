// ALSA PCM plugin "quorvin": an ALSA application plays into a card of the
// driver stand-in, with this plugin in the driver's place. It maps the card,
// offers what the host wrote into the header as the hardware parameters,
// writes the chosen format and ring, raises and clears the request bits as
// the application prepares, starts, drains and closes, and moves the
// application's ring position on as the host reads periods.
//
//   pcm_type.quorvin { lib "/path/libasound_module_pcm_quorvin.so" }
//   pcm.main { type quorvin card "/path/quorvin-alsa_0" events "/path/events" }
//
// Options: card (the card file, required), events (the stand-in's event
// block; without it the header is polled), timeout (ms for each wait on the
// host, default 10000).
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "bridge/BridgeMemHeader.h"
#include "testbed/player/CardFormat.h"
#include "testbed/player/CardMap.h"

namespace {

using Clock = std::chrono::steady_clock;
using QUORVIN::loadField;
using QUORVIN::storeField;
using testbed::kConnected;
using testbed::kError;
using testbed::kInUse;
using testbed::kOpen;
using testbed::kPlaying;
using testbed::kRun;
using testbed::kStream;

// The card formats an ALSA format stands for. Every one is mute at zero bytes.
struct FormatPair {
    uint64_t code;
    snd_pcm_format_t alsa;
};
constexpr FormatPair kFormats[] = {
    {QUORVIN::QUORVIN_BR_FORMAT_PCM16, SND_PCM_FORMAT_S16_LE},
    {QUORVIN::QUORVIN_BR_FORMAT_PCM24, SND_PCM_FORMAT_S24_3LE},
    {QUORVIN::QUORVIN_BR_FORMAT_PCM32, SND_PCM_FORMAT_S32_LE},
    {QUORVIN::QUORVIN_BR_FORMAT_FLOAT32, SND_PCM_FORMAT_FLOAT_LE},
    {QUORVIN::QUORVIN_BR_FORMAT_FLOAT64, SND_PCM_FORMAT_FLOAT64_LE},
};

struct Card {
    snd_pcm_ioplug_t io{};
    testbed::CardMapping mapping;
    QUORVIN::BridgeMemHeader* header = nullptr;
    const testbed::DriverEvents* events = nullptr;
    const uint32_t* wakeups = nullptr;
    const uint32_t* notifies = nullptr;
    std::chrono::milliseconds timeout{10000};
    int timer = -1;

    // From hw_params.
    uint64_t format = 0;
    uint64_t rate = 0;
    uint64_t channels = 0;
    uint32_t frameBytes = 0;
    uint32_t ringBytes = 0;
    uint32_t periodCount = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t availMin = 0;
    snd_pcm_uframes_t boundary = 0;

    std::atomic<bool> streaming{false};  // the host holds a stream for these parameters

    // Where ALSA's frame 0 lies in the ring, and what the host has read since.
    std::mutex mutex;
    uint32_t base = 0;
    uint32_t lastPos = 0;
    uint64_t consumed = 0;
    bool lost = false;
    Clock::time_point progress;  // when the host last read a period

    uint32_t status() const { return loadField(header->hostStatus); }
    void request(uint32_t bits) { storeField(header->driverRequest, bits); }
    template <typename Done>
    bool waitStatus(Done done, std::chrono::milliseconds within)
    {
        return testbed::waitCard(wakeups, Clock::now() + within, done);
    }
};

Card* cardOf(snd_pcm_ioplug_t* io)
{
    return static_cast<Card*>(io->private_data);
}

// Takes in the host's reads since the last look. The host moves
// hostReadPos a period at a time and wraps at ringBytes.
void update(Card& c)
{
    const uint32_t pos = loadField(c.header->hostReadPos);
    const uint32_t s = c.status();
    if ((s & kError) != 0 || (s & kConnected) == 0 || pos >= c.ringBytes || pos % c.frameBytes != 0) {
        c.lost = true;
        return;
    }
    if (pos != c.lastPos) {
        c.consumed += (pos + c.ringBytes - c.lastPos) % c.ringBytes;
        c.lastPos = pos;
        c.progress = Clock::now();
    }
}

snd_pcm_uframes_t hwFrames(const Card& c)
{
    return static_cast<snd_pcm_uframes_t>(c.consumed / c.frameBytes);
}

// The ring as ALSA areas: interleaved, frame 0 at the ring's start.
void ringAreas(const Card& c, snd_pcm_channel_area_t* areas, unsigned channels, unsigned sampleBits)
{
    for (unsigned ch = 0; ch < channels; ++ch) {
        areas[ch].addr = c.mapping.ring;
        areas[ch].first = ch * sampleBits;
        areas[ch].step = c.frameBytes * 8;
    }
}

snd_pcm_uframes_t ringFrame(const Card& c, snd_pcm_uframes_t alsaFrame)
{
    return (c.base / c.frameBytes + alsaFrame) % c.bufferFrames;
}

// STREAM off, and the host seen to let the stream go: a next STREAM is
// then a new stream, not the old one kept.
int streamOff(Card& c)
{
    c.streaming = false;
    c.request(kInUse);
    const bool down = c.waitStatus([&] { return (c.status() & kConnected) == 0; }, c.timeout);
    if (!down) {
        SNDERR("quorvin: the host kept the stream for %lld ms (status 0x%x)", static_cast<long long>(c.timeout.count()),
               c.status());
        return -EIO;
    }
    return 0;
}

int armTimer(Card& c, bool on)
{
    itimerspec spec{};
    if (on) {
        // A quarter period: the host reads a period at a time.
        const uint64_t ns = std::max<uint64_t>(uint64_t{c.io.period_size} * 1000000000 / 4 / c.io.rate, 1000000);
        spec.it_interval.tv_sec = static_cast<time_t>(ns / 1000000000);
        spec.it_interval.tv_nsec = static_cast<long>(ns % 1000000000);
        spec.it_value = spec.it_interval;
    }
    return timerfd_settime(c.timer, 0, &spec, nullptr) == 0 ? 0 : -errno;
}

int cbHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*)
{
    Card& c = *cardOf(io);
    const FormatPair* f = std::find_if(std::begin(kFormats), std::end(kFormats),
                                       [&](const FormatPair& p) { return p.alsa == io->format; });
    if (f == std::end(kFormats) || io->period_size == 0 || io->buffer_size % io->period_size != 0) {
        return -EINVAL;
    }
    const auto* h = c.header;
    c.format = f->code;
    c.rate = testbed::rateBit(io->rate);
    c.channels = testbed::channelBit(io->channels);
    c.frameBytes = static_cast<uint32_t>(snd_pcm_format_physical_width(io->format) / 8 * io->channels);
    const uint64_t periodBytes = uint64_t{io->period_size} * c.frameBytes;
    const uint64_t ringBytes = uint64_t{io->buffer_size} * c.frameBytes;
    const uint64_t periods = io->buffer_size / io->period_size;
    if (c.rate == 0 || c.channels == 0 || periodBytes < loadField(h->periodSizeMin)
        || periodBytes > loadField(h->periodSizeMax) || periods < loadField(h->periodMin)
        || periods > loadField(h->periodMax) || ringBytes > c.mapping.ringBytes) {
        return -EINVAL;
    }
    c.ringBytes = static_cast<uint32_t>(ringBytes);
    c.periodCount = static_cast<uint32_t>(periods);
    c.bufferFrames = io->buffer_size;
    c.availMin = io->period_size;
    // alsa-lib's own rule, until the software parameters tell it.
    c.boundary = io->buffer_size;
    while (c.boundary * 2 <= LONG_MAX - io->buffer_size) {
        c.boundary *= 2;
    }
    return 0;
}

int cbSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params)
{
    Card& c = *cardOf(io);
    snd_pcm_uframes_t min = 0;
    if (snd_pcm_sw_params_get_avail_min(params, &min) == 0) {
        c.availMin = std::max<snd_pcm_uframes_t>(min, 1);
    }
    snd_pcm_uframes_t boundary = 0;
    if (snd_pcm_sw_params_get_boundary(params, &boundary) == 0 && boundary != 0) {
        c.boundary = boundary;
    }
    return 0;
}

// Every prepare asks for a fresh stream. The host, restarting play in a
// stream it stopped, refills all its free slots from the ring at once,
// more periods than a small ring holds: the application would hear the
// ring's old bytes.
int cbPrepare(snd_pcm_ioplug_t* io)
{
    Card& c = *cardOf(io);
    armTimer(c, false);
    if (c.streaming || (c.status() & kConnected) != 0) {
        const int err = streamOff(c);
        if (err < 0) {
            return err;
        }
    }
    storeField(c.header->chosenFormat, c.format);
    storeField(c.header->chosenRate, c.rate);
    storeField(c.header->chosenChannels, c.channels);
    storeField(c.header->ringBytes, c.ringBytes);
    storeField(c.header->periodCount, c.periodCount);
    c.request(kInUse | kStream);
    const auto answered = [&] {
        const uint32_t now = c.status();
        return (now & (kConnected | kError)) != 0 || (now & kOpen) != kOpen;
    };
    const bool gotAnswer = c.waitStatus(answered, c.timeout);
    const uint32_t answer = c.status();
    if (!gotAnswer || (answer & kError) != 0 || (answer & kOpen) != kOpen) {
        SNDERR("quorvin: the host did not take the stream (status 0x%x)", answer);
        streamOff(c);
        return -EIO;
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    // The host reads from here (0 after its connect).
    c.base = loadField(c.header->hostReadPos);
    if (c.base >= c.ringBytes || c.base % c.frameBytes != 0) {
        return -EIO;
    }
    c.streaming = true;
    c.lastPos = c.base;
    c.consumed = 0;
    c.lost = false;
    c.progress = Clock::now();
    return armTimer(c, true);
}

int cbStart(snd_pcm_ioplug_t* io)
{
    Card& c = *cardOf(io);
    if (!c.streaming) {
        return -EBADFD;
    }
    c.request(kInUse | kStream | kRun);
    std::lock_guard<std::mutex> lock(c.mutex);
    c.progress = Clock::now();
    return 0;
}

int cbStop(snd_pcm_ioplug_t* io)
{
    Card& c = *cardOf(io);
    c.request(c.streaming ? kInUse | kStream : kInUse);
    return 0;
}

snd_pcm_sframes_t cbPointer(snd_pcm_ioplug_t* io)
{
    Card& c = *cardOf(io);
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.streaming) {
        return -EBADFD;
    }
    update(c);
    // The host reads on at its pace: past what was written it would play
    // stale ring bytes, which is an underrun.
    if (c.lost || (io->state == SND_PCM_STATE_RUNNING && hwFrames(c) > io->appl_ptr)) {
        return -EPIPE;
    }
    // Up to the boundary, not the buffer: a host a whole buffer on (the
    // drain's last frames read) must not look like a host that stood still.
    return static_cast<snd_pcm_sframes_t>(hwFrames(c) % c.boundary);
}

snd_pcm_sframes_t cbTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                             snd_pcm_uframes_t size)
{
    Card& c = *cardOf(io);
    if (!c.streaming) {
        return -EBADFD;
    }
    snd_pcm_channel_area_t ring[64];
    if (io->channels > 64) {
        return -EINVAL;
    }
    ringAreas(c, ring, io->channels, static_cast<unsigned>(snd_pcm_format_physical_width(io->format)));
    snd_pcm_uframes_t done = 0;
    while (done < size) {
        const snd_pcm_uframes_t at = ringFrame(c, io->appl_ptr + done);
        const snd_pcm_uframes_t n = std::min(size - done, c.bufferFrames - at);
        snd_pcm_areas_copy(ring, at, areas, offset + done, io->channels, n, io->format);
        done += n;
    }
    return static_cast<snd_pcm_sframes_t>(size);
}

// The rest of the ring goes mute, so that what the host reads after the
// last frame is silence, and the drain ends once it has read that frame.
int cbDrain(snd_pcm_ioplug_t* io)
{
    Card& c = *cardOf(io);
    if (!c.streaming) {
        return 0;
    }
    const snd_pcm_uframes_t end = io->appl_ptr;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        // A drain before the start threshold was reached (less to play than
        // the buffer holds) comes without a start: what was written plays now.
        if ((loadField(c.header->driverRequest) & kRun) == 0) {
            c.request(kInUse | kStream | kRun);
            c.progress = Clock::now();
        }
        update(c);
        const snd_pcm_uframes_t hw = std::min(hwFrames(c), end);
        for (snd_pcm_uframes_t f = end; f < hw + c.bufferFrames;) {
            const snd_pcm_uframes_t at = ringFrame(c, f);
            const snd_pcm_uframes_t n = std::min(hw + c.bufferFrames - f, c.bufferFrames - at);
            std::memset(c.mapping.ring + uint64_t{at} * c.frameBytes, 0, uint64_t{n} * c.frameBytes);
            f += n;
        }
    }
    const auto playTime = std::chrono::milliseconds(uint64_t{c.bufferFrames} * 1000 / io->rate);
    const bool drained = testbed::waitCard(c.notifies, Clock::now() + playTime + c.timeout, [&] {
        std::lock_guard<std::mutex> lock(c.mutex);
        update(c);
        return c.lost || hwFrames(c) >= end;
    });
    if (!drained) {
        SNDERR("quorvin: the host stopped reading (status 0x%x)", c.status());
        return -EIO;
    }
    return 0;
}

int cbHwFree(snd_pcm_ioplug_t* io)
{
    Card& c = *cardOf(io);
    armTimer(c, false);
    return c.streaming ? streamOff(c) : 0;
}

int cbPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents)
{
    Card& c = *cardOf(io);
    uint64_t ticks = 0;
    if (nfds >= 1 && (pfd[0].revents & POLLIN) != 0) {
        [[maybe_unused]] const ssize_t got = read(c.timer, &ticks, sizeof(ticks));
    }
    *revents = 0;
    if (io->state == SND_PCM_STATE_XRUN) {
        *revents = POLLERR;
        return 0;
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.streaming) {
        *revents = POLLERR;
        return 0;
    }
    update(c);
    // A host that stopped reading: an I/O error, as a driver's write gives
    // when its interrupts stop, rather than an endless wait.
    const bool running = io->state == SND_PCM_STATE_RUNNING || io->state == SND_PCM_STATE_DRAINING;
    if (c.lost || (running && Clock::now() - c.progress > c.timeout)) {
        *revents = POLLERR;
        return 0;
    }
    const snd_pcm_uframes_t hw = hwFrames(c);
    const snd_pcm_uframes_t queued = io->appl_ptr > hw ? io->appl_ptr - hw : 0;
    const snd_pcm_uframes_t avail = queued < c.bufferFrames ? c.bufferFrames - queued : 0;
    if (avail >= c.availMin || io->state == SND_PCM_STATE_DRAINING) {
        *revents = POLLOUT;
    }
    return 0;
}

void release(Card* c)
{
    if (c->timer >= 0) {
        close(c->timer);
    }
    testbed::unmapEvents(c->events);
    testbed::unmapCard(c->mapping);
    delete c;
}

int cbClose(snd_pcm_ioplug_t* io)
{
    Card* c = cardOf(io);
    if (c->streaming) {
        streamOff(*c);
    }
    c->request(0);
    release(c);
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t cb{};
    cb.start = cbStart;
    cb.stop = cbStop;
    cb.pointer = cbPointer;
    cb.transfer = cbTransfer;
    cb.close = cbClose;
    cb.hw_params = cbHwParams;
    cb.hw_free = cbHwFree;
    cb.sw_params = cbSwParams;
    cb.prepare = cbPrepare;
    cb.drain = cbDrain;
    cb.poll_revents = cbPollRevents;
    return cb;
}();

// The header's offer as ALSA's parameter space.
int setConstraints(Card& c)
{
    const auto* h = c.header;
    const uint64_t formatMask = loadField(h->formatMask);
    const uint64_t rateMask = loadField(h->rateMask);
    const uint64_t channelMask = loadField(h->channelMask);
    static const unsigned accesses[] = {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_MMAP_INTERLEAVED};
    unsigned formats[std::size(kFormats)];
    unsigned nFormats = 0;
    for (const FormatPair& f : kFormats) {
        if ((formatMask & f.code) != 0) {
            formats[nFormats++] = static_cast<unsigned>(f.alsa);
        }
    }
    unsigned rates[64];
    unsigned nRates = 0;
    for (int bit = 0; bit < 64; ++bit) {
        const uint64_t hz = testbed::rateOfBit(rateMask & (uint64_t{1} << bit));
        if (hz != 0 && hz <= UINT32_MAX) {
            rates[nRates++] = static_cast<unsigned>(hz);
        }
    }
    std::sort(rates, rates + nRates);
    unsigned channels[64];
    unsigned nChannels = 0;
    for (unsigned n = 1; n <= 64; ++n) {
        if ((channelMask & testbed::channelBit(n)) != 0) {
            channels[nChannels++] = n;
        }
    }
    if (nFormats == 0 || nRates == 0 || nChannels == 0) {
        SNDERR("quorvin: the card offers nothing to play (formats 0x%llx rates 0x%llx channels 0x%llx)",
               static_cast<unsigned long long>(formatMask), static_cast<unsigned long long>(rateMask),
               static_cast<unsigned long long>(channelMask));
        return -EINVAL;
    }
    const unsigned sizeMin = loadField(h->periodSizeMin);
    const unsigned sizeMax = loadField(h->periodSizeMax);
    const unsigned periodMin = loadField(h->periodMin);
    const unsigned periodMax = loadField(h->periodMax);
    snd_pcm_ioplug_t* io = &c.io;
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, std::size(accesses), accesses);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, nFormats, formats);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE, nRates, rates);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_CHANNELS, nChannels, channels);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, sizeMin, sizeMax);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, periodMin, periodMax);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, sizeMin * periodMin,
                                              static_cast<unsigned>(c.mapping.ringBytes));
    }
    return err;
}

int openCard(Card& c, const std::string& cardPath, const std::string& eventsPath)
{
    std::string error;
    if (!testbed::mapCard(cardPath, 0, c.mapping, error)) {
        SNDERR("quorvin: %s", error.c_str());
        return -ENODEV;
    }
    c.header = reinterpret_cast<QUORVIN::BridgeMemHeader*>(c.mapping.ring + c.mapping.ringBytes);
    if (!eventsPath.empty()) {
        const int card = testbed::cardOfNode(cardPath);
        if (card < 0) {
            SNDERR("quorvin: no card number in %s for the event block", cardPath.c_str());
            return -EINVAL;
        }
        c.events = testbed::mapEvents(eventsPath, error);
        if (c.events == nullptr) {
            SNDERR("quorvin: %s", error.c_str());
            return -ENODEV;
        }
        c.wakeups = &c.events->wakeups[card];
        c.notifies = &c.events->notifies[card];
    }
    if (!c.waitStatus([&] { return (c.status() & kOpen) == kOpen; }, c.timeout)) {
        SNDERR("quorvin: %s is not open (status 0x%x)", cardPath.c_str(), c.status());
        return -ENODEV;
    }
    const uint64_t ring = QUORVIN::bridgeRingBytes(loadField(c.header->periodMax), loadField(c.header->periodSizeMax));
    if (ring != c.mapping.ringBytes) {
        SNDERR("quorvin: the header's limits give a ring of %llu bytes, the card holds %llu",
               static_cast<unsigned long long>(ring), static_cast<unsigned long long>(c.mapping.ringBytes));
        return -EINVAL;
    }
    c.timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return c.timer >= 0 ? 0 : -errno;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(quorvin)
{
    (void)root;
    std::string cardPath;
    std::string eventsPath;
    long timeoutMs = 10000;
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(n, &id) < 0) {
            continue;
        }
        const std::string key = id;
        if (key == "comment" || key == "type" || key == "hint") {
            continue;
        }
        const char* text = nullptr;
        if ((key == "card" || key == "events") && snd_config_get_string(n, &text) >= 0) {
            (key == "card" ? cardPath : eventsPath) = text;
            continue;
        }
        if (key == "timeout" && snd_config_get_integer(n, &timeoutMs) >= 0 && timeoutMs > 0) {
            continue;
        }
        SNDERR("quorvin: unknown or bad option %s", id);
        return -EINVAL;
    }
    if (cardPath.empty()) {
        SNDERR("quorvin: no card given");
        return -EINVAL;
    }
    if (stream != SND_PCM_STREAM_PLAYBACK) {
        SNDERR("quorvin: a card only plays");
        return -EINVAL;
    }

    auto* c = new Card;
    c->timeout = std::chrono::milliseconds(timeoutMs);
    int err = openCard(*c, cardPath, eventsPath);
    if (err < 0) {
        release(c);
        return err;
    }
    c->io.version = SND_PCM_IOPLUG_VERSION;
    c->io.name = "Quorvin card";
    c->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC | SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
    c->io.poll_fd = c->timer;
    c->io.poll_events = POLLIN;
    c->io.mmap_rw = 0;
    c->io.callback = &kCallbacks;
    c->io.private_data = c;
    err = snd_pcm_ioplug_create(&c->io, name, stream, mode);
    if (err < 0) {
        release(c);
        return err;
    }
    err = setConstraints(*c);
    if (err < 0) {
        snd_pcm_ioplug_delete(&c->io);  // closes through cbClose
        return err;
    }
    c->request(kInUse);
    *pcmp = c->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(quorvin);

}  // extern "C"
