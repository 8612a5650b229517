// The formats a card player writes into a card: the header's format codes,
// rate bits and channel bits, and what a frame of each looks like.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testbed {

// PCM16, PCM24 and PCM32 (packed little-endian samples of 2, 3, 4 bytes)
// and the four one-bit DSD codes (one 32-bit word per channel and frame).
bool isPlayableFormat(uint64_t code);
bool isDsdFormat(uint64_t code);
// Bytes of one channel's sample: 2, 3, 4; 0 for a format the player does not play.
uint32_t sampleBytes(uint64_t code);
// 0x00 for PCM, 0x69 for lsb-first DSD, 0x96 for msb-first DSD.
uint8_t muteByte(uint64_t code);
// "PCM16", "DSD1_LSB_LITTLE", ...; "0x..." for other values.
std::string formatName(uint64_t code);
// "pcm16", "pcm24", "pcm32", "dsd-lsb-little", "dsd-lsb-big", "dsd-msb-little",
// "dsd-msb-big"; case does not matter. False for anything else.
bool parseFormatName(const std::string& text, uint64_t& code);
// The four DSD codes in the order "dsd" picks the first one offered.
constexpr uint64_t kDsdFormats = 0xF000000;

// The rate bit of a card rate in Hz (8000, 44100 x 2^k, 48000 x 2^k); 0 for others.
uint64_t rateBit(uint64_t hz);
// The card rate of a single rate bit; 0 for none or several.
uint64_t rateOfBit(uint64_t bit);
// A DSD stream is announced at its one-bit rate / 32, the rate of its words.
inline uint64_t cardRate(uint64_t code, uint64_t hz)
{
    return isDsdFormat(code) ? hz / 32 : hz;
}

// Bit n-1 for n channels, n = 1..64; 0 otherwise.
inline uint64_t channelBit(uint32_t channels)
{
    return channels >= 1 && channels <= 64 ? uint64_t{1} << (channels - 1) : 0;
}

}  // namespace testbed
