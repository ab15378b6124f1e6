#pragma once

#include <string>
#include <vector>

#include "core/formats.h"

namespace sips {

enum class Action { Convert, GetProperties, ListFormats, Help };

struct Options {
    Action action = Action::Convert;
    const OutputFormat* format = nullptr;
    Quality quality;
    std::string out;
    std::vector<std::string> properties; // --getProperty keys, in the order given
    std::vector<std::string> sources;
};

struct ParseResult {
    bool ok = false;
    bool showUsage = false; // the words were not a command line at all
    std::string error;      // one plain sentence when !ok
    Options options;
};

ParseResult parseArguments(const std::vector<std::string>& args);

extern const char* const kUsage;
// The one line after a usage error, instead of the whole usage.
extern const char* const kUsagePointer;

} // namespace sips
