#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sips {

bool endsWith(std::string_view text, std::string_view tail);

// The last component of `path`: all of it when it has no slash.
std::string baseName(const std::string& path);

// What follows the last dot of the last component of `path`, in lower case; empty where
// that has no dot.
std::string lowerCaseExtension(const std::string& path);

// Whether `path` is a folder, or a link to one.
bool isFolder(const std::string& path);

// The number stored in four bytes, most significant first, as PNG stores its numbers.
inline std::uint32_t bigEndian32(const unsigned char* bytes) {
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
           std::uint32_t(bytes[2]) << 8 | bytes[3];
}

// The same in two bytes, as JPEG 2000's codestream stores them.
inline unsigned bigEndian16(const unsigned char* bytes) {
    return unsigned(bytes[0]) << 8 | bytes[1];
}

// Two bytes, least significant first, as GIF and Targa store their numbers.
inline unsigned littleEndian16(const unsigned char* bytes) {
    return bytes[0] | unsigned(bytes[1]) << 8;
}

} // namespace sips
