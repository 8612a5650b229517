// A card node file mapped the way the driver maps it for an application (the
// ring, then the header), the stand-in's event block beside it, and the wait
// on a header condition that sleeps on one of the block's counters.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "bridge/BridgeMemHeader.h"
#include "testbed/driver/DriverEvents.h"

namespace testbed {

// The status and request bits a driver looks at and raises.
inline constexpr uint32_t kOpen = QUORVIN::QUORVIN_BR_STATUS_OPEN;
inline constexpr uint32_t kConnected = QUORVIN::QUORVIN_BR_STATUS_CONNECTED;
inline constexpr uint32_t kPlaying = QUORVIN::QUORVIN_BR_STATUS_PLAYING;
inline constexpr uint32_t kError = QUORVIN::QUORVIN_BR_STATUS_ERROR;
inline constexpr uint32_t kInUse = QUORVIN::QUORVIN_BR_REQUEST_INUSE;
inline constexpr uint32_t kStream = QUORVIN::QUORVIN_BR_REQUEST_STREAM;
inline constexpr uint32_t kRun = QUORVIN::QUORVIN_BR_REQUEST_RUN;

struct CardMapping {
    uint8_t* ring = nullptr;  // the header follows at ring + ringBytes
    uint64_t ringBytes = 0;
    uint64_t mapBytes = 0;
};

// `ringBytes` 0: the file's size less the header. False with a reason.
bool mapCard(const std::string& path, uint64_t ringBytes, CardMapping& out, std::string& error);
void unmapCard(CardMapping& mapping);

// The event block, read-only; null with a reason.
const DriverEvents* mapEvents(const std::string& path, std::string& error);
void unmapEvents(const DriverEvents* events);

// "/dev/quorvin-alsa_3" -> 3; -1 without a card number.
int cardOfNode(const std::string& path);

// Until done() holds or the deadline passes. `word`: a counter of the event
// block bumped for the change awaited (wakeups for the status, notifies for
// the host's reads); null: the header is polled.
bool waitCardWord(const uint32_t* word, std::chrono::steady_clock::time_point deadline, bool (*done)(void*), void* arg);

template <typename Done>
bool waitCard(const uint32_t* word, std::chrono::steady_clock::time_point deadline, Done done)
{
    return waitCardWord(word, deadline, [](void* d) { return (*static_cast<Done*>(d))(); }, &done);
}

}  // namespace testbed
