#include "input/jpeg_end.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/failure.h"

namespace sips {
namespace {

// The markers a scan may end with: tables, another scan, comments, application data and the
// end. Damage can forge any other marker inside the compressed data.
bool followsScan(int code) {
    return (code >= 0xc0 && code <= 0xcf) || code == 0xd9 || code == 0xda || code == 0xdb ||
           code == 0xdc || code == 0xdd || code >= 0xe0;
}

} // namespace

void JpegEnd::see(std::uint64_t offset, const unsigned char* data, size_t size) {
    if (gap_ || done() || offset + size <= seen_)
        return;
    if (offset > seen_) {
        gap_ = true;
        return;
    }
    step(data + (seen_ - offset), size_t(offset + size - seen_));
}

std::int64_t JpegEnd::end(const SourceFile& file) {
    try {
        FileReader rest(file, seen_);
        std::vector<unsigned char> block(64 * 1024);
        while (!done()) {
            const size_t got = rest.read(block.data(), block.size());
            if (got == 0)
                state_ = State::Missing;
            step(block.data(), got);
        }
    } catch (const Failure&) {
        return -1;
    }
    return end_;
}

void JpegEnd::marker(int code) {
    if (code == 0xd9) {
        // The end marker starts at its last 0xff.
        end_ = std::int64_t(seen_) - 2;
        state_ = State::Found;
    } else if (code == 0x01 || (code >= 0xd0 && code <= 0xd7)) {
        state_ = State::Marker;
    } else {
        code_ = code;
        state_ = State::LengthHigh;
    }
}

void JpegEnd::step(const unsigned char* data, size_t size) {
    size_t i = 0;
    while (i < size && !done()) {
        switch (state_) {
        case State::Start:
            // The start marker, two bytes.
            ++seen_, ++i;
            if (seen_ == 2)
                state_ = State::Marker;
            break;
        case State::Marker:
            state_ = data[i] == 0xff ? State::Code : State::Missing;
            ++seen_, ++i;
            break;
        case State::Code: {
            const int code = data[i];
            ++seen_, ++i;
            if (code != 0xff) // 0xff: a fill byte before the code
                marker(code);
            break;
        }
        case State::LengthHigh:
            lengthHigh_ = data[i];
            ++seen_, ++i;
            state_ = State::LengthLow;
            break;
        case State::LengthLow: {
            const int length = lengthHigh_ << 8 | data[i];
            ++seen_, ++i;
            if (length < 2) {
                state_ = State::Missing;
                break;
            }
            segmentLeft_ = std::uint64_t(length - 2);
            state_ = segmentLeft_ > 0 ? State::Segment
                     : code_ == 0xda  ? State::Scan
                                      : State::Marker;
            break;
        }
        case State::Segment: {
            const std::uint64_t n = std::min<std::uint64_t>(segmentLeft_, size - i);
            segmentLeft_ -= n;
            seen_ += n;
            i += size_t(n);
            if (segmentLeft_ == 0)
                state_ = code_ == 0xda ? State::Scan : State::Marker;
            break;
        }
        case State::Scan: {
            // Compressed data runs to the next marker that is neither a stuffed byte nor a
            // restart.
            const void* found = std::memchr(data + i, 0xff, size - i);
            const size_t to =
                found ? size_t(static_cast<const unsigned char*>(found) - data) : size;
            seen_ += to - i;
            i = to;
            if (found) {
                ++seen_, ++i;
                state_ = State::ScanMarker;
            }
            break;
        }
        case State::ScanMarker: {
            const int next = data[i];
            ++seen_, ++i;
            // 0xff: a fill byte, the last of which starts the marker; otherwise a stuffed
            // byte, a restart, or garbage the decoder warns about.
            if (next == 0xff)
                break;
            if (followsScan(next))
                marker(next);
            else
                state_ = State::Scan;
            break;
        }
        case State::Found:
        case State::Missing:
            break;
        }
    }
}

} // namespace sips
