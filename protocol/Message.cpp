#include "protocol/Message.h"

#include <bit>
#include <cstring>

namespace QUORVIN {

static_assert(std::endian::native == std::endian::little, "the header is copied as little-endian words");

namespace {

void splitOption(MessageHeader& h, unsigned long option)
{
    h.option0 = static_cast<uint16_t>(option);
    h.option1 = static_cast<uint16_t>(option >> 16);
    h.option2 = static_cast<uint16_t>(option >> 32);
    h.option3 = static_cast<uint16_t>(option >> 48);
}

}  // namespace

// ---- Send

Send::Send() : view(reinterpret_cast<const uint8_t*>(&header)), view_size(HEADER_SIZE) {}

Send::Send(MessageID message, StatusID status, unsigned short o0, unsigned short o1, unsigned short o2,
           unsigned short o3)
    : Send()
{
    set(message, status, o0, o1, o2, o3);
}

Send::Send(MessageID message, StatusID status, unsigned long option) : Send()
{
    set(message, status, option);
}

Send::Send(MessageID message, StatusID status) : Send()
{
    set(message, status);
}

// The view points into the object itself, so a copy points at its own header.
Send::Send(const Send& other) : header(other.header), view(reinterpret_cast<const uint8_t*>(&header)), view_size(16) {}

Send& Send::operator=(const Send& other)
{
    header = other.header;
    view = reinterpret_cast<const uint8_t*>(&header);
    view_size = HEADER_SIZE;
    return *this;
}

void Send::_clear()
{
    header.tag = MESSAGE_TAG;
    header.length = 16;
}

void Send::set(MessageID message, StatusID status, unsigned short o0, unsigned short o1, unsigned short o2,
               unsigned short o3)
{
    header.message = message;
    header.status = status;
    header.option0 = o0;
    header.option1 = o1;
    header.option2 = o2;
    header.option3 = o3;
}

void Send::set(MessageID message, StatusID status, unsigned long option)
{
    header.message = message;
    header.status = status;
    splitOption(header, option);
}

void Send::set(MessageID message, StatusID status)
{
    set(message, status, 0, 0, 0, 0);
}

void Send::statusUpdate(StatusID clear, StatusID set)
{
    header.status = static_cast<StatusID>((header.status & ~clear) | set);
    update();
}

std::string Send::dump() const
{
    return TIVRA::BufferCS_const{view, view_size}.dump();
}

// ---- SendBuffer

SendBuffer::SendBuffer() : storage(HEADER_SIZE, 0), data_size(0)
{
    view = storage.data();
    view_size = HEADER_SIZE;
}

SendBuffer::SendBuffer(const SendBuffer& other) : Send(other), storage(other.storage), data_size(other.data_size)
{
    view = storage.data();
    view_size = other.view_size;
}

SendBuffer& SendBuffer::operator=(const SendBuffer& other)
{
    if (this != &other) {
        header = other.header;
        storage = other.storage;
        data_size = other.data_size;
        view = storage.data();
        view_size = other.view_size;
    }
    return *this;
}

void SendBuffer::update()
{
    std::memcpy(storage.data(), &header, HEADER_SIZE);
}

void SendBuffer::sizeFor(unsigned short requested, size_t storageBytes)
{
    // Past the largest payload the length word would wrap to a total below
    // the header.
    const unsigned short count = requested > MAX_PAYLOAD ? static_cast<unsigned short>(MAX_PAYLOAD) : requested;
    const uint16_t word = lengthWord(count);
    const size_t total = word & ~7U;
    header.length = word;
    // Never smaller than the length word's total, so the view stays inside.
    storage.resize(storageBytes < total ? total : storageBytes);
    view = storage.data();
    view_size = total;
    data_size = count;
    if (count % 8 != 0) {
        std::memset(storage.data() + total - 8, 0, 8);
    }
}

void SendBuffer::resize(unsigned short count)
{
    sizeFor(count, 0);  // storage of exactly the total
}

void SendBuffer::resize(unsigned short count, unsigned short room)
{
    sizeFor(count, (static_cast<size_t>(room) + 23) & ~size_t{7});
}

void SendBuffer::reserve(unsigned short count)
{
    storage.reserve((static_cast<size_t>(count) + 23) & ~size_t{7});
    view = storage.data();
}

void SendBuffer::resizeStorage(size_t bytes)
{
    storage.resize(bytes < view_size ? view_size : bytes);
    view = storage.data();
}

void SendBuffer::set_str(const std::string& text)
{
    const size_t n = text.size() > MAX_PAYLOAD ? MAX_PAYLOAD : text.size();
    resize(static_cast<unsigned short>(n));
    if (n != 0) {
        std::memcpy(get_data(), text.data(), n);
    }
}

void SendBuffer::set_add_str(const TIVRA::IPAddress& address, const std::string& text)
{
    const size_t n = text.size() > MAX_PAYLOAD - 18 ? MAX_PAYLOAD - 18 : text.size();
    resize(static_cast<unsigned short>(18 + n));
    uint8_t* p = get_data();
    std::memcpy(p, address.addr, 16);
    std::memcpy(p + 16, &address.port, 2);
    if (n != 0) {
        std::memcpy(p + 18, text.data(), n);
    }
}

void SendBuffer::fill(unsigned char value)
{
    if (data_size != 0) {
        std::memset(get_data(), value, data_size);
    }
}

void SendBuffer::move(SendBuffer& other)
{
    header = other.header;
    view_size = other.view_size;
    data_size = other.data_size;
    storage.swap(other.storage);
    view = storage.data();
}

void SendBuffer::ms_resize(unsigned short count)
{
    storage.resize(static_cast<size_t>(count) + 17);
    view = storage.data();
    view_size = static_cast<uint16_t>(count + 16);
    data_size = count;
}

TIVRA::BufferCS_const SendBuffer::ms_send(bool noInfo)
{
    uint8_t last = header.option0 & 0x7F;
    if (!noInfo && (header.status & STATUS_INFO) != 0) {
        last |= 0x80;
    }
    storage.back() = last;
    return {storage.data() + HEADER_SIZE, storage.size() - HEADER_SIZE};
}

// ---- Receive

uint16_t Receive::word(size_t offset) const
{
    if (size() < offset + 2) {
        return 0;
    }
    return static_cast<uint16_t>(data()[offset] | (data()[offset + 1] << 8));
}

Receive::operator bool() const
{
    if (size() < HEADER_SIZE || word(0) != MESSAGE_TAG) {
        return false;
    }
    const uint16_t lw = word(2);
    const size_t total = lw & ~7U;
    const size_t pad = lw & 7U;
    // A total below the header, or a pad count that does not fit behind the
    // header, would put the payload outside the datagram.
    if (total < HEADER_SIZE || pad > total - HEADER_SIZE) {
        return false;
    }
    return static_cast<uint16_t>(size()) >= total && size() >= total;
}

uint64_t Receive::getOption() const
{
    return uint64_t{word(8)} | (uint64_t{word(10)} << 16) | (uint64_t{word(12)} << 32) | (uint64_t{word(14)} << 48);
}

const uint8_t* Receive::get_data() const
{
    return size() >= HEADER_SIZE ? data() + HEADER_SIZE : nullptr;
}

uint64_t Receive::size_data() const
{
    if (!*this) {
        return 0;
    }
    return static_cast<uint16_t>((word(2) ^ 7) - 23);
}

void Receive::get_str(std::string& text) const
{
    const uint64_t n = size_data();
    if (n == 0) {
        text.clear();
        return;
    }
    text.assign(reinterpret_cast<const char*>(get_data()), n);
}

void Receive::get_add_str(TIVRA::IPAddress& address, std::string& text) const
{
    const uint64_t n = size_data();
    if (n > 18) {
        text.assign(reinterpret_cast<const char*>(get_data()) + 18, n - 18);
    } else {
        text.clear();
    }
    if (n >= 18) {
        std::memcpy(address.addr, get_data(), 16);
        std::memcpy(&address.port, get_data() + 16, 2);
    }
}

}  // namespace QUORVIN
