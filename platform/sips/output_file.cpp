#include "output_file.h"

#include "failure.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sips {
namespace {

// The signal handler may only read a plain array, so the open temporary file's path is
// mirrored here while it exists.
char g_pendingTemp[4096];

void removePendingTemp(int signal) {
    if (g_pendingTemp[0])
        unlink(g_pendingTemp);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t currentUmask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

} // namespace

std::string writeProblem(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return "the disk is full, the output was not written";
    case EFBIG:
        return "the output is larger than this system allows, it was not written";
    case EACCES:
    case EPERM:
    case EROFS:
        return "no permission to write into this folder";
    case ENOENT:
        return "the output folder does not exist";
    case ENOTDIR:
        return "the output folder is not a folder";
    default:
        return std::string("cannot write the output (") + std::strerror(error) + ")";
    }
}

void installInterruptCleanup() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, removePendingTemp);
}

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {
    std::string pattern = folderOf(target_) + "/." + nameOf(target_) + ".sips-XXXXXX";
    if (pattern.size() >= sizeof(g_pendingTemp))
        throw Failure("the output path is too long", target_);
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) {
        int error = errno;
        struct stat folder;
        // Pseudo file systems such as /proc refuse new names with "no such file".
        if (error == ENOENT && stat(folderOf(target_).c_str(), &folder) == 0)
            throw Failure("this folder does not accept new files", target_);
        throw Failure(writeProblem(error), target_);
    }
    temp_ = pattern;
    std::memcpy(g_pendingTemp, temp_.c_str(), temp_.size() + 1);
    // mkstemp creates the file private; the output gets the permissions of any new file.
    fchmod(fd_, 0666 & ~currentUmask());
}

OutputFile::~OutputFile() {
    if (committed_)
        return;
    if (fd_ >= 0)
        close(fd_);
    unlink(temp_.c_str());
    g_pendingTemp[0] = '\0';
}

void OutputFile::write(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd_, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw Failure(writeProblem(written < 0 ? errno : ENOSPC), target_);
        bytes += written;
        size -= static_cast<size_t>(written);
    }
}

void OutputFile::writeAt(std::uint64_t offset, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            throw Failure(writeProblem(written < 0 ? errno : ENOSPC), target_);
        bytes += written;
        offset += static_cast<std::uint64_t>(written);
        size -= static_cast<size_t>(written);
    }
}

void OutputFile::closeDescriptor() {
    if (fd_ >= 0) {
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0 && errno != EINTR)
            throw Failure(writeProblem(errno), target_);
    }
}

void OutputFile::commit() {
    closeDescriptor();
    struct stat info;
    if (stat(target_.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        throw Failure("a folder of that name is in the way", target_);
    if (rename(temp_.c_str(), target_.c_str()) != 0)
        throw Failure(writeProblem(errno), target_);
    committed_ = true;
    g_pendingTemp[0] = '\0';
}

} // namespace sips
