// The bridge's scan for an inside half: skipped unless under the driver
// stand-in, each test in a network of its own, against an emulated target
// on ::1 at the well-known port. The bridge has its control node opened and
// initialised as the daemon's start-up leaves it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "FreshNetwork.h"
#include "LogCapture.h"
#include "StandinRun.h"
#include "bridge/BridgeIoctl.h"
#include "bridge/QuorvinVideRododa.h"
#include "testbed/emulator/TargetEmulator.h"

namespace standin {

class ScanFixture : public ::testing::Test {
protected:
    // The target's sinks; `config` may be changed before startBridge().
    explicit ScanFixture(size_t sinks) : config(testbed::TargetConfig::withSinks(sinks))
    {
        config.discovery.port = QUORVIN::TARGET_PORT;
    }
    void SetUp() override
    {
        if (!inside()) {
            GTEST_SKIP() << "runs under the driver stand-in only";
        }
        ASSERT_TRUE(testnet::enterFreshNetwork());
        testlog::start(6);
    }
    // The emulator on `config`, and the bridge with discovery open.
    void startBridge()
    {
        ASSERT_TRUE(emulator.start(config));
        QUORVIN::Find::Setting setting;
        setting.acceptId = 0;
        setting.hostName = "bridge";
        setting.useLoopback = true;
        bridge = std::make_unique<QuorvinVideRododa>(setting);
        bridge->bridgeName = "bridge";
        bridge->controlFd = ::open(QUORVIN::BRIDGE_CONTROL_NODE, O_RDWR | O_CLOEXEC);
        ASSERT_GE(bridge->controlFd, 0);
        ASSERT_GE(::ioctl(bridge->controlFd, QUORVIN::QUORVIN_BR_INIT, 0UL), 0);
        ASSERT_TRUE(bridge->find.open());
    }
    // The sink's address as the bridge's log lines show it.
    std::string address(size_t sink)
    {
        std::string s;
        emulator.sinkAddress(sink).get_str(s);
        return s;
    }

    testbed::TargetConfig config;
    testbed::TargetEmulator emulator;
    std::unique_ptr<QuorvinVideRododa> bridge;
};

}  // namespace standin
