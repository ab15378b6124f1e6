#pragma once

#include <QString>

#include <chrono>

namespace platform {

// Runs one command line through /bin/sh and waits for it. While it waits, windows keep
// painting, but no window timer tick and no user input is delivered, except the two keys
// that stop it: Escape, and Ctrl+Q, which quits the application once it has stopped.
class Shell {
public:
    // What the user asked for while a command ran.
    enum class Request { None, Stop, Quit };

    // Hands the whole line to /bin/sh -c, in a process group of its own, with the
    // application's tool folder first on PATH, and returns once the command has exited or
    // has been stopped, and nothing it started is left running.
    void Execute(const QString& command);
    // The exit status of the last command; not 0 when it failed, could not start, crashed
    // or was stopped.
    int ErrorCode() const { return errorCode_; }
    // Everything the last command wrote to its standard output.
    QString Result() const { return output_; }
    // Everything it wrote to its standard error, or why it could not run to its end.
    QString ErrorOutput() const { return errors_; }
    // True when the last command was stopped because the user asked for it.
    bool Stopped() const { return stopped_; }

    // True while a command runs.
    static bool isBusy();
    // Stops the command that runs now, if any: its process group gets SIGTERM, so that the
    // tool can clean up, then SIGKILL after kStopGrace(). The request is kept until
    // clearRequest(); a Quit also quits the application once the command has ended.
    static void stop(Request request);
    // The strongest request made since the last clearRequest(): Quit, else Stop, else None.
    static Request request();
    static void clearRequest();

    // The folder of the application's own command-line tools: <prefix>/libexec/morvelle
    // beside <prefix>/bin, unless another has been set.
    static QString toolFolder();
    static void setToolFolder(const QString& folder);
    // How long a command may run before it is stopped.
    static std::chrono::milliseconds timeLimit();
    static void setTimeLimit(std::chrono::milliseconds limit);
    // How long a stopped command has to clean up before it is killed.
    static constexpr std::chrono::milliseconds kStopGrace{2000};

private:
    int errorCode_ = 0;
    QString output_;
    QString errors_;
    bool stopped_ = false;
};

} // namespace platform
