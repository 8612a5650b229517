#include "foundation/FileBuffer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>

namespace TIVRA {

namespace {

// Closes the descriptor on every return path.
struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

}  // namespace

bool FileBuffer::load(const std::string& path, uint64_t count, uint64_t offset)
{
    // Non-blocking, so that a FIFO without a writer does not hang the open
    // only to be refused below; regular files are unaffected.
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (f.fd < 0) {
        return false;
    }
    // A directory opens for reading but its seek end is no byte count.
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        return false;
    }
    const off_t end = ::lseek(f.fd, 0, SEEK_END);
    if (end < 0) {
        return false;  // pipe or terminal: no size to go by
    }
    const uint64_t size = static_cast<uint64_t>(end);
    if (size == 0) {
        clear();
        return true;
    }
    uint64_t start = 0;
    uint64_t amount = size;
    if (count != 0) {
        // Written so that offset + count cannot wrap.
        if (offset > size || count > size - offset) {
            return false;
        }
        start = offset;
        amount = count;
    }
    if (::lseek(f.fd, static_cast<off_t>(start), SEEK_SET) < 0) {
        return false;
    }
    // Read aside so that a failed or short read leaves our bytes intact.
    Buffer bytes(static_cast<size_t>(amount));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(f.fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;  // the file shrank while we read it
        }
        got += static_cast<size_t>(n);
    }
    swap(bytes);
    return true;
}

void FileBuffer::write(const void* data, size_t length)
{
    if (length == 0) {
        return;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    insert(end(), p, p + length);
}

bool FileBuffer::save(const std::string& path) const
{
    Fd f{::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)};
    if (f.fd < 0) {
        return false;
    }
    size_t put = 0;
    while (put < size()) {
        const ssize_t n = ::write(f.fd, data() + put, size() - put);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // reported by nobody: true means the file was opened
        }
        put += static_cast<size_t>(n);
    }
    return true;
}

bool FileBuffer::remove(const std::string& path)
{
    return std::remove(path.c_str()) == 0;
}

}  // namespace TIVRA
