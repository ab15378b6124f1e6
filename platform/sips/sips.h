#pragma once

namespace sips {

// The whole command: parses the arguments, converts or describes each source, reports
// every failure as one line on stderr. Returns 0 only when everything asked for was done.
int run(int argc, char** argv);

} // namespace sips
