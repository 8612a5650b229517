#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "stream/CopyRoutinesImpl.h"
#include "stream/Sync.h"

namespace {

using QUORVIN::CopyRoutine;
using QUORVIN::Sync;
namespace CopyForms = QUORVIN::CopyForms;

// What a routine does to each unit, spelled out from the two tables.
struct Mapping {
    bool word;                   // 32-bit words (count & ~3) or every byte
    bool reverseBytes;           // destination byte k of a word comes from source byte 3 - k
    const unsigned char* table;  // per-byte lookup, nullptr for none
    bool complement;             // ~ after the lookup (the tables carry their own)
};

struct RoutineCase {
    const char* name;
    CopyRoutine publicRoutine;
    CopyRoutine CopyForms::Forms::*form;  // nullptr: the plain copy, the same in every form
    Mapping mapping;
};

const RoutineCase ROUTINES[] = {
    {"memcpySyncOrg", Sync::memcpySyncOrg, nullptr, {false, false, nullptr, false}},
    {"memcpySyncAntiPhase", Sync::memcpySyncAntiPhase, &CopyForms::Forms::antiPhase, {false, false, nullptr, true}},
    {"memcpySyncByteSwap32", Sync::memcpySyncByteSwap32, &CopyForms::Forms::byteSwap32, {true, true, nullptr, false}},
    {"memcpySyncByteSwap32AntiPhase",
     Sync::memcpySyncByteSwap32AntiPhase,
     &CopyForms::Forms::byteSwap32AntiPhase,
     {true, true, nullptr, true}},
    {"memcpySyncBitSwap32",
     Sync::memcpySyncBitSwap32,
     &CopyForms::Forms::bitSwap32,
     {true, true, Sync::swapBitsTable, false}},
    {"memcpySyncBitSwap32AntiPhase",
     Sync::memcpySyncBitSwap32AntiPhase,
     &CopyForms::Forms::bitSwap32AntiPhase,
     {true, true, Sync::swapBitsTableAntiPhase, false}},
    {"memcpySyncBitByteSwap32",
     Sync::memcpySyncBitByteSwap32,
     &CopyForms::Forms::bitByteSwap32,
     {true, false, Sync::swapBitsTable, false}},
    {"memcpySyncBitByteSwap32AntiPhase",
     Sync::memcpySyncBitByteSwap32AntiPhase,
     &CopyForms::Forms::bitByteSwap32AntiPhase,
     {true, false, Sync::swapBitsTableAntiPhase, false}},
};

// The plain reference loop every form is held against.
void referenceCopy(const Mapping& m, unsigned char* destination, const unsigned char* source, size_t count)
{
    const size_t treated = m.word ? (count & ~size_t{3}) : count;
    for (size_t i = 0; i < treated; ++i) {
        const size_t from = m.reverseBytes ? (i & ~size_t{3}) + 3 - (i & 3) : i;
        unsigned char b = source[from];
        if (m.table != nullptr) {
            b = m.table[b];
        }
        if (m.complement) {
            b = static_cast<unsigned char>(~b);
        }
        destination[i] = b;
    }
}

// One routine as reached one way: through the public address or one form.
struct Variant {
    std::string name;
    CopyRoutine routine;
    const RoutineCase* routineCase;
};

std::vector<Variant> allVariants()
{
    std::vector<Variant> variants;
    for (const RoutineCase& rc : ROUTINES) {
        variants.push_back({std::string(rc.name) + " (public)", rc.publicRoutine, &rc});
        if (rc.form == nullptr) {
            continue;
        }
        for (int isa = CopyForms::ISA_BASE; isa < CopyForms::ISA_COUNT; ++isa) {
            const auto i = static_cast<CopyForms::Isa>(isa);
            if (CopyForms::isaAvailable(i)) {
                variants.push_back(
                    {std::string(rc.name) + " (" + CopyForms::isaName(i) + ")", CopyForms::formsOf(i).*(rc.form), &rc});
            }
        }
    }
    return variants;
}

std::string hex(const std::vector<unsigned char>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
        text += ' ';
    }
    return text;
}

}  // namespace

TEST(CopyTables, HoldEachByteBitReversedAndItsComplement)
{
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            reversed |= ((i >> bit) & 1U) << (7 - bit);
        }
        EXPECT_EQ(Sync::swapBitsTable[i], reversed) << i;
        EXPECT_EQ(Sync::swapBitsTableAntiPhase[i], static_cast<unsigned char>(~reversed)) << i;
    }
    EXPECT_EQ(Sync::swapBitsTable[0x01], 0x80);
    EXPECT_EQ(Sync::swapBitsTable[0x03], 0xC0);
    EXPECT_EQ(Sync::swapBitsTable[0x12], 0x48);
    EXPECT_EQ(Sync::swapBitsTableAntiPhase[0x00], 0xFF);
    EXPECT_EQ(Sync::swapBitsTableAntiPhase[0x01], 0x7F);
}

TEST(CopyRoutines, WordExamplesInEveryForm)
{
    struct Example {
        CopyRoutine publicRoutine;
        std::vector<unsigned char> out;
    };
    const Example examples[] = {
        {Sync::memcpySyncByteSwap32, {0x04, 0x03, 0x02, 0x01}},
        {Sync::memcpySyncByteSwap32AntiPhase, {0xFB, 0xFC, 0xFD, 0xFE}},
        {Sync::memcpySyncBitSwap32, {0x20, 0xC0, 0x40, 0x80}},
        {Sync::memcpySyncBitSwap32AntiPhase, {0xDF, 0x3F, 0xBF, 0x7F}},
        {Sync::memcpySyncBitByteSwap32, {0x80, 0x40, 0xC0, 0x20}},
        {Sync::memcpySyncBitByteSwap32AntiPhase, {0x7F, 0xBF, 0x3F, 0xDF}},
    };
    // 01 02 03 04 repeated over 259 bytes reaches the wide paths of every
    // form; the 3 bytes past the last whole word must stay as they were.
    constexpr size_t count = 259;
    std::vector<unsigned char> source(count);
    for (size_t i = 0; i < count; ++i) {
        source[i] = static_cast<unsigned char>(1 + i % 4);
    }
    for (const Variant& v : allVariants()) {
        for (const Example& e : examples) {
            if (v.routineCase->publicRoutine != e.publicRoutine) {
                continue;
            }
            SCOPED_TRACE(v.name);
            std::vector<unsigned char> destination(count, 0x5A);
            v.routine(destination.data(), source.data(), 4);
            EXPECT_EQ(hex({destination.begin(), destination.begin() + 4}), hex(e.out));
            EXPECT_EQ(destination[4], 0x5A);

            v.routine(destination.data(), source.data(), count);
            std::vector<unsigned char> expected;
            for (size_t i = 0; i < count / 4; ++i) {
                expected.insert(expected.end(), e.out.begin(), e.out.end());
            }
            expected.insert(expected.end(), 3, 0x5A);
            EXPECT_EQ(hex(destination), hex(expected));
        }
    }
}

TEST(CopyRoutines, CountOfSevenWritesWholeWordsOnlyButEveryByteForByteRoutines)
{
    const std::vector<unsigned char> source = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    for (const Variant& v : allVariants()) {
        SCOPED_TRACE(v.name);
        std::vector<unsigned char> destination(8, 0xEE);
        v.routine(destination.data(), source.data(), 7);
        if (v.routineCase->mapping.word) {
            EXPECT_EQ(hex({destination.begin() + 4, destination.end()}), "EE EE EE EE ");
        } else if (v.routineCase->mapping.complement) {
            EXPECT_EQ(hex(destination), "FE FD FC FB FA F9 F8 EE ");
        } else {
            EXPECT_EQ(hex(destination), "01 02 03 04 05 06 07 EE ");
        }
    }
}

TEST(CopyRoutines, CountZeroTouchesNothingEvenWithoutBuffers)
{
    for (const Variant& v : allVariants()) {
        SCOPED_TRACE(v.name);
        v.routine(nullptr, nullptr, 0);
    }
}

// Every form against the reference loop: random lengths (every length up to
// 300, then random ones up to 5000), random unaligned offsets on both sides.
// The source ends exactly at its last byte, so a read past it is caught by
// the address sanitizer; the destination has a guard zone that must stay.
TEST(CopyRoutines, EveryFormMatchesTheReferenceLoop)
{
    std::mt19937 random(20240611);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) {
        lengths.push_back(n);
    }
    for (int i = 0; i < 200; ++i) {
        lengths.push_back(random() % 5001);
    }
    constexpr size_t guard = 64;
    const std::vector<Variant> variants = allVariants();
    for (size_t length : lengths) {
        const size_t sourceOffset = random() % 64;
        const size_t destinationOffset = random() % 64;
        std::vector<unsigned char> source(sourceOffset + length);
        for (unsigned char& b : source) {
            b = static_cast<unsigned char>(random());
        }
        std::vector<unsigned char> before(destinationOffset + length + guard);
        for (unsigned char& b : before) {
            b = static_cast<unsigned char>(random());
        }
        for (const Variant& v : variants) {
            std::vector<unsigned char> expected = before;
            referenceCopy(v.routineCase->mapping, expected.data() + destinationOffset, source.data() + sourceOffset,
                          length);
            std::vector<unsigned char> destination = before;
            v.routine(destination.data() + destinationOffset, source.data() + sourceOffset, length);
            ASSERT_TRUE(destination == expected) << v.name << " length " << length << " source offset " << sourceOffset
                                                 << " destination offset " << destinationOffset;
        }
    }
}

TEST(CopyRoutines, PublicRoutinesUseTheFastestAvailableForm)
{
    int best = CopyForms::ISA_BASE;
    for (int isa = CopyForms::ISA_BASE; isa < CopyForms::ISA_COUNT; ++isa) {
        if (CopyForms::isaAvailable(static_cast<CopyForms::Isa>(isa))) {
            best = isa;
        }
    }
    EXPECT_EQ(CopyForms::activeIsa(), best) << CopyForms::isaName(CopyForms::activeIsa());
    EXPECT_TRUE(CopyForms::isaAvailable(CopyForms::ISA_BASE));
}

namespace {

void foreignRoutine(unsigned char*, const unsigned char*, size_t) {}

}  // namespace

TEST(PhaseRoutine, KeepsTheFamilyAndPicksTheMemberByInversion)
{
    struct Case {
        CopyRoutine current;
        CopyRoutine plain;
        CopyRoutine anti;
    };
    const Case cases[] = {
        {Sync::memcpySyncOrg, Sync::memcpySyncOrg, Sync::memcpySyncAntiPhase},
        {Sync::memcpySyncAntiPhase, Sync::memcpySyncOrg, Sync::memcpySyncAntiPhase},
        {Sync::memcpySyncByteSwap32, Sync::memcpySyncByteSwap32, Sync::memcpySyncByteSwap32AntiPhase},
        {Sync::memcpySyncByteSwap32AntiPhase, Sync::memcpySyncByteSwap32, Sync::memcpySyncByteSwap32AntiPhase},
        {Sync::memcpySyncBitSwap32, Sync::memcpySyncBitSwap32, Sync::memcpySyncBitSwap32AntiPhase},
        {Sync::memcpySyncBitSwap32AntiPhase, Sync::memcpySyncBitSwap32, Sync::memcpySyncBitSwap32AntiPhase},
        {Sync::memcpySyncBitByteSwap32, Sync::memcpySyncBitByteSwap32, Sync::memcpySyncBitByteSwap32AntiPhase},
        {Sync::memcpySyncBitByteSwap32AntiPhase, Sync::memcpySyncBitByteSwap32, Sync::memcpySyncBitByteSwap32AntiPhase},
        // Outside the three 32-bit families: the plain-copy family.
        {foreignRoutine, Sync::memcpySyncOrg, Sync::memcpySyncAntiPhase},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Sync::phaseRoutine(cases[i].current, false), cases[i].plain);
        EXPECT_EQ(Sync::phaseRoutine(cases[i].current, true), cases[i].anti);
    }
}
