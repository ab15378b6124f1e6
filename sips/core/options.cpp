#include "core/options.h"

#include <algorithm>
#include <array>
#include <optional>

namespace sips {

const char* const kUsage =
    "usage: sips --setProperty format WORD [--setProperty formatOptions QUALITY] SOURCE... "
    "--out PATH\n"
    "       sips --getProperty KEY SOURCE...\n"
    "       sips --formats | --help\n"
    "\n"
    "  -s, --setProperty format WORD           jpeg, jpg, gif, png, tiff, bmp, tga, psd, jp2, "
    "pdf\n"
    "  -s, --setProperty formatOptions QUALITY default, low, normal, high, best or a "
    "percentage\n"
    "  -o, --out PATH                          the output file, or a folder to write into\n"
    "  -g, --getProperty KEY                   format, pixelWidth, pixelHeight, hasAlpha,\n"
    "                                          bitsPerSample\n"
    "      --formats                           list the output formats\n"
    "      --help                              show this text\n"
    "\n"
    "Every output is written completely or not at all, never over an existing file; the\n"
    "source is never rewritten.\n";

const char* const kUsagePointer = "Try 'sips --help' for more information.\n";

namespace {

const std::array<const char*, 5> kPropertyKeys{"format", "pixelWidth", "pixelHeight", "hasAlpha",
                                               "bitsPerSample"};

ParseResult usageError(std::string error) {
    ParseResult result;
    result.showUsage = true;
    result.error = std::move(error);
    return result;
}

ParseResult plainError(std::string error) {
    ParseResult result;
    result.error = std::move(error);
    return result;
}

ParseResult success(Options options) {
    ParseResult result;
    result.ok = true;
    result.options = std::move(options);
    return result;
}

// --setProperty KEY VALUE; an error, or nothing when it is taken.
std::optional<ParseResult> setProperty(Options& options, const std::string& key,
                                       const std::string& value) {
    if (key == "format") {
        options.format = findFormat(value);
        if (!options.format)
            return plainError("unknown output format (see --formats): " + value);
    } else if (key == "formatOptions") {
        if (!parseQuality(value, options.quality))
            return plainError("formatOptions takes default, low, normal, high, best or "
                              "a percentage: " +
                              value);
    } else {
        return usageError("unknown property to set: " + key);
    }
    return std::nullopt;
}

// Once every argument is read: the one action they ask for, with all it needs.
ParseResult chooseAction(Options options, bool converting, bool gotOut) {
    if (options.action == Action::ListFormats) {
        if (converting || gotOut || !options.properties.empty() || !options.sources.empty())
            return usageError("--formats takes nothing else");
    } else if (!options.properties.empty()) {
        if (converting || gotOut)
            return usageError("--getProperty cannot be combined with a conversion");
        if (options.sources.empty())
            return usageError("no image file given");
        options.action = Action::GetProperties;
    } else {
        if (options.sources.empty())
            return usageError("no image file given");
        if (!gotOut)
            return plainError("no output given, and the source is never rewritten (use --out): " +
                              options.sources.front());
        if (!options.format)
            return usageError("no output format given (--setProperty format WORD)");
    }
    return success(std::move(options));
}

} // namespace

ParseResult parseArguments(const std::vector<std::string>& args) {
    Options options;
    bool converting = false;
    bool gotOut = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto operands = [&](size_t count) { return i + count < args.size(); };
        if (arg == "--help" || arg == "-h") {
            options.action = Action::Help;
            return success(std::move(options));
        } else if (arg == "--formats") {
            options.action = Action::ListFormats;
        } else if (arg == "-s" || arg == "--setProperty") {
            if (!operands(2))
                return usageError(arg + " needs a key and a value");
            const std::string& key = args[++i];
            const std::string& value = args[++i];
            converting = true;
            if (std::optional<ParseResult> error = setProperty(options, key, value))
                return *error;
        } else if (arg == "-o" || arg == "--out") {
            if (!operands(1))
                return usageError(arg + " needs a path");
            if (gotOut)
                return usageError("more than one --out");
            options.out = args[++i];
            gotOut = true;
            if (options.out.empty())
                return usageError("--out needs a path");
        } else if (arg == "-g" || arg == "--getProperty") {
            if (!operands(1))
                return usageError(arg + " needs a key");
            const std::string& key = args[++i];
            if (std::find(kPropertyKeys.begin(), kPropertyKeys.end(), key) == kPropertyKeys.end())
                return usageError("unknown property to get: " + key);
            options.properties.push_back(key);
        } else if (arg == "--") {
            options.sources.insert(options.sources.end(), args.begin() + i + 1, args.end());
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option: " + arg);
        } else {
            options.sources.push_back(arg);
        }
    }
    return chooseAction(std::move(options), converting, gotOut);
}

} // namespace sips
