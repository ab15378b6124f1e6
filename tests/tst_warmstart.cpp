// The `sips` front and its warm helper: a command handed over runs exactly as the engine
// run by the caller itself would, in the caller's state, stops with its caller, and stays
// out of other users' reach; a caller the helper cannot be compared with, and one that
// would wait for a stalled helper, gets the engine itself. Every case runs the real front,
// helper and engine on real pictures, in a runtime folder of its own. Run as root, the test
// acts as a user of its own, since root never uses a helper.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstddef>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <memory>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips8>

#include "platform/shell.h"
#include "warm/handover.h"

namespace {

// How long to wait for what comes by itself (a process ending, a helper's spare, its socket):
// seconds on a busy machine. A wait that can never end still fails, only later.
constexpr int kSettle = 30000;

// The tools under test; copies of them where the user the tests act as cannot reach them.
QString g_front = QStringLiteral(SIPS_TOOL);
QString g_engine = QStringLiteral(SIPS_ENGINE);

// The user the callers run as, and whether root can be taken back for what needs it.
uid_t g_uid = getuid();
gid_t g_gid = getgid();
bool g_canBeRoot = false;

// Makes a child process root again, in full, before it runs its program.
void becomeRoot() {
    if (setresuid(0, 0, 0) != 0 || setresgid(0, 0, 0) != 0 || setgroups(0, nullptr) != 0)
        _exit(125);
}

// Root for the test process itself while it lasts.
struct AsRoot {
    const bool taken = setresuid(uid_t(-1), 0, uid_t(-1)) == 0;
    ~AsRoot() {
        // The rest of the test must not run as root.
        if (taken && setresuid(uid_t(-1), g_uid, uid_t(-1)) != 0)
            std::abort();
    }
};

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

QList<pid_t> childrenOf(pid_t parent) {
    QList<pid_t> children;
    for (pid_t pid : processes()) {
        if (parentOf(pid) == parent)
            children.append(pid);
    }
    return children;
}

// The helper's one process waiting for a job, in the folder the helper runs in (a job runs
// in its caller's): a new one each time a job is taken.
pid_t spareOf(pid_t helper) {
    QList<pid_t> spares;
    return QTest::qWaitFor(
               [&] {
                   spares.clear();
                   for (pid_t child : childrenOf(helper)) {
                       if (!isGone(child) && linkOf(child, "cwd") == "/")
                           spares.append(child);
                   }
                   return spares.size() == 1;
               },
               kSettle)
               ? spares[0]
               : 0;
}

// The fields of /proc/PID/stat after the command's name, the state first; none if it is gone.
QList<QByteArray> statFieldsOf(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

char stateLetter(pid_t pid) {
    const QList<QByteArray> fields = statFieldsOf(pid);
    return fields.isEmpty() || fields[0].isEmpty() ? 0 : fields[0][0];
}

// The processor time a process has used, in clock ticks: utime and stime, the 14th and 15th
// fields of the line.
long cpuTicksOf(pid_t pid) {
    const QList<QByteArray> fields = statFieldsOf(pid);
    return fields.size() > 12 ? fields[11].toLong() + fields[12].toLong() : -1;
}

// A source that cannot be read until the test lets it: a write lease on it makes any
// open() wait (the kernel would break the lease after fs.lease-break-time, far beyond any
// case here).
struct Lease {
    int fd = -1;

    ~Lease() { release(); }
    bool take(const QString& path) {
        fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        // The lease holder is told of an open by a signal; one whose default is to ignore.
        return fd >= 0 && fcntl(fd, F_SETSIG, SIGURG) == 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
    }
    void release() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    // The process waiting to open the file, as /proc/locks lists it after our lease.
    pid_t waiter() const {
        struct stat info;
        if (fd < 0 || fstat(fd, &info) != 0)
            return 0;
        QFile locks("/proc/locks");
        if (!locks.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray inode = ":" + QByteArray::number(qulonglong(info.st_ino)) + " ";
        QByteArray ours;
        for (const QByteArray& line : locks.readAll().split('\n')) {
            const QList<QByteArray> words = line.simplified().split(' ');
            if (words.size() > 4 && words[1] == "LEASE" && line.contains(inode) &&
                words[4].toInt() == getpid())
                ours = words[0];
            else if (!ours.isEmpty() && words.size() > 5 && words[0] == ours && words[1] == "->")
                return pid_t(words[5].toInt());
        }
        return 0;
    }
};

enum class Confinement { None, NoNewPrivileges, Filter, Landlock, RootUnderLandlock };

bool hasLandlock() {
    return syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) > 0;
}

// Confines the child process before it runs its program; it ends at once if it cannot.
void confine(Confinement confinement) {
    if (confinement == Confinement::RootUnderLandlock)
        becomeRoot();
    else if (confinement != Confinement::None && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        _exit(125);
    if (confinement == Confinement::Filter) {
        // Files can be written but not put in place: rename and link fail.
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 5, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat, 4, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rename, 3, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_linkat, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_link, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        };
        sock_fprog program = {sizeof code / sizeof code[0], code};
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(125);
    }
    if (confinement == Confinement::Landlock || confinement == Confinement::RootUnderLandlock) {
        // No new file anywhere.
        landlock_ruleset_attr rules = {};
        rules.handled_access_fs = LANDLOCK_ACCESS_FS_MAKE_REG;
        const int ruleset = int(syscall(SYS_landlock_create_ruleset, &rules, sizeof rules, 0));
        if (ruleset < 0 || syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
            _exit(125);
    }
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
    void stopsAndGoesOnWithItsCaller();
    void stopsWhenTheApplicationStopsIt();
    void aCrashFailsOnlyItsOwnJob();
    void aJobOutlivesItsHelper_data();
    void aJobOutlivesItsHelper();
    void retiresQuietlyOnceItsJobsEnd();
    void runsItselfWhenTheHelperCannotMatch_data();
    void runsItselfWhenTheHelperCannotMatch();
    void runsItselfForAConfinedCaller_data();
    void runsItselfForAConfinedCaller();
    void waitsForAHelperAtMostASecond_data();
    void waitsForAHelperAtMostASecond();
    void endsAtOnceWhenStoppedWhileWaiting();
    void keepsToAPrivateFolder_data();
    void keepsToAPrivateFolder();
    void refusesOtherUsers();
    void leavesWhenIdle();

private:
    // Runs `prefix; wrapper tool args` through the shell in a fresh folder.
    Outcome runIn(const QString& folder, const QString& tool, const QString& prefix,
                  const QString& args, const QString& wrapper = QString(),
                  const std::function<void()>& modifier = {});
    void startHelper();
    void stopHelpers();
    // Starts `tool` converting a source that cannot be read until lease_ is released, in
    // `folder`; returns the process that waits to read it: the job.
    pid_t startLongJob(QProcess& process, const QString& tool, const QString& folder,
                       const QString& prefix = QString());
    void checkConverted(const QString& out);

    // Made when the tests run, not when they are only listed.
    std::unique_ptr<QTemporaryDir> dir_;
    QString runtime_;
    QString small_;
    QString big_;
    Lease lease_;
};

void TestWarmStart::initTestCase() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    if (geteuid() == 0) {
        // A user of no one's, to be these tests' caller.
        for (uid_t id = 61000; id < 62000 && g_uid == 0; ++id) {
            if (!getpwuid(id) && !getgrgid(id))
                g_uid = g_gid = id;
        }
        QVERIFY(g_uid != 0);
        QVERIFY(chown(QFile::encodeName(dir_->path()).constData(), g_uid, g_gid) == 0);
        QVERIFY(setgroups(0, nullptr) == 0 && setresgid(g_gid, g_gid, 0) == 0 &&
                setresuid(g_uid, g_uid, 0) == 0);
        g_canBeRoot = true;
        if (access(QFile::encodeName(g_front).constData(), X_OK) != 0) {
            const QString tools = dir_->filePath("tools");
            QVERIFY(QDir().mkpath(tools));
            for (QString* tool : {&g_front, &g_engine}) {
                const QString copy = tools + "/" + QFileInfo(*tool).fileName();
                {
                    AsRoot privileged;
                    QVERIFY(QFile::copy(*tool, copy));
                }
                *tool = copy;
            }
        }
    }
    QVERIFY(VIPS_INIT("tst_warmstart") == 0);
    runtime_ = dir_->filePath("runtime");
    QVERIFY(QDir().mkpath(runtime_));
    QVERIFY(chmod(QFile::encodeName(runtime_).constData(), 0700) == 0);
    // Every process started here, the application's Shell included, finds this folder.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_));

    small_ = dir_->filePath("small.png");
    QImage small(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < small.height(); ++y)
        for (int x = 0; x < small.width(); ++x)
            small.setPixel(x, y, qRgb(x * 4, y * 5, 128));
    QVERIFY(small.save(small_));
    QVERIFY(small.save(dir_->filePath("small.bmp")));
    // Larger than a file size limit of 16 blocks as BMP.
    big_ = dir_->filePath("big.v");
    vips::VImage noise = vips::VImage::gaussnoise(300, 300);
    vips::VImage::bandjoin({noise, noise.rot180(), noise.fliphor()})
        .cast(VIPS_FORMAT_UCHAR)
        .write_to_file(QFile::encodeName(big_).constData());
}

void TestWarmStart::cleanup() {
    stopHelpers();
    lease_.release();
}

void TestWarmStart::stopHelpers() {
    const QList<pid_t> helpers = helpersUnder(dir_->path());
    for (pid_t pid : helpers) {
        ::kill(pid, SIGTERM);
        ::kill(pid, SIGCONT);
    }
    for (pid_t pid : helpers)
        QTRY_VERIFY_WITH_TIMEOUT(isGone(pid), kSettle);
}

void TestWarmStart::startHelper() {
    if (helpersUnder(dir_->path()).isEmpty()) {
        QProcess process;
        process.start(g_front, {"--formats"});
        QVERIFY(process.waitForFinished());
        QTRY_COMPARE_WITH_TIMEOUT(socketsIn(runtime_).size(), 1, kSettle);
        QTRY_COMPARE_WITH_TIMEOUT(helpersUnder(runtime_).size(), 1, kSettle);
    }
    // The socket is there before the spare that answers on it; a front that came first, on a
    // busy machine, could wait out its second and run the engine itself.
    QVERIFY(spareOf(helpersUnder(runtime_).value(0)) != 0);
}

Outcome TestWarmStart::runIn(const QString& folder, const QString& tool, const QString& prefix,
                             const QString& args, const QString& wrapper,
                             const std::function<void()>& modifier) {
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    QProcess process;
    process.setWorkingDirectory(folder);
    if (modifier)
        process.setChildProcessModifier(modifier);
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
    for (const QFileInfo& file :
         QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        QFile contents(file.filePath());
        contents.open(QIODevice::ReadOnly);
        // A temporary file left behind has a name of its own in each run.
        const QString name = file.fileName().replace(QRegularExpression("sips-.{6}$"), "sips-");
        const QString key = name + QStringLiteral(" %1").arg(int(file.permissions()), 0, 16);
        outcome.files[key] = contents.readAll();
    }
    return outcome;
}

pid_t TestWarmStart::startLongJob(QProcess& process, const QString& tool, const QString& folder,
                                  const QString& prefix) {
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    const QString source = folder + "/source.png";
    if (!QFile::copy(small_, source) || !lease_.take(source))
        return 0;
    process.setWorkingDirectory(folder);
    const QString line = (prefix.isEmpty() ? QString() : prefix + "; ") + "exec " + quoted(tool) +
                         " -s format png " + quoted(source) + " --out " +
                         quoted(folder + "/out.png");
    process.start("/bin/sh", {"-c", line});
    if (!process.waitForStarted())
        return 0;
    pid_t job = 0;
    return QTest::qWaitFor([&] { return (job = lease_.waiter()) != 0; }, 60000) ? job : 0;
}

void TestWarmStart::checkConverted(const QString& out) {
    QImage picture(out);
    QImage expected(small_);
    QCOMPARE(picture.size(), expected.size());
    QCOMPARE(picture.convertToFormat(QImage::Format_RGB32), expected);
    const QStringList left =
        QDir(QFileInfo(out).path()).entryList({".*.sips-*"}, QDir::Files | QDir::Hidden);
    QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));
}

void TestWarmStart::givesTheEngineResults_data() {
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("args");
    QTest::addColumn<bool>("warm");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<bool>("handedOver");
    const struct {
        const char* name;
        const char* prefix;
        const char* args;
        const char* status;
        bool handedOver;
    } rows[] = {
        {"jpeg", "", "-s format jpeg -s formatOptions best ../small.png --out out.jpeg", "0", true},
        {"gif into the working folder", "", "-s format gif ../small.png --out .", "0", true},
        {"umask", "umask 077", "-s format png ../small.png --out out.png", "0", true},
        {"properties", "", "-g pixelWidth -g hasAlpha ../small.png", "0", true},
        {"format list", "", "--formats", "0", true},
        {"unknown option", "", "--nonsense", "2", true},
        {"missing source", "", "-s format jpeg missing.png --out out.jpeg", "1", true},
        {"closed input", "exec <&-", "-s format tiff ../small.png --out out.tiff", "0", true},
        {"closed output", "", "-g format ../small.png >&-", "0", true},
        {"environment read by a loader", "export MAGICK_WIDTH_LIMIT=8",
         "-s format jpeg ../small.bmp --out out.jpeg", "1", true},
        {"file size limit", "ulimit -f 16", "-s format bmp ../big.v --out out.bmp", "1", true},
        {"file size limit, signal ignored", "trap '' XFSZ; ulimit -f 16",
         "-s format bmp ../big.v --out out.bmp", "1", true},
        // Only the caller's own process reaches its descriptors by these names.
        {"source on descriptor 3", "exec 3<../small.png", "-s format png /dev/fd/3 --out out.png",
         "0", false},
        {"source on standard input", "exec <../small.png", "-s format png /dev/stdin --out out.png",
         "0", false},
        {"descriptor through /proc", "exec 4<../small.png",
         "-s format png /proc/self/fd/4 --out out.png", "0", false},
        {"link to a descriptor", "exec 3<../small.png; ln -s /dev/fd/3 link.png",
         "-s format png link.png --out out.png", "0", false},
        {"link to the descriptors' folder", "exec 3<../small.png; ln -s /dev/fd fds",
         "-s format png fds/3 --out out.png", "0", false},
        {"a folder of the user's named dev", "mkdir dev; cp ../small.png dev",
         "-s format png dev/small.png --out out.png", "0", true},
    };
    for (const auto& row : rows) {
        for (bool warm : {false, true}) {
            QTest::addRow("%s, %s", row.name, warm ? "helper running" : "no helper")
                << row.prefix << row.args << warm << QByteArray(row.status) << row.handedOver;
        }
    }
}

void TestWarmStart::givesTheEngineResults() {
    QFETCH(QString, prefix);
    QFETCH(QString, args);
    QFETCH(bool, warm);
    QFETCH(QByteArray, status);
    QFETCH(bool, handedOver);
    const Outcome expected = runIn(dir_->filePath("engine"), g_engine, prefix, args);
    QVERIFY2(expected.out.endsWith("status " + status + "\n"), expected.out.constData());

    pid_t helper = 0;
    pid_t spare = 0;
    if (warm) {
        startHelper();
        helper = helpersUnder(dir_->path()).value(0);
        spare = spareOf(helper);
    } else {
        stopHelpers();
    }
    const Outcome front = runIn(dir_->filePath("front"), g_front, prefix, args);
    QCOMPARE(front.out, expected.out);
    QCOMPARE(front.err, expected.err);
    QCOMPARE(front.files.keys(), expected.files.keys());
    QVERIFY(front.files == expected.files);
    if (warm) {
        // A helper that declined the job would have left; one that took it has a new spare.
        QVERIFY(!isGone(helper));
        QCOMPARE(spareOf(helper) != spare, handedOver);
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

void TestWarmStart::runsTheJobInTheCallersState() {
    QFETCH(QString, prefix);
    QFETCH(int, blocked);
    QFETCH(int, niceness);
    QFETCH(bool, batch);
    startHelper();
    QMap<QString, QString> states[2];
    const QString tools[2] = {g_engine, g_front};
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
        const QString folder = dir_->filePath(QStringLiteral("state%1/sub").arg(i));
        const pid_t job = startLongJob(process, tools[i], folder, prefix);
        QVERIFY(job != 0);
        const pid_t caller = pid_t(process.processId());
        // The engine is the caller's own process; a handed-over job runs in the helper's.
        QCOMPARE(job == caller, i == 0);
        const QMap<QString, QString> state = stateOf(job, caller);
        states[i] = state;
        states[i]["cwd"].replace(QStringLiteral("state%1").arg(i), "state");
        ::kill(caller, SIGTERM);
        QVERIFY(process.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(isGone(job), kSettle);
        lease_.release();
    }
    QCOMPARE(states[1].keys(), states[0].keys());
    for (const QString& key : states[0].keys())
        QVERIFY2(states[1][key] == states[0][key],
                 qPrintable(key + ": " + states[1][key] + " instead of " + states[0][key]));
}

void TestWarmStart::stopsWithItsCaller_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
    QTest::newRow("SIGKILL") << int(SIGKILL);
}

void TestWarmStart::stopsWithItsCaller() {
    QFETCH(int, signal);
    startHelper();
    const QString folder = dir_->filePath("stopped");
    QProcess process;
    const pid_t job = startLongJob(process, g_front, folder);
    QVERIFY(job != 0);
    QVERIFY(job != pid_t(process.processId()));
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished());
    // The caller sees the tool die of the signal it was sent.
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.exitCode(), signal);
    QTRY_VERIFY_WITH_TIMEOUT(isGone(job), kSettle);
    lease_.release();
    QVERIFY(!QFileInfo::exists(folder + "/out.png"));
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"source.png"});
}

void TestWarmStart::stopsAndGoesOnWithItsCaller() {
    startHelper();
    const QString folder = dir_->filePath("job control");
    QProcess process;
    // A process group of its own within the session, as a shell gives a job: one that a
    // stop signal does stop.
    process.setChildProcessModifier([] { setpgid(0, 0); });
    const pid_t job = startLongJob(process, g_front, folder);
    QVERIFY(job != 0);
    const pid_t front = pid_t(process.processId());
    ::kill(front, SIGTSTP);
    QTRY_COMPARE_WITH_TIMEOUT(stateLetter(front), 'T', kSettle);
    QTRY_COMPARE_WITH_TIMEOUT(stateLetter(job), 'T', kSettle);
    ::kill(front, SIGCONT);
    QTRY_VERIFY_WITH_TIMEOUT(stateLetter(front) != 'T' && stateLetter(job) != 'T', kSettle);
    lease_.release();
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    checkConverted(folder + "/out.png");
}

void TestWarmStart::stopsWhenTheApplicationStopsIt() {
    startHelper();
    const QString folder = dir_->filePath("timed out");
    QDir().mkpath(folder);
    const QString source = folder + "/source.png";
    QVERIFY(QFile::copy(small_, source) && lease_.take(source));
    const QString out = folder + "/out.png";
    platform::Shell::setToolFolder(QFileInfo(g_front).path());
    const auto limit = platform::Shell::timeLimit();
    platform::Shell::setTimeLimit(std::chrono::seconds(2));
    platform::Shell shell;
    shell.Execute("sips -s format png " + quoted(source) + " --out " + quoted(out));
    platform::Shell::setTimeLimit(limit);
    platform::Shell::setToolFolder(QString());
    QVERIFY(shell.ErrorCode() != 0);
    QVERIFY2(shell.ErrorOutput().contains("stopped after running longer"),
             qPrintable(shell.ErrorOutput()));
    QTRY_COMPARE_WITH_TIMEOUT(lease_.waiter(), pid_t(0), kSettle);
    lease_.release();
    QVERIFY(!QFileInfo::exists(out));
}

void TestWarmStart::aCrashFailsOnlyItsOwnJob() {
    startHelper();
    const pid_t helper = helpersUnder(dir_->path()).value(0);
    const QString folder = dir_->filePath("crash");
    QProcess process;
    process.setChildProcessModifier([] {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
    });
    const pid_t job = startLongJob(process, g_front, folder);
    QVERIFY(job != 0);
    // As a decoder that reads out of bounds would.
    ::kill(job, SIGSEGV);
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.exitCode(), int(SIGSEGV));
    lease_.release();
    QVERIFY(!QFileInfo::exists(folder + "/out.png"));

    QProcess next;
    next.start(g_front, {"-s", "format", "png", small_, "--out", folder + "/next.png"});
    QVERIFY(next.waitForFinished());
    QCOMPARE(next.exitCode(), 0);
    checkConverted(folder + "/next.png");
    QCOMPARE(helpersUnder(dir_->path()), QList<pid_t>{helper});
}

void TestWarmStart::aJobOutlivesItsHelper_data() {
    QTest::addColumn<bool>("jobKilled");
    QTest::newRow("the job finishes") << false;
    QTest::newRow("the job is killed too") << true;
}

void TestWarmStart::aJobOutlivesItsHelper() {
    QFETCH(bool, jobKilled);
    startHelper();
    const pid_t helper = helpersUnder(dir_->path()).value(0);
    const QString folder = dir_->filePath("orphan");
    QProcess process;
    const pid_t job = startLongJob(process, g_front, folder);
    QVERIFY(job != 0);
    QVERIFY(job != pid_t(process.processId()));
    ::kill(helper, SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(isGone(helper), kSettle);
    QVERIFY(!isGone(job));
    if (jobKilled) {
        // Nobody is left to tell the front how its job ended.
        ::kill(job, SIGKILL);
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 1);
        const QList<QByteArray> lines = process.readAllStandardError().split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].startsWith("Error: "), lines[0].constData());
        lease_.release();
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"source.png"});
        return;
    }
    lease_.release();
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardError(), QByteArray());
    checkConverted(folder + "/out.png");
    // Nobody else is left to end it.
    QTRY_VERIFY_WITH_TIMEOUT(isGone(job), kSettle);
}

void TestWarmStart::retiresQuietlyOnceItsJobsEnd() {
    startHelper();
    const pid_t helper = helpersUnder(dir_->path()).value(0);
    const QString folder = dir_->filePath("retiring");
    QProcess process;
    const pid_t job = startLongJob(process, g_front, folder);
    QVERIFY(job != 0);
    ::kill(helper, SIGTERM);
    // It waits for its job without a spare, asleep: a second of it costs next to no processor
    // time, where a loop that polls a closed descriptor takes all it can get.
    QTRY_VERIFY_WITH_TIMEOUT(childrenOf(helper) == QList<pid_t>{job}, kSettle);
    const long before = cpuTicksOf(helper);
    QTest::qWait(1000);
    const long used = cpuTicksOf(helper) - before;
    QVERIFY2(used * 10 < sysconf(_SC_CLK_TCK), qPrintable(QString::number(used) + " ticks"));
    lease_.release();
    QVERIFY(process.waitForFinished());
    QCOMPARE(process.exitCode(), 0);
    checkConverted(folder + "/out.png");
    QTRY_VERIFY_WITH_TIMEOUT(isGone(helper), kSettle);
}

void TestWarmStart::runsItselfWhenTheHelperCannotMatch_data() {
    QTest::addColumn<QString>("helperPrefix");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("wrapper");
    QTest::addColumn<bool>("asRoot");
    QTest::newRow("file size limit above the helper's") << "ulimit -f 100000"
                                                        << ""
                                                        << "" << false;
    QTest::newRow("loader variables") << ""
                                      << "export LD_BIND_NOW=1"
                                      << "" << false;
    QTest::newRow("image library variables") << ""
                                             << "export VIPS_CONCURRENCY=1"
                                             << "" << false;
    QTest::newRow("another personality") << ""
                                         << ""
                                         << "setarch \"$(uname -m)\" -R" << false;
    // Made by root, run as the test's user in it.
    for (const char* space : {"mount", "time"})
        QTest::addRow("another %s namespace", space)
            << ""
            << ""
            << QStringLiteral("unshare --%1 setpriv --reuid=%2 --regid=%3 --clear-groups")
                   .arg(space)
                   .arg(g_uid)
                   .arg(g_gid)
            << true;
}

void TestWarmStart::runsItselfWhenTheHelperCannotMatch() {
    QFETCH(QString, helperPrefix);
    QFETCH(QString, prefix);
    QFETCH(QString, wrapper);
    QFETCH(bool, asRoot);
    if (asRoot && !g_canBeRoot)
        QSKIP("needs root to set the caller up");
    const std::function<void()> modifier = asRoot ? becomeRoot : std::function<void()>();
    if (asRoot) {
        QProcess probe;
        probe.setChildProcessModifier(modifier);
        probe.start("/bin/sh", {"-c", wrapper + " true"});
        // In a chroot, say, whose root's propagation cannot be changed.
        if (!probe.waitForFinished() || probe.exitCode() != 0)
            QSKIP(qPrintable("this machine cannot give it: " + probe.readAllStandardError()));
    }
    const QString args = "-s format png ../small.png --out out.png";
    runIn(dir_->filePath("first"), g_front, helperPrefix, args);
    QTRY_COMPARE_WITH_TIMEOUT(helpersUnder(runtime_).size(), 1, kSettle);
    const pid_t helper = helpersUnder(runtime_)[0];
    const Outcome expected =
        runIn(dir_->filePath("engine"), g_engine, prefix, args, wrapper, modifier);
    const Outcome front = runIn(dir_->filePath("front"), g_front, prefix, args, wrapper, modifier);
    QCOMPARE(front.out, QByteArray("status 0\n"));
    QVERIFY(front.files == expected.files);
    // It leaves, so that the next run starts one that matches.
    QTRY_VERIFY_WITH_TIMEOUT(isGone(helper), kSettle);
}

void TestWarmStart::runsItselfForAConfinedCaller_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("no new privileges") << int(Confinement::NoNewPrivileges) << true;
    QTest::newRow("system call filter") << int(Confinement::Filter) << false;
    QTest::newRow("Landlock") << int(Confinement::Landlock) << false;
    QTest::newRow("root, under Landlock") << int(Confinement::RootUnderLandlock) << false;
}

void TestWarmStart::runsItselfForAConfinedCaller() {
    QFETCH(int, row);
    QFETCH(bool, succeeds);
    const auto confinement = Confinement(row);
    const bool root = confinement == Confinement::RootUnderLandlock;
    if (root && !g_canBeRoot)
        QSKIP("needs root to run a caller as root");
    if ((confinement == Confinement::Landlock || root) && !hasLandlock())
        QSKIP("the kernel has no Landlock");
    startHelper();
    const pid_t helper = helpersUnder(runtime_).value(0);
    const pid_t spare = spareOf(helper);
    // Root's own runtime folder, as its session would have it.
    const QString rootRuntime = dir_->filePath("root runtime");
    const QString prefix = root ? "mkdir -m 700 " + quoted(rootRuntime) +
                                      "; export XDG_RUNTIME_DIR=" + quoted(rootRuntime)
                                : QString();
    const auto modifier = [=] { confine(confinement); };
    const QString args = "-s format png ../small.png --out out.png";
    const Outcome expected = runIn(dir_->filePath("engine"), g_engine, "", args, "", modifier);
    QCOMPARE(expected.out == "status 0\n", succeeds);
    for (int run = 0; run < 2; ++run) {
        QDir(rootRuntime).removeRecursively();
        const Outcome front = runIn(dir_->filePath("front"), g_front, prefix, args, "", modifier);
        QCOMPARE(front.out, expected.out);
        QCOMPARE(front.err, expected.err);
        QVERIFY(front.files == expected.files);
        // Nothing went to the helper, and no helper was started in the caller's confinement.
        QCOMPARE(spareOf(helper), spare);
        QTest::qWait(300);
        QCOMPARE(helpersUnder(dir_->path()), QList<pid_t>{helper});
        if (root) {
            QCOMPARE(socketsIn(rootRuntime), QStringList());
            AsRoot privileged;
            QDir(rootRuntime).removeRecursively();
        }
    }
}

void TestWarmStart::waitsForAHelperAtMostASecond_data() {
    QTest::addColumn<QString>("stall");
    for (const char* stall : {"a peer that sends nothing", "a peer that sends half a request",
                              "a stopped helper", "a stopped helper and spare"})
        QTest::newRow(stall) << stall;
}

void TestWarmStart::waitsForAHelperAtMostASecond() {
    QFETCH(QString, stall);
    startHelper();
    const pid_t helper = helpersUnder(runtime_).value(0);
    const QByteArray socket = QFile::encodeName(runtime_ + "/" + socketsIn(runtime_).value(0));
    int peer = -1;
    if (stall.startsWith("a peer")) {
        peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, socket.constData());
        QVERIFY(::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        if (stall.endsWith("half a request")) {
            const sips::handover::Request header = {};
            QVERIFY(send(peer, &header, sizeof header / 2, 0) == ssize_t(sizeof header / 2));
        }
    } else {
        ::kill(helper, SIGSTOP);
        if (stall.endsWith("spare"))
            ::kill(spareOf(helper), SIGSTOP);
    }
    for (int run = 0; run < 2; ++run) {
        const QString out = dir_->filePath(QStringLiteral("stalled%1.png").arg(run));
        QFile::remove(out);
        QElapsedTimer timer;
        timer.start();
        QProcess process;
        process.start(g_front, {"-s", "format", "png", small_, "--out", out});
        QVERIFY(process.waitForFinished());
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(process.exitCode(), 0);
        checkConverted(out);
        QFile::remove(out);
    }
    if (peer >= 0)
        close(peer);
    const QList<pid_t> stopped = childrenOf(helper) << helper;
    for (pid_t pid : stopped)
        ::kill(pid, SIGCONT);
}

void TestWarmStart::endsAtOnceWhenStoppedWhileWaiting() {
    startHelper();
    const pid_t helper = helpersUnder(runtime_).value(0);
    const pid_t spare = spareOf(helper);
    ::kill(helper, SIGSTOP);
    ::kill(spare, SIGSTOP);
    const QString out = dir_->filePath("waited.png");
    QProcess process;
    process.start(g_front, {"-s", "format", "png", small_, "--out", out});
    QVERIFY(process.waitForStarted());
    const pid_t front = pid_t(process.processId());
    // Connected, and waiting to be taken.
    QVERIFY(QTest::qWaitFor([&] {
        const QString fds = QStringLiteral("/proc/%1/fd").arg(front);
        for (const QString& fd : QDir(fds).entryList(QDir::Files | QDir::System)) {
            if (QFileInfo(fds + "/" + fd).symLinkTarget().contains("socket:"))
                return true;
        }
        return false;
    }));
    QElapsedTimer timer;
    timer.start();
    ::kill(front, SIGTERM);
    QVERIFY(process.waitForFinished());
    // Well before the wait would have ended and the engine run.
    QVERIFY2(timer.elapsed() < sips::handover::kHandOverMillis / 2,
             qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(process.exitCode(), int(SIGTERM));
    QVERIFY(!QFileInfo::exists(out));
    ::kill(spare, SIGCONT);
    ::kill(helper, SIGCONT);
}

void TestWarmStart::keepsToAPrivateFolder_data() {
    QTest::addColumn<QString>("setUp"); // run in the test's folder, as root where it chowns
    QTest::addColumn<bool>("socket");
    QTest::newRow("private runtime folder") << "mkdir -m 700 runtime" << true;
    QTest::newRow("runtime folder open to others") << "mkdir -m 755 runtime" << false;
    QTest::newRow("runtime folder open to its group") << "mkdir -m 750 runtime" << false;
    QTest::newRow("runtime folder a link to a private one")
        << "mkdir -m 700 real; ln -s real runtime" << false;
    QTest::newRow("someone else's runtime folder")
        << "mkdir -m 700 runtime; chown 65534 runtime" << false;
    QTest::newRow("no runtime folder") << "" << false;
}

void TestWarmStart::keepsToAPrivateFolder() {
    QFETCH(QString, setUp);
    QFETCH(bool, socket);
    const bool chowns = setUp.contains("chown");
    if (chowns && !g_canBeRoot)
        QSKIP("needs root to give a folder to another user");
    const QString root = dir_->filePath("private");
    QDir(root).removeRecursively();
    const QString runtime = root + "/runtime";
    const QString temp = root + "/temp";
    QVERIFY(QDir().mkpath(temp));
    QProcess made;
    made.setWorkingDirectory(root);
    if (chowns)
        made.setChildProcessModifier(becomeRoot);
    made.start("/bin/sh", {"-c", setUp});
    QVERIFY(made.waitForFinished() && made.exitCode() == 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", temp);
    if (setUp.isEmpty())
        env.remove("XDG_RUNTIME_DIR");
    else
        env.insert("XDG_RUNTIME_DIR", runtime);
    for (int run = 0; run < 2; ++run) {
        QProcess process;
        process.setProcessEnvironment(env);
        const QString out = root + QStringLiteral("/out%1.png").arg(run);
        process.start(g_front, {"-s", "format", "png", small_, "--out", out});
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.exitCode(), 0);
        checkConverted(out);
        if (run == 0 && socket)
            QTRY_COMPARE_WITH_TIMEOUT(socketsIn(runtime).size(), 1, kSettle);
    }
    if (!socket)
        QTest::qWait(300);
    // Nothing of the helper's anywhere else, nor where someone else may reach.
    QCOMPARE(QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    const QStringList sockets = socketsIn(runtime);
    QCOMPARE(sockets.size(), socket ? 1 : 0);
    for (const QString& name : sockets) {
        struct stat info;
        QVERIFY(lstat(QFile::encodeName(runtime + "/" + name).constData(), &info) == 0);
        QVERIFY(S_ISSOCK(info.st_mode));
        QCOMPARE(info.st_mode & 077, mode_t(0));
    }
    // A helper started while the first was still setting up leaves at once.
    QTRY_COMPARE_WITH_TIMEOUT(helpersUnder(root).size(), socket ? 1 : 0, 30000);
    const QList<pid_t> helpers = helpersUnder(root);
    for (pid_t pid : helpers)
        ::kill(pid, SIGTERM);
    for (pid_t pid : helpers)
        QTRY_VERIFY_WITH_TIMEOUT(isGone(pid), kSettle);
    if (chowns) {
        AsRoot privileged;
        QDir(root).removeRecursively();
    }
}

void TestWarmStart::refusesOtherUsers() {
    if (!g_canBeRoot)
        QSKIP("needs root to act as another user");
    startHelper();
    const QStringList sockets = socketsIn(runtime_);
    QCOMPARE(sockets.size(), 1);
    const QByteArray socket = QFile::encodeName(runtime_ + "/" + sockets[0]);
    const QByteArray out = QFile::encodeName(dir_->filePath("intruder.jpeg"));
    const QByteArray small = QFile::encodeName(small_);
    // Opened up by mistake, the folder and socket still do not let another user in.
    QVERIFY(chmod(QFile::encodeName(dir_->path()).constData(), 0777) == 0);
    QVERIFY(chmod(QFile::encodeName(runtime_).constData(), 0777) == 0);
    QVERIFY(chmod(socket.constData(), 0777) == 0);
    const pid_t child = fork();
    if (child == 0) {
        becomeRoot();
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
    chmod(QFile::encodeName(runtime_).constData(), 0700);
    chmod(QFile::encodeName(dir_->path()).constData(), 0700);
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!QFileInfo::exists(dir_->filePath("intruder.jpeg")));
}

void TestWarmStart::leavesWhenIdle() {
    startHelper();
    const pid_t helper = helpersUnder(runtime_).value(0);
    QVERIFY(helper != 0);
    // Forking is safe only from a process with one thread.
    QCOMPARE(QDir(QStringLiteral("/proc/%1/task").arg(helper))
                 .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                 .size(),
             1);
    QTRY_VERIFY_WITH_TIMEOUT(isGone(helper), (sips::handover::kIdleSeconds + 15) * 1000);
    QTRY_VERIFY_WITH_TIMEOUT(socketsIn(runtime_).isEmpty(), kSettle);
}

QTEST_MAIN(TestWarmStart)
#include "tst_warmstart.moc"
