#pragma once

#include <QString>

#include <chrono>

namespace platform {

// Runs one command line through /bin/sh and waits for it. While it waits, windows keep
// painting, but no user input and no window timer tick is delivered.
class Shell {
public:
    // Hands the whole line to /bin/sh -c, with the application's tool folder first on PATH,
    // and returns once the command has exited or has been stopped at the time limit.
    void Execute(const QString& command);
    // The exit status of the last command; not 0 when it failed, could not start, crashed
    // or was stopped.
    int ErrorCode() const { return m_errorCode; }
    // Everything the last command wrote to its standard output.
    QString Result() const { return m_output; }
    // Everything it wrote to its standard error, or why it could not run to its end.
    QString ErrorOutput() const { return m_errors; }

    // True while a command runs.
    static bool isBusy();
    // The folder of the application's own command-line tools: <prefix>/libexec/morvelle
    // beside <prefix>/bin, unless another has been set.
    static QString toolFolder();
    static void setToolFolder(const QString& folder);
    // How long a command may run before it is stopped.
    static std::chrono::milliseconds timeLimit();
    static void setTimeLimit(std::chrono::milliseconds limit);

private:
    int m_errorCode = 0;
    QString m_output;
    QString m_errors;
};

} // namespace platform
