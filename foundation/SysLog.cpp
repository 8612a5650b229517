#include "foundation/SysLog.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "foundation/ThreadPriority.h"

namespace TIVRA {

int quorvin_log = -1;

SysLog::SysLogSendC* SysLog::SyslogSend = nullptr;
// Its destructor, registered here, stops and joins the printer at process
// exit without printing what is still queued.
std::unique_ptr<SysLog::SysLogSendStdC> SysLog::SysLogSendStd;

namespace {

constexpr char kTemplate[] = "<000>MMM DD hh mm ss localhost ";
static_assert(sizeof(kTemplate) - 1 == SysLog::HeaderLength, "header template is 31 characters");

constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr char kWaitNotice[] = "wait debug out\n";
constexpr char kTimeoutNotice[] = "timeout debug out\n";

// Local time of the last second a thread stamped: converting costs far more
// than the rest of a line and takes a process-wide lock inside the C library,
// while a thread that logs often stays within one second.
struct StampCache {
    time_t second = -1;
    std::tm local{};
};
thread_local StampCache stampCache;

void putTwoDigits(char* at, int value)
{
    const unsigned v = static_cast<unsigned>(value) % 100U;
    at[0] = static_cast<char>('0' + v / 10U);
    at[1] = static_cast<char>('0' + v % 10U);
}

// The full-queue notices go straight to descriptor 1: a logging thread (maybe
// a real-time one) must never wait for stdio's lock, which the idle-class
// printer holds while it writes.
void writeStdout(const char* text, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(STDOUT_FILENO, text, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        text += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// SysLogOut

SysLog::SysLogOut::SysLogOut(SysLogFacilityLevel linePri) : pri(linePri), lineLength(HeaderLength)
{
    std::memcpy(lineText, kTemplate, sizeof(kTemplate));
}

SysLog::SysLogOut::~SysLogOut()
{
    if (SyslogSend != nullptr) {
        SyslogSend->Message(pri, lineText, lineLength);
    }
}

// Appends up to n characters, cut at the limit, and takes the length from the
// NUL-terminated text, as a formatted print into the area would.
void SysLog::SysLogOut::putCut(const char* data, size_t n)
{
    const size_t room = LineLimit - lineLength;
    if (n > room) {
        n = room;
    }
    std::memcpy(lineText + lineLength, data, n);
    lineText[lineLength + n] = '\0';
    lineLength = std::strlen(lineText);
}

void SysLog::SysLogOut::putWhole(const char* data, size_t n)
{
    if (n == 0 || lineLength + 1 > LineLimit || n > LineLimit - 1 - lineLength) {
        return;
    }
    std::memcpy(lineText + lineLength, data, n);
    lineLength += n;
    lineText[lineLength] = '\0';
}

void SysLog::SysLogOut::putSInt32(int value)
{
    char digits[16];
    const auto r = std::to_chars(digits, digits + sizeof(digits), value);
    putCut(digits, static_cast<size_t>(r.ptr - digits));
}

void SysLog::SysLogOut::putUInt32(unsigned int value)
{
    char digits[16];
    const auto r = std::to_chars(digits, digits + sizeof(digits), value);
    putCut(digits, static_cast<size_t>(r.ptr - digits));
}

void SysLog::SysLogOut::putSInt64(long value)
{
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof(digits), value);
    putCut(digits, static_cast<size_t>(r.ptr - digits));
}

void SysLog::SysLogOut::putUInt64(unsigned long value)
{
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof(digits), value);
    putCut(digits, static_cast<size_t>(r.ptr - digits));
}

void SysLog::SysLogOut::putFloat(float value)
{
    putDouble(static_cast<double>(value));
}

void SysLog::SysLogOut::putDouble(double value)
{
    std::snprintf(lineText + lineLength, LineSize - lineLength, "%lf", value);
    lineLength = std::strlen(lineText);
}

void SysLog::SysLogOut::putStr(const char* text)
{
    if (text == nullptr) {
        text = "(null)";
    }
    putCut(text, strnlen(text, LineLimit - lineLength));
}

void SysLog::SysLogOut::putString(const std::string& text)
{
    putWhole(text.data(), text.size());
}

void SysLog::SysLogOut::putBuffer(BufferCS_const bytes)
{
    putWhole(reinterpret_cast<const char*>(bytes.viewData), bytes.viewSize);
}

void SysLog::SysLogOut::putIPaddress(const IPAddress& address)
{
    std::string text;
    address.get_full_str(text);
    putWhole(text.data(), text.size());
}

void SysLog::SysLogOut::putClock(Clock value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    char digits[16];
    uint64_t v = value.picoseconds;
    for (int i = 15; i >= 0; --i) {
        digits[i] = kHex[v & 0xFU];
        v >>= 4;
    }
    putWhole(digits, sizeof(digits));
}

// ---------------------------------------------------------------------------
// SysLogSendC

bool SysLog::SysLogSendC::OpenPort(unsigned short port)
{
    if (sendSocket.is_open()) {
        return true;
    }
    if (!sendSocket.open(Socket::UDP_V6)) {
        return false;
    }
    IPAddress local{};
    local.addr[15] = 1;
    if (!sendSocket.bindV6(local, 1000) || !sendSocket.setBlocking(false)) {
        // Closed again, so that a later OpenPort starts afresh instead of
        // taking a half set-up socket as open.
        sendSocket.close();
        return false;
    }
    destination = IPAddress{};
    destination.addr[15] = 1;
    destination.port = htons(port);
    destination.ifindex = 0;
    return true;
}

bool SysLog::SysLogSendC::initialize(SysLogFacility lineFacility, PrintCallback callback, unsigned short port)
{
    facility = lineFacility;
    printCallback = callback;
    if (callback == &SysLogSendStdC::send) {
        // The new printer is current before the old one is stopped; what the
        // old one still held is dropped with it.
        std::unique_ptr<SysLogSendStdC> printer = std::make_unique<SysLogSendStdC>();
        SysLogSendStd.swap(printer);
        printer.reset();
    } else if (callback != nullptr) {
        return true;
    }
    return OpenPort(port);
}

void SysLog::SysLogSendC::putTime(char* text, const std::tm& local)
{
    const char* month = (local.tm_mon >= 0 && local.tm_mon < 12) ? kMonths[local.tm_mon] : "???";
    std::memcpy(text + 5, month, 3);
    text[8] = ' ';
    putTwoDigits(text + 9, local.tm_mday);
    text[11] = ' ';
    putTwoDigits(text + 12, local.tm_hour);
    text[14] = ':';
    putTwoDigits(text + 15, local.tm_min);
    text[17] = ':';
    putTwoDigits(text + 18, local.tm_sec);
    text[20] = ' ';
}

void SysLog::SysLogSendC::Message(SysLogFacilityLevel linePri, char* text, size_t length)
{
    if (text == nullptr || length < HeaderLength) {
        return;
    }
    // The ">" stays at position 4; the line starts at its "<".
    size_t start = 2;
    text[4] = '>';
    text[3] = static_cast<char>('0' + linePri % 10);
    if (linePri >= 10) {
        text[2] = static_cast<char>('0' + linePri / 10 % 10);
        start = 1;
    }
    if (linePri >= 100) {
        text[1] = static_cast<char>('0' + linePri / 100);
        start = 0;
    }
    text[start] = '<';

    const time_t second = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    StampCache& cache = stampCache;
    if (cache.second != second) {
        if (localtime_r(&second, &cache.local) == nullptr) {
            cache.local = std::tm{};
        }
        cache.second = second;
    }
    putTime(text, cache.local);

    if (sendSocket.is_open()) {
        // Non-blocking and unchecked: a datagram the kernel refuses is lost.
        sendSocket.sendToV6(BufferCS_const{reinterpret_cast<const uint8_t*>(text + start), length - start}, destination,
                            false);
    }
    if (printCallback != nullptr) {
        printCallback(text + start);
    }
}

// ---------------------------------------------------------------------------
// SysLogSendStdC

SysLog::SysLogSendStdC::SysLogSendStdC()
{
    printThread = std::thread(&SysLogSendStdC::print_th, this);
}

SysLog::SysLogSendStdC::~SysLogSendStdC()
{
    {
        // Set under the mutex so the printer cannot miss the wake-up between
        // its test and its wait.
        std::lock_guard<std::mutex> lock(queueMutex);
        stopFlag.store(true);
    }
    queueCond.notify_all();
    if (printThread.joinable()) {
        printThread.join();
    }
}

void SysLog::SysLogSendStdC::send(const char* line)
{
    SysLogSendStdC* printer = SysLogSendStd.get();
    if (printer != nullptr) {
        printer->_send(line);
    }
}

void SysLog::SysLogSendStdC::_send(const char* line)
{
    if (line == nullptr) {
        return;
    }
    // The header is "<", the PRI's d digits, ">" and 26 characters of stamp
    // and host field: 28 + d characters.
    const size_t have = strnlen(line, HeaderLength + 1);
    size_t digits = 3;
    for (size_t d = 1; d <= 3; ++d) {
        if (d + 1 < have && line[d + 1] == '>') {
            digits = d;
            break;
        }
    }
    const size_t header = 28 + digits;
    if (have <= header) {
        return;  // empty message part: nothing to print
    }
    const char* message = line + header;

    std::unique_lock<std::mutex> lock(queueMutex);
    for (int attempt = 0; writeIndex.load() == lastPrinted.load(); ++attempt) {
        lock.unlock();
        if (attempt == 10 || stopFlag.load()) {
            writeStdout(kTimeoutNotice, sizeof(kTimeoutNotice) - 1);
            return;
        }
        queueCond.notify_all();
        if (attempt == 0) {
            writeStdout(kWaitNotice, sizeof(kWaitNotice) - 1);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        lock.lock();
    }
    const uint64_t slot = writeIndex.load();
    // A message part longer than a slot is cut to what the slot holds.
    const size_t n = strnlen(message, SlotSize - 1);
    std::memcpy(slots[slot], message, n);
    slots[slot][n] = '\0';
    writeIndex.store(slot + 1 == SlotCount ? 0 : slot + 1);
}

void SysLog::SysLogSendStdC::print_th()
{
    ThreadPriority::setPriority(ThreadPriority::getSelfThreadID(), ThreadPriority::PRIORITY_IDLE);
    while (!stopFlag.load()) {
        uint64_t next = lastPrinted.load() + 1;
        if (next == SlotCount) {
            next = 0;
        }
        if (next == writeIndex.load()) {
            std::unique_lock<std::mutex> lock(queueMutex);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            if (!queueCond.wait_until(lock, deadline, [&] { return next != writeIndex.load() || stopFlag.load(); })) {
                continue;
            }
        }
        if (stopFlag.load()) {
            break;  // what is still queued is never printed
        }
        // Read outside the mutex: producers write only slot writeIndex, which
        // has moved past this one.
        const char* text = slots[next];
        flockfile(stdout);
        std::fputs(text, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        funlockfile(stdout);
        lastPrinted.store(next);
    }
}

// ---------------------------------------------------------------------------
// SysLog statics

bool SysLog::initialize(SysLogFacility facility, bool console, unsigned short port)
{
    // A previous sender is neither closed nor released: another module may
    // still hold it (getOwn / reinitialize).
    SyslogSend = new SysLogSendC();
    return SyslogSend->initialize(facility, console ? &SysLogSendStdC::send : nullptr, port);
}

bool SysLog::initialize(SysLogFacility facility, PrintCallback callback)
{
    SyslogSend = new SysLogSendC();
    return SyslogSend->initialize(facility, callback, 0);
}

bool SysLog::OpenPort(unsigned short port)
{
    if (SyslogSend == nullptr) {
        return false;
    }
    return SyslogSend->OpenPort(port);
}

void SysLog::setFacility(SysLogFacility facility)
{
    if (SyslogSend != nullptr) {
        SyslogSend->facility = facility;
    }
}

SysLogFacility SysLog::getFacility()
{
    return SyslogSend != nullptr ? SyslogSend->facility : 0;
}

void* SysLog::getOwn()
{
    return SyslogSend;
}

void SysLog::reinitialize(void* sender)
{
    SyslogSend = static_cast<SysLogSendC*>(sender);
}

SysLog::PrintCallback SysLog::getStdErr()
{
    return SyslogSend != nullptr ? SyslogSend->printCallback : nullptr;
}

void SysLog::finalize()
{
    SysLogSendC* sender = SyslogSend;
    SyslogSend = nullptr;
    delete sender;
}

SysLog::SysLogOut* SysLog::startLine(SysLogLevel level, const char* text)
{
    const SysLogFacility facility = SyslogSend != nullptr ? SyslogSend->facility : 0;
    SysLogOut* out = new SysLogOut(static_cast<SysLogFacilityLevel>(facility * 8 + (level & 7)));
    out->putStr(text);
    return out;
}

}  // namespace TIVRA
