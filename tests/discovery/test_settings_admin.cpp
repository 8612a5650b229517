// The target's and its sinks' setting lists against the target emulator on
// ::1: what the host reads of each kind of item, what it writes, and where a
// reading stops when the target misbehaves.
#include <gtest/gtest.h>

#include <cerrno>
#include <list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "discovery/Answers.h"
#include "discovery/Find.h"
#include "testbed/emulator/TargetEmulator.h"

using namespace QUORVIN;
using TIVRA::IPAddress;
using testbed::Behaviour;
using testbed::SettingItem;
using testbed::SettingWrite;

namespace {

using Info = Find::TargetSettingInfo;

Find::Setting hostSetting()
{
    Find::Setting s;
    s.acceptId = 0;
    return s;
}

SettingItem item(uint16_t kind, const std::string& name, uint16_t lower = 0, uint16_t upper = 0)
{
    SettingItem i;
    i.kind = kind;
    i.name = name;
    i.lower = lower;
    i.upper = upper;
    return i;
}

// The socket's last error shows whether a send was tried at all: the kernel
// would refuse an oversized datagram itself, so no datagram arriving is not
// enough to tell a refusal of ours from its.
class FindWithSocket : public Find {
public:
    using Find::Find;
    int lastSocketError() const { return socket.getLastError(); }
};

class SettingsAdmin : public ::testing::Test {
protected:
    void start(const testbed::SettingsConfig& settings)
    {
        testbed::TargetConfig config = testbed::TargetConfig::withSinks(1);
        config.discovery.port = 0;
        config.discovery.settings = settings;
        ASSERT_TRUE(target.start(config));
        to = *target.discoveryAddress();
        ASSERT_TRUE(find.open());
    }

    std::vector<testbed::Request> requests(MessageID id) const
    {
        std::vector<testbed::Request> out;
        for (const testbed::Request& r : target.discoveryRequests()) {
            if (r.message == id) {
                out.push_back(r);
            }
        }
        return out;
    }

    // The choice asks of one item, by the value they ask for.
    std::vector<uint16_t> choiceAsks(MessageID valueId, uint16_t number) const
    {
        std::vector<uint16_t> out;
        for (const testbed::Request& r : requests(valueId)) {
            if (r.option0 == number && r.option1 == 3) {
                out.push_back(r.option2);
            }
        }
        return out;
    }

    testbed::TargetEmulator target;
    FindWithSocket find{hostSetting()};
    IPAddress to;
};

// One of each kind; the same words on a kind 1 and a kind 2 item so that
// only the sign extension tells them apart.
testbed::SettingList everyKind()
{
    testbed::SettingList list;
    SettingItem u = item(1, "gain", 0xFFF6, 0x000A);
    u.value = 0xFFFF;
    u.index = 0xFFFE;
    SettingItem s = item(2, "trim", 0xFFF6, 0x000A);
    s.value = 0xFFFF;
    s.index = 0xFFFE;
    SettingItem onOff = item(3, "mute");
    onOff.value = 1;
    SettingItem text = item(4, "label");
    text.valueText = "Kitchen";
    SettingItem choice = item(5, "filter", 2, 4);
    choice.choices = {{2, "slow"}, {3, "fast"}, {4, "short"}};
    choice.value = 3;
    choice.valueText = "ignored";
    SettingItem picked = item(6, "input", 0, 2);
    picked.choices = {{0, "usb"}, {1, "optical"}, {2, "coax"}};
    picked.index = 1;
    SettingItem unknown = picked;
    unknown.name = "output";
    unknown.index = 5;
    SettingItem range = item(7, "delay", 0xFFF6, 30);
    range.value = 12;
    SettingItem other = item(9, "spare", 3, 8);
    other.value = 0x8001;
    list.items = {u, s, onOff, text, choice, picked, unknown, range, other};
    return list;
}

struct Expect {
    int type;
    std::string name;
    int32_t minValue, maxValue, currentValue, index;
    std::string valueText;
    std::vector<std::string> choices;
};

const std::vector<Expect> kEveryKind = {
    {2, "gain", 65526, 10, 65535, 65534, "", {}},
    {2, "trim", -10, 10, -1, -2, "", {}},
    {3, "mute", 0, 1, 1, 0, "", {"disable", "enable"}},
    {1, "label", 0, 0, 0, 0, "Kitchen", {}},
    {4, "filter", 2, 4, 3, 0, "", {"slow", "fast", "short"}},
    {5, "input", 0, 2, 0, 1, "optical", {"usb", "optical", "coax"}},
    {5, "output", 0, 2, 0, 5, "unknown", {"usb", "optical", "coax"}},
    {6, "delay", 65526, 30, 12, 0, "", {}},
    {0, "spare", 0, 0, 0x8001, 0, "", {}},
};

void expectList(const std::list<Info>& list, const std::vector<Expect>& expected)
{
    ASSERT_EQ(list.size(), expected.size());
    auto it = list.begin();
    for (const Expect& e : expected) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(it->type, e.type);
        EXPECT_EQ(it->name, e.name);
        EXPECT_EQ(it->minValue, e.minValue);
        EXPECT_EQ(it->maxValue, e.maxValue);
        EXPECT_EQ(it->currentValue, e.currentValue);
        EXPECT_EQ(it->index, e.index);
        EXPECT_EQ(it->valueText, e.valueText);
        EXPECT_EQ(it->choices, e.choices);
        ++it;
    }
}

TEST_F(SettingsAdmin, ReadsEveryKindOfBothLists)
{
    testbed::SettingsConfig settings;
    settings.target = everyKind();
    SettingItem sinkItem = item(2, "balance", 0xFF9C, 100);
    sinkItem.value = 0xFFF0;
    settings.sink.items = {sinkItem};
    start(settings);

    std::list<Info> list(3);
    ASSERT_TRUE(find.TargetSetting(to, list, false));
    expectList(list, kEveryKind);
    EXPECT_EQ(choiceAsks(TARGETSETTINGVALUE_REQ, 5), (std::vector<uint16_t>{2, 3, 4}));
    EXPECT_EQ(choiceAsks(TARGETSETTINGVALUE_REQ, 3), (std::vector<uint16_t>{0, 1}));
    EXPECT_TRUE(choiceAsks(TARGETSETTINGVALUE_REQ, 1).empty());
    for (const testbed::Request& r : requests(TARGETSETTINGVALUE_REQ)) {
        EXPECT_TRUE(r.option1 == 0 || r.option1 == 3) << "item " << r.option0 << " sub-command " << r.option1;
    }

    ASSERT_TRUE(find.SinkSetting(to, list, false));
    expectList(list, {{2, "balance", -100, 100, -16, 0, "", {}}});
    EXPECT_EQ(requests(SINKSETTING_REQ).size(), 2u);
}

TEST_F(SettingsAdmin, ZeroItemsIsOneExchangeAndAnEmptyList)
{
    start({});
    std::list<Info> list(2);
    ASSERT_TRUE(find.SinkSetting(to, list, false));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(target.discoveryRequests().size(), 1u);
}

TEST_F(SettingsAdmin, AlternateReadsSubCommandTwoExceptForChoiceWithText)
{
    testbed::SettingsConfig settings;
    SettingItem plain = item(1, "gain", 0, 10);
    plain.value = 4;
    plain.alternateValue = 7;
    SettingItem picked = item(6, "input", 0, 1);
    picked.value = 1;
    picked.alternateValue = 0;
    picked.valueText = "usb";
    settings.target.items = {plain, picked};
    start(settings);

    std::list<Info> list;
    ASSERT_TRUE(find.TargetSetting(to, list, true));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().currentValue, 7);
    EXPECT_EQ(list.back().currentValue, 1);
    std::vector<std::pair<uint16_t, uint16_t>> reads;
    for (const testbed::Request& r : requests(TARGETSETTINGVALUE_REQ)) {
        if (r.option1 != 3) {
            reads.emplace_back(r.option0, r.option1);
        }
    }
    EXPECT_EQ(reads, (std::vector<std::pair<uint16_t, uint16_t>>{{1, 2}, {2, 0}}));
}

struct Failure {
    const char* name;
    MessageID request;
    uint32_t nth;  // which request of that kind misbehaves
    Behaviour::Mode mode;
    size_t kept;  // items completed before it
};

class SettingsAdminFailure : public SettingsAdmin, public ::testing::WithParamInterface<Failure> {};

// Items 1 and 3 are plain, item 2 has three choices: the request numbers
// below land on item 3's item ask, its value read, and item 2's last choice.
TEST_P(SettingsAdminFailure, EndsTheReadingAndKeepsTheCompletedItems)
{
    const Failure& f = GetParam();
    testbed::SettingsConfig settings;
    settings.target.items = {item(1, "a", 0, 9), item(5, "b", 0, 2), item(1, "c", 0, 9), item(1, "d", 0, 9)};
    start(settings);
    Behaviour b;
    b.mode = f.mode;
    b.nth = f.nth;
    target.setDiscoveryBehaviour(f.request, b);

    std::list<Info> list;
    EXPECT_FALSE(find.TargetSetting(to, list, false));
    ASSERT_EQ(list.size(), f.kept);
    EXPECT_EQ(list.back().name, f.kept == 1 ? "a" : "b");
    // Nothing is asked after the failed exchange.
    EXPECT_EQ(target.discoveryRequests().back().message, f.request);
    EXPECT_EQ(requests(f.request).size(), f.nth);
}

INSTANTIATE_TEST_SUITE_P(
    SettingsAdmin, SettingsAdminFailure,
    ::testing::Values(Failure{"ItemUnanswered", TARGETSETTING_REQ, 4, Behaviour::SILENT, 2},
                      Failure{"ItemRefused", TARGETSETTING_REQ, 4, Behaviour::REFUSE, 2},
                      Failure{"ItemEchoed", TARGETSETTING_REQ, 4, Behaviour::ECHO, 2},
                      Failure{"ValueUnanswered", TARGETSETTINGVALUE_REQ, 6, Behaviour::SILENT, 2},
                      Failure{"ValueRefused", TARGETSETTINGVALUE_REQ, 6, Behaviour::REFUSE, 2},
                      Failure{"ChoiceUnanswered", TARGETSETTINGVALUE_REQ, 5, Behaviour::SILENT, 1},
                      Failure{"ChoiceRefused", TARGETSETTINGVALUE_REQ, 5, Behaviour::REFUSE, 1}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

TEST_F(SettingsAdmin, AnAnswerForAnotherItemEndsTheReading)
{
    testbed::SettingsConfig settings;
    SettingItem third = item(1, "c");
    third.answerNumber = 4;
    settings.target.items = {item(1, "a"), item(1, "b"), third, item(1, "d")};
    start(settings);
    std::list<Info> list;
    EXPECT_FALSE(find.TargetSetting(to, list, false));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.back().name, "b");
    EXPECT_EQ(requests(TARGETSETTINGVALUE_REQ).size(), 2u);
}

// A silent target is left at its first unanswered request: nothing more
// goes out, however many items it announced.
TEST_F(SettingsAdmin, ASilentTargetIsLeftAtOnce)
{
    testbed::SettingsConfig settings;
    settings.target.items = {item(1, "a")};
    settings.target.count = 65535;
    start(settings);
    Behaviour silent;
    silent.mode = Behaviour::SILENT;
    target.setDiscoveryBehaviour(TARGETSETTINGVALUE_REQ, silent);
    std::list<Info> list;
    EXPECT_FALSE(find.TargetSetting(to, list, false));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(target.discoveryRequests().size(), 3u);  // count, item 1, its value
}

// Choice bounds at the top of the 16-bit range end after the last value.
TEST_F(SettingsAdmin, ChoicesUpToTheLargestValueEnd)
{
    testbed::SettingsConfig settings;
    SettingItem top = item(5, "top", 0xFFFD, 0xFFFF);
    top.choices = {{0xFFFD, "x"}, {0xFFFE, "y"}, {0xFFFF, "z"}};
    SettingItem reversed = item(6, "none", 5, 2);
    settings.target.items = {top, reversed};
    start(settings);
    std::list<Info> list;
    ASSERT_TRUE(find.TargetSetting(to, list, false));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().choices, (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(choiceAsks(TARGETSETTINGVALUE_REQ, 1), (std::vector<uint16_t>{0xFFFD, 0xFFFE, 0xFFFF}));
    EXPECT_TRUE(list.back().choices.empty());
    EXPECT_EQ(list.back().valueText, "unknown");
}

TEST_F(SettingsAdmin, WritesAndFinalesOfBothLists)
{
    start({});
    EXPECT_TRUE(find.setTargetSetting(to, 3, "Den", 7));
    EXPECT_TRUE(find.setTargetSetting(to, 4, std::string("Hall")));
    EXPECT_TRUE(find.setTargetSetting(to, 5, static_cast<unsigned short>(65535)));
    EXPECT_TRUE(find.TargetSettingFinale(to, true));
    EXPECT_TRUE(find.setSinkSetting(to, 1, "x", 2));
    EXPECT_TRUE(find.setSinkSetting(to, 2, std::string("y")));
    EXPECT_TRUE(find.setSinkSetting(to, 6, static_cast<unsigned short>(9)));
    EXPECT_TRUE(find.SinkSettingFinale(to, false));
    const std::vector<SettingWrite> expected = {
        {false, false, false, 3, 7, "Den"}, {false, false, false, 4, 0, "Hall"}, {false, false, false, 5, 65535, ""},
        {false, true, true, 0, 0, ""},      {true, false, false, 1, 2, "x"},     {true, false, false, 2, 0, "y"},
        {true, false, false, 6, 9, ""},     {true, true, false, 0, 0, ""},
    };
    EXPECT_EQ(target.discoveryState().settingWrites, expected);
    // On the wire: sub-command 1 for writes and accept, 2 for discard, and
    // the value-only form carries no payload.
    const auto target3 = requests(TARGETSETTINGVALUE_REQ);
    ASSERT_EQ(target3.size(), 4u);
    EXPECT_EQ(target3[2].payload.size(), 0u);
    EXPECT_EQ(target3[2].datagram.size(), HEADER_SIZE);
    EXPECT_EQ(target3[3].option1, 1);
    const auto sink = requests(SINKSETTINGVALUE_REQ);
    ASSERT_EQ(sink.size(), 4u);
    EXPECT_EQ(sink[3].option1, 2);
    EXPECT_EQ(sink[3].datagram.size(), HEADER_SIZE);
}

TEST_F(SettingsAdmin, ARefusedWriteOrFinaleIsFalseAndChangesNothing)
{
    start({});
    Behaviour refuse;
    refuse.mode = Behaviour::REFUSE;
    target.setDiscoveryBehaviour(SINKSETTINGVALUE_REQ, refuse);
    Behaviour silent;
    silent.mode = Behaviour::SILENT;
    target.setDiscoveryBehaviour(TARGETSETTINGVALUE_REQ, silent);
    EXPECT_FALSE(find.setSinkSetting(to, 1, "x", 2));
    EXPECT_FALSE(find.SinkSettingFinale(to, true));
    EXPECT_FALSE(find.setTargetSetting(to, 1, static_cast<unsigned short>(2)));
    EXPECT_FALSE(find.TargetSettingFinale(to, false));
    EXPECT_TRUE(target.discoveryState().settingWrites.empty());
    EXPECT_EQ(target.discoveryRequests().size(), 4u);
}

// The longest text that fits a datagram goes out whole; one byte more is
// refused before anything is sent.
TEST_F(SettingsAdmin, ATextTooLongForADatagramIsNotSent)
{
    start({});
    const std::string longest(MAX_SETTING_TEXT, 'a');
    EXPECT_TRUE(find.setTargetSetting(to, 2, longest, 1));
    ASSERT_EQ(target.discoveryState().settingWrites.size(), 1u);
    EXPECT_EQ(target.discoveryState().settingWrites[0].text, longest);
    EXPECT_FALSE(find.setSinkSetting(to, 2, longest + "a", 1));
    EXPECT_FALSE(find.setTargetSetting(to, 2, std::string(MAX_PAYLOAD, 'b')));
    EXPECT_FALSE(find.setTargetSetting(to, 2, std::string(70000, 'c'), 1));
    EXPECT_NE(find.lastSocketError(), EMSGSIZE);
    EXPECT_EQ(target.discoveryRequests().size(), 1u);
}

// ---- what one read may hold

// A choice item of `choices` choices, each answered with a text of 1400 bytes.
SettingItem filled(const std::string& name, uint32_t choices)
{
    SettingItem i = item(5, name, 0, static_cast<uint16_t>(choices - 1));
    i.choiceFill = 1400;
    return i;
}

struct Cap {
    const char* name;
    std::vector<SettingItem> items;
    bool ok;
    size_t kept;                     // items
    std::optional<uint16_t> endsAt;  // the item the read ended at
};

void PrintTo(const Cap& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<SettingItem> filledItems(size_t n, uint32_t choices)
{
    std::vector<SettingItem> items;
    for (size_t i = 0; i < n; ++i) {
        items.push_back(filled("f" + std::to_string(i), choices));
    }
    return items;
}

class SettingsCap : public SettingsAdmin, public ::testing::WithParamInterface<Cap> {};

// A read holds at most 16 MiB of texts, over all its items: the target's
// texts beyond it are not asked for, and the items completed stay.
TEST_P(SettingsCap, RefusesAListBeyondSixteenMebibytes)
{
    const Cap& c = GetParam();
    testlog::start(6);
    testbed::SettingsConfig settings;
    settings.target.items = c.items;
    start(settings);
    std::list<Info> list;
    EXPECT_EQ(find.TargetSetting(to, list, false), c.ok);
    EXPECT_EQ(list.size(), c.kept);
    size_t held = 0;
    for (const Info& i : list) {
        held += i.name.size() + i.valueText.size();
        for (const std::string& t : i.choices) {
            EXPECT_EQ(t.size(), 1400u);
            held += t.size();
        }
    }
    EXPECT_LE(held, size_t{16} << 20);
    // What came in: no more texts than the cap holds and the one past it,
    // however many the target offers.
    size_t asks = 0;
    for (const testbed::Request& r : requests(TARGETSETTINGVALUE_REQ)) {
        asks += r.option1 == 3 ? 1 : 0;
    }
    EXPECT_LE(asks * 1400, (size_t{16} << 20) + 1400);
    const std::vector<std::string> lines = testlog::startingWith("Quorvin Find setting list too large");
    if (c.endsAt) {
        std::string address;
        to.get_str(address);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "Quorvin Find setting list too large, read ends at item " + std::to_string(*c.endsAt) + ": "
                                + address);
        // It stopped at the cap, not long before it.
        EXPECT_GE(asks * (1400 + 64), size_t{16} << 20);
    } else {
        EXPECT_TRUE(lines.empty());
    }
}

// Tens of thousands of exchanges each, run alone.
INSTANTIATE_TEST_SUITE_P(
    ExhaustiveSettingsAdmin, SettingsCap,
    ::testing::Values(
        // 65536 choices of 1400 bytes would be 88 MiB; the item is dropped.
        Cap{"OneItemOfEveryChoice", {item(4, "label"), filled("every", 65536)}, false, 1, 2},
        // 1.4 MB each: eleven items fit, the twelfth passes the cap.
        Cap{"ManyItemsTogether", filledItems(20, 1000), false, 11, 12},
        Cap{"TenItemsBelowTheCap", filledItems(10, 1000), true, 10, std::nullopt}),
    [](const ::testing::TestParamInfo<Cap>& info) { return std::string(info.param.name); });

}  // namespace
