// The emulator's icon keys of a settings file.
#include <gtest/gtest.h>

#include <string>

#include "foundation/FileInf.h"
#include "testbed/emulator/TargetConfig.h"

namespace {

using testbed::IconConfig;

bool parse(const std::string& text, testbed::TargetConfig& config, std::string& error)
{
    TIVRA::FileInf settings;
    settings.set_string(text);
    return testbed::parseTargetConfig(settings, config, error);
}

TEST(EmulatorIconConfig, ReadsTheIconGroups)
{
    testbed::TargetConfig config;
    std::string error;
    ASSERT_TRUE(
        parse("[icons]\npixelsPerAnswer = 150\nfault = misaligned\nfaultRow = 3\n"
              "[icon.2.5]\nwidth = 130\nheight = 0x10\nformat = 2\n"
              "[icon.0.1]\nwidth = 16\n",
              config, error))
        << error;
    const IconConfig& c = config.discovery.icons;
    EXPECT_EQ(c.pixelsPerAnswer, 150U);
    EXPECT_EQ(c.fault, IconConfig::MISALIGNED_PIXELS);
    EXPECT_EQ(c.faultRow, uint16_t{3});
    ASSERT_EQ(c.icons.size(), 2U);
    const testbed::IconImage& i = c.icons.at({2, 5});
    EXPECT_EQ(i.width, 130);
    EXPECT_EQ(i.height, 16);
    EXPECT_EQ(i.format, 2);
    EXPECT_TRUE(i.bytes.empty());
    EXPECT_EQ(c.icons.at({0, 1}).width, 16);
}

TEST(EmulatorIconConfig, RefusesWhatItCannotUse)
{
    for (const char* text : {"[icon.3.1]\nwidth = 4\n", "[icon.1]\nwidth = 4\n", "[icon.0.65536]\nwidth = 4\n",
                             "[icon.0.1]\nwidth = 65536\n", "[icon.0.1]\ncolour = 1\n", "[icons]\nfault = loud\n",
                             "[icons]\nfaultRow = -1\n", "[icons]\nspeed = 1\n"}) {
        testbed::TargetConfig config;
        std::string error;
        EXPECT_FALSE(parse(text, config, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
