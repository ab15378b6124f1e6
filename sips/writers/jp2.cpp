#include "writers/jp2.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <openjpeg.h>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/ordered_work.h"
#include "core/output_file.h"
#include "core/parallel.h"
#include "core/paths.h"
#include "core/strips.h"

using vips::VImage;

namespace sips {
namespace {

using Buffer = std::vector<unsigned char>;

// Big enough that tiles cost little in file size (0.4% more than at libvips's 512), small
// enough that a band of them takes little memory and a 24-megapixel picture gives every
// core hundreds of them.
constexpr int kTileSize = 256;

constexpr unsigned kStartOfTile = 0xff90;
constexpr unsigned kImageAndTileSize = 0xff51;
constexpr unsigned char kEndOfCodestream[2] = {0xff, 0xd9};

struct Geometry {
    int width;
    int height;
    int bands;
    bool sixteenBit;
    size_t pixelBytes;
    int resolutions;
    OPJ_COLOR_SPACE space;
    int colours; // bands before the extra (alpha) ones
};

// A memory stream that OpenJPEG writes one tile's codestream into.
struct Memory {
    Buffer data;
    size_t position = 0;

    void reach(size_t end) {
        if (data.size() < end)
            data.resize(end);
    }
};

OPJ_SIZE_T writeMemory(void* from, OPJ_SIZE_T size, void* user) {
    auto* memory = static_cast<Memory*>(user);
    memory->reach(memory->position + size);
    std::memcpy(memory->data.data() + memory->position, from, size);
    memory->position += size;
    return size;
}

OPJ_OFF_T skipMemory(OPJ_OFF_T size, void* user) {
    auto* memory = static_cast<Memory*>(user);
    memory->position += size_t(size);
    memory->reach(memory->position);
    return size;
}

OPJ_BOOL seekMemory(OPJ_OFF_T position, void* user) {
    auto* memory = static_cast<Memory*>(user);
    memory->position = size_t(position);
    memory->reach(memory->position);
    return OPJ_TRUE;
}

void ignoreMessage(const char*, void*) {}

struct Tile {
    int index;
    int left;
    int top;
    int width;
    int height;
    Buffer pixels; // rows of the tile alone, band-interleaved, native-endian
};

void putBig16(Buffer& data, size_t at, unsigned value) {
    data[at] = static_cast<unsigned char>(value >> 8);
    data[at + 1] = static_cast<unsigned char>(value & 0xff);
}

void putBig32(Buffer& data, size_t at, std::uint32_t value) {
    putBig16(data, at, value >> 16);
    putBig16(data, at + 2, value & 0xffff);
}

// Where the first tile starts: the end of the main header.
size_t firstTileIn(const Buffer& stream) {
    size_t at = 2; // after the start-of-codestream marker
    while (at + 4 <= stream.size() && bigEndian16(&stream[at]) != kStartOfTile)
        at += 2 + bigEndian16(&stream[at + 2]);
    return at;
}

using ImagePtr = std::unique_ptr<opj_image_t, decltype(&opj_image_destroy)>;

// The tile as a picture of its own, placed at its true position on the image's grid.
ImagePtr tileImage(const Tile& tile, const Geometry& geometry, const std::string& target) {
    std::vector<opj_image_cmptparm_t> parameters(size_t(geometry.bands));
    const unsigned bits = geometry.sixteenBit ? 16 : 8;
    for (opj_image_cmptparm_t& component : parameters) {
        component = {};
        component.dx = component.dy = 1;
        component.w = OPJ_UINT32(tile.width);
        component.h = OPJ_UINT32(tile.height);
        component.x0 = OPJ_UINT32(tile.left);
        component.y0 = OPJ_UINT32(tile.top);
        component.prec = bits;
        component.sgnd = 0;
    }
    ImagePtr image(opj_image_create(OPJ_UINT32(geometry.bands), parameters.data(), geometry.space),
                   opj_image_destroy);
    if (!image)
        throw Failure("not enough memory to encode the JPEG 2000 image", target);
    image->x0 = OPJ_UINT32(tile.left);
    image->y0 = OPJ_UINT32(tile.top);
    image->x1 = OPJ_UINT32(tile.left + tile.width);
    image->y1 = OPJ_UINT32(tile.top + tile.height);
    return image;
}

// OpenJPEG takes one plane per band; the tile's pixels are band-interleaved.
template <typename Sample>
void splitIntoPlanes(const Tile& tile, const Geometry& geometry, opj_image_t& image) {
    const size_t count = size_t(tile.width) * size_t(tile.height);
    const auto* samples = reinterpret_cast<const Sample*>(tile.pixels.data());
    for (int band = 0; band < geometry.bands; ++band) {
        opj_image_comp_t& component = image.comps[band];
        component.alpha = band >= geometry.colours;
        OPJ_INT32* plane = component.data;
        for (size_t i = 0; i < count; ++i)
            plane[i] = samples[i * size_t(geometry.bands) + size_t(band)];
    }
}

opj_cparameters_t losslessSettings(const Tile& tile, const Geometry& geometry) {
    opj_cparameters_t settings;
    opj_set_default_encoder_parameters(&settings);
    settings.irreversible = 0;
    settings.tile_size_on = OPJ_TRUE;
    settings.cp_tx0 = tile.left;
    settings.cp_ty0 = tile.top;
    settings.cp_tdx = kTileSize;
    settings.cp_tdy = kTileSize;
    settings.tcp_mct = geometry.bands >= 3 ? 1 : 0;
    settings.numresolution = geometry.resolutions;
    // Selective arithmetic-coding bypass ("lazy" code-blocks): the lower bit-planes'
    // significance and refinement passes are stored raw instead of through the MQ coder.
    // Still lossless and part of the core standard; about a sixth less work, and for
    // photographs the files come out a little smaller.
    settings.mode = 1;
    return settings;
}

// Runs OpenJPEG on one picture and returns its codestream.
Buffer compress(opj_image_t& image, opj_cparameters_t& settings, const std::string& target) {
    std::unique_ptr<opj_codec_t, decltype(&opj_destroy_codec)> codec(
        opj_create_compress(OPJ_CODEC_J2K), opj_destroy_codec);
    opj_set_info_handler(codec.get(), ignoreMessage, nullptr);
    opj_set_warning_handler(codec.get(), ignoreMessage, nullptr);
    opj_set_error_handler(codec.get(), ignoreMessage, nullptr);
    Memory memory;
    std::unique_ptr<opj_stream_t, decltype(&opj_stream_destroy)> stream(
        opj_stream_create(size_t(1) << 20, OPJ_FALSE), opj_stream_destroy);
    opj_stream_set_write_function(stream.get(), writeMemory);
    opj_stream_set_skip_function(stream.get(), skipMemory);
    opj_stream_set_seek_function(stream.get(), seekMemory);
    opj_stream_set_user_data(stream.get(), &memory, nullptr);
    // One thread per tile: the tiles themselves keep every core busy.
    opj_codec_set_threads(codec.get(), 1);
    if (!opj_setup_encoder(codec.get(), &settings, &image) ||
        !opj_start_compress(codec.get(), &image, stream.get()) ||
        !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
        throw Failure("the JPEG 2000 encoder failed", target);
    stream.reset();
    return std::move(memory.data);
}

// Each tile is encoded on its own as a picture that covers only that tile, at its true
// place on the image's grid (the image and tile offsets that the codestream allows), so that
// the wavelet and code-block layout are exactly those of the whole picture. The codestream
// of the whole picture is then the first one's main header, made to describe the full size,
// followed by every tile's tile-part, renumbered.
Buffer encodeTile(const Tile& tile, const Geometry& geometry, const std::string& target) {
    ImagePtr image = tileImage(tile, geometry, target);
    if (geometry.sixteenBit)
        splitIntoPlanes<std::uint16_t>(tile, geometry, *image);
    else
        splitIntoPlanes<unsigned char>(tile, geometry, *image);
    opj_cparameters_t settings = losslessSettings(tile, geometry);
    return compress(*image, settings, target);
}

// The main header of a one-tile codestream, made to describe the whole picture.
Buffer mainHeaderFrom(const Buffer& tileStream, const Geometry& geometry,
                      const std::string& target) {
    Buffer header(tileStream.begin(), tileStream.begin() + long(firstTileIn(tileStream)));
    // SIZ follows the start-of-codestream marker: marker, length, capabilities, then the
    // image size, image offset, tile size and tile offset.
    if (header.size() < 40 || bigEndian16(&header[2]) != kImageAndTileSize)
        throw Failure("the JPEG 2000 encoder failed", target);
    putBig32(header, 8, std::uint32_t(geometry.width));
    putBig32(header, 12, std::uint32_t(geometry.height));
    putBig32(header, 16, 0);
    putBig32(header, 20, 0);
    putBig32(header, 32, 0);
    putBig32(header, 36, 0);
    return header;
}

Geometry geometryOf(const VImage& image) {
    Geometry geometry{};
    geometry.width = image.width();
    geometry.height = image.height();
    geometry.bands = image.bands();
    geometry.sixteenBit = image.format() == VIPS_FORMAT_USHORT;
    geometry.pixelBytes = size_t(geometry.bands) * (geometry.sixteenBit ? 2 : 1);
    // As libvips chooses it: the smallest level about 32 pixels on the shorter side; but no
    // more levels than a tile can be halved into, which OpenJPEG refuses.
    const int tileLevels = int(std::log2(double(kTileSize))) + 1;
    geometry.resolutions = std::clamp(
        int(std::log(double(std::min(geometry.width, geometry.height))) / std::log(2.0) - 5), 1,
        tileLevels);
    switch (image.interpretation()) {
    case VIPS_INTERPRETATION_B_W:
    case VIPS_INTERPRETATION_GREY16:
        geometry.space = OPJ_CLRSPC_GRAY;
        geometry.colours = 1;
        break;
    case VIPS_INTERPRETATION_sRGB:
    case VIPS_INTERPRETATION_RGB16:
        geometry.space = OPJ_CLRSPC_SRGB;
        geometry.colours = 3;
        break;
    default:
        geometry.space = OPJ_CLRSPC_UNSPECIFIED;
        geometry.colours = geometry.bands;
        break;
    }
    geometry.colours = std::min(geometry.colours, geometry.bands);
    return geometry;
}

// The JP2 boxes before the codestream: signature, file type, and the header with the
// size, the colour space and, where there is alpha, which band it is.
Bytes jp2Header(const Geometry& geometry) {
    Bytes header;
    header.be32(12);
    header.text("jP  \r\n\x87\n", 8);
    header.be32(20);
    header.text("ftypjp2 ", 8);
    header.be32(0);
    header.text("jp2 ", 4);

    const bool describeAlpha = geometry.bands - geometry.colours == 1;
    const std::uint32_t definitionBytes =
        describeAlpha ? 8 + 2 + 6 * std::uint32_t(geometry.bands) : 0;
    header.be32(8 + 22 + 15 + definitionBytes);
    header.text("jp2h", 4);
    header.be32(22);
    header.text("ihdr", 4);
    header.be32(std::uint32_t(geometry.height));
    header.be32(std::uint32_t(geometry.width));
    header.be16(unsigned(geometry.bands));
    header.u8(geometry.sixteenBit ? 15 : 7); // bits per component, less one
    header.u8(7);                            // compressed as JPEG 2000
    header.u8(0);                            // the colour space is known
    header.u8(0);                            // no intellectual property box
    header.be32(15);
    header.text("colr", 4);
    header.u8(1); // an enumerated colour space
    header.u8(0);
    header.u8(0);
    header.be32(geometry.colours >= 3 ? 16 : 17); // sRGB, or greyscale
    if (describeAlpha) {
        header.be32(definitionBytes);
        header.text("cdef", 4);
        header.be16(unsigned(geometry.bands));
        for (int band = 0; band < geometry.bands; ++band) {
            const bool alpha = band == geometry.colours;
            header.be16(unsigned(band));
            header.be16(alpha ? 1 : 0);                  // opacity, or a colour
            header.be16(alpha ? 0 : unsigned(band + 1)); // of the whole picture, or which
        }
    }
    return header;
}

// The jp2c box that holds the codestream: the first tile's main header, then every
// tile's tile-part in order; its length is known only at the end.
class CodestreamBox {
public:
    CodestreamBox(OutputFile& out, const Geometry& geometry)
        : out_(out), geometry_(geometry), target_(out.target()) {
        Bytes boxes = jp2Header(geometry);
        out_.write(boxes.data(), boxes.size());
        start_ = boxes.size();
        const unsigned char box[8] = {0, 0, 0, 0, 'j', 'p', '2', 'c'};
        out_.write(box, sizeof box);
        written_ = sizeof box;
    }

    void append(const Buffer& stream) {
        const size_t first = firstTileIn(stream);
        if (!headerWritten_) {
            Buffer header = mainHeaderFrom(stream, geometry_, target_);
            put(header.data(), header.size());
            headerWritten_ = true;
        }
        // The tile-parts, without the end-of-codestream marker that closes each one.
        put(stream.data() + first, stream.size() - first - sizeof kEndOfCodestream);
    }

    void close() {
        put(kEndOfCodestream, sizeof kEndOfCodestream);
        // A last box may say 0, "to the end of the file", where its length does not fit.
        Bytes length;
        length.be32(written_ <= 0xffffffffu ? std::uint32_t(written_) : 0);
        out_.writeAt(start_, length.data(), length.size());
    }

private:
    void put(const unsigned char* data, size_t size) {
        out_.write(data, size);
        written_ += size;
    }

    OutputFile& out_;
    const Geometry& geometry_;
    const std::string target_;
    std::uint64_t start_ = 0;
    std::uint64_t written_ = 0;
    bool headerWritten_ = false;
};

// The tile at column of a band of rows that starts at bandTop, copied out of the band.
Tile cutTile(const Buffer& band, int bandTop, int rows, int column, const Geometry& geometry) {
    const int tilesAcross = (geometry.width + kTileSize - 1) / kTileSize;
    const size_t rowBytes = size_t(geometry.width) * geometry.pixelBytes;
    Tile tile;
    tile.index = bandTop / kTileSize * tilesAcross + column;
    tile.left = column * kTileSize;
    tile.top = bandTop;
    tile.width = std::min(kTileSize, geometry.width - tile.left);
    tile.height = rows;
    const size_t tileRowBytes = size_t(tile.width) * geometry.pixelBytes;
    tile.pixels.resize(tileRowBytes * size_t(rows));
    for (int y = 0; y < rows; ++y)
        std::memcpy(tile.pixels.data() + size_t(y) * tileRowBytes,
                    band.data() + size_t(y) * rowBytes + size_t(tile.left) * geometry.pixelBytes,
                    tileRowBytes);
    return tile;
}

} // namespace

void writeLosslessJp2(const VImage& picture, OutputFile& out) {
    VImage image = picture;
    if (image.format() != VIPS_FORMAT_UCHAR && image.format() != VIPS_FORMAT_USHORT)
        image = image.cast(VIPS_FORMAT_UCHAR);
    const Geometry geometry = geometryOf(image);
    const size_t rowBytes = size_t(geometry.width) * geometry.pixelBytes;
    const int tilesAcross = (geometry.width + kTileSize - 1) / kTileSize;
    const std::string target = out.target();

    CodestreamBox codestream(out, geometry);
    // A tile's codec works on 32-bit samples in several copies (the samples, their wavelet
    // transform, the code-blocks' buffers): about sixteen times the tile's own bytes, which
    // with the two tiles in flight is what each thread holds.
    const size_t rawTileBytes = size_t(kTileSize) * kTileSize * geometry.pixelBytes;
    OrderedWork<Buffer> work(workerThreadsWithin(rawTileBytes * 16),
                             [&](const Buffer& stream) { codestream.append(stream); });

    // One row of tiles at a time: the picture streams through in bands of kTileSize rows.
    Buffer band;
    int bandTop = 0;
    auto submitBand = [&](int rows) {
        for (int column = 0; column < tilesAcross; ++column) {
            Tile tile = cutTile(band, bandTop, rows, column, geometry);
            work.submit([tile = std::move(tile), &geometry, &target]() {
                Buffer stream = encodeTile(tile, geometry, target);
                // The tile's number in the whole picture, in its start-of-tile marker.
                putBig16(stream, firstTileIn(stream) + 4, unsigned(tile.index));
                return stream;
            });
        }
        band.clear();
        bandTop += rows;
    };
    forEachStrip(image, [&](const Strip& strip) {
        for (int y = strip.top; y < strip.top + strip.height; ++y) {
            if (band.empty())
                band.reserve(rowBytes * size_t(std::min(kTileSize, geometry.height - bandTop)));
            const unsigned char* row = strip.row(y);
            band.insert(band.end(), row, row + rowBytes);
            if (y + 1 - bandTop == kTileSize)
                submitBand(kTileSize);
        }
    });
    if (!band.empty())
        submitBand(geometry.height - bandTop);
    work.finishAll();
    codestream.close();
}

} // namespace sips
