#pragma once

namespace sips {

// How the checks of a source name what they found wrong with it.
inline constexpr char kCutShort[] = "the image data is cut short";
inline constexpr char kFewerPixels[] =
    "the image data is cut short (fewer pixels than its header says)";
inline constexpr char kChecksum[] = "the image data is damaged (a checksum does not match)";
inline constexpr char kCompressed[] =
    "the image data is damaged (its compressed pixels are corrupt)";
inline constexpr char kPalette[] = "the image data is damaged (its colour palette is broken)";
inline constexpr char kHeader[] = "the image data is damaged (its header is broken)";

} // namespace sips
