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
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "handover.h"

extern char** environ;

namespace {

using namespace sips::handover;

// The signals someone may send to stop or tell the tool something; they go on to the job.
// Those the kernel raises for the process's own doing (SIGXFSZ, SIGSEGV, ...) arise in the
// job itself.
constexpr int kForwarded[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM};

int g_connection = -1;

void forward(int signal) {
    const unsigned char number = static_cast<unsigned char>(signal);
    int saved = errno;
    send(g_connection, &number, 1, MSG_NOSIGNAL);
    errno = saved;
}

// The caller's signal state while the front waits, and how to give it back.
struct Signals {
    sigset_t callerMask;
    sigset_t ignored;
    sigset_t forwarded;
    struct sigaction previous[sizeof kForwarded / sizeof kForwarded[0]];

    void read() {
        sigprocmask(SIG_SETMASK, nullptr, &callerMask);
        sigemptyset(&ignored);
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction action;
            if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
                sigaddset(&ignored, signal);
        }
    }

    // Held back until the job has been accepted, then sent on. Ignored ones stay ignored,
    // in the job too.
    void holdAndForward() {
        sigemptyset(&forwarded);
        for (int signal : kForwarded) {
            if (!sigismember(&ignored, signal))
                sigaddset(&forwarded, signal);
        }
        sigprocmask(SIG_BLOCK, &forwarded, nullptr);
        struct sigaction action = {};
        action.sa_handler = forward;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < sizeof kForwarded / sizeof kForwarded[0]; ++i) {
            if (sigismember(&forwarded, kForwarded[i]))
                sigaction(kForwarded[i], &action, &previous[i]);
        }
    }

    void release() { sigprocmask(SIG_SETMASK, &callerMask, nullptr); }

    // Back to the caller's state; a signal that came in meanwhile then acts as it would
    // have on the engine before it could clean anything up.
    void restore() {
        for (std::size_t i = 0; i < sizeof kForwarded / sizeof kForwarded[0]; ++i) {
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
    std::fprintf(stderr, "Error: cannot start the conversion engine: %s: %s\n",
                 std::strerror(errno), engine);
    _exit(127);
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
        _exit(127);
    }
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int connectTo(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendRequest(int connection, const Request& request, const int* fds, int fdCount,
                 const char* payload) {
    return sendWithDescriptors(connection, &request, sizeof request, fds, fdCount) &&
           writeFully(connection, payload, request.payloadSize);
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

// Runs the command through a helper if one can take it; returns when it cannot, before
// anything of the command has been done.
void handOver(const char* engine, int argc, char** argv) {
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
    char socket[sizeof(sockaddr_un::sun_path)];
    if (!socketPath(engine, socket, sizeof socket) || !readProcessState(request))
        return;
    int connection = connectTo(socket);
    if (connection < 0) {
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
    g_connection = connection;
    signals.holdAndForward();

    Reply reply = {};
    bool sent = sendRequest(connection, request, fds, fdCount + 1, payload);
    close(fds[0]);
    std::free(payload);
    if (!sent || !readFully(connection, &reply, sizeof reply) ||
        reply.kind != ReplyKind::Accepted) {
        close(connection);
        signals.restore();
        // A helper that went away meanwhile is replaced; one that declined leaves itself.
        if (!sent || reply.kind != ReplyKind::Declined)
            startHelper(engine, socket);
        return;
    }
    signals.release();
    if (!readFully(connection, &reply, sizeof reply) || reply.kind != ReplyKind::Finished) {
        // The helper was killed under the job, which went with it.
        endAs(SIGKILL);
    }
    endAs(reply.status);
}

} // namespace

int main(int argc, char** argv) {
    char engine[PATH_MAX];
    if (!enginePath(engine, sizeof engine)) {
        std::fprintf(stderr, "Error: cannot find the conversion engine beside this program\n");
        return 127;
    }
    if (argc > 0)
        handOver(engine, argc, argv);
    runEngine(engine, argv);
}
