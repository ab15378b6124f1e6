#pragma once

// How the light `sips` front hands one command to a warm engine process of the same user,
// so that a small conversion does not pay for loading the image libraries every time.
// Shared by both ends; uses nothing but libc, since the front links nothing else.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sched.h>
#include <sys/resource.h>
#include <sys/types.h>

namespace sips::handover {

// The engine beside the front, and the program name under which it serves as the warm
// helper instead of running a command.
inline constexpr char kEngineName[] = "sips-engine";
inline constexpr char kHelperName[] = "sips-warm-helper";

// A helper with no job for this long leaves.
inline constexpr int kIdleSeconds = 20;

// The longest a front waits for a helper to take its command, from its first try to connect;
// a helper that is stopped, busy or stalled by another connection then leaves the command to
// the engine run by the front itself.
inline constexpr int kHandOverMillis = 1000;

// The longest a process taken from the helper waits for its front's request.
inline constexpr int kRequestMillis = 2000;

inline constexpr std::uint32_t kVersion = 2;

// Everything of the caller's process that a command's run depends on, besides its working
// folder and its standard streams, which travel as descriptors with this header.
// The payload that follows holds `groups` gid_t values, then `argc` and `envc`
// NUL-terminated strings.
struct Request {
    std::uint32_t version;
    std::uint32_t argc;
    std::uint32_t envc;
    std::uint32_t groups;
    std::uint32_t payloadSize;
    std::uint32_t openStreams; // bit i: the caller's descriptor i is open and passed
    mode_t umask;
    int niceness;
    int schedulingPolicy;
    struct sched_param scheduling;
    cpu_set_t cpus;
    int ioPriority;
    struct rlimit limits[RLIM_NLIMITS];
    sigset_t blocked;
    sigset_t ignored;
};

inline constexpr std::uint32_t kMaxPayload = 64u << 20;

// ioprio_get and ioprio_set's "which" for one process; libc has no name for it.
inline constexpr int kIoPriorityOfProcess = 1;

enum class ReplyKind : std::int32_t {
    Accepted = 1, // the job can run: `status` is its process id; it waits for kGo
    Declined = 2, // the helper cannot run this job as the caller would; run the engine
    Finished = 3, // `status` is the job's wait status
};

struct Reply {
    ReplyKind kind;
    std::int32_t status;
};

// The one byte a front sends after Accepted to let its job run. A front that gives up
// instead closes the connection, and the job leaves without having done anything. Signals
// go to the job straight from the front, through a pidfd.
inline constexpr unsigned char kGo = 0;

// A descriptor of `folder` if it is one that no other user can reach into: a real folder
// (not a link to one), this user's own, mode 0700. -1 otherwise.
int openPrivateFolder(const char* folder);

// $XDG_RUNTIME_DIR through openPrivateFolder: the only place for a helper's socket.
int openRuntimeFolder();

// The socket's name for the engine at `engine`. It carries the engine's identity, so a
// rebuilt or reinstalled engine never meets an older helper.
bool socketName(const char* engine, char* name, std::size_t size);

// `name` in the folder open as `folder`, as a path that goes through that descriptor
// rather than through the folder's name, which someone may have changed since.
bool pathIn(int folder, const char* name, char* path, std::size_t size);

// Whether the process at the other end of a connected Unix socket runs as this user.
bool peerIsSameUser(int socket);

// A point `millis` from now on the monotonic clock; the calls below give up there. A
// negative `millis` means no end.
struct Deadline {
    long long at;
    static Deadline in(int millis);
    // Milliseconds left for poll(): -1 for no end, 0 when it has passed.
    int left() const;
};

// Sends `size` bytes with `count` descriptors attached (at most 4), in one message.
bool sendWithDescriptors(int socket, const void* data, std::size_t size, const int* fds, int count,
                         Deadline deadline = Deadline::in(-1));

bool readFully(int fd, void* data, std::size_t size, Deadline deadline = Deadline::in(-1));
bool writeFully(int fd, const void* data, std::size_t size, Deadline deadline = Deadline::in(-1));

} // namespace sips::handover
