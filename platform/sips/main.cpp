#include <cstring>

#include "handover.h"
#include "sips.h"
#include "warm_helper.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[0], sips::handover::kHelperName) == 0)
        return sips::serveWarm(argv[1]);
    return sips::run(argc, argv);
}
