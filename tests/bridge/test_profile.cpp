#include "bridge/AlsaProfile.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "SettingsFile.h"

namespace {

constexpr uint64_t US = TIVRA::Clock::US;

// A profile as its dump shows it: times in microseconds.
struct Shown {
    int32_t mode;
    uint64_t infoUs;
    uint64_t limitUs;
    const char* flex;  // "Fix", "Var" or "random"
    uint64_t cycleUs;
    uint64_t minUs;
};

Shown shown(const AlsaProfile& p)
{
    return {p.syncWorkerMode,
            p.syncInfoCycle.picoseconds / US,
            p.InfTargetProfileLimitTime.picoseconds / US,
            p.InfFlexRandom ? "random" : (p.InfFlexVar ? "Var" : "Fix"),
            p.InfCycleTime.picoseconds / US,
            p.InfCycleMinTime.picoseconds / US};
}

std::string text(const Shown& s)
{
    return "mode " + std::to_string(s.mode) + " info " + std::to_string(s.infoUs) + " limit "
           + std::to_string(s.limitUs) + " " + s.flex + " cycle " + std::to_string(s.cycleUs) + " min "
           + std::to_string(s.minUs);
}

struct LoadCase {
    const char* label;
    const char* file;
    const char* name;  // profile looked at; "" is the default profile
    Shown expected;
    size_t refusals;  // warnings of the whole load
};

const Shown DEFAULTS{1, 100000, 0, "Fix", 1000, 0};

const LoadCase LOAD_CASES[] = {
    {"global without profile keys", "[global]\nDebug=off\n", "", DEFAULTS, 0},
    {"no global group at all", "[T:a]\nVolume=3\n", "T:a", DEFAULTS, 0},
    {"CycleTime in global",
     "[global]\nCycleTime=2000\n[T:a]\nVolume=3\n[T:b]\nCycleTime=0\n",
     "",
     {1, 100000, 0, "Fix", 2000, 0},
     0},
    {"sink without CycleTime takes global's",
     "[global]\nCycleTime=2000\n[T:a]\nVolume=3\n[T:b]\nCycleTime=0\n",
     "T:a",
     {1, 100000, 0, "Fix", 2000, 0},
     0},
    {"CycleTime=0 takes global's",
     "[global]\nCycleTime=2000\n[T:a]\nVolume=3\n[T:b]\nCycleTime=0\n",
     "T:b",
     {1, 100000, 0, "Fix", 2000, 0},
     0},
    {"CycleMinTime=0 takes global's",
     "[global]\nCycleMinTime=300\n[T:a]\nCycleMinTime=0\n",
     "T:a",
     {1, 100000, 0, "Fix", 1000, 300},
     0},
    {"ThredMode=0 in a sink stands",
     "[global]\nThredMode=5\n[T:a]\nThredMode=0\n[T:b]\nThredMode=\n",
     "T:a",
     {0, 100000, 0, "Fix", 1000, 0},
     0},
    {"empty ThredMode takes global's",
     "[global]\nThredMode=5\n[T:a]\nThredMode=0\n[T:b]\nThredMode=\n",
     "T:b",
     {5, 100000, 0, "Fix", 1000, 0},
     0},
    {"FlexCycle=enable is Var", "[global]\nFlexCycle=enable\n", "", {1, 100000, 0, "Var", 1000, 0}, 0},
    {"FlexCycle=random",
     "[global]\nFlexCycle=enable\n[T:r]\nFlexCycle=random\n",
     "T:r",
     {1, 100000, 0, "random", 1000, 0},
     0},
    {"FlexCycle=Enable is Fix", "[global]\nFlexCycle=enable\n[T:E]\nFlexCycle=Enable\n", "T:E", DEFAULTS, 0},
    {"missing FlexCycle takes global's",
     "[global]\nFlexCycle=random\n[T:n]\nVolume=3\n",
     "T:n",
     {1, 100000, 0, "random", 1000, 0},
     0},
    {"InfoCycle=500", "[global]\nInfoCycle=500\n[T:x]\nInfoCycle=abc\n", "", {1, 500, 0, "Fix", 1000, 0}, 0},
    {"InfoCycle=abc is 0", "[global]\nInfoCycle=500\n[T:x]\nInfoCycle=abc\n", "T:x", {1, 0, 0, "Fix", 1000, 0}, 0},
    {"TargetProfileLimitTime", "[global]\nTargetProfileLimitTime=250\n[T:x]\nTargetProfileLimitTime=0\n", "T:x",
     DEFAULTS, 0},
    {"dotted group under its whole name",
     "[global]\nThredMode=3\n[Living]\nThredMode=9\n[Living.Room:Out 1]\nCycleTime=3000\n",
     "Living.Room:Out 1",
     {3, 100000, 0, "Fix", 3000, 0},
     0},
    {"group before global in name order still inherits",
     "[A:a]\nCycleMinTime=7\n[global]\nCycleTime=4000\nThredMode=2\n",
     "A:a",
     {2, 100000, 0, "Fix", 4000, 7},
     0},
    {"numbers cut to 32 bits",
     "[global]\nInfoCycle=4294967796\nThredMode=4294967297\nCycleTime=4294967296\n",
     "",
     {1, 500, 0, "Fix", 1000, 0},
     0},
    {"largest time",
     "[global]\nTargetProfileLimitTime=2147483647\nCycleTime=2147483647\n",
     "",
     {1, 100000, 2147483647, "Fix", 2147483647, 0},
     0},
    {"every defined mode bit", "[global]\nThredMode=4095\n", "", {4095, 100000, 0, "Fix", 1000, 0}, 0},
    // Refused values: the default profile's value stands.
    {"refused in global keep the defaults",
     "[global]\nThredMode=4096\nInfoCycle=-5\nTargetProfileLimitTime=-1\nCycleTime=-2\nCycleMinTime=-3\n", "", DEFAULTS,
     5},
    {"refused in a sink take global's",
     "[global]\nThredMode=7\nCycleTime=2000\nInfoCycle=40\nTargetProfileLimitTime=9\nCycleMinTime=8\n"
     "[T:a]\nThredMode=-1\nCycleTime=2147483648\nInfoCycle=-1\nTargetProfileLimitTime=-9\nCycleMinTime=-8\n",
     "T:a",
     {7, 40, 9, "Fix", 2000, 8},
     5},
    {"negative mode", "[global]\nThredMode=-2147483648\n", "", DEFAULTS, 1},
};

void PrintTo(const LoadCase& c, std::ostream* os)
{
    *os << c.label;
}

class ProfileLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(ProfileLoad, Fields)
{
    const LoadCase& c = GetParam();
    testlog::start(TIVRA::SYSLOG_WARNING);
    SettingsFile file(c.file);
    ASSERT_TRUE(file.loaded);
    AlsaProfileMap profiles;
    loadAlsaProfiles(file.inf, profiles);

    ASSERT_EQ(profiles.count(c.name), 1u);
    EXPECT_EQ(text(shown(profiles.at(c.name))), text(c.expected));
    std::vector<std::string> refused;
    for (const std::string& l : testlog::startingWith("Setting: ")) {
        if (l.find(" refused : ") != std::string::npos) {
            refused.push_back(l);
        }
    }
    EXPECT_EQ(refused.size(), c.refusals) << testing::PrintToString(refused);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileLoad, testing::ValuesIn(LOAD_CASES),
                         [](const testing::TestParamInfo<LoadCase>& info) { return "c" + std::to_string(info.index); });

TEST(ProfileLoad, RefusalNamesKeyValueAndProfile)
{
    testlog::start(TIVRA::SYSLOG_WARNING);
    SettingsFile file("[global]\nThredMode=65536\n[T:a]\nInfoCycle=-7\n");
    ASSERT_TRUE(file.loaded);
    AlsaProfileMap profiles;
    loadAlsaProfiles(file.inf, profiles);
    EXPECT_EQ(testlog::count("Setting: ThredMode refused : 65536 (globale)"), 1u);
    EXPECT_EQ(testlog::count("Setting: InfoCycle refused : -7 (T:a)"), 1u);
}

TEST(ProfileLoad, EveryGroupButGlobalUnderItsName)
{
    testlog::start(TIVRA::SYSLOG_NOTICE);
    SettingsFile file("[global]\n[Nobody:here]\nThredMode=2\n[A:b]\nVolume=3\n");
    ASSERT_TRUE(file.loaded);
    AlsaProfileMap profiles;
    loadAlsaProfiles(file.inf, profiles);
    std::vector<std::string> names;
    for (const auto& entry : profiles) {
        names.push_back(entry.first);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"", "A:b", "Nobody:here"}));
    EXPECT_EQ(testlog::startingWith("Load Setting : "),
              (std::vector<std::string>{"Load Setting : A:b", "Load Setting : Nobody:here"}));
}

TEST(ProfileCycle, SelectionOrder)
{
    struct Row {
        uint64_t limitPs;
        bool random;
        bool var;
        AlsaTransferCycle expected;
    };
    const Row rows[] = {
        {1, true, true, AlsaTransferCycle::Auto},   {250 * US, false, false, AlsaTransferCycle::Auto},
        {0, true, true, AlsaTransferCycle::Random}, {0, true, false, AlsaTransferCycle::Random},
        {0, false, true, AlsaTransferCycle::Var},   {0, false, false, AlsaTransferCycle::Fix},
    };
    for (const Row& r : rows) {
        AlsaProfile p;
        p.InfTargetProfileLimitTime = TIVRA::Clock(r.limitPs);
        p.InfFlexRandom = r.random;
        p.InfFlexVar = r.var;
        EXPECT_EQ(alsaTransferCycle(p), r.expected) << r.limitPs << " " << r.random << " " << r.var;
    }
}

TEST(ProfileCycle, FromFlexCycleText)
{
    SettingsFile file(
        "[global]\n[T:e]\nFlexCycle=enable\n[T:r]\nFlexCycle=random\n[T:E]\nFlexCycle=Enable\n"
        "[T:l]\nFlexCycle=random\nTargetProfileLimitTime=1\n");
    ASSERT_TRUE(file.loaded);
    AlsaProfileMap profiles;
    loadAlsaProfiles(file.inf, profiles);
    EXPECT_EQ(alsaTransferCycle(profiles.at("")), AlsaTransferCycle::Fix);
    EXPECT_EQ(alsaTransferCycle(profiles.at("T:e")), AlsaTransferCycle::Var);
    EXPECT_EQ(alsaTransferCycle(profiles.at("T:r")), AlsaTransferCycle::Random);
    EXPECT_EQ(alsaTransferCycle(profiles.at("T:E")), AlsaTransferCycle::Fix);
    EXPECT_EQ(alsaTransferCycle(profiles.at("T:l")), AlsaTransferCycle::Auto);
}

TEST(ProfileDump, LinesInOrder)
{
    testlog::start(TIVRA::SYSLOG_NOTICE);
    AlsaProfileMap profiles;
    profiles[""] = AlsaProfile();
    AlsaProfile& p = profiles["T:a"];
    p.syncWorkerMode = -3;
    p.syncInfoCycle = TIVRA::Clock(500 * US + 999'999);  // truncated to whole microseconds
    p.InfTargetProfileLimitTime = TIVRA::Clock(7 * US);
    p.InfFlexVar = true;
    p.InfFlexRandom = true;  // random wins in the dump
    p.InfCycleTime = TIVRA::Clock(2147483647 * US);
    p.InfCycleMinTime = TIVRA::Clock(250 * US);
    dumpAlsaProfiles(profiles);

    const std::vector<std::string> expected = {
        "Setting: Target Name : globale",
        "Setting: syncWorkerMode            : 1",
        "Setting: syncInfoCycle             : 100000",
        "Setting: InfTargetProfileLimitTime : 0",
        "Setting: InfFlexCycle              : Fix",
        "Setting: InfCycleTime              : 1000",
        "Setting: InfCycleMinTime           : 0",
        "Setting: Target Name : T:a",
        "Setting: syncWorkerMode            : -3",
        "Setting: syncInfoCycle             : 500",
        "Setting: InfTargetProfileLimitTime : 7",
        "Setting: InfFlexCycle              : random",
        "Setting: InfCycleTime              : 2147483647",
        "Setting: InfCycleMinTime           : 250",
    };
    EXPECT_EQ(testlog::startingWith("Setting: "), expected);
}

TEST(ProfileDump, VarAndNothingBelowNotice)
{
    testlog::start(TIVRA::SYSLOG_NOTICE);
    AlsaProfile p;
    p.InfFlexVar = true;
    p.dump();
    EXPECT_EQ(testlog::count("Setting: InfFlexCycle              : Var"), 1u);

    testlog::start(TIVRA::SYSLOG_WARNING);
    p.dump();
    EXPECT_TRUE(testlog::startingWith("").empty());
}

}  // namespace
