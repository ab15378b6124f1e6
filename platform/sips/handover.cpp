#include "handover.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sips::handover {
namespace {

// A folder that no other user can reach into: ours, a real folder (not a link to one)
// and closed to group and others.
bool isPrivateFolder(const char* folder) {
    struct stat info;
    return lstat(folder, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & 077) == 0;
}

bool privateFolder(char* folder, std::size_t size) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/' && std::strlen(runtime) < size && isPrivateFolder(runtime)) {
        std::strcpy(folder, runtime);
        return true;
    }
    const char* temp = std::getenv("TMPDIR");
    if (!temp || temp[0] != '/')
        temp = P_tmpdir;
    int length = std::snprintf(folder, size, "%s/morvelle-%u", temp, unsigned(geteuid()));
    if (length < 0 || std::size_t(length) >= size)
        return false;
    // An existing folder of that name is used only if it passes the same checks: whoever
    // made it first, if not us, must not get our socket.
    if (mkdir(folder, 0700) != 0 && errno != EEXIST)
        return false;
    return isPrivateFolder(folder);
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        hash ^= (value >> (8 * i)) & 0xff;
        hash *= 1099511628211u;
    }
    return hash;
}

} // namespace

bool socketPath(const char* engine, char* path, std::size_t size) {
    struct stat info;
    if (stat(engine, &info) != 0)
        return false;
    char folder[4096];
    if (!privateFolder(folder, sizeof folder))
        return false;
    std::uint64_t hash = 14695981039346656037u;
    for (std::uint64_t value :
         {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), std::uint64_t(info.st_size),
          std::uint64_t(info.st_mtim.tv_sec), std::uint64_t(info.st_mtim.tv_nsec)})
        hash = mix(hash, value);
    int length = std::snprintf(path, size, "%s/morvelle-sips-%016llx", folder,
                               static_cast<unsigned long long>(hash));
    return length > 0 && std::size_t(length) < size;
}

bool peerIsSameUser(int socket) {
    struct ucred peer;
    socklen_t length = sizeof peer;
    return getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           length == sizeof peer && peer.uid == geteuid();
}

bool sendWithDescriptors(int socket, const void* data, std::size_t size, const int* fds,
                         int count) {
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
    ssize_t sent;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == ssize_t(size);
}

bool readFully(int fd, void* data, std::size_t size) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        ssize_t got = read(fd, bytes, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= std::size_t(got);
    }
    return true;
}

bool writeFully(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= std::size_t(sent);
    }
    return true;
}

} // namespace sips::handover
