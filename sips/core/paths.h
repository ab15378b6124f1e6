#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sips {

bool endsWith(std::string_view text, std::string_view tail);

// The last component of `path`: all of it when it has no slash.
std::string baseName(const std::string& path);

// Whether `path` is a folder, or a link to one.
bool isFolder(const std::string& path);

// The number stored in four bytes, most significant first, as PNG stores its numbers.
inline std::uint32_t bigEndian32(const unsigned char* bytes) {
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
           std::uint32_t(bytes[2]) << 8 | bytes[3];
}

} // namespace sips
