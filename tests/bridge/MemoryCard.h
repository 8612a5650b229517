// A node on a card in ordinary memory, the test playing the driver's part
// in the header, against the target emulator over ::1.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/SyncMem.h"
#include "testbed/emulator/TargetEmulator.h"

namespace memorycard {

// The node's wake-ups and notifies go nowhere: each is kept as the header's
// status or read position at that moment.
class MemoryCard : public SyncMem {
public:
    void wakeup() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        statuses.push_back(QUORVIN::loadField(header->hostStatus));
    }
    void notify() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        readPositions.push_back(QUORVIN::loadField(header->hostReadPos));
    }
    std::vector<uint32_t> wakeups()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses;
    }
    std::vector<uint32_t> notifies()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return readPositions;
    }
    QUORVIN::BridgeMemHeader& card() { return *header; }
    using SyncMem::syncState;

private:
    std::mutex mutex;
    std::vector<uint32_t> statuses;
    std::vector<uint32_t> readPositions;
};

class MemoryCardTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        node.reset();
        emulator.stop();
    }

    // The node bound to sink 0 of a target on `config`, its card opened on `memory`.
    void open(bool withChain = false)
    {
        ASSERT_TRUE(emulator.start(config));
        node = std::make_unique<MemoryCard>();
        ASSERT_TRUE(node->open(1, TIVRA::Clock(10 * TIVRA::Clock::MS), 0, "VUVO VAZA", ~0UL, -1, 0, 0));
        QUORVIN::Find::StatusSort chain;
        if (withChain) {
            QUORVIN::Find::StatusSortSt entry;
            entry.sinkAddress = emulator.sinkAddress(0);
            entry.peerName = "Emulated";
            entry.head = true;
            entry.tail = true;
            chain.push_back(entry);
        }
        ASSERT_TRUE(node->setSink(emulator.sinkAddress(0), chain, TIVRA::Clock(200 * TIVRA::Clock::MS), false));
        memory.assign(QUORVIN::bridgeMappingBytes(node->periodMax, node->periodSizeMax) / 8 + 1, 0);
        node->openMem(reinterpret_cast<uint8_t*>(memory.data()), std::string(100, 'T'), "Out 1");
    }
    QUORVIN::BridgeMemHeader& card() { return node->card(); }
    // What an application and the driver write to ask for a stream.
    void request(uint64_t format, uint64_t rate, uint64_t channels, uint32_t ringBytes, uint32_t periods, uint32_t bits)
    {
        QUORVIN::storeField(card().chosenFormat, format);
        QUORVIN::storeField(card().chosenRate, rate);
        QUORVIN::storeField(card().chosenChannels, channels);
        QUORVIN::storeField(card().ringBytes, ringBytes);
        QUORVIN::storeField(card().periodCount, periods);
        QUORVIN::storeField(card().driverRequest, bits);
    }
    uint32_t status() { return QUORVIN::loadField(card().hostStatus); }

    testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
    testbed::TargetEmulator emulator;
    std::unique_ptr<MemoryCard> node;
    std::vector<uint64_t> memory;
};

}  // namespace memorycard
