#include "sips.h"

int main(int argc, char** argv) {
    return sips::run(argc, argv);
}
