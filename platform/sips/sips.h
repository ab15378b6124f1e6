#pragma once

namespace sips {
int run(int argc, char** argv);
}
