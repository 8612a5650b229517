// The 16-byte message header every datagram to and from a target starts
// with (little-endian), and the three message classes built on it.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Buffer.h"
#include "foundation/IPAddress.h"
#include "protocol/Identifiers.h"

namespace QUORVIN {

struct MessageHeader {
    uint16_t tag = 100;
    uint16_t length = 16;  // bits 3-15 total bytes (multiple of 8), bits 0-2 pad count
    uint16_t message = 0;
    uint16_t status = 0;
    uint16_t option0 = 0;
    uint16_t option1 = 0;
    uint16_t option2 = 0;
    uint16_t option3 = 0;
};
static_assert(sizeof(MessageHeader) == 16);

constexpr uint16_t MESSAGE_TAG = 100;
constexpr size_t HEADER_SIZE = 16;
constexpr size_t MAX_PAYLOAD = 65512;
// One UDP datagram over IPv6 carries at most 65527 bytes, so a message's
// total (a multiple of 8) at most 65520 and its payload 65504; the larger
// payloads that the length word can still describe fit no datagram.
constexpr size_t MAX_DATAGRAM = 65527;
constexpr size_t MAX_DATAGRAM_PAYLOAD = (MAX_DATAGRAM & ~size_t{7}) - HEADER_SIZE;
// The address payload's 16 address bytes and 2 port bytes before its text.
constexpr size_t ADDRESS_PAYLOAD = 18;
// The longest host name: every name request carries it as its payload, and
// a target's status answer names it behind the feeding peer's address.
constexpr size_t MAX_HOST_NAME = MAX_DATAGRAM_PAYLOAD - ADDRESS_PAYLOAD;

// Length word for a payload of n bytes: total raised to a multiple of 8,
// with the pad count in the low three bits.
constexpr uint16_t lengthWord(size_t n)
{
    return static_cast<uint16_t>(((n + 23) & ~size_t{7}) | ((0 - n) & 7));
}

// An outgoing message that is only the header.
class Send {
public:
    Send();
    Send(MessageID message, StatusID status, unsigned short o0, unsigned short o1, unsigned short o2,
         unsigned short o3);
    Send(MessageID message, StatusID status, unsigned long option);
    Send(MessageID message, StatusID status);
    Send(const Send& other);
    Send& operator=(const Send& other);
    virtual ~Send() = default;

    virtual void update() {}

    void _clear();
    void set(MessageID message, StatusID status, unsigned short o0, unsigned short o1, unsigned short o2,
             unsigned short o3);
    void set(MessageID message, StatusID status, unsigned long option);
    void set(MessageID message, StatusID status);
    // status = (status & ~clear) | set, then update().
    void statusUpdate(StatusID clear, StatusID set);

    MessageID getMessage() const { return header.message; }
    StatusID getStatus() const { return header.status; }
    uint16_t getOption0() const { return header.option0; }
    uint16_t getOption1() const { return header.option1; }
    uint16_t getOption2() const { return header.option2; }
    uint16_t getOption3() const { return header.option3; }
    uint16_t getLengthWord() const { return header.length; }

    // The bytes that go on the wire.
    operator TIVRA::BufferCS_const() const { return {view, view_size}; }
    std::string dump() const;

protected:
    MessageHeader header;
    const uint8_t* view;
    uint64_t view_size;
};

// An outgoing message with payload storage. The header fields live in the
// object; update() copies them into the front of the storage.
class SendBuffer : public Send {
public:
    SendBuffer();
    SendBuffer(const SendBuffer& other);
    SendBuffer& operator=(const SendBuffer& other);

    void update() override;

    // Storage only ever grows, so packets are rebuilt in place.
    void resize(unsigned short count);
    void resize(unsigned short count, unsigned short room);
    void reserve(unsigned short count);
    void set_str(const std::string& text);
    void set_add_str(const TIVRA::IPAddress& address, const std::string& text);
    void fill(unsigned char value);

    uint8_t* get_data() { return storage.data() + HEADER_SIZE; }
    const uint8_t* get_data() const { return storage.data() + HEADER_SIZE; }
    uint64_t size_data() const { return data_size; }
    size_t storageSize() const { return storage.size(); }
    size_t storageCapacity() const { return storage.capacity(); }
    const uint8_t* storageData() const { return storage.data(); }
    // Sizes the storage without touching header or payload (a resend adds
    // room behind the payload).
    void resizeStorage(size_t bytes);

    // The whole storage, extra room included (the stream packet form).
    operator TIVRA::BufferCS_const() const { return {storage.data(), storage.size()}; }

    // Takes the other's header and sizes and exchanges the storages; the
    // other is fit only for a new resize afterwards.
    void move(SendBuffer& other);

    // Headerless packet form.
    void ms_resize(unsigned short count);
    TIVRA::BufferCS_const ms_send(bool noInfo);

protected:
    void sizeFor(unsigned short count, size_t storageBytes);

    TIVRA::Buffer storage;
    uint64_t data_size;
};

// One received datagram, header first. Every accessor stays inside the
// datagram whatever its bytes are; test validity before trusting fields.
class Receive : public TIVRA::Buffer {
public:
    using TIVRA::Buffer::Buffer;
    using TIVRA::Buffer::operator=;

    explicit operator bool() const;

    MessageID getMessage() const { return word(4); }
    StatusID getStatus() const { return word(6); }
    uint16_t getOption0() const { return word(8); }
    uint16_t getOption1() const { return word(10); }
    uint16_t getOption2() const { return word(12); }
    uint16_t getOption3() const { return word(14); }
    uint64_t getOption() const;
    uint16_t getLengthWord() const { return word(2); }

    const uint8_t* get_data() const;
    // 0 for a datagram that is not valid.
    uint64_t size_data() const;
    TIVRA::BufferCS_const get_data_CS() const { return {get_data(), size_data()}; }
    void get_str(std::string& text) const;
    void get_add_str(TIVRA::IPAddress& address, std::string& text) const;

private:
    uint16_t word(size_t offset) const;
};

}  // namespace QUORVIN
