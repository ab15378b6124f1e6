#include "warm/warm_helper.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
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
#include <vips/vips.h>

#include "core/modules.h"
#include "core/sips.h"
#include "warm/handover.h"

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

// The request, which must come whole within a short time: a peer that sends nothing or
// half of one holds only this process, and not for long.
bool receive(int connection, Job& job) {
    const Deadline deadline = Deadline::in(kRequestMillis);
    pollfd watched = {connection, POLLIN, 0};
    while (poll(&watched, 1, deadline.left()) < 0 && errno == EINTR) {
    }
    if (!(watched.revents & POLLIN))
        return false;
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
        got = recvmsg(connection, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return false;
    takeDescriptors(message, job);
    if (message.msg_flags & MSG_CTRUNC)
        return false;
    char* rest = reinterpret_cast<char*>(&job.request) + got;
    if (!readFully(connection, rest, sizeof job.request - std::size_t(got), deadline))
        return false;
    const Request& request = job.request;
    if (request.version != kVersion || request.payloadSize > kMaxPayload ||
        job.fds.size() != 1 + std::size_t(__builtin_popcount(request.openStreams & 7)))
        return false;
    job.payload.resize(request.payloadSize);
    return readFully(connection, job.payload.data(), job.payload.size(), deadline) && unpack(job);
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

// What a process sees of the system and may do in it: its root, namespaces, control group,
// personality, security label, and what it can only lose, never regain (capabilities, a
// system call filter, the bar on gaining privileges).
struct World {
    std::vector<std::pair<dev_t, ino_t>> spaces;
    std::string cgroup;
    std::string personality;
    std::string label;
    std::vector<std::string> privileges;
    bool known = false;

    bool operator==(const World& other) const {
        return known && other.known && spaces == other.spaces && cgroup == other.cgroup &&
               personality == other.personality && label == other.label &&
               privileges == other.privileges;
    }

    // Whether this process may be held to limits that cannot be compared: a filter or a
    // Landlock domain needs the bar on gaining privileges, or root's rights.
    bool mayBeConfined() const {
        return !known || privileges[5] != "\nNoNewPrivs:\t0" || privileges[6] != "\nSeccomp:\t0" ||
               getuid() == 0 || geteuid() == 0;
    }
};

// `proc` is a process's folder in /proc, with its slash.
World worldOf(const std::string& proc) {
    World world;
    for (const char* name : {"root", "ns/mnt", "ns/pid", "ns/user", "ns/net", "ns/ipc", "ns/uts",
                             "ns/cgroup", "ns/time"}) {
        struct stat info = {};
        // A kernel without time namespaces has no such entry, for anyone.
        if (stat((proc + name).c_str(), &info) != 0 &&
            (errno != ENOENT || std::strcmp(name, "ns/time") != 0))
            return world;
        world.spaces.emplace_back(info.st_dev, info.st_ino);
    }
    world.cgroup = contentsOf(proc + "cgroup");
    world.personality = contentsOf(proc + "personality");
    // Empty for both where no security module gives labels.
    world.label = contentsOf(proc + "attr/current");
    const std::string status = contentsOf(proc + "status");
    for (const char* key : {"\nCapInh:", "\nCapPrm:", "\nCapEff:", "\nCapBnd:", "\nCapAmb:",
                            "\nNoNewPrivs:", "\nSeccomp:"}) {
        world.privileges.push_back(lineOf(status, key));
        if (world.privileges.back().empty())
            return world;
    }
    world.known = !world.cgroup.empty() && !world.personality.empty();
    return world;
}

// A caller in another container, chroot or control group, or with other privileges or
// another personality, sees other files or is held to other limits than a job forked here
// would be. Our own side is read before a job comes.
bool sharesOurWorld(pid_t peer, const World& own) {
    return peer > 0 && worldOf("/proc/" + std::to_string(peer) + "/") == own;
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
bool takeOnCaller(Job& job, const World& own) {
    const Request& request = job.request;
    if (!sameGroups(job) || startEntries(job.environment.data()) != g_startEntries ||
        !sharesOurWorld(job.peer.pid, own))
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

// Ends the job when its front ends, whether or not the helper is still there: the front
// gone, the job's caller no longer waits for it, as the engine would have died with it.
void* watchFront(void* connection) {
    pollfd watched = {int(reinterpret_cast<std::intptr_t>(connection)), POLLRDHUP, 0};
    for (;;) {
        const int got = poll(&watched, 1, -1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || (watched.revents & POLLNVAL))
            return nullptr;
        if (watched.revents & (POLLRDHUP | POLLHUP | POLLERR))
            break;
    }
    kill(getpid(), SIGKILL);
    return nullptr;
}

bool startWatchingFront(int connection) {
    sigset_t all, previous;
    sigfillset(&all);
    // Every signal stays for the job's own threads to take, as in the engine.
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t watcher;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, 64 * 1024);
    const bool started = pthread_create(&watcher, &attributes, watchFront,
                                        reinterpret_cast<void*>(std::intptr_t(connection))) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

[[noreturn]] void runJob(Job& job, int connection, const World& own) {
    Reply reply = {ReplyKind::Accepted, int(getpid())};
    if (!takeOnCaller(job, own)) {
        // This helper no longer matches its users' processes; the next run starts another.
        // A front that gave up waiting, and whose process may be gone, says nothing of that.
        pollfd front = {connection, POLLRDHUP, 0};
        if (poll(&front, 1, 0) == 0)
            kill(getppid(), SIGUSR1);
        reply.kind = ReplyKind::Declined;
        writeFully(connection, &reply, sizeof reply);
        _exit(kDeclinedExit);
    }
    // In place before the front may send any signal, so that none meets a handler of the
    // helper's.
    setSignals(job.request);
    // The front lets the job go only while it still waits for it; one that gave up has
    // closed the connection, and runs the engine itself.
    unsigned char go = 1;
    if (!writeFully(connection, &reply, sizeof reply) || !readFully(connection, &go, 1) ||
        go != kGo || !startWatchingFront(connection))
        _exit(kDeclinedExit);
    // Named as the engine run by the caller would be, in any message GLib writes.
    const char* slash = std::strrchr(job.argv[0], '/');
    g_set_prgname(slash ? slash + 1 : job.argv[0]);
    // Every file is written and in place when run() returns; taking the image library down
    // would only keep the caller waiting for a process that ends anyway.
    const int status = run(int(job.argv.size() - 1), job.argv.data(), LibraryAtEnd::LeftToExit);
    // Everything is written and in place: the front may end now, without waiting for this
    // process to be taken down. A job that does not get here is reported by the helper.
    std::fflush(nullptr);
    for (int stream = 0; stream < 3; ++stream)
        close(stream);
    reply = {ReplyKind::Finished, W_EXITCODE(status, 0)};
    writeFully(connection, &reply, sizeof reply);
    _exit(status);
}

// A process forked ahead of need, so that no fork lies between a connection and its job:
// it takes the next connection of this user and hands it to the helper at once, which then
// forks the next spare, reports this process's end to the front if it dies and ends it if
// its front does; then it reads the request and becomes the job. It ends with the helper
// until then, never after. `own` is the helper's world, which is the spare's too.
[[noreturn]] void serveOne(int listening, int helperEnd, const World& own) {
    for (int signal : {SIGCHLD, SIGUSR1, SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, SIG_DFL);
    const pid_t helper = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != helper)
        _exit(kDeclinedExit);
    for (;;) {
        int connection = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            _exit(kDeclinedExit);
        }
        Job job;
        socklen_t length = sizeof job.peer;
        if (!peerIsSameUser(connection) ||
            getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &job.peer, &length) != 0) {
            close(connection);
            continue;
        }
        prctl(PR_SET_PDEATHSIG, 0);
        close(listening);
        const char taken = 1;
        if (getppid() != helper ||
            !sendWithDescriptors(helperEnd, &taken, 1, &connection, 1, Deadline::in(0)))
            _exit(kDeclinedExit);
        close(helperEnd);
        if (!receive(connection, job))
            _exit(kDeclinedExit);
        runJob(job, connection, own);
    }
}

// A job that has started: its process and the connection to its front.
struct Running {
    pid_t pid;
    int process; // pidfd
    int connection;
};

// A front gone unannounced (killed) takes its job with it, as its death would have stopped
// the engine; the job sees it too, but cannot while it is stopped. Nothing is read here:
// the connection's data are the job's.
void frontGone(Running& job) {
    kill(job.pid, SIGKILL);
    close(job.connection);
    job.connection = -1;
}

// Reports a job's end to its front, unless the job declined it.
void finish(Running& job) {
    int status = 0;
    while (waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
    }
    close(job.process);
    bool declined = WIFEXITED(status) && WEXITSTATUS(status) == kDeclinedExit;
    if (job.connection >= 0) {
        if (!declined) {
            Reply finished = {ReplyKind::Finished, status};
            writeFully(job.connection, &finished, sizeof finished, Deadline::in(0));
        }
        close(job.connection);
    }
}

void* nothing(VipsObjectClass*, void*) {
    return nullptr;
}

// The image library started once here rather than in every job: its start-up and the
// setting up of its operations' classes would otherwise come first in each. All of them,
// loaders, savers and the rest: the first look-up of an operation by name sets up every
// class it passes on the way, 2 ms of a small picture's 4. None of it starts a thread,
// which is checked before every fork.
void startLibraries() {
    deferOptionalModules();
    if (VIPS_INIT(kHelperName) != 0)
        return;
    vips_class_map_all(g_type_from_name("VipsOperation"), nothing, nullptr);
}

// Binds the socket `name` in the folder open as `folder`, through that descriptor.
int listenIn(int folder, const char* name) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (!pathIn(folder, name, address.sun_path, sizeof address.sun_path))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A socket file left by a helper that was killed is no longer anyone's: the lock says so.
    unlinkat(folder, name, 0);
    mode_t mask = umask(077);
    // bind() makes a new file and never follows a link in its place.
    bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    umask(mask);
    if (!bound || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The lock that lets one helper serve the socket: an existing lock file is opened, never
// followed as a link; a missing one made, never over another file.
int lockIn(int folder, const std::string& name) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(folder, name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT)
            fd = openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
        struct stat info;
        if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid())
            return fd;
        if (fd >= 0) {
            close(fd);
            return -1;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// Takes a connection from the spare that took it off the socket.
int takenConnection(int helperEnd) {
    union {
        char buffer[CMSG_SPACE(sizeof(int))];
        cmsghdr align;
    } control;
    char taken;
    iovec part = {&taken, 1};
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof control.buffer;
    int connection = -1;
    if (recvmsg(helperEnd, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT) == 1) {
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        if (header && header->cmsg_type == SCM_RIGHTS)
            std::memcpy(&connection, CMSG_DATA(header), sizeof(int));
    }
    return connection;
}

// The signals that retire the helper, held back except while it waits, so that none can
// come between the look at g_retire and the wait. Returns the mask to wait with.
sigset_t holdBackRetiring() {
    struct sigaction action = {};
    action.sa_handler = retire;
    sigemptyset(&action.sa_mask);
    sigset_t leave;
    sigemptyset(&leave);
    for (int signal : {SIGUSR1, SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&leave, signal);
    }
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &leave, &waiting);
    return waiting;
}

// The serving loop: one spare always waiting on the socket, and the jobs it has become.
class Server {
public:
    Server(int folder, const std::string& name, const struct stat& own, int lock, int listening,
           const int ends[2], const World& world)
        : folder_(folder), name_(name), own_(own), lock_(lock),
          listening_(listening), ends_{ends[0], ends[1]}, world_(world) {}

    // Serves until retired or idle and the last job has ended; returns the exit status.
    int run(const sigset_t& waiting) {
        for (;;) {
            // Forking is safe only while this process has one thread: no library may have
            // started one, and the image library starts its own only in each job.
            if (serving_ && (g_retire || threadCount() != 1))
                stopServing();
            if (!serving_ && spare_ > 0) {
                kill(spare_, SIGKILL);
                reapSpare();
            }
            if (serving_ && spare_ == 0 && !forkSpare())
                return 1;
            if (!serving_ && jobs_.empty())
                break;

            std::vector<pollfd> watched = watchList();
            const timespec idle = {kIdleSeconds, 0};
            int ready =
                ppoll(watched.data(), watched.size(), jobs_.empty() ? &idle : nullptr, &waiting);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready == 0) {
                stopServing();
                continue;
            }
            if (ready < 0)
                continue;
            handle(watched);
        }
        return 0;
    }

private:
    void stopServing() {
        serving_ = false;
        // Another helper may already have taken over the name; its socket stays.
        struct stat now;
        if (fstatat(folder_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == own_.st_dev && now.st_ino == own_.st_ino)
            unlinkat(folder_, name_.c_str(), 0);
    }

    void reapSpare() {
        waitpid(spare_, nullptr, 0);
        close(spareProcess_);
        spare_ = 0;
        // poll() passes over a negative descriptor; a closed one it reports at once, every time.
        spareProcess_ = -1;
    }

    // False where the spare cannot be watched.
    bool forkSpare() {
        spare_ = fork();
        if (spare_ == 0) {
            // The spare keeps only the socket and its way back here.
            for (int fd : {ends_[0], lock_, folder_})
                close(fd);
            for (const Running& job : jobs_) {
                close(job.process);
                close(job.connection);
            }
            serveOne(listening_, ends_[1], world_);
        }
        spareProcess_ = spare_ > 0 ? int(syscall(SYS_pidfd_open, spare_, 0)) : -1;
        return spareProcess_ >= 0;
    }

    // The spare's hand-over, the spare itself, then each job's process and connection.
    std::vector<pollfd> watchList() const {
        std::vector<pollfd> watched;
        watched.push_back({ends_[0], POLLIN, 0});
        watched.push_back({spareProcess_, POLLIN, 0});
        for (const Running& job : jobs_) {
            watched.push_back({job.process, POLLIN, 0});
            watched.push_back({job.connection, POLLRDHUP, 0});
        }
        return watched;
    }

    void handle(const std::vector<pollfd>& watched) {
        for (std::size_t i = jobs_.size(); i-- > 0;) {
            if (jobs_[i].connection >= 0 && watched[2 + 2 * i + 1].revents)
                frontGone(jobs_[i]);
            if (watched[2 + 2 * i].revents) {
                finish(jobs_[i]);
                jobs_.erase(jobs_.begin() + std::ptrdiff_t(i));
            }
        }
        if (watched[0].revents) {
            // The spare took a connection and is now that job.
            const int connection = takenConnection(ends_[0]);
            if (spare_ > 0) {
                jobs_.push_back({spare_, spareProcess_, connection});
                spare_ = 0;
                spareProcess_ = -1;
            }
        } else if (spare_ > 0 && watched[1].revents) {
            // The spare failed before it took a job; so would the next.
            reapSpare();
            g_retire = 1;
        }
    }

    const int folder_;
    const std::string name_;
    const struct stat own_;
    const int lock_;
    const int listening_;
    const int ends_[2];
    const World& world_;
    pid_t spare_ = 0;
    int spareProcess_ = -1;
    std::vector<Running> jobs_;
    bool serving_ = true;
};

} // namespace

int serveWarm(const char* socket) {
    g_startEntries = startEntries(environ);
    const char* slash = std::strrchr(socket, '/');
    if (!slash || slash == socket)
        return 1;
    const std::string name = slash + 1;
    // Every file is made relative to the folder checked here, whatever its name leads to
    // later.
    const int folder = openPrivateFolder(std::string(socket, slash).c_str());
    if (folder < 0)
        return 0;
    const int lock = lockIn(folder, name + ".lock");
    // Only one helper per socket; a second one started in a race leaves at once.
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0)
        return 0;
    // Read once: every spare forked from here shares it, and a job only reads its caller's.
    const World world = worldOf("/proc/self/");
    // A helper held to limits no caller can be compared with runs nothing.
    if (world.mayBeConfined())
        return 0;
    startLibraries();
    int listening = listenIn(folder, name.c_str());
    struct stat own;
    if (listening < 0 || fstatat(folder, name.c_str(), &own, AT_SYMLINK_NOFOLLOW) != 0)
        return 1;

    const sigset_t waiting = holdBackRetiring();
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return 1;
    return Server(folder, name, own, lock, listening, ends, world).run(waiting);
}

} // namespace sips
