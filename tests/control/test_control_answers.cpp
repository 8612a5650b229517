// The control channel's answer readers and request builders, on datagrams
// built byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/ControlAnswers.h"

using namespace QUORVIN;

namespace {

std::vector<uint8_t> wire(TIVRA::BufferCS_const v)
{
    return std::vector<uint8_t>(v.viewData, v.viewData + v.viewSize);
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

// A header-only datagram (or a longer one with the given length word).
Receive datagram(uint16_t msg, uint16_t status, uint64_t option, uint16_t length = 16, size_t size = 16,
                 uint16_t tag = 100)
{
    std::vector<uint8_t> b(size, 0);
    auto put = [&](size_t at, uint16_t v) {
        if (at + 1 < b.size()) {
            b[at] = static_cast<uint8_t>(v);
            b[at + 1] = static_cast<uint8_t>(v >> 8);
        }
    };
    put(0, tag);
    put(2, length);
    put(4, msg);
    put(6, status);
    for (int i = 0; i < 4; ++i) {
        put(8 + 2 * static_cast<size_t>(i), static_cast<uint16_t>(option >> (16 * i)));
    }
    Receive r;
    r.assign(b.begin(), b.end());
    return r;
}

}  // namespace

TEST(ControlAnswers, CountAndTypeReadTheirOptions)
{
    uint16_t count = 7;
    ASSERT_TRUE(parseItemCount(datagram(CONTROLLIST_ANS, STATUS_OK, 0x0004000300020001ULL), count));
    EXPECT_EQ(count, 1);
    ASSERT_TRUE(parseItemCount(datagram(CONTROLLIST_ANS, STATUS_OK, 0xFFFF), count));
    EXPECT_EQ(count, 0xFFFF);
    uint16_t type = 9;
    ASSERT_TRUE(parseItemType(datagram(CONTROLLIST_ANS, STATUS_OK | STATUS_PLAY, 0x0004000300020001ULL), type));
    EXPECT_EQ(type, 2);
}

// Each reader refuses what is not its usable answer, and leaves its outputs.
TEST(ControlAnswers, UnusableDatagramsAreRefused)
{
    struct Case {
        const char* what;
        Receive r;
    };
    const std::vector<Case> cases = {
        {"empty", Receive()},
        {"short", datagram(CONTROLLIST_ANS, STATUS_OK, 1, 16, 15)},
        {"bad tag", datagram(CONTROLLIST_ANS, STATUS_OK, 1, 16, 16, 99)},
        {"length word past the datagram", datagram(CONTROLLIST_ANS, STATUS_OK, 1, 0x0018, 16)},
        {"length word below the header", datagram(CONTROLLIST_ANS, STATUS_OK, 1, 0x0008, 16)},
        {"pad count without payload", datagram(CONTROLLIST_ANS, STATUS_OK, 1, 0x0013, 16)},
        {"refused", datagram(CONTROLLIST_ANS, 0, 1)},
        {"refused, play bit only", datagram(CONTROLLIST_ANS, STATUS_PLAY, 1)},
        {"the request's identifier", datagram(CONTROLLIST_REQ, STATUS_OK, 1)},
        {"another answer", datagram(CONTROLVALUE_ANS, STATUS_OK, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint16_t count = 77;
        uint16_t type = 78;
        EXPECT_FALSE(parseItemCount(c.r, count));
        EXPECT_FALSE(parseItemType(c.r, type));
        EXPECT_EQ(count, 77);
        EXPECT_EQ(type, 78);
    }
    uint64_t value = 5;
    uint16_t status = 6;
    for (const Receive& r : {datagram(CONTROLVALUE_ANS, 0, 3), datagram(CONTROLLIST_ANS, STATUS_OK, 3),
                             datagram(CONTROLVALUE_REQ, STATUS_OK, 3), datagram(CONTROLVALUE_ANS, STATUS_OK, 3, 16, 12)}) {
        EXPECT_FALSE(parseValueAnswer(r, 3, value, status));
    }
    EXPECT_EQ(value, 5U);
    EXPECT_EQ(status, 6);
}

TEST(ControlAnswers, ValueAnswerChecksTheItemAndShiftsTheOption)
{
    uint64_t value = 0;
    uint16_t status = 0;
    const Receive r = datagram(CONTROLVALUE_ANS, STATUS_OK | STATUS_PLAY, 0xFFFFFFFFFDA80003ULL);
    ASSERT_TRUE(parseValueAnswer(r, 3, value, status));
    EXPECT_EQ(value, 0xFFFFFFFFFDA8ULL);  // at most 48 bits
    EXPECT_EQ(status, STATUS_OK | STATUS_PLAY);

    // Another item's answer, or the write bit still set, does not answer item 3.
    value = 1;
    status = 2;
    EXPECT_FALSE(parseValueAnswer(datagram(CONTROLVALUE_ANS, STATUS_OK, 0x10004), 3, value, status));
    EXPECT_FALSE(parseValueAnswer(datagram(CONTROLVALUE_ANS, STATUS_OK, 0x18003), 3, value, status));
    EXPECT_EQ(value, 1U);
    EXPECT_EQ(status, 2);

    // A payload behind the header does not matter.
    const Receive withData = datagram(CONTROLVALUE_ANS, STATUS_OK, 0x123450001ULL, 0x001B, 24);
    ASSERT_TRUE(parseValueAnswer(withData, 1, value, status));
    EXPECT_EQ(value, 0x12345U);
}

TEST(ControlRequests, HeaderOnlyFormsByteForByte)
{
    struct Case {
        const char* what;
        Send request;
        uint16_t msg, o0, o1, o2, o3;
    };
    const std::vector<Case> cases = {
        {"count", buildListRequest(0), CONTROLLIST_REQ, 0, 0, 0, 0},
        {"item", buildListRequest(65535), CONTROLLIST_REQ, 65535, 0, 0, 0},
        {"read", buildReadRequest(4), CONTROLVALUE_REQ, 4, 0, 0, 0},
        {"write -600", buildWriteRequest(2, static_cast<uint64_t>(int64_t{-600})), CONTROLVALUE_REQ, 0x8002, 0xFDA8,
         0xFFFF, 0xFFFF},
        {"write 0", buildWriteRequest(2, 0), CONTROLVALUE_REQ, 0x8002, 0, 0, 0},
        {"write 600", buildWriteRequest(1, 600), CONTROLVALUE_REQ, 0x8001, 600, 0, 0},
        {"write 48 bits, the rest dropped", buildWriteRequest(7, 0xABCD123456789ULL), CONTROLVALUE_REQ, 0x8007,
         0x6789, 0x2345, 0xBCD1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> b = wire(c.request);
        ASSERT_EQ(b.size(), 16U);
        EXPECT_EQ(le16(b, 0), 100);
        EXPECT_EQ(le16(b, 2), 0x0010);
        EXPECT_EQ(le16(b, 4), c.msg);
        EXPECT_EQ(le16(b, 6), 0);
        EXPECT_EQ(le16(b, 8), c.o0);
        EXPECT_EQ(le16(b, 10), c.o1);
        EXPECT_EQ(le16(b, 12), c.o2);
        EXPECT_EQ(le16(b, 14), c.o3);
    }
}

TEST(ControlRequests, NameRequestCarriesNameAndId)
{
    SendBuffer m;
    ASSERT_TRUE(buildNameRequest("Alsa Host Control", 0x1122334455667788ULL, m));
    const std::vector<uint8_t> b = wire(static_cast<const Send&>(m));
    ASSERT_EQ(b.size(), 40U);  // 16 + 17, raised to 40
    EXPECT_EQ(le16(b, 0), 100);
    EXPECT_EQ(le16(b, 2), 0x002F);  // total 40, 7 pad bytes
    EXPECT_EQ(le16(b, 4), CONTROLNAME_REQ);
    EXPECT_EQ(le16(b, 6), STATUS_OK);
    EXPECT_EQ(le16(b, 8), 0x7788);
    EXPECT_EQ(le16(b, 14), 0x1122);
    EXPECT_EQ(std::string(b.begin() + 16, b.begin() + 33), "Alsa Host Control");
    for (size_t i = 33; i < 40; ++i) {
        EXPECT_EQ(b[i], 0) << i;
    }

    SendBuffer empty;
    ASSERT_TRUE(buildNameRequest("", ~uint64_t{0}, empty));
    const std::vector<uint8_t> e = wire(static_cast<const Send&>(empty));
    ASSERT_EQ(e.size(), 16U);
    EXPECT_EQ(le16(e, 2), 0x0010);
    EXPECT_EQ(le16(e, 8), 0xFFFF);
}

// The longest host name still goes, in one datagram; anything longer is
// refused with the request untouched, also the names whose length word
// would still fit but whose datagram (65528 bytes and more) would not.
TEST(ControlRequests, OverlongNameIsRefused)
{
    SendBuffer m;
    ASSERT_TRUE(buildNameRequest(std::string(MAX_HOST_NAME, 'a'), 1, m));
    EXPECT_EQ(m.getLengthWord() & ~7U, 65504U);
    EXPECT_EQ(wire(static_cast<const Send&>(m)).size(), 65504U);

    SendBuffer refused;
    for (const size_t n : {size_t{65487}, size_t{65504}, size_t{65505}, size_t{65512}, size_t{65513}, size_t{70000}}) {
        EXPECT_FALSE(buildNameRequest(std::string(n, 'a'), 1, refused)) << n;
    }
    EXPECT_EQ(refused.getMessage(), 0);
    EXPECT_EQ(static_cast<const Send&>(refused).operator TIVRA::BufferCS_const().viewSize, 16U);
}
