// Volume through a chain over a real link: target B's sink is fed by target
// A's, both emulated on one link in a namespace of their own; the host finds
// them, builds A's chain and sets the volume through it.
#include <gtest/gtest.h>

#include "LinkChain.h"
#include "control/Control.h"
#include "discovery/Find.h"

using namespace QUORVIN;
using namespace linkchain;

namespace {

TEST(ChainOnALink, VolumeGoesToTheTailAndZeroDecibelToTheRest)
{
    LinkChain link;
    ASSERT_NO_FATAL_FAILURE(link.configure());
    link.configA.sinks[0].controls[1].value = static_cast<uint16_t>(-500);  // not 0 dB before
    ASSERT_NO_FATAL_FAILURE(link.start());

    Find::Setting setting;
    setting.acceptId = 0;
    setting.hostName = "bridge";
    Find find(setting);
    Control control(Control::Setting{"bridge", ~uint64_t{0}});
    ASSERT_NO_FATAL_FAILURE(link.openHost(find, control));
    Find::StatusSort chain;
    ASSERT_NO_FATAL_FAILURE(link.findChain(find, chain));

    ASSERT_TRUE(control.connect(chain));
    ASSERT_TRUE(control.setVolume(-1234));
    EXPECT_EQ(volumeOf(link.b), -1234);
    EXPECT_EQ(volumeOf(link.a), 0);
    short volume = 0;
    ASSERT_TRUE(control.getVolume(volume));
    EXPECT_EQ(volume, -1234);
    EXPECT_EQ(link.a.state(0).controlName, "bridge");
    EXPECT_EQ(link.b.state(0).controlName, "bridge");
}

}  // namespace
