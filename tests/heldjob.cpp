#include "heldjob.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The process with a file open whose path starts with `prefix` and holds `part`, or 0.
pid_t openerOf(const QByteArray& prefix, const QByteArray& part) {
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        const pid_t pid = entry.toInt();
        if (pid <= 0 || pid == ::getpid())
            continue;
        const QByteArray fds = "/proc/" + QByteArray::number(pid) + "/fd";
        DIR* folder = ::opendir(fds.constData());
        if (!folder)
            continue;
        bool found = false;
        while (const dirent* fd = ::readdir(folder)) {
            char target[4096];
            const ssize_t n = ::readlinkat(::dirfd(folder), fd->d_name, target, sizeof target);
            const QByteArray path(target, n > 0 ? int(n) : 0);
            if (path.startsWith(prefix) && path.indexOf(part, prefix.size()) > 0) {
                found = true;
                break;
            }
        }
        ::closedir(folder);
        if (found)
            return pid;
    }
    return 0;
}

// Stopped once every thread of it is: until then, a signal that comes first is still taken.
bool isStopped(pid_t pid) {
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& thread : threads) {
        QFile stat(tasks + '/' + thread + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray line = stat.readAll();
        const QByteArray state = line.mid(line.lastIndexOf(')') + 2, 1);
        if (state != "T" && state != "t")
            return false;
    }
    return !threads.isEmpty();
}

} // namespace

bool hasEnded(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}

bool HeldJob::hold(const QString& folder) {
    if (pid_)
        return true;
    // Cheaper than looking through every process, which is left until there is a job.
    if (QDir(folder).entryList({QStringLiteral(".*.sips-*")}, QDir::Files | QDir::Hidden).isEmpty())
        return false;
    const pid_t pid = openerOf(QFile::encodeName(QDir(folder).absolutePath()) + "/.", ".sips-");
    if (!pid || ::kill(pid, SIGSTOP) != 0)
        return false;
    pid_ = pid;
    QElapsedTimer waited;
    waited.start();
    while (!isStopped(pid)) {
        if (hasEnded(pid) || waited.elapsed() > 60000) {
            release();
            return false;
        }
        ::usleep(100);
    }
    return true;
}

bool HeldJob::hasPending(int signal) const {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid_));
    if (!pid_ || !status.open(QIODevice::ReadOnly))
        return false;
    // Signals sent to the process, and to one of its threads.
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("ShdPnd:") || line.startsWith("SigPnd:")) {
            if (line.mid(7).trimmed().toULongLong(nullptr, 16) & (1ull << (signal - 1)))
                return true;
        }
    }
    return false;
}

bool HeldJob::releaseOnce(int signal) {
    if (!hasPending(signal))
        return false;
    release();
    return true;
}

void HeldJob::release() {
    if (pid_)
        ::kill(pid_, SIGCONT);
    pid_ = 0;
}

} // namespace testsupport
