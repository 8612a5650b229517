// A byte buffer that fills itself from a file (whole or a byte range),
// appends bytes and writes all of them to a file. Files are raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Buffer.h"

namespace TIVRA {

class FileBuffer : public Buffer {
public:
    using Buffer::Buffer;
    using Buffer::operator=;

    // Replaces the content with `count` bytes from `offset`, or with the
    // whole file when `count` is 0. False leaves the buffer as it was: the
    // file cannot be opened, is a directory, cannot be sized by seeking
    // (pipe, terminal), the range does not lie within it, or it yields fewer
    // bytes than its size promised.
    bool load(const std::string& path, uint64_t count, uint64_t offset);
    bool load(const std::string& path) { return load(path, 0, 0); }

    // Appends `length` bytes from `data`.
    void write(const void* data, size_t length);

    // Creates or truncates the file and writes every byte. True means the
    // file could be opened for writing; later write errors are not reported.
    bool save(const std::string& path) const;

    // Removes the file; true exactly when the removal succeeded.
    static bool remove(const std::string& path);
};

}  // namespace TIVRA
