// The tool's output file: written under a hidden temporary name and given its own only when
// whole, never over what has taken the name meanwhile, nothing left behind when writing fails
// or a signal ends the tool, long names and a folder as the output.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <unistd.h>
#include <vips/vips8>

#include "core/failure.h"
#include "core/output_file.h"
#include "heldjob.h"
#include "sipscheck.h"

using namespace sipscheck;
using vips::VImage;

namespace {

// A picture of noise, which compresses badly: the tool has much to do after its temporary
// file is open.
QString writeNoise(const QString& folder) {
    const QString path = folder + "/noise.png";
    const VImage noise = VImage::gaussnoise(1200, 1200, VImage::option()->set("sigma", 60));
    VImage::bandjoin(std::vector<VImage>{noise, noise.rot90(), noise.rot180()})
        .cast(VIPS_FORMAT_UCHAR)
        .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
        .pngsave(path.toUtf8().constData(), VImage::option()->set("compression", 1));
    return path;
}

// Starts the tool and returns once its hidden temporary file is open in the folder, the job
// held there: it is then writing, and cannot finish before it is let go.
bool startWriting(QProcess& tool, const QString& program, const QStringList& args,
                  const QString& folder, testsupport::HeldJob& job) {
    tool.start(program, args);
    QElapsedTimer waited;
    waited.start();
    // Looked for without pause, so that the job has done next to nothing when it is held.
    while (!job.hold(folder)) {
        if (waited.elapsed() > 60000)
            return false;
        ::usleep(200);
    }
    return true;
}

// Gives `path` to something else: a file of these bytes, a symbolic link to "gone" beside
// it, which does not exist, or a folder; "nothing" leaves it free.
bool putInTheWay(const QString& what, const QString& path, const QByteArray& bytes) {
    if (what == "file")
        return writeBytes(path, bytes);
    if (what == "dangling link")
        return QFile::link(QFileInfo(path).absolutePath() + "/gone", path);
    if (what == "folder")
        return QDir().mkdir(path);
    return what == "nothing";
}

} // namespace

class TestOutputFile : public QObject, sipscheck::Fixture {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void leavesNothingWhenWritingFails_data();
    void leavesNothingWhenWritingFails();
    void writesIntoAFolderUnderTheSourceName();
    void neverReplacesWhatTakesTheName_data();
    void neverReplacesWhatTakesTheName();
    void refusesATakenOutputName_data();
    void refusesATakenOutputName();
    void keepsAFileMadeWhileConverting();
    void writesLongNames_data();
    void writesLongNames();
    void keepsIgnoredSignalsIgnored_data();
    void keepsIgnoredSignalsIgnored();
};

void TestOutputFile::initTestCase() {
    QVERIFY(VIPS_INIT("tst_outputfile") == 0);
    QVERIFY(dir_.isValid());
}

void TestOutputFile::leavesNothingWhenWritingFails_data() {
    QTest::addColumn<QString>("shellPrefix");
    // Whatever unit the shell counts ulimit -f in, 16 of them are far below every output
    // of the noise picture (over 100 KiB in each format).
    QTest::newRow("file size limit") << "ulimit -f 16";
    QTest::newRow("file size limit, signal ignored") << "trap '' XFSZ; ulimit -f 16";
}

void TestOutputFile::leavesNothingWhenWritingFails() {
    QFETCH(QString, shellPrefix);
    const QString d = dir_.path() + "/limited";
    QDir(d).removeRecursively();
    QDir().mkpath(d);
    for (const QString format : {"jpeg", "gif", "png", "tiff", "bmp", "tga", "psd", "jp2", "pdf"}) {
        const QString out = d + "/out." + format;
        Run run = runTool({"-s", "format", format, source("noise"), "-o", out}, shellPrefix);
        QCOMPARE(run.status, 1);
        QVERIFY2(!QFileInfo::exists(out), qPrintable(format));
        QCOMPARE(run.errorLines,
                 QStringList{"Error: the output would exceed the file size limit: " + out});
        QVERIFY(leftovers(d).isEmpty());
    }
}

void TestOutputFile::writesIntoAFolderUnderTheSourceName() {
    const QString d = dir_.path() + "/into";
    QDir().mkpath(d);
    Run run = runTool({"-s", "format", "jpg", source("rgb"), source("grey"), "--out", d});
    QCOMPARE(run.status, 0);
    QCOMPARE(QDir(d).entryList(QDir::Files | QDir::Hidden), QStringList({"grey.jpg", "rgb.jpg"}));

    run = runTool({"-s", "format", "png", source("rgb"), source("grey"), "--out", d + "/one.png"});
    QVERIFY(run.status != 0);
    QVERIFY(!QFileInfo::exists(d + "/one.png"));
}

void TestOutputFile::neverReplacesWhatTakesTheName_data() {
    QTest::addColumn<bool>("throughLink"); // the way for file systems without exclusive rename
    QTest::addColumn<QString>("inTheWay");
    for (bool link : {false, true})
        for (const char* what : {"nothing", "file", "dangling link", "folder"})
            QTest::addRow("%s, %s", link ? "link" : "rename", what) << link << QString(what);
}

void TestOutputFile::neverReplacesWhatTakesTheName() {
    QFETCH(bool, throughLink);
    QFETCH(QString, inTheWay);
    const QString d = freshFolder("taken-meanwhile");
    QVERIFY(!d.isEmpty());
    const QString target = d + "/out.png";
    const QByteArray theirs = "made by someone else after the name was found free\n";
    const QByteArray ours = "the finished output\n";

    if (throughLink) {
        const QString temp = d + "/.out.png.sips-abcdef";
        QVERIFY(writeBytes(temp, ours));
        QVERIFY(putInTheWay(inTheWay, target, theirs));
        const int result = sips::linkWithoutReplacing(temp.toStdString(), target.toStdString());
        QCOMPARE(result, inTheWay == "nothing" ? 0 : EEXIST);
        if (result != 0) {
            QCOMPARE(bytesOf(temp), ours);
            QVERIFY(QFile::remove(temp));
        }
    } else {
        bool refused = false;
        {
            sips::OutputFile out(target.toStdString());
            out.write(ours.constData(), size_t(ours.size()));
            QVERIFY(putInTheWay(inTheWay, target, theirs));
            try {
                out.commit();
            } catch (const sips::NameTaken& taken) {
                refused = true;
                QCOMPARE(QString::fromStdString(taken.path()), target);
            }
        }
        QCOMPARE(refused, inTheWay != "nothing");
    }

    QVERIFY(leftovers(d).isEmpty());
    const QFileInfo info(target);
    if (inTheWay == "nothing") {
        QCOMPARE(bytesOf(target), ours);
    } else if (inTheWay == "file") {
        QCOMPARE(bytesOf(target), theirs);
    } else if (inTheWay == "dangling link") {
        QVERIFY(info.isSymLink());
        QCOMPARE(info.symLinkTarget(), d + "/gone");
        QVERIFY(!info.exists());
    } else {
        QVERIFY(info.isDir());
        QVERIFY(QDir(target).isEmpty());
    }
}

void TestOutputFile::refusesATakenOutputName_data() {
    QTest::addColumn<QString>("inTheWay");
    QTest::addColumn<bool>("missingSourceToo");
    QTest::addColumn<int>("status");
    QTest::newRow("a file") << "file" << false << 3;
    QTest::newRow("a dangling symbolic link") << "dangling link" << false << 3;
    QTest::newRow("a file, and a missing source") << "file" << true << 1;
}

void TestOutputFile::refusesATakenOutputName() {
    QFETCH(QString, inTheWay);
    QFETCH(bool, missingSourceToo);
    QFETCH(int, status);
    const QString d = freshFolder("taken");
    QVERIFY(!d.isEmpty());
    const QString taken = d + "/rgb.png";
    const QByteArray theirs = "someone else's file\n";
    QVERIFY(putInTheWay(inTheWay, taken, theirs));

    QStringList args{"-s", "format", "png", source("rgb"), source("grey")};
    if (missingSourceToo)
        args << d + "/missing.png";
    Run run = runTool(args << "--out" << d);
    QCOMPARE(run.status, status);
    QCOMPARE(run.errorLines.size(), missingSourceToo ? 2 : 1);
    QCOMPARE(run.errorLines[0], "Error: a file of this name already exists: " + taken);
    if (inTheWay == "file")
        QCOMPARE(bytesOf(taken), theirs);
    else
        QCOMPARE(QFileInfo(taken).symLinkTarget(), d + "/gone");
    // The other source is converted all the same.
    QCOMPARE(VImage::new_from_file((d + "/grey.png").toUtf8().constData()).width(), 96);
    QVERIFY(leftovers(d).isEmpty());
}

void TestOutputFile::keepsAFileMadeWhileConverting() {
    const QString d = freshFolder("made-meanwhile");
    QVERIFY(!d.isEmpty());
    const QString input = writeNoise(d);
    const QString output = d + "/out.png";
    QProcess tool;
    testsupport::HeldJob job;
    QVERIFY(startWriting(tool, SIPS_TOOL, {"-s", "format", "png", input, "-o", output}, d, job));

    // Made after the tool found the name free, as another program would make it.
    const QByteArray theirs = "someone else's file\n";
    QFile file(output);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::NewOnly));
    QCOMPARE(file.write(theirs), theirs.size());
    file.close();

    job.release();
    QVERIFY(tool.waitForFinished(300000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 3);
    QCOMPARE(QString::fromUtf8(tool.readAllStandardError()),
             "Error: a file of this name already exists: " + output + "\n");
    QCOMPARE(bytesOf(output), theirs);
    QVERIFY(leftovers(d).isEmpty());
}

void TestOutputFile::writesLongNames_data() {
    QTest::addColumn<QByteArray>("name"); // the output's, as bytes
    auto named = [](const QByteArray& piece, int bytes) {
        const QByteArray ending = ".tiff";
        QByteArray name;
        while (name.size() + piece.size() + ending.size() <= bytes)
            name += piece;
        return name + QByteArray(bytes - ending.size() - name.size(), 'x') + ending;
    };
    QTest::newRow("250 bytes of ASCII") << named("a", 250);
    QTest::newRow("250 bytes of two-byte characters") << named("\xc3\xa9", 250);
    QTest::newRow("250 bytes of three-byte characters") << named("\xe2\x82\xac", 250);
    QTest::newRow("255 bytes, the longest name") << named("\xc3\xbc", 255);
}

void TestOutputFile::writesLongNames() {
    QFETCH(QByteArray, name);
    QCOMPARE(name.size() >= 250, true);
    const QString d = freshFolder("long");
    QVERIFY(!d.isEmpty());
    const QString output = d + "/" + QFile::decodeName(name);
    const QString input = d + "/" + QFile::decodeName(name.chopped(5) + ".png");
    QVERIFY(QFile::copy(source("rgb"), input));

    {
        // The hidden temporary name fits, and begins with as much of the name as fits
        // without splitting a character.
        sips::OutputFile out(QFile::encodeName(output).toStdString());
        const std::string temp = out.tempPath().substr(out.tempPath().rfind('/') + 1);
        QVERIFY2(temp.size() <= 255, temp.c_str());
        QCOMPARE(temp[0], '.');
        const QByteArray kept = QByteArray::fromStdString(temp.substr(1, temp.rfind(".sips-") - 1));
        QVERIFY(name.startsWith(kept));
        QVERIFY(kept.size() > 230);
        QCOMPARE(QString::fromUtf8(kept).toUtf8(), kept);
    }
    QVERIFY(leftovers(d).isEmpty());

    Run run = runTool({"-s", "format", "tiff", input, "--out", output});
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    QVERIFY(leftovers(d).isEmpty());
    const VImage expected = VImage::new_from_file(source("rgb").toUtf8().constData());
    const VImage actual = VImage::new_from_file(QFile::encodeName(output).constData());
    QCOMPARE(actual.width(), expected.width());
    QCOMPARE(actual.height(), expected.height());
    QCOMPARE((actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().max(), 0.0);
}

void TestOutputFile::keepsIgnoredSignalsIgnored_data() {
    QTest::addColumn<QStringList>("launcher"); // runs the tool with the words after it
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("ignored");
    const QString trap = "trap '' %1; exec \"$0\" \"$@\"";
    QTest::newRow("SIGHUP under nohup") << QStringList{"nohup"} << SIGHUP << true;
    QTest::newRow("SIGINT ignored by the shell")
        << QStringList{"/bin/sh", "-c", trap.arg("INT")} << SIGINT << true;
    QTest::newRow("SIGTERM ignored by the shell")
        << QStringList{"/bin/sh", "-c", trap.arg("TERM")} << SIGTERM << true;
    QTest::newRow("SIGHUP") << QStringList{} << SIGHUP << false;
    QTest::newRow("SIGTERM") << QStringList{} << SIGTERM << false;
}

void TestOutputFile::keepsIgnoredSignalsIgnored() {
    QFETCH(QStringList, launcher);
    QFETCH(int, signal);
    QFETCH(bool, ignored);
    const QString d = freshFolder("signals");
    QVERIFY(!d.isEmpty());
    const QString input = writeNoise(d);
    const QString output = d + "/out.png";
    QStringList words = launcher.mid(1);
    words << SIPS_TOOL << "-s"
          << "format"
          << "png" << input << "-o" << output;
    const QString program = launcher.isEmpty() ? words.takeFirst() : launcher.first();
    QProcess tool;
    testsupport::HeldJob job;
    // The hidden temporary file is made once the tool has set up its signals.
    QVERIFY(startWriting(tool, program, words, d, job));
    QCOMPARE(::kill(pid_t(tool.processId()), signal), 0);
    // The output's name is not there yet, so the signal came while the tool was writing.
    QVERIFY(!QFileInfo::exists(output));
    // An ignored signal is dropped as it is sent; one that counts reaches the job, which
    // takes it first when let go.
    if (ignored)
        job.release();
    else
        QVERIFY(QTest::qWaitFor([&] { return job.releaseOnce(signal); }, 60000));
    QVERIFY(tool.waitForFinished(300000));

    if (ignored) {
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
        const VImage expected = VImage::new_from_file(input.toUtf8().constData());
        const VImage actual = VImage::new_from_file(output.toUtf8().constData());
        QCOMPARE(actual.width(), 1200);
        QCOMPARE((actual.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().max(), 0.0);
    } else {
        QCOMPARE(tool.exitStatus(), QProcess::CrashExit);
        QVERIFY(!QFileInfo::exists(output));
    }
    QVERIFY2(leftovers(d).isEmpty(), qPrintable(leftovers(d).join(' ')));
}

QTEST_GUILESS_MAIN(TestOutputFile)
#include "tst_outputfile.moc"
