// The tool's command line: what it reads from one, the usage errors it points to help for,
// and the properties it reports of a picture.
#include <QProcess>
#include <QtTest>

#include <vips/vips8>

#include "core/options.h"
#include "sipscheck.h"

using namespace sipscheck;
using vips::VImage;

class TestCommandLine : public QObject, sipscheck::Fixture {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void reportsProperties_data();
    void reportsProperties();
    void readsCommandLines_data();
    void readsCommandLines();
    void pointsToHelpOnUsageErrors_data();
    void pointsToHelpOnUsageErrors();
};

void TestCommandLine::initTestCase() {
    QVERIFY(VIPS_INIT("tst_commandline") == 0);
    QVERIFY(dir_.isValid());
}

void TestCommandLine::reportsProperties_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");
    QTest::newRow("turned jpeg") << "exif-rotated"
                                 << "  format: jpeg\n  pixelWidth: 64\n  pixelHeight: 96\n"
                                    "  hasAlpha: no\n  bitsPerSample: 8\n";
    QTest::newRow("16-bit png") << "16-bit"
                                << "  format: png\n  pixelWidth: 96\n  pixelHeight: 64\n"
                                   "  hasAlpha: no\n  bitsPerSample: 16\n";
    QTest::newRow("bmp, read by a module") << "bmp"
                                           << "  format: bmp\n  pixelWidth: 96\n  pixelHeight: 64\n"
                                              "  hasAlpha: no\n  bitsPerSample: 8\n";
    QTest::newRow("animated gif") << "animated"
                                  << "  format: gif\n  pixelWidth: 96\n  pixelHeight: 64\n"
                                     "  hasAlpha: yes\n  bitsPerSample: 8\n";
}

void TestCommandLine::reportsProperties() {
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    Run run = runTool({"-g", "format", "-g", "pixelWidth", "--getProperty", "pixelHeight", "-g",
                       "hasAlpha", "-g", "bitsPerSample", source(kind)});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out, source(kind) + "\n" + expected);
}

void TestCommandLine::readsCommandLines_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("quality");
    QTest::addColumn<bool>("best");

    QTest::newRow("the application's command")
        << QStringList{"--setProperty", "format",  "jp2",   "--setProperty", "formatOptions",
                       "best",          "a b.png", "--out", "a b.png.jp2"}
        << true << "jp2" << 100 << true;
    QTest::newRow("short options, jpg, percentage")
        << QStringList{"-s", "format", "JPG", "-s", "formatOptions", "70%", "x", "-o", "y"} << true
        << "jpg" << 70 << false;
    QTest::newRow("named quality")
        << QStringList{"-s", "formatOptions", "low", "-s", "format", "jpeg", "x", "-o", "y"} << true
        << "jpeg" << 40 << false;
    QTest::newRow("quality out of range")
        << QStringList{"-s", "format", "jpeg", "-s", "formatOptions", "101", "x", "-o", "y"}
        << false << "" << 0 << false;
    QTest::newRow("unknown option")
        << QStringList{"--rotate", "90", "x", "-o", "y"} << false << "" << 0 << false;
    QTest::newRow("unknown property")
        << QStringList{"-s", "dpi", "72", "x", "-o", "y"} << false << "" << 0 << false;
    QTest::newRow("no format") << QStringList{"x", "-o", "y"} << false << "" << 0 << false;
    QTest::newRow("no source") << QStringList{"-s", "format", "png", "-o", "y"} << false << "" << 0
                               << false;
    QTest::newRow("missing value")
        << QStringList{"x", "-o", "y", "-s", "format"} << false << "" << 0 << false;
    QTest::newRow("get and set at once")
        << QStringList{"-g", "format", "-s", "format", "png", "x", "-o", "y"} << false << "" << 0
        << false;
}

void TestCommandLine::readsCommandLines() {
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, format);
    QFETCH(int, quality);
    QFETCH(bool, best);
    std::vector<std::string> words;
    for (const QString& arg : args)
        words.push_back(arg.toStdString());
    sips::ParseResult result = sips::parseArguments(words);
    QCOMPARE(result.ok, ok);
    if (!ok) {
        QVERIFY(!result.error.empty());
        return;
    }
    QCOMPARE(QString(result.options.format->word), format);
    QCOMPARE(result.options.quality.percent, quality);
    QCOMPARE(result.options.quality.best, best);
    QCOMPARE(result.options.sources.size(), size_t(1));
}

void TestCommandLine::pointsToHelpOnUsageErrors_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown option")
        << QStringList{"--foo", "x", "-o", "y"} << "Error: unknown option: --foo";
    QTest::newRow("missing value")
        << QStringList{"x", "-o", "y", "-s", "format"} << "Error: -s needs a key and a value";
    QTest::newRow("no source") << QStringList{"-s", "format", "png", "-o", "y"}
                               << "Error: no image file given";
}

void TestCommandLine::pointsToHelpOnUsageErrors() {
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    QProcess tool;
    tool.start(QStringLiteral(SIPS_TOOL), args);
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 2);
    QCOMPARE(tool.readAllStandardOutput(), QByteArray());
    QCOMPARE(QString::fromUtf8(tool.readAllStandardError()),
             error + "\nTry 'sips --help' for more information.\n");
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
