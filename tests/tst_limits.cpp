// The engine under its caller's limits and its memory budget, the resolution it gives a
// picture that states none, and the end of a run once its output is in place.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <glib.h>
#include <new>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vips/vips8>
#include <zlib.h>

#include "core/output_file.h"
#include "core/run_limits.h"
#include "outputcheck.h"

using vips::VImage;

namespace {

struct Run {
    int status = -1; // the exit status, or 128 + the signal that ended the engine
    QStringList errorLines;
    long peakKilobytes = 0;
};

// The engine as `before; exec [wrapper] ENGINE args` in /bin/sh, with its peak resident size.
Run runEngine(const QString& before, const QString& wrapper, const QStringList& args,
              const QString& folder) {
    QStringList quoted;
    for (const QString& arg : args)
        quoted << "'" + arg + "'";
    const QByteArray command =
        (before + "; exec " + wrapper + " '" SIPS_ENGINE "' " + quoted.join(' ')).toUtf8();
    const QByteArray errors = (folder + "/../stderr").toUtf8();
    Run run;
    const pid_t child = fork();
    if (child == 0) {
        int fd = open(errors.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, STDERR_FILENO);
        execl("/bin/sh", "sh", "-c", command.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child)
        return run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peakKilobytes = usage.ru_maxrss;
    QFile file(QString::fromUtf8(errors));
    if (file.open(QIODevice::ReadOnly))
        run.errorLines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    return run;
}

QStringList everythingIn(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden);
}

QString freshFolder(const QTemporaryDir& dir, const QString& name) {
    const QString path = dir.filePath(name);
    QDir(path).removeRecursively();
    QDir().mkpath(path);
    return path;
}

quint32 bigEndian(const QByteArray& bytes, qsizetype at) {
    return quint32(quint8(bytes[at])) << 24 | quint32(quint8(bytes[at + 1])) << 16 |
           quint32(quint8(bytes[at + 2])) << 8 | quint8(bytes[at + 3]);
}

// The PNG without its pHYs chunk, or with one of `pixelsPerMetre` in its place.
QByteArray withPhys(const QByteArray& png, quint32 pixelsPerMetre) {
    QByteArray out = png.left(8);
    for (qsizetype at = 8; at + 12 <= png.size();) {
        const qsizetype length = bigEndian(png, at);
        const QByteArray type = png.mid(at + 4, 4);
        if (type == "IDAT" && pixelsPerMetre != 0) {
            QByteArray chunk("pHYs");
            for (int axis = 0; axis < 2; ++axis)
                for (int shift = 24; shift >= 0; shift -= 8)
                    chunk.append(char(pixelsPerMetre >> shift));
            chunk.append(char(1));
            const quint32 crc =
                quint32(crc32(0, reinterpret_cast<const uchar*>(chunk.data()), uint(chunk.size())));
            out.append(QByteArray::fromHex("00000009")).append(chunk);
            for (int shift = 24; shift >= 0; shift -= 8)
                out.append(char(crc >> shift));
            pixelsPerMetre = 0;
        }
        if (type != "pHYs")
            out.append(png.mid(at, length + 12));
        at += length + 12;
    }
    return out;
}

// The resolution a written file holds, in dots per inch.
double storedDpi(const QString& path, const QString& format) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray bytes = file.readAll();
    if (format == "png") {
        const qsizetype at = bytes.indexOf("pHYs");
        return at < 0 ? 0 : bigEndian(bytes, at + 4) * 0.0254;
    }
    if (format == "bmp")
        return qFromLittleEndian<quint32>(bytes.constData() + 38) * 0.0254;
    const VImage image = VImage::new_from_file(path.toUtf8().constData());
    return image.xres() * 25.4;
}

} // namespace

class TestLimits : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void endsWithOneLineUnderLimits_data();
    void endsWithOneLineUnderLimits();
    void staysWithinItsMemoryBudget_data();
    void staysWithinItsMemoryBudget();
    void writesPlainPicturesAt72Dpi_data();
    void writesPlainPicturesAt72Dpi();
    void aWrittenOutputIsASuccess_data();
    void aWrittenOutputIsASuccess();
    void endsAFaultWithOneLine_data();
    void endsAFaultWithOneLine();

private:
    QTemporaryDir dir_;
    QString noise_;
};

void TestLimits::initTestCase() {
    QVERIFY(VIPS_INIT("tst_limits") == 0);
    // Outputs of one name are read again as they change.
    vips_cache_set_max(0);
    QVERIFY(dir_.isValid());
    noise_ = dir_.filePath("noise.ppm");
    const VImage noise = VImage::gaussnoise(3000, 2000, VImage::option()->set("sigma", 60));
    VImage::bandjoin(std::vector<VImage>{noise, noise.flip(VIPS_DIRECTION_HORIZONTAL),
                                         noise.flip(VIPS_DIRECTION_VERTICAL)})
        .cast(VIPS_FORMAT_UCHAR)
        .ppmsave(noise_.toUtf8().constData());
}

void TestLimits::endsWithOneLineUnderLimits_data() {
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("mustFail");
    // In KiB, from about the least address space in which the dynamic loader starts the engine
    // to room for every format.
    QTest::newRow("file size limit") << "ulimit -f 16"
                                     << "the output would exceed the file size limit" << true;
    for (int kib : {150000, 180000, 200000, 250000, 400000})
        QTest::addRow("address space %d KiB", kib)
            << QString("ulimit -v %1").arg(kib) << "not enough memory to convert this picture"
            << (kib == 150000);
}

void TestLimits::endsWithOneLineUnderLimits() {
    QFETCH(QString, limit);
    QFETCH(QString, line);
    QFETCH(bool, mustFail);
    const QString d = freshFolder(dir_, "limited");
    const VImage source = VImage::new_from_file(noise_.toUtf8().constData());
    for (const QString format : {"png", "jpeg", "tiff", "bmp", "jp2", "gif", "pdf", "psd", "tga"}) {
        const QString out = d + "/out." + format;
        const Run run = runEngine(limit, "", {"-s", "format", format, noise_, "--out", out}, d);
        if (run.status == 127)
            QSKIP("the dynamic loader cannot start the engine in this little address space");
        if (run.status == 0 && !mustFail) {
            QVERIFY2(run.errorLines.isEmpty(), qPrintable(run.errorLines.join('\n')));
            QCOMPARE(everythingIn(d), QStringList{"out." + format});
            if (format == "pdf")
                VERIFY_PDF_STRUCTURE(out);
            // Lossless formats hold every pixel; the others at least decode whole.
            const VImage written = format == "pdf"
                                       ? VImage::pdfload(out.toUtf8().constData())
                                       : VImage::new_from_file(out.toUtf8().constData());
            QCOMPARE(written.width(), source.width());
            if (format == "png" || format == "tiff" || format == "bmp" || format == "tga")
                QCOMPARE(
                    (written.extract_band(0, VImage::option()->set("n", 3)) - source).abs().max(),
                    0.0);
            else
                QVERIFY(written.avg() > 0);
            QFile::remove(out);
            continue;
        }
        QVERIFY2(run.status == 1, qPrintable(QString::number(run.status) + " " + format));
        const QString path = line.startsWith("not enough memory") ? noise_ : out;
        QCOMPARE(run.errorLines, QStringList{"Error: " + line + ": " + path});
        QCOMPARE(everythingIn(d), QStringList());
    }
}

void TestLimits::staysWithinItsMemoryBudget_data() {
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("wrapper");
    QTest::addColumn<double>("limitKib");
    // An address-space limit halves what the engine may take, however it is set.
    QTest::newRow("ulimit -v") << "ulimit -v 1200000"
                               << "" << 1200000.0;
    QTest::newRow("prlimit") << ":"
                             << "prlimit --as=1228800000" << 1200000.0;
}

void TestLimits::staysWithinItsMemoryBudget() {
    QFETCH(QString, limit);
    QFETCH(QString, wrapper);
    QFETCH(double, limitKib);
    const QString d = freshFolder(dir_, "budget");
    // A few hundred bytes whose blur would take gigabytes.
    const QString svg = dir_.filePath("blur.svg");
    QFile file(svg);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"9000\" height=\"9000\">"
               "<filter id=\"b\"><feGaussianBlur stdDeviation=\"4000\"/></filter>"
               "<rect width=\"9000\" height=\"9000\" fill=\"red\" filter=\"url(#b)\"/></svg>");
    file.close();
    const Run run =
        runEngine(limit, wrapper, {"-s", "format", "png", svg, "--out", d + "/out.png"}, d);
    QCOMPARE(run.status, 1);
    QCOMPARE(run.errorLines,
             QStringList{"Error: not enough memory to convert this picture: " + svg});
    QCOMPARE(everythingIn(d), QStringList());
    // Half the limit, and what the watch may miss between two looks.
    QVERIFY2(run.peakKilobytes < 0.6 * limitKib, qPrintable(QString::number(run.peakKilobytes)));
}

void TestLimits::writesPlainPicturesAt72Dpi_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("format");
    QTest::addColumn<double>("dpi");
    const VImage picture =
        VImage::bandjoin(std::vector<VImage>{VImage::xyz(32, 32)[0] * 8, VImage::xyz(32, 32)[1] * 8,
                                             VImage::black(32, 32)})
            .cast(VIPS_FORMAT_UCHAR)
            .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    const QString ppm = dir_.filePath("plain.ppm");
    picture.ppmsave(ppm.toUtf8().constData());
    void* buffer = nullptr;
    size_t size = 0;
    vips_image_write_to_buffer(picture.get_image(), ".png", &buffer, &size, nullptr);
    const QByteArray png(static_cast<const char*>(buffer), qsizetype(size));
    g_free(buffer);
    auto saved = [&](const QString& name, const QByteArray& bytes) {
        QFile file(dir_.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                   ? file.fileName()
                   : QString();
    };
    const QString bare = saved("bare.png", withPhys(png, 0));
    const QString stated = saved("stated.png", withPhys(png, 2834));
    for (const QString format : {"png", "bmp", "tiff", "jpeg", "psd", "pdf"}) {
        QTest::addRow("PNG without pHYs to %s", qPrintable(format)) << bare << format << 72.0;
        QTest::addRow("PPM to %s", qPrintable(format)) << ppm << format << 72.0;
    }
    // 2834 pixels per metre is libvips's value for a PNG without pHYs; stated, it is kept.
    for (const QString format : {"png", "tiff"})
        QTest::addRow("PNG stating 71.98 dpi to %s", qPrintable(format))
            << stated << format << 2834 * 0.0254;
}

void TestLimits::writesPlainPicturesAt72Dpi() {
    QFETCH(QString, source);
    QFETCH(QString, format);
    QFETCH(double, dpi);
    const QString d = freshFolder(dir_, "dpi");
    const QString out = d + "/out." + format;
    const Run run = runEngine(":", "", {"-s", "format", format, source, "--out", out}, d);
    QVERIFY2(run.status == 0, qPrintable(run.errorLines.join('\n')));
    if (format == "pdf") {
        VERIFY_PDF_STRUCTURE(out);
        // One point per pixel: poppler draws the page at 72 dpi with exactly the pixels.
        QVERIFY(QProcess::execute("pdftoppm",
                                  {"-r", "72", "-png", "-singlefile", out, d + "/page"}) == 0);
        const VImage page = VImage::new_from_file((d + "/page.png").toUtf8().constData());
        QCOMPARE(page.width(), 32);
        QCOMPARE(page.height(), 32);
        return;
    }
    // PNG and BMP store whole pixels per metre, 2835 for 72 dpi; the others readers give
    // back in single precision.
    const double tolerance = format == "png" || format == "bmp" ? 0.0254 / 2 : 1e-4;
    const double stored = storedDpi(out, format);
    QVERIFY2(std::fabs(stored - dpi) < tolerance, qPrintable(QString::number(stored, 'f', 6)));
}

void TestLimits::aWrittenOutputIsASuccess_data() {
    QTest::addColumn<bool>("last");
    QTest::addColumn<bool>("beforeRename");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("written");
    QTest::newRow("SIGTERM before the rename") << true << true << 128 + SIGTERM << false;
    // More is still to come after another output: the run stops there.
    QTest::newRow("SIGTERM after an earlier output's rename")
        << false << false << 128 + SIGTERM << true;
    QTest::newRow("SIGTERM after the last output's rename") << true << false << 0 << true;
}

void TestLimits::aWrittenOutputIsASuccess() {
    QFETCH(bool, last);
    QFETCH(bool, beforeRename);
    QFETCH(int, status);
    QFETCH(bool, written);
    const QString d = freshFolder(dir_, "signal");
    const std::string target = (d + "/out.png").toStdString();
    // The tool's own signal handling in a process of its own, the signal at a known point.
    const pid_t child = fork();
    if (child == 0) {
        try {
            sips::installInterruptCleanup();
            if (last)
                sips::treatNextOutputAsLast();
            sips::OutputFile out(target);
            out.write("picture", 7);
            if (beforeRename)
                std::raise(SIGTERM);
            out.commit();
            std::raise(SIGTERM);
            _exit(0);
        } catch (...) {
            _exit(2);
        }
    }
    int ended = 0;
    QCOMPARE(waitpid(child, &ended, 0), child);
    QCOMPARE(WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended), status);
    QCOMPARE(everythingIn(d), written ? QStringList{"out.png"} : QStringList());
}

void TestLimits::endsAFaultWithOneLine_data() {
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("status");
    const QString crash = "the conversion crashed (an internal fault); nothing was kept";
    const QString memory = "not enough memory to convert this picture";
    // A real crash still ends by its signal; lack of memory is an ordinary failure.
    QTest::newRow("segmentation fault") << 0 << crash << 128 + SIGSEGV;
    QTest::newRow("abort") << 1 << crash << 128 + SIGABRT;
    QTest::newRow("GLib's failed allocation") << 2 << memory << 1;
    QTest::newRow("bad_alloc escaping a thread") << 3 << memory << 1;
}

void TestLimits::endsAFaultWithOneLine() {
    QFETCH(int, fault);
    QFETCH(QString, line);
    QFETCH(int, status);
    const QString d = freshFolder(dir_, "fault");
    const QByteArray errors = dir_.filePath("fault-stderr").toUtf8();
    // The engine's own handling in a process of its own, with a temporary file open.
    const pid_t child = fork();
    if (child == 0) {
        int fd = open(errors.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        sips::watchLimits();
        sips::convertingSource("picture.png");
        sips::OutputFile out((d + "/out.png").toStdString());
        out.write("part", 4);
        if (fault == 0)
            std::raise(SIGSEGV);
        if (fault == 1)
            std::abort();
        if (fault == 2)
            g_error("failed to allocate 1048576 bytes");
        std::thread([] { throw std::bad_alloc(); }).join();
        _exit(0);
    }
    int ended = 0;
    QCOMPARE(waitpid(child, &ended, 0), child);
    QCOMPARE(WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended), status);
    QFile file(QString::fromUtf8(errors));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), "Error: " + line + ": picture.png\n");
    QCOMPARE(everythingIn(d), QStringList());
}

QTEST_GUILESS_MAIN(TestLimits)
#include "tst_limits.moc"
