#pragma once

#include "convert.h"

namespace sips {

// Reads the source file for the damage its decoder lets through, filling the missing or
// unreadable part of the picture with grey or black and reporting success: a PNG whose
// checksums are wrong, that ends early or lacks its end chunk, or whose palette does not cover
// its pixels; a PNM with less data than its header declares. Throws Failure naming the damage.
void checkIntact(const SourceImage& source);

// After the picture has been decoded to its last row: throws Failure when its decoder stopped
// well before the end of the compressed data, as a JPEG decoder does where zeroed or otherwise
// garbled data still decodes as valid codes.
void checkFullyRead(const SourceImage& source);

// Whether the source decodes to its end. Asked only after a conversion failed, to tell a
// damaged source from a disk that refused the output.
bool decodesWhole(const SourceImage& source);

} // namespace sips
