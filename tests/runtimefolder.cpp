#include "runtimefolder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QList>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

#include "heldjob.h"

namespace testsupport {

namespace {

// The processes whose first argument lies in `folder`: the helpers serving a socket there.
QList<pid_t> servingIn(const QByteArray& folder) {
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (entry.toInt() <= 0 || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> words = cmdline.readAll().split('\0');
        if (words.size() > 1 && words[1].startsWith(folder))
            found.append(pid_t(entry.toInt()));
    }
    return found;
}

} // namespace

RuntimeFolder::RuntimeFolder()
    : before_(qgetenv("XDG_RUNTIME_DIR")), hadOne_(qEnvironmentVariableIsSet("XDG_RUNTIME_DIR")) {
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir_.path()));
}

RuntimeFolder::~RuntimeFolder() {
    const QByteArray folder = QFile::encodeName(dir_.path()) + '/';
    const QList<pid_t> helpers = servingIn(folder);
    for (pid_t pid : helpers)
        ::kill(pid, SIGTERM);
    // A helper ends once its jobs have; none of them is left running by then.
    QElapsedTimer waited;
    waited.start();
    for (pid_t pid : helpers) {
        while (!hasEnded(pid) && waited.elapsed() < 30000)
            ::usleep(1000);
    }
    if (hadOne_)
        qputenv("XDG_RUNTIME_DIR", before_);
    else
        qunsetenv("XDG_RUNTIME_DIR");
}

} // namespace testsupport
