#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

#include "core/sips.h"
#include "warm/handover.h"
#include "warm/warm_helper.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[0], sips::handover::kHelperName) == 0)
        return sips::serveWarm(argv[1]);
    // Under an address-space limit, GLib's slice allocator would print a message of its own
    // when it runs out; it reads its setting as GLib loads, so the engine starts again with it.
    struct rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        !std::getenv("G_SLICE") && setenv("G_SLICE", "always-malloc", 1) == 0)
        execv("/proc/self/exe", argv);
    return sips::run(argc, argv);
}
