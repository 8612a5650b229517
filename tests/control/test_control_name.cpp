// The host's name over a real link (veth, so the long datagrams go as
// fragments), for the chain of target A's sink into target B's: up to the
// limit the targets and both sinks learn the whole name, A names it back
// in its status answer, the chain is built and the volume reaches its tail.
// Past the limit the control channel sends no name and does not connect.
#include <gtest/gtest.h>

#include <string>

#include "LinkChain.h"
#include "control/Control.h"
#include "discovery/Find.h"
#include "protocol/Message.h"

using namespace QUORVIN;
using namespace linkchain;

namespace {

std::string nameOf(size_t length)
{
    std::string name(length, ' ');
    for (size_t i = 0; i < length; ++i) {
        name[i] = static_cast<char>('A' + i % 26);
    }
    return name;
}

TEST(ControlName, UpToTheLimitTheChainIsBuiltAndTheVolumeReachesItsTail)
{
    struct Case {
        size_t length;
        bool carried;
    };
    for (const Case c : {Case{2000, true}, Case{MAX_HOST_NAME, true}, Case{MAX_HOST_NAME + 1, false}}) {
        SCOPED_TRACE(c.length);
        LinkChain link;
        ASSERT_NO_FATAL_FAILURE(link.configure());
        link.configA.discovery.hostPeerName = true;
        ASSERT_NO_FATAL_FAILURE(link.start());

        const std::string name = nameOf(c.length);
        Find::Setting setting;
        setting.acceptId = 0;
        setting.hostName = name;
        Find find(setting);
        Control control(Control::Setting{name, ~uint64_t{0}});
        ASSERT_NO_FATAL_FAILURE(link.openHost(find, control));
        Find::StatusSort chain;
        ASSERT_NO_FATAL_FAILURE(link.findChain(find, chain));
        // A's answer named the host as A learned it: whole, or not at all.
        EXPECT_TRUE(chain.front().peerName == (c.carried ? name : std::string())) << chain.front().peerName.size();

        if (!c.carried) {
            EXPECT_FALSE(control.connect(chain));
            EXPECT_FALSE(link.a.state(0).haveControlName);
            EXPECT_FALSE(link.b.state(0).haveControlName);
            continue;
        }
        ASSERT_TRUE(control.connect(chain));
        ASSERT_TRUE(control.setVolume(-1234));
        EXPECT_EQ(volumeOf(link.b), -1234);
        EXPECT_EQ(volumeOf(link.a), 0);
        EXPECT_TRUE(link.a.discoveryState().hostName == name);
        EXPECT_TRUE(link.b.discoveryState().hostName == name);
        EXPECT_TRUE(link.a.state(0).controlName == name);
        EXPECT_TRUE(link.b.state(0).controlName == name);
    }
}

}  // namespace
