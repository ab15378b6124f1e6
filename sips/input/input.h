#pragma once

#include <cstdint>
#include <string>
#include <vips/vips8>

#include "input/source_file.h"

namespace sips {

// The libvips loader (e.g. "pngload") that reads the file at `path`, chosen from its content;
// nullptr when none does. libvips's own search takes a name ending in brackets, such as
// "photo.png[x]", for a file name plus load options; here every byte of `path` is the name.
const char* findLoader(const std::string& path);

// Opens `file` with `loader` from the file's bytes, never by handing its name to a library that
// reads more into a name (ImageMagick takes "[0]", "|command" and "png:" as instructions).
// An SVG read this way has no folder to resolve references in, so it can pull no other file
// into the picture. A JPEG is read from the file's own descriptor. Throws vips::VError.
vips::VImage loadFile(const SourceFile& file, const char* loader, VipsAccess access);

// How many bytes of its file the decoder of `image`, opened by loadFile, has read so far; -1
// where that is not known.
gint64 bytesDecoded(const vips::VImage& image);

// Where the picture of a JPEG opened by loadFile ends, the decoder's reading of the file
// included (see JpegEnd); -1 where it has no end where it should, or is no JPEG.
std::int64_t jpegPictureEnd(const vips::VImage& image, const SourceFile& file);

// What decoders report through GLib's log, rather than as errors, while it is in scope: poppler
// names each fault of a PDF it renders around, libtiff warns of strip data it decodes on
// from, and GObject warns of a header value it could not take. None of it reaches stderr; the
// conversion is then refused with the first report. One may be made inside another's scope: the
// outer one keeps the reports.
class DecoderReports {
public:
    DecoderReports();
    ~DecoderReports();
    DecoderReports(const DecoderReports&) = delete;
    DecoderReports& operator=(const DecoderReports&) = delete;

    // Throws Failure for `path` naming the first damage reported, if any.
    void check(const std::string& path) const;
};

} // namespace sips
