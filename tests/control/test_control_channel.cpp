// The control channel against small fake sinks on ::1: each one a socket
// and a thread that keeps a list of items and answers the control requests,
// with per-request misbehaviour where a test needs it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "SocketQueue.h"
#include "WaitFor.h"
#include "control/Control.h"
#include "control/ControlAnswers.h"
#include "foundation/ThreadPriority.h"
#include "testbed/StandinPriority.h"
#include "testbed/emulator/Answerers.h"

using namespace QUORVIN;
using TIVRA::IPAddress;

namespace {

IPAddress loopback()
{
    IPAddress a;
    a.addr[15] = 1;
    return a;
}

struct Request {
    Receive bytes;
    IPAddress from;
};

class FakeSink {
public:
    struct Item {
        uint16_t type = CONTROL_VOLUME;
        uint64_t value = 0;
        uint16_t status = 0;
    };
    // Called for every valid request before the default answer; true when it
    // dealt with the request itself (answered, or stayed silent).
    using Hook = std::function<bool(FakeSink&, const Receive&, const IPAddress& from)>;

    explicit FakeSink(std::vector<Item> list = {}) : items(std::move(list))
    {
        socket.recvSize = 65536;
        address = loopback();
        other = loopback();
        ok = socket.open(TIVRA::Socket::UDP_V6) && socket.bindV6(address) && otherSocket.open(TIVRA::Socket::UDP_V6)
             && otherSocket.bindV6(other);
        address.ifindex = 0;
        for (const int cpu : testbed::answererCpus(3)) {
            threads.emplace_back([this, cpu] { run(cpu); });
        }
        delayThread = std::thread([this] { runDelayed(); });
    }
    ~FakeSink()
    {
        stop = true;
        for (std::thread& t : threads) {
            t.join();
        }
        delayThread.join();
    }

    // Every answer leaves this long after its request came, as across a
    // link with that round trip: each send answered on its own.
    void delayAnswers(std::chrono::milliseconds d)
    {
        std::lock_guard<std::mutex> lock(delayMutex);
        delay = d;
    }

    void setHook(Hook h)
    {
        std::lock_guard<std::mutex> lock(mutex);
        hook = std::move(h);
    }
    void setItem(size_t i, uint64_t value, uint16_t status)
    {
        std::lock_guard<std::mutex> lock(mutex);
        items[i].value = value;
        items[i].status = status;
    }
    Item item(size_t i)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return items[i];
    }
    std::vector<Request> requests()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::vector<Request>(seen.begin(), seen.end());
    }
    size_t count(MessageID id)
    {
        size_t n = 0;
        for (const Request& r : requests()) {
            n += r.bytes.getMessage() == id ? 1 : 0;
        }
        return n;
    }
    // The count once it reaches `n`: an exchange that ended by time-out may
    // end before this sink has read its last send, on a loaded machine.
    size_t countOnce(MessageID id, size_t n)
    {
        testwait::waitFor([&] { return count(id) >= n; }, std::chrono::seconds(2));
        return count(id);
    }

    // Replies from the sink's own port, or from a second port of ::1.
    void reply(const IPAddress& to, const Send& m)
    {
        {
            std::lock_guard<std::mutex> lock(delayMutex);
            if (delay.count() != 0) {
                delayed.push_back({std::chrono::steady_clock::now() + delay, to, m});
                return;
            }
        }
        socket.sendToV6(m, to, true);
    }
    void replyFromOther(const IPAddress& to, const Send& m) { otherSocket.sendToV6(m, to, true); }
    void replyBytes(const IPAddress& to, const std::vector<uint8_t>& b)
    {
        socket.sendToV6(TIVRA::BufferCS_const{b.data(), b.size()}, to, true);
    }

    bool ok = false;
    IPAddress address;

private:
    // The host waits only 10 ms for an answer: on a loaded machine
    // (parallel tests under sanitizers) even one real-time thread can miss
    // that, so several wait, and the first awake answers, one request at a
    // time.
    void run(int cpu)
    {
        testbed::becomeAnswerer(cpu);
        // Its room for a datagram made once: a fresh 64 KiB for every one,
        // and the allocator's work on them, held every answerer up for tens
        // of milliseconds now and then under the sanitizers.
        Receive got;
        IPAddress from;
        while (!stop) {
            if (socket.wait(TIVRA::Clock(2 * TIVRA::Clock::MS)) != TIVRA::Socket::WaitReady) {
                continue;
            }
            std::lock_guard<std::mutex> hold(turn);
            // Another answerer may have taken what woke this one.
            if (socket.wait(TIVRA::Clock(0)) != TIVRA::Socket::WaitReady || !socket.receiveFromV6(got, from) || !got) {
                continue;
            }
            Hook h;
            {
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back({got, from});
                h = hook;
            }
            if (h && h(*this, got, from)) {
                continue;
            }
            answer(got, from);
        }
    }

    void runDelayed()
    {
        testbed::becomeStandinRealtime();
        while (!stop) {
            std::vector<Delayed> due;
            {
                std::lock_guard<std::mutex> lock(delayMutex);
                const auto now = std::chrono::steady_clock::now();
                while (!delayed.empty() && delayed.front().at <= now) {
                    due.push_back(delayed.front());
                    delayed.erase(delayed.begin());
                }
            }
            for (const Delayed& d : due) {
                socket.sendToV6(d.message, d.to, true);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    void answer(const Receive& r, const IPAddress& from)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const uint16_t o0 = r.getOption0();
        switch (r.getMessage()) {
        case CONTROLNAME_REQ:
            reply(from, Send(CONTROLNAME_ANS, STATUS_OK));
            break;
        case CONTROLLIST_REQ:
            if (o0 == 0) {
                reply(from, Send(CONTROLLIST_ANS, STATUS_OK, static_cast<unsigned short>(items.size()), 0, 0, 0));
            } else if (o0 <= items.size()) {
                reply(from, Send(CONTROLLIST_ANS, STATUS_OK, o0, items[o0 - 1].type, 0, 0));
            }
            break;
        case CONTROLVALUE_REQ: {
            const uint16_t id = o0 & 0x7FFF;
            if (id == 0 || id > items.size()) {
                break;
            }
            Item& it = items[id - 1];
            if ((o0 & CONTROL_WRITE) != 0) {
                it.value = r.getOption() >> 16;
            }
            reply(from, Send(CONTROLVALUE_ANS, static_cast<StatusID>(STATUS_OK | it.status),
                             static_cast<unsigned long>(id | (it.value << 16))));
            break;
        }
        default:
            break;
        }
    }

    TIVRA::UDPV6 socket;
    TIVRA::UDPV6 otherSocket;
    IPAddress other;
    std::mutex mutex;
    std::vector<Item> items;
    // Never moved as it grows: moving 65,536 recorded requests at once held
    // the answerers up past the host's waits.
    std::deque<Request> seen;
    Hook hook;
    struct Delayed {
        std::chrono::steady_clock::time_point at;
        IPAddress to;
        Send message;
    };
    std::mutex delayMutex;
    std::chrono::milliseconds delay{0};
    std::vector<Delayed> delayed;
    std::atomic<bool> stop{false};
    std::mutex turn;  // the answering thread's
    std::vector<std::thread> threads;
    std::thread delayThread;
};

Find::StatusSortSt entry(const IPAddress& sink, bool head, bool tail)
{
    Find::StatusSortSt e;
    e.sinkAddress = sink;
    e.head = head;
    e.tail = tail;
    return e;
}

Control::Setting setting(const std::string& name = "Alsa Host Control")
{
    Control::Setting s;
    s.hostName = name;
    return s;
}

// Reaches the channel's socket, to queue datagrams on it from outside.
class OpenControl : public Control {
public:
    using Control::Control;
    IPAddress localAddress()
    {
        sockaddr_in6 sa{};
        socklen_t len = sizeof(sa);
        getsockname(socket.getDescriptor(), reinterpret_cast<sockaddr*>(&sa), &len);
        IPAddress a = loopback();
        a.port = sa.sin6_port;
        return a;
    }
    int descriptor() { return socket.getDescriptor(); }
};

const FakeSink::Item VOLUME{CONTROL_VOLUME, 0, 0};
const FakeSink::Item PLAY{CONTROL_PLAY, 0, 0};

}  // namespace

TEST(ControlOpen, LogsItsReleaseAndBinds)
{
    testlog::start(6);
    Control c(setting());
    ASSERT_TRUE(c.open());
    EXPECT_EQ(testlog::count("Quorvin Control Library ReleaseNo : 142"), 1U);
    c.close();
    EXPECT_TRUE(c.getItems().empty());
}

TEST(ControlOpen, NoSocketLeftGivesFalseWithTheErrorNumber)
{
    testlog::start(6);
    Control c(setting());
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    const bool opened = c.open();
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_FALSE(opened);
    EXPECT_EQ(testlog::count("UDP control open error:24"), 1U);  // EMFILE
}

// One exchange of the count request against a sink whose first answer is
// replaced by the row's datagrams: what the exchange makes of them, and how
// many sends it took.
TEST(ControlExchange, WhatEndsAnExchange)
{
    using Replies = std::function<void(FakeSink&, const IPAddress& from)>;
    struct Case {
        const char* what;
        Replies replies;  // sent in place of the answer to the first send
        bool answerLater;  // later sends get the proper answer
        bool answered;
        size_t sends;
    };
    const Send good(CONTROLLIST_ANS, STATUS_OK, 9, 0, 0, 0);
    const std::vector<Case> cases = {
        {"silent", [](FakeSink&, const IPAddress&) {}, false, false, 3},
        {"first send unanswered", [](FakeSink&, const IPAddress&) {}, true, true, 2},
        {"answer", [&](FakeSink& s, const IPAddress& f) { s.reply(f, good); }, false, true, 1},
        {"refusal", [](FakeSink& s, const IPAddress& f) { s.reply(f, Send(CONTROLLIST_ANS, 0, 9, 0, 0, 0)); }, true,
         false, 1},
        {"echo", [](FakeSink& s, const IPAddress& f) { s.reply(f, Send(CONTROLLIST_REQ, STATUS_OK, 9, 0, 0, 0)); },
         true, false, 1},
        {"echo from another port",
         [](FakeSink& s, const IPAddress& f) { s.replyFromOther(f, Send(CONTROLLIST_REQ, STATUS_OK)); }, false, false,
         3},
        {"refusal from another port, then the answer",
         [&](FakeSink& s, const IPAddress& f) {
             s.replyFromOther(f, Send(CONTROLLIST_ANS, 0));
             s.reply(f, good);
         },
         false, true, 1},
        {"answer from another port only", [&](FakeSink& s, const IPAddress& f) { s.replyFromOther(f, good); }, false,
         false, 3},
        {"another identifier, then the answer",
         [&](FakeSink& s, const IPAddress& f) {
             s.reply(f, Send(CONTROLVALUE_ANS, STATUS_OK, 1UL));
             s.reply(f, good);
         },
         false, true, 1},
        {"malformed, then the answer",
         [&](FakeSink& s, const IPAddress& f) {
             std::vector<uint8_t> bad(16, 0);
             bad[0] = 100;
             bad[2] = 0x18;  // claims 24 bytes
             bad[4] = CONTROLLIST_ANS;
             bad[6] = STATUS_OK;
             s.replyBytes(f, bad);
             s.reply(f, good);
         },
         false, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> n{0};
        FakeSink sink(std::vector<FakeSink::Item>(9));  // after what its hook uses
        ASSERT_TRUE(sink.ok);
        sink.setHook([&](FakeSink& s, const Receive&, const IPAddress& from) {
            if (n++ == 0) {
                c.replies(s, from);
                return true;
            }
            return !c.answerLater;
        });
        Control ctl(setting());
        ASSERT_TRUE(ctl.open());
        testlog::start(7);
        Receive answer;
        ASSERT_TRUE(ctl.sendAck(sink.address, buildListRequest(0), CONTROLLIST_ANS, answer));
        EXPECT_EQ(!answer.empty(), c.answered);
        if (c.answered) {
            EXPECT_EQ(answer.getOption0(), 9);
        }
        EXPECT_EQ(sink.countOnce(CONTROLLIST_REQ, c.sends), c.sends);
    }
}

TEST(ControlExchange, LogsWhatComesFromThePeer)
{
    FakeSink sink;
    sink.setHook([](FakeSink& s, const Receive&, const IPAddress& f) {
        std::vector<uint8_t> bad(20, 0);
        bad[0] = 100;
        bad[2] = 0x18;
        s.replyBytes(f, bad);
        s.reply(f, Send(CONTROLLIST_ANS, STATUS_OK, 2, 0, 0, 0));
        return true;
    });
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    testlog::start(7);
    Receive answer;
    ASSERT_TRUE(ctl.sendAck(sink.address, buildListRequest(0), CONTROLLIST_ANS, answer));
    EXPECT_FALSE(answer.empty());
    EXPECT_EQ(testlog::count("sendAck RCV errpacket:20"), 1U);
    EXPECT_EQ(testlog::count("sendAck[0,0,0]RCV:60"), 1U);
}

// An answer that was already waiting before the request went out (a late
// answer to an earlier exchange) is not taken for this one's.
TEST(ControlExchange, QueuedAnswerIsNotTakenForTheNext)
{
    FakeSink sink;
    OpenControl ctl(setting());
    ASSERT_TRUE(ctl.open());
    sink.setHook([](FakeSink& s, const Receive&, const IPAddress& f) {
        s.reply(f, Send(CONTROLLIST_ANS, STATUS_OK, 9, 0, 0, 0));
        return true;
    });
    // All three are queued before the request.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(testqueue::sendAndWaitQueued(ctl.descriptor(), [&] {
            sink.reply(ctl.localAddress(), Send(CONTROLLIST_ANS, STATUS_OK, 5, 0, 0, 0));
            return true;
        }));
    }
    // The drain is bounded in time as well: a caller held up between two
    // datagrams would leave the rest. Above every normal thread it is not;
    // the stand-ins' priority is enough for that and holds off no stream
    // worker running beside this test.
    const uint64_t self = TIVRA::ThreadPriority::getSelfThreadID();
    ASSERT_TRUE(testbed::becomeStandinRealtime());
    Receive answer;
    const bool ok = ctl.sendAck(sink.address, buildListRequest(0), CONTROLLIST_ANS, answer);
    TIVRA::ThreadPriority::setPriority(self, TIVRA::ThreadPriority::PRIORITY_NORMAL);
    ASSERT_TRUE(ok);
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.getOption0(), 9);
}

// A steady stream of strays from another port: the exchange still ends
// after its three sends, while the strays keep coming.
TEST(ControlExchange, StraysDoNotProlongTheWait)
{
    FakeSink sink;
    sink.setHook([](FakeSink&, const Receive&, const IPAddress&) { return true; });
    OpenControl ctl(setting());
    ASSERT_TRUE(ctl.open());
    const IPAddress local = ctl.localAddress();
    std::atomic<bool> done{false};
    std::atomic<bool> floodRanOut{false};
    std::thread flood([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done) {
            if (std::chrono::steady_clock::now() > end) {
                floodRanOut = true;
                return;
            }
            sink.replyFromOther(local, Send(CONTROLLIST_ANS, STATUS_OK, 1, 0, 0, 0));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    Receive answer;
    const bool ok = ctl.sendAck(sink.address, buildListRequest(0), CONTROLLIST_ANS, answer);
    done = true;
    flood.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(answer.empty());
    EXPECT_FALSE(floodRanOut);
    EXPECT_EQ(sink.countOnce(CONTROLLIST_REQ, 3), 3U);
}

TEST(ControlConnect, ListsEverySinkHeadFirstAndReadsTheValues)
{
    FakeSink head({PLAY, VOLUME});
    FakeSink empty;
    FakeSink tail({VOLUME, {7, 0, 0}});
    head.setItem(0, 0x000A0302ULL, STATUS_PLAY);
    head.setItem(1, 0xFFC4, 0);
    tail.setItem(0, 0xFDA8, 0);
    tail.setItem(1, 0x123456789ABCULL, 0x40);
    Find::StatusSort chain;
    chain.push_back(entry(head.address, true, false));
    chain.push_back(entry(empty.address, false, false));
    chain.push_back(entry(tail.address, false, true));
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.connect(chain));

    struct Want {
        const FakeSink* sink;
        uint16_t itemId, type;
        uint64_t value;
        uint16_t status;
        uint8_t volumeEnabled, playEnabled;
    };
    const std::vector<Want> want = {
        {&head, 1, CONTROL_PLAY, 0x000A0302ULL, STATUS_OK | STATUS_PLAY, 0, 1},
        {&head, 2, CONTROL_VOLUME, 0xFFC4, STATUS_OK, 0, 1},
        {&tail, 1, CONTROL_VOLUME, 0xFDA8, STATUS_OK, 1, 0},
        {&tail, 2, 7, 0x123456789ABCULL, STATUS_OK | 0x40, 1, 0},
    };
    const std::vector<Control::StatusSt>& items = ctl.getItems();
    ASSERT_EQ(items.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i].sinkAddress, want[i].sink->address);
        EXPECT_EQ(items[i].itemId, want[i].itemId);
        EXPECT_EQ(items[i].type, want[i].type);
        EXPECT_EQ(items[i].value, want[i].value);
        EXPECT_EQ(items[i].status, want[i].status);
        EXPECT_EQ(items[i].volumeEnabled, want[i].volumeEnabled);
        EXPECT_EQ(items[i].playEnabled, want[i].playEnabled);
    }
    // The sink without items was still announced and asked.
    EXPECT_EQ(empty.count(CONTROLNAME_REQ), 1U);
    EXPECT_EQ(empty.count(CONTROLLIST_REQ), 1U);

    // The name request: host name as payload, id in the option.
    const std::vector<Request> seen = head.requests();
    ASSERT_FALSE(seen.empty());
    std::string name;
    seen[0].bytes.get_str(name);
    EXPECT_EQ(seen[0].bytes.getMessage(), CONTROLNAME_REQ);
    EXPECT_EQ(seen[0].bytes.getStatus(), STATUS_OK);
    EXPECT_EQ(seen[0].bytes.getOption(), ~uint64_t{0});
    EXPECT_EQ(name, "Alsa Host Control");

    short volume = 1;
    ASSERT_TRUE(ctl.getVolume(volume));
    EXPECT_EQ(volume, -600);  // the tail's item, not the head's
    bool playing = false;
    ASSERT_TRUE(ctl.getPlay(playing));
    EXPECT_TRUE(playing);
    // Value bits 16-47 are the format's bits 32-63.
    EXPECT_EQ(static_cast<uint64_t>(ctl.getPlayFormat()), 0x000A00000302ULL);
    head.setItem(0, 0, 0);
    ASSERT_TRUE(ctl.update());
    ASSERT_TRUE(ctl.getPlay(playing));
    EXPECT_FALSE(playing);
}

// A round trip longer than one send's wait: every request is sent twice and
// answered twice. The second answer, still on its way when the exchange took
// the first, must not answer the next request (the count's answer taken for
// item 1's type, item 1's value for item 2's).
TEST(ControlConnect, SlowLinkAnswersEachSendOnce)
{
    FakeSink sink({PLAY, VOLUME});
    sink.setItem(0, 0x000A0302ULL, STATUS_PLAY);
    sink.setItem(1, 0xFFC4, 0);
    sink.delayAnswers(std::chrono::milliseconds(13));
    Find::StatusSort chain;
    chain.push_back(entry(sink.address, true, true));
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.connect(chain));
    const std::vector<Control::StatusSt>& items = ctl.getItems();
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(items[0].type, CONTROL_PLAY);
    EXPECT_EQ(items[0].value, 0x000A0302ULL);
    EXPECT_EQ(items[1].type, CONTROL_VOLUME);
    EXPECT_EQ(items[1].value, 0xFFC4U);
    ASSERT_TRUE(ctl.setVolume(-600));
    EXPECT_EQ(static_cast<uint16_t>(sink.item(1).value), 0xFDA8U);
    short volume = 0;
    ASSERT_TRUE(ctl.getVolume(volume));
    EXPECT_EQ(volume, -600);
}

TEST(ControlConnect, RefusedNameStillListsTheItems)
{
    FakeSink sink({VOLUME});
    sink.setHook([](FakeSink& s, const Receive& r, const IPAddress& f) {
        if (r.getMessage() == CONTROLNAME_REQ) {
            s.reply(f, Send(CONTROLNAME_ANS, 0));
            return true;
        }
        return false;
    });
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.connect(sink.address));
    EXPECT_EQ(ctl.getItems().size(), 1U);
    EXPECT_EQ(sink.count(CONTROLNAME_REQ), 1U);
}

// A silent sink: the unanswered name passes, the count request fails
// after three sends, and nothing is listed.
TEST(ControlConnect, SilentSinkFailsAtTheCount)
{
    FakeSink sink({VOLUME});
    sink.setHook([](FakeSink&, const Receive&, const IPAddress&) { return true; });
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    EXPECT_FALSE(ctl.connect(sink.address));
    EXPECT_EQ(sink.count(CONTROLNAME_REQ), 3U);
    EXPECT_EQ(sink.countOnce(CONTROLLIST_REQ, 3), 3U);
    EXPECT_EQ(sink.requests().size(), 6U);
    EXPECT_TRUE(ctl.getItems().empty());
}

// Whatever step fails, no part of the chain stays behind, so a later
// setVolume sends nothing (never full level to a head whose tail is gone).
TEST(ControlConnect, FailureLeavesNoItems)
{
    struct Case {
        const char* what;
        MessageID request;
        uint16_t option0;  // of the request the tail does not answer
    };
    const std::vector<Case> cases = {
        {"count", CONTROLLIST_REQ, 0},
        {"second item", CONTROLLIST_REQ, 2},
        {"value of the second item", CONTROLVALUE_REQ, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSink head({VOLUME});
        FakeSink tail({VOLUME, VOLUME});
        tail.setHook([&](FakeSink&, const Receive& r, const IPAddress&) {
            return r.getMessage() == c.request && r.getOption0() == c.option0;
        });
        Find::StatusSort chain;
        chain.push_back(entry(head.address, true, false));
        chain.push_back(entry(tail.address, false, true));
        Control ctl(setting());
        ASSERT_TRUE(ctl.open());
        EXPECT_FALSE(ctl.connect(chain));
        EXPECT_TRUE(ctl.getItems().empty());
        EXPECT_TRUE(ctl.setVolume(-600));
        EXPECT_EQ(head.count(CONTROLVALUE_REQ), c.request == CONTROLVALUE_REQ ? 1U : 0U);  // only the read
        short volume = 5;
        EXPECT_FALSE(ctl.getVolume(volume));
        EXPECT_EQ(volume, 5);
    }
}

TEST(ControlConnect, EmptyChainConnectsWithoutItems)
{
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    EXPECT_TRUE(ctl.connect(Find::StatusSort()));
    EXPECT_TRUE(ctl.getItems().empty());
    EXPECT_TRUE(ctl.update());
}

// A host name whose length word would wrap is refused before anything
// goes out, and connect fails without items.
TEST(ControlConnect, OverlongHostNameSendsNothing)
{
    FakeSink sink({VOLUME});
    testlog::start(3);
    Control ctl(setting(std::string(MAX_PAYLOAD + 1, 'h')));
    ASSERT_TRUE(ctl.open());
    EXPECT_FALSE(ctl.connect(sink.address));
    EXPECT_TRUE(ctl.getItems().empty());
    EXPECT_TRUE(testwait::waitFor([] { return testlog::count("control host name too long:65513") == 1; },
                                  std::chrono::milliseconds(2000)));
    EXPECT_TRUE(sink.requests().empty());
}

// The full count range: 65535 items end the listing (a 16-bit counter
// would wrap to item 0 and never end). Items past 32767 are listed, but no
// value request goes for them: bit 15 would make a read a write.
TEST(ExhaustiveControl, LargestItemCountEnds)
{
    std::atomic<bool> askedZeroAgain{false};
    std::atomic<int> countAsked{0};
    // Some of the 100,000 answers come late on a loaded machine. A request
    // sent again right away is such a resend: the first answer is still on
    // its way (nothing is lost on ::1), and a second one would come after
    // the exchange and answer the next request. Hooks run one at a time.
    std::vector<uint8_t> previous;
    FakeSink sink(std::vector<FakeSink::Item>(65535, {3, 0, 0}));  // after what its hook uses
    sink.setHook([&](FakeSink&, const Receive& r, const IPAddress&) {
        std::vector<uint8_t> bytes(r.begin(), r.end());
        const bool resend = bytes == previous;
        previous = std::move(bytes);
        if (resend) {
            return true;
        }
        if (r.getMessage() == CONTROLLIST_REQ && r.getOption0() == 0 && countAsked++ > 0) {
            askedZeroAgain = true;
            return true;  // silent, so a wrapped loop fails rather than runs on
        }
        return false;
    });
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    EXPECT_TRUE(ctl.connect(sink.address));
    EXPECT_FALSE(askedZeroAgain);
    ASSERT_EQ(ctl.getItems().size(), 65535U);
    EXPECT_EQ(ctl.getItems().back().itemId, 65535);
    std::vector<bool> read(32768, false);
    for (const Request& r : sink.requests()) {
        if (r.bytes.getMessage() == CONTROLVALUE_REQ) {
            ASSERT_EQ(r.bytes.getOption0() & CONTROL_WRITE, 0);
            read[r.bytes.getOption0()] = true;
        }
    }
    EXPECT_EQ(std::count(read.begin() + 1, read.end(), true), 32767);
    EXPECT_FALSE(ctl.setValue(32767, 0));  // item 32768
}

// update stops at an answer that names another item: the items before it
// are refreshed, the rest keep their values.
TEST(ControlUpdate, AnswerForAnotherItemStopsIt)
{
    FakeSink sink({VOLUME, VOLUME, VOLUME});
    for (size_t i = 0; i < 3; ++i) {
        sink.setItem(i, 10 + i, 0);
    }
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.connect(sink.address));
    for (size_t i = 0; i < 3; ++i) {
        sink.setItem(i, 20 + i, 0);
    }
    sink.setHook([](FakeSink& s, const Receive& r, const IPAddress& f) {
        if (r.getMessage() == CONTROLVALUE_REQ && r.getOption0() == 2) {
            s.reply(f, Send(CONTROLVALUE_ANS, STATUS_OK, static_cast<unsigned long>(3 | (99UL << 16))));
            return true;
        }
        return false;
    });
    EXPECT_FALSE(ctl.update());
    const std::vector<Control::StatusSt>& items = ctl.getItems();
    EXPECT_EQ(items[0].value, 20U);
    EXPECT_EQ(items[1].value, 11U);
    EXPECT_EQ(items[2].value, 12U);
    EXPECT_EQ(sink.count(CONTROLVALUE_REQ), 3U + 2U);  // item 3 not asked again
}

// Two sinks with one volume item each: the tail takes the volume first,
// then the head full level; a failed first write stops there.
TEST(ControlVolume, ChainTailFirstHeadFullLevel)
{
    for (const bool tailFails : {false, true}) {
        SCOPED_TRACE(tailFails);
        FakeSink head({VOLUME});
        FakeSink tail({PLAY, VOLUME});
        head.setItem(0, 0xFF00, 0);
        Find::StatusSort chain;
        chain.push_back(entry(head.address, true, false));
        chain.push_back(entry(tail.address, false, true));
        Control ctl(setting());
        ASSERT_TRUE(ctl.open());
        ASSERT_TRUE(ctl.connect(chain));
        std::atomic<int> order{0};
        std::atomic<int> tailAt{-1};
        std::atomic<int> headAt{-1};
        tail.setHook([&](FakeSink&, const Receive& r, const IPAddress&) {
            if (r.getMessage() == CONTROLVALUE_REQ && (r.getOption0() & CONTROL_WRITE) != 0) {
                tailAt = order++;
                return tailFails;
            }
            return false;
        });
        head.setHook([&](FakeSink&, const Receive& r, const IPAddress&) {
            if (r.getMessage() == CONTROLVALUE_REQ && (r.getOption0() & CONTROL_WRITE) != 0) {
                headAt = order++;
            }
            return false;
        });
        const bool set = ctl.setVolume(-600);
        if (tailFails) {
            EXPECT_FALSE(set);
            EXPECT_EQ(head.count(CONTROLVALUE_REQ), 1U);  // its read only
            EXPECT_EQ(headAt, -1);
            continue;
        }
        ASSERT_TRUE(set);
        EXPECT_EQ(tailAt, 0);
        EXPECT_EQ(headAt, 1);
        const std::vector<Request> t = tail.requests();
        const Receive& write = t.back().bytes;
        EXPECT_EQ(write.getOption0(), 0x8002);
        EXPECT_EQ(write.getOption1(), 0xFDA8);
        EXPECT_EQ(write.getOption2(), 0xFFFF);
        EXPECT_EQ(write.getOption3(), 0xFFFF);
        EXPECT_EQ(tail.count(CONTROLVALUE_REQ), 2U + 1U);  // the play item is not written
        const std::vector<Request> h = head.requests();
        EXPECT_EQ(h.back().bytes.getOption(), 0x8001U);
        EXPECT_EQ(head.item(0).value, 0U);
        short volume = 0;
        ASSERT_TRUE(ctl.getVolume(volume));
        EXPECT_EQ(volume, -600);
        EXPECT_EQ(ctl.getItems()[0].value, 0U);
    }
}

// The volume read back is what the sink answered, e.g. a clamped value.
TEST(ControlVolume, CachesTheSinksAnswer)
{
    FakeSink sink({VOLUME});
    sink.setHook([](FakeSink& s, const Receive& r, const IPAddress& f) {
        if (r.getMessage() == CONTROLVALUE_REQ && (r.getOption0() & CONTROL_WRITE) != 0) {
            s.reply(f, Send(CONTROLVALUE_ANS, STATUS_OK, static_cast<unsigned long>(1 | (0xE890UL << 16))));
            return true;
        }
        return false;
    });
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.connect(sink.address));
    ASSERT_TRUE(ctl.setVolume(-7000));
    short volume = 0;
    ASSERT_TRUE(ctl.getVolume(volume));
    EXPECT_EQ(volume, -6000);
}

TEST(ControlVolume, NothingToWriteSendsNothing)
{
    FakeSink sink({PLAY, {9, 0, 0}});
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    EXPECT_TRUE(ctl.setVolume(-600));  // no items at all
    ASSERT_TRUE(ctl.connect(sink.address));
    const size_t before = sink.requests().size();
    EXPECT_TRUE(ctl.setVolume(-600));
    EXPECT_EQ(sink.requests().size(), before);
    short volume = 3;
    EXPECT_FALSE(ctl.getVolume(volume));
    EXPECT_EQ(volume, 3);
}

// connect(address) makes the sink the tail only: its volume item takes the
// volume and no item reports play state.
TEST(ControlVolume, SingleSinkIsTailWithoutPlay)
{
    FakeSink sink({PLAY, VOLUME, VOLUME});
    sink.setItem(0, 0x302, STATUS_PLAY);
    sink.setItem(1, 0xFFF6, 0);
    sink.setItem(2, 0xFF00, 0);
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.connect(sink.address));
    bool playing = false;
    EXPECT_FALSE(ctl.getPlay(playing));
    EXPECT_TRUE(playing);
    EXPECT_EQ(static_cast<uint64_t>(ctl.getPlayFormat()), 0U);
    short volume = 0;
    ASSERT_TRUE(ctl.getVolume(volume));
    EXPECT_EQ(volume, -10);
}

TEST(ControlValue, IndexOutsideTheItemsSendsNothing)
{
    FakeSink sink({VOLUME, VOLUME});
    Control ctl(setting());
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.connect(sink.address));
    const size_t before = sink.requests().size();
    EXPECT_FALSE(ctl.setValue(-1, 5));
    EXPECT_FALSE(ctl.setValue(2, 5));
    EXPECT_FALSE(ctl.setValue(32767, 5));
    EXPECT_EQ(sink.requests().size(), before);
    ASSERT_TRUE(ctl.setValue(1, 0x1234));
    EXPECT_EQ(sink.item(1).value, 0x1234U);
    EXPECT_EQ(ctl.getItems()[1].value, 0x1234U);
}
