#pragma once

#include <QString>

#include <sys/types.h>

namespace testsupport {

// A real conversion by the tool, stopped once it has its hidden temporary file open: held
// there, it cannot finish by itself, however fast the machine. It goes on when let go, or
// once a stop signal waits for it, which it then takes before anything else.
class HeldJob {
public:
    HeldJob() = default;
    // A job that another process has held.
    explicit HeldJob(pid_t held) : pid_(held) {}
    HeldJob(const HeldJob&) = delete;
    HeldJob& operator=(const HeldJob&) = delete;
    // A job still held is let go, so that nothing stays stopped after a failed test.
    ~HeldJob() { release(); }

    // Looks once for the process that has a hidden temporary file of the tool open in
    // `folder`, and stops it. Returns whether the job is held.
    bool hold(const QString& folder);
    bool isHeld() const { return pid_ != 0; }
    pid_t pid() const { return pid_; }
    // Whether `signal` waits, undelivered, for the held job.
    bool hasPending(int signal) const;
    // Lets the job go on once `signal` waits for it; returns whether it did.
    bool releaseOnce(int signal);
    void release();

private:
    pid_t pid_ = 0;
};

// Whether the process has ended: it is gone, or waits to be collected by its parent.
bool hasEnded(pid_t pid);

} // namespace testsupport
