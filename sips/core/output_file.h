#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sips {

// A temporary file beside the output, hidden as ".NAME.sips-XXXXXX" (NAME cut short when
// the whole would be too long a name), that becomes the output only through commit(): a
// failed or interrupted write never leaves a partial file at the output path, and nothing
// that has the output's name by then is ever replaced. Dropped without commit(), it is
// removed. A SIGINT, SIGTERM or SIGHUP removes it too; after SIGKILL the hidden temporary
// file can be left behind, but the output path is still untouched. Once the run's last
// output has its name, those signals no longer stop the run: it has done its work, and its
// status says so.
class OutputFile {
public:
    explicit OutputFile(std::string target);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& tempPath() const { return temp_; }
    // The open temporary file, for a writer that writes to a descriptor itself.
    int descriptor() const { return fd_; }
    const std::string& target() const { return target_; }

    // Appends to the temporary file; throws Failure when not everything was written.
    void write(const void* data, size_t size);

    // Writes at a byte offset, for formats whose rows are not stored in the order they are
    // made (bottom-up rows, one plane per channel). Throws Failure like write().
    void writeAt(std::uint64_t offset, const void* data, size_t size);

    // Closes the temporary file and gives it the target's name. Throws NameTaken when
    // something, even a dangling symbolic link, already has that name.
    void commit();

private:
    void closeDescriptor();

    std::string target_;
    std::string temp_;
    int fd_ = -1;
    bool committed_ = false;
};

// Removes the temporary file of an interrupted run on SIGINT, SIGTERM and SIGHUP, each
// unless the tool was started with it ignored.
void installInterruptCleanup();

// The next OutputFile to be committed is the run's last output.
void treatNextOutputAsLast();
// Whether the run's last output is in place.
bool outputSettled();

// Removes the open temporary file, if there is one; safe in a signal handler.
void removeTempFileNow();

// Renames `from` to `to` unless something, even a dangling symbolic link, has the name
// `to`. Returns 0, or an errno value: EEXIST when the name is taken.
int moveWithoutReplacing(const std::string& from, const std::string& to);

// The same through a hard link, for file systems without an exclusive rename; ENOTSUP
// where they have no hard links either.
int linkWithoutReplacing(const std::string& from, const std::string& to);

// A plain phrase for why writing failed, from an errno value.
std::string writeProblem(int error);

} // namespace sips
