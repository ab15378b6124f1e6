// The `sips` front and its warm helper: a command handed over runs exactly as the engine
// run by the caller itself would, in the caller's state, stops with its caller, and stays
// out of other users' reach. Every case runs the real front, helper and engine on real
// pictures, in a runtime folder of its own.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips8>

#include "handover.h"
#include "platform/shell.h"

namespace {

const QString kFront = QStringLiteral(SIPS_TOOL);
const QString kEngine = QStringLiteral(SIPS_ENGINE);

QString quoted(const QString& text) {
    QString inner = text;
    return "'" + inner.replace("'", "'\\''") + "'";
}

struct Outcome {
    QByteArray out;
    QByteArray err;
    QMap<QString, QByteArray> files; // name and mode -> contents
};

QList<pid_t> processes() {
    QList<pid_t> pids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (numeric)
            pids.append(pid);
    }
    return pids;
}

pid_t parentOf(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ').value(1).toInt();
}

// The helpers serving a socket under `root`: the processes with the helper's command line,
// less their own children (the process that waits for the next job, and running jobs).
QList<pid_t> helpersUnder(const QString& root) {
    QList<pid_t> found;
    for (pid_t pid : processes()) {
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> words = file.readAll().split('\0');
        if (words.size() >= 2 && words[0] == sips::handover::kHelperName &&
            QString::fromLocal8Bit(words[1]).startsWith(root))
            found.append(pid);
    }
    QList<pid_t> helpers;
    for (pid_t pid : found) {
        if (!found.contains(parentOf(pid)))
            helpers.append(pid);
    }
    return helpers;
}

// The process that has a file whose path starts with `prefix` open: the job writing it.
pid_t writerOf(const QString& prefix) {
    for (pid_t pid : processes()) {
        const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
        for (const QString& fd : QDir(fds).entryList(QDir::Files | QDir::System)) {
            if (QFileInfo(fds + "/" + fd).symLinkTarget().startsWith(prefix))
                return pid;
        }
    }
    return 0;
}

// The helpers' sockets in a folder, without their lock files.
QStringList socketsIn(const QString& folder) {
    return QDir(folder)
        .entryList({"morvelle-sips-*"}, QDir::System)
        .filter(QRegularExpression("^[^.]*$"));
}

bool isGone(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}

QByteArray linkOf(pid_t pid, const QString& what) {
    char target[4096];
    const QByteArray path = QStringLiteral("/proc/%1/%2").arg(pid).arg(what).toLocal8Bit();
    const ssize_t length = readlink(path.constData(), target, sizeof target);
    return length > 0 ? QByteArray(target, int(length)) : QByteArray();
}

// What a job's process is set to, from the kernel's view of it.
QMap<QString, QString> stateOf(pid_t pid, pid_t caller) {
    QMap<QString, QString> state;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            for (const char* key : {"Umask", "Uid", "Gid", "Groups", "Cpus_allowed_list"})
                if (line.startsWith(QByteArray(key) + ':'))
                    state[key] = QString::fromLatin1(line.mid(qstrlen(key) + 1).trimmed());
            // Signals 32 and 33 are the C library's own, set up with the first thread.
            for (const char* key : {"SigBlk", "SigIgn", "SigCgt"})
                if (line.startsWith(QByteArray(key) + ':'))
                    state[key] = QString::number(
                        line.mid(qstrlen(key) + 1).trimmed().toULongLong(nullptr, 16) &
                            ~(3ull << 31),
                        16);
        }
    }
    QFile limits(QStringLiteral("/proc/%1/limits").arg(pid));
    if (limits.open(QIODevice::ReadOnly))
        state["limits"] = QString::fromLatin1(limits.readAll());
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        state["nice"] =
            QString::fromLatin1(line.mid(line.lastIndexOf(')') + 2).split(' ').value(16));
    }
    state["cwd"] = QString::fromLocal8Bit(linkOf(pid, "cwd"));
    for (const QString fd : {"0", "1", "2"})
        state["fd " + fd] =
            linkOf(pid, "fd/" + fd) == linkOf(caller, "fd/" + fd) ? "the caller's" : "another";
    return state;
}

} // namespace

class TestWarmStart : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void givesTheEngineResults_data();
    void givesTheEngineResults();
    void runsTheJobInTheCallersState_data();
    void runsTheJobInTheCallersState();
    void stopsWithItsCaller_data();
    void stopsWithItsCaller();
    void stopsWhenTheApplicationStopsIt();
    void aCrashFailsOnlyItsOwnJob();
    void runsItselfWhenTheHelperCannotMatch_data();
    void runsItselfWhenTheHelperCannotMatch();
    void keepsToAPrivateFolder_data();
    void keepsToAPrivateFolder();
    void refusesOtherUsers();
    void leavesWhenIdle();

private:
    // Runs `prefix; wrapper tool args` through the shell in a fresh folder.
    Outcome runIn(const QString& folder, const QString& tool, const QString& prefix,
                  const QString& args, const QString& wrapper = QString());
    void startHelper();
    void stopHelpers();
    pid_t startLongJob(QProcess& process, const QString& tool, const QString& out,
                       const QString& prefix = QString());

    QTemporaryDir m_dir;
    QString m_runtime;
    QString m_small;
    QString m_big;
};

void TestWarmStart::initTestCase() {
    QVERIFY(m_dir.isValid());
    QVERIFY(VIPS_INIT("tst_warmstart") == 0);
    m_runtime = m_dir.filePath("runtime");
    QVERIFY(QDir().mkpath(m_runtime));
    QVERIFY(chmod(QFile::encodeName(m_runtime).constData(), 0700) == 0);
    // Every process started here, the application's Shell included, finds this folder.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime));

    m_small = m_dir.filePath("small.png");
    QImage small(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x)
            small.setPixel(x, y, qRgb(x * 4, y * 5, 128));
    QVERIFY(small.save(m_small));
    QVERIFY(small.save(m_dir.filePath("small.bmp")));
    // Noise takes the lossless JPEG 2000 writer long enough to be stopped midway.
    m_big = m_dir.filePath("big.v");
    vips::VImage noise = vips::VImage::gaussnoise(3000, 3000);
    vips::VImage::bandjoin({noise, noise.rot180(), noise.fliphor()})
        .cast(VIPS_FORMAT_UCHAR)
        .write_to_file(QFile::encodeName(m_big).constData());
}

void TestWarmStart::cleanup() {
    stopHelpers();
}

void TestWarmStart::stopHelpers() {
    const QList<pid_t> helpers = helpersUnder(m_dir.path());
    for (pid_t pid : helpers)
        ::kill(pid, SIGTERM);
    for (pid_t pid : helpers)
        QTRY_VERIFY(isGone(pid));
}

void TestWarmStart::startHelper() {
    if (!helpersUnder(m_dir.path()).isEmpty())
        return;
    QProcess process;
    process.start(kFront, {"--formats"});
    QVERIFY(process.waitForFinished());
    QTRY_COMPARE(socketsIn(m_runtime).size(), 1);
    QTRY_COMPARE(helpersUnder(m_runtime).size(), 1);
}

Outcome TestWarmStart::runIn(const QString& folder, const QString& tool, const QString& prefix,
                             const QString& args, const QString& wrapper) {
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    QProcess process;
    process.setWorkingDirectory(folder);
    QString line = prefix.isEmpty() ? QString() : prefix + "; ";
    if (!wrapper.isEmpty())
        line += wrapper + " ";
    line += quoted(tool) + " " + args + "; echo \"status $?\"";
    process.start("/bin/sh", {"-c", line});
    Outcome outcome;
    if (!process.waitForFinished(120000))
        return outcome;
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    for (const QFileInfo& file : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden)) {
        QFile contents(file.filePath());
        contents.open(QIODevice::ReadOnly);
        // A temporary file left behind has a name of its own in each run.
        const QString name = file.fileName().replace(QRegularExpression("sips-.{6}$"), "sips-");
        const QString key = name + QStringLiteral(" %1").arg(int(file.permissions()), 0, 16);
        outcome.files[key] = contents.readAll();
    }
    return outcome;
}

void TestWarmStart::givesTheEngineResults_data() {
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("args");
    QTest::addColumn<bool>("warm");
    QTest::addColumn<QByteArray>("status");
    const struct {
        const char* name;
        const char* prefix;
        const char* args;
        const char* status;
    } rows[] = {
        {"jpeg", "", "-s format jpeg -s formatOptions best ../small.png --out out.jpeg", "0"},
        {"gif into the working folder", "", "-s format gif ../small.png --out .", "0"},
        {"umask", "umask 077", "-s format png ../small.png --out out.png", "0"},
        {"properties", "", "-g pixelWidth -g hasAlpha ../small.png", "0"},
        {"format list", "", "--formats", "0"},
        {"unknown option", "", "--nonsense", "2"},
        {"missing source", "", "-s format jpeg missing.png --out out.jpeg", "1"},
        {"closed input", "exec <&-", "-s format tiff ../small.png --out out.tiff", "0"},
        {"closed output", "", "-g format ../small.png >&-", "0"},
        {"environment read by a loader", "export MAGICK_WIDTH_LIMIT=8",
         "-s format jpeg ../small.bmp --out out.jpeg", "1"},
        {"file size limit, killed", "ulimit -f 16", "-s format bmp ../big.v --out out.bmp", "153"},
        {"file size limit, signal ignored", "trap '' XFSZ; ulimit -f 16",
         "-s format bmp ../big.v --out out.bmp", "1"},
    };
    for (const auto& row : rows) {
        for (bool warm : {false, true}) {
            QTest::addRow("%s, %s", row.name, warm ? "helper running" : "no helper")
                << row.prefix << row.args << warm << QByteArray(row.status);
        }
    }
}

void TestWarmStart::givesTheEngineResults() {
    QFETCH(QString, prefix);
    QFETCH(QString, args);
    QFETCH(bool, warm);
    QFETCH(QByteArray, status);
    const Outcome expected = runIn(m_dir.filePath("engine"), kEngine, prefix, args);
    QVERIFY2(expected.out.endsWith("status " + status + "\n"), expected.out.constData());

    pid_t helper = 0;
    if (warm) {
        startHelper();
        helper = helpersUnder(m_dir.path()).value(0);
    } else {
        stopHelpers();
    }
    const Outcome front = runIn(m_dir.filePath("front"), kFront, prefix, args);
    QCOMPARE(front.out, expected.out);
    QCOMPARE(front.err, expected.err);
    QCOMPARE(front.files.keys(), expected.files.keys());
    QVERIFY(front.files == expected.files);
    if (warm) {
        // A helper that declined the job would have left.
        QVERIFY(!isGone(helper));
    }
}

void TestWarmStart::runsTheJobInTheCallersState_data() {
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<int>("blocked");
    QTest::addColumn<int>("niceness");
    QTest::addColumn<bool>("batch");
    QTest::newRow("as started") << "" << 0 << 0 << false;
    QTest::newRow("umask") << "umask 027" << 0 << 0 << false;
    QTest::newRow("limits") << "ulimit -n 300; ulimit -c 0; ulimit -s 4096" << 0 << 0 << false;
    QTest::newRow("ignored signals, as under nohup") << "trap '' HUP USR1 PIPE" << 0 << 0 << false;
    QTest::newRow("blocked signal") << "" << int(SIGUSR2) << 0 << false;
    QTest::newRow("niceness") << "" << 0 << 7 << false;
    QTest::newRow("batch scheduling on one processor") << "" << 0 << 0 << true;
    QTest::newRow("working folder") << "cd .." << 0 << 0 << false;
}

pid_t TestWarmStart::startLongJob(QProcess& process, const QString& tool, const QString& out,
                                  const QString& prefix) {
    QDir().mkpath(QFileInfo(out).path());
    process.setWorkingDirectory(QFileInfo(out).path());
    const QString line = (prefix.isEmpty() ? QString() : prefix + "; ") + "exec " + quoted(tool) +
                         " -s format jp2 " + quoted(m_big) + " --out " + quoted(out);
    process.start("/bin/sh", {"-c", line});
    if (!process.waitForStarted())
        return 0;
    const QString temp = QFileInfo(out).path() + "/." + QFileInfo(out).fileName() + ".sips-";
    pid_t job = 0;
    return QTest::qWaitFor([&] { return (job = writerOf(temp)) != 0; }, 60000) ? job : 0;
}

void TestWarmStart::runsTheJobInTheCallersState() {
    QFETCH(QString, prefix);
    QFETCH(int, blocked);
    QFETCH(int, niceness);
    QFETCH(bool, batch);
    startHelper();
    QMap<QString, QString> states[2];
    const QString tools[2] = {kEngine, kFront};
    for (int i = 0; i < 2; ++i) {
        QProcess process;
        process.setChildProcessModifier([=] {
            sigset_t set;
            sigemptyset(&set);
            if (blocked)
                sigaddset(&set, blocked);
            sigprocmask(SIG_SETMASK, &set, nullptr);
            if (niceness)
                setpriority(PRIO_PROCESS, 0, niceness);
            if (batch) {
                cpu_set_t first;
                CPU_ZERO(&first);
                CPU_SET(0, &first);
                sched_setaffinity(0, sizeof first, &first);
                const sched_param none = {};
                sched_setscheduler(0, SCHED_BATCH, &none);
            }
        });
        const QString folder = m_dir.filePath(QStringLiteral("state%1/sub").arg(i));
        const pid_t job = startLongJob(process, tools[i], folder + "/out.jp2", prefix);
        QVERIFY(job != 0);
        const pid_t caller = pid_t(process.processId());
        // The engine is the caller's own process; a handed-over job runs in the helper's.
        QCOMPARE(job == caller, i == 0);
        // Starting a thread blocks every signal for a moment; the state is read once it
        // has held for several looks in a row.
        QMap<QString, QString> previous;
        int same = 0;
        QVERIFY(QTest::qWaitFor([&] {
            states[i] = stateOf(job, caller);
            same = std::exchange(previous, states[i]) == states[i] ? same + 1 : 0;
            return same == 5;
        }));
        states[i]["cwd"].replace(QStringLiteral("state%1").arg(i), "state");
        ::kill(caller, SIGTERM);
        QVERIFY(process.waitForFinished());
        QTRY_VERIFY(isGone(job));
    }
    QCOMPARE(states[1].keys(), states[0].keys());
    for (const QString& key : states[0].keys())
        QVERIFY2(states[1][key] == states[0][key],
                 qPrintable(key + ": " + states[1][key] + " instead of " + states[0][key]));
}

void TestWarmStart::stopsWithItsCaller_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("tempMayStay");
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGKILL") << int(SIGKILL) << true;
}

void TestWarmStart::stopsWithItsCaller() {
    QFETCH(int, signal);
    QFETCH(bool, tempMayStay);
    startHelper();
    const QString folder = m_dir.filePath("stopped");
    QDir(folder).removeRecursively();
    QProcess process;
    const pid_t job = startLongJob(process, kFront, folder + "/out.jp2");
    QVERIFY(job != 0);
    QVERIFY(job != pid_t(process.processId()));
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished());
    // The caller sees the tool die of the signal it was sent.
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.exitCode(), signal);
    QTRY_VERIFY(isGone(job));
    QVERIFY(!QFileInfo::exists(folder + "/out.jp2"));
    const QStringList left =
        QDir(folder).entryList({".out.jp2.sips-*"}, QDir::Files | QDir::Hidden);
    QVERIFY2(tempMayStay ? left.size() <= 1 : left.isEmpty(), qPrintable(left.join(' ')));
}

void TestWarmStart::stopsWhenTheApplicationStopsIt() {
    startHelper();
    const QString folder = m_dir.filePath("timed out");
    QDir().mkpath(folder);
    const QString out = folder + "/out.jp2";
    platform::Shell::setToolFolder(QFileInfo(kFront).path());
    const auto limit = platform::Shell::timeLimit();
    platform::Shell::setTimeLimit(std::chrono::seconds(2));
    platform::Shell shell;
    shell.Execute("sips -s format jp2 " + quoted(m_big) + " --out " + quoted(out));
    platform::Shell::setTimeLimit(limit);
    platform::Shell::setToolFolder(QString());
    QVERIFY(shell.ErrorCode() != 0);
    QVERIFY2(shell.ErrorOutput().contains("stopped after running longer"),
             qPrintable(shell.ErrorOutput()));
    QTRY_COMPARE(writerOf(folder + "/.out.jp2.sips-"), pid_t(0));
    QVERIFY(!QFileInfo::exists(out));
}

void TestWarmStart::aCrashFailsOnlyItsOwnJob() {
    startHelper();
    const pid_t helper = helpersUnder(m_dir.path()).value(0);
    const QString folder = m_dir.filePath("crash");
    QDir(folder).removeRecursively();
    QProcess process;
    process.setChildProcessModifier([] {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
    });
    const pid_t job = startLongJob(process, kFront, folder + "/out.jp2");
    QVERIFY(job != 0);
    // As a decoder that reads out of bounds would.
    ::kill(job, SIGSEGV);
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.exitCode(), int(SIGSEGV));
    QVERIFY(!QFileInfo::exists(folder + "/out.jp2"));

    QProcess next;
    next.start(kFront, {"-s", "format", "jpeg", m_small, "--out", folder + "/next.jpeg"});
    QVERIFY(next.waitForFinished());
    QCOMPARE(next.exitCode(), 0);
    QImage picture(folder + "/next.jpeg");
    QCOMPARE(picture.size(), QSize(64, 48));
    QVERIFY(qAbs(qRed(picture.pixel(40, 20)) - 160) < 4);
    QCOMPARE(helpersUnder(m_dir.path()), QList<pid_t>{helper});
}

void TestWarmStart::runsItselfWhenTheHelperCannotMatch_data() {
    QTest::addColumn<QString>("helperPrefix");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("wrapper");
    QTest::newRow("file size limit above the helper's") << "ulimit -f 100000"
                                                        << ""
                                                        << "";
    QTest::newRow("loader variables") << ""
                                      << "export LD_BIND_NOW=1"
                                      << "";
    QTest::newRow("image library variables") << ""
                                             << "export VIPS_CONCURRENCY=1"
                                             << "";
    QTest::newRow("another personality") << ""
                                         << ""
                                         << "setarch \"$(uname -m)\" -R";
    QTest::newRow("no new privileges") << ""
                                       << ""
                                       << "setpriv --no-new-privs";
    if (geteuid() == 0)
        QTest::newRow("another mount namespace") << ""
                                                 << ""
                                                 << "unshare --mount";
}

void TestWarmStart::runsItselfWhenTheHelperCannotMatch() {
    QFETCH(QString, helperPrefix);
    QFETCH(QString, prefix);
    QFETCH(QString, wrapper);
    const QString args = "-s format png ../small.png --out out.png";
    runIn(m_dir.filePath("first"), kFront, helperPrefix, args);
    QTRY_COMPARE(helpersUnder(m_runtime).size(), 1);
    const pid_t helper = helpersUnder(m_runtime)[0];
    const Outcome expected = runIn(m_dir.filePath("engine"), kEngine, prefix, args, wrapper);
    const Outcome front = runIn(m_dir.filePath("front"), kFront, prefix, args, wrapper);
    QCOMPARE(front.out, QByteArray("status 0\n"));
    QVERIFY(front.files == expected.files);
    // It leaves, so that the next run starts one that matches.
    QTRY_VERIFY(isGone(helper));
}

void TestWarmStart::keepsToAPrivateFolder_data() {
    QTest::addColumn<int>("runtimeMode");  // 0: no runtime folder set
    QTest::addColumn<int>("fallbackMode"); // 0: not there beforehand
    QTest::addColumn<QString>("socketIn");
    QTest::newRow("runtime folder") << 0700 << 0 << "runtime";
    QTest::newRow("runtime folder open to others") << 0755 << 0 << "fallback";
    QTest::newRow("no runtime folder") << 0 << 0 << "fallback";
    QTest::newRow("fallback made by someone else's hand") << 0 << 0755 << "";
}

void TestWarmStart::keepsToAPrivateFolder() {
    QFETCH(int, runtimeMode);
    QFETCH(int, fallbackMode);
    QFETCH(QString, socketIn);
    const QString root = m_dir.filePath("private");
    QDir(root).removeRecursively();
    const QString runtime = root + "/runtime";
    const QString temp = root + "/temp";
    const QString fallback = temp + QStringLiteral("/morvelle-%1").arg(geteuid());
    QVERIFY(QDir().mkpath(runtime) && QDir().mkpath(temp));
    QVERIFY(chmod(QFile::encodeName(runtime).constData(), runtimeMode ? runtimeMode : 0700) == 0);
    if (fallbackMode) {
        QVERIFY(QDir().mkpath(fallback));
        QVERIFY(chmod(QFile::encodeName(fallback).constData(), fallbackMode) == 0);
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", temp);
    if (runtimeMode)
        env.insert("XDG_RUNTIME_DIR", runtime);
    else
        env.remove("XDG_RUNTIME_DIR");
    for (int run = 0; run < 2; ++run) {
        QProcess process;
        process.setProcessEnvironment(env);
        const QString out = root + QStringLiteral("/out%1.jpeg").arg(run);
        process.start(kFront, {"-s", "format", "jpeg", m_small, "--out", out});
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QImage(out).size(), QSize(64, 48));
        if (run == 0 && !socketIn.isEmpty())
            QTRY_COMPARE(socketsIn(socketIn == "runtime" ? runtime : fallback).size(), 1);
    }
    const QString socketFolder = socketIn == "runtime"    ? runtime
                                 : socketIn == "fallback" ? fallback
                                                          : QString();
    for (const QString& folder : {runtime, fallback}) {
        const QStringList sockets = socketsIn(folder);
        QCOMPARE(sockets.size(), folder == socketFolder ? 1 : 0);
        for (const QString& name : sockets) {
            struct stat info;
            QVERIFY(lstat(QFile::encodeName(folder + "/" + name).constData(), &info) == 0);
            QVERIFY(S_ISSOCK(info.st_mode));
            QCOMPARE(info.st_mode & 077, mode_t(0));
        }
    }
    // A helper started while the first was still setting up leaves at once.
    QTRY_COMPARE_WITH_TIMEOUT(helpersUnder(root).size(), socketIn.isEmpty() ? 0 : 1, 30000);
    const QList<pid_t> helpers = helpersUnder(root);
    for (pid_t pid : helpers)
        ::kill(pid, SIGTERM);
    for (pid_t pid : helpers)
        QTRY_VERIFY(isGone(pid));
}

void TestWarmStart::refusesOtherUsers() {
    if (geteuid() != 0)
        QSKIP("needs root to act as another user");
    startHelper();
    const QStringList sockets = socketsIn(m_runtime);
    QCOMPARE(sockets.size(), 1);
    const QByteArray socket = QFile::encodeName(m_runtime + "/" + sockets[0]);
    const QByteArray out = QFile::encodeName(m_dir.filePath("intruder.jpeg"));
    const QByteArray small = QFile::encodeName(m_small);
    // Opened up by mistake, the folder and socket still do not let another user in.
    QVERIFY(chmod(QFile::encodeName(m_dir.path()).constData(), 0777) == 0);
    QVERIFY(chmod(QFile::encodeName(m_runtime).constData(), 0777) == 0);
    QVERIFY(chmod(socket.constData(), 0777) == 0);
    const pid_t child = fork();
    if (child == 0) {
        setgroups(0, nullptr);
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, socket.constData());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            _exit(4);
        // A well-formed request, which the helper would run if it took the connection.
        QByteArray payload = QByteArray("sips\0-s\0format\0jpeg\0", 21) + small + '\0' +
                             QByteArray("--out\0", 6) + out + '\0';
        sips::handover::Request header = {};
        header.version = sips::handover::kVersion;
        header.argc = 7;
        header.payloadSize = std::uint32_t(payload.size());
        header.openStreams = 7;
        header.umask = 022;
        for (int resource = 0; resource < RLIM_NLIMITS; ++resource)
            getrlimit(__rlimit_resource_t(resource), &header.limits[resource]);
        const int fds[4] = {open("/", O_PATH), 0, 1, 2};
        // Closed on us before or after the request: refused either way.
        if (!sips::handover::sendWithDescriptors(fd, &header, sizeof header, fds, 4) ||
            send(fd, payload.constData(), size_t(payload.size()), MSG_NOSIGNAL) != payload.size())
            _exit(0);
        char reply[8];
        // Closed unanswered: nothing read, or the request refused unread.
        _exit(read(fd, reply, sizeof reply) <= 0 ? 0 : 6);
    }
    int status = 0;
    waitpid(child, &status, 0);
    chmod(QFile::encodeName(m_runtime).constData(), 0700);
    chmod(QFile::encodeName(m_dir.path()).constData(), 0700);
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!QFileInfo::exists(m_dir.filePath("intruder.jpeg")));
}

void TestWarmStart::leavesWhenIdle() {
    startHelper();
    const pid_t helper = helpersUnder(m_runtime).value(0);
    QVERIFY(helper != 0);
    // Forking is safe only from a process with one thread.
    QCOMPARE(QDir(QStringLiteral("/proc/%1/task").arg(helper))
                 .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                 .size(),
             1);
    QTRY_VERIFY_WITH_TIMEOUT(isGone(helper), (sips::handover::kIdleSeconds + 15) * 1000);
    QTRY_VERIFY(socketsIn(m_runtime).isEmpty());
}

QTEST_MAIN(TestWarmStart)
#include "tst_warmstart.moc"
