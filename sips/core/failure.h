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

// "the image data is damaged or cut short", with a decoder's own words in brackets where it
// gave any.
inline std::string damagedBecause(const std::string& reason) {
    const std::string what = "the image data is damaged or cut short";
    return reason.empty() ? what : what + " (" + reason + ")";
}

// Something had the output's name, when the conversion began or by the time its output was
// complete; nothing was replaced. The tool's caller can take another name and run again.
class NameTaken : public Failure {
public:
    explicit NameTaken(std::string path)
        : Failure("a file of this name already exists", std::move(path)) {}
};

} // namespace sips
