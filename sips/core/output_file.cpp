#include "core/output_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "core/failure.h"
#include "core/paths.h"

namespace sips {
namespace {

// The signal handler may only read a plain array, so the open temporary file's path is
// mirrored here while it exists.
char g_pendingTemp[4096];
// Set while the temporary file is made and its path not yet mirrored, and while it is
// renamed: a signal then, in any thread, is held back until it is known whether a file is
// left to remove and whether the output is in place.
std::atomic<int> g_holdingSignals{0};
std::atomic<int> g_heldSignal{0};
// Set for the run's last output before it is made, and once it is in place: what is left of
// the run then is only its end, and its status must say that the output was written.
std::atomic<bool> g_lastOutputNext{false};
std::atomic<bool> g_settled{false};

void removePendingTemp(int signal) {
    if (g_settled.load())
        return;
    if (g_holdingSignals.load()) {
        g_heldSignal.store(signal);
        // The holder may have looked for a held signal just before this one was held.
        if (g_holdingSignals.load())
            return;
    }
    if (g_settled.load())
        return;
    removeTempFileNow();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void releaseHeldSignal() {
    g_holdingSignals.store(0);
    if (int held = g_heldSignal.exchange(0))
        removePendingTemp(held);
}

// The temporary file's name: the output's name, hidden and marked, cut short where the
// whole would pass the folder's limit for one name. The cut falls between characters.
std::string tempName(const std::string& folder, const std::string& name) {
    static constexpr std::string_view kMark = ".sips-XXXXXX";
    long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (limit <= 0)
        limit = NAME_MAX;
    const size_t least = 1 + kMark.size();
    size_t room = static_cast<size_t>(limit) > least ? static_cast<size_t>(limit) - least : 0;
    size_t keep = std::min(name.size(), room);
    while (keep > 0 && keep < name.size() &&
           (static_cast<unsigned char>(name[keep]) & 0xc0) == 0x80)
        --keep;
    return "." + name.substr(0, keep) + std::string(kMark);
}

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
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
        return "the output would exceed the file size limit";
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

void removeTempFileNow() {
    if (g_pendingTemp[0])
        unlink(g_pendingTemp);
}

bool outputSettled() {
    return g_settled.load();
}

void treatNextOutputAsLast() {
    g_lastOutputNext.store(true);
}

void installInterruptCleanup() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current;
        // A signal ignored by whoever started the tool (nohup, a shell's background job)
        // stays ignored: the tool is meant to run on through it.
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            continue;
        struct sigaction cleanup = {};
        cleanup.sa_handler = removePendingTemp;
        // A held signal returns to the interrupted code, which must not see EINTR for it.
        cleanup.sa_flags = SA_RESTART;
        sigemptyset(&cleanup.sa_mask);
        sigaction(signal, &cleanup, nullptr);
    }
}

int moveWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    return linkWithoutReplacing(from, to);
}

int linkWithoutReplacing(const std::string& from, const std::string& to) {
    // Where the file system has no exclusive rename (NFS, some FUSE file systems), a new
    // hard link is just as unable to take an existing name.
    if (link(from.c_str(), to.c_str()) != 0) {
        // The folder took the temporary file, so a refusal here is the file system's lack
        // of hard links.
        return errno == EPERM || errno == EOPNOTSUPP ? ENOTSUP : errno;
    }
    unlink(from.c_str());
    return 0;
}

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {
    const std::string folder = folderOf(target_);
    std::string pattern = folder + "/" + tempName(folder, baseName(target_));
    if (pattern.size() >= sizeof(g_pendingTemp))
        throw Failure("the output path is too long", target_);
    g_holdingSignals.store(1);
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    const int error = errno;
    if (fd_ >= 0)
        std::memcpy(g_pendingTemp, pattern.c_str(), pattern.size() + 1);
    releaseHeldSignal();
    if (fd_ < 0) {
        struct stat info;
        // Pseudo file systems such as /proc refuse new names with "no such file".
        if (error == ENOENT && stat(folder.c_str(), &info) == 0)
            throw Failure("this folder does not accept new files", target_);
        throw Failure(writeProblem(error), target_);
    }
    temp_ = pattern;
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
    g_holdingSignals.store(1);
    int error = moveWithoutReplacing(temp_, target_);
    if (error == 0) {
        committed_ = true;
        g_pendingTemp[0] = '\0';
        g_settled.store(g_lastOutputNext.load());
    }
    // A signal during the rename stops the run only where the run is not then complete.
    releaseHeldSignal();
    if (error == EEXIST)
        throw NameTaken(target_);
    if (error == ENOTSUP)
        throw Failure("this folder's file system cannot add the output without the risk of "
                      "replacing a file",
                      target_);
    if (error != 0)
        throw Failure(writeProblem(error), target_);
}

} // namespace sips
