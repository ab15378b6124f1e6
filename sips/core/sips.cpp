#include "core/sips.h"

#include <cstdio>
#include <string>
#include <system_error>
#include <vector>
#include <vips/vips8>

#include "contract.h"
#include "core/convert.h"
#include "core/failure.h"
#include "core/modules.h"
#include "core/options.h"
#include "core/output_file.h"
#include "core/parallel.h"
#include "core/paths.h"
#include "core/run_limits.h"

namespace sips {
namespace {

void report(const std::string& what, const std::string& path) {
    std::fprintf(stderr, "%s%s%s%s\n", contract::kErrorPrefix, what.c_str(),
                 contract::kPathSeparator, path.c_str());
}

std::string propertyValue(const SourceImage& source, const std::string& key) {
    if (key == "format")
        return formatWord(source);
    if (key == "pixelWidth")
        return std::to_string(source.shownWidth);
    if (key == "pixelHeight")
        return std::to_string(source.shownHeight);
    if (key == "hasAlpha")
        return source.image.has_alpha() ? "yes" : "no";
    // bitsPerSample
    return std::to_string(vips_format_sizeof(source.image.format()) * 8);
}

bool describe(const std::string& path, const std::vector<std::string>& keys) {
    try {
        SourceImage source = openSource(path);
        std::printf("%s\n", path.c_str());
        for (const std::string& key : keys)
            std::printf("  %s: %s\n", key.c_str(), propertyValue(source, key).c_str());
        return true;
    } catch (const Failure& failure) {
        report(memoryRanOut(failure.what()) ? kNotEnoughMemory : failure.what(), failure.path());
        return false;
    } catch (const std::bad_alloc&) {
        report(kNotEnoughMemory, path);
        return false;
    }
}

enum class Outcome { Done, NameTaken, Failed };

Outcome convert(const std::string& source, const Options& options) {
    try {
        std::string target = outputPathFor(source, options.out, *options.format);
        convertFile(source, target, *options.format, options.quality);
        return Outcome::Done;
    } catch (const NameTaken& taken) {
        report(taken.what(), taken.path());
        return Outcome::NameTaken;
    } catch (const Failure& failure) {
        // A library that ran short of memory or threads says so in its own words, which
        // would otherwise read as damaged data.
        if (memoryRanOut(failure.what()))
            report(kNotEnoughMemory, source);
        else
            report(failure.what(), failure.path());
    } catch (const vips::VError& error) {
        report(memoryRanOut(error.what()) ? kNotEnoughMemory : "cannot convert this image", source);
        vips_error_clear();
    } catch (const std::bad_alloc&) {
        report(kNotEnoughMemory, source);
    } catch (const std::system_error& error) {
        // Thrown where not one thread could be started.
        const bool threads = error.code() == std::errc::resource_unavailable_try_again ||
                             error.code() == std::errc::not_enough_memory;
        report(threads ? kNotEnoughMemory : "cannot convert this image", source);
    } catch (const std::logic_error&) {
        // A writer's own check found its output wrong; the unfinished file is gone.
        report("internal fault while writing the converted image; nothing was kept", source);
    }
    return Outcome::Failed;
}

void ignoreLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

} // namespace

int run(int argc, char** argv, LibraryAtEnd atEnd) {
    ParseResult parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) {
        std::fprintf(stderr, "%s%s\n", contract::kErrorPrefix, parsed.error.c_str());
        if (parsed.showUsage)
            std::fputs(kUsagePointer, stderr);
        return contract::BadCommand;
    }
    const Options& options = parsed.options;
    if (options.action == Action::Convert && options.sources.size() > 1 && !isFolder(options.out)) {
        // Several outputs at one file path would overwrite each other.
        std::fprintf(stderr, "%swith several sources, --out must be a folder%s%s\n",
                     contract::kErrorPrefix, contract::kPathSeparator, options.out.c_str());
        return contract::BadCommand;
    }
    if (options.action == Action::Help) {
        std::fputs(kUsage, stdout);
        return contract::Done;
    }
    if (options.action == Action::ListFormats) {
        std::fputs(formatList().c_str(), stdout);
        return contract::Done;
    }

    watchLimits();
    deferOptionalModules();
    if (VIPS_INIT(argv[0]) != 0) {
        std::fprintf(stderr, "%sthe image library did not start: %s\n", contract::kErrorPrefix,
                     vips_error_buffer());
        return contract::Failed;
    }
    // Decoders warn on stderr about what then fails anyway; the one line per failure says it.
    g_log_set_handler("VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE), ignoreLog,
                      nullptr);
    // One image per run: libvips's operation cache would only hold memory.
    vips_cache_set_max(0);
    holdLibraryThreads();
    installInterruptCleanup();

    bool anyFailed = false;
    bool anyNameTaken = false;
    for (const std::string& source : options.sources) {
        convertingSource(source);
        if (&source == &options.sources.back())
            treatNextOutputAsLast();
        Outcome outcome =
            options.action == Action::GetProperties
                ? (describe(source, options.properties) ? Outcome::Done : Outcome::Failed)
                : convert(source, options);
        anyFailed = anyFailed || outcome == Outcome::Failed;
        anyNameTaken = anyNameTaken || outcome == Outcome::NameTaken;
    }
    if (atEnd == LibraryAtEnd::ShutDown)
        vips_shutdown();
    if (anyFailed)
        return contract::Failed;
    // Only taken names: another name would do, which the caller can tell from the status.
    return anyNameTaken ? contract::NameTaken : contract::Done;
}

} // namespace sips
