#include "warm/handover.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sips::handover {
namespace {

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        hash ^= (value >> (8 * i)) & 0xff;
        hash *= 1099511628211u;
    }
    return hash;
}

} // namespace

int openPrivateFolder(const char* folder) {
    int fd = open(folder, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
        (info.st_mode & 07777) == 0700)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

int openRuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && runtime[0] == '/' ? openPrivateFolder(runtime) : -1;
}

bool socketName(const char* engine, char* name, std::size_t size) {
    struct stat info;
    if (stat(engine, &info) != 0)
        return false;
    std::uint64_t hash = 14695981039346656037u;
    for (std::uint64_t value :
         {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::uint64_t(info.st_size),
          std::uint64_t(info.st_mtim.tv_sec), std::uint64_t(info.st_mtim.tv_nsec)})
        hash = mix(hash, value);
    int length =
        std::snprintf(name, size, "morvelle-sips-%016llx", static_cast<unsigned long long>(hash));
    return length > 0 && std::size_t(length) < size;
}

bool pathIn(int folder, const char* name, char* path, std::size_t size) {
    int length = std::snprintf(path, size, "/proc/self/fd/%d/%s", folder, name);
    return length > 0 && std::size_t(length) < size;
}

bool peerIsSameUser(int socket) {
    struct ucred peer;
    socklen_t length = sizeof peer;
    return getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           length == sizeof peer && peer.uid == geteuid();
}

Deadline Deadline::in(int millis) {
    if (millis < 0)
        return {-1};
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return {now.tv_sec * 1000ll + now.tv_nsec / 1000000 + millis};
}

int Deadline::left() const {
    if (at < 0)
        return -1;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long rest = at - (now.tv_sec * 1000ll + now.tv_nsec / 1000000);
    return rest > 0 ? int(rest) : 0;
}

namespace {

// Waits until `fd` can be read or written without blocking; false at the deadline.
bool ready(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd watched = {fd, events, 0};
        int got = poll(&watched, 1, deadline.left());
        if (got > 0)
            return true;
        if (got == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

bool sendWithDescriptors(int socket, const void* data, std::size_t size, const int* fds, int count,
                         Deadline deadline) {
    union {
        char buffer[CMSG_SPACE(4 * sizeof(int))];
        struct cmsghdr align;
    } control = {};
    if (count < 1 || count > 4)
        return false;
    struct iovec part = {const_cast<void*>(data), size};
    struct msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = CMSG_SPACE(count * sizeof(int));
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(header), fds, count * sizeof(int));
    while (ready(socket, POLLOUT, deadline)) {
        ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return sent == ssize_t(size);
        if (errno != EINTR && errno != EAGAIN)
            return false;
    }
    return false;
}

bool readFully(int fd, void* data, std::size_t size, Deadline deadline) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        if (!ready(fd, POLLIN, deadline))
            return false;
        ssize_t got = read(fd, bytes, size);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= std::size_t(got);
    }
    return true;
}

bool writeFully(int fd, const void* data, std::size_t size, Deadline deadline) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (!ready(fd, POLLOUT, deadline))
            return false;
        ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= std::size_t(sent);
    }
    return true;
}

} // namespace sips::handover
