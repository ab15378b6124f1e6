#include "shell.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "folderitem.h"
#include "timer.h"

extern char** environ;

namespace platform {

namespace {

int busyDepth = 0;
QString toolFolderOverride;
std::chrono::milliseconds limit = std::chrono::minutes(10);
Shell::Request pending = Shell::Request::None;

// The keys that still count while a command runs.
Shell::Request requestOf(const QKeyEvent* key) {
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_Escape && modifiers == Qt::NoModifier)
        return Shell::Request::Stop;
    if (key->key() == Qt::Key_Q && modifiers == Qt::ControlModifier)
        return Shell::Request::Quit;
    return Shell::Request::None;
}

// Swallows user input while a command runs, so nothing the user does lands in the middle
// of a conversion and nothing waits to be replayed after it. Escape and Ctrl+Q are taken
// here too, and stop the command.
class InputBlocker : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::ShortcutOverride:
            if (const Shell::Request r = requestOf(static_cast<QKeyEvent*>(event));
                r != Shell::Request::None)
                Shell::stop(r);
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ContextMenu:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
            return true;
        case QEvent::Close:
            return event->spontaneous();
        default:
            return false;
        }
    }
};

// One end of a pipe from the command, read as data comes.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { drain(); });
    }
    ~Reader() {
        notifier_.setEnabled(false);
        ::close(fd_);
    }
    // Reads what is there now, without waiting: something the command left running in the
    // background may keep the pipe open.
    void drain() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                data_.append(buffer, n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n == 0)
                    notifier_.setEnabled(false);
                return;
            }
        }
    }
    QString text() const { return decodedBytes(data_); }

private:
    int fd_;
    QSocketNotifier notifier_;
    QByteArray data_;
};

// True when no process of the group is still running. Members that have ended but wait for
// their new parent to collect them still count for kill(), and some systems collect them
// late, so those are looked up.
bool groupIsGone(pid_t group) {
    if (::kill(-group, 0) == -1 && errno == ESRCH)
        return true;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        if (entry.toInt() <= 0)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid pgrp ...": the name may hold blanks, so read after its ")".
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields[2].toInt() == group && fields[0] != "Z")
            return false;
    }
    return true;
}

// The command that runs now, for stop() and for the application's exit.
struct Running {
    pid_t shell = 0; // which leads the process group of everything the command starts
    bool stopping = false;
    bool stoppedByUser = false;
    QTimer killTimer;

    // SIGTERM now, so that the tool removes what it has half written; SIGKILL after the
    // grace, for one that does not end.
    void stop() {
        if (stopping)
            return;
        stopping = true;
        ::kill(-shell, SIGTERM);
        killTimer.setSingleShot(true);
        QObject::connect(&killTimer, &QTimer::timeout, [this] { ::kill(-shell, SIGKILL); });
        killTimer.start(Shell::kStopGrace);
    }
};
Running* current = nullptr;

// At exit, nothing of ours may run on: the same SIGTERM, grace and SIGKILL, waited for here.
void endRunningCommand() {
    if (!current)
        return;
    const pid_t group = current->shell;
    ::kill(-group, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + Shell::kStopGrace;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        ::waitpid(group, &status, WNOHANG);
        if (groupIsGone(group))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-group, SIGKILL);
    ::waitpid(group, &status, 0);
}

// The environment of a command: the application's, with the tool folder first on PATH.
std::vector<QByteArray> commandEnvironment() {
    std::vector<QByteArray> env;
    QByteArray path = "/usr/bin:/bin";
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0)
            path = *e + 5;
        else
            env.emplace_back(*e);
    }
    env.push_back("PATH=" + encodedBytes(Shell::toolFolder()) + ':' + path);
    return env;
}

// Starts /bin/sh -c command as the leader of a new process group, its output on the two
// pipes. posix_spawn keeps the cost of a vfork: the application is never copied.
int spawnShell(const QByteArray& command, int out, int err, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    const std::vector<QByteArray> env = commandEnvironment();
    std::vector<char*> envp;
    for (const QByteArray& e : env)
        envp.push_back(const_cast<char*>(e.constData()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command.constData()), nullptr};

    const int error = posix_spawn(pid, "/bin/sh", &actions, &attributes, argv, envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

QString timeSpan(std::chrono::milliseconds span) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span).count();
    if (seconds >= 60 && seconds % 60 == 0)
        return QStringLiteral("%1 minutes").arg(seconds / 60);
    if (seconds >= 1)
        return QStringLiteral("%1 seconds").arg(seconds);
    return QStringLiteral("%1 milliseconds").arg(span.count());
}

QString startFailure(int error) {
    return QStringLiteral("Error: could not start /bin/sh: %1\n")
        .arg(QString::fromLocal8Bit(std::strerror(error)));
}

// While a command runs, it is the one a stop request reaches, the application's timers wait
// and user input is swallowed; nested commands put the outer one back when they end.
class BusyScope {
public:
    explicit BusyScope(Running& running) : outer_(current) {
        current = &running;
        ++busyDepth;
        Timer::suspendAll();
        QCoreApplication::instance()->installEventFilter(&blocker_);
    }
    ~BusyScope() {
        QCoreApplication::instance()->removeEventFilter(&blocker_);
        Timer::resumeAll();
        --busyDepth;
        current = outer_;
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    Running* outer_;
    InputBlocker blocker_;
};

// Runs the event loop until the shell has ended (and, if it was stopped, all it started),
// stopping it at the time limit. Returns its wait status.
int waitForEnd(Running& running, bool& timedOut) {
    const pid_t pid = running.shell;
    QEventLoop loop;
    bool finished = false;
    int status = 0;
    bool reaped = false;
    QTimer groupWatch;
    groupWatch.setInterval(10);
    QObject::connect(&groupWatch, &QTimer::timeout, &loop, [&] {
        if (groupIsGone(pid)) {
            finished = true;
            loop.quit();
        }
    });
    auto reap = [&] {
        if (reaped)
            return;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR))
            return;
        if (r < 0)
            status = 127 << 8; // not ours to wait for: report it as a failed start
        reaped = true;
        // A stopped command is over only when all it started has ended too, having
        // removed its temporary files.
        if (running.stopping && !groupIsGone(pid)) {
            groupWatch.start();
            return;
        }
        finished = true;
        loop.quit();
    };

    // Without pidfds (older kernels) the shell's end is polled for.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    QSocketNotifier exitWatch(pidfd, QSocketNotifier::Read);
    QTimer exitPoll;
    if (pidfd >= 0) {
        QObject::connect(&exitWatch, &QSocketNotifier::activated, &loop, reap);
    } else {
        exitWatch.setEnabled(false);
        QObject::connect(&exitPoll, &QTimer::timeout, &loop, reap);
        exitPoll.start(5);
    }
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        running.stop();
    });
    deadline.start(limit);
    reap();
    // QCoreApplication::exit() ends every running loop, this one too: go on waiting.
    while (!finished)
        loop.exec();

    exitWatch.setEnabled(false);
    if (pidfd >= 0)
        ::close(pidfd);
    return status;
}

} // namespace

bool Shell::isBusy() {
    return busyDepth > 0;
}

void Shell::stop(Request request) {
    if (request > pending)
        pending = request;
    if (current && request != Request::None) {
        current->stoppedByUser = true;
        current->stop();
    }
}

Shell::Request Shell::request() {
    return pending;
}

void Shell::clearRequest() {
    pending = Request::None;
}

void Shell::setToolFolder(const QString& folder) {
    toolFolderOverride = folder;
}

QString Shell::toolFolder() {
    if (!toolFolderOverride.isEmpty())
        return toolFolderOverride;
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../libexec/morvelle"));
}

std::chrono::milliseconds Shell::timeLimit() {
    return limit;
}

void Shell::setTimeLimit(std::chrono::milliseconds newLimit) {
    limit = newLimit;
}

void Shell::Execute(const QString& command) {
    errorCode_ = 0;
    output_.clear();
    errors_.clear();
    stopped_ = false;
    static const bool cleanupAtExit = std::atexit(endRunningCommand) == 0;
    Q_UNUSED(cleanupAtExit);

    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        errorCode_ = 127;
        errors_ = startFailure(errno);
        return;
    }
    pid_t pid = 0;
    const int spawnError = spawnShell(encodedBytes(command), out[1], err[1], &pid);
    ::close(out[1]);
    ::close(err[1]);
    Reader output(out[0]);
    Reader errors(err[0]);
    if (spawnError != 0) {
        errorCode_ = 127;
        errors_ = startFailure(spawnError);
        return;
    }

    Running running;
    running.shell = pid;
    bool timedOut = false;
    int status = 0;
    {
        BusyScope busy(running);
        status = waitForEnd(running, timedOut);
    }

    output.drain();
    errors.drain();
    output_ = output.text();
    errors_ = errors.text();
    errorCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const bool signalled = WIFSIGNALED(status);
    if (errorCode_ != 0 && running.stoppedByUser) {
        stopped_ = true;
    } else if (errorCode_ != 0 && timedOut) {
        errors_ +=
            QStringLiteral("Error: stopped after running longer than %1\n").arg(timeSpan(limit));
    } else if (signalled) {
        errors_ += QStringLiteral("Error: the command stopped unexpectedly\n");
    }

    // Quitting waits for the command to end, and for the caller to see how it ended.
    if (busyDepth == 0 && pending == Request::Quit)
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

} // namespace platform
