#pragma once

// What the `sips` tool and the application that runs it agree on: how the tool ends, and the
// line that says why. Both include this; it needs nothing, since the front links libc alone.

namespace sips::contract {

// The tool's exit statuses.
enum ExitStatus : int {
    Done = 0,
    // Something asked for was not done; the last line on stderr says why.
    Failed = 1,
    // The command line asks for nothing the tool can do.
    BadCommand = 2,
    // Nothing failed but outputs whose names were taken after the caller chose them: the tool
    // replaces nothing, and another name would do.
    NameTaken = 3,
    // The engine could not be started, the status a shell gives a command it cannot run.
    CannotStart = 127,
};

// A failure is reported as one line on stderr, the last: kErrorPrefix, what went wrong, and,
// where one file is concerned, kPathSeparator and that file's path:
// "Error: WHAT: PATH". The path comes last and whole, whatever it holds.
inline constexpr char kErrorPrefix[] = "Error: ";
inline constexpr char kPathSeparator[] = ": ";

} // namespace sips::contract
