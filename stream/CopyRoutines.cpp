// Sample copy routines: plain and complemented copies, and the three 32-bit
// reorderings of DSD words with their complemented twins. They run for every
// byte of audio on the stream worker's real-time thread, so they allocate
// nothing, take no lock and log nothing.
//
// The two bit-reversal tables are the reference: the table forms use them
// directly, the byte-shuffle forms build the same mapping from two 16-entry
// nibble lookups or one affine instruction. Word routines treat count & ~3
// bytes and leave the rest of the destination alone. Source and destination
// must not overlap, as for memcpy.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "stream/CopyRoutinesImpl.h"
#include "stream/Sync.h"

namespace QUORVIN {

namespace {

constexpr unsigned char reverseBits(unsigned value)
{
    unsigned result = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
        if ((value >> bit) & 1U) {
            result |= 0x80U >> bit;
        }
    }
    return static_cast<unsigned char>(result);
}

constexpr unsigned char reverseBitsInverted(unsigned value)
{
    return static_cast<unsigned char>(~reverseBits(value));
}

static_assert(reverseBits(0x01) == 0x80 && reverseBits(0x03) == 0xC0 && reverseBits(0x12) == 0x48);
static_assert(reverseBitsInverted(0x00) == 0xFF && reverseBitsInverted(0x01) == 0x7F);

}  // namespace

// 256 constant entries spelled out by the preprocessor, each computed at
// compile time, so the tables sit in read-only data and are ready before any
// start-up code runs.
#define QV_ROW4(f, n) f((n)), f((n) + 1), f((n) + 2), f((n) + 3)
#define QV_ROW16(f, n) QV_ROW4(f, (n)), QV_ROW4(f, (n) + 4), QV_ROW4(f, (n) + 8), QV_ROW4(f, (n) + 12)
#define QV_ROW64(f, n) QV_ROW16(f, (n)), QV_ROW16(f, (n) + 16), QV_ROW16(f, (n) + 32), QV_ROW16(f, (n) + 48)
#define QV_TABLE256(f) QV_ROW64(f, 0), QV_ROW64(f, 64), QV_ROW64(f, 128), QV_ROW64(f, 192)

constinit const unsigned char Sync::swapBitsTable[256] = {QV_TABLE256(reverseBits)};
constinit const unsigned char Sync::swapBitsTableAntiPhase[256] = {QV_TABLE256(reverseBitsInverted)};

#undef QV_TABLE256
#undef QV_ROW64
#undef QV_ROW16
#undef QV_ROW4

namespace {

enum WordKind : int {
    BYTE_SWAP,      // b3 b2 b1 b0
    BIT_SWAP,       // rev(b3) rev(b2) rev(b1) rev(b0)
    BIT_BYTE_SWAP,  // rev(b0) rev(b1) rev(b2) rev(b3)
};

// ---- table forms (any x86-64); also the tails of the wider forms

// SSE2 belongs to every x86-64, so the complement goes 16 bytes at a time
// even here.
void antiPhaseBase(unsigned char* destination, const unsigned char* source, size_t count)
{
    const __m128i ones = _mm_set1_epi8(-1);
    size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 48));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_xor_si128(a, ones));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 16), _mm_xor_si128(b, ones));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 32), _mm_xor_si128(c, ones));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 48), _mm_xor_si128(d, ones));
    }
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_xor_si128(a, ones));
    }
    if (i + 8 <= count) {
        uint64_t word;
        std::memcpy(&word, source + i, 8);
        word = ~word;
        std::memcpy(destination + i, &word, 8);
        i += 8;
    }
    for (; i < count; ++i) {
        destination[i] = static_cast<unsigned char>(~source[i]);
    }
}

template <bool Anti>
void byteSwap32Base(unsigned char* destination, const unsigned char* source, size_t count)
{
    const size_t words = count & ~size_t{3};
    for (size_t i = 0; i < words; i += 4) {
        uint32_t word;
        std::memcpy(&word, source + i, 4);
        word = __builtin_bswap32(word);
        if constexpr (Anti) {
            word = ~word;
        }
        std::memcpy(destination + i, &word, 4);
    }
}

// Four table reads per word and no bit loop.
template <WordKind Kind, bool Anti>
void bitSwap32Base(unsigned char* destination, const unsigned char* source, size_t count)
{
    const unsigned char* table = Anti ? Sync::swapBitsTableAntiPhase : Sync::swapBitsTable;
    const size_t words = count & ~size_t{3};
    for (size_t i = 0; i < words; i += 4) {
        const unsigned char b0 = source[i];
        const unsigned char b1 = source[i + 1];
        const unsigned char b2 = source[i + 2];
        const unsigned char b3 = source[i + 3];
        if constexpr (Kind == BIT_SWAP) {
            destination[i] = table[b3];
            destination[i + 1] = table[b2];
            destination[i + 2] = table[b1];
            destination[i + 3] = table[b0];
        } else {
            destination[i] = table[b0];
            destination[i + 1] = table[b1];
            destination[i + 2] = table[b2];
            destination[i + 3] = table[b3];
        }
    }
}

template <WordKind Kind, bool Anti>
void wordBase(unsigned char* destination, const unsigned char* source, size_t count)
{
    if constexpr (Kind == BYTE_SWAP) {
        byteSwap32Base<Anti>(destination, source, count);
    } else {
        bitSwap32Base<Kind, Anti>(destination, source, count);
    }
}

// ---- byte-shuffle forms
//
// A byte's bit reversal is two 16-entry lookups: the reversed low nibble
// becomes the high nibble and the reversed high nibble the low one. The two
// halves never share a bit, so they are joined with XOR, and the complement
// of the anti-phase twins is folded into the low-nibble table.

constexpr unsigned char nibbleLow(unsigned n, bool anti)
{
    return static_cast<unsigned char>(reverseBits(n) ^ (anti ? 0xFFU : 0U));
}

constexpr unsigned char nibbleHigh(unsigned n)
{
    return static_cast<unsigned char>(reverseBits(n) >> 4);
}

#define QV_NIBBLES(F) \
    F(0), F(1), F(2), F(3), F(4), F(5), F(6), F(7), F(8), F(9), F(10), F(11), F(12), F(13), F(14), F(15)
#define QV_LOW(n) static_cast<char>(nibbleLow((n), Anti))
#define QV_HIGH(n) static_cast<char>(nibbleHigh((n)))

template <WordKind Kind, bool Anti>
__attribute__((target("ssse3"), always_inline)) inline __m128i transform128(__m128i x)
{
    if constexpr (Kind != BIT_BYTE_SWAP) {
        x = _mm_shuffle_epi8(x, _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
    }
    if constexpr (Kind == BYTE_SWAP) {
        return Anti ? _mm_xor_si128(x, _mm_set1_epi8(-1)) : x;
    } else {
        const __m128i low = _mm_setr_epi8(QV_NIBBLES(QV_LOW));
        const __m128i high = _mm_setr_epi8(QV_NIBBLES(QV_HIGH));
        const __m128i mask = _mm_set1_epi8(0x0F);
        const __m128i lo = _mm_and_si128(x, mask);
        const __m128i hi = _mm_and_si128(_mm_srli_epi16(x, 4), mask);
        return _mm_xor_si128(_mm_shuffle_epi8(low, lo), _mm_shuffle_epi8(high, hi));
    }
}

template <WordKind Kind, bool Anti>
__attribute__((target("avx2"), always_inline)) inline __m256i transform256(__m256i x)
{
    if constexpr (Kind != BIT_BYTE_SWAP) {
        x = _mm256_shuffle_epi8(x, _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7,
                                                    6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
    }
    if constexpr (Kind == BYTE_SWAP) {
        return Anti ? _mm256_xor_si256(x, _mm256_set1_epi8(-1)) : x;
    } else {
        const __m256i low = _mm256_setr_epi8(QV_NIBBLES(QV_LOW), QV_NIBBLES(QV_LOW));
        const __m256i high = _mm256_setr_epi8(QV_NIBBLES(QV_HIGH), QV_NIBBLES(QV_HIGH));
        const __m256i mask = _mm256_set1_epi8(0x0F);
        const __m256i lo = _mm256_and_si256(x, mask);
        const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), mask);
        return _mm256_xor_si256(_mm256_shuffle_epi8(low, lo), _mm256_shuffle_epi8(high, hi));
    }
}

#undef QV_HIGH
#undef QV_LOW
#undef QV_NIBBLES

template <WordKind Kind, bool Anti>
__attribute__((target("ssse3"))) void wordSsse3(unsigned char* destination, const unsigned char* source, size_t count)
{
    const size_t words = count & ~size_t{3};
    size_t i = 0;
    for (; i + 64 <= words; i += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 48));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), transform128<Kind, Anti>(a));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 16), transform128<Kind, Anti>(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 32), transform128<Kind, Anti>(c));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i + 48), transform128<Kind, Anti>(d));
    }
    for (; i + 16 <= words; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), transform128<Kind, Anti>(a));
    }
    wordBase<Kind, Anti>(destination + i, source + i, words - i);
}

template <WordKind Kind, bool Anti>
__attribute__((target("avx2"))) void wordAvx2(unsigned char* destination, const unsigned char* source, size_t count)
{
    const size_t words = count & ~size_t{3};
    size_t i = 0;
    for (; i + 128 <= words; i += 128) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 32));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 64));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 96));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), transform256<Kind, Anti>(a));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 32), transform256<Kind, Anti>(b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 64), transform256<Kind, Anti>(c));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 96), transform256<Kind, Anti>(d));
    }
    for (; i + 32 <= words; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), transform256<Kind, Anti>(a));
    }
    if (i + 16 <= words) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), transform128<Kind, Anti>(a));
        i += 16;
    }
    // The compiler may turn the tail call into a jump without clearing the
    // upper register halves, and legacy SSE code run after that is several
    // times slower on some CPUs.
    _mm256_zeroupper();
    wordBase<Kind, Anti>(destination + i, source + i, words - i);
}

// One affine instruction per 32 bytes reverses the bits of every byte; its
// constant term gives the complement for free.
constexpr long long BIT_REVERSE_MATRIX = 0x8040201008040201LL;

template <WordKind Kind, bool Anti>
__attribute__((target("avx2,gfni"), always_inline)) inline __m256i transformGfni256(__m256i x)
{
    if constexpr (Kind == BYTE_SWAP) {
        return transform256<Kind, Anti>(x);
    } else {
        if constexpr (Kind == BIT_SWAP) {
            x = _mm256_shuffle_epi8(x, _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1,
                                                        0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
        }
        return _mm256_gf2p8affine_epi64_epi8(x, _mm256_set1_epi64x(BIT_REVERSE_MATRIX), Anti ? 0xFF : 0x00);
    }
}

template <WordKind Kind, bool Anti>
__attribute__((target("avx2,gfni"))) void wordGfni(unsigned char* destination, const unsigned char* source,
                                                   size_t count)
{
    const size_t words = count & ~size_t{3};
    size_t i = 0;
    for (; i + 128 <= words; i += 128) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 32));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 64));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 96));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), transformGfni256<Kind, Anti>(a));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 32), transformGfni256<Kind, Anti>(b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 64), transformGfni256<Kind, Anti>(c));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 96), transformGfni256<Kind, Anti>(d));
    }
    for (; i + 32 <= words; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), transformGfni256<Kind, Anti>(a));
    }
    if (i + 16 <= words) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), transform128<Kind, Anti>(a));
        i += 16;
    }
    _mm256_zeroupper();
    wordBase<Kind, Anti>(destination + i, source + i, words - i);
}

__attribute__((target("avx2"))) void antiPhaseAvx2(unsigned char* destination, const unsigned char* source,
                                                   size_t count)
{
    const __m256i ones = _mm256_set1_epi8(-1);
    size_t i = 0;
    for (; i + 128 <= count; i += 128) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 32));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 64));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 96));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), _mm256_xor_si256(a, ones));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 32), _mm256_xor_si256(b, ones));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 64), _mm256_xor_si256(c, ones));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i + 96), _mm256_xor_si256(d, ones));
    }
    for (; i + 32 <= count; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), _mm256_xor_si256(a, ones));
    }
    _mm256_zeroupper();
    antiPhaseBase(destination + i, source + i, count - i);
}

using CopyForms::Forms;
using CopyForms::Isa;

constexpr Forms FORMS[CopyForms::ISA_COUNT] = {
    {antiPhaseBase, wordBase<BYTE_SWAP, false>, wordBase<BYTE_SWAP, true>, wordBase<BIT_SWAP, false>,
     wordBase<BIT_SWAP, true>, wordBase<BIT_BYTE_SWAP, false>, wordBase<BIT_BYTE_SWAP, true>},
    {antiPhaseBase, wordSsse3<BYTE_SWAP, false>, wordSsse3<BYTE_SWAP, true>, wordSsse3<BIT_SWAP, false>,
     wordSsse3<BIT_SWAP, true>, wordSsse3<BIT_BYTE_SWAP, false>, wordSsse3<BIT_BYTE_SWAP, true>},
    {antiPhaseAvx2, wordAvx2<BYTE_SWAP, false>, wordAvx2<BYTE_SWAP, true>, wordAvx2<BIT_SWAP, false>,
     wordAvx2<BIT_SWAP, true>, wordAvx2<BIT_BYTE_SWAP, false>, wordAvx2<BIT_BYTE_SWAP, true>},
    // The byte swaps have nothing to gain from the affine instruction.
    {antiPhaseAvx2, wordAvx2<BYTE_SWAP, false>, wordAvx2<BYTE_SWAP, true>, wordGfni<BIT_SWAP, false>,
     wordGfni<BIT_SWAP, true>, wordGfni<BIT_BYTE_SWAP, false>, wordGfni<BIT_BYTE_SWAP, true>},
};

// The table forms until start-up has looked at the CPU, so a routine called
// from another start-up initialiser still gives the right bytes. Written once
// before main, read only afterwards.
constinit Forms active = FORMS[CopyForms::ISA_BASE];
constinit Isa activeIsaChoice = CopyForms::ISA_BASE;

Isa bestIsa()
{
    for (int isa = CopyForms::ISA_COUNT - 1; isa > CopyForms::ISA_BASE; --isa) {
        if (CopyForms::isaAvailable(static_cast<Isa>(isa))) {
            return static_cast<Isa>(isa);
        }
    }
    return CopyForms::ISA_BASE;
}

[[maybe_unused]] const bool activeChosen = [] {
    activeIsaChoice = bestIsa();
    active = FORMS[activeIsaChoice];
    return true;
}();

}  // namespace

namespace CopyForms {

const char* isaName(Isa isa)
{
    switch (isa) {
    case ISA_BASE:
        return "table";
    case ISA_SSSE3:
        return "ssse3";
    case ISA_AVX2:
        return "avx2";
    case ISA_AVX2_GFNI:
        return "avx2-gfni";
    case ISA_COUNT:
        break;
    }
    return "?";
}

bool isaAvailable(Isa isa)
{
    // Start-up code may ask before the runtime has read the CPU's features.
    __builtin_cpu_init();
    switch (isa) {
    case ISA_BASE:
        return true;
    case ISA_SSSE3:
        return __builtin_cpu_supports("ssse3") != 0;
    case ISA_AVX2:
        return __builtin_cpu_supports("avx2") != 0;
    case ISA_AVX2_GFNI:
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("gfni") != 0;
    case ISA_COUNT:
        break;
    }
    return false;
}

const Forms& formsOf(Isa isa)
{
    return FORMS[(isa >= ISA_BASE && isa < ISA_COUNT) ? isa : ISA_BASE];
}

Isa activeIsa()
{
    return activeIsaChoice;
}

}  // namespace CopyForms

// ---- the public routines, at fixed addresses

void Sync::memcpySyncOrg(unsigned char* destination, const unsigned char* source, size_t count)
{
    if (count != 0) {
        std::memcpy(destination, source, count);
    }
}

void Sync::memcpySyncAntiPhase(unsigned char* destination, const unsigned char* source, size_t count)
{
    active.antiPhase(destination, source, count);
}

void Sync::memcpySyncByteSwap32(unsigned char* destination, const unsigned char* source, size_t count)
{
    active.byteSwap32(destination, source, count);
}

void Sync::memcpySyncByteSwap32AntiPhase(unsigned char* destination, const unsigned char* source, size_t count)
{
    active.byteSwap32AntiPhase(destination, source, count);
}

void Sync::memcpySyncBitSwap32(unsigned char* destination, const unsigned char* source, size_t count)
{
    active.bitSwap32(destination, source, count);
}

void Sync::memcpySyncBitSwap32AntiPhase(unsigned char* destination, const unsigned char* source, size_t count)
{
    active.bitSwap32AntiPhase(destination, source, count);
}

void Sync::memcpySyncBitByteSwap32(unsigned char* destination, const unsigned char* source, size_t count)
{
    active.bitByteSwap32(destination, source, count);
}

void Sync::memcpySyncBitByteSwap32AntiPhase(unsigned char* destination, const unsigned char* source, size_t count)
{
    active.bitByteSwap32AntiPhase(destination, source, count);
}

CopyRoutine Sync::phaseRoutine(CopyRoutine current, bool inversion)
{
    if (current == memcpySyncByteSwap32 || current == memcpySyncByteSwap32AntiPhase) {
        return inversion ? memcpySyncByteSwap32AntiPhase : memcpySyncByteSwap32;
    }
    if (current == memcpySyncBitSwap32 || current == memcpySyncBitSwap32AntiPhase) {
        return inversion ? memcpySyncBitSwap32AntiPhase : memcpySyncBitSwap32;
    }
    if (current == memcpySyncBitByteSwap32 || current == memcpySyncBitByteSwap32AntiPhase) {
        return inversion ? memcpySyncBitByteSwap32AntiPhase : memcpySyncBitByteSwap32;
    }
    return inversion ? memcpySyncAntiPhase : memcpySyncOrg;
}

}  // namespace QUORVIN
