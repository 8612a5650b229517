// Arbitrary datagrams through every discovery and control answer reader. The
// expected outcome is worked out from the raw bytes here, apart from Receive:
// a reader takes exactly the valid, accepted answer it is for, gives only
// what that datagram's header and payload hold, and otherwise leaves its
// outputs alone. Every text it gives is then escaped for a log line.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/ControlAnswers.h"
#include "discovery/Answers.h"
#include "foundation/IPAddress.h"
#include "protocol/Message.h"

using namespace QUORVIN;

namespace {

void require(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

struct Raw {
    bool valid = false;
    uint16_t message = 0;
    uint16_t status = 0;
    uint16_t option[4] = {};
    uint64_t option64 = 0;
    std::string payload;

    bool accepted(MessageID id) const { return valid && message == id && (status & STATUS_OK) != 0; }
};

Raw decode(const uint8_t* data, size_t size)
{
    Raw raw;
    if (size < 16) {
        return raw;
    }
    auto word = [&](size_t at) { return static_cast<uint16_t>(data[at] | data[at + 1] << 8); };
    const size_t total = word(2) & ~7U;
    const size_t pad = word(2) & 7U;
    raw.valid = word(0) == 100 && total >= 16 && total - 16 >= pad && size >= total;
    raw.message = word(4);
    raw.status = word(6);
    for (size_t i = 0; i < 4; ++i) {
        raw.option[i] = word(8 + 2 * i);
        raw.option64 |= uint64_t{raw.option[i]} << (16 * i);
    }
    if (raw.valid) {
        raw.payload.assign(reinterpret_cast<const char*>(data) + 16, total - 16 - pad);
    }
    return raw;
}

// The escaped text holds no control byte and DEL, and reads back to the
// original: nothing is lost or made ambiguous.
void checkEscaped(const std::string& text)
{
    const std::string escaped = escapeText(text);
    std::string back;
    for (size_t i = 0; i < escaped.size(); ++i) {
        const auto u = static_cast<unsigned char>(escaped[i]);
        require(u >= 0x20 && u != 0x7F);
        if (escaped[i] != '\\') {
            back += escaped[i];
            continue;
        }
        require(i + 1 < escaped.size());
        if (escaped[i + 1] == '\\') {
            back += '\\';
            ++i;
            continue;
        }
        require(escaped[i + 1] == 'x' && i + 3 < escaped.size());
        const std::string hex = escaped.substr(i + 2, 2);
        require(hex.find_first_not_of("0123456789abcdef") == std::string::npos);
        const auto value = static_cast<unsigned char>(std::stoul(hex, nullptr, 16));
        require(value < 0x20 || value == 0x7F);
        back += static_cast<char>(value);
        i += 3;
    }
    require(back == text);
}

const std::string KEPT = "\x01kept\\";

TIVRA::IPAddress kept(uint8_t byte)
{
    TIVRA::IPAddress a;
    std::memset(a.addr, byte, sizeof a.addr);
    a.port = 0x5AA5;
    a.ifindex = 0x12345678;
    return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Receive r;
    r.assign(data, data + size);
    const Raw raw = decode(data, size);
    require(static_cast<bool>(r) == raw.valid);
    require(r.size_data() == raw.payload.size());
    const std::string& payload = raw.payload;

    {
        uint64_t productId = 0x0123456789ABCDEFULL;
        std::string name = KEPT;
        const bool ok = parseFindAnswer(r, productId, name);
        require(ok == raw.accepted(FIND_ANS));
        require(ok ? productId == raw.option64 : productId == 0x0123456789ABCDEFULL);
        require(ok ? name == payload : name == KEPT);
        require(!ok || name.size() <= r.size_data());
        checkEscaped(name);

        SendBuffer notice;
        const bool built = buildNoticeRequest(name, productId, notice);
        require(built == (name.size() <= MAX_HOST_NAME));
        if (built) {
            const TIVRA::BufferCS_const bytes = static_cast<const Send&>(notice);
            require(bytes.viewSize <= MAX_DATAGRAM);
            Receive sent;
            sent.assign(bytes.viewData, bytes.viewData + bytes.viewSize);
            std::string back;
            sent.get_str(back);
            require(sent && sent.getMessage() == NOTISNAME_REQ && sent.getStatus() == STATUS_OK);
            require(sent.getOption() == productId && back == name);
        }
    }
    {
        uint16_t count0 = 1;
        uint16_t count1 = 2;
        uint16_t kind = 3;
        unsigned char bitmap0[SINK_BITMAP_BYTES];
        unsigned char bitmap1[SINK_BITMAP_BYTES];
        std::memset(bitmap0, 0xFF, sizeof bitmap0);
        std::memset(bitmap1, 0xFF, sizeof bitmap1);
        const bool ok = parsePortCounts(r, count0, count1, kind, bitmap0, bitmap1);
        require(ok == raw.accepted(PORT_ANS));
        require(ok ? count0 == raw.option[0] && count1 == raw.option[1] && kind == raw.option[2]
                   : count0 == 1 && count1 == 2 && kind == 3);
        const bool maps = ok && payload.size() == 2 * SINK_BITMAP_BYTES;
        for (size_t i = 0; i < SINK_BITMAP_BYTES; ++i) {
            require(bitmap0[i] == (maps ? static_cast<unsigned char>(payload[i]) : 0xFF));
            require(bitmap1[i] == (maps ? static_cast<unsigned char>(payload[SINK_BITMAP_BYTES + i]) : 0xFF));
        }
        std::memset(bitmap1, 0xFF, sizeof bitmap1);
        require(parsePortCounts(r, count0, count1, kind, nullptr, bitmap1) == ok);
        require(parsePortCounts(r, count0, count1, kind, nullptr, nullptr) == ok);
        for (size_t i = 0; i < SINK_BITMAP_BYTES; ++i) {
            require(bitmap1[i] == (maps ? static_cast<unsigned char>(payload[SINK_BITMAP_BYTES + i]) : 0xFF));
        }
    }
    {
        uint16_t port = 4;
        uint16_t version = 5;
        std::string name = KEPT;
        const bool ok = parseSinkPort(r, port, version, name);
        require(ok == raw.accepted(PORT_ANS));
        require(ok ? port == raw.option[2] && version == raw.option[3] : port == 4 && version == 5);
        require(ok ? name == payload : name == KEPT);
        require(!ok || name.size() <= r.size_data());
        checkEscaped(name);
    }
    {
        Find::SynchroNodeInfo info{6, 7, 8, 9};
        const bool ok = parseNodeInfo(r, info);
        require(ok == raw.accepted(NODEINFO_ANS));
        if (ok) {
            require(info.option0 == raw.option[0] && info.option1 == raw.option[1] && info.option2 == raw.option[2]
                    && info.option3 == raw.option[3]);
        } else {
            require(info.option0 == 6 && info.option1 == 7 && info.option2 == 8 && info.option3 == 9);
        }
    }
    {
        TIVRA::IPAddress target;
        target.addr[0] = 0xfe;
        target.addr[1] = 0x80;
        target.addr[15] = size > 0 ? data[size - 1] : 1;
        target.port = 0x3412;
        target.ifindex = 4;
        std::string description = KEPT;
        const bool ok = parseDescription(r, target, description);
        require(ok == raw.accepted(SINKOUT_ANS));
        if (ok) {
            std::string expected = payload;
            const size_t at = payload.find("[myaddress]");
            if (at != std::string::npos) {
                std::string address;
                target.get_V6_str(address);
                expected = payload.substr(0, at) + "[" + address + "]" + payload.substr(at + 11);
            }
            require(description == expected);
        } else {
            require(description == KEPT);
        }
        checkEscaped(description);
    }
    {
        uint16_t count = 10;
        const bool ok = parseStatusCount(r, count);
        require(ok == raw.accepted(STATUS_ANS));
        require(count == (ok ? raw.option[0] : 10));
    }
    {
        uint16_t state = 11;
        uint16_t port = 12;
        uint16_t version = 13;
        TIVRA::IPAddress peer = kept(0xA5);
        std::string name = KEPT;
        const bool ok = parseStatusEntry(r, state, port, version, peer, name);
        require(ok == raw.accepted(STATUS_ANS));
        if (ok) {
            require(state == raw.option[1] && port == raw.option[2] && version == raw.option[3]);
            TIVRA::IPAddress expected = kept(0xA5);
            if (payload.size() >= 18) {
                std::memcpy(expected.addr, payload.data(), 16);
                std::memcpy(&expected.port, payload.data() + 16, 2);
            }
            require(peer == expected);
            require(name == (payload.size() > 18 ? payload.substr(18) : std::string()));
            require(name.size() <= r.size_data());
        } else {
            require(state == 11 && port == 12 && version == 13 && peer == kept(0xA5) && name == KEPT);
        }
        checkEscaped(name);
    }
    {
        uint16_t count = 14;
        const bool ok = parseItemCount(r, count);
        require(ok == raw.accepted(CONTROLLIST_ANS));
        require(count == (ok ? raw.option[0] : 14));

        uint16_t type = 15;
        require(parseItemType(r, type) == ok);
        require(type == (ok ? raw.option[1] : 15));
    }
    {
        // The item the datagram names, and one taken from its last bytes,
        // which mostly is another.
        const uint16_t fromTail = size >= 2 ? static_cast<uint16_t>(data[size - 2] | data[size - 1] << 8) : 0;
        for (const uint16_t item : {raw.option[0], fromTail}) {
            uint64_t value = 16;
            uint16_t status = 17;
            const bool ok = parseValueAnswer(r, item, value, status);
            require(ok == (raw.accepted(CONTROLVALUE_ANS) && raw.option[0] == item));
            require(value == (ok ? raw.option64 >> 16 : 16));
            require(status == (ok ? raw.status : 17));
        }
    }
    // ---- settings lists
    for (const MessageID base : {TARGETSETTING_REQ, SINKSETTING_REQ}) {
        const uint16_t fromTail = size >= 2 ? static_cast<uint16_t>(data[size - 2] | data[size - 1] << 8) : 0;
        for (const uint16_t number : {raw.option[0], fromTail}) {
            Find::TargetSettingInfo item;
            item.name = KEPT;
            uint16_t kind = 18;
            const bool ok = parseSettingItem(r, base, number, item, kind);
            require(ok == (raw.accepted(static_cast<MessageID>(base + 1)) && raw.option[0] == number));
            require(ok ? item.name == payload && kind == raw.option[1] : item.name == KEPT && kind == 18);
            require(item.type >= 0 && item.type <= 6);
            require(item.minValue >= -32768 && item.maxValue <= 65535);
            checkEscaped(item.name);

            for (const uint16_t k : {uint16_t{1}, uint16_t{2}, kind}) {
                Find::TargetSettingInfo value = item;
                const bool read = parseSettingValue(r, base, number, k, value);
                require(read == (raw.accepted(static_cast<MessageID>(base + 3)) && raw.option[0] == number));
                if (read) {
                    const int32_t expected =
                        k == 2 ? static_cast<int16_t>(raw.option[1]) : static_cast<int32_t>(raw.option[1]);
                    require(value.currentValue == expected);
                }
                std::string text = KEPT;
                const bool choice = parseSettingChoice(r, base, number, 3, value.index & 1, text);
                require(choice == read);
                require(choice ? !text.empty() : text == KEPT);
                checkEscaped(text);
                value.type = 5;
                value.valueText.clear();
                value.choices.assign(size % 4, "c");
                settingChoiceText(value);
                require(value.valueText == (value.index >= 0 && static_cast<size_t>(value.index) < size % 4 ? "c"
                                                                                                            : "unknown"));
            }
        }
    }
    {
        SendBuffer write;
        const bool ok = buildSettingWrite(TARGETSETTING_REQ, raw.option[0], payload, raw.option[2], write);
        require(ok == (payload.size() <= MAX_SETTING_TEXT));
        if (ok) {
            const TIVRA::BufferCS_const bytes = static_cast<const Send&>(write);
            require(bytes.viewSize <= 65527);
            Receive sent;
            sent.assign(bytes.viewData, bytes.viewData + bytes.viewSize);
            std::string back;
            sent.get_str(back);
            require(sent && sent.getMessage() == TARGETSETTINGVALUE_REQ && sent.getOption0() == raw.option[0]);
            require(sent.getOption1() == 1 && sent.getOption2() == raw.option[2] && back == payload);
        }
    }
    // ---- administration: information texts, firmware, reboot
    for (const MessageID id : {FWVERSION_ANS, FWURL_ANS, INFOMATION_ANS}) {
        std::string text = KEPT;
        const bool ok = parseFirmwareText(r, id, text);
        require(ok == (id != INFOMATION_ANS && raw.accepted(id)));
        require(ok ? text == payload : text == KEPT);
        checkEscaped(text);
    }
    {
        std::string text = KEPT;
        uint16_t parts = 18;
        const bool ok = parseInformationPart(r, text, parts);
        require(ok == raw.accepted(INFOMATION_ANS));
        require(ok ? text == payload && parts == raw.option[2] : text == KEPT && parts == 18);
        checkEscaped(text);

        TIVRA::Buffer bytes{1, 2, 3};
        require(parseInformationBytes(r, bytes) == ok);
        require(ok ? std::string(bytes.begin(), bytes.end()) == payload : bytes == TIVRA::Buffer{1, 2, 3});
    }
    {
        uint16_t value = 19;
        const bool ok = parseRebootAnswer(r, value);
        require(ok == raw.accepted(REBOOT_ANS));
        require(value == (ok ? raw.option[0] : 19));
    }
    // ---- icons
    for (const MessageID id : {ICON0_ANS, ICON1_ANS, ICON2_ANS}) {
        uint16_t width = 18;
        uint16_t height = 19;
        uint16_t format = 20;
        const bool ok = parseIconGeometry(r, id, width, height, format);
        require(ok == raw.accepted(id));
        require(ok ? width == raw.option[1] && height == raw.option[2] && format == raw.option[3]
                   : width == 18 && height == 19 && format == 20);
    }
    {
        // Room and start position from the datagram's first bytes, so that
        // both fits and overruns come up.
        const size_t room = size > 0 ? data[0] * 3U : 0;
        const size_t position = size > 1 ? data[1] % 64U : 0;
        for (const bool alphaOnly : {false, true}) {
            std::vector<Icon::Pixel> pixels(room);
            for (size_t i = 0; i < room; ++i) {
                pixels[i].byte[0] = static_cast<uint8_t>(i);
                pixels[i].byte[3] = 0xEE;
            }
            const std::vector<Icon::Pixel> before = pixels;
            size_t received = 21;
            const bool ok = parseIconPixels(r, ICON1_ANS, alphaOnly, pixels, position, received);
            const size_t each = alphaOnly ? 1 : 4;
            const size_t count = payload.size() / each;
            require(ok
                    == (raw.accepted(ICON1_ANS) && !payload.empty() && payload.size() % each == 0
                        && position + count <= room));
            require(pixels.size() == room);
            require(received == (ok ? count : 21));
            for (size_t i = 0; i < room; ++i) {
                if (!ok || i < position || i >= position + count) {
                    require(pixels[i] == before[i]);
                    continue;
                }
                for (size_t k = 0; k < 4; ++k) {
                    const auto b = static_cast<uint8_t>(payload[alphaOnly ? i - position : 4 * (i - position) + k]);
                    require(pixels[i].byte[k] == (alphaOnly ? (k == 3 ? b : 0) : b));
                }
            }
        }
    }
    // ---- data upload
    {
        uint16_t areas = 18;
        uint16_t limit = 19;
        const bool ok = parseTransferAreas(r, areas, limit);
        require(ok == raw.accepted(TRANSFER_ANS));
        require(ok ? areas == raw.option[0] && limit == raw.option[1] : areas == 18 && limit == 19);
    }
    {
        // The area the datagram names, and one taken from its last bytes.
        const uint16_t fromTail = size >= 2 ? static_cast<uint16_t>(data[size - 2] | data[size - 1] << 8) : 0;
        for (const uint16_t areaWord : {raw.option[0], fromTail}) {
            TransferGeometry geometry{20, 21, 22};
            const bool ok = parseTransferGeometry(r, areaWord, geometry);
            require(ok == (raw.accepted(TRANSFER_ANS) && raw.option[0] == areaWord));
            if (ok) {
                require(geometry.blockBytes == raw.option[1] + 1U && geometry.blocksPerGroup == raw.option[2] + 1U
                        && geometry.groupCount == raw.option[3] + 1U);
                require(geometry.blockBytes >= 1 && geometry.blockBytes <= 65536);
            } else {
                require(geometry.blockBytes == 20 && geometry.blocksPerGroup == 21 && geometry.groupCount == 22);
            }

            uint16_t counter = 23;
            const TransferAck ack = readTransferAck(r, areaWord, counter);
            const bool isAck = raw.valid && raw.message == TRANSFERDATA_ANS;
            if (!isAck) {
                require(ack == TransferAck::Other);
            } else if ((raw.status & STATUS_OK) == 0) {
                require(ack == TransferAck::Refused);
            } else if (raw.option[0] != areaWord) {
                require(ack == TransferAck::WrongArea);
            } else {
                require(ack == TransferAck::Counter);
            }
            require(counter == (ack == TransferAck::Counter ? raw.option[1] : 23));

            for (const uint16_t crc : {raw.option[1], fromTail}) {
                uint16_t result = 24;
                const bool done = parseTransferFinish(r, areaWord, crc, result);
                require(done == (raw.accepted(TRANSFERFINISH_ANS) && raw.option[0] == areaWord && raw.option[1] == crc));
                require(result == (done ? raw.option[2] : 24));
            }
        }
    }
    return 0;
}
