#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <zlib.h>

#include "core/failure.h"
#include "input/source_file.h"

namespace sips {

// A PNG, chunk by chunk: every checksum, the end chunk the decoder stops short of, and the
// whole compressed stream inflated (into a small window): libpng's own error about broken
// pixel data is lost now and then inside libvips's threaded read, and it lets a wrong zlib
// checksum through. Palette rows are unfiltered on the way where the palette is shorter
// than its indices' range, to look at every index.
//
// One walk in two steps: the chunks before the image data when the file is opened, which
// gives the header's size and the PngFacts, then the rest beside the decoding.
class PngCheck {
public:
    explicit PngCheck(const SourceFile& file) : file_(file) {}
    ~PngCheck();
    PngCheck(const PngCheck&) = delete;
    PngCheck& operator=(const PngCheck&) = delete;

    // Walks the chunks before the image data, once. Throws Failure for a header that
    // describes no picture or one over the pixel limit; other damage found here is kept,
    // and walkRest() reports it.
    void walkHeader();
    // The image data and the chunks after it, to the end chunk. Throws Failure naming the
    // first damage, in the walk's order.
    void walkRest();

    const PngFacts& facts() const { return facts_; }

private:
    [[noreturn]] void fail(const char* what) { throw Failure(what, file_.path()); }
    void readChunkHead();
    void chunk();
    void header(const std::vector<unsigned char>& ihdr);
    void palette(const std::vector<unsigned char>& plte);
    static std::uint64_t passSize(std::uint64_t size, int pass, bool across);
    std::uint64_t rowBytes(std::uint64_t pixels) const;
    void inflateSome(const unsigned char* data, size_t size);
    void checkFilters(const unsigned char* data, size_t size);
    void walkRows(const unsigned char* data, size_t size);
    void startPass();
    void endRow();
    void unfilter();

    FileReader file_;
    bool walkedHeader_ = false;
    std::optional<Failure> pending_;
    PngFacts facts_;
    bool describedOtherwise_ = false; // an sRGB or iCCP chunk overrules gAMA
    // The chunk being walked.
    unsigned char head_[8] = {};
    std::uint32_t length_ = 0;
    std::string type_;
    std::vector<unsigned char> content_; // of the small chunks the walk looks into
    bool firstChunk_ = true;

    z_stream stream_{};
    bool inflating_ = false;
    bool streamEnded_ = false;
    bool sawData_ = false;
    std::uint64_t width_ = 0, height_ = 0;
    int depth_ = 8;
    int colourType_ = -1;
    bool interlaced_ = false;
    int bitsPerPixel_ = 0;
    std::uint64_t expected_ = 0;
    std::uint64_t received_ = 0;
    // Row length and rows of each pass, and the next row's filter type.
    struct PassRows {
        std::uint64_t length, count;
    };
    std::vector<PassRows> passRows_;
    size_t filterPass_ = 0;
    std::uint64_t filterRow_ = 0;
    std::uint64_t filterAt_ = 0;
    size_t paletteEntries_ = 0;
    bool checkIndices_ = false;
    // Row walk of a palette picture.
    int pass_ = 0;
    bool started_ = false;
    std::uint64_t passWidth_ = 0;
    std::uint64_t rowsLeft_ = 0;
    size_t rowLength_ = 0;
    size_t column_ = 0;
    std::vector<unsigned char> row_, previous_;
};

} // namespace sips
