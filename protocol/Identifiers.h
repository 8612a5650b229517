// Message identifiers and status bits of the wire protocol, shared by every
// channel to a target. A request N is answered by N + 1, except where noted.
#pragma once

#include <cstdint>

namespace QUORVIN {

using MessageID = uint16_t;
using StatusID = uint16_t;

// Discovery and target administration
constexpr MessageID FIND_REQ = 0;
constexpr MessageID FIND_ANS = 1;
constexpr MessageID PORT_REQ = 2;
constexpr MessageID PORT_ANS = 3;
// Stream negotiation
constexpr MessageID SUPPORT_REQ = 4;
constexpr MessageID SUPPORT_ANS = 5;  // also answers PROBE_REQ
constexpr MessageID LATENCY_REQ = 6;
constexpr MessageID LATENCY_ANS = 7;
// Stream
constexpr MessageID CONNECT_REQ = 8;
constexpr MessageID CONNECT_ANS = 9;
constexpr MessageID STREAM_REQ = 10;  // one-way
constexpr MessageID STREAM_ANS = 11;  // feedback, or unasked resend request
constexpr MessageID DSICONNECT_REQ = 12;
constexpr MessageID DSICONNECT_ANS = 13;  // also unasked: the target ends the stream
constexpr MessageID DATASIZE_REQ = 14;
constexpr MessageID DATASIZE_ANS = 15;
constexpr MessageID SINKOUT_REQ = 16;
constexpr MessageID SINKOUT_ANS = 17;
constexpr MessageID CONNECTPRE_REQ = 18;
constexpr MessageID CONNECTPRE_ANS = 19;
constexpr MessageID PARAMETER_REQ = 20;
constexpr MessageID PARAMETER_ANS = 21;
constexpr MessageID NOTISNAME_REQ = 22;
constexpr MessageID NOTISNAME_ANS = 23;
constexpr MessageID SYNCNAME_REQ = 24;
constexpr MessageID SYNCNAME_ANS = 25;
constexpr MessageID TRANSFER_REQ = 26;
constexpr MessageID TRANSFER_ANS = 27;
constexpr MessageID TRANSFERDATA_REQ = 28;  // one-way in bursts
constexpr MessageID TRANSFERDATA_ANS = 29;  // one per burst
constexpr MessageID TRANSFERFINISH_REQ = 30;
constexpr MessageID TRANSFERFINISH_ANS = 31;
constexpr MessageID FWVERSION_REQ = 32;
constexpr MessageID FWVERSION_ANS = 33;
constexpr MessageID FWURL_REQ = 34;
constexpr MessageID FWURL_ANS = 35;
constexpr MessageID REBOOT_REQ = 36;
constexpr MessageID REBOOT_ANS = 37;
// Log relay
constexpr MessageID DEBUG_REQ = 40;
constexpr MessageID DEBUG_ANS = 41;  // also unasked
constexpr MessageID PROBE_REQ = 42;  // answered by SUPPORT_ANS
constexpr MessageID INFOMATION_REQ = 44;
constexpr MessageID INFOMATION_ANS = 45;
constexpr MessageID TARGETSETTING_REQ = 48;
constexpr MessageID TARGETSETTING_ANS = 49;
constexpr MessageID TARGETSETTINGVALUE_REQ = 50;
constexpr MessageID TARGETSETTINGVALUE_ANS = 51;
constexpr MessageID SINKSETTING_REQ = 52;
constexpr MessageID SINKSETTING_ANS = 53;
constexpr MessageID SINKSETTINGVALUE_REQ = 54;
constexpr MessageID SINKSETTINGVALUE_ANS = 55;
constexpr MessageID STATUS_REQ = 56;
constexpr MessageID STATUS_ANS = 57;
// Target control
constexpr MessageID CONTROLNAME_REQ = 58;
constexpr MessageID CONTROLNAME_ANS = 59;
constexpr MessageID CONTROLLIST_REQ = 60;
constexpr MessageID CONTROLLIST_ANS = 61;
constexpr MessageID CONTROLVALUE_REQ = 62;
constexpr MessageID CONTROLVALUE_ANS = 63;
// Icons: 64 + 2 x family
constexpr MessageID ICON0_REQ = 64;
constexpr MessageID ICON0_ANS = 65;
constexpr MessageID ICON1_REQ = 66;
constexpr MessageID ICON1_ANS = 67;
constexpr MessageID ICON2_REQ = 68;
constexpr MessageID ICON2_ANS = 69;
constexpr MessageID NODEINFO_REQ = 74;
constexpr MessageID NODEINFO_ANS = 75;

// Status bits
constexpr StatusID STATUS_OK = 0x0001;  // in an answer: accepted
constexpr StatusID STATUS_PLAY = 0x0002;
constexpr StatusID STATUS_RESEND = 0x0008;
constexpr StatusID STATUS_INFO = 0x0020;  // feedback due; always with STATUS_CYCLE_END
constexpr StatusID STATUS_CYCLE_END = 0x0040;
constexpr StatusID STATUS_PHASE_NORMAL = 0x0080;  // meaningful only with STATUS_PHASE_VALID
constexpr StatusID STATUS_PHASE_VALID = 0x0100;

// Well-known port of a target's discovery and log relay service.
constexpr uint16_t TARGET_PORT = 19642;

}  // namespace QUORVIN
