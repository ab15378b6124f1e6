#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sips {

class PngCheck;

// What a PNG says of itself before its image data, gathered in the same walk over its chunks
// that checks them.
struct PngFacts {
    // The file gamma of a gAMA chunk, or 0 where it has none or an sRGB or iCCP chunk
    // describes its colours instead.
    double gamma = 0;
    // Whether a pHYs chunk states its resolution.
    bool statesResolution = false;
};

// The source of one conversion, opened once. The checks of its structure and the readers
// libvips lacks all read this one descriptor, each from a place of its own (libvips opens
// the file itself, by its name). A PNG's chunks are walked once: up to its image data when
// it is opened, the rest by the stream check, which takes the walk on from there.
class SourceFile {
public:
    // Throws Failure saying plainly why the path cannot be read: missing, a folder, not an
    // ordinary file, empty, or refused.
    explicit SourceFile(std::string path);
    ~SourceFile();
    SourceFile(const SourceFile&) = delete;
    SourceFile& operator=(const SourceFile&) = delete;

    const std::string& path() const { return path_; }
    int descriptor() const { return fd_; }
    // The file's first bytes, up to 16, for the formats told by their signatures.
    const std::vector<unsigned char>& head() const { return head_; }

    // The walk over a PNG's chunks, started on first use; the PNG facts are known once it
    // has reached the image data.
    PngCheck& png();
    const PngFacts& pngFacts() const;

private:
    std::string path_;
    int fd_ = -1;
    std::vector<unsigned char> head_;
    std::unique_ptr<PngCheck> png_;
};

// Buffered reading of a source file from a given place on; a short read means the file ends
// there. Readers of one file, on different threads, do not move each other's place.
class FileReader {
public:
    explicit FileReader(const SourceFile& file, std::uint64_t from = 0);
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Up to `size` bytes; fewer only at the end of the file.
    size_t read(void* into, size_t size);
    bool readExactly(void* into, size_t size) { return read(into, size) == size; }

    // Passes over `size` bytes without reading them; false when the file ends before.
    bool skip(std::uint64_t size);

    // The next byte, or -1 at the end of the file.
    int get() {
        if (next_ == end_ && !refill())
            return -1;
        return buffer_[next_++];
    }
    void unget() { --next_; }

    // Moves on to the next `byte`, which is read next; false when the file ends first.
    bool skipUntil(unsigned char byte);

    // How far into the file the next byte is.
    std::int64_t position() const { return std::int64_t(bufferEnd_) - std::int64_t(end_ - next_); }

    const std::string& path() const { return file_.path(); }

private:
    bool refill();

    const SourceFile& file_;
    off_t bufferEnd_; // the file offset just past the buffered bytes
    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(256 * 1024);
    size_t next_ = 0;
    size_t end_ = 0;
};

} // namespace sips
