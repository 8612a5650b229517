// A card of the driver stand-in's for an inside half (skipped unless under
// the stand-in): made on the control node before the test, removed after it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "StandinRun.h"
#include "bridge/BridgeIoctl.h"
#include "bridge/BridgeMemHeader.h"
#include "bridge/SyncMemDrv.h"

namespace standin {

class StandinCard : public ::testing::Test {
protected:
    // With `initFirst`, the control node's initialising request goes before
    // the card is made, as the daemon's start-up sends it.
    explicit StandinCard(bool initFirst) : initFirst(initFirst) {}
    void SetUp() override
    {
        if (!inside()) {
            GTEST_SKIP() << "runs under the driver stand-in only";
        }
        control = ::open(QUORVIN::BRIDGE_CONTROL_NODE, O_RDWR | O_CLOEXEC);
        ASSERT_GE(control, 0);
        if (initFirst) {
            ASSERT_GE(::ioctl(control, QUORVIN::QUORVIN_BR_INIT, 0UL), 0);
        }
        memNo = ::ioctl(control, QUORVIN::QUORVIN_BR_CREATE,
                        static_cast<unsigned long>(QUORVIN::bridgeRingBytes(32, 38400)));
        ASSERT_EQ(memNo, 0);
    }
    void TearDown() override
    {
        if (control >= 0) {
            ::ioctl(control, QUORVIN::bridgeRequest(memNo), QUORVIN::QUORVIN_BR_REMOVE_ARG);
            ::close(control);
        }
    }

    const bool initFirst;
    int control = -1;
    int memNo = -1;
};

// A card link whose pending notify a test can see.
class NotifyNode : public SyncMemDrv {
public:
    bool pending() const { return notifyPending.load(); }
};

}  // namespace standin
