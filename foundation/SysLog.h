// Process-wide logger with stream syntax:
//
//     TIVRA::SYSLOG_INFO << "Setting: periodMin      : " << value << " more " << someString;
//
// A statement below the threshold costs one comparison: no allocation, no
// formatting, no clock read. One that passes builds a single syslog line on
// the heap and emits it when the statement ends: one UDP datagram to a port
// of ::1 and, with console logging on, the message (without its header) on
// standard output through an idle-class printer thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"

namespace TIVRA {

// Threshold of every log statement: a statement of severity S builds its line
// only when quorvin_log >= S. -1 until start-up sets it, so nothing is logged.
extern int quorvin_log;

enum SysLogLevel : int {
    SYSLOG_EMERG = 0,
    SYSLOG_ALERT = 1,
    SYSLOG_CRIT = 2,
    SYSLOG_ERR = 3,
    SYSLOG_WARNING = 4,
    SYSLOG_NOTICE = 5,
    SYSLOG_INFO = 6,
    SYSLOG_DEBUG = 7,
};
using SysLogFacility = int;
// facility x 8 + severity, the syslog PRI.
using SysLogFacilityLevel = uint8_t;

class SysLog {
public:
    using SysLogLevel = TIVRA::SysLogLevel;
    using SysLogFacility = TIVRA::SysLogFacility;
    using SysLogFacilityLevel = TIVRA::SysLogFacilityLevel;
    // Receives each emitted line, NUL-terminated, starting at its "<".
    using PrintCallback = void (*)(const char* line);

    static constexpr size_t LineSize = 2048;  // text area, terminator included
    static constexpr size_t LineLimit = LineSize - 1;
    static constexpr size_t HeaderLength = 31;  // "<000>MMM DD hh mm ss localhost "
    static constexpr size_t SlotCount = 120;
    static constexpr size_t SlotSize = 1500;  // 1499 characters and the terminator

    // One line under construction. The destructor emits it through the
    // current sender.
    class SysLogOut {
    public:
        explicit SysLogOut(SysLogFacilityLevel linePri);
        ~SysLogOut();
        SysLogOut(const SysLogOut&) = delete;
        SysLogOut& operator=(const SysLogOut&) = delete;

        // Formatted values and texts are cut at the line limit.
        void putSInt32(int value);
        void putUInt32(unsigned int value);
        void putSInt64(long value);
        void putUInt64(unsigned long value);
        void putFloat(float value);
        void putDouble(double value);
        void putStr(const char* text);
        // These go in whole or not at all.
        void putString(const std::string& text);
        void putBuffer(BufferCS_const bytes);
        void putIPaddress(const IPAddress& address);
        void putClock(Clock value);

        SysLogFacilityLevel pri;
        char lineText[LineSize];
        size_t lineLength;

    private:
        void putCut(const char* data, size_t n);
        void putWhole(const char* data, size_t n);
    };

    // What a statement hands from one << to the next. Only the last node of a
    // statement owns the line, so the line is emitted once, at its end.
    struct SysLogNode {
        SysLogOut* line = nullptr;
        bool owner = true;

        SysLogNode() = default;
        explicit SysLogNode(SysLogOut* out) : line(out) {}
        SysLogNode(SysLogNode&& other) noexcept : line(other.line), owner(other.owner) { other.owner = false; }
        SysLogNode(const SysLogNode&) = delete;
        SysLogNode& operator=(const SysLogNode&) = delete;
        SysLogNode& operator=(SysLogNode&&) = delete;
        ~SysLogNode()
        {
            if (line != nullptr && owner) {
                delete line;
            }
        }
    };

    class SysLogSendC {
    public:
        SysLogSendC() = default;
        SysLogSendC(const SysLogSendC&) = delete;
        SysLogSendC& operator=(const SysLogSendC&) = delete;

        // Opens the socket towards ::1 port; an open socket stays as it is.
        bool OpenPort(unsigned short port);
        bool initialize(SysLogFacility lineFacility, PrintCallback callback, unsigned short port);
        // Stamps and emits a caller's line: text starts with the header
        // template, holds length characters and is NUL-terminated there.
        void Message(SysLogFacilityLevel linePri, char* text, size_t length);
        // Writes month, day and time of day into positions 5-20 of a line.
        static void putTime(char* text, const std::tm& local);

        Socket sendSocket;
        SysLogFacility facility = 0;
        PrintCallback printCallback = nullptr;
        IPAddress destination{};
    };

    // Standard-output printer: a queue of 120 slots (at most 119 waiting)
    // drained by one idle-class thread.
    class SysLogSendStdC {
    public:
        SysLogSendStdC();
        ~SysLogSendStdC();
        SysLogSendStdC(const SysLogSendStdC&) = delete;
        SysLogSendStdC& operator=(const SysLogSendStdC&) = delete;

        // Queues the message part of an emitted line on the current printer.
        static void send(const char* line);
        // The same on this printer.
        void _send(const char* line);

    private:
        void print_th();

        std::thread printThread;
        std::atomic<bool> stopFlag{false};
        char slots[SlotCount][SlotSize];
        std::atomic<uint64_t> writeIndex{0};
        std::atomic<uint64_t> lastPrinted{SlotCount - 1};
        std::mutex queueMutex;
        std::condition_variable queueCond;
    };

    // New current sender for the facility; with console a new printer
    // replaces the current one. Result: the port opening.
    static bool initialize(SysLogFacility facility, bool console, unsigned short port);
    // New current sender with a caller's callback; another callback than the
    // printer's gets the lines alone and no socket is opened.
    static bool initialize(SysLogFacility facility, PrintCallback callback);
    static bool OpenPort(unsigned short port);
    static void setFacility(SysLogFacility facility);
    static SysLogFacility getFacility();
    static void* getOwn();
    static void reinitialize(void* sender);
    static PrintCallback getStdErr();
    static void finalize();

    // The out-of-line part of a statement that passed the threshold.
    static SysLogOut* startLine(SysLogLevel level, const char* text);

    static SysLogSendC* SyslogSend;
    static std::unique_ptr<SysLogSendStdC> SysLogSendStd;
};

// The threshold test stays inline at every call site; everything else is
// skipped when the node has no line.
inline SysLog::SysLogNode operator<<(SysLogLevel level, const char* text)
{
    if (quorvin_log < (level & 7)) {
        return SysLog::SysLogNode();
    }
    return SysLog::SysLogNode(SysLog::startLine(level, text));
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, int value)
{
    if (node.line != nullptr) {
        node.line->putSInt32(value);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, unsigned int value)
{
    if (node.line != nullptr) {
        node.line->putUInt32(value);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, long value)
{
    if (node.line != nullptr) {
        node.line->putSInt64(value);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, unsigned long value)
{
    if (node.line != nullptr) {
        node.line->putUInt64(value);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, long long value)
{
    if (node.line != nullptr) {
        node.line->putSInt64(static_cast<long>(value));
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, unsigned long long value)
{
    if (node.line != nullptr) {
        node.line->putUInt64(static_cast<unsigned long>(value));
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, double value)
{
    if (node.line != nullptr) {
        node.line->putDouble(value);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, float value)
{
    if (node.line != nullptr) {
        node.line->putFloat(value);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, const char* text)
{
    if (node.line != nullptr) {
        node.line->putStr(text);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, const std::string& text)
{
    if (node.line != nullptr) {
        node.line->putString(text);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, BufferCS_const bytes)
{
    if (node.line != nullptr) {
        node.line->putBuffer(bytes);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, const IPAddress& address)
{
    if (node.line != nullptr) {
        node.line->putIPaddress(address);
    }
    return std::move(node);
}

inline SysLog::SysLogNode operator<<(SysLog::SysLogNode&& node, Clock value)
{
    if (node.line != nullptr) {
        node.line->putClock(value);
    }
    return std::move(node);
}

}  // namespace TIVRA
