// `sips` itself: a front that links only libc and hands its command to a warm engine
// process, which has the image libraries loaded already. Loading them costs a small
// conversion several times its own work. When no helper is running, or anything in the
// hand-over fails, it becomes the engine instead (and starts a helper for the next run),
// so the command always runs, with the same results either way.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "contract.h"
#include "warm/handover.h"

extern char** environ;

namespace {

using namespace sips::handover;
namespace contract = sips::contract;

// The signals someone may send to stop or tell the tool something; they go on to the job.
// Those the kernel raises for the process's own doing (SIGXFSZ, SIGSEGV, ...) arise in the
// job itself.
constexpr int kForwarded[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                              SIGALRM, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};
constexpr std::size_t kForwardedCount = sizeof kForwarded / sizeof kForwarded[0];

// The job's pidfd once it runs, and the last signal sent on that ends a process by default.
int g_job = -1;
volatile sig_atomic_t g_ending = 0;

bool isStop(int signal) {
    return signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

void sendToJob(int signal) {
    syscall(SYS_pidfd_send_signal, g_job, signal, nullptr, 0);
}

void forward(int signal) {
    const int saved = errno;
    if (!isStop(signal)) {
        if (signal != SIGCONT)
            g_ending = signal;
        sendToJob(signal);
        errno = saved;
        return;
    }
    // The job lives in the helper's session, whose process group no terminal stops, so it is
    // stopped outright; then this process stops as the signal's default would stop it, and
    // both go on together. Where the default stop does not happen (an orphaned process
    // group), the job goes on at once.
    sendToJob(SIGSTOP);
    struct sigaction plain = {}, mine;
    plain.sa_handler = SIG_DFL;
    sigaction(signal, &plain, &mine);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    raise(signal);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    sigprocmask(SIG_BLOCK, &just, nullptr);
    sigaction(signal, &mine, nullptr);
    sendToJob(SIGCONT);
    errno = saved;
}

// The caller's signal state, and the forwarding put in place once the job may run.
struct Signals {
    sigset_t callerMask;
    sigset_t ignored;
    sigset_t forwarded;
    struct sigaction previous[kForwardedCount];

    void read() {
        sigprocmask(SIG_SETMASK, nullptr, &callerMask);
        sigemptyset(&ignored);
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction action;
            if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
                sigaddset(&ignored, signal);
        }
        sigemptyset(&forwarded);
        for (int signal : kForwarded) {
            if (!sigismember(&ignored, signal))
                sigaddset(&forwarded, signal);
        }
    }

    // Held back only while the job is let go, which takes no wait; ignored ones stay
    // ignored, in the job too.
    void hold() {
        sigprocmask(SIG_BLOCK, &forwarded, nullptr);
        struct sigaction action = {};
        action.sa_handler = forward;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kForwardedCount; ++i) {
            if (sigismember(&forwarded, kForwarded[i]))
                sigaction(kForwarded[i], &action, &previous[i]);
        }
    }

    void release() { sigprocmask(SIG_SETMASK, &callerMask, nullptr); }

    // Back to the caller's state; a signal that came in meanwhile then acts as it would
    // have on the engine before it could do anything.
    void restore() {
        for (std::size_t i = 0; i < kForwardedCount; ++i) {
            if (sigismember(&forwarded, kForwarded[i]))
                sigaction(kForwarded[i], &previous[i], nullptr);
        }
        release();
    }
};

// The engine's path: beside this program.
bool enginePath(char* path, std::size_t size) {
    ssize_t length = readlink("/proc/self/exe", path, size - 1);
    if (length <= 0)
        return false;
    path[length] = '\0';
    char* slash = std::strrchr(path, '/');
    if (!slash || std::size_t(slash + 1 - path) + sizeof kEngineName > size)
        return false;
    std::strcpy(slash + 1, kEngineName);
    return true;
}

[[noreturn]] void runEngine(const char* engine, char** argv) {
    // The engine's own name would make it the helper.
    char plainName[] = "sips";
    if (std::strcmp(argv[0], kHelperName) == 0)
        argv[0] = plainName;
    execv(engine, argv);
    std::fprintf(stderr, "%scannot start the conversion engine: %s%s%s\n", contract::kErrorPrefix,
                 std::strerror(errno), contract::kPathSeparator, engine);
    _exit(contract::CannotStart);
}

// Starts a helper for later runs, detached from the caller: its own session, no
// descriptor of the caller's held open, default signals, nothing else inherited that it
// does not need.
void startHelper(const char* engine, const char* socket) {
    pid_t child = fork();
    if (child < 0)
        return;
    if (child == 0) {
        setsid();
        if (fork() != 0)
            _exit(0);
        close_range(0, ~0u, 0);
        int null = open("/dev/null", O_RDWR);
        if (null == 0) {
            dup2(0, 1);
            dup2(0, 2);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal = 1; signal < NSIG; ++signal)
            std::signal(signal, SIG_DFL);
        umask(077);
        if (chdir("/") != 0)
            _exit(1);
        execl(engine, kHelperName, socket, static_cast<char*>(nullptr));
        _exit(contract::CannotStart);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// A connection to the helper's socket; -1 with errno set when there is none to be had
// without waiting (EAGAIN: the helper has more waiting than it takes).
int connectTo(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool sendRequest(int connection, const Request& request, const int* fds, int fdCount,
                 const char* payload, Deadline deadline) {
    return sendWithDescriptors(connection, &request, sizeof request, fds, fdCount, deadline) &&
           writeFully(connection, payload, request.payloadSize, deadline);
}

// The payload: the caller's groups, its arguments, its whole environment.
char* buildPayload(Request& request, int argc, char** argv) {
    int groups = getgroups(0, nullptr);
    if (groups < 0)
        return nullptr;
    std::size_t size = std::size_t(groups) * sizeof(gid_t);
    for (int i = 0; i < argc; ++i)
        size += std::strlen(argv[i]) + 1;
    std::uint32_t envc = 0;
    for (char** entry = environ; *entry; ++entry, ++envc)
        size += std::strlen(*entry) + 1;
    if (size > kMaxPayload)
        return nullptr;
    char* payload = static_cast<char*>(std::malloc(size + 1));
    if (!payload)
        return nullptr;
    char* end = payload;
    if (getgroups(groups, reinterpret_cast<gid_t*>(end)) != groups) {
        std::free(payload);
        return nullptr;
    }
    end += std::size_t(groups) * sizeof(gid_t);
    for (int i = 0; i < argc; ++i)
        end = stpcpy(end, argv[i]) + 1;
    for (char** entry = environ; *entry; ++entry)
        end = stpcpy(end, *entry) + 1;
    request.groups = std::uint32_t(groups);
    request.argc = std::uint32_t(argc);
    request.envc = envc;
    request.payloadSize = std::uint32_t(end - payload);
    return payload;
}

bool readProcessState(Request& request) {
    request.version = kVersion;
    request.umask = umask(0);
    umask(request.umask);
    errno = 0;
    request.niceness = getpriority(PRIO_PROCESS, 0);
    if (errno != 0)
        return false;
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        if (getrlimit(__rlimit_resource(resource), &request.limits[resource]) != 0)
            return false;
    }
    request.schedulingPolicy = sched_getscheduler(0);
    request.ioPriority = int(syscall(SYS_ioprio_get, kIoPriorityOfProcess, 0));
    return request.schedulingPolicy >= 0 && request.ioPriority >= 0 &&
           sched_getparam(0, &request.scheduling) == 0 &&
           sched_getaffinity(0, sizeof request.cpus, &request.cpus) == 0;
}

// Dies the way the job died, so the caller sees the same status.
[[noreturn]] void endAs(int status) {
    if (WIFEXITED(status))
        _exit(WEXITSTATUS(status));
    int signal = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
    // The job has left its own core dump, if any was due.
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    std::signal(signal, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(signal);
    _exit(128 + signal);
}

// What /proc/self/status says on `key`'s line ("NoNewPrivs:\t0" gives "0"); empty when
// it cannot be read.
bool statusLine(const char* status, const char* key, char* value, std::size_t size) {
    const char* line = std::strstr(status, key);
    if (!line)
        return false;
    line += std::strlen(key);
    line += std::strspn(line, " \t");
    std::size_t length = std::strcspn(line, "\n");
    if (length >= size)
        return false;
    std::memcpy(value, line, length);
    value[length] = '\0';
    return true;
}

// A caller that may be confined in ways no other process can read (a Landlock domain, a
// system call filter) must not have its command run by a process outside them. Either needs
// the bar on gaining privileges, or a capability: root can set them up without it.
bool mayBeConfined() {
    if (getuid() == 0 || geteuid() == 0)
        return true;
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    char status[8192];
    ssize_t got = ::read(fd, status, sizeof status - 1);
    close(fd);
    if (got <= 0)
        return true;
    status[got] = '\0';
    char noNewPrivs[8], seccomp[8], permitted[32];
    return !statusLine(status, "\nNoNewPrivs:", noNewPrivs, sizeof noNewPrivs) ||
           !statusLine(status, "\nSeccomp:", seccomp, sizeof seccomp) ||
           !statusLine(status, "\nCapPrm:", permitted, sizeof permitted) ||
           std::strcmp(noNewPrivs, "0") != 0 || std::strcmp(seccomp, "0") != 0 ||
           std::strspn(permitted, "0") != std::strlen(permitted);
}

// A name in /dev or /proc. Names that lead there by other ways are found by resolving them
// and the folder they name a file in.
bool isProcessPath(const char* path) {
    return std::strncmp(path, "/dev/", 5) == 0 || std::strncmp(path, "/proc/", 6) == 0;
}

// Whether `path` is reached through a descriptor (/proc/self/fd/N and the links that lead
// there, such as /dev/stdin), or is a pipe, a socket, a terminal or anything else that is
// not a file's name.
bool reachedThroughDescriptor(const char* path) {
    struct open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    int fd = int(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
    if (fd < 0)
        return errno != ENOENT && errno != ENOTDIR && errno != EACCES;
    char link[32], target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    close(fd);
    if (length <= 0)
        return true;
    target[length] = '\0';
    return target[0] != '/' || isProcessPath(target);
}

// Whether `path`, or the folder it names a file in, leads to something that only this process
// sees as the caller does: its own descriptors, /proc/self, a terminal of its session. The
// job is another process, in another session.
bool resolvesThroughThisProcess(const char* path) {
    if (isProcessPath(path) || reachedThroughDescriptor(path))
        return true;
    const char* slash = std::strrchr(path, '/');
    if (!slash || slash == path)
        return false;
    char folder[PATH_MAX];
    const std::size_t length = std::size_t(slash - path);
    if (length >= sizeof folder)
        return true;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    return reachedThroughDescriptor(folder);
}

// Whether the command could name a descriptor of the caller's, or a path that the job would
// resolve otherwise. Such a command runs in the engine itself.
bool namesOwnDescriptors(int argc, char** argv) {
    if (resolvesThroughThisProcess("."))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (resolvesThroughThisProcess(argv[i]))
            return true;
    }
    return false;
}

// Waits for the job's end and ends the same way. The job reports its end itself, or the
// helper does when the job died; only if both are gone is the end unknown.
[[noreturn]] void waitForJob(int connection) {
    pollfd watched[2] = {{connection, POLLIN, 0}, {g_job, POLLIN, 0}};
    int afterEnd = -1; // how long to wait for the report once the job has ended
    for (;;) {
        int got = poll(watched, watched[1].fd >= 0 ? 2 : 1, afterEnd);
        if (got < 0 && errno == EINTR)
            continue;
        if (got > 0 && watched[1].revents && !watched[0].revents) {
            watched[1].fd = -1;
            afterEnd = kHandOverMillis;
            continue;
        }
        Reply reply = {};
        if (got > 0 && readFully(connection, &reply, sizeof reply) &&
            reply.kind == ReplyKind::Finished)
            endAs(reply.status);
        break;
    }
    // A signal sent on explains the end, as it would have ended the engine.
    if (g_ending)
        endAs(g_ending);
    std::fprintf(stderr, "%sthe conversion's process ended without reporting how\n",
                 contract::kErrorPrefix);
    _exit(contract::Failed);
}

// Runs the command through a helper if one can take it; returns when it cannot, before
// anything of the command has been done.
void handOver(const char* engine, int argc, char** argv) {
    if (mayBeConfined() || namesOwnDescriptors(argc, argv))
        return;
    // The streams are looked at first: a descriptor opened here must not take the place
    // of one the caller had closed.
    int fds[4];
    int fdCount = 0;
    Request request = {};
    for (int stream = 0; stream < 3; ++stream) {
        if (fcntl(stream, F_GETFD) >= 0) {
            request.openStreams |= 1u << stream;
            fds[1 + fdCount++] = stream;
        }
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    char name[64], socket[sizeof(sockaddr_un::sun_path)], throughFolder[sizeof socket];
    int folder = openRuntimeFolder();
    if (folder < 0)
        return;
    bool named =
        socketName(engine, name, sizeof name) &&
        std::snprintf(socket, sizeof socket, "%s/%s", runtime, name) < int(sizeof socket) &&
        pathIn(folder, name, throughFolder, sizeof throughFolder);
    if (!named || !readProcessState(request)) {
        close(folder);
        return;
    }
    const Deadline deadline = Deadline::in(kHandOverMillis);
    int connection = connectTo(throughFolder);
    const int refused = errno;
    close(folder);
    if (connection < 0) {
        // A helper that is there but does not take connections is left alone.
        if (refused == ENOENT || refused == ECONNREFUSED)
            startHelper(engine, socket);
        return;
    }
    if (!peerIsSameUser(connection)) {
        close(connection);
        return;
    }
    fds[0] = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    char* payload = fds[0] >= 0 ? buildPayload(request, argc, argv) : nullptr;
    if (!payload) {
        close(connection);
        if (fds[0] >= 0)
            close(fds[0]);
        return;
    }

    Signals signals;
    signals.read();
    request.blocked = signals.callerMask;
    request.ignored = signals.ignored;

    // The caller's signals act on this process as they would on the engine until the job
    // runs: nothing is blocked while the helper is waited for.
    Reply reply = {};
    bool sent = sendRequest(connection, request, fds, fdCount + 1, payload, deadline);
    close(fds[0]);
    std::free(payload);
    const bool answered = sent && readFully(connection, &reply, sizeof reply, deadline);
    if (!answered || reply.kind != ReplyKind::Accepted) {
        close(connection);
        // A helper that went away meanwhile is replaced; one that declined leaves itself,
        // and one too slow to answer is left to itself.
        if (!answered && deadline.left() > 0)
            startHelper(engine, socket);
        return;
    }
    const int job = int(syscall(SYS_pidfd_open, pid_t(reply.status), 0));
    if (job < 0) {
        close(connection);
        return;
    }
    signals.hold();
    g_job = job;
    if (!writeFully(connection, &kGo, 1, deadline)) {
        // Closing the connection makes the job leave without having done anything.
        g_job = -1;
        close(job);
        close(connection);
        signals.restore();
        return;
    }
    signals.release();
    waitForJob(connection);
}

} // namespace

int main(int argc, char** argv) {
    char engine[PATH_MAX];
    if (!enginePath(engine, sizeof engine)) {
        std::fprintf(stderr, "%scannot find the conversion engine beside this program\n",
                     contract::kErrorPrefix);
        return contract::CannotStart;
    }
    if (argc > 0)
        handOver(engine, argc, argv);
    runEngine(engine, argv);
}
