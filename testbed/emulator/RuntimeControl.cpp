#include "testbed/emulator/RuntimeControl.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <sstream>

#include "testbed/emulator/TargetConfig.h"

namespace testbed {

namespace {

// The words of a line; bytes that are not printable would garble the
// answer line, so they show as '?'.
std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    std::string word;
    for (const char c : line) {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!word.empty()) {
                out.push_back(word);
                word.clear();
            }
            continue;
        }
        word.push_back(static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F ? '?' : c);
    }
    if (!word.empty()) {
        out.push_back(word);
    }
    return out;
}

std::optional<size_t> findTarget(const std::string& word, const std::vector<ControlTarget>& targets)
{
    uint64_t n = 0;
    if (parseNumber(word, UINT32_MAX, n)) {
        return n < targets.size() ? std::optional<size_t>(static_cast<size_t>(n)) : std::nullopt;
    }
    for (size_t i = 0; i < targets.size(); ++i) {
        if (targets[i].name == word) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<size_t> findSink(const std::string& word, const TargetEmulator& emulator)
{
    const size_t count = emulator.sinkCount();
    uint64_t n = 0;
    if (parseNumber(word, UINT32_MAX, n)) {
        return n < count ? std::optional<size_t>(static_cast<size_t>(n)) : std::nullopt;
    }
    for (size_t i = 0; i < count; ++i) {
        if (emulator.sinkConfig(i).name == word) {
            return i;
        }
    }
    return std::nullopt;
}

// A signed decimal that fits 16 bits, nothing around it.
bool parseVolume(const std::string& text, int16_t& out)
{
    const size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.size() - digits > 5) {
        return false;
    }
    int32_t value = 0;
    for (size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    value = digits != 0 ? -value : value;
    if (value < INT16_MIN || value > INT16_MAX) {
        return false;
    }
    out = static_cast<int16_t>(value);
    return true;
}

}  // namespace

std::string runControlCommand(const std::string& line, const std::vector<ControlTarget>& targets)
{
    const std::vector<std::string> w = words(line);
    if (w.empty()) {
        return {};
    }
    std::string command = w[0];
    for (size_t i = 1; i < w.size(); ++i) {
        command += " " + w[i];
    }
    const std::string head = "control: " + command;
    auto refused = [&](const std::string& why) { return head + " refused: " + why; };

    const bool volume = w[0] == "volume";
    if (!volume && w[0] != "hide" && w[0] != "show") {
        return refused("unknown command");
    }
    if (w.size() != (volume ? 4U : 3U)) {
        return refused(volume ? "usage: volume TARGET SINK VALUE" : "usage: " + w[0] + " TARGET SINK");
    }
    const std::optional<size_t> target = findTarget(w[1], targets);
    if (!target || targets[*target].emulator == nullptr) {
        return refused("no target " + w[1]);
    }
    TargetEmulator& emulator = *targets[*target].emulator;
    const std::optional<size_t> sink = findSink(w[2], emulator);
    if (!sink) {
        return refused("no sink " + w[2]);
    }
    if (volume) {
        int16_t value = 0;
        if (!parseVolume(w[3], value)) {
            return refused("bad volume " + w[3]);
        }
        if (!emulator.setDeviceVolume(*sink, value)) {
            return refused("no volume item");
        }
    } else if (!emulator.setHidden(*sink, w[0] == "hide")) {
        return refused("no sink " + w[2]);
    }
    return head + " done";
}

// ---- ControlReader

ControlReader::~ControlReader()
{
    stop();
}

bool ControlReader::start(const std::string& where, std::function<void(const std::string&, bool)> lineHandler,
                          std::string& error)
{
    stop();
    path = where;
    created = false;
    onLine = std::move(lineHandler);
    if (path == "-") {
        fd = ::dup(STDIN_FILENO);
    } else {
        if (::mkfifo(path.c_str(), 0600) == 0) {
            created = true;
        } else if (errno != EEXIST) {
            error = "cannot make the control pipe " + path + ": " + std::strerror(errno);
            return false;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
            error = "the control path is not a named pipe: " + path;
            return false;
        }
        // Read and write: the pipe never reaches an end while this end holds it.
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    }
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0 || wakeFd < 0) {
        error = "cannot open the control input " + path + ": " + std::strerror(errno);
        stop();
        return false;
    }
    thread = std::thread(&ControlReader::run, this);
    return true;
}

void ControlReader::stop()
{
    if (thread.joinable()) {
        const uint64_t one = 1;
        while (::write(wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
        thread.join();
    }
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
        wakeFd = -1;
    }
    if (created) {
        ::unlink(path.c_str());
        created = false;
    }
}

void ControlReader::run()
{
    std::string pending;
    bool discarding = false;  // inside a line that was too long
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return;  // standard input ended (a pipe held open never does)
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                onLine(pending, discarding);
                discarding = false;
                pending.clear();
            } else if (!discarding) {
                pending.push_back(c);
                if (pending.size() > kMaxLine) {
                    discarding = true;
                    pending.clear();
                }
            }
        }
    }
}

}  // namespace testbed
