// Icon download against the target emulator on ::1: the asks the host makes
// for each geometry, the pixels it keeps, and the fall-back between sizes.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "discovery/Find.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using testbed::Behaviour;
using testbed::IconConfig;
using testbed::IconImage;
using TIVRA::IPAddress;

namespace {

using Ask = std::array<uint16_t, 3>;  // column + 1, row + 1, count + 1

IconImage image(uint16_t width, uint16_t height, uint16_t format, uint32_t seed = 1)
{
    IconImage i{width, height, format, {}};
    i.bytes.resize(size_t{width} * height * (format == 2 ? 1 : 4));
    for (uint8_t& b : i.bytes) {
        seed = seed * 1103515245U + 12345U;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return i;
}

// What the host should hold for an image.
std::vector<Icon::Pixel> expectedPixels(const IconImage& i)
{
    std::vector<Icon::Pixel> pixels(size_t{i.width} * i.height);
    for (size_t p = 0; p < pixels.size(); ++p) {
        for (size_t k = 0; k < 4; ++k) {
            if (i.format == 2) {
                pixels[p].byte[k] = k == 3 ? i.bytes[p] : 0;
            } else {
                pixels[p].byte[k] = i.bytes[4 * p + k];
            }
        }
    }
    return pixels;
}

Icon garbage()
{
    Icon icon;
    icon.alphaOnly = true;
    icon.width = 9;
    icon.pixels.resize(3);
    return icon;
}

void expectEmpty(const Icon& icon)
{
    EXPECT_EQ(icon.width, 0);
    EXPECT_TRUE(icon.pixels.empty());
    EXPECT_FALSE(icon.alphaOnly);
}

class IconTarget {
public:
    explicit IconTarget(const IconConfig& icons)
    {
        testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
        config.discovery.port = 0;
        config.discovery.icons = icons;
        started = target.start(config);
        Find::Setting setting;
        setting.acceptId = 0;
        find = std::make_unique<Find>(setting);
        started = started && find->open();
        if (started) {
            address = *target.discoveryAddress();
        }
    }

    // The icon asks that reached the target, as (message, option 0..3).
    std::vector<testbed::Request> asks() const
    {
        std::vector<testbed::Request> out;
        for (const auto& r : target.discoveryRequests()) {
            if (r.message == ICON0_REQ || r.message == ICON1_REQ || r.message == ICON2_REQ) {
                out.push_back(r);
            }
        }
        return out;
    }
    std::vector<Ask> pixelAsks() const
    {
        std::vector<Ask> out;
        for (const auto& r : asks()) {
            if (r.option1 != 0 || r.option2 != 0) {
                out.push_back({r.option1, r.option2, r.option3});
            }
        }
        return out;
    }
    // The icon numbers of the geometry asks, in order.
    std::vector<uint16_t> geometryAsks() const
    {
        std::vector<uint16_t> out;
        for (const auto& r : asks()) {
            if (r.option1 == 0 && r.option2 == 0) {
                out.push_back(r.option0);
            }
        }
        return out;
    }

    testbed::TargetEmulator target;
    std::unique_ptr<Find> find;
    IPAddress address{};
    bool started = false;
};

// ---- one icon

struct DownloadCase {
    const char* name;
    friend void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.name; }
    uint16_t family;
    uint16_t number;
    IconImage image;
    uint32_t cap;  // pixels per answer, 0 none
    std::vector<Ask> asks;
};

class IconDownload : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(IconDownload, AsksInRowsAndKeepsTheBytes)
{
    const DownloadCase& c = GetParam();
    IconConfig icons;
    icons.icons[{c.family, c.number}] = c.image;
    icons.pixelsPerAnswer = c.cap;
    IconTarget t(icons);
    ASSERT_TRUE(t.started);
    Icon out = garbage();
    ASSERT_TRUE(t.find->downloadIcon(t.address, Find::ICON{c.family} << 16 | c.number, out));
    EXPECT_EQ(out.width, c.image.width);
    EXPECT_EQ(out.alphaOnly, c.image.format == 2);
    EXPECT_TRUE(out.pixels == expectedPixels(c.image));
    EXPECT_EQ(t.pixelAsks(), c.asks);
    for (const auto& r : t.asks()) {
        EXPECT_EQ(r.message, ICON0_REQ + 2 * c.family);
        EXPECT_EQ(r.option0, c.number);
        EXPECT_EQ(r.status, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Icons, IconDownload,
    ::testing::Values(
        // 520-byte rows: three would pass 1400 bytes, so two.
        DownloadCase{"Width130TwoRows", 0, 1, image(130, 5, 0), 0, {{1, 1, 261}, {1, 3, 261}, {1, 5, 131}}},
        // 800-byte rows: two would pass 1400, one row per ask.
        DownloadCase{"Width200OneRowEach", 1, 3, image(200, 3, 1), 0, {{1, 1, 0}, {1, 2, 0}, {1, 3, 0}}},
        DownloadCase{"Width300OneRowEach", 0, 1, image(300, 2, 0), 0, {{1, 1, 0}, {1, 2, 0}}},
        DownloadCase{"Width150TwoRows", 0, 1, image(150, 3, 0), 0, {{1, 1, 301}, {1, 3, 151}}},
        DownloadCase{"AlphaWidth16Takes75Rows", 0, 2, image(16, 80, 2), 0, {{1, 1, 1201}, {1, 76, 81}}},
        DownloadCase{"Width100Height7", 0, 1, image(100, 7, 0), 0, {{1, 1, 301}, {1, 4, 301}, {1, 7, 101}}},
        DownloadCase{"FamilyTwoNumberFive", 2, 5, image(8, 2, 0), 0, {{1, 1, 17}}},
        // Half a row per answer: the rest of the row is asked at its middle column.
        DownloadCase{"HalfRowsContinueAtTheMiddle",
                     0,
                     1,
                     image(300, 2, 0),
                     150,
                     {{1, 1, 0}, {151, 1, 0}, {1, 2, 0}, {151, 2, 0}}},
        // A cut ask of whole rows ends mid-row; the row is finished before whole rows again.
        DownloadCase{"CutRowsAreFinishedFirst",
                     0,
                     1,
                     image(100, 4, 0),
                     150,
                     {{1, 1, 301}, {51, 2, 0}, {1, 3, 201}, {51, 4, 0}}}),
    [](const ::testing::TestParamInfo<DownloadCase>& info) { return std::string(info.param.name); });

// ---- no icon, and refusals

struct EmptyCase {
    const char* name;
    friend void PrintTo(const EmptyCase& c, std::ostream* os) { *os << c.name; }
    Find::ICON selector;
    std::optional<IconImage> image;  // as icon 0/1
    std::optional<Behaviour::Mode> geometry;
    bool result;
    size_t asks;
};

class IconNone : public ::testing::TestWithParam<EmptyCase> {};

TEST_P(IconNone, GivesAnEmptyIconWithoutPixelAsks)
{
    const EmptyCase& c = GetParam();
    IconConfig icons;
    if (c.image) {
        icons.icons[{0, 1}] = *c.image;
        icons.icons[{0, 1}].bytes.clear();  // served from the pattern, should it ever be asked
    }
    IconTarget t(icons);
    ASSERT_TRUE(t.started);
    if (c.geometry) {
        Behaviour b;
        b.mode = *c.geometry;
        t.target.setDiscoveryBehaviour(ICON0_REQ, b);
    }
    Icon out = garbage();
    EXPECT_EQ(t.find->downloadIcon(t.address, c.selector, out), c.result);
    expectEmpty(out);
    EXPECT_EQ(out.pixels.capacity(), 0U);
    EXPECT_EQ(t.asks().size(), c.asks);
}

INSTANTIATE_TEST_SUITE_P(
    Icons, IconNone,
    ::testing::Values(EmptyCase{"FamilyThreeIsRefusedUnasked", 0x30001, std::nullopt, std::nullopt, false, 0},
                      EmptyCase{"MissingNumber", 1, std::nullopt, std::nullopt, true, 1},
                      EmptyCase{"FormatThree", 1, IconImage{4, 4, 3, {}}, std::nullopt, true, 1},
                      EmptyCase{"WidthZero", 1, IconImage{0, 4, 0, {}}, std::nullopt, true, 1},
                      EmptyCase{"HeightZero", 1, IconImage{4, 0, 0, {}}, std::nullopt, true, 1},
                      EmptyCase{"Geometry65535Square", 1, IconImage{65535, 65535, 0, {}}, std::nullopt, true, 1},
                      // 16 Mi pixels and a row more.
                      EmptyCase{"JustAboveTheLimit", 1, IconImage{4096, 4097, 2, {}}, std::nullopt, true, 1},
                      EmptyCase{"GeometrySilent", 1, IconImage{4, 4, 0, {}}, Behaviour::SILENT, true, 1},
                      EmptyCase{"GeometryRefused", 1, IconImage{4, 4, 0, {}}, Behaviour::REFUSE, true, 1},
                      EmptyCase{"GeometryEchoed", 1, IconImage{4, 4, 0, {}}, Behaviour::ECHO, true, 1}),
    [](const ::testing::TestParamInfo<EmptyCase>& info) { return std::string(info.param.name); });

// ---- failed pixel transfers

struct FailCase {
    const char* name;
    friend void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }
    IconImage image;
    IconConfig::PixelFault fault;
    std::optional<uint16_t> faultRow;
    std::optional<Behaviour::Mode> secondPixelAsk;  // what the target does to the second pixel ask
};

class IconFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(IconFailure, FailsAndLeavesTheIconEmpty)
{
    const FailCase& c = GetParam();
    IconConfig icons;
    icons.icons[{0, 1}] = c.image;
    icons.fault = c.fault;
    icons.faultRow = c.faultRow;
    IconTarget t(icons);
    ASSERT_TRUE(t.started);
    if (c.secondPixelAsk) {
        Behaviour b;
        b.mode = *c.secondPixelAsk;
        b.nth = 3;  // the geometry ask is the first of icon 1
        t.target.setDiscoveryBehaviour(ICON0_REQ, 1, b);
    }
    Icon out = garbage();
    EXPECT_FALSE(t.find->downloadIcon(t.address, 1, out));
    expectEmpty(out);
}

INSTANTIATE_TEST_SUITE_P(
    Icons, IconFailure,
    ::testing::Values(
        FailCase{"EmptyPayload", image(100, 7, 0), IconConfig::EMPTY_PIXELS, 3, std::nullopt},
        FailCase{"EmptyAlphaPayload", image(16, 80, 2), IconConfig::EMPTY_PIXELS, 75, std::nullopt},
        FailCase{"MisalignedPayload", image(100, 7, 0), IconConfig::MISALIGNED_PIXELS, 3, std::nullopt},
        FailCase{"PixelsPastTheEnd", image(100, 7, 0), IconConfig::TOO_MANY_PIXELS, 6, std::nullopt},
        FailCase{"SecondAskSilent", image(200, 3, 0), IconConfig::NO_FAULT, std::nullopt, Behaviour::SILENT},
        FailCase{"SecondAskRefused", image(200, 3, 0), IconConfig::NO_FAULT, std::nullopt, Behaviour::REFUSE},
        FailCase{"SecondAskEchoed", image(200, 3, 0), IconConfig::NO_FAULT, std::nullopt, Behaviour::ECHO}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

// ---- fall-back between sizes

struct FallbackCase {
    const char* name;
    friend void PrintTo(const FallbackCase& c, std::ostream* os) { *os << c.name; }
    uint16_t family;
    uint16_t number;
    unsigned short wantWidth;
    std::vector<std::pair<uint16_t, uint16_t>> present;  // number, width (height 2)
    std::vector<uint16_t> trials;                        // geometry asks
    std::optional<uint16_t> result;                      // the number whose icon is kept
    std::optional<uint32_t> silentNth = std::nullopt;    // of the asks about icon 2
};

class IconFallback : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(IconFallback, TriesTheRelatedSizes)
{
    const FallbackCase& c = GetParam();
    IconConfig icons;
    for (const auto& [n, w] : c.present) {
        icons.icons[{c.family, n}] = image(w, 2, 0, n);
    }
    IconTarget t(icons);
    ASSERT_TRUE(t.started);
    if (c.silentNth) {
        Behaviour b;
        b.mode = Behaviour::SILENT;
        b.nth = *c.silentNth;
        t.target.setDiscoveryBehaviour(ICON0_REQ + 2 * c.family, 2, b);
    }
    Icon out = garbage();
    ASSERT_TRUE(t.find->downloadIcon(t.address, Find::ICON{c.family} << 16 | c.number, out, c.wantWidth));
    EXPECT_EQ(t.geometryAsks(), c.trials);
    if (c.result) {
        const IconImage& kept = icons.icons[{c.family, *c.result}];
        EXPECT_EQ(out.width, kept.width);
        EXPECT_TRUE(out.pixels == expectedPixels(kept));
    } else {
        expectEmpty(out);
    }
    for (const auto& r : t.asks()) {
        EXPECT_EQ(r.message, ICON0_REQ + 2 * c.family);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Icons, IconFallback,
    ::testing::Values(FallbackCase{"ExactWidthStays", 0, 2, 64, {{2, 64}, {1, 32}}, {2}, 2},
                      FallbackCase{"WiderStays", 0, 2, 64, {{2, 96}, {1, 32}}, {2}, 2},
                      FallbackCase{"NarrowSwitchesToTheSmallerList", 0, 2, 64, {{2, 48}, {1, 20}}, {2, 1}, 1},
                      FallbackCase{"NarrowFindsItselfAgain", 0, 2, 64, {{2, 48}}, {2, 1, 2}, 2},
                      // The second list finds nothing (the target stops answering about
                      // icon 2): the icon of the first list is not kept.
                      FallbackCase{"FirstFindIsNotKept", 0, 2, 64, {{2, 48}}, {2, 1, 2, 3, 4}, std::nullopt, 3},
                      FallbackCase{"FirstPresentOfTheRow", 0, 3, 64, {{4, 10}, {2, 30}}, {3, 1, 4}, 4},
                      FallbackCase{"OddNumberNeverSwitches", 0, 1, 64, {{1, 16}, {2, 64}}, {1}, 1},
                      FallbackCase{"EvenFoundForOddAskStays", 0, 5, 64, {{6, 10}, {1, 64}}, {5, 6}, 6},
                      FallbackCase{"FourToThree", 1, 4, 64, {{4, 32}, {3, 60}}, {4, 3}, 3},
                      FallbackCase{"EightToSeven", 2, 8, 64, {{8, 32}, {7, 60}}, {8, 7}, 7},
                      FallbackCase{"NoneOfTheRow", 0, 6, 64, {{1, 64}}, {6, 5, 8, 7}, std::nullopt},
                      FallbackCase{"IconZeroTriedFourTimes", 0, 0, 64, {}, {0, 0, 0, 0}, std::nullopt},
                      FallbackCase{"AboveTheTableAlone", 0, 9, 64, {{9, 12}, {1, 64}}, {9}, 9},
                      FallbackCase{"AboveTheTableMissing", 1, 12, 64, {{1, 64}}, {12}, std::nullopt}),
    [](const ::testing::TestParamInfo<FallbackCase>& info) { return std::string(info.param.name); });

TEST(Icons, FallbackEndsAtAFailedTransfer)
{
    IconConfig icons;
    icons.icons[{0, 2}] = image(48, 2, 0);
    icons.icons[{0, 1}] = image(64, 2, 0);
    icons.fault = IconConfig::EMPTY_PIXELS;
    IconTarget t(icons);
    ASSERT_TRUE(t.started);
    Icon out = garbage();
    EXPECT_FALSE(t.find->downloadIcon(t.address, 2, out, 64));
    expectEmpty(out);
    EXPECT_EQ(t.geometryAsks(), std::vector<uint16_t>{2});
}

TEST(Icons, FallbackRefusesFamilyThreeUnasked)
{
    IconTarget t(IconConfig{});
    ASSERT_TRUE(t.started);
    Icon out = garbage();
    EXPECT_FALSE(t.find->downloadIcon(t.address, 0x30002, out, 64));
    expectEmpty(out);
    EXPECT_TRUE(t.asks().empty());
}

}  // namespace
