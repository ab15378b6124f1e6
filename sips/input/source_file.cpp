#include "input/source_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/failure.h"
#include "input/png_check.h"

namespace sips {
namespace {

[[noreturn]] void cannotOpen(const std::string& path, int error) {
    if (error == ENOENT || error == ENOTDIR)
        throw Failure("no such file", path);
    throw Failure(std::string("cannot open this file (") + std::strerror(error) + ")", path);
}

void refuseUnlessOrdinary(const struct stat& info, const std::string& path) {
    if (S_ISDIR(info.st_mode))
        throw Failure("this is a folder, not an image file", path);
    if (!S_ISREG(info.st_mode))
        throw Failure("this is not an ordinary file", path);
    if (info.st_size == 0)
        throw Failure("the file is empty", path);
}

} // namespace

SourceFile::SourceFile(std::string path) : path_(std::move(path)) {
    // Looked at before it is opened: opening a pipe would wait for a writer.
    struct stat info;
    if (stat(path_.c_str(), &info) != 0)
        cannotOpen(path_, errno);
    refuseUnlessOrdinary(info, path_);
    // Opened to wait, as any reader's open does, while another holds a lease on the file.
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd_ < 0)
        cannotOpen(path_, errno);
    // What was opened may not be what was looked at a moment before.
    if (fstat(fd_, &info) != 0) {
        const int error = errno;
        close(fd_);
        cannotOpen(path_, error);
    }
    try {
        refuseUnlessOrdinary(info, path_);
    } catch (...) {
        close(fd_);
        throw;
    }
    posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    head_.resize(16);
    ssize_t n;
    do
        n = pread(fd_, head_.data(), head_.size(), 0);
    while (n < 0 && errno == EINTR);
    head_.resize(n > 0 ? size_t(n) : 0);
}

SourceFile::~SourceFile() {
    png_.reset();
    close(fd_);
}

PngCheck& SourceFile::png() {
    if (!png_)
        png_ = std::make_unique<PngCheck>(*this);
    return *png_;
}

const PngFacts& SourceFile::pngFacts() const {
    static const PngFacts none;
    return png_ ? png_->facts() : none;
}

FileReader::FileReader(const SourceFile& file, std::uint64_t from)
    : file_(file), bufferEnd_(off_t(from)) {}

size_t FileReader::read(void* into, size_t size) {
    auto* out = static_cast<unsigned char*>(into);
    size_t done = 0;
    while (done < size) {
        if (next_ == end_ && !refill())
            break;
        size_t n = std::min(size - done, end_ - next_);
        std::memcpy(out + done, buffer_.data() + next_, n);
        next_ += n;
        done += n;
    }
    return done;
}

bool FileReader::skip(std::uint64_t size) {
    const std::uint64_t buffered = end_ - next_;
    if (size <= buffered) {
        next_ += size_t(size);
        return true;
    }
    const std::uint64_t target = std::uint64_t(position()) + size;
    struct stat info;
    if (fstat(file_.descriptor(), &info) != 0 || target > std::uint64_t(info.st_size))
        return false;
    bufferEnd_ = off_t(target);
    next_ = end_ = 0;
    return true;
}

bool FileReader::skipUntil(unsigned char byte) {
    for (;;) {
        if (next_ == end_ && !refill())
            return false;
        const void* found = std::memchr(buffer_.data() + next_, byte, end_ - next_);
        if (found) {
            next_ = size_t(static_cast<const unsigned char*>(found) - buffer_.data());
            return true;
        }
        next_ = end_;
    }
}

bool FileReader::refill() {
    ssize_t n;
    do
        n = ::pread(file_.descriptor(), buffer_.data(), buffer_.size(), bufferEnd_);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw Failure(std::string("cannot read this file (") + std::strerror(errno) + ")",
                      file_.path());
    bufferEnd_ += n;
    next_ = 0;
    end_ = size_t(n);
    return n > 0;
}

} // namespace sips
