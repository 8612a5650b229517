#include "foundation/FileInf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/Buffer.h"

namespace {

using TIVRA::FileInf;

// Every entry as "group|key|value", in the store's own order.
std::vector<std::string> entries(const FileInf& inf)
{
    std::vector<std::string> out;
    for (const auto& [group, keys] : inf.groups) {
        for (const auto& [key, unit] : keys) {
            out.push_back(group + "|" + key + "|" + unit.value);
        }
    }
    return out;
}

std::string slurp(const std::string& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "fileinf.XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) {
            dir = tmpl;
        }
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!dir.empty()) {
            std::filesystem::remove_all(dir, ec);
        }
    }
    std::string put(const std::string& name, const std::string& bytes) const
    {
        const std::string p = dir + "/" + name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    std::string dir;
};

struct ParseCase {
    const char* name;
    std::string file;
    char join;
    bool ok;
    std::vector<std::string> entries;  // afterwards, on a fresh store
};

const std::string BOM = "\xEF\xBB\xBF";

const ParseCase parseCases[] = {
    {"EmptyFile", "", 0, true, {}},
    {"OnlyByteOrderMark", BOM, 0, true, {}},
    {"ByteOrderMarkSkipped", BOM + "a=1\r\n", 0, true, {"global|a|1"}},
    {"TabRejectedWithJoin0", "a=1\nb=x\ty\n", 0, false, {}},
    {"ControlByteRejected", "a=1\n\x01", 0, false, {}},
    {"ControlByteRejectedWithJoin", "a=1\x02\n", ',', false, {}},
    {"TabKeptUntrimmedWithJoin", "k\t =\tv\t\n", ',', true, {"global|k\t|\tv\t"}},
    {"LineEndsOfAllKinds",
     "a=1\r\nb=2\rc=3\nd=4\n\re=5",
     0,
     true,
     {"global|a|1", "global|b|2", "global|c|3", "global|d|4", "global|e|5"}},
    {"GlobalBeforeHeaderAndAfterEmptyHeader",
     "a=1\n[x]\nb=2\n[]\nc=3\n",
     0,
     true,
     {"global|a|1", "global|c|3", "x|b|2"}},
    {"HeaderNameTrimmed", "  [ name ]  \nk=v\n", 0, true, {"name|k|v"}},
    {"HeaderOfBlanksNamesBlanks", "[  ]\nk=v\n", 0, true, {"  |k|v"}},
    {"HeaderInnerBracketKept", "[a]b]\nk=v\n", 0, true, {"a]b|k|v"}},
    {"HeaderWithoutEntriesMakesNoGroup", "[lonely]\n[x]\nk=v\n", 0, true, {"x|k|v"}},
    {"UnclosedHeaderIgnored", "[x]\na=1\n[y\nb=2\n[\nc=3\n", 0, true, {"x|a|1", "x|b|2", "x|c|3"}},
    {"UnclosedHeaderStopsContinuation", "[x]\nk=a\n[y\nb\n", ',', true, {"x|k|a"}},
    {"RepeatedHeaderMerges", "[x]\na=1\n[y]\nb=1\n[x]\na=2\nc=3\n", 0, true, {"x|a|2", "x|c|3", "y|b|1"}},
    {"KeyAndValueTrimmed", "   key   =   some value  \n", 0, true, {"global|key|some value"}},
    {"EmptyKeyIgnored", "=v\n  = w\n", 0, true, {}},
    {"Comments", "; a=1\n# b=1\n   # c=1\n// d=1\n  //e=1\n/f=1\n", 0, true, {"global|/f|1"}},
    {"CommentCharactersInsideAreText", "a#b=1\nq=\"x\" ; y # z\n", 0, true, {"global|a#b|1", "global|q|\"x\" ; y # z"}},
    {"OnlyFirstEqualsSplits", "k = a=b = c\n", 0, true, {"global|k|a=b = c"}},
    {"ValueOfBlanksKept", "k=   \n", 0, true, {"global|k|   "}},
    {"EmptyValueStored", "k=\n", 0, true, {"global|k|"}},
    {"SameKeyTwiceLaterWins", "k=1\nk=2\n", 0, true, {"global|k|2"}},
    {"KeysAreCaseSensitive", "Key=1\nkey=2\n", 0, true, {"global|Key|1", "global|key|2"}},
    {"BytesAbove7FPassThrough",
     "[Gr\xC3\xBC\xC3\x9F"
     "e]\nschl\xC3\xBCssel=\x7F\xFF\n",
     0,
     true,
     {"Gr\xC3\xBC\xC3\x9F"
      "e|schl\xC3\xBCssel|\x7F\xFF"}},
    {"ContinuationWithComma", "k=a\nb\n,c\nd,\n,e\n", ',', true, {"global|k|a,b,c,d,e"}},
    {"ContinuationWithBlank", "k=a\n  b  \nc\n", ' ', true, {"global|k|abc"}},
    {"ContinuationIgnoredWithJoin0", "k=a\nb\n", 0, true, {"global|k|a"}},
    {"ContinuationOfEmptyValue", "k=\nb\nc\n", ',', true, {"global|k|b,c"}},
    {"ContinuationGoesOnPastComment", "k=a\n# note\nb\n", ',', true, {"global|k|a,b"}},
    {"ContinuationGoesOnPastEmptyKey", "k=a\n=zzz\nb\n", ',', true, {"global|k|a,b"}},
    {"ContinuationFollowsLatestEntry", "k=a\nm=x\nb\n", ',', true, {"global|k|a", "global|m|x,b"}},
    {"ContinuationStoppedByHeader", "[g]\nk=a\n[h]\nb\n", ',', true, {"g|k|a"}},
    {"ContinuationOfBlanksOnly", "k=a\n   \n", ',', true, {"global|k|a,   "}},
    {"NoContinuationBeforeAnyEntry", "loose\nk=a\n", ',', true, {"global|k|a"}},
    {"DottedGroupsAreOrdinaryNames", "[a]\nx=1\n[a.b]\nx=2\n", 0, true, {"a|x|1", "a.b|x|2"}},
};

class FileInfParse : public ::testing::TestWithParam<ParseCase> {};

// The whole road the daemon takes: a real file, read and split, then parsed.
TEST_P(FileInfParse, FromFile)
{
    const ParseCase& c = GetParam();
    TempDir tmp;
    ASSERT_FALSE(tmp.dir.empty());
    const std::string path = tmp.put("setting.inf", c.file);
    FileInf inf;
    EXPECT_EQ(inf.load(path, c.join), c.ok);
    EXPECT_EQ(entries(inf), c.entries);
    EXPECT_EQ(inf.loadedPath, c.ok ? path : "");
    // The parse ends by selecting "global": its keys read at once.
    const auto global = inf.groups.find("global");
    EXPECT_EQ(inf.groupMap, global == inf.groups.end() ? nullptr : &global->second);
    if (global != inf.groups.end()) {
        for (const auto& [key, unit] : global->second) {
            EXPECT_EQ(inf.get(key), unit.value) << key;
        }
    }
}

// A refused file leaves an existing store, its selection and path as they were.
TEST_P(FileInfParse, RefusalKeepsEarlierContent)
{
    const ParseCase& c = GetParam();
    TempDir tmp;
    ASSERT_FALSE(tmp.dir.empty());
    const std::string first = tmp.put("first.inf", "[global]\nold=1\n[p]\nq=2\n");
    const std::string second = tmp.put("second.inf", c.file);
    FileInf inf;
    ASSERT_TRUE(inf.load(first, c.join));
    inf.set_current_group("p");
    const int32_t seq = inf.entrySeq;
    const bool ok = inf.load(second, c.join);
    if (ok) {
        EXPECT_EQ(inf.loadedPath, second);
        return;
    }
    EXPECT_EQ(entries(inf), (std::vector<std::string>{"global|old|1", "p|q|2"}));
    EXPECT_EQ(inf.entrySeq, seq);
    EXPECT_EQ(inf.currentGroup, "p");
    EXPECT_EQ(inf.get("q"), "2");
    EXPECT_EQ(inf.loadedPath, first);
}

INSTANTIATE_TEST_SUITE_P(Table, FileInfParse, ::testing::ValuesIn(parseCases),
                         [](const ::testing::TestParamInfo<ParseCase>& i) { return std::string(i.param.name); });

TEST(FileInf, LoadMissingFileIsFalse)
{
    TempDir tmp;
    FileInf inf;
    EXPECT_FALSE(inf.load(tmp.dir + "/absent.inf", 0));
    EXPECT_FALSE(inf.load(tmp.dir, 0));  // a directory
    EXPECT_TRUE(inf.groups.empty());
    EXPECT_EQ(inf.loadedPath, "");
}

TEST(FileInf, TwoLoadsMerge)
{
    TempDir tmp;
    FileInf inf;
    ASSERT_TRUE(inf.load(tmp.put("a.inf", "only1=a\nboth=a\n[g]\nx=1\n"), 0));
    ASSERT_TRUE(inf.load(tmp.put("b.inf", "both=b\n[g]\ny=2\n"), 0));
    // "g" sorts before "global": a proper prefix comes first.
    EXPECT_EQ(entries(inf), (std::vector<std::string>{"g|x|1", "g|y|2", "global|both|b", "global|only1|a"}));
    EXPECT_EQ(inf.loadedPath, tmp.dir + "/b.inf");
    // A key given again gets a new, higher number.
    EXPECT_EQ(inf.groups["global"]["both"].seq, 4);
    EXPECT_EQ(inf.groups["global"]["only1"].seq, 1);
}

TEST(FileInf, SequenceNumbers)
{
    FileInf inf;
    inf.load(std::list<std::string>{"a=1", "b=2", "c", "a=3"}, ',');
    EXPECT_EQ(inf.entrySeq, 3);
    EXPECT_EQ(inf.groups["global"]["a"].seq, 3);
    EXPECT_EQ(inf.groups["global"]["b"].seq, 2);
    EXPECT_EQ(inf.groups["global"]["b"].value, "2,c");  // continuation keeps the number
    inf.set("b", "new");
    inf.set("fresh", "x");
    EXPECT_EQ(inf.groups["global"]["b"].seq, 2);
    EXPECT_EQ(inf.groups["global"]["fresh"].seq, 0);
    EXPECT_EQ(inf.entrySeq, 3);
}

TEST(FileInf, ParseReselectsCurrentGroup)
{
    FileInf inf;
    EXPECT_EQ(inf.currentGroup, "global");
    EXPECT_EQ(inf.groupMap, nullptr);
    inf.set_string("Debug=7\n[other]\nDebug=1\n");
    ASSERT_NE(inf.groupMap, nullptr);
    EXPECT_EQ(inf.groupMap, &inf.groups["global"]);
    EXPECT_EQ(inf.get("Debug"), "7");
    EXPECT_EQ(inf.get64("Debug"), 7);
}

TEST(FileInf, GroupSelection)
{
    FileInf inf;
    inf.set_string("top=g\n[a]\nx=in-a\nonlyA=1\n[a.b]\nx=in-ab\n[a.b.c]\nx=in-abc\n[t:s]\nThredMode=17\n");

    inf.set_current_group("a.b");
    EXPECT_EQ(inf.currentGroup, "a.b");
    EXPECT_EQ(inf.groupMap, &inf.groups["a"]);
    EXPECT_EQ(inf.subGroupMap, &inf.groups["a.b"]);
    EXPECT_EQ(inf.get("x"), "in-ab");
    EXPECT_EQ(inf.get("onlyA"), "");  // the sub-group alone is read

    inf.set_current_group("a.missing");
    EXPECT_EQ(inf.subGroupMap, nullptr);
    EXPECT_EQ(inf.get("x"), "in-a");
    EXPECT_EQ(inf.get("onlyA"), "1");

    inf.set_current_group("a.b.c");  // only the first dot counts
    EXPECT_EQ(inf.groupMap, &inf.groups["a"]);
    EXPECT_EQ(inf.get("x"), "in-abc");

    inf.set_current_group("t:s");
    EXPECT_EQ(inf.get64("ThredMode"), 17);

    inf.set_current_group("nothing.here");
    EXPECT_EQ(inf.groupMap, nullptr);
    EXPECT_EQ(inf.get("x"), "");

    inf.set_current_group("");
    EXPECT_EQ(inf.currentGroup, "global");
    EXPECT_EQ(inf.get("top"), "g");
}

TEST(FileInf, Get64)
{
    const std::pair<std::string, int64_t> cases[] = {
        {"  -12xyz", -12},
        {"99999999999999999999", INT64_MAX},
        {"-99999999999999999999", INT64_MIN},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"-9223372036854775809", INT64_MIN},
        {"00000000000000000000000042", 42},
        {"10ms", 10},
        {"0x10", 0},
        {"+5", 5},
        {"-0", 0},
        {"- 5", 0},
        {"--1", 0},
        {"abc", 0},
        {"1 2", 1},
    };
    FileInf inf;
    for (const auto& [text, number] : cases) {
        inf.groups["global"]["v"].value = text;
        inf.set_current_group("global");
        EXPECT_EQ(inf.get64("v"), number) << text;
    }
    inf.groups["global"]["v"].value = "\t\v 7";  // white space of any kind is skipped
    EXPECT_EQ(inf.get64("v"), 7);
    EXPECT_EQ(inf.get64("missing"), 0);
}

TEST(FileInf, SetAndSet64)
{
    FileInf inf;
    inf.set_current_group("p");
    inf.set("k", "v");
    // The group was made by set: the selection does not see it yet.
    EXPECT_EQ(inf.get("k"), "");
    inf.set_current_group("p");
    EXPECT_EQ(inf.get("k"), "v");

    inf.set64("zero", 0);
    inf.set64("big", UINT64_MAX);
    inf.set64("n", 1234567);
    EXPECT_EQ(inf.get("zero"), "0");
    EXPECT_EQ(inf.get("big"), "18446744073709551615");
    EXPECT_EQ(inf.get64("big"), INT64_MAX);
    EXPECT_EQ(inf.get64("n"), 1234567);

    // A dotted current group is one name to set.
    inf.set_current_group("x.y");
    inf.set("k", "1");
    EXPECT_EQ(entries(inf).front(), "p|big|18446744073709551615");
    EXPECT_EQ(inf.groups.count("x.y"), 1u);
    EXPECT_EQ(inf.groups.count("x"), 0u);
}

TEST(FileInf, NamedConstructor)
{
    FileInf named("t:s");
    EXPECT_EQ(named.currentGroup, "t:s");
    EXPECT_EQ(named.groupMap, nullptr);
    named.set_string("[t:s]\nk=1\n");
    EXPECT_EQ(named.get("k"), "1");

    FileInf unnamed{std::string()};
    EXPECT_EQ(unnamed.currentGroup, "");
    unnamed.set("k", "v");  // into the group of the empty name
    EXPECT_EQ(entries(unnamed), (std::vector<std::string>{"|k|v"}));
}

TEST(FileInf, BytewiseOrder)
{
    FileInf inf;
    inf.set_string("a=1\nB=2\n\x80=3\nab=4\n");
    EXPECT_EQ(entries(inf), (std::vector<std::string>{"global|B|2", "global|a|1", "global|ab|4", "global|\x80|3"}));
    EXPECT_EQ(inf.get("A"), "");
}

TEST(FileInf, GetGroupString)
{
    FileInf inf;
    inf.set_string("[g]\nx=1\nw=\n[g.h]\nz=9\n[e]\n");
    EXPECT_EQ(inf.get_group_string("g"), "w=\nx=1");
    EXPECT_EQ(inf.get_group_string("g.h"), "z=9");
    EXPECT_EQ(inf.get_group_string("g.missing"), "");  // no dotted fall-back
    EXPECT_EQ(inf.get_group_string("e"), "");
    EXPECT_EQ(inf.get_group_string("G"), "");
}

TEST(FileInf, OutputForm)
{
    FileInf inf;
    std::string out = "stale";
    inf.get_string(out);
    EXPECT_EQ(out, "");

    inf.set_string("top=1\n[b]\nk=v w\nempty=\n[a]\nonlyEmpty=\n");
    inf.get_string(out);
    EXPECT_EQ(out,
              "[a]\r\n\r\n"
              "[b]\r\nk=v w\r\n\r\n"
              "[global]\r\ntop=1\r\n\r\n");
}

TEST(FileInf, OutputFormParsesBack)
{
    FileInf inf;
    inf.set_string("x=1\n[p]\nk= a=b \nz=  \n[q.r]\nc=; not a comment\n");
    std::string out;
    inf.get_string(out);
    FileInf again;
    again.set_string(out);
    EXPECT_EQ(entries(again), entries(inf));
    std::string out2;
    again.get_string(out2);
    EXPECT_EQ(out2, out);
}

TEST(FileInf, SaveWritesTheOutputForm)
{
    TempDir tmp;
    FileInf inf;
    inf.set_string("[g]\nk=v\n");
    const std::string path = tmp.dir + "/saved.inf";
    ASSERT_TRUE(inf.save(path));
    EXPECT_EQ(slurp(path), "[g]\r\nk=v\r\n\r\n");
    FileInf back;
    ASSERT_TRUE(back.load(path, 0));
    EXPECT_EQ(entries(back), entries(inf));
    EXPECT_FALSE(inf.save(tmp.dir + "/no/such/dir.inf"));
}

TEST(FileInf, SetStringKeepsEveryByte)
{
    FileInf inf;
    // Nothing is refused or removed: TAB, control bytes and a byte-order mark stay.
    inf.set_string(BOM + "a=1\r\nt\t=\x01x\n\n\rk=v\nb\n");
    EXPECT_EQ(entries(inf), (std::vector<std::string>{"global|k|v", "global|t\t|\x01x", "global|" + BOM + "a|1"}));
    inf.set_string(std::string("n=a\0b", 5));
    EXPECT_EQ(inf.get("n"), std::string("a\0b", 3));
}

TEST(FileInf, LoadLinesMatchesSplitFile)
{
    const std::string file = "a=1\r\n[g]\r\nk=x\r\n  y\r\n";
    TIVRA::Buffer bytes(file.begin(), file.end());
    std::list<std::string> lines;
    ASSERT_TRUE(bytes.get_string_list(lines, true));
    FileInf fromLines;
    fromLines.load(lines, ' ');
    TempDir tmp;
    FileInf fromFile;
    ASSERT_TRUE(fromFile.load(tmp.put("f.inf", file), ' '));
    EXPECT_EQ(entries(fromLines), entries(fromFile));
    EXPECT_EQ(entries(fromLines), (std::vector<std::string>{"g|k|xy", "global|a|1"}));
    EXPECT_EQ(fromLines.loadedPath, "");
}

TEST(FileInf, CopiesAreDeepAndSelectTheirOwnGroups)
{
    FileInf src;
    src.set_string("[p]\nk=1\n[p.q]\nk=2\n");
    src.set_current_group("p.q");
    src.loadedPath = "/somewhere";

    FileInf copy(src);
    EXPECT_EQ(entries(copy), entries(src));
    EXPECT_EQ(copy.currentGroup, "p.q");
    EXPECT_EQ(copy.entrySeq, src.entrySeq);
    EXPECT_EQ(copy.loadedPath, "");
    EXPECT_EQ(copy.groupMap, &copy.groups["p"]);
    EXPECT_EQ(copy.subGroupMap, &copy.groups["p.q"]);
    EXPECT_EQ(copy.get("k"), "2");

    FileInf assigned;
    assigned.loadedPath = "mine";
    assigned = src;
    EXPECT_EQ(assigned.currentGroup, "p.q");
    EXPECT_EQ(assigned.loadedPath, "mine");
    EXPECT_EQ(assigned.subGroupMap, &assigned.groups["p.q"]);

    FileInf viaCopy;
    viaCopy.copy(src);
    EXPECT_EQ(viaCopy.get("k"), "2");

    // Independent after the copy, and still valid once the source is gone.
    src.groups["p.q"]["k"].value = "changed";
    EXPECT_EQ(copy.get("k"), "2");
    {
        FileInf temp(src);
        assigned = temp;
    }
    EXPECT_EQ(assigned.get("k"), "changed");

    const FileInf& self = assigned;
    assigned = self;
    EXPECT_EQ(assigned.get("k"), "changed");
    EXPECT_EQ(assigned.subGroupMap, &assigned.groups["p.q"]);
}

TEST(FileInf, CopyDataKeepsOwnCurrentGroup)
{
    FileInf src;
    src.set_string("[a]\nk=A\n[b]\nk=B\n");
    src.set_current_group("a");
    FileInf dst;
    dst.set_current_group("b");
    dst.copy_data(src);
    EXPECT_EQ(dst.currentGroup, "b");
    EXPECT_EQ(dst.get("k"), "B");
    EXPECT_EQ(dst.entrySeq, 2);
}

TEST(FileInf, ClearData)
{
    FileInf inf;
    TempDir tmp;
    ASSERT_TRUE(inf.load(tmp.put("f.inf", "[p]\nk=v\n"), 0));
    inf.set_current_group("p");
    inf.clear_data();
    EXPECT_TRUE(inf.groups.empty());
    EXPECT_EQ(inf.groupMap, nullptr);
    EXPECT_EQ(inf.subGroupMap, nullptr);
    EXPECT_EQ(inf.entrySeq, 0);
    EXPECT_EQ(inf.currentGroup, "p");
    EXPECT_EQ(inf.loadedPath, tmp.dir + "/f.inf");
    EXPECT_EQ(inf.get("k"), "");
    inf.set_string("k=again\n");
    EXPECT_EQ(inf.groups["global"]["k"].seq, 1);
}

TEST(FileInf, Trimming)
{
    const std::pair<std::string, std::string> front[] = {
        {"", ""}, {"   ", "   "}, {"  a b  ", "a b  "}, {"\ta", "\ta"}, {"x", "x"}};
    const std::pair<std::string, std::string> back[] = {
        {"", ""}, {"   ", "   "}, {"  a b  ", "  a b"}, {"a\t", "a\t"}, {"x", "x"}};
    for (const auto& [in, out] : front) {
        std::string s = in;
        FileInf::delete_space_front(s);
        EXPECT_EQ(s, out) << "[" << in << "]";
    }
    for (const auto& [in, out] : back) {
        std::string s = in;
        FileInf::delete_space_back(s);
        EXPECT_EQ(s, out) << "[" << in << "]";
    }
}

TEST(FileInf, DummyStaysEmpty)
{
    FileInf inf;
    inf.set_string("a=1\n");
    EXPECT_TRUE(FileInf::dummy.empty());
}

}  // namespace
