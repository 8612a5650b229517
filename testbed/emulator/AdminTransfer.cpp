#include "testbed/emulator/AdminTransfer.h"

#include "foundation/CRC16.h"
#include "testbed/emulator/DiscoveryHandlers.h"

namespace testbed {

namespace {

using QUORVIN::STATUS_OK;

constexpr uint16_t kLastOfBurst = 0x8000;

uint16_t areaWord(const TransferConfig& c, QUORVIN::MessageID request, uint16_t area)
{
    return static_cast<uint16_t>(area + 1 + (c.wrongArea == request ? 1 : 0));
}

const TransferArea* findArea(const TransferConfig& c, uint16_t word, uint16_t& area)
{
    if (word == 0 || word > c.areas.size()) {
        return nullptr;
    }
    area = static_cast<uint16_t>(word - 1);
    return &c.areas[area];
}

}  // namespace

std::vector<uint8_t> storedData(const TransferState& state, uint16_t area)
{
    std::vector<uint8_t> out;
    const auto it = state.areas.find(area);
    if (it == state.areas.end()) {
        return out;
    }
    for (const auto& [at, bytes] : it->second.blocks) {
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

bool transferGeometry(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                      QUORVIN::SendBuffer& answer)
{
    const TransferConfig& c = target.config->transfer;
    if (request.option0 == 0) {
        const uint16_t count = c.areaCount.value_or(static_cast<uint16_t>(c.areas.size() > 0xFFFF ? 0xFFFF : c.areas.size()));
        answer.set(QUORVIN::TRANSFER_ANS, STATUS_OK, count, c.windowLimit, 0, 0);
        return true;
    }
    uint16_t area = 0;
    const TransferArea* a = findArea(c, request.option0, area);
    if (a == nullptr) {
        answer.set(QUORVIN::TRANSFER_ANS, 0, request.option0, 0, 0, 0);
        return true;
    }
    if (commit) {
        TransferAreaState fresh;
        fresh.started = true;
        state.transfer.areas[area] = std::move(fresh);
    }
    answer.set(QUORVIN::TRANSFER_ANS, STATUS_OK, areaWord(c, QUORVIN::TRANSFER_REQ, area),
               static_cast<uint16_t>(a->blockBytes - 1), static_cast<uint16_t>(a->blocksPerGroup - 1),
               static_cast<uint16_t>(a->groupCount - 1));
    return true;
}

bool transferData(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                  QUORVIN::SendBuffer& answer)
{
    const TransferConfig& c = target.config->transfer;
    uint16_t area = 0;
    const TransferArea* a = findArea(c, request.option0 & ~kLastOfBurst, area);
    if (a == nullptr) {
        return false;  // nowhere to put it: lost
    }
    const bool marked = (request.option0 & kLastOfBurst) != 0;
    if (!commit) {
        // A refusal leaves the area alone and comes at once.
        answer.set(QUORVIN::TRANSFERDATA_ANS, 0, areaWord(c, QUORVIN::TRANSFERDATA_REQ, area), 0, 0, 0);
        return true;
    }
    TransferAreaState& s = state.transfer.areas[area];
    const uint16_t counter = request.option1;
    const uint16_t index = request.option2;
    const uint16_t group = request.option3;
    const uint64_t number = uint64_t{group} * a->blocksPerGroup + index;
    ++s.blockArrivals;
    const bool first = s.arrived.insert(number).second;
    const bool chosen =
        c.dropBlocks.count(number) != 0 || (c.dropEvery != 0 && number % c.dropEvery == c.dropEvery - 1);
    if (chosen && (first || c.dropAlways)) {
        return false;
    }
    if (marked && state.transfer.markers++ < c.dropMarkers) {
        return false;
    }
    TIVRA::Buffer bytes(request.payload.begin(), request.payload.end());
    if (c.corruptBlock == number && !bytes.empty()) {
        bytes[0] = static_cast<uint8_t>(~bytes[0]);
    }
    s.blocks[{group, index}] = std::move(bytes);
    if (counter == s.nextCounter) {
        ++s.nextCounter;
    }
    if (!marked || state.transfer.acks++ < c.silentAcks) {
        return false;
    }
    const auto acked = static_cast<uint16_t>(s.nextCounter - 1 + (c.ackPlusOne ? 1 : 0));
    answer.set(QUORVIN::TRANSFERDATA_ANS, STATUS_OK, areaWord(c, QUORVIN::TRANSFERDATA_REQ, area), acked, 0, 0);
    return true;
}

bool transferFinish(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                    QUORVIN::SendBuffer& answer)
{
    const TransferConfig& c = target.config->transfer;
    uint16_t area = 0;
    if (findArea(c, request.option0, area) == nullptr) {
        answer.set(QUORVIN::TRANSFERFINISH_ANS, 0, request.option0, request.option1, 0, 0);
        return true;
    }
    TIVRA::CRC16 crc;
    const auto it = state.transfer.areas.find(area);
    if (it != state.transfer.areas.end()) {
        for (const auto& [at, bytes] : it->second.blocks) {
            crc.update(TIVRA::BufferCS_const{bytes.data(), bytes.size()});
        }
    }
    const uint16_t storedCrc = crc.get();
    if (commit) {
        TransferAreaState& s = state.transfer.areas[area];
        ++s.finishes;
        s.finishCrc = request.option1;
        s.storedCrc = storedCrc;
    }
    // Option 2: 0xFFFF for a match, 0 otherwise; option 3 what the target has.
    answer.set(QUORVIN::TRANSFERFINISH_ANS, STATUS_OK, areaWord(c, QUORVIN::TRANSFERFINISH_REQ, area),
               request.option1, storedCrc == request.option1 ? 0xFFFF : 0, storedCrc);
    return true;
}

}  // namespace testbed
