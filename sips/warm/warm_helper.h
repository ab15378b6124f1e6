#pragma once

namespace sips {

// The engine as the warm helper: listens on `socket` for commands handed over by the
// `sips` front of the same user and runs each in a process of its own, forked from this
// one with the libraries already loaded, in the caller's working folder, with its
// streams, umask, limits, niceness, environment and signal state. Leaves after a while
// without work, or as soon as forking would no longer be safe. Returns the exit status.
int serveWarm(const char* socket);

} // namespace sips
