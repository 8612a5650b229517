// The [info] group of a target's settings file.
#include <gtest/gtest.h>

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

TEST(AdminInfoConfig, ReadsTheTextsInPartOrder)
{
    testbed::TargetConfig c;
    std::string error;
    ASSERT_TRUE(parse("[info]\n"
                      "firmwareVersion = 1.8.2\n"
                      "firmwareUrl = http://fw/x\n"
                      "text.10.1 = second\n"
                      "text.10.0 = first\n"
                      "text.2 = one\n"
                      "parts.10 = 5\n"
                      "rebootAnswer = 0x10\n",
                      c, error))
        << error;
    const testbed::AdminInfoConfig& info = c.discovery.info;
    EXPECT_EQ(info.firmwareVersion, "1.8.2");
    EXPECT_EQ(info.firmwareUrl, "http://fw/x");
    ASSERT_EQ(info.texts.size(), 2U);
    EXPECT_EQ(info.texts.at(10), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(info.texts.at(2), std::vector<std::string>{"one"});
    EXPECT_EQ(info.announcedParts.at(10), 5);
    EXPECT_EQ(info.rebootAnswer, uint16_t{16});
}

TEST(AdminInfoConfig, RefusesGapsAndUnknownKeys)
{
    for (const char* group : {"[info]\ntext.1.1 = no part 0\n", "[info]\ntext.1 = a\ntext.1.0 = b\n",
                              "[info]\ntext.x = a\n", "[info]\nparts.1 = 70000\n", "[info]\nfirmware = 1\n",
                              "[info]\nrebootAnswer = -1\n"}) {
        testbed::TargetConfig c;
        std::string error;
        EXPECT_FALSE(parse(group, c, error)) << group;
        EXPECT_EQ(error.rfind("[info] ", 0), 0U) << error;
    }
}

}  // namespace
