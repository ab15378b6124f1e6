#include "input/input.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "core/failure.h"
#include "core/paths.h"
#include "input/jpeg_end.h"

using vips::VImage;

namespace sips {
namespace {

bool hasSuffix(const std::string& path, const char* const* suffixes) {
    if (!suffixes)
        return false;
    for (; *suffixes; ++suffixes) {
        std::string_view suffix = *suffixes;
        if (path.size() >= suffix.size() &&
            g_ascii_strcasecmp(path.c_str() + path.size() - suffix.size(), suffix.data()) == 0)
            return true;
    }
    return false;
}

void* readsFile(VipsForeignLoadClass* loadClass, const std::string* path, void*) {
    const char* nickname = VIPS_OBJECT_CLASS(loadClass)->nickname;
    if (endsWith(nickname, "_source") || endsWith(nickname, "_buffer"))
        return nullptr;
    // The loader's own test on the whole name, as libvips makes it after cutting options off.
    bool reads = loadClass->is_a ? loadClass->is_a(path->c_str()) != 0
                                 : hasSuffix(*path, VIPS_FOREIGN_CLASS(loadClass)->suffs);
    return reads ? const_cast<char*>(nickname) : nullptr;
}

const char kSourceKey[] = "sips-source";
const char kTapKey[] = "sips-jpeg-end";

// A JPEG is decoded from the source file's descriptor through a source that shows its bytes
// to JpegEnd as they pass to the decoder; the end is found without reading them again.
struct JpegTap {
    explicit JpegTap(int descriptor) : fd(descriptor) {}
    ~JpegTap() { close(fd); }
    JpegTap(const JpegTap&) = delete;
    JpegTap& operator=(const JpegTap&) = delete;

    int fd; // the source file's, duplicated: it lives as long as the decoder's source
    std::uint64_t at = 0;
    JpegEnd end;
};

gint64 readTapped(VipsSourceCustom*, void* buffer, gint64 length, void* closure) {
    auto* tap = static_cast<JpegTap*>(closure);
    ssize_t n;
    do
        n = pread(tap->fd, buffer, size_t(length), off_t(tap->at));
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    tap->end.see(tap->at, static_cast<const unsigned char*>(buffer), size_t(n));
    tap->at += std::uint64_t(n);
    return n;
}

gint64 seekTapped(VipsSourceCustom*, gint64 offset, int whence, void* closure) {
    auto* tap = static_cast<JpegTap*>(closure);
    gint64 base = 0;
    if (whence == SEEK_CUR) {
        base = gint64(tap->at);
    } else if (whence == SEEK_END) {
        struct stat info;
        if (fstat(tap->fd, &info) != 0)
            return -1;
        base = info.st_size;
    } else if (whence != SEEK_SET) {
        return -1;
    }
    if (base + offset < 0)
        return -1;
    tap->at = std::uint64_t(base + offset);
    return base + offset;
}

vips::VSource tappedSource(const SourceFile& file) {
    const int fd = fcntl(file.descriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        vips_error_system(errno, "sips", "%s", "cannot read this file");
        throw vips::VError();
    }
    auto* tap = new JpegTap(fd);
    VipsSourceCustom* custom = vips_source_custom_new();
    g_object_set_data_full(G_OBJECT(custom), kTapKey, tap,
                           [](gpointer data) { delete static_cast<JpegTap*>(data); });
    g_signal_connect(custom, "read", G_CALLBACK(readTapped), tap);
    g_signal_connect(custom, "seek", G_CALLBACK(seekTapped), tap);
    return vips::VSource(VIPS_SOURCE(custom));
}

bool operationExists(const std::string& nickname) {
    return vips_type_find("VipsOperation", nickname.c_str()) != 0;
}

int freeBytes(void* bytes, void*) {
    g_free(bytes);
    return 0;
}

// ImageMagick, for BMP, TGA, PSD and the like, gets the file's bytes rather than its name.
VImage loadThroughMemory(const SourceFile& file, const char* loader, vips::VOption* options) {
    struct stat info;
    if (fstat(file.descriptor(), &info) != 0) {
        vips_error_system(errno, "sips", "%s", "cannot read this file");
        delete options;
        throw vips::VError();
    }
    size_t size = size_t(info.st_size);
    auto* bytes = static_cast<unsigned char*>(g_try_malloc(size > 0 ? size : 1));
    if (!bytes) {
        delete options;
        throw std::bad_alloc();
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = pread(file.descriptor(), bytes + done, size - done, off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            vips_error_system(errno, "sips", "%s", "cannot read this file");
            g_free(bytes);
            delete options;
            throw vips::VError();
        }
        if (n == 0) // the file is shorter now than it was
            size = done;
        done += size_t(n);
    }
    VipsBlob* blob = vips_blob_new(freeBytes, bytes, size);
    VImage image;
    try {
        VImage::call((std::string(loader) + "_buffer").c_str(),
                     options->set("buffer", blob)->set("out", &image));
    } catch (...) {
        vips_area_unref(VIPS_AREA(blob));
        throw;
    }
    // The picture may be read from the bytes after this call; they go with the image.
    g_object_set_data_full(G_OBJECT(image.get_image()), "sips-file-bytes", blob,
                           reinterpret_cast<GDestroyNotify>(vips_area_unref));
    return image;
}

// Reports come from the threads that decode, one conversion at a time; the outermost
// DecoderReports in scope keeps them.
const char* const kReportDomains[] = {"Poppler", "GLib-GObject", "VIPS"};
std::mutex reportsLock;
int reportsInScope = 0;
std::optional<std::string> firstReport;
guint reportHandlers[3];

// libtiff's warnings about a strip's data, which libvips passes on as its own warnings and
// decodes on from: fax lines too long or short, codes run out, libjpeg's inside a TIFF.
bool isTiffDataWarning(const std::string& text) {
    for (const char* damage :
         {"Line length mismatch", "Premature EOL", "Premature EOF", "not terminated with EOI code",
          " data at scanline ", "to avoid buffer overflow", "Corrupt JPEG data",
          "Premature end of JPEG file"})
        if (text.find(damage) != std::string::npos)
            return true;
    return false;
}

// poppler's "Syntax error", "IO error" and "Internal error" are faults of the file; its
// warnings and unimplemented features are not.
void noteReport(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
    std::string text = message ? message : "";
    if (std::strcmp(domain, "Poppler") == 0) {
        const bool fault = text.rfind("Syntax error", 0) == 0 || text.rfind("IO error", 0) == 0 ||
                           text.rfind("Internal error", 0) == 0;
        if (!fault)
            return;
        // The byte offset means nothing to the person converting the file.
        const auto at = text.find(" at position ");
        const auto colon = text.find(": ");
        if (at != std::string::npos && colon != std::string::npos && at < colon)
            text.erase(at, colon - at);
    }
    if (std::strcmp(domain, "GLib-GObject") == 0)
        text = "its header holds a value out of range";
    // libvips's other warnings stay as quiet as outside a conversion.
    if (std::strcmp(domain, "VIPS") == 0 && !isTiffDataWarning(text))
        return;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    std::lock_guard<std::mutex> hold(reportsLock);
    if (!firstReport)
        firstReport = text;
}

} // namespace

DecoderReports::DecoderReports() {
    std::lock_guard<std::mutex> hold(reportsLock);
    if (reportsInScope++ > 0)
        return;
    firstReport.reset();
    const auto warnings = GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE);
    const auto all = GLogLevelFlags(warnings | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_INFO);
    for (int i = 0; i < 3; ++i)
        reportHandlers[i] =
            g_log_set_handler(kReportDomains[i], i < 2 ? all : warnings, noteReport, nullptr);
}

DecoderReports::~DecoderReports() {
    std::lock_guard<std::mutex> hold(reportsLock);
    if (--reportsInScope > 0)
        return;
    for (int i = 0; i < 3; ++i)
        g_log_remove_handler(kReportDomains[i], reportHandlers[i]);
}

void DecoderReports::check(const std::string& path) const {
    std::lock_guard<std::mutex> hold(reportsLock);
    if (firstReport)
        throw Failure(damagedBecause(*firstReport), path);
}

const char* findLoader(const std::string& path) {
    return static_cast<const char*>(vips_foreign_map("VipsForeignLoad",
                                                     reinterpret_cast<VipsSListMap2Fn>(readsFile),
                                                     const_cast<std::string*>(&path), nullptr));
}

VImage loadFile(const SourceFile& file, const char* loader, VipsAccess access) {
    const std::string& path = file.path();
    const bool jpeg = std::strcmp(loader, "jpegload") == 0;
    auto open = [&](VipsFailOn failOn) {
        vips::VOption* options = VImage::option()->set("access", access)->set("fail_on", failOn);
        if (std::strcmp(loader, "magickload") == 0)
            return loadThroughMemory(file, loader, options);
        VImage image;
        const std::string fromSource = std::string(loader) + "_source";
        if (operationExists(fromSource)) {
            vips::VSource source =
                jpeg ? tappedSource(file) : vips::VSource::new_from_file(path.c_str());
            VImage::call(fromSource.c_str(), options->set("source", source)->set("out", &image));
            g_object_set_data_full(G_OBJECT(image.get_image()), kSourceKey,
                                   g_object_ref(source.get_source()), g_object_unref);
        } else {
            VImage::call(loader, options->set("filename", path.c_str())->set("out", &image));
        }
        return image;
    };
    // JPEG and GIF decoders call damaged data a warning and fill the rest of the picture with
    // grey; elsewhere warnings are about metadata that does not matter here.
    if (std::strcmp(loader, "gifload") == 0)
        return open(VIPS_FAIL_ON_WARNING);
    if (!jpeg)
        return open(VIPS_FAIL_ON_ERROR);
    try {
        return open(VIPS_FAIL_ON_WARNING);
    } catch (const vips::VError&) {
        // libjpeg reads only the header here, so a warning now (an unknown JFIF version, say)
        // leaves the pixels whole; a damaged header fails again. The warnings libjpeg then
        // gives while reading the pixels are left in libvips's error buffer: it is emptied
        // here so that they alone are there afterwards.
        vips_error_clear();
        VImage image = open(VIPS_FAIL_ON_ERROR);
        vips_error_clear();
        return image;
    }
}

gint64 bytesDecoded(const VImage& image) {
    auto* source =
        static_cast<VipsSource*>(g_object_get_data(G_OBJECT(image.get_image()), kSourceKey));
    return source ? source->read_position : -1;
}

std::int64_t jpegPictureEnd(const VImage& image, const SourceFile& file) {
    auto* source = g_object_get_data(G_OBJECT(image.get_image()), kSourceKey);
    auto* tap =
        source ? static_cast<JpegTap*>(g_object_get_data(G_OBJECT(source), kTapKey)) : nullptr;
    return tap ? tap->end.end(file) : -1;
}

} // namespace sips
