#pragma once

#include <cstddef>
#include <cstdint>

#include "input/source_file.h"

namespace sips {

// Where a JPEG's own picture ends: the first end marker after its compressed scans, with every
// segment before them skipped by its length (an EXIF thumbnail holds markers of its own) and
// nothing after it looked at (phones append videos and other data). It is given the file's
// bytes as the decoder reads them, so that the file is read once; end() reads what the
// decoder left unread.
class JpegEnd {
public:
    // Bytes of the file from `offset` on. Bytes already seen are passed over; after a gap,
    // nothing more is taken here, and end() reads on from where the bytes stopped.
    void see(std::uint64_t offset, const unsigned char* data, size_t size);

    // Where the end marker starts, or -1 when the file has none where it should be.
    std::int64_t end(const SourceFile& file);

private:
    void step(const unsigned char* data, size_t size);
    void marker(int code);
    bool done() const { return state_ == State::Found || state_ == State::Missing; }

    enum class State {
        Start,
        Marker,
        Code,
        LengthHigh,
        LengthLow,
        Segment,
        Scan,
        ScanMarker,
        Found,
        Missing
    };
    State state_ = State::Start;
    std::uint64_t seen_ = 0; // bytes of the file looked at, from its start
    bool gap_ = false;
    int code_ = 0;                  // the marker whose segment is being passed over
    std::uint64_t segmentLeft_ = 0; // its bytes still to pass over
    int lengthHigh_ = 0;
    std::int64_t end_ = -1;
};

} // namespace sips
