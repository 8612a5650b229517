// Byte containers shared by every layer: an owning vector and two
// non-owning views. Views are two words and are passed by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace TIVRA {

struct BufferCS_const {
    const uint8_t* viewData = nullptr;
    size_t viewSize = 0;

    // Text of [first, end): cut at the first NUL when the range ends in NUL.
    static std::string get_string(const uint8_t* first, const uint8_t* end);
    // Lower-case hex, two digits per byte, one blank between bytes.
    std::string dump() const;
};

struct BufferCS {
    uint8_t* viewData = nullptr;
    size_t viewSize = 0;

    operator BufferCS_const() const { return {viewData, viewSize}; }
};

class Buffer : public std::vector<uint8_t> {
public:
    using std::vector<uint8_t>::vector;
    Buffer() = default;
    Buffer(const Buffer&) = default;
    Buffer(Buffer&&) noexcept = default;
    Buffer& operator=(const Buffer&) = default;
    Buffer& operator=(Buffer&&) noexcept = default;
    ~Buffer() = default;

    // Resizes to the view and copies its bytes; the view may lie within this
    // buffer's own bytes.
    Buffer& operator=(BufferCS_const view);

    void fill(uint8_t value);

    // Splits into text lines at CR/LF, skipping blank lines and a leading
    // UTF-8 byte-order mark. Control bytes (TAB unless allowed) are dropped
    // and make the result false; the lines are still listed.
    bool get_string_list(std::list<std::string>& lines, bool allowTab) const;

    operator BufferCS_const() const { return {data(), size()}; }
    BufferCS writable() { return {data(), size()}; }
};

}  // namespace TIVRA
