// driver-standin: runs a command as if the companion sound-card driver were
// loaded. The command gets a private /dev whose control and card nodes are
// plain files in --dir; its driver ioctls are trapped by a seccomp filter
// and answered here, over the filter's user-notification listener.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <linux/audit.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bridge/BridgeIoctl.h"
#include "bridge/BridgeMemHeader.h"
#include "testbed/driver/DriverEvents.h"
#include "testbed/driver/DriverStandin.h"

namespace {

constexpr const char* kUsage =
    "usage: driver-standin --dir DIR [--fail-init] [--create-result N[@K]] [--no-card-node K]\n"
    "                      [--wakeup-fail-after K] [--notify-fail-after K] [--hold-create]\n"
    "                      [--hold-notify] [--no-wait-killable] -- COMMAND [ARG]...\n"
    "  --fail-init             INIT answers -1\n"
    "  --create-result N[@K]   every CREATE (only the K-th with @K) answers N: -1, 255 or 256\n"
    "  --no-card-node K        the K-th CREATE makes its card without a card node: opening it fails\n"
    "  --wakeup-fail-after K   on each card, WAKEUP answers -1 after the first K\n"
    "  --notify-fail-after K   on each card, NOTIFY answers -1 after the first K\n"
    "  --hold-create           the first CREATE's answer waits while the file create-held is there\n"
    "  --hold-notify           the first NOTIFY's answer waits while the file notify-held is there\n"
    "  --no-wait-killable      a signal may interrupt (and restart) a request already taken\n";

// Cards 0..255 are addressable; 256 exists only as a faulty CREATE answer.
constexpr int kCardSlots = 257;
constexpr uint64_t kCreateMaxBytes = uint64_t{1} << 31;

struct Options {
    std::string dir;
    bool failInit = false;
    bool createFault = false;
    long createResult = 0;
    long createFaultAt = 0;  // 0: every CREATE
    long wakeupFailAfter = -1;
    long notifyFailAfter = -1;
    long noNodeAt = 0;  // 0: every CREATE makes its node
    bool holdCreate = false;
    bool holdNotify = false;
    bool waitKillable = true;
    std::vector<char*> command;
};

void warn(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::fputs("driver-standin: ", stderr);
    std::vfprintf(stderr, format, ap);
    std::fputc('\n', stderr);
    va_end(ap);
}

[[noreturn]] void usage(const char* message)
{
    warn("%s", message);
    std::fputs(kUsage, stderr);
    std::exit(2);
}

bool parseLong(const char* text, long& out)
{
    errno = 0;
    char* end = nullptr;
    out = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

Options parseOptions(int argc, char** argv)
{
    Options o;
    int i = 1;
    auto value = [&](const char* name) -> const char* {
        if (i + 1 >= argc) {
            usage((std::string(name) + " needs a value").c_str());
        }
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--dir") {
            o.dir = value("--dir");
        } else if (a == "--fail-init") {
            o.failInit = true;
        } else if (a == "--create-result") {
            std::string v = value("--create-result");
            const auto at = v.find('@');
            if (at != std::string::npos) {
                if (!parseLong(v.substr(at + 1).c_str(), o.createFaultAt) || o.createFaultAt < 1) {
                    usage("--create-result N@K needs K >= 1");
                }
                v = v.substr(0, at);
            }
            if (!parseLong(v.c_str(), o.createResult) ||
                (o.createResult != -1 && o.createResult != 255 && o.createResult != 256)) {
                usage("--create-result takes -1, 255 or 256");
            }
            o.createFault = true;
        } else if (a == "--wakeup-fail-after") {
            if (!parseLong(value("--wakeup-fail-after"), o.wakeupFailAfter) || o.wakeupFailAfter < 0) {
                usage("--wakeup-fail-after needs a count >= 0");
            }
        } else if (a == "--notify-fail-after") {
            if (!parseLong(value("--notify-fail-after"), o.notifyFailAfter) || o.notifyFailAfter < 0) {
                usage("--notify-fail-after needs a count >= 0");
            }
        } else if (a == "--no-card-node") {
            if (!parseLong(value("--no-card-node"), o.noNodeAt) || o.noNodeAt < 1) {
                usage("--no-card-node needs K >= 1");
            }
        } else if (a == "--hold-create") {
            o.holdCreate = true;
        } else if (a == "--hold-notify") {
            o.holdNotify = true;
        } else if (a == "--no-wait-killable") {
            o.waitKillable = false;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (!a.empty() && a[0] == '-') {
            usage(("unknown option " + a).c_str());
        } else {
            break;
        }
    }
    for (; i < argc; ++i) {
        o.command.push_back(argv[i]);
    }
    o.command.push_back(nullptr);
    if (o.dir.empty()) {
        usage("--dir is required");
    }
    if (o.command.size() < 2) {
        usage("no command");
    }
    return o;
}

// ---- the child's side -------------------------------------------------------

[[noreturn]] void childFail(const char* what)
{
    warn("%s: %s", what, std::strerror(errno));
    _exit(127);
}

// Devices the command keeps from the real /dev, cloned before the tmpfs
// covers it, then moved onto the tmpfs.
struct KeptNode {
    const char* name;
    bool directory;
    int tree = -1;
};

void buildDev(const std::string& dir)
{
    if (unshare(CLONE_NEWNS) != 0) {
        childFail("unshare(CLONE_NEWNS)");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        childFail("making / private");
    }
    KeptNode kept[] = {{"null", false}, {"zero", false}, {"urandom", false}, {"pts", true}, {"shm", true}};
    for (auto& k : kept) {
        const std::string path = std::string("/dev/") + k.name;
        k.tree = open_tree(AT_FDCWD, path.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
        if (k.tree < 0) {
            warn("/dev/%s not kept: %s", k.name, std::strerror(errno));
        }
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=1m") != 0) {
        childFail("mounting a tmpfs on /dev");
    }
    for (auto& k : kept) {
        if (k.tree < 0) {
            continue;
        }
        const std::string path = std::string("/dev/") + k.name;
        const int made = k.directory ? mkdir(path.c_str(), 0755) : close(open(path.c_str(), O_CREAT | O_WRONLY, 0644));
        if (made != 0 || move_mount(k.tree, "", AT_FDCWD, path.c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0) {
            childFail(("binding /dev/" + std::string(k.name)).c_str());
        }
        close(k.tree);
    }
    const std::pair<const char*, const char*> links[] = {{"/proc/self/fd", "/dev/fd"},
                                                         {"/proc/self/fd/0", "/dev/stdin"},
                                                         {"/proc/self/fd/1", "/dev/stdout"},
                                                         {"/proc/self/fd/2", "/dev/stderr"},
                                                         {"pts/ptmx", "/dev/ptmx"}};
    for (const auto& [target, name] : links) {
        if (symlink(target, name) != 0) {
            childFail(name);
        }
    }
    // The nodes point into the directory, so cards made later appear at once.
    const std::string control = dir + "/" + testbed::kDriverControlFile;
    if (symlink(control.c_str(), QUORVIN::BRIDGE_CONTROL_NODE) != 0) {
        childFail(QUORVIN::BRIDGE_CONTROL_NODE);
    }
    for (int n = 0; n < kCardSlots; ++n) {
        const std::string node = QUORVIN::bridgeCardNode(n);
        if (symlink(testbed::driverCardFile(dir, n).c_str(), node.c_str()) != 0) {
            childFail(node.c_str());
        }
    }
}

int installFilter(bool& waitKillable)
{
    // ioctl(fd, request, arg): the kernel takes the request as 32 bits.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 3, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xFFFFFF00u),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, QUORVIN::BRIDGE_IOCTL_BASE, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        childFail("PR_SET_NO_NEW_PRIVS");
    }
    unsigned long flags = SECCOMP_FILTER_FLAG_NEW_LISTENER;
    if (waitKillable) {
        const long fd = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                                flags | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV, &prog);
        if (fd >= 0) {
            return static_cast<int>(fd);
        }
        if (errno != EINVAL) {
            childFail("installing the seccomp filter");
        }
        warn("this kernel lacks SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV: a signal during a trapped request "
             "restarts it, and a CREATE may make two cards");
        waitKillable = false;
    }
    const long fd = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &prog);
    if (fd < 0) {
        childFail("installing the seccomp filter");
    }
    return static_cast<int>(fd);
}

void sendFd(int sock, int fd)
{
    char data = 'L';
    iovec iov{&data, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    if (sendmsg(sock, &msg, MSG_NOSIGNAL) != 1) {
        childFail("passing the listener");
    }
}

[[noreturn]] void runChild(const Options& o, int sock, const sigset_t& oldMask, pid_t launcher)
{
    // The command must not outlive a launcher that dies without forwarding.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != launcher) {
        _exit(127);
    }
    buildDev(o.dir);
    bool waitKillable = o.waitKillable;
    const int listener = installFilter(waitKillable);
    sendFd(sock, listener);
    close(listener);
    close(sock);
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    execvp(o.command[0], o.command.data());
    warn("cannot run %s: %s", o.command[0], std::strerror(errno));
    _exit(127);
}

// ---- the launcher's side ----------------------------------------------------

int receiveFd(int sock)
{
    char data = 0;
    iovec iov{&data, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        return -1;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
            return fd;
        }
    }
    return -1;
}

void bump(uint32_t& counter)
{
    __atomic_fetch_add(&counter, 1, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &counter, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

uint32_t loadHeaderWord(const unsigned char* map, uint64_t offset)
{
    if (offset % alignof(uint32_t) == 0) {
        return __atomic_load_n(reinterpret_cast<const uint32_t*>(map + offset), __ATOMIC_ACQUIRE);
    }
    uint32_t v;
    std::memcpy(&v, map + offset, sizeof(v));
    return v;
}

struct Card {
    bool live = false;
    unsigned char* map = nullptr;
    uint64_t ringBytes = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    long wakeups = 0;
    long notifies = 0;
};

struct Notification {
    seccomp_notif* req = nullptr;
    seccomp_notif_resp* resp = nullptr;
};

class Driver {
public:
    Driver(const Options& options, int listener) : o(options), listener(listener) {}

    bool start()
    {
        clock_gettime(CLOCK_MONOTONIC, &started);
        mkdir(o.dir.c_str(), 0755);
        const std::string control = o.dir + "/" + testbed::kDriverControlFile;
        const int c = open(control.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        struct stat st {};
        if (c < 0 || fstat(c, &st) != 0) {
            warn("cannot make %s: %s", control.c_str(), std::strerror(errno));
            return false;
        }
        close(c);
        controlDev = st.st_dev;
        controlIno = st.st_ino;
        const std::string journalPath = o.dir + "/" + testbed::kDriverJournalFile;
        journal = open(journalPath.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_APPEND | O_CLOEXEC, 0644);
        if (journal < 0) {
            warn("cannot make %s: %s", journalPath.c_str(), std::strerror(errno));
            return false;
        }
        const std::string eventsPath = o.dir + "/" + testbed::kDriverEventsFile;
        const int e = open(eventsPath.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0644);
        if (e < 0 || ftruncate(e, sizeof(testbed::DriverEvents)) != 0) {
            warn("cannot make %s: %s", eventsPath.c_str(), std::strerror(errno));
            return false;
        }
        void* m = mmap(nullptr, sizeof(testbed::DriverEvents), PROT_READ | PROT_WRITE, MAP_SHARED, e, 0);
        close(e);
        if (m == MAP_FAILED) {
            warn("cannot map %s: %s", eventsPath.c_str(), std::strerror(errno));
            return false;
        }
        events = static_cast<testbed::DriverEvents*>(m);
        events->version = 1;
        // Readers take the block once the magic is there.
        __atomic_store_n(&events->magic, testbed::DriverEvents::kMagic, __ATOMIC_RELEASE);
        return true;
    }

    void setListener(int fd) { listener = fd; }

    // One notification from the listener.
    void receive()
    {
        std::vector<unsigned char> reqBuf(reqSize(), 0);
        auto* req = reinterpret_cast<seccomp_notif*>(reqBuf.data());
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, req) != 0) {
            // The caller died meanwhile, or a signal came in.
            return;
        }
        std::vector<unsigned char> respBuf(respSize(), 0);
        auto* resp = reinterpret_cast<seccomp_notif_resp*>(respBuf.data());
        resp->id = req->id;
        bool hold = false;
        if (!answer(*req, *resp, hold)) {
            return;
        }
        // Only the request chosen is held: the others, from the caller's
        // other threads, are answered meanwhile.
        if (hold) {
            held = std::move(respBuf);
            return;
        }
        respond(*resp);
    }

    // While a request is held: let it go once the test removed its hold file.
    bool holdPending() const { return !heldFile.empty(); }
    void checkHold()
    {
        if (heldFile.empty() || access(heldFile.c_str(), F_OK) == 0) {
            return;
        }
        heldFile.clear();
        respond(*reinterpret_cast<seccomp_notif_resp*>(held.data()));
        held.clear();
    }

private:
    size_t reqSize()
    {
        ensureSizes();
        return std::max<size_t>(sizes.seccomp_notif, sizeof(seccomp_notif));
    }
    size_t respSize()
    {
        ensureSizes();
        return std::max<size_t>(sizes.seccomp_notif_resp, sizeof(seccomp_notif_resp));
    }
    void ensureSizes()
    {
        if (sizes.seccomp_notif == 0 && syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0) {
            sizes.seccomp_notif = sizeof(seccomp_notif);
            sizes.seccomp_notif_resp = sizeof(seccomp_notif_resp);
        }
    }

    // The window in which a signal must not restart the request, or in
    // which a slow driver keeps the caller waiting. The hold file comes
    // before the journal line, so a waiter on the line finds it.
    void startHold(const char* file)
    {
        heldFile = o.dir + "/" + file;
        const int h = open(heldFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (h >= 0) {
            close(h);
        }
    }

    void respond(seccomp_notif_resp& resp)
    {
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp) != 0) {
            warn("an answer was lost (%s): the caller is gone", std::strerror(errno));
        }
    }

    bool idValid(uint64_t id) { return ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0; }

    enum class Node { Other, Control, Card };

    // The node behind the caller's descriptor: its path names it, its inode
    // tells a live node from one whose card was removed meanwhile.
    Node identify(const seccomp_notif& req, int& card, bool& stale)
    {
        const std::string fdPath = "/proc/" + std::to_string(req.pid) + "/fd/" +
                                   std::to_string(static_cast<int>(req.data.args[0]));
        char buf[PATH_MAX];
        const ssize_t n = readlink(fdPath.c_str(), buf, sizeof(buf) - 1);
        if (n <= 0) {
            return Node::Other;
        }
        std::string path(buf, static_cast<size_t>(n));
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
            path.resize(path.size() - deleted.size());
        }
        const std::string prefix = o.dir + "/" + testbed::kDriverControlFile;
        if (path.compare(0, prefix.size(), prefix) != 0) {
            return Node::Other;
        }
        struct stat st {};
        const bool statted = stat(fdPath.c_str(), &st) == 0;
        if (path.size() == prefix.size()) {
            stale = !statted || st.st_dev != controlDev || st.st_ino != controlIno;
            return Node::Control;
        }
        const std::string number = path.substr(prefix.size());
        if (number.size() < 2 || number.size() > 4 || number[0] != '_' ||
            number.find_first_not_of("0123456789", 1) != std::string::npos) {
            return Node::Other;
        }
        card = std::atoi(number.c_str() + 1);
        if (card >= kCardSlots) {
            return Node::Other;
        }
        const Card& c = cards[card];
        stale = !statted || !c.live || st.st_dev != c.dev || st.st_ino != c.ino;
        return Node::Card;
    }

    // Fills the answer; false when there is none to give (the caller is gone).
    bool answer(const seccomp_notif& req, seccomp_notif_resp& resp, bool& hold)
    {
        const uint32_t request = static_cast<uint32_t>(req.data.args[1]);
        const uint64_t arg = req.data.args[2];
        int card = -1;
        bool stale = false;
        const Node node = identify(req, card, stale);
        // What was read from /proc may belong to a recycled pid: only a
        // still-pending notification vouches for it.
        if (!idValid(req.id)) {
            return false;
        }
        if (node == Node::Other) {
            resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
            return true;
        }
        const Kind kind = classify(node, request, arg, card);
        Outcome out;
        const bool numbered = (request & ~0xFFu) == QUORVIN::BRIDGE_IOCTL_BASE;
        out.card = node == Node::Card ? card : numbered ? static_cast<int>(request & 0xFF) : -1;
        if (node == Node::Card && stale) {
            // Its card was removed under the open node.
            out.error = ENODEV;
        } else {
            carryOut(kind, arg, out);
        }
        testbed::JournalLine line;
        line.time = elapsed();
        line.request = kindName(kind);
        line.card = out.card;
        line.arg = arg;
        line.result = out.error ? -1 : out.result;
        line.hostStatus = out.hostStatus;
        line.hostReadPos = out.hostReadPos;
        if (!out.hostStatus && out.card >= 0 && out.card < kCardSlots && cards[out.card].map != nullptr) {
            const Card& c = cards[out.card];
            line.hostStatus = headerWord(c, offsetof(QUORVIN::BridgeMemHeader, hostStatus));
            line.hostReadPos = headerWord(c, offsetof(QUORVIN::BridgeMemHeader, hostReadPos));
        }
        resp.error = out.error ? -out.error : 0;
        resp.val = out.error ? 0 : out.result;
        // Carried out, but the answer waits, as a slow driver's would (one
        // answer at a time).
        if (out.error == 0 && heldFile.empty()) {
            if (kind == Kind::Create && o.holdCreate && !heldCreate) {
                heldCreate = hold = true;
                startHold(testbed::kDriverHoldFile);
            } else if (kind == Kind::Notify && o.holdNotify && !heldNotify) {
                heldNotify = hold = true;
                startHold(testbed::kDriverNotifyHoldFile);
            }
        }
        writeJournal(line);
        return true;
    }

    enum class Kind { Init, Create, Remove, Attach, Wakeup, Notify, Unknown };

    static const char* kindName(Kind k)
    {
        switch (k) {
        case Kind::Init: return "INIT";
        case Kind::Create: return "CREATE";
        case Kind::Remove: return "REMOVE";
        case Kind::Attach: return "ATTACH";
        case Kind::Wakeup: return "WAKEUP";
        case Kind::Notify: return "NOTIFY";
        case Kind::Unknown: break;
        }
        return "UNKNOWN";
    }

    // The request number and the argument together tell the requests apart:
    // 0x7800 is CREATE with a size and card 0's REMOVE with 0.
    static Kind classify(Node node, uint32_t request, uint64_t arg, int card)
    {
        const bool numbered = (request & ~0xFFu) == QUORVIN::BRIDGE_IOCTL_BASE;
        if (node == Node::Control) {
            if (request == QUORVIN::QUORVIN_BR_INIT) {
                return Kind::Init;
            }
            if (numbered && arg == QUORVIN::QUORVIN_BR_REMOVE_ARG) {
                return Kind::Remove;
            }
            return request == QUORVIN::QUORVIN_BR_CREATE ? Kind::Create : Kind::Unknown;
        }
        // A card node takes only requests that carry its own number.
        if (!numbered || static_cast<int>(request & 0xFF) != (card & 0xFF)) {
            return Kind::Unknown;
        }
        switch (arg) {
        case QUORVIN::QUORVIN_BR_ATTACH_ARG: return Kind::Attach;
        case QUORVIN::QUORVIN_BR_WAKEUP_ARG: return Kind::Wakeup;
        case QUORVIN::QUORVIN_BR_NOTIFY_ARG: return Kind::Notify;
        default: return Kind::Unknown;
        }
    }

    struct Outcome {
        int card = -1;
        int64_t result = 0;
        int error = 0;  // errno the caller gets, 0 = success
        std::optional<uint32_t> hostStatus;
        std::optional<uint32_t> hostReadPos;
    };

    // Counted per card, the first `after` succeed.
    static int refusal(long after, long& count) { return after >= 0 && ++count > after ? EIO : 0; }

    void carryOut(Kind kind, uint64_t arg, Outcome& out)
    {
        const bool counted = out.card >= 0 && out.card < testbed::DriverEvents::kCards;
        switch (kind) {
        case Kind::Init:
            out.error = o.failInit ? EIO : 0;
            bump(events->inits);
            break;
        case Kind::Create:
            out.card = create(arg, out.error);
            out.result = out.card;
            if (out.card >= 0 && out.card < testbed::DriverEvents::kCards) {
                bump(events->creates[out.card]);
            }
            break;
        case Kind::Remove:
            if (cards[out.card].map != nullptr) {
                // The journal shows the header as the card left it.
                const Card& c = cards[out.card];
                out.hostStatus = headerWord(c, offsetof(QUORVIN::BridgeMemHeader, hostStatus));
                out.hostReadPos = headerWord(c, offsetof(QUORVIN::BridgeMemHeader, hostReadPos));
            }
            remove(out.card);
            bump(events->removes[out.card]);
            break;
        case Kind::Attach:
            if (counted) {
                bump(events->attaches[out.card]);
            }
            break;
        case Kind::Wakeup:
            out.error = refusal(o.wakeupFailAfter, cards[out.card].wakeups);
            if (counted) {
                bump(events->wakeups[out.card]);
            }
            break;
        case Kind::Notify:
            out.error = refusal(o.notifyFailAfter, cards[out.card].notifies);
            if (counted) {
                bump(events->notifies[out.card]);
            }
            break;
        case Kind::Unknown:
            out.error = EINVAL;
            break;
        }
    }

    // The lowest free number, unless a fault says otherwise.
    int create(uint64_t ringBytes, int& error)
    {
        ++createCount;
        if (ringBytes > kCreateMaxBytes) {
            error = ENOMEM;
            return -1;
        }
        if (o.createFault && (o.createFaultAt == 0 || o.createFaultAt == createCount)) {
            if (o.createResult < 0) {
                error = ENOSPC;
                return -1;
            }
            const int n = static_cast<int>(o.createResult);
            if (!cards[n].live && !makeCard(n, ringBytes)) {
                error = ENOMEM;
                return -1;
            }
            return n;
        }
        const bool node = o.noNodeAt != createCount;
        for (int n = 0; n <= QUORVIN::BRIDGE_CARD_LAST; ++n) {
            if (!cards[n].live) {
                if (!makeCard(n, ringBytes, node)) {
                    error = ENOMEM;
                    return -1;
                }
                return n;
            }
        }
        error = ENOSPC;
        return -1;
    }

    // Without its node the card has a number and nothing to open or map,
    // as when a driver's node fails to appear.
    bool makeCard(int n, uint64_t ringBytes, bool node = true)
    {
        const std::string path = testbed::driverCardFile(o.dir, n);
        const uint64_t size = ringBytes + QUORVIN::BRIDGE_HEADER_SIZE;
        unlink(path.c_str());
        if (!node) {
            cards[n] = Card{};
            cards[n].live = true;
            cards[n].ringBytes = ringBytes;
            return true;
        }
        const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        struct stat st {};
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0 || fstat(fd, &st) != 0) {
            warn("cannot make %s: %s", path.c_str(), std::strerror(errno));
            if (fd >= 0) {
                close(fd);
                unlink(path.c_str());
            }
            return false;
        }
        void* m = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        if (m == MAP_FAILED) {
            warn("cannot map %s: %s", path.c_str(), std::strerror(errno));
            unlink(path.c_str());
            return false;
        }
        Card& c = cards[n];
        c = Card{};
        c.live = true;
        c.map = static_cast<unsigned char*>(m);
        c.ringBytes = ringBytes;
        c.dev = st.st_dev;
        c.ino = st.st_ino;
        return true;
    }

    // Idempotent: removing a card that is not there is no error.
    void remove(int n)
    {
        Card& c = cards[n];
        if (!c.live) {
            return;
        }
        if (c.map != nullptr) {
            munmap(c.map, c.ringBytes + QUORVIN::BRIDGE_HEADER_SIZE);
        }
        unlink(testbed::driverCardFile(o.dir, n).c_str());
        c = Card{};
    }

    static uint32_t headerWord(const Card& c, size_t field) { return loadHeaderWord(c.map, c.ringBytes + field); }

    double elapsed() const
    {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<double>(now.tv_sec - started.tv_sec) + (now.tv_nsec - started.tv_nsec) / 1e9;
    }

    void writeJournal(const testbed::JournalLine& line)
    {
        const std::string text = testbed::formatJournalLine(line) + "\n";
        // One write per line, so a reader never sees half of one in the middle.
        if (write(journal, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            warn("journal write failed: %s", std::strerror(errno));
        }
        bump(events->journal);
    }

    const Options& o;
    int listener;
    timespec started{};
    dev_t controlDev = 0;
    ino_t controlIno = 0;
    int journal = -1;
    testbed::DriverEvents* events = nullptr;
    std::array<Card, kCardSlots> cards{};
    long createCount = 0;
    seccomp_notif_sizes sizes{};
    bool heldCreate = false;
    bool heldNotify = false;
    std::string heldFile;  // empty: nothing held
    std::vector<unsigned char> held;
};

int exitStatus(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o = parseOptions(argc, argv);
    char resolved[PATH_MAX];
    mkdir(o.dir.c_str(), 0755);
    if (!realpath(o.dir.c_str(), resolved)) {
        warn("%s: %s", o.dir.c_str(), std::strerror(errno));
        return 2;
    }
    // The nodes in the command's /dev are links to this absolute directory.
    o.dir = resolved;

    Driver driver(o, -1);
    if (!driver.start()) {
        return 1;
    }

    sigset_t mask, oldMask;
    sigemptyset(&mask);
    for (int s : {SIGINT, SIGHUP, SIGTERM, SIGCHLD}) {
        sigaddset(&mask, s);
    }
    sigprocmask(SIG_BLOCK, &mask, &oldMask);
    const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (sigFd < 0) {
        warn("signalfd: %s", std::strerror(errno));
        return 1;
    }
    int sock[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sock) != 0) {
        warn("socketpair: %s", std::strerror(errno));
        return 1;
    }
    std::fflush(nullptr);
    const pid_t launcher = getpid();
    const pid_t child = fork();
    if (child < 0) {
        warn("fork: %s", std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        close(sock[0]);
        close(sigFd);
        runChild(o, sock[1], oldMask, launcher);
    }
    close(sock[1]);
    // No listener means the child failed before its exec: its status tells.
    int listener = receiveFd(sock[0]);
    close(sock[0]);
    driver.setListener(listener);

    int status = 0;
    bool running = true;
    while (running) {
        pollfd fds[2] = {{sigFd, POLLIN, 0}, {listener, POLLIN, 0}};
        const int n = poll(fds, listener >= 0 ? 2 : 1, driver.holdPending() ? 2 : -1);
        if (n < 0 && errno != EINTR) {
            warn("poll: %s", std::strerror(errno));
            break;
        }
        driver.checkHold();
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            if (read(sigFd, &si, sizeof(si)) == sizeof(si)) {
                if (si.ssi_signo == SIGCHLD) {
                    int st = 0;
                    const pid_t done = waitpid(child, &st, WNOHANG);
                    if (done == child) {
                        status = st;
                        running = false;
                    }
                } else {
                    kill(child, static_cast<int>(si.ssi_signo));
                }
            }
        }
        if (running && listener >= 0) {
            if (fds[1].revents & POLLIN) {
                driver.receive();
            } else if (fds[1].revents & (POLLHUP | POLLERR)) {
                // Every process under the filter is gone; the child's status follows.
                close(listener);
                listener = -1;
                driver.setListener(-1);
            }
        }
    }
    return exitStatus(status);
}
