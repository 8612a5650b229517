// Sink chains: which status entries hang on one sink, each after its feeder.
#include "discovery/Find.h"

namespace QUORVIN {

Find::StatusSort::const_iterator Find::StatusSort::find(TIVRA::IPAddress address) const
{
    for (auto it = begin(); it != end(); ++it) {
        if (it->sinkAddress == address) {
            return it;
        }
    }
    return end();
}

}  // namespace QUORVIN
