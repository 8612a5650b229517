// Arbitrary datagrams through QUORVIN::Receive: validate, then call every
// accessor; each must stay inside the datagram.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/IPAddress.h"
#include "protocol/Message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QUORVIN::Receive r;
    r.assign(data, data + size);
    const bool valid = static_cast<bool>(r);
    volatile uint64_t sink = r.getMessage() + r.getStatus() + r.getOption0() + r.getOption1() + r.getOption2()
                             + r.getOption3() + r.getOption() + r.getLengthWord();
    const uint64_t n = r.size_data();
    if (valid && n + 16 > size) {
        std::abort();
    }
    if (!valid && n != 0) {
        std::abort();
    }
    const TIVRA::BufferCS_const payload = r.get_data_CS();
    uint64_t sum = 0;
    for (size_t i = 0; i < payload.viewSize; ++i) {
        sum += payload.viewData[i];  // ASan catches any read outside
    }
    std::string text;
    r.get_str(text);
    TIVRA::IPAddress a;
    r.get_add_str(a, text);
    sink = sink + sum + text.size();
    (void)sink;
    return 0;
}
