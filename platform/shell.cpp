#include "shell.h"

#include "timer.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>
#include <sys/types.h>

namespace platform {

namespace {

int busyDepth = 0;
QString toolFolderOverride;
std::chrono::milliseconds limit = std::chrono::minutes(10);

// Swallows user input while a command runs, so nothing the user does lands in the middle
// of a conversion and nothing waits to be replayed after it.
class InputBlocker : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
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

// The processes started by `parent`, read from /proc.
QList<pid_t> childrenOf(pid_t parent) {
    QList<pid_t> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool numeric = false;
        const pid_t pid = pid_t(entry.toInt(&numeric));
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks, so read after its ")".
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toInt() == parent)
            children.append(pid);
    }
    return children;
}

// Stops a process and everything it started. Each is held first, so that none can start
// another between being found and being killed.
void killTree(pid_t root) {
    ::kill(root, SIGSTOP);
    QList<pid_t> tree{root};
    for (qsizetype i = 0; i < tree.size(); ++i) {
        for (pid_t child : childrenOf(tree[i])) {
            ::kill(child, SIGSTOP);
            tree.append(child);
        }
    }
    for (pid_t pid : tree)
        ::kill(pid, SIGKILL);
}

} // namespace

bool Shell::isBusy() { return busyDepth > 0; }

void Shell::setToolFolder(const QString& folder) { toolFolderOverride = folder; }

QString Shell::toolFolder() {
    if (!toolFolderOverride.isEmpty())
        return toolFolderOverride;
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../libexec/morvelle"));
}

std::chrono::milliseconds Shell::timeLimit() { return limit; }

void Shell::setTimeLimit(std::chrono::milliseconds newLimit) { limit = newLimit; }

void Shell::Execute(const QString& command) {
    m_errorCode = 0;
    m_output.clear();
    m_errors.clear();

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString path = env.value(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    env.insert(QStringLiteral("PATH"), toolFolder() + QLatin1Char(':') + path);
    process.setProcessEnvironment(env);
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), command});
    process.setStandardInputFile(QProcess::nullDevice());

    ++busyDepth;
    Timer::suspendAll();
    InputBlocker blocker;
    QCoreApplication::instance()->installEventFilter(&blocker);

    bool timedOut = false;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        if (process.processId() > 0)
            killTree(pid_t(process.processId()));
    });

    process.start();
    if (process.waitForStarted(-1)) {
        deadline.start(limit);
        while (process.state() != QProcess::NotRunning)
            loop.exec();
    }

    QCoreApplication::instance()->removeEventFilter(&blocker);
    Timer::resumeAll();
    --busyDepth;

    m_output = QString::fromLocal8Bit(process.readAllStandardOutput());
    m_errors = QString::fromLocal8Bit(process.readAllStandardError());
    if (timedOut) {
        m_errorCode = 128 + SIGKILL;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
        const QString span = seconds >= 60 && seconds % 60 == 0
                                 ? QStringLiteral("%1 minutes").arg(seconds / 60)
                                 : QStringLiteral("%1 seconds").arg(seconds);
        m_errors += QStringLiteral("Error: stopped after running longer than %1\n").arg(span);
    } else if (process.error() == QProcess::FailedToStart) {
        m_errorCode = 127;
        m_errors = QStringLiteral("Error: could not start /bin/sh: %1\n").arg(process.errorString());
    } else if (process.exitStatus() == QProcess::CrashExit) {
        m_errorCode = 128 + SIGKILL;
        m_errors += QStringLiteral("Error: the command stopped unexpectedly\n");
    } else {
        m_errorCode = process.exitCode();
    }
}

} // namespace platform
