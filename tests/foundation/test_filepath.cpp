#include "foundation/FilePath.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using TIVRA::FilePath;

TEST(FilePath, IsDirectoryLooksAtTheTextOnly)
{
    EXPECT_TRUE(FilePath("").isDirectory());
    EXPECT_TRUE(FilePath("/").isDirectory());
    EXPECT_TRUE(FilePath("no/such/").isDirectory());
    EXPECT_FALSE(FilePath("a").isDirectory());
    EXPECT_FALSE(FilePath("/tmp").isDirectory());
}

struct EditCase {
    std::string before;
    bool ok;
    std::string after;
};

TEST(FilePath, RemoveFilename)
{
    const EditCase cases[] = {
        {"", false, ""},         {"a", false, "a"},          {"a/", false, "a/"},  {"/", false, "/"},
        {"a/b/c", true, "a/b/"}, {"dir/file", true, "dir/"}, {"/file", true, "/"}, {"a//b", true, "a//"},
        {"./x", true, "./"},     {"../..", true, "../"},
    };
    for (const EditCase& c : cases) {
        FilePath p(c.before);
        EXPECT_EQ(p.removeFilename(), c.ok) << c.before;
        EXPECT_EQ(p, c.after) << c.before;
    }
}

TEST(FilePath, PopupDirectory)
{
    const EditCase cases[] = {
        {"", false, ""},      {"a", false, "a"},      {"/a/b", false, "/a/b"}, {"a/", false, "a/"},
        {"/", false, "/"},    {"/a/b/", true, "/a/"}, {"/a/", true, "/"},      {"//", true, "/"},
        {"x/y/", true, "x/"}, {"a/../", true, "a/"},
    };
    for (const EditCase& c : cases) {
        FilePath p(c.before);
        EXPECT_EQ(p.popupDirectory(), c.ok) << c.before;
        EXPECT_EQ(p, c.after) << c.before;
    }
}

TEST(FilePath, SeparateKeepsUpToTheLastSlash)
{
    const std::pair<std::string, std::string> cases[] = {
        {"x/y", "x/"}, {"xy", ""}, {"x/", "x/"}, {"", ""}, {"/", "/"}, {"/a/b/c", "/a/b/"},
    };
    for (const auto& [range, part] : cases) {
        EXPECT_EQ(FilePath::separate(range.cbegin(), range.cend()), part) << range;
    }
    // A range inside a longer text looks at that range only.
    const std::string t = "ab/cd/ef";
    EXPECT_EQ(FilePath::separate(t.cbegin(), t.cbegin() + 5), "ab/");
    EXPECT_EQ(FilePath::separate(t.cbegin() + 3, t.cend()), "cd/");
}

TEST(FilePath, SetDirectoryAndSetFilePath)
{
    FilePath p;
    p.setDirectory("d");
    EXPECT_EQ(p, "d/");
    p.setDirectory("d/");
    EXPECT_EQ(p, "d/");
    p.setDirectory("");
    EXPECT_EQ(p, "./");
    p.setFilePath("x/../y");
    EXPECT_EQ(p, "x/../y");
    p += "z";  // the path is its text
    EXPECT_EQ(p, "x/../yz");
}

TEST(FilePath, OwnPathIsTheExecutable)
{
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(FilePath::getMyPath(), exe);
    FilePath p("old");
    p.setMySelfPath();
    EXPECT_EQ(p, exe);
    // How the daemon finds its settings file beside itself.
    ASSERT_TRUE(p.removeFilename());
    p += "setting.inf";
    EXPECT_EQ(p, std::filesystem::path(exe).parent_path().string() + "/setting.inf");
}

class FilePathFs : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "filepath.XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root = std::filesystem::canonical(tmpl).string();
        // root/conf (file), root/a/conf/ (directory of the same name),
        // root/a/b/ (start), links to a file, a directory and nowhere.
        std::filesystem::create_directories(root + "/a/b");
        std::filesystem::create_directories(root + "/a/conf");
        std::ofstream(root + "/conf") << "x";
        std::ofstream(root + "/a/b/only-here") << "x";
        std::filesystem::create_symlink(root + "/conf", root + "/filelink");
        std::filesystem::create_directory_symlink(root + "/a", root + "/dirlink");
        std::filesystem::create_symlink(root + "/nowhere", root + "/dangling");
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::string root;
};

TEST_F(FilePathFs, AutoPathSearchesUpwardAndSkipsTheWrongKind)
{
    FilePath p(root + "/a/b/");
    // a/b/conf is missing, a/conf is a directory (wrong kind), root/conf is the file.
    EXPECT_TRUE(p.AutoPath("conf"));
    EXPECT_EQ(p, root + "/conf");

    FilePath d(root + "/a/b/");
    EXPECT_TRUE(d.AutoPath("conf/"));
    EXPECT_EQ(d, root + "/a/conf/");

    FilePath here(root + "/a/b/");
    EXPECT_TRUE(here.AutoPath("only-here"));
    EXPECT_EQ(here, root + "/a/b/only-here");

    FilePath none(root + "/a/b/");
    EXPECT_FALSE(none.AutoPath("no-such-name-anywhere.inf"));
    EXPECT_EQ(none, root + "/a/b/");

    // Not a directory path: refused without a look at the file system.
    FilePath file(root + "/conf");
    EXPECT_FALSE(file.AutoPath("conf"));
    EXPECT_EQ(file, root + "/conf");
}

TEST_F(FilePathFs, AutoPathRelativeStopsAtItsFirstComponent)
{
    char old[PATH_MAX];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(root.c_str()), 0);
    // Candidates are a/b/conf and a/conf only: ./conf is never tried.
    FilePath rel("a/b/");
    const bool relFound = rel.AutoPath("conf");
    // An empty path tries the name in the working directory.
    FilePath empty;
    const bool emptyFound = empty.AutoPath("conf");
    FilePath nothing;
    const bool nothingFound = nothing.AutoPath("");
    ASSERT_EQ(::chdir(old), 0);

    EXPECT_FALSE(relFound);
    EXPECT_EQ(rel, "a/b/");
    EXPECT_TRUE(emptyFound);
    EXPECT_EQ(empty, "conf");
    EXPECT_FALSE(nothingFound);
    EXPECT_EQ(nothing, "");
}

TEST_F(FilePathFs, IsValidChecks)
{
    struct Case {
        std::string path;
        bool member;  // isValid(): directory path wants a directory, else a non-directory
        bool asFile;  // isValid(path, false)
        bool asDir;   // isValid(path, true)
        bool exists;  // isValid(path)
    };
    const std::string r = root;
    const Case cases[] = {
        {"", false, false, false, false},
        {r + "/conf", true, true, false, true},
        {r + "/conf/", false, false, false, true},  // 'file/' exists, but is no directory
        {r + "/a", false, false, true, true},
        {r + "/a/", true, false, true, true},
        {"/", true, false, true, true},
        {r + "/filelink", true, true, false, true},  // links are followed
        {r + "/dirlink/", true, false, true, true},
        {r + "/dangling", false, false, false, false},
        {r + "/missing", false, false, false, false},
        {r + "/missing/", false, false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FilePath(c.path).isValid(), c.member) << c.path;
        EXPECT_EQ(FilePath::isValid(c.path, false), c.asFile) << c.path;
        EXPECT_EQ(FilePath::isValid(c.path, true), c.asDir) << c.path;
        EXPECT_EQ(FilePath::isValid(c.path), c.exists) << c.path;
    }
}

}  // namespace
