// The card logic's turns with arbitrary driver-written header contents:
// format, rate, channels, ring pair, request bits and volume, on a small
// card with no sink behind it; then the period copy with whatever ring a
// start would have accepted. Nothing may touch memory outside the mapping.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bridge/SyncMem.h"

namespace {

class FuzzCard : public SyncMem {
public:
    void wakeup() override {}
    void notify() override {}
    // A stream that a start accepted, without the network.
    bool pretendStream()
    {
        CardRing shape;
        const QUORVIN::FormatConfigure f =
            decodeCardFormat(QUORVIN::loadField(header->chosenFormat), QUORVIN::loadField(header->chosenRate),
                             QUORVIN::loadField(header->chosenChannels));
        if (!f.isValid()
            || !checkCardRing(QUORVIN::loadField(header->ringBytes), QUORVIN::loadField(header->periodCount),
                              cardLimits(), f.getWid() * f.getChannel(), shape)) {
            return false;
        }
        streamRingBytes.store(shape.ringBytes);
        streamPeriodBytes.store(shape.periodBytes);
        ringReadOffset = 0;
        return true;
    }
};

template <typename T>
T take(const uint8_t*& data, size_t& size)
{
    T v{};
    const size_t n = size < sizeof(T) ? size : sizeof(T);
    std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzCard card;
    card.periodMax = 4;
    card.periodSizeMax = 96;
    const size_t ringBytes = QUORVIN::bridgeRingBytes(card.periodMax, card.periodSizeMax);
    // Exactly the mapping, so ASan sees any step outside it.
    std::vector<uint64_t> words(QUORVIN::bridgeMappingBytes(card.periodMax, card.periodSizeMax) / 8);
    auto* mapping = reinterpret_cast<uint8_t*>(words.data());
    card.openMem(mapping, "fuzz", "card");
    auto* header = reinterpret_cast<QUORVIN::BridgeMemHeader*>(mapping + ringBytes);
    for (int turn = 0; turn < 2 && size > 0; ++turn) {
        QUORVIN::storeField(header->chosenFormat, take<uint64_t>(data, size));
        QUORVIN::storeField(header->chosenRate, take<uint64_t>(data, size));
        QUORVIN::storeField(header->chosenChannels, take<uint64_t>(data, size));
        QUORVIN::storeField(header->driverRequest, take<uint32_t>(data, size));
        QUORVIN::storeField(header->ringBytes, take<uint32_t>(data, size));
        QUORVIN::storeField(header->periodCount, take<uint32_t>(data, size));
        QUORVIN::storeField(header->volume, take<int32_t>(data, size));
        card.work();
        const uint32_t status = QUORVIN::loadField(header->hostStatus);
        if (status != QUORVIN::QUORVIN_BR_STATUS_OPEN && status != 0x80000007U) {
            std::abort();
        }
    }
    if (card.pretendStream()) {
        QUORVIN::storeField(header->driverRequest, uint32_t{QUORVIN::QUORVIN_BR_REQUEST_RUN});
        TIVRA::Buffer slot;
        const uint32_t ring = QUORVIN::loadField(header->ringBytes);
        for (int i = 0; i < 12; ++i) {
            card.notifyStreamDone(slot, false);
            if (QUORVIN::loadField(header->hostReadPos) >= ring || slot.size() > ring) {
                std::abort();
            }
        }
    }
    return 0;
}
