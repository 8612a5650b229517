// The emulator program's hand on its targets while they run: one command a
// line, so that a test (or a person) can change a target under a host:
//   volume TARGET SINK VALUE   the sink's volume set at the device, in 0.01 dB
//   hide TARGET SINK           the sink switched off
//   show TARGET SINK           and on again
// TARGET is a target's number (0 for the first) or name, SINK a sink's
// number or name; names holding blanks go by number.
#pragma once

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testbed/emulator/TargetEmulator.h"

namespace testbed {

struct ControlTarget {
    std::string name;
    TargetEmulator* emulator = nullptr;
};

// Runs one command line; the answer is "control: COMMAND done" or
// "control: COMMAND refused: WHY", COMMAND being the line's words joined by
// single blanks. A blank line gets no answer (an empty string).
std::string runControlCommand(const std::string& line, const std::vector<ControlTarget>& targets);

// Reads command lines on a thread of its own from a named pipe, which it
// creates when missing (and then removes again at stop), or from standard
// input for "-". The pipe is held open for writing as well, so writers may
// come and go without an end of file; standard input ends at its end.
class ControlReader {
public:
    ControlReader() = default;
    ~ControlReader();  // stops
    ControlReader(const ControlReader&) = delete;
    ControlReader& operator=(const ControlReader&) = delete;

    // `onLine` runs on the reader's thread for each complete line (without
    // its end); a line longer than kMaxLine comes empty with `tooLong` set.
    // False with `error` set when the pipe cannot be had.
    bool start(const std::string& path, std::function<void(const std::string& line, bool tooLong)> onLine,
               std::string& error);
    void stop();

    // A longer line is refused whole, up to its end.
    static constexpr size_t kMaxLine = 1024;

private:
    void run();

    std::string path;
    bool created = false;
    int fd = -1;
    int wakeFd = -1;
    std::function<void(const std::string&, bool)> onLine;
    std::thread thread;
};

}  // namespace testbed
