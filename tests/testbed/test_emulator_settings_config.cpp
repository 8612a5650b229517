// The setting lists of an emulated target as a settings file gives them.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "foundation/FileInf.h"
#include "testbed/emulator/TargetConfig.h"

namespace {

bool parse(const std::string& text, testbed::TargetConfig& config, std::string& error)
{
    TIVRA::FileInf settings;
    settings.set_string(text);
    return testbed::parseTargetConfig(settings, config, error);
}

TEST(EmulatorSettingsConfig, ReadsBothListsInOrder)
{
    testbed::TargetConfig config;
    std::string error;
    ASSERT_TRUE(parse("[targetSetting.1]\nkind = 2\nlower = 0xFFF6\nupper = 10\nname = trim\nvalue = 3\n"
                      "alternateValue = 4\nindex = 1\nvalueText = three\nanswerNumber = 9\n"
                      "[targetSetting.2]\nkind = 5\nchoice.2 = slow\nchoice.3 = fast\n"
                      "[targetSetting.4]\nkind = 1\n"
                      "[sinkSetting.1]\nkind = 3\nname = mute\n",
                      config, error))
        << error;
    const testbed::SettingList& t = config.discovery.settings.target;
    ASSERT_EQ(t.items.size(), 2u);  // item 4 stands after a gap
    testbed::SettingItem first;
    first.kind = 2;
    first.lower = 0xFFF6;
    first.upper = 10;
    first.name = "trim";
    first.value = 3;
    first.alternateValue = 4;
    first.index = 1;
    first.valueText = "three";
    first.answerNumber = 9;
    EXPECT_EQ(t.items[0], first);
    EXPECT_EQ(t.items[1].choices, (std::map<uint16_t, std::string>{{2, "slow"}, {3, "fast"}}));
    ASSERT_EQ(config.discovery.settings.sink.items.size(), 1u);
    EXPECT_EQ(config.discovery.settings.sink.items[0].name, "mute");
}

TEST(EmulatorSettingsConfig, TheSampleFileHasBothLists)
{
    const std::string here = __FILE__;
    testbed::TargetConfig config;
    std::string error;
    ASSERT_TRUE(testbed::loadTargetConfig(here.substr(0, here.rfind('/')) + "/../../testbed/emulator/sample-target.inf",
                                          config, error))
        << error;
    ASSERT_EQ(config.discovery.settings.target.items.size(), 2u);
    EXPECT_EQ(config.discovery.settings.target.items[1].choices.at(1), "Slow");
    ASSERT_EQ(config.discovery.settings.sink.items.size(), 1u);
}

TEST(EmulatorSettingsConfig, RefusesUnknownKeysAndBadNumbers)
{
    for (const char* text : {"[sinkSetting.1]\ncolour = red\n", "[targetSetting.1]\nkind = 65536\n",
                             "[targetSetting.1]\nchoice.x = a\n"}) {
        testbed::TargetConfig config;
        std::string error;
        EXPECT_FALSE(parse(text, config, error)) << text;
        EXPECT_NE(error.find("Setting.1]"), std::string::npos) << error;
    }
}

}  // namespace
