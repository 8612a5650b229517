// The bridge name's cut at start-up: to the limit, never inside a UTF-8
// character.
#include <gtest/gtest.h>

#include <string>

#include "bridge/BridgeName.h"

namespace {

TEST(BridgeName, CutToTheLimitBeforeAnyCharacterItWouldSplit)
{
    struct Case {
        const char* what;
        std::string name;
        size_t limit;
        std::string kept;
        bool cut;
    };
    const std::string e = "\xC3\xA9";             // two bytes
    const std::string euro = "\xE2\x82\xAC";      // three
    const std::string clef = "\xF0\x9D\x84\x9E";  // four
    const Case cases[] = {
        {"shorter", "Room", 5, "Room", false},
        {"at the limit", "Rooms", 5, "Rooms", false},
        {"empty", "", 0, "", false},
        {"ascii over", "Roomsx", 5, "Rooms", true},
        {"character ends at the limit", "Roo" + e + "x", 5, "Roo" + e, true},
        {"two-byte character split", "Room" + e, 5, "Room", true},
        {"three-byte character split after its first", "Room" + euro, 5, "Room", true},
        {"three-byte character split after its second", "Roo" + euro, 5, "Roo", true},
        {"four-byte character split after its third", "Ro" + clef, 5, "Ro", true},
        {"four-byte character split after its first", "Room" + clef, 5, "Room", true},
        {"only characters", euro + euro, 4, euro, true},
        {"a character longer than the limit", clef, 2, "", true},
        // Not UTF-8: more continuation bytes than a character has.
        {"continuation run", "R\x80\x80\x80\x80\x80", 4, "R\x80\x80\x80", true},
        {"continuation bytes only", "\x80\x80\x80", 2, "\x80\x80", true},
    };
    for (const Case& c : cases) {
        std::string name = c.name;
        EXPECT_EQ(cutBridgeName(name, c.limit), c.cut) << c.what;
        EXPECT_EQ(name, c.kept) << c.what;
    }
}

}  // namespace
