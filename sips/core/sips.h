#pragma once

namespace sips {

// What becomes of the image library when the command is done: taken down, or left to the
// process's immediate end (a warm helper's job, whose caller waits for its status).
enum class LibraryAtEnd { ShutDown, LeftToExit };

// The whole command: parses the arguments, converts or describes each source, reports
// every failure as one line on stderr. Returns 0 only when everything asked for was done.
int run(int argc, char** argv, LibraryAtEnd atEnd = LibraryAtEnd::ShutDown);

} // namespace sips
