#pragma once

#include "core/convert.h"

namespace sips {

// Before the decoder reads the header of `source`, which `loader` was chosen for: throws
// Failure for a PNM or PNG header that describes no picture (libvips makes one of it, with
// warnings on stderr) or a PNM, PNG or TIFF over the pixel limit (which libpng and libvips
// refuse as damaged where a side is very long). A PNG's chunks are walked up to its image
// data here, which gives its PngFacts.
void checkHeader(SourceFile& source, const char* loader);

// Reads the source file, before its pixels are decoded, for the damage its decoder lets
// through, filling the missing or unreadable part of the picture with grey or black and
// reporting success: a PNM with less data than its header declares; a GIF frame whose codes
// stand for fewer pixels than the frame has, or name what the decoder has not yet made.
// Throws Failure naming the damage.
void checkIntact(const SourceImage& source);

// The same for a PNG, which is read whole and may take as long as its decoding, beside which
// it can run, taking on the walk checkHeader() began: checksums wrong, a compressed stream that is
// corrupt or ends early, no end chunk, a palette that does not cover the pixels.
void checkStream(const SourceImage& source);

// After the picture has been decoded to its last row: throws Failure when its decoder stopped
// well before the end of the compressed data, as a JPEG decoder does where zeroed or otherwise
// garbled data still decodes as valid codes.
void checkFullyRead(const SourceImage& source);

} // namespace sips
