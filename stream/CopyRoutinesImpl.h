// The instruction-set forms behind the sample copy routines of Sync. The
// public routines keep fixed addresses (the phase choice compares them) and
// forward to the fastest form this CPU runs, chosen once at program start.
// Tests and benchmarks reach every form through this header, because each
// form must give the same bytes as the table form.
#pragma once

#include <cstddef>

#include "stream/Sync.h"

namespace QUORVIN::CopyForms {

enum Isa : int {
    ISA_BASE = 0,       // table lookups, scalar swaps, SSE2 complement: any x86-64
    ISA_SSSE3 = 1,      // byte shuffles and nibble lookups on 16 bytes
    ISA_AVX2 = 2,       // the same on 32 bytes
    ISA_AVX2_GFNI = 3,  // bit reversal by one affine instruction per 32 bytes
    ISA_COUNT = 4,
};

// The routines that have several forms; the plain copy is memcpy in every form.
struct Forms {
    CopyRoutine antiPhase;
    CopyRoutine byteSwap32;
    CopyRoutine byteSwap32AntiPhase;
    CopyRoutine bitSwap32;
    CopyRoutine bitSwap32AntiPhase;
    CopyRoutine bitByteSwap32;
    CopyRoutine bitByteSwap32AntiPhase;
};

const char* isaName(Isa isa);
// Whether this CPU (and its operating system) runs the form.
bool isaAvailable(Isa isa);
// The forms of one instruction set; call them only when it is available.
const Forms& formsOf(Isa isa);
// The instruction set the public routines use.
Isa activeIsa();

}  // namespace QUORVIN::CopyForms
