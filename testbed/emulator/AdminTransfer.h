// The target's side of the host's acknowledged upload: storage areas with
// their geometry, the blocks as they arrive, one acknowledgement per marked
// burst end, and the finish check against the CRC of what arrived. The
// misbehaviours are those of a lossy link or a faulty target.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "foundation/Buffer.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"

namespace testbed {

struct DiscoveryView;
struct DiscoveryState;
struct Request;

struct TransferArea {
    // Each 1 to 65536: they travel less one.
    uint32_t blockBytes = 1024;
    uint32_t blocksPerGroup = 16;
    uint32_t groupCount = 4;
};

struct TransferConfig {
    std::vector<TransferArea> areas;
    // The area count of the first geometry answer (default: the areas).
    std::optional<uint16_t> areaCount;
    uint16_t windowLimit = 0xFFFF;  // 0xFFFF: no limit

    // Blocks are numbered over the whole upload, group * blocksPerGroup +
    // index. Lost: the first arrival of each block numbered in dropBlocks
    // and of every dropEvery-th one (number % dropEvery == dropEvery - 1);
    // with dropAlways every arrival of them.
    std::set<uint64_t> dropBlocks;
    uint32_t dropEvery = 0;
    bool dropAlways = false;
    // The first n blocks that end a burst are lost.
    uint32_t dropMarkers = 0;
    // The first n acknowledgements are not sent (the blocks are kept).
    uint32_t silentAcks = 0;
    // Acknowledgements name the counter after the last one in order.
    bool ackPlusOne = false;
    // The answers to this request (TRANSFER_REQ for an area,
    // TRANSFERDATA_REQ or TRANSFERFINISH_REQ) name the next area.
    std::optional<QUORVIN::MessageID> wrongArea;
    // The block of this number is kept with its first byte inverted.
    std::optional<uint64_t> corruptBlock;
};

struct TransferAreaState {
    // By (group, index in group), as the latest arrival gave them.
    std::map<std::pair<uint16_t, uint16_t>, TIVRA::Buffer> blocks;
    // The counter the target takes next in order; the acknowledgement
    // names the one before.
    uint16_t nextCounter = 0;
    std::set<uint64_t> arrived;  // block numbers seen at least once
    uint64_t blockArrivals = 0;  // lost ones included
    uint32_t finishes = 0;
    uint16_t finishCrc = 0;   // the host's CRC of the latest finish
    uint16_t storedCrc = 0;   // the CRC of what was stored, at that finish
    bool started = false;     // the area's geometry was asked
};

struct TransferState {
    std::map<uint16_t, TransferAreaState> areas;  // by area index from 0
    uint32_t markers = 0;  // blocks that ended a burst, lost ones included
    uint32_t acks = 0;     // acknowledgements due, withheld ones included
};

// The bytes stored in the area, its blocks in group and index order.
std::vector<uint8_t> storedData(const TransferState& state, uint16_t area);

// The handlers of the discovery table (see DiscoveryHandler).
bool transferGeometry(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                      QUORVIN::SendBuffer& answer);
bool transferData(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                  QUORVIN::SendBuffer& answer);
bool transferFinish(const DiscoveryView& target, DiscoveryState& state, const Request& request, bool commit,
                    QUORVIN::SendBuffer& answer);

}  // namespace testbed
