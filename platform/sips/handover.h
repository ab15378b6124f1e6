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

inline constexpr std::uint32_t kVersion = 1;

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
    Accepted = 1, // the job runs; the front forwards signals from now on
    Declined = 2, // the helper cannot run this job as the caller would; run the engine
    Finished = 3, // `status` is the job's wait status
};

struct Reply {
    ReplyKind kind;
    std::int32_t status;
};

// After Accepted, the front sends each signal it receives as one byte holding its number.

// The socket path for the engine at `engine`, in a folder only this user can enter:
// $XDG_RUNTIME_DIR, else "morvelle-UID" in $TMPDIR or the system's temporary folder. The
// name carries the engine's identity, so a rebuilt or reinstalled engine never meets an
// older helper. False when no such folder is to be had or the path would not fit.
bool socketPath(const char* engine, char* path, std::size_t size);

// Whether the process at the other end of a connected Unix socket runs as this user.
bool peerIsSameUser(int socket);

// Sends `size` bytes with `count` descriptors attached (at most 4), in one message.
bool sendWithDescriptors(int socket, const void* data, std::size_t size, const int* fds, int count);

bool readFully(int fd, void* data, std::size_t size);
bool writeFully(int fd, const void* data, std::size_t size);

} // namespace sips::handover
