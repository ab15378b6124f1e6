#pragma once

#include <stdexcept>
#include <string>

namespace sips {

// Everything that stops one file's conversion, worded for the person who runs the tool.
// It is reported as "Error: WHAT: PATH".
class Failure : public std::runtime_error {
public:
    Failure(const std::string& what, std::string path)
        : std::runtime_error(what), path_(std::move(path)) {}
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace sips
