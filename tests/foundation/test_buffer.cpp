#include "foundation/Buffer.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

namespace {

using TIVRA::Buffer;
using TIVRA::BufferCS_const;

Buffer bytesOf(const std::string& s)
{
    return Buffer(s.begin(), s.end());
}

struct SplitCase {
    const char* name;
    std::string input;
    bool allowTab;
    bool ok;
    std::vector<std::string> lines;
};

class BufferSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(BufferSplit, LinesAndResult)
{
    const SplitCase& c = GetParam();
    // A list that held entries before: the split must empty it first.
    std::list<std::string> lines{"stale", "entries"};
    EXPECT_EQ(bytesOf(c.input).get_string_list(lines, c.allowTab), c.ok);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end()), c.lines);
}

const std::string BOM = "\xEF\xBB\xBF";

INSTANTIATE_TEST_SUITE_P(
    Table, BufferSplit,
    ::testing::Values(SplitCase{"Empty", "", false, true, {}}, SplitCase{"BomOnly", BOM, false, true, {}},
                      SplitCase{"HalfBomIsText", "\xEF\xBB", false, true, {"\xEF\xBB"}},
                      SplitCase{"BomThenText", BOM + "a=1", false, true, {"a=1"}},
                      // Only the very start is examined for a mark.
                      SplitCase{"BomLaterIsText", "x\n" + BOM, false, true, {"x", BOM}},
                      SplitCase{"DoubleCrLf", "a\r\n\r\nb", false, true, {"a", "b"}},
                      SplitCase{"LfCrLoneCrLoneLf", "a\n\rb\rc\nd", false, true, {"a", "b", "c", "d"}},
                      SplitCase{"OnlyLineEnds", "\r\n\n\r", false, true, {}},
                      SplitCase{"LastLineWithoutEnd", "a\nlast", false, true, {"a", "last"}},
                      SplitCase{"TabRefused", "a\tb", false, false, {"ab"}},
                      SplitCase{"TabAllowed", "a\tb", true, true, {"a\tb"}},
                      SplitCase{"NulRefusedEvenWithTab", std::string("a\0b", 3), true, false, {"ab"}},
                      // Bad bytes are dropped but the walk goes on to the end.
                      SplitCase{"ControlThenMoreLines", "a\x01\nb\x1f\nc", false, false, {"a", "b", "c"}},
                      SplitCase{"LineOfOnlyBadBytesVanishes", "\x01\x02\nz", false, false, {"z"}},
                      SplitCase{"HighBytesAndDelKept", "\x7f\x80\xff", false, true, {"\x7f\x80\xff"}},
                      SplitCase{"BlanksAreText", "  \n", false, true, {"  "}}),
    [](const ::testing::TestParamInfo<SplitCase>& i) { return std::string(i.param.name); });

struct TextCase {
    std::string range;
    std::string text;
};

TEST(BufferCSConst, GetStringCutsAtNulOnlyWhenRangeEndsInNul)
{
    const std::vector<TextCase> cases{
        {"", ""},
        {std::string("abc\0", 4), "abc"},
        {std::string("ab\0cd\0", 6), "ab"},
        {std::string("ab\0c", 4), std::string("ab\0c", 4)},
        {std::string("\0", 1), ""},
        {"xyz", "xyz"},
    };
    for (const TextCase& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.range.data());
        EXPECT_EQ(BufferCS_const::get_string(p, p + c.range.size()), c.text)
            << BufferCS_const{p, c.range.size()}.dump();
    }
}

TEST(BufferCSConst, DumpIsLowerHexSeparatedByBlanks)
{
    const uint8_t bytes[] = {0x00, 0x0A, 0xFF};
    EXPECT_EQ((BufferCS_const{bytes, 3}.dump()), "00 0a ff");
    EXPECT_EQ((BufferCS_const{bytes, 1}.dump()), "00");
    EXPECT_EQ((BufferCS_const{nullptr, 0}.dump()), "");
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    const std::string d = BufferCS_const{all.data(), all.size()}.dump();
    EXPECT_EQ(d.size(), 3u * 256 - 1);
    EXPECT_EQ(d.substr(3 * 0xAB, 2), "ab");
    EXPECT_EQ(d.substr(d.size() - 2), "ff");
}

TEST(Buffer, AssignFromViewGrowsAndShrinks)
{
    const uint8_t longer[] = {1, 2, 3, 4, 5};
    const uint8_t shorter[] = {9};
    Buffer b{7, 7, 7};
    b = BufferCS_const{longer, sizeof longer};
    EXPECT_EQ(b, (Buffer{1, 2, 3, 4, 5}));
    b = BufferCS_const{shorter, sizeof shorter};
    EXPECT_EQ(b, (Buffer{9}));
    b = BufferCS_const{nullptr, 0};
    EXPECT_TRUE(b.empty());

    // A view of the buffer's own bytes.
    Buffer own{1, 2, 3, 4, 5, 6, 7, 8};
    own = BufferCS_const{own.data() + 3, 4};
    EXPECT_EQ(own, (Buffer{4, 5, 6, 7}));
    own = static_cast<BufferCS_const>(own);
    EXPECT_EQ(own, (Buffer{4, 5, 6, 7}));
}

TEST(Buffer, FillKeepsSize)
{
    Buffer b(4);
    b.fill(0x69);
    EXPECT_EQ(b, (Buffer{0x69, 0x69, 0x69, 0x69}));
    Buffer e;
    e.fill(1);
    EXPECT_TRUE(e.empty());
}

TEST(Buffer, ViewsSeeTheBytes)
{
    Buffer b{1, 2, 3};
    const BufferCS_const v = b;
    EXPECT_EQ(v.viewData, b.data());
    EXPECT_EQ(v.viewSize, 3u);
    TIVRA::BufferCS w = b.writable();
    w.viewData[1] = 42;
    EXPECT_EQ(b[1], 42);
}

}  // namespace
