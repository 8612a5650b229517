#include "testbed/player/CardFormat.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "bridge/BridgeMemHeader.h"

namespace testbed {

namespace {

struct Named {
    uint64_t code;
    const char* upper;
    const char* lower;
};

constexpr Named kNames[] = {
    {QUORVIN::QUORVIN_BR_FORMAT_PCM8, "PCM8", nullptr},
    {QUORVIN::QUORVIN_BR_FORMAT_PCM16, "PCM16", "pcm16"},
    {QUORVIN::QUORVIN_BR_FORMAT_PCM24, "PCM24", "pcm24"},
    {QUORVIN::QUORVIN_BR_FORMAT_PCM32, "PCM32", "pcm32"},
    {QUORVIN::QUORVIN_BR_FORMAT_PCM64, "PCM64", nullptr},
    {QUORVIN::QUORVIN_BR_FORMAT_FLOAT32, "FLOAT32", nullptr},
    {QUORVIN::QUORVIN_BR_FORMAT_FLOAT64, "FLOAT64", nullptr},
    {QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE, "DSD1_LSB_LITTLE", "dsd-lsb-little"},
    {QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_BIG, "DSD1_LSB_BIG", "dsd-lsb-big"},
    {QUORVIN::QUORVIN_BR_FORMAT_DSD1_MSB_LITTLE, "DSD1_MSB_LITTLE", "dsd-msb-little"},
    {QUORVIN::QUORVIN_BR_FORMAT_DSD1_MSB_BIG, "DSD1_MSB_BIG", "dsd-msb-big"},
};

}  // namespace

bool isDsdFormat(uint64_t code)
{
    return code != 0 && (code & kDsdFormats) == code && (code & (code - 1)) == 0;
}

uint32_t sampleBytes(uint64_t code)
{
    switch (code) {
    case QUORVIN::QUORVIN_BR_FORMAT_PCM16:
        return 2;
    case QUORVIN::QUORVIN_BR_FORMAT_PCM24:
        return 3;
    case QUORVIN::QUORVIN_BR_FORMAT_PCM32:
        return 4;
    default:
        return isDsdFormat(code) ? 4 : 0;
    }
}

bool isPlayableFormat(uint64_t code)
{
    return sampleBytes(code) != 0;
}

uint8_t muteByte(uint64_t code)
{
    if (!isDsdFormat(code)) {
        return 0x00;
    }
    const bool lsb =
        code == QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_LITTLE || code == QUORVIN::QUORVIN_BR_FORMAT_DSD1_LSB_BIG;
    return lsb ? 0x69 : 0x96;
}

std::string formatName(uint64_t code)
{
    for (const Named& n : kNames) {
        if (n.code == code) {
            return n.upper;
        }
    }
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(code));
    return text;
}

bool parseFormatName(const std::string& text, uint64_t& code)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const Named& n : kNames) {
        if (n.lower != nullptr && lower == n.lower) {
            code = n.code;
            return true;
        }
    }
    return false;
}

uint64_t rateBit(uint64_t hz)
{
    if (hz == 8000) {
        return QUORVIN::QUORVIN_BR_RATE_8000;
    }
    for (int k = 0; k < QUORVIN::BRIDGE_RATE_STEPS; ++k) {
        if (hz == (uint64_t{44100} << k)) {
            return QUORVIN::bridgeRateBit44100(k);
        }
        if (hz == (uint64_t{48000} << k)) {
            return QUORVIN::bridgeRateBit48000(k);
        }
    }
    return 0;
}

uint64_t rateOfBit(uint64_t bit)
{
    if (bit == QUORVIN::QUORVIN_BR_RATE_8000) {
        return 8000;
    }
    for (int k = 0; k < QUORVIN::BRIDGE_RATE_STEPS; ++k) {
        if (bit == QUORVIN::bridgeRateBit44100(k)) {
            return uint64_t{44100} << k;
        }
        if (bit == QUORVIN::bridgeRateBit48000(k)) {
            return uint64_t{48000} << k;
        }
    }
    return 0;
}

}  // namespace testbed
