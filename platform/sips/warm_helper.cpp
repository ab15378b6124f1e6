#include "warm_helper.h"

#include "handover.h"
#include "modules.h"
#include "sips.h"

#include <vips/vips.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sips {
namespace {

using namespace handover;

// The exit status of a job that declined: no run of the engine ends with it.
constexpr int kDeclinedExit = 121;

volatile sig_atomic_t g_retire = 0;

void retire(int) {
    g_retire = 1;
}

// The environment entries that the dynamic linker, libc, GLib and the image library read
// as the process starts or the library starts, before a job could apply its caller's. A caller
// whose entries differ gets a process of its own instead.
std::vector<std::string> g_startEntries;

std::vector<std::string> startEntries(char** environment) {
    static const char* const kRead[] = {"LD_",
                                        "GLIBC_TUNABLES=",
                                        "MALLOC_",
                                        "G_DEBUG=",
                                        "G_SLICE=",
                                        "G_FILENAME_ENCODING=",
                                        "G_BROKEN_FILENAMES=",
                                        "TMPDIR=",
                                        "VIPS_",
                                        "IM_",
                                        "ORC_",
                                        "OMP_",
                                        "GOMP_"};
    std::vector<std::string> entries;
    for (char** entry = environment; *entry; ++entry) {
        for (const char* prefix : kRead) {
            if (std::strncmp(*entry, prefix, std::strlen(prefix)) == 0)
                entries.emplace_back(*entry);
        }
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

int threadCount() {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(tasks);
    return count;
}

struct Job {
    Request request = {};
    std::vector<char> payload;
    std::vector<int> fds; // the working folder, then the open streams
    struct ucred peer = {};
    std::vector<gid_t> groups;
    std::vector<char*> argv;
    std::vector<char*> environment;

    ~Job() {
        for (int fd : fds)
            close(fd);
    }

    void closeDescriptors() {
        for (int fd : fds)
            close(fd);
        fds.clear();
    }
};

void takeDescriptors(msghdr& message, Job& job) {
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char* data = CMSG_DATA(header);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, data + i * sizeof(int), sizeof fd);
            job.fds.push_back(fd);
        }
    }
}

// Splits the payload into its groups and strings; false when it is not what the header
// says.
bool unpack(Job& job) {
    const Request& request = job.request;
    std::size_t groupBytes = std::size_t(request.groups) * sizeof(gid_t);
    if (groupBytes > job.payload.size() || request.argc == 0)
        return false;
    job.groups.resize(request.groups);
    std::memcpy(job.groups.data(), job.payload.data(), groupBytes);
    char* next = job.payload.data() + groupBytes;
    char* end = job.payload.data() + job.payload.size();
    for (std::uint32_t i = 0; i < request.argc + request.envc; ++i) {
        char* nul = static_cast<char*>(std::memchr(next, '\0', std::size_t(end - next)));
        if (!nul)
            return false;
        (i < request.argc ? job.argv : job.environment).push_back(next);
        next = nul + 1;
    }
    job.argv.push_back(nullptr);
    job.environment.push_back(nullptr);
    return next == end;
}

bool receive(int connection, Job& job) {
    union {
        char buffer[CMSG_SPACE(4 * sizeof(int))];
        cmsghdr align;
    } control;
    iovec part = {&job.request, sizeof job.request};
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof control.buffer;
    ssize_t got;
    do {
        got = recvmsg(connection, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return false;
    takeDescriptors(message, job);
    if (message.msg_flags & MSG_CTRUNC)
        return false;
    char* rest = reinterpret_cast<char*>(&job.request) + got;
    if (!readFully(connection, rest, sizeof job.request - std::size_t(got)))
        return false;
    const Request& request = job.request;
    if (request.version != kVersion || request.payloadSize > kMaxPayload ||
        job.fds.size() != 1 + std::size_t(__builtin_popcount(request.openStreams & 7)))
        return false;
    job.payload.resize(request.payloadSize);
    return readFully(connection, job.payload.data(), job.payload.size()) && unpack(job);
}

std::string contentsOf(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, std::size_t(got));
    close(fd);
    return text;
}

std::string lineOf(const std::string& text, const char* key) {
    std::size_t start = text.find(key);
    if (start == std::string::npos)
        return {};
    return text.substr(start, text.find('\n', start + 1) - start);
}

// A caller in another container, chroot or control group, or with other privileges or
// another personality, sees other files or is held to other limits than a job forked here
// would be.
bool sharesOurWorld(pid_t peer) {
    if (peer <= 0)
        return false;
    const std::string theirs = "/proc/" + std::to_string(peer) + "/";
    for (const char* name :
         {"root", "ns/mnt", "ns/pid", "ns/user", "ns/net", "ns/ipc", "ns/uts", "ns/cgroup"}) {
        struct stat a, b;
        if (stat((theirs + name).c_str(), &a) != 0 ||
            stat((std::string("/proc/self/") + name).c_str(), &b) != 0 || a.st_dev != b.st_dev ||
            a.st_ino != b.st_ino)
            return false;
    }
    const std::string cgroup = contentsOf(theirs + "cgroup");
    if (cgroup.empty() || cgroup != contentsOf("/proc/self/cgroup") ||
        contentsOf(theirs + "personality") != contentsOf("/proc/self/personality"))
        return false;
    // What a process can only lose, never regain: capabilities, a system call filter, the
    // bar on gaining privileges.
    const std::string status = contentsOf(theirs + "status");
    const std::string own = contentsOf("/proc/self/status");
    for (const char* key : {"\nCapInh:", "\nCapPrm:", "\nCapEff:", "\nCapBnd:", "\nCapAmb:",
                            "\nNoNewPrivs:", "\nSeccomp:"}) {
        if (lineOf(status, key).empty() || lineOf(status, key) != lineOf(own, key))
            return false;
    }
    return true;
}

bool sameGroups(const Job& job) {
    if (job.peer.gid != getegid())
        return false;
    std::vector<gid_t> own(std::size_t(std::max(getgroups(0, nullptr), 0)));
    if (getgroups(int(own.size()), own.data()) != int(own.size()))
        return false;
    std::vector<gid_t> theirs = job.groups;
    std::sort(own.begin(), own.end());
    std::sort(theirs.begin(), theirs.end());
    return own == theirs;
}

// Makes this process what the caller's own child would have been. False when something
// cannot be matched, before anything of the command has been done.
bool takeOnCaller(Job& job) {
    const Request& request = job.request;
    if (!sameGroups(job) || startEntries(job.environment.data()) != g_startEntries ||
        !sharesOurWorld(job.peer.pid))
        return false;
    errno = 0;
    int niceness = getpriority(PRIO_PROCESS, 0);
    if (errno != 0 ||
        (niceness != request.niceness && setpriority(PRIO_PROCESS, 0, request.niceness) != 0))
        return false;
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        if (setrlimit(__rlimit_resource_t(resource), &request.limits[resource]) != 0)
            return false;
    }
    if (sched_setaffinity(0, sizeof request.cpus, &request.cpus) != 0 ||
        sched_setscheduler(0, request.schedulingPolicy, &request.scheduling) != 0 ||
        syscall(SYS_ioprio_set, kIoPriorityOfProcess, 0, request.ioPriority) != 0)
        return false;
    if (fchdir(job.fds[0]) != 0)
        return false;
    std::size_t next = 1;
    for (int stream = 0; stream < 3; ++stream) {
        if (!(request.openStreams & (1u << stream)))
            close(stream);
        else if (dup2(job.fds[next++], stream) != stream)
            return false;
    }
    job.closeDescriptors();
    umask(request.umask);
    clearenv();
    for (char** entry = job.environment.data(); *entry; ++entry)
        putenv(*entry);
    return true;
}

void setSignals(const Request& request) {
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            std::signal(signal, sigismember(&request.ignored, signal) ? SIG_IGN : SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, &request.blocked, nullptr);
}

[[noreturn]] void runJob(Job& job, int connection) {
    Reply reply = {ReplyKind::Accepted, 0};
    if (!takeOnCaller(job)) {
        reply.kind = ReplyKind::Declined;
        writeFully(connection, &reply, sizeof reply);
        _exit(kDeclinedExit);
    }
    // In place before the front starts forwarding, so that no signal meets a handler of
    // the helper's.
    setSignals(job.request);
    if (!writeFully(connection, &reply, sizeof reply))
        _exit(kDeclinedExit);
    close(connection);
    // Named as the engine run by the caller would be, in any message GLib writes.
    const char* slash = std::strrchr(job.argv[0], '/');
    g_set_prgname(slash ? slash + 1 : job.argv[0]);
    std::exit(run(int(job.argv.size() - 1), job.argv.data()));
}

// One connection: runs its job in a child and stays beside it, passing on the signals the
// front forwards and, when the front goes away unannounced (killed), stopping the job as
// its death would have stopped the engine.
[[noreturn]] void supervise(int connection, pid_t listener) {
    for (int signal : {SIGCHLD, SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, SIG_DFL);
    Job job;
    socklen_t length = sizeof job.peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &job.peer, &length) != 0 ||
        !receive(connection, job))
        _exit(0);
    const pid_t self = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != self)
            _exit(kDeclinedExit);
        runJob(job, connection);
    }
    job.closeDescriptors();
    int process = pid > 0 ? int(syscall(SYS_pidfd_open, pid, 0)) : -1;
    if (process < 0) {
        if (pid > 0)
            kill(pid, SIGKILL);
        Reply declined = {ReplyKind::Declined, 0};
        writeFully(connection, &declined, sizeof declined);
        _exit(0);
    }
    pollfd watched[2] = {{process, POLLIN, 0}, {connection, POLLIN, 0}};
    nfds_t count = 2;
    for (;;) {
        if (poll(watched, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            kill(pid, SIGKILL);
            break;
        }
        if (watched[0].revents)
            break;
        if (count == 2 && watched[1].revents) {
            unsigned char signals[64];
            ssize_t got = read(connection, signals, sizeof signals);
            if (got <= 0 && !(got < 0 && errno == EINTR)) {
                kill(pid, SIGKILL);
                count = 1;
            }
            for (ssize_t i = 0; i < got; ++i) {
                if (signals[i] > 0 && signals[i] < NSIG)
                    kill(pid, signals[i]);
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kDeclinedExit) {
        // This helper no longer matches its users' processes; the next run starts another.
        kill(listener, SIGUSR1);
        _exit(0);
    }
    Reply finished = {ReplyKind::Finished, status};
    writeFully(connection, &finished, sizeof finished);
    _exit(0);
}

void* nothing(void*, void*, void*) {
    return nullptr;
}

// The image library started once here rather than in every job: its start-up and the
// setting up of its loaders' and savers' classes would otherwise come first in each.
// None of it starts a thread, which is checked before every fork.
void startLibraries() {
    deferOptionalModules();
    if (VIPS_INIT(kHelperName) != 0)
        return;
    vips_foreign_map("VipsForeignLoad", nothing, nullptr, nullptr);
    vips_foreign_map("VipsForeignSave", nothing, nullptr, nullptr);
}

int listenAt(const char* path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return -1;
    std::strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A socket file left by a helper that was killed is no longer anyone's: the lock says so.
    unlink(path);
    mode_t mask = umask(077);
    bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    umask(mask);
    if (!bound || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int serveWarm(const char* socket) {
    g_startEntries = startEntries(environ);
    const std::string lockPath = std::string(socket) + ".lock";
    int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Only one helper per socket; a second one started in a race leaves at once.
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0)
        return 0;
    startLibraries();
    int listening = listenAt(socket);
    struct stat own;
    if (listening < 0 || stat(socket, &own) != 0)
        return 1;

    // Connections' supervisors are reaped by the kernel.
    std::signal(SIGCHLD, SIG_IGN);
    struct sigaction action = {};
    action.sa_handler = retire;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &action, nullptr);

    const pid_t self = getpid();
    // Forking is safe only while this process has one thread: no library may have
    // started one, and the image library is started only in each job.
    while (!g_retire && threadCount() == 1) {
        pollfd waiting = {listening, POLLIN, 0};
        int ready = poll(&waiting, 1, kIdleSeconds * 1000);
        if (ready == 0)
            break;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        int connection = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        if (!peerIsSameUser(connection)) {
            close(connection);
            continue;
        }
        pid_t child = fork();
        if (child == 0) {
            close(listening);
            close(lock);
            supervise(connection, self);
        }
        close(connection);
    }
    // Another helper may already have taken over the path; its socket stays.
    struct stat now;
    if (stat(socket, &now) == 0 && now.st_dev == own.st_dev && now.st_ino == own.st_ino)
        unlink(socket);
    return 0;
}

} // namespace sips
