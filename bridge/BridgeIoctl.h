// The companion sound-card driver as the host reaches it: its device nodes
// and its requests, each an ioctl whose argument is a plain integer.
#pragma once

#include <cstdint>
#include <string>

namespace QUORVIN {

// One per system, opened read-write by the program.
inline constexpr const char* BRIDGE_CONTROL_NODE = "/dev/quorvin-alsa";

// One per card: "/dev/quorvin-alsa_<memNo>".
inline std::string bridgeCardNode(int memNo)
{
    return std::string(BRIDGE_CONTROL_NODE) + "_" + std::to_string(memNo);
}

// Request numbers: 'x' in bits 8-15 and a card number in bits 0-7, no
// direction or size bits; INIT is request 0. Card numbers are 0..255.
constexpr unsigned long BRIDGE_IOCTL_BASE = 0x7800;
constexpr int BRIDGE_CARD_LAST = 0xFF;

constexpr bool bridgeCardEncodable(int memNo)
{
    return memNo >= 0 && memNo <= BRIDGE_CARD_LAST;
}

constexpr unsigned long bridgeRequest(int memNo)
{
    return BRIDGE_IOCTL_BASE | (static_cast<unsigned long>(memNo) & 0xFF);
}

enum BridgeIoctl : unsigned long {
    QUORVIN_BR_INIT = 0,          // control node, argument 0; negative = failure
    QUORVIN_BR_CREATE = 0x7800,   // control node, argument ring bytes; result the new card's number
};

// Arguments of the card requests (same request number, bridgeRequest(memNo)).
// REMOVE goes to the control node with argument 0; the final REMOVE of card 0
// shares CREATE's request number and differs only in the argument.
constexpr unsigned long QUORVIN_BR_REMOVE_ARG = 0;
constexpr unsigned long QUORVIN_BR_ATTACH_ARG = 1;
constexpr unsigned long QUORVIN_BR_WAKEUP_ARG = 3;
constexpr unsigned long QUORVIN_BR_NOTIFY_ARG = 4;

}  // namespace QUORVIN
