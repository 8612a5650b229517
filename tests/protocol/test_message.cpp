#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/Socket.h"
#include "protocol/Identifiers.h"
#include "protocol/Message.h"

using QUORVIN::Receive;
using QUORVIN::Send;
using QUORVIN::SendBuffer;
using TIVRA::BufferCS_const;

namespace {

std::vector<uint8_t> bytes(BufferCS_const v)
{
    return std::vector<uint8_t>(v.viewData, v.viewData + v.viewSize);
}

uint16_t le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

Receive datagram(std::vector<uint8_t> b)
{
    Receive r;
    r.assign(b.begin(), b.end());
    return r;
}

std::vector<uint8_t> header(uint16_t tag, uint16_t length, uint16_t msg = 0, uint16_t status = 0)
{
    std::vector<uint8_t> h(16, 0);
    h[0] = static_cast<uint8_t>(tag);
    h[1] = static_cast<uint8_t>(tag >> 8);
    h[2] = static_cast<uint8_t>(length);
    h[3] = static_cast<uint8_t>(length >> 8);
    h[4] = static_cast<uint8_t>(msg);
    h[5] = static_cast<uint8_t>(msg >> 8);
    h[6] = static_cast<uint8_t>(status);
    h[7] = static_cast<uint8_t>(status >> 8);
    return h;
}

}  // namespace

TEST(MessageHeader, LengthWords)
{
    struct Case {
        size_t payload;
        uint16_t word;
        size_t total;
    };
    for (const Case& c : std::vector<Case>{{0, 0x0010, 16},
                                           {5, 0x001B, 24},
                                           {8, 0x0018, 24},
                                           {18, 0x002E, 40},
                                           {1, 0x001F, 24},
                                           {65512, 0xFFF8, 65528}}) {
        EXPECT_EQ(QUORVIN::lengthWord(c.payload), c.word) << c.payload;
        SendBuffer m;
        m.resize(static_cast<unsigned short>(c.payload));
        m.update();
        const BufferCS_const v = m;
        ASSERT_EQ(v.viewSize, c.total);
        EXPECT_EQ(le16(v.viewData + 2), c.word);
        // The receiver reads back the payload length from the word.
        Receive r = datagram(bytes(v));
        ASSERT_TRUE(static_cast<bool>(r));
        EXPECT_EQ(r.size_data(), c.payload);
    }
}

TEST(MessageHeader, HeaderOnlyWireBytes)
{
    const Send s(QUORVIN::SUPPORT_REQ, QUORVIN::STATUS_OK, 0x0102030405060708UL);
    const std::vector<uint8_t> expect = {100, 0, 16, 0, 4, 0, 1, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(bytes(s), expect);
    EXPECT_EQ(s.dump(), "64 00 10 00 04 00 01 00 08 07 06 05 04 03 02 01");

    Send w(QUORVIN::LATENCY_REQ, 0, 1, 2, 3, 0xFFFF);
    EXPECT_EQ(w.getOption0(), 1);
    EXPECT_EQ(w.getOption3(), 0xFFFF);
    w.set(QUORVIN::LATENCY_ANS, 0);
    EXPECT_EQ(w.getOption1(), 0);
    EXPECT_EQ(w.getMessage(), QUORVIN::LATENCY_ANS);

    // A copy points at its own header.
    Send copy = s;
    copy.set(QUORVIN::FIND_REQ, 0);
    EXPECT_EQ(bytes(s)[4], 4);
    EXPECT_EQ(bytes(copy)[4], 0);
}

TEST(SendBuffer, StorageAndHeaderCopy)
{
    SendBuffer m;
    EXPECT_EQ(bytes(m), std::vector<uint8_t>(16, 0));  // header reaches storage only by update()
    m.update();
    EXPECT_EQ(le16(bytes(m).data()), 100);
    EXPECT_EQ(le16(bytes(m).data() + 2), 0x0010);

    // resize(5) clears the last 8 bytes: a payload written before is lost.
    SendBuffer p;
    p.resize(8);
    std::memset(p.get_data(), 0xAB, 8);
    p.resize(5);
    EXPECT_EQ(p.storageSize(), 24U);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(p.get_data()[i], 0) << i;
    }
    // resize(8) clears nothing.
    std::memset(p.get_data(), 0xCD, 8);
    p.resize(8);
    EXPECT_EQ(p.get_data()[7], 0xCD);

    // set_add_str with an empty text: an 18-byte address payload.
    SendBuffer a;
    TIVRA::IPAddress addr;
    addr.addr[0] = 0xfe;
    addr.addr[1] = 0x80;
    addr.addr[15] = 1;
    addr.setPort(19642);
    a.set_add_str(addr, "");
    EXPECT_EQ(a.getLengthWord(), 0x002E);
    EXPECT_EQ(a.storageSize(), 40U);
    EXPECT_EQ(a.get_data()[0], 0xfe);
    EXPECT_EQ(a.get_data()[16], 0x4C);
    EXPECT_EQ(a.get_data()[17], 0xBA);

    // Extra room: the whole-storage view is longer than the total.
    SendBuffer r;
    r.resize(6, 8);
    EXPECT_EQ(r.getLengthWord(), 0x001A);
    EXPECT_EQ(r.storageSize(), 24U);
    r.resize(8, 10);
    EXPECT_EQ(r.getLengthWord(), 0x0018);
    EXPECT_EQ(r.storageSize(), 32U);
    EXPECT_EQ(static_cast<BufferCS_const>(r).viewSize, 32U);
    EXPECT_EQ(static_cast<const Send&>(r).operator BufferCS_const().viewSize, 24U);
    // A room smaller than the payload still holds the whole total.
    r.resize(40, 2);
    EXPECT_EQ(r.storageSize(), 56U);
}

TEST(SendBuffer, ResizeClampsToTheLargestPayload)
{
    struct Case {
        unsigned count;
        bool withRoom;
    };
    for (const Case& c : std::vector<Case>{{65512, false}, {65513, false}, {65519, false}, {65535, false},
                                           {65513, true}, {65535, true}}) {
        SCOPED_TRACE(std::to_string(c.count) + (c.withRoom ? " with room" : ""));
        SendBuffer m;
        m.set(QUORVIN::TRANSFERDATA_REQ, 0);
        if (c.withRoom) {
            m.resize(static_cast<unsigned short>(c.count), 65535);
        } else {
            m.resize(static_cast<unsigned short>(c.count));
        }
        EXPECT_EQ(m.getLengthWord(), 0xFFF8);
        EXPECT_EQ(m.size_data(), 65512U);
        EXPECT_EQ(static_cast<const Send&>(m).operator BufferCS_const().viewSize, 65528U);
        EXPECT_EQ(m.storageSize(), c.withRoom ? 65552U : 65528U);
        m.fill(0x5A);
        m.update();
        Receive r = datagram(bytes(static_cast<const Send&>(m).operator BufferCS_const()));
        ASSERT_TRUE(static_cast<bool>(r));
        EXPECT_EQ(r.size_data(), 65512U);
        EXPECT_EQ(r.get_data()[65511], 0x5A);
    }
}

TEST(SendBuffer, StatusUpdateRefreshesStorage)
{
    SendBuffer m;
    m.set(QUORVIN::STREAM_REQ, 0x0021);
    m.resize(4);
    m.update();
    m.statusUpdate(0x0060, 0x0040);
    EXPECT_EQ(m.getStatus(), 0x0041);
    EXPECT_EQ(le16(bytes(m).data() + 6), 0x0041);
}

TEST(SendBuffer, ResizeNeverShrinksCapacity)
{
    SendBuffer m;
    m.reserve(1428);
    const size_t cap = m.storageCapacity();
    EXPECT_GE(cap, 1448U);
    const uint8_t* before = m.storageData();
    for (unsigned n : {1428U, 4U, 700U, 0U, 1428U}) {
        m.resize(static_cast<unsigned short>(n));
        EXPECT_EQ(m.storageCapacity(), cap);
        EXPECT_EQ(m.storageData(), before);
    }
}

TEST(SendBuffer, MoveExchangesStorage)
{
    SendBuffer a, b;
    a.set(QUORVIN::SYNCNAME_REQ, QUORVIN::STATUS_OK, 7UL);
    a.set_str("host name");
    a.update();
    const std::vector<uint8_t> wire = bytes(a);
    b.move(a);
    EXPECT_EQ(bytes(b), wire);
    EXPECT_EQ(b.size_data(), 9U);
    EXPECT_EQ(b.getOption0(), 7);
    a.set_str("x");  // fit for a new payload
    a.update();
    EXPECT_EQ(static_cast<BufferCS_const>(a).viewSize, 24U);
}

TEST(SendBuffer, HeaderlessForm)
{
    SendBuffer m;
    m.set(QUORVIN::STREAM_REQ, QUORVIN::STATUS_INFO, 0x1FF, 0, 0, 0);
    m.ms_resize(4);
    BufferCS_const v = m.ms_send(false);
    ASSERT_EQ(v.viewSize, 5U);
    EXPECT_EQ(v.viewData[4], 0x80 | 0x7F);
    v = m.ms_send(true);
    EXPECT_EQ(v.viewData[4], 0x7F);
}

TEST(Receive, Validity)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool valid;
        uint64_t payload;
    };
    auto withPayload = [](std::vector<uint8_t> h, size_t extra) {
        h.resize(h.size() + extra, 0);
        return h;
    };
    const std::vector<Case> cases = {
        {"empty", {}, false, 0},
        {"15 bytes",
         [] {
             auto h = header(100, 16);
             h.resize(15);
             return h;
         }(),
         false, 0},
        {"tag 99", header(99, 16), false, 0},
        {"header only", header(100, 16), true, 0},
        {"payload 5", withPayload(header(100, 0x1B), 8), true, 5},
        {"payload 5, cut to 20", withPayload(header(100, 0x1B), 4), false, 0},
        {"longer than total", withPayload(header(100, 0x10), 30), true, 0},
        {"total below 16", header(100, 0x08), false, 0},
        {"total 0", header(100, 0x00), false, 0},
        {"total 16 with pad 1", header(100, 0x11), false, 0},
        {"total 24 with pad 7", withPayload(header(100, 0x1F), 8), true, 1},
        {"total larger than datagram", withPayload(header(100, 0xFFF8), 100), false, 0},
    };
    for (const Case& c : cases) {
        const Receive r = datagram(c.bytes);
        EXPECT_EQ(static_cast<bool>(r), c.valid) << c.name;
        EXPECT_EQ(r.size_data(), c.payload) << c.name;
        EXPECT_LE(r.get_data_CS().viewSize + 16, std::max<size_t>(r.size(), 16)) << c.name;
        std::string text;
        r.get_str(text);
        EXPECT_EQ(text.size(), c.payload) << c.name;
    }
}

TEST(Receive, AddressPayload)
{
    SendBuffer m;
    TIVRA::IPAddress a;
    a.addr[0] = 0x20;
    a.addr[15] = 9;
    a.setPort(1234);
    m.set_add_str(a, "name");
    m.update();
    Receive r = datagram(bytes(m));
    TIVRA::IPAddress got;
    got.ifindex = 5;
    std::string text;
    r.get_add_str(got, text);
    EXPECT_EQ(text, "name");
    EXPECT_EQ(got.getPort(), 1234);
    EXPECT_EQ(got.ifindex, 5U);  // not carried
    EXPECT_EQ(got.addr[15], 9);

    // Exactly 18 bytes: address filled, text emptied; 17: address untouched.
    for (size_t n : {18U, 17U}) {
        SendBuffer s;
        s.resize(static_cast<unsigned short>(n));
        std::memset(s.get_data(), 0x11, n);
        s.update();
        Receive rr = datagram(bytes(s));
        TIVRA::IPAddress out;
        std::string t = "old";
        rr.get_add_str(out, t);
        EXPECT_TRUE(t.empty());
        EXPECT_EQ(out.addr[0], n == 18 ? 0x11 : 0x00);
    }
}

TEST(Message, RoundTripOverLoopback)
{
    TIVRA::Socket rx, tx;
    TIVRA::IPAddress rxAddr, txAddr;
    rxAddr.addr[15] = 1;
    txAddr.addr[15] = 1;
    ASSERT_TRUE(rx.open(TIVRA::Socket::UDP_V6) && rx.bindV6(rxAddr));
    ASSERT_TRUE(tx.open(TIVRA::Socket::UDP_V6) && tx.bindV6(txAddr));

    SendBuffer m;
    m.set(QUORVIN::SYNCNAME_REQ, QUORVIN::STATUS_OK, 0xFFFFFFFFFFFFFFFFUL);
    m.set_str("VUVO VAZA");
    m.update();
    ASSERT_TRUE(tx.sendToV6(static_cast<const Send&>(m), rxAddr, false));

    const Send plain(QUORVIN::DATASIZE_ANS, QUORVIN::STATUS_OK, 1500, 0xFFFF, 0, 0);
    ASSERT_TRUE(tx.sendToV6(plain, rxAddr, false));

    Receive r;
    TIVRA::IPAddress from;
    ASSERT_EQ(rx.wait(TIVRA::Clock(TIVRA::Clock::SEC)), TIVRA::Socket::WaitReady);
    ASSERT_TRUE(rx.receiveFromV6(r, from));
    ASSERT_TRUE(static_cast<bool>(r));
    EXPECT_EQ(r.size(), 32U);
    EXPECT_EQ(r.getMessage(), QUORVIN::SYNCNAME_REQ);
    EXPECT_EQ(r.getStatus(), QUORVIN::STATUS_OK);
    EXPECT_EQ(r.getOption(), 0xFFFFFFFFFFFFFFFFULL);
    std::string text;
    r.get_str(text);
    EXPECT_EQ(text, "VUVO VAZA");
    EXPECT_EQ(from.getPort(), txAddr.getPort());

    ASSERT_EQ(rx.wait(TIVRA::Clock(TIVRA::Clock::SEC)), TIVRA::Socket::WaitReady);
    ASSERT_TRUE(rx.receiveFromV6(r, from));
    ASSERT_TRUE(static_cast<bool>(r));
    EXPECT_EQ(r.getMessage(), QUORVIN::DATASIZE_ANS);
    EXPECT_EQ(r.getOption0(), 1500);
    EXPECT_EQ(r.getOption1(), 0xFFFF);
    EXPECT_EQ(r.size_data(), 0U);
    r.get_str(text);
    EXPECT_TRUE(text.empty());
}
