#include <gtest/gtest.h>

#include <string>

#include "foundation/Socket.h"
#include "foundation/SysLog.h"
#include "protocol/SysLogQuorvin.h"

namespace {

// A syslog receiver on an ephemeral port of ::1.
struct Receiver {
    TIVRA::Socket sock;
    TIVRA::IPAddress addr;
    Receiver()
    {
        addr.addr[15] = 1;
        EXPECT_TRUE(sock.open(TIVRA::Socket::UDP_V6));
        EXPECT_TRUE(sock.bindV6(addr));
    }
    // The message part of the next datagram, or "" after 200 ms of silence.
    std::string next()
    {
        if (sock.wait(TIVRA::Clock(200 * TIVRA::Clock::MS)) != TIVRA::Socket::WaitReady) {
            return "";
        }
        TIVRA::Buffer b;
        TIVRA::IPAddress from;
        sock.receiveFromV6(b, from);
        const std::string line(b.begin(), b.end());
        return line.size() > 31 ? line.substr(31) : std::string();
    }
};

// Every test starts and ends without a sender and with nothing let through:
// a sender left current, or replaced by the next initialize, would never be
// released.
class SysLogQuorvinTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        TIVRA::SysLog::finalize();
        TIVRA::quorvin_log = -1;
    }
};

}  // namespace

TEST_F(SysLogQuorvinTest, ChangeLevelBeforeInitializeSetsOnlyTheThreshold)
{
    Receiver rx;
    ASSERT_EQ(TIVRA::quorvin_log, -1);
    ASSERT_EQ(TIVRA::SysLog::getOwn(), nullptr);
    QUORVIN::SysLogQuorvin::changeLevel(TIVRA::SYSLOG_INFO, rx.addr.getPort());
    EXPECT_EQ(TIVRA::quorvin_log, 6);
    // No sender yet, so no port was opened: the line that passes is dropped.
    EXPECT_EQ(TIVRA::SysLog::getOwn(), nullptr);
    TIVRA::SYSLOG_INFO << "dropped";
    EXPECT_EQ(rx.next(), "");

    // A later set-up keeps the threshold.
    QUORVIN::SysLogQuorvin::initialize(16, rx.addr.getPort(), false);
    EXPECT_EQ(TIVRA::quorvin_log, 6);
    TIVRA::SYSLOG_INFO << "kept";
    TIVRA::SYSLOG_DEBUG << "filtered";
    EXPECT_EQ(rx.next(), "kept");
    EXPECT_EQ(rx.next(), "");
}

TEST_F(SysLogQuorvinTest, InfoLevelSendsInfoButNotDebug)
{
    Receiver rx;
    QUORVIN::SysLogQuorvin::initialize(16, rx.addr.getPort(), false);
    EXPECT_EQ(TIVRA::SysLog::getFacility(), 16);
    EXPECT_EQ(TIVRA::quorvin_log, -1);  // the set-up leaves the threshold alone
    QUORVIN::SysLogQuorvin::changeLevel(TIVRA::SYSLOG_INFO, rx.addr.getPort());
    TIVRA::SYSLOG_DEBUG << "debug line";
    TIVRA::SYSLOG_INFO << "info line " << 6;
    TIVRA::SYSLOG_ERR << "error line";
    EXPECT_EQ(rx.next(), "info line 6");
    EXPECT_EQ(rx.next(), "error line");
    EXPECT_EQ(rx.next(), "");
}

TEST_F(SysLogQuorvinTest, ChangeLevelKeepsAnOpenPort)
{
    Receiver first, second;
    QUORVIN::SysLogQuorvin::initialize(16, first.addr.getPort(), false);
    QUORVIN::SysLogQuorvin::changeLevel(TIVRA::SYSLOG_NOTICE, second.addr.getPort());
    TIVRA::SYSLOG_NOTICE << "to the first";
    TIVRA::SYSLOG_INFO << "filtered";
    EXPECT_EQ(first.next(), "to the first");
    EXPECT_EQ(first.next(), "");
    EXPECT_EQ(second.next(), "");
}
