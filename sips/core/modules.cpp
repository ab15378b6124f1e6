#include "core/modules.h"

#include <cstdlib>
#include <dlfcn.h>
#include <gmodule.h>
#include <string>
#include <vips/vips.h>

namespace sips {
namespace {

std::string g_moduleFolder;
bool g_loaded = false;

// The modules that belong to the libvips this process runs are the ones beside it. $VIPSHOME
// is no guide: libvips sets it for child processes to whatever prefix it guessed.
std::string moduleFolder() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&vips_init), &info) == 0 || !info.dli_fname)
        return {};
    std::string libdir = info.dli_fname;
    libdir.resize(libdir.rfind('/'));
    return libdir + "/vips-modules-" + std::to_string(vips_version(0)) + "." +
           std::to_string(vips_version(1));
}

} // namespace

void deferOptionalModules() {
    g_moduleFolder = moduleFolder();
    if (g_moduleFolder.empty())
        return;
    // libvips has no public way to start without its modules: it looks for them under
    // $VIPSHOME/lib, and nothing can exist under /dev/null. tst_libvips fails the day that changes.
    setenv("VIPSHOME", "/dev/null", 1);
}

bool loadOptionalModules() {
    if (g_loaded || g_moduleFolder.empty())
        return false;
    g_loaded = true;
    GDir* folder = g_dir_open(g_moduleFolder.c_str(), 0, nullptr);
    if (!folder)
        return false;
    bool any = false;
    while (const char* name = g_dir_read_name(folder)) {
        if (!g_str_has_suffix(name, "." G_MODULE_SUFFIX))
            continue;
        std::string path = g_moduleFolder + "/" + name;
        // Opening a module registers its loaders and savers; it stays open for the run.
        any = g_module_open(path.c_str(), G_MODULE_BIND_LAZY) != nullptr || any;
    }
    g_dir_close(folder);
    return any;
}

} // namespace sips
