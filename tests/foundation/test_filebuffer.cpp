#include "foundation/FileBuffer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using TIVRA::FileBuffer;

class FileBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "filebuffer.XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    std::string put(const std::string& name, const std::string& bytes) const
    {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }

    static std::string slurp(const std::string& p)
    {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static std::string text(const FileBuffer& b) { return std::string(b.begin(), b.end()); }

    static FileBuffer holding(const std::string& s)
    {
        FileBuffer b;
        b.write(s.data(), s.size());
        return b;
    }

    std::string dir;
};

TEST_F(FileBufferTest, LoadsWholeFileAsRawBytes)
{
    const std::string bytes("a\r\nb\0\xff\n", 7);
    FileBuffer b = holding("earlier content that is longer");
    ASSERT_TRUE(b.load(put("f", bytes)));
    EXPECT_EQ(text(b), bytes);
}

TEST_F(FileBufferTest, Ranges)
{
    const std::string p = put("f", "0123456789");
    struct Case {
        uint64_t count, offset;
        bool ok;
        std::string got;  // content afterwards; failures keep "keep"
    };
    const Case cases[] = {
        {0, 0, true, "0123456789"},
        {0, 7, true, "0123456789"},  // count 0: the whole file, offset ignored
        {3, 2, true, "234"},
        {4, 6, true, "6789"},    // ends exactly at the end
        {5, 6, false, "keep"},   // one byte past the end
        {1, 10, false, "keep"},  // offset at the end
        {1, 11, false, "keep"},  // offset beyond the end
        {10, 0, true, "0123456789"},
        {2, UINT64_MAX, false, "keep"},  // offset + count wraps around
        {UINT64_MAX, 1, false, "keep"},
    };
    for (const Case& c : cases) {
        FileBuffer b = holding("keep");
        EXPECT_EQ(b.load(p, c.count, c.offset), c.ok) << c.count << "@" << c.offset;
        EXPECT_EQ(text(b), c.got) << c.count << "@" << c.offset;
    }
}

TEST_F(FileBufferTest, EmptyFileLoadsEmptyWhateverTheRange)
{
    const std::string p = put("empty", "");
    for (uint64_t offset : {0ull, 5ull}) {
        FileBuffer b = holding("old");
        EXPECT_TRUE(b.load(p, 3, offset));
        EXPECT_TRUE(b.empty());
    }
    FileBuffer b = holding("old");
    EXPECT_TRUE(b.load(p));
    EXPECT_TRUE(b.empty());
}

TEST_F(FileBufferTest, RefusalsLeaveTheBufferAlone)
{
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    ::mkdir(path("sub").c_str(), 0700);
    const std::string refused[] = {path("missing"), path("sub"), path("fifo"), ""};
    for (const std::string& p : refused) {
        FileBuffer b = holding("keep");
        EXPECT_FALSE(b.load(p)) << p;
        EXPECT_EQ(text(b), "keep") << p;
    }
}

TEST_F(FileBufferTest, PipeWithDataIsRefused)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "a=1\n", 4), 4);
    FileBuffer b = holding("keep");
    EXPECT_FALSE(b.load("/proc/self/fd/" + std::to_string(fds[0])));
    EXPECT_EQ(text(b), "keep");
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST_F(FileBufferTest, ShortReadIsRefused)
{
    // Attribute files claim a page by their seek end and yield a few bytes.
    const std::string p = "/sys/devices/system/cpu/online";
    if (::access(p.c_str(), R_OK) != 0) {
        GTEST_SKIP() << "no " << p;
    }
    FileBuffer b = holding("keep");
    EXPECT_FALSE(b.load(p));
    EXPECT_EQ(text(b), "keep");
}

TEST_F(FileBufferTest, WriteAppends)
{
    FileBuffer b;
    b.write("ab", 2);
    b.write("c", 1);
    EXPECT_EQ(text(b), "abc");
    b.write(nullptr, 0);
    b.write("zzz", 0);
    EXPECT_EQ(text(b), "abc");
}

TEST_F(FileBufferTest, SaveCreatesOrTruncates)
{
    const std::string p = put("out", "a much longer earlier content");
    const std::string bytes("x\0\r\ny", 5);
    EXPECT_TRUE(holding(bytes).save(p));
    EXPECT_EQ(slurp(p), bytes);
    EXPECT_TRUE(FileBuffer().save(p));
    EXPECT_TRUE(std::filesystem::exists(p));
    EXPECT_EQ(std::filesystem::file_size(p), 0u);
    EXPECT_TRUE(holding("new").save(path("created")));
    EXPECT_EQ(slurp(path("created")), "new");
    EXPECT_FALSE(holding("x").save(path("no/such/dir/f")));
    EXPECT_FALSE(std::filesystem::exists(path("no")));
}

TEST_F(FileBufferTest, SaveThenLoadRoundTrip)
{
    std::string all;
    for (int i = 0; i < 3 * 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    ASSERT_TRUE(holding(all).save(path("rt")));
    FileBuffer b;
    ASSERT_TRUE(b.load(path("rt")));
    EXPECT_EQ(text(b), all);
}

TEST_F(FileBufferTest, RemoveReportsSuccess)
{
    const std::string p = put("gone", "x");
    EXPECT_TRUE(FileBuffer::remove(p));
    EXPECT_FALSE(std::filesystem::exists(p));
    EXPECT_FALSE(FileBuffer::remove(p));
    EXPECT_FALSE(FileBuffer::remove(path("never")));
}

}  // namespace
