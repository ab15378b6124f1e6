#pragma once

#include <string>

namespace sips {

// Reads the whole file at `path` for the damage its decoder lets through, filling the missing
// or unreadable part of the picture with grey or black and reporting success: a PNG whose
// compressed data or checksums are wrong, that ends early or lacks its end chunk, or whose
// palette does not cover its pixels; a PNM with less data than its header declares. `loader`
// is libvips's name for the decoder that reads the file. Throws Failure naming the damage.
void checkIntact(const std::string& path, const std::string& loader);

} // namespace sips
