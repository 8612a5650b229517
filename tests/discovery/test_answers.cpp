// The discovery answer readers and the announcement builder, on datagrams
// built byte by byte: which option each field comes from, texts taken by the
// payload length, and every unusable datagram refused with the outputs left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "discovery/Answers.h"

using namespace QUORVIN;
using TIVRA::IPAddress;

namespace {

// Distinct options, so a field read from the wrong one shows.
constexpr uint64_t OPTIONS = 0x4444333322221111ULL;

// One received datagram. By default it is valid: the length word fits the
// payload and the datagram ends at its total. Pad bytes and any trailing
// bytes are `fill`, which must never turn up in a text.
struct Datagram {
    MessageID message = 0;
    StatusID status = STATUS_OK;
    uint64_t option = OPTIONS;
    std::string payload;
    uint16_t tag = MESSAGE_TAG;
    std::optional<uint16_t> length;  // the length word
    std::optional<size_t> size;      // bytes received
    size_t trailing = 0;             // bytes received past the total
    uint8_t fill = 0xEE;

    Receive receive() const
    {
        const uint16_t lw = length.value_or(lengthWord(payload.size()));
        const size_t total = std::max<size_t>(lw & ~7U, HEADER_SIZE + payload.size());
        std::vector<uint8_t> b(total + trailing, fill);
        auto put = [&](size_t at, uint16_t v) {
            b[at] = static_cast<uint8_t>(v);
            b[at + 1] = static_cast<uint8_t>(v >> 8);
        };
        put(0, tag);
        put(2, lw);
        put(4, message);
        put(6, status);
        for (size_t i = 0; i < 4; ++i) {
            put(8 + 2 * i, static_cast<uint16_t>(option >> (16 * i)));
        }
        std::memcpy(b.data() + HEADER_SIZE, payload.data(), payload.size());
        b.resize(size.value_or(b.size()));
        Receive r;
        r.assign(b.begin(), b.end());
        return r;
    }
};

// A usable answer: STATUS_OK, the distinct options, the payload.
Datagram answer(MessageID message, std::string payload = {})
{
    Datagram d;
    d.message = message;
    d.payload = std::move(payload);
    return d;
}

struct Named {
    std::string what;
    Receive r;
};

// The usable answer `good` spoiled in one way at a time.
std::vector<Named> unusable(const Datagram& good)
{
    const size_t total = lengthWord(good.payload.size()) & ~7U;
    std::vector<Named> out;
    auto add = [&](std::string what, auto change) {
        Datagram d = good;
        change(d);
        out.push_back({std::move(what), d.receive()});
    };
    out.push_back({"empty", Receive()});
    add("15 bytes", [](Datagram& d) { d.size = 15; });
    add("one byte short of the total", [&](Datagram& d) { d.size = total - 1; });
    add("bad tag", [](Datagram& d) { d.tag = 101; });
    add("tag byte-swapped", [](Datagram& d) { d.tag = 0x6400; });
    add("length word 0", [](Datagram& d) {
        d.length = 0;
        d.size = 16;
        d.payload.clear();
    });
    add("length word below the header", [](Datagram& d) {
        d.length = 0x0008;
        d.size = 16;
        d.payload.clear();
    });
    add("length word past the datagram", [&](Datagram& d) {
        d.length = static_cast<uint16_t>(lengthWord(good.payload.size()) + 8);
        d.size = total;
    });
    add("pad count without payload", [](Datagram& d) {
        d.length = 0x0011;
        d.payload.clear();
    });
    add("refused", [](Datagram& d) { d.status = STATUS_PLAY | STATUS_INFO; });
    add("status 0", [](Datagram& d) { d.status = 0; });
    add("the request's identifier", [](Datagram& d) { d.message = static_cast<MessageID>(d.message - 1); });
    add("another answer", [](Datagram& d) { d.message = static_cast<MessageID>(d.message + 2); });
    add("identifier with a high byte", [](Datagram& d) { d.message = static_cast<MessageID>(d.message + 0x100); });
    return out;
}

IPAddress v6(const std::string& text, uint16_t port = 0, uint32_t scope = 0)
{
    IPAddress a;
    EXPECT_TRUE(a.set_V6_str(text)) << text;
    a.setPort(port);
    a.ifindex = scope;
    return a;
}

IPAddress pattern(uint8_t byte, uint16_t port, uint32_t scope)
{
    IPAddress a;
    std::memset(a.addr, byte, sizeof a.addr);
    a.setPort(port);
    a.ifindex = scope;
    return a;
}

std::vector<uint8_t> wire(const SendBuffer& m)
{
    const TIVRA::BufferCS_const v = static_cast<const Send&>(m);
    return std::vector<uint8_t>(v.viewData, v.viewData + v.viewSize);
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

// 16 address bytes, the sink number in network order, the name.
std::string peerPayload(uint16_t sinkNumber, const std::string& name)
{
    std::string p;
    for (int i = 0; i < 16; ++i) {
        p += static_cast<char>(0x20 + i);
    }
    p += static_cast<char>(sinkNumber >> 8);
    p += static_cast<char>(sinkNumber & 0xFF);
    return p + name;
}

}  // namespace

TEST(FindAnswer, ProductIdAndName)
{
    const Datagram good = answer(FIND_ANS, "Target Two");
    uint64_t productId = 0;
    std::string name;
    ASSERT_TRUE(parseFindAnswer(good.receive(), productId, name));
    EXPECT_EQ(productId, OPTIONS);
    EXPECT_EQ(name, "Target Two");

    for (const Named& c : unusable(good)) {
        SCOPED_TRACE(c.what);
        productId = 5;
        name = "kept";
        EXPECT_FALSE(parseFindAnswer(c.r, productId, name));
        EXPECT_EQ(productId, 5U);
        EXPECT_EQ(name, "kept");
    }
}

TEST(PortCounts, CountsKindAndBothBitmaps)
{
    std::string maps(2 * SINK_BITMAP_BYTES, '\0');
    for (size_t i = 0; i < SINK_BITMAP_BYTES; ++i) {
        maps[i] = static_cast<char>(i & 0x7F);
        maps[SINK_BITMAP_BYTES + i] = static_cast<char>(0x80 | (i * 3 & 0x7F));
    }
    const Datagram good = answer(PORT_ANS, maps);
    const Receive r = good.receive();

    uint16_t count0 = 0;
    uint16_t count1 = 0;
    uint16_t kind = 0;
    std::vector<unsigned char> b0(SINK_BITMAP_BYTES, 0xFF);
    std::vector<unsigned char> b1(SINK_BITMAP_BYTES, 0xFF);
    ASSERT_TRUE(parsePortCounts(r, count0, count1, kind, b0.data(), b1.data()));
    EXPECT_EQ(count0, 0x1111);
    EXPECT_EQ(count1, 0x2222);
    EXPECT_EQ(kind, 0x3333);
    EXPECT_EQ(std::string(b0.begin(), b0.end()), maps.substr(0, SINK_BITMAP_BYTES));
    EXPECT_EQ(std::string(b1.begin(), b1.end()), maps.substr(SINK_BITMAP_BYTES));

    // Either bitmap may be left out; the other still gets its own half.
    std::vector<unsigned char> only(SINK_BITMAP_BYTES, 0xFF);
    ASSERT_TRUE(parsePortCounts(r, count0, count1, kind, nullptr, only.data()));
    EXPECT_EQ(std::string(only.begin(), only.end()), maps.substr(SINK_BITMAP_BYTES));
    only.assign(SINK_BITMAP_BYTES, 0xFF);
    ASSERT_TRUE(parsePortCounts(r, count0, count1, kind, only.data(), nullptr));
    EXPECT_EQ(std::string(only.begin(), only.end()), maps.substr(0, SINK_BITMAP_BYTES));
    EXPECT_TRUE(parsePortCounts(r, count0, count1, kind, nullptr, nullptr));

    for (const Named& c : unusable(good)) {
        SCOPED_TRACE(c.what);
        count0 = 1;
        count1 = 2;
        kind = 3;
        b0.assign(SINK_BITMAP_BYTES, 0xFF);
        b1.assign(SINK_BITMAP_BYTES, 0xFF);
        EXPECT_FALSE(parsePortCounts(c.r, count0, count1, kind, b0.data(), b1.data()));
        EXPECT_EQ(count0, 1);
        EXPECT_EQ(count1, 2);
        EXPECT_EQ(kind, 3);
        EXPECT_EQ(b0, std::vector<unsigned char>(SINK_BITMAP_BYTES, 0xFF));
        EXPECT_EQ(b1, std::vector<unsigned char>(SINK_BITMAP_BYTES, 0xFF));
    }
}

// Only a payload of exactly two bitmaps is taken as bitmaps.
TEST(PortCounts, OtherPayloadSizesLeaveTheBitmaps)
{
    for (const size_t n : {size_t{0}, size_t{512}, size_t{1000}, size_t{1023}, size_t{1025}, size_t{1032}}) {
        SCOPED_TRACE(n);
        const Datagram d = answer(PORT_ANS, std::string(n, '\x5A'));
        uint16_t count0 = 0;
        uint16_t count1 = 0;
        uint16_t kind = 0;
        std::vector<unsigned char> b0(SINK_BITMAP_BYTES, 0xFF);
        std::vector<unsigned char> b1(SINK_BITMAP_BYTES, 0xFF);
        ASSERT_TRUE(parsePortCounts(d.receive(), count0, count1, kind, b0.data(), b1.data()));
        EXPECT_EQ(count0, 0x1111);
        EXPECT_EQ(count1, 0x2222);
        EXPECT_EQ(kind, 0x3333);
        EXPECT_EQ(b0, std::vector<unsigned char>(SINK_BITMAP_BYTES, 0xFF));
        EXPECT_EQ(b1, std::vector<unsigned char>(SINK_BITMAP_BYTES, 0xFF));
    }
}

TEST(SinkPort, PortVersionAndName)
{
    const Datagram good = answer(PORT_ANS, "Line Out 3");
    uint16_t port = 0;
    uint16_t version = 0;
    std::string name;
    ASSERT_TRUE(parseSinkPort(good.receive(), port, version, name));
    EXPECT_EQ(port, 0x3333);
    EXPECT_EQ(version, 0x4444);
    EXPECT_EQ(name, "Line Out 3");

    // Port 0 (no sink) is still read as such.
    Datagram none = answer(PORT_ANS);
    none.option = 0x0002000000010000ULL;
    ASSERT_TRUE(parseSinkPort(none.receive(), port, version, name));
    EXPECT_EQ(port, 0);
    EXPECT_EQ(version, 2);
    EXPECT_EQ(name, "");

    for (const Named& c : unusable(good)) {
        SCOPED_TRACE(c.what);
        port = 7;
        version = 8;
        name = "kept";
        EXPECT_FALSE(parseSinkPort(c.r, port, version, name));
        EXPECT_EQ(port, 7);
        EXPECT_EQ(version, 8);
        EXPECT_EQ(name, "kept");
    }
}

TEST(NodeInfo, OptionsInOrder)
{
    const Datagram good = answer(NODEINFO_ANS, "ignored");
    Find::SynchroNodeInfo info;
    ASSERT_TRUE(parseNodeInfo(good.receive(), info));
    EXPECT_EQ(info.option0, 0x1111);
    EXPECT_EQ(info.option1, 0x2222);
    EXPECT_EQ(info.option2, 0x3333);
    EXPECT_EQ(info.option3, 0x4444);

    for (const Named& c : unusable(good)) {
        SCOPED_TRACE(c.what);
        Find::SynchroNodeInfo kept{9, 8, 7, 6};
        EXPECT_FALSE(parseNodeInfo(c.r, kept));
        EXPECT_EQ(kept.option0, 9);
        EXPECT_EQ(kept.option1, 8);
        EXPECT_EQ(kept.option2, 7);
        EXPECT_EQ(kept.option3, 6);
    }
}

// Only the first placeholder becomes the target's address text; port and
// scope of the target do not appear.
TEST(Description, FirstPlaceholderBecomesTheTargetAddress)
{
    const IPAddress target = v6("fe80::1:2", 19642, 3);
    struct Case {
        std::string received, expected;
    };
    const std::vector<Case> cases = {
        {"out at [myaddress] port 5", "out at [fe80::1:2] port 5"},
        {"[myaddress][myaddress]", "[fe80::1:2][myaddress]"},
        {"a [myaddress] b [myaddress] c", "a [fe80::1:2] b [myaddress] c"},
        {"no placeholder", "no placeholder"},
        {"[myaddress", "[myaddress"},
        {"myaddress]", "myaddress]"},
        {"[MYADDRESS]", "[MYADDRESS]"},
        {"", ""},
        {std::string("x\0[myaddress]", 13), std::string("x\0[fe80::1:2]", 13)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.received);
        std::string description = "old";
        ASSERT_TRUE(parseDescription(answer(SINKOUT_ANS, c.received).receive(), target,
                                     description));
        EXPECT_EQ(description, c.expected);
    }

    std::string ipv4;
    ASSERT_TRUE(parseDescription(answer(SINKOUT_ANS, "[myaddress]").receive(),
                                 v6("::ffff:c000:201"), ipv4));
    EXPECT_EQ(ipv4, "[::ffff:c000:201]");

    const Datagram good = answer(SINKOUT_ANS, "at [myaddress]");
    for (const Named& c : unusable(good)) {
        SCOPED_TRACE(c.what);
        std::string description = "kept";
        EXPECT_FALSE(parseDescription(c.r, target, description));
        EXPECT_EQ(description, "kept");
    }
}

TEST(StatusCount, OptionZero)
{
    const Datagram good = answer(STATUS_ANS);
    uint16_t count = 0;
    ASSERT_TRUE(parseStatusCount(good.receive(), count));
    EXPECT_EQ(count, 0x1111);

    for (const Named& c : unusable(good)) {
        SCOPED_TRACE(c.what);
        count = 5;
        EXPECT_FALSE(parseStatusCount(c.r, count));
        EXPECT_EQ(count, 5);
    }
}

// Below 18 payload bytes the peer stays as it was and the name is empty;
// from 18 on the peer takes address and port bytes as they travel, never
// the scope, and the name is whatever follows.
TEST(StatusEntry, PeerAndNameByPayloadLength)
{
    struct Case {
        const char* what;
        std::string payload;
        bool peerSet;
        std::string name;
    };
    const std::string full = peerPayload(0x0102, "");
    const std::vector<Case> cases = {
        {"no payload", "", false, ""},
        {"17 bytes", full.substr(0, 17), false, ""},
        {"18 bytes", full, true, ""},
        {"one name byte", peerPayload(0x0102, "n"), true, "n"},
        {"name", peerPayload(0x0102, "Feeding Sink"), true, "Feeding Sink"},
        {"name with NUL bytes", peerPayload(0x0102, std::string("a\0b\0", 4)), true, std::string("a\0b\0", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint16_t state = 0;
        uint16_t port = 0;
        uint16_t version = 0;
        IPAddress peer = pattern(0xAA, 0xBBBB, 9);
        std::string name = "old";
        ASSERT_TRUE(parseStatusEntry(answer(STATUS_ANS, c.payload).receive(), state, port,
                                     version, peer, name));
        EXPECT_EQ(state, 0x2222);
        EXPECT_EQ(port, 0x3333);
        EXPECT_EQ(version, 0x4444);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(peer.ifindex, 9U);
        if (c.peerSet) {
            for (int i = 0; i < 16; ++i) {
                EXPECT_EQ(peer.addr[i], 0x20 + i) << i;
            }
            EXPECT_EQ(peer.getPort(), 0x0102);  // network order kept
        } else {
            EXPECT_EQ(peer, pattern(0xAA, 0xBBBB, 9));
        }
    }

    const Datagram good = answer(STATUS_ANS, peerPayload(4, "Peer"));
    for (const Named& c : unusable(good)) {
        SCOPED_TRACE(c.what);
        uint16_t state = 1;
        uint16_t port = 2;
        uint16_t version = 3;
        IPAddress peer = pattern(0xAA, 0xBBBB, 9);
        std::string name = "kept";
        EXPECT_FALSE(parseStatusEntry(c.r, state, port, version, peer, name));
        EXPECT_EQ(state, 1);
        EXPECT_EQ(port, 2);
        EXPECT_EQ(version, 3);
        EXPECT_EQ(peer, pattern(0xAA, 0xBBBB, 9));
        EXPECT_EQ(name, "kept");
    }
}

// Every text is exactly the payload as the length word counts it: NUL bytes
// inside stay, pad bytes and bytes received past the total never show.
TEST(AnswerTexts, TakenByPayloadLength)
{
    const IPAddress target = v6("fe80::9");
    struct Reader {
        const char* what;
        MessageID message;
        std::string prefix;
        std::string (*read)(const Receive&, const IPAddress&);
    };
    const std::vector<Reader> readers = {
        {"find", FIND_ANS, "",
         [](const Receive& r, const IPAddress&) {
             uint64_t id = 0;
             std::string t;
             EXPECT_TRUE(parseFindAnswer(r, id, t));
             return t;
         }},
        {"sink", PORT_ANS, "",
         [](const Receive& r, const IPAddress&) {
             uint16_t p = 0;
             uint16_t v = 0;
             std::string t;
             EXPECT_TRUE(parseSinkPort(r, p, v, t));
             return t;
         }},
        {"description", SINKOUT_ANS, "",
         [](const Receive& r, const IPAddress& a) {
             std::string t;
             EXPECT_TRUE(parseDescription(r, a, t));
             return t;
         }},
        {"status entry", STATUS_ANS, peerPayload(1, ""),
         [](const Receive& r, const IPAddress&) {
             uint16_t s = 0;
             uint16_t p = 0;
             uint16_t v = 0;
             IPAddress peer;
             std::string t;
             EXPECT_TRUE(parseStatusEntry(r, s, p, v, peer, t));
             return t;
         }},
    };
    const std::vector<std::string> texts = {
        "a",
        std::string("ab\0cd\0", 6),
        std::string("\0", 1),
        "seven77",
        "eight888",
        "nine99999",
        std::string(300, '\xEF'),
    };
    for (const Reader& reader : readers) {
        for (const std::string& text : texts) {
            for (const size_t trailing : {size_t{0}, size_t{13}}) {
                SCOPED_TRACE(std::string(reader.what) + ", " + std::to_string(text.size()) + " bytes, "
                             + std::to_string(trailing) + " trailing");
                Datagram d = answer(reader.message, reader.prefix + text);
                d.trailing = trailing;
                EXPECT_EQ(reader.read(d.receive(), target), text);
            }
        }
    }
}

TEST(NoticeRequest, BytesOnTheWire)
{
    SendBuffer m;
    const std::string name("bridge\0host 1", 13);
    ASSERT_TRUE(buildNoticeRequest(name, 0x8877665544332211ULL, m));
    const std::vector<uint8_t> b = wire(m);
    ASSERT_EQ(b.size(), 32U);  // 16 + 13, raised to a multiple of 8
    EXPECT_EQ(le16(b, 0), 100);
    EXPECT_EQ(le16(b, 2), 0x0023);  // total 32, 3 pad bytes
    EXPECT_EQ(le16(b, 4), 22);
    EXPECT_EQ(le16(b, 6), 1);
    EXPECT_EQ(le16(b, 8), 0x2211);
    EXPECT_EQ(le16(b, 10), 0x4433);
    EXPECT_EQ(le16(b, 12), 0x6655);
    EXPECT_EQ(le16(b, 14), 0x8877);
    EXPECT_EQ(std::string(b.begin() + 16, b.begin() + 29), name);
    for (size_t i = 29; i < 32; ++i) {
        EXPECT_EQ(b[i], 0) << i;
    }

    // A target reads back exactly the name.
    Receive r;
    r.assign(b.begin(), b.end());
    ASSERT_TRUE(static_cast<bool>(r));
    std::string back;
    r.get_str(back);
    EXPECT_EQ(back, name);

    // Built again in the same buffer with no name: header only.
    ASSERT_TRUE(buildNoticeRequest("", 7, m));
    const std::vector<uint8_t> e = wire(m);
    ASSERT_EQ(e.size(), 16U);
    EXPECT_EQ(le16(e, 2), 0x0010);
    EXPECT_EQ(le16(e, 8), 7);
    EXPECT_EQ(le16(e, 14), 0);
}

// The longest host name still goes, in one datagram; anything longer is
// refused with the request as it was, also the names whose length word
// would still fit but whose datagram (65528 bytes and more) would not.
TEST(NoticeRequest, OverlongNameIsRefused)
{
    std::string longest(MAX_HOST_NAME, 'h');
    longest.back() = 'z';
    SendBuffer m;
    ASSERT_TRUE(buildNoticeRequest(longest, 1, m));
    const std::vector<uint8_t> b = wire(m);
    ASSERT_EQ(b.size(), 65504U);  // 16 + 65486, raised to a multiple of 8
    EXPECT_EQ(le16(b, 2), 65504 | 2);
    EXPECT_EQ(le16(b, 4), NOTISNAME_REQ);
    EXPECT_EQ(b[16 + MAX_HOST_NAME - 1], 'z');

    SendBuffer prior;
    ASSERT_TRUE(buildNoticeRequest("prior", 0x55, prior));
    const std::vector<uint8_t> before = wire(prior);
    for (const size_t n : {size_t{65487}, size_t{65504}, size_t{65505}, size_t{65512}, size_t{65513}, size_t{70000}}) {
        EXPECT_FALSE(buildNoticeRequest(std::string(n, 'h'), 2, prior)) << n;
    }
    EXPECT_EQ(wire(prior), before);
    EXPECT_EQ(prior.getOption0(), 0x55);
    EXPECT_EQ(prior.size_data(), 5U);
}

TEST(EscapeText, ControlBytesDelAndBackslash)
{
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"plain text, 100% ~ok", "plain text, 100% ~ok"},
        {"", ""},
        {"\x01", "\\x01"},
        {std::string("\0", 1), "\\x00"},
        {"a\tb\nc\rd", "a\\x09b\\x0ac\\x0dd"},
        {"\x1f", "\\x1f"},
        {"\x7f", "\\x7f"},
        {"\\", "\\\\"},
        {"\\x01", "\\\\x01"},
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"\x80\xff", "\x80\xff"},
        {"\x1b[31m", "\\x1b[31m"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        EXPECT_EQ(escapeText(c.in), c.out);
    }
}

TEST(Loopback, OnlyTheV6LoopbackAddress)
{
    struct Case {
        IPAddress address;
        bool loopback;
    };
    const std::vector<Case> cases = {
        {v6("::1"), true},
        {v6("::1", 19642, 0), true},
        {v6("::1", 1, 7), true},
        {v6("::2"), false},
        {v6("ff02::1", 19642, 2), false},
        {v6("::"), false},
        {v6("1::"), false},
        {v6("1::1"), false},
        {v6("100::1"), false},
        {v6("::ffff:7f00:1"), false},
    };
    for (const Case& c : cases) {
        std::string text;
        c.address.get_full_str(text);
        SCOPED_TRACE(text);
        EXPECT_EQ(isLoopbackAddress(c.address), c.loopback);
    }
}
