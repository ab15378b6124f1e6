#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "convert/imagecontrol.h"
#include "heldjob.h"
#include "platform/folderitem.h"
#include "platform/shell.h"
#include "support.h"
#include "windows/doner.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace testsupport;

namespace {

// A stand-in for the conversion tool, first on the command's PATH. It records the exact
// command line the shell was given and the words the tool received, then runs `behaviour`
// (by default: write the output file and succeed).
class FakeTool {
public:
    explicit FakeTool(const QString& behaviour = QString()) {
        const QString log = dir_.filePath(QStringLiteral("log"));
        QDir().mkpath(log);
        const QString script =
            QStringLiteral("#!/bin/sh\n"
                           "log=%1\n"
                           "n=$(ls \"$log\" | grep -c args)\n"
                           "cat /proc/$PPID/cmdline > \"$log/$n.line\"\n"
                           "printf '%s\\0' \"$@\" > \"$log/$n.args\"\n"
                           "out=''; prev=''\n"
                           "for a in \"$@\"; do [ \"$prev\" = --out ] && out=$a; prev=$a; done\n"
                           "%2\n"
                           ": > \"$out\"\n")
                .arg(platform::shellQuoted(log), behaviour);
        QFile tool(dir_.filePath(QStringLiteral("sips")));
        tool.open(QIODevice::WriteOnly);
        tool.write(script.toUtf8());
        tool.close();
        tool.setPermissions(tool.permissions() | QFileDevice::ExeOwner);
        platform::Shell::setToolFolder(dir_.path());
    }
    ~FakeTool() { platform::Shell::setToolFolder(QString()); }

    // The words each call received, in call order.
    QList<QStringList> calls() const { return read(QStringLiteral("args")); }
    // The whole command line of each call, as the shell got it.
    QStringList lines() const {
        QStringList result;
        for (const QStringList& words : read(QStringLiteral("line")))
            result.append(words.value(2));
        return result;
    }

private:
    QList<QStringList> read(const QString& suffix) const {
        QList<QStringList> result;
        for (int n = 0;; ++n) {
            QFile f(dir_.filePath(QStringLiteral("log/%1.%2").arg(n).arg(suffix)));
            if (!f.open(QIODevice::ReadOnly))
                break;
            QStringList words = QString::fromUtf8(f.readAll()).split(QChar(0));
            words.removeLast();
            result.append(words);
        }
        return result;
    }
    QTemporaryDir dir_;
};

QByteArray head(const QString& path, int n = 16) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(n) : QByteArray();
}

// What the real tool says the file's format is.
QString formatOf(const QString& path) {
    QProcess p;
    p.start(QStringLiteral(SIPS_TOOL),
            {QStringLiteral("--getProperty"), QStringLiteral("format"), path});
    p.waitForFinished(60000);
    // The path comes first (it may hold line breaks itself), then "  format: WORD".
    const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n');
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("  format: ")))
            return line.mid(10).trimmed();
    }
    return QString();
}

qconvert& dropScreen() {
    return qconvert::instance();
}
imagecontrol& chooser() {
    return imagecontrol::instance();
}

QStringList listedPaths() {
    QStringList paths;
    for (const auto& f : dropScreen().CryptFileArray)
        paths.append(f.AbsolutePath());
    return paths;
}

void press(int button) {
    const imagecontrol& c = chooser();
    platform::BevelButton* buttons[] = {
        nullptr,        c.BevelButton1, c.BevelButton2, c.BevelButton3, c.BevelButton4,
        c.BevelButton5, c.BevelButton6, c.BevelButton7, c.BevelButton8, c.BevelButton9};
    QTest::mouseClick(buttons[button], Qt::LeftButton);
}

void setAutomaticNaming(bool on) {
    if (chooser().CheckBox2->isChecked() != on)
        QTest::mouseClick(chooser().CheckBox2, Qt::LeftButton);
}

void setDesiredName(const QString& name) {
    setAutomaticNaming(false);
    chooser().EditField3->selectAll();
    QTest::keyClick(chooser().EditField3, Qt::Key_Backspace);
    QTest::keyClicks(chooser().EditField3, name);
}

// The processes whose command line names something in this folder.
QStringList processesNaming(const QString& folder) {
    QStringList found;
    const QByteArray needle = QFile::encodeName(folder);
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (pid.toInt() > 0 && cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().contains(needle))
            found.append(pid);
    }
    return found;
}

// Reads a file by its exact bytes, whatever its name holds.
QByteArray contentsOf(const QByteArray& nativePath) {
    QFile f;
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return QByteArray();
    return f.readAll();
}

// Waits until the progress display and the DONE window have come and gone.
void waitForTheEnd() {
    QTRY_VERIFY_WITH_TIMEOUT(!progressdes::existing(), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!doner::existing(), 20000);
}

} // namespace

class TestConversion : public QObject {
    Q_OBJECT

private:
    QTemporaryDir* dir_ = nullptr;
    // Answers every message; a test that expects some says so, any other fails the test.
    MessageAnswerer* messages_ = nullptr;
    bool messagesExpected_ = false;
    const QStringList& expectMessages() {
        messagesExpected_ = true;
        return messages_->texts;
    }
    QString path(const QString& relative) const { return dir_->filePath(relative); }
    QString image(const QString& relative) {
        const QString p = path(relative);
        QDir().mkpath(QFileInfo(p).path());
        return writePng(p, 12, 9, QColor(20, 120, 220));
    }

private slots:
    void initTestCase() { quietPlatformNoise(); }

    void init() {
        dir_ = new QTemporaryDir;
        messages_ = new MessageAnswerer;
        messagesExpected_ = false;
        dropScreen().BevelButton18_Action();
        setAutomaticNaming(true);
    }
    void cleanup() {
        waitForTheEnd();
        const QStringList unexpected = messagesExpected_ ? QStringList() : messages_->texts;
        delete messages_;
        delete dir_;
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(QLatin1Char('\n'))));
    }

    void chooserLayout() {
        imagecontrol& c = chooser();
        QCOMPARE(c.contentArea()->size(), QSize(205, 464));
        QVERIFY(c.windowTitle().isEmpty());
        QCOMPARE(c.StaticText11->text(), QStringLiteral("Auto ( Batch-Multiple Files )"));
        QCOMPARE(c.StaticText10->text(), QStringLiteral("Desired Image File Name: "));
        QCOMPARE(c.StaticText13->text(), QStringLiteral("Choose format to convert"));
        QCOMPARE(c.BevelButton9->geometry(), QRect(149, 346, 30, 36));
        QCOMPARE(c.StaticText1->geometry(), QRect(24, 392, 29, 20));
        const QList<QPair<platform::StaticText*, QString>> labels = {
            {c.StaticText1, "PDF"}, {c.StaticText2, "GIF"},  {c.StaticText3, "TIFF"},
            {c.StaticText4, "BMP"}, {c.StaticText5, "PNG"},  {c.StaticText6, "TGA"},
            {c.StaticText7, "PSD"}, {c.StaticText8, "JPG2"}, {c.StaticText9, "JPEG"}};
        for (const auto& [label, text] : labels)
            QCOMPARE(label->text(), text);
        for (auto* b :
             {c.BevelButton1, c.BevelButton2, c.BevelButton3, c.BevelButton4, c.BevelButton5,
              c.BevelButton6, c.BevelButton7, c.BevelButton8, c.BevelButton9}) {
            QVERIFY2(!b->icon().isNull(), "a format button has no picture");
            // Reached with Tab, never taken by a click.
            QCOMPARE(b->focusPolicy(), Qt::TabFocus);
        }
    }

    // Controls inside a group box are laid out in window coordinates.
    void feedbackWindowLayouts_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("progress bar") << "ProgressBar1" << QRect(52, 26, 252, 20);
        QTest::newRow("0%") << "StaticText2" << QRect(25, 28, 19, 20);
        QTest::newRow("100%") << "StaticText3" << QRect(309, 28, 33, 20);
        QTest::newRow("please wait") << "RemainingTime" << QRect(77, 55, 203, 22);
        QTest::newRow("DONE") << "DONE" << QRect(106, 21, 100, 20);
    }
    void feedbackWindowLayouts() {
        QFETCH(QString, control);
        QFETCH(QRect, geometry);
        QWidget* window = nullptr;
        QWidget* widget = nullptr;
        if (control == QLatin1String("DONE")) {
            window = &doner::instance();
            widget = doner::instance().StaticText1;
            QCOMPARE(doner::instance().StaticText1->text(), control);
        } else {
            progressdes& p = progressdes::instance();
            window = &p;
            const QHash<QString, QWidget*> controls = {{"ProgressBar1", p.ProgressBar1},
                                                       {"StaticText2", p.StaticText2},
                                                       {"StaticText3", p.StaticText3},
                                                       {"RemainingTime", p.RemainingTime}};
            widget = controls.value(control);
        }
        const auto* feedback = static_cast<platform::Window*>(window);
        const QPoint inWindow = widget->mapTo(feedback->contentArea(), QPoint(0, 0));
        QCOMPARE(QRect(inWindow, widget->size()), geometry);
        progressdes::instance().Close();
        if (doner::existing())
            doner::existing()->Close();
    }

    void checkBoxSwitchesTheNameField() {
        setAutomaticNaming(false);
        setDesiredName(QStringLiteral("Holiday"));
        QTest::mouseClick(chooser().CheckBox2, Qt::LeftButton);
        QVERIFY(chooser().CheckBox2->isChecked());
        QVERIFY(!chooser().EditField3->isEnabled());
        QCOMPARE(chooser().EditField3->text(), QStringLiteral("Holiday"));
        QTest::mouseClick(chooser().CheckBox2, Qt::LeftButton);
        QVERIFY(chooser().EditField3->isEnabled());
        QCOMPARE(chooser().EditField3->text(), QStringLiteral("Holiday"));
    }

    // Every button, with the real tool: automatic names, and a source without extension.
    void everyButtonConverts_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("magic");
        QTest::newRow("JPEG") << 8 << ".jpeg"
                              << "jpeg" << QByteArray("\xFF\xD8\xFF");
        QTest::newRow("GIF") << 2 << ".gif"
                             << "gif" << QByteArray("GIF8");
        QTest::newRow("TIFF") << 3 << ".tiff"
                              << "tiff" << QByteArray();
        QTest::newRow("TGA") << 5 << ".tga"
                             << "tga" << QByteArray();
        QTest::newRow("PNG") << 4 << ".png"
                             << "png" << QByteArray("\x89PNG");
        QTest::newRow("PSD") << 6 << ".psd"
                             << "psd" << QByteArray("8BPS");
        QTest::newRow("PDF") << 1 << ".pdf"
                             << "pdf" << QByteArray("%PDF");
        QTest::newRow("JPG2") << 7 << ".jp2"
                              << "jp2" << QByteArray("\0\0\0\x0CjP  ", 8);
        QTest::newRow("BMP") << 9 << ".bmp"
                             << "bmp" << QByteArray("BM");
    }
    void everyButtonConverts() {
        QFETCH(int, button);
        QFETCH(QString, extension);
        QFETCH(QString, format);
        QFETCH(QByteArray, magic);
        const QString a = image(QStringLiteral("in/a.png"));
        const QString cat = image(QStringLiteral("in/cat"));
        QVERIFY(dropFiles(&dropScreen(), {a, cat}));
        press(button);
        for (const QString& out : {a + extension, path(QStringLiteral("in/cat")) + extension}) {
            QVERIFY2(QFileInfo::exists(out), qPrintable(out));
            QVERIFY(head(out).startsWith(magic));
            QCOMPARE(formatOf(out), format);
        }
        QCOMPARE(dropScreen().ListBox1->ListCount(), 0);
        QVERIFY(dropScreen().CryptFileArray.isEmpty());
        waitForTheEnd();
        QVERIFY(!dropScreen().StaticText31->isHidden());
        QVERIFY(dropScreen().StaticText44->isHidden());
    }

    // The exact command lines, with both naming modes, for every button.
    void commandLines_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("extension");
        QTest::newRow("JPEG") << 8 << "jpeg"
                              << ".jpeg";
        QTest::newRow("GIF") << 2 << "gif"
                             << ".gif";
        QTest::newRow("TIFF") << 3 << "tiff"
                              << ".tiff";
        QTest::newRow("TGA") << 5 << "tga"
                             << ".tga";
        QTest::newRow("PNG") << 4 << "png"
                             << ".png";
        QTest::newRow("PSD") << 6 << "psd"
                             << ".psd";
        QTest::newRow("PDF") << 1 << "pdf"
                             << ".pdf";
        QTest::newRow("JPG2") << 7 << "jp2"
                              << ".jp2";
        QTest::newRow("BMP") << 9 << "bmp"
                             << ".bmp";
    }
    void commandLines() {
        QFETCH(int, button);
        QFETCH(QString, word);
        QFETCH(QString, extension);
        FakeTool tool;
        const QString cat = image(QStringLiteral("in/cat.png"));
        const QString folder = path(QStringLiteral("in"));
        const QString head = QStringLiteral("sips --setProperty format %1 --setProperty "
                                            "formatOptions best ")
                                 .arg(word);
        QVERIFY(dropFiles(&dropScreen(), {cat}));
        press(button);
        setDesiredName(QStringLiteral("Untitled"));
        QVERIFY(dropFiles(&dropScreen(), {cat}));
        press(button);
        const QStringList lines = tool.lines();
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0], head + cat + QStringLiteral(" --out ") + cat + extension);
        QCOMPARE(lines[1], head + cat + QStringLiteral(" --out ") + folder +
                               QStringLiteral("/Untitled") + extension);
        QCOMPARE(tool.calls()[0],
                 (QStringList{"--setProperty", "format", word, "--setProperty", "formatOptions",
                              "best", cat, "--out", cat + extension}));
    }

    void desiredNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("output");
        QTest::newRow("default") << "Untitled"
                                 << "Untitled.png";
        QTest::newRow("empty") << ""
                               << ".png";
        QTest::newRow("with a blank") << "my photo"
                                      << "my photo.png";
        QTest::newRow("kept verbatim") << " x "
                                       << " x .png";
    }
    void desiredNames() {
        QFETCH(QString, name);
        QFETCH(QString, output);
        const QString src = image(QStringLiteral("d/source.gif"));
        setDesiredName(name);
        QVERIFY(dropFiles(&dropScreen(), {src}));
        press(4);
        const QString out = path(QStringLiteral("d/") + output);
        QVERIFY2(QFileInfo::exists(out), qPrintable(out));
        QCOMPARE(formatOf(out), QStringLiteral("png"));
    }

    void filesAreConvertedInDropOrder() {
        FakeTool tool;
        const QString c = image(QStringLiteral("o/c.png"));
        const QString a = image(QStringLiteral("o/a.png"));
        const QString b = image(QStringLiteral("o/b.png"));
        QVERIFY(dropFiles(&dropScreen(), {c}));
        QVERIFY(dropFiles(&dropScreen(), {a}));
        QVERIFY(dropFiles(&dropScreen(), {b}));
        press(1);
        const QList<QStringList> calls = tool.calls();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls[0][6], c);
        QCOMPARE(calls[1][6], a);
        QCOMPARE(calls[2][6], b);
        QCOMPARE(dropScreen().ListBox1->ListCount(), 0);
        QVERIFY(dropScreen().CryptFileArray.isEmpty());
    }

    // The progress window stands while the tool runs and goes on the first tick after the
    // click; DONE follows and vanishes by itself.
    void progressThenDone() {
        // The tool waits to be let go, once the user's attempts below have been made.
        const QString go = path(QStringLiteral("go"));
        FakeTool tool(QStringLiteral("while [ ! -e %1 ]; do sleep 0.01; done")
                          .arg(platform::shellQuoted(go)));
        QVERIFY(dropFiles(&dropScreen(),
                          {image(QStringLiteral("p/a.png")), image(QStringLiteral("p/b.png"))}));
        bool progressDuringRun = false;
        bool doneDuringRun = true;
        bool dropTaken = true;
        const QString late = image(QStringLiteral("p/late.png"));
        QTimer during;
        during.setInterval(1);
        connect(&during, &QTimer::timeout, this, [&] {
            if (tool.calls().isEmpty())
                return;
            during.stop();
            progressDuringRun = progressdes::existing() && progressdes::existing()->isVisible();
            doneDuringRun = doner::existing() != nullptr;
            // The user tries to drop, to press another button and to close the chooser.
            dropTaken = dropFiles(&dropScreen(), {late});
            QTest::mouseClick(chooser().BevelButton8, Qt::LeftButton);
            chooser().close();
            QFile(go).open(QIODevice::WriteOnly);
        });
        during.start();
        press(4);
        QVERIFY(progressDuringRun);
        QVERIFY(!doneDuringRun);
        QVERIFY(!dropTaken);
        QCOMPARE(tool.calls().size(), 2);
        QVERIFY(imagecontrol::existing() && chooser().isVisible());
        QVERIFY(dropScreen().CryptFileArray.isEmpty());
        // Back from the click, before the event loop has run again.
        QVERIFY(progressdes::existing());
        QCOMPARE(progressdes::existing()->Timer2->Mode(), int(platform::Timer::Multiple));
        QCOMPARE(progressdes::existing()->ProgressBar1->maximum(), 0);
        QCOMPARE(progressdes::existing()->ProgressBar1->value(), 0);
        QVERIFY(!doner::existing());
        QTRY_VERIFY(!progressdes::existing());
        QVERIFY(doner::existing() && doner::existing()->isVisible());
        QVERIFY(!dropScreen().StaticText31->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(!doner::existing(), 20000);
    }

    void nothingToConvertShowsNothing() {
        press(4);
        QVERIFY(!progressdes::existing());
        settle();
        QVERIFY(!doner::existing());
        QCOMPARE(dropScreen().ListBox1->ListCount(), 0);
    }

    void closedDropScreenIsMadeAgainByAButton() {
        dropScreen().close();
        QVERIFY(!qconvert::existing());
        press(4);
        QVERIFY(qconvert::existing());
        QVERIFY(qconvert::existing()->isVisible());
        QCOMPARE(dropScreen().ListBox1->ListCount(), 0);
        QVERIFY(!progressdes::existing());
    }

    void closedChooserComesBackFresh() {
        setDesiredName(QStringLiteral("Holiday"));
        QTest::mouseClick(chooser().CheckBox2, Qt::LeftButton);
        chooser().close();
        QVERIFY(!imagecontrol::existing());
        QVERIFY(dropFiles(&dropScreen(), {image(QStringLiteral("f/a.png"))}));
        QVERIFY(imagecontrol::existing());
        QVERIFY(chooser().isVisible());
        QVERIFY(!chooser().CheckBox2->isChecked());
        QCOMPARE(chooser().EditField3->text(), QStringLiteral("Untitled"));
        QVERIFY(chooser().EditField3->isEnabled());
    }

    void aFailedFileIsReportedAndStaysListed() {
        FakeTool tool(QStringLiteral("case \"$7\" in *b.png) echo 'Error: cannot read this file "
                                     "as an image:' \"$7\" >&2; exit 1;; esac"));
        const QString a = image(QStringLiteral("x/a.png"));
        const QString b = image(QStringLiteral("x/b.png"));
        const QString c = image(QStringLiteral("x/c.png"));
        QVERIFY(dropFiles(&dropScreen(), {a, b, c}));
        const QStringList& texts = expectMessages();
        press(3);
        QCOMPARE(tool.calls().size(), 3);
        QVERIFY(QFileInfo::exists(a + ".tiff"));
        QVERIFY(!QFileInfo::exists(b + ".tiff"));
        QVERIFY(QFileInfo::exists(c + ".tiff"));
        QCOMPARE(texts.size(), 1);
        QCOMPARE(messages_->titles, QStringList{imagecontrol::FailureTitle});
        // The summary, then the file and its reason in plain words, the path said once.
        QCOMPARE(texts[0], QStringLiteral("1 of 3 files could not be converted.\n") + b +
                               QStringLiteral("\n    cannot read this file as an image"));
        QCOMPARE(listedPaths(), QStringList{b});
        QCOMPARE(dropScreen().ListBox1->ListCount(), 1);
        QCOMPARE(dropScreen().ListBox1->Cell(0, 1), b);
        // DONE still marks the end of the run, and has come and gone before the report.
        QVERIFY(!progressdes::existing());
        QVERIFY(!doner::existing());
    }

    void aHangingToolIsStopped() {
        FakeTool tool(QStringLiteral("case \"$7\" in *b.png) sleep 600;; esac"));
        const auto saved = platform::Shell::timeLimit();
        // Long enough for a busy machine to run the stand-in for the other files within it.
        platform::Shell::setTimeLimit(std::chrono::seconds(3));
        const QString a = image(QStringLiteral("h/a.png"));
        const QString b = image(QStringLiteral("h/b.png"));
        const QString c = image(QStringLiteral("h/c.png"));
        QVERIFY(dropFiles(&dropScreen(), {a, b, c}));
        const QStringList& texts = expectMessages();
        press(4);
        platform::Shell::setTimeLimit(saved);
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].contains(QStringLiteral("stopped after running longer than")),
                 qPrintable(texts[0]));
        QVERIFY(texts[0].contains(b));
        QCOMPARE(listedPaths(), QStringList{b});
        QVERIFY(QFileInfo::exists(c + ".png"));
    }

    // A file item with no parent folder makes the conversion raise: the run stops there,
    // every file stays listed, and the application goes on.
    void anExceptionStopsTheRunAndKeepsTheList() {
        FakeTool tool;
        const QString a = image(QStringLiteral("e/a.png"));
        const QString c = image(QStringLiteral("e/c.png"));
        QVERIFY(dropFiles(&dropScreen(), {a}));
        QVERIFY(dropUrls(&dropScreen(), {QUrl::fromLocalFile(QStringLiteral("/"))}));
        QVERIFY(dropFiles(&dropScreen(), {c}));
        const QStringList& texts = expectMessages();
        press(4);
        QCOMPARE(tool.calls().size(), 1);
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].contains(QStringLiteral("missing")), qPrintable(texts[0]));
        QCOMPARE(listedPaths(), (QStringList{a, QStringLiteral("/"), c}));
        QCOMPARE(dropScreen().ListBox1->ListCount(), 3);
        QVERIFY(dropScreen().isVisible());
        QVERIFY(chooser().isVisible());
    }

    void aDesiredNameWithASlashFails() {
        FakeTool tool;
        const QString a = image(QStringLiteral("s/in/a.png"));
        setDesiredName(QStringLiteral("../escaped"));
        QVERIFY(dropFiles(&dropScreen(), {a}));
        const QStringList& texts = expectMessages();
        press(4);
        QCOMPARE(tool.calls().size(), 0);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("s/escaped.png"))));
        QCOMPARE(texts.size(), 1);
        QVERIFY(texts[0].contains(QStringLiteral("cannot be a file name")));
        QCOMPARE(listedPaths(), QStringList{a});
    }

    // Nothing is overwritten: the first free "NAME N.EXT" is taken instead.
    void noOverwrite_data() {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("desired"); // empty: automatic naming
        QTest::addColumn<int>("button");
        QTest::addColumn<QStringList>("outputs");
        QTest::newRow("existing output") << QStringList{"cat.png"} << QStringList{"cat.png.gif"}
                                         << "" << 2 << QStringList{"cat.png 2.gif"};
        QTest::newRow("the source itself") << QStringList{"Untitled.png"} << QStringList{}
                                           << "Untitled" << 4 << QStringList{"Untitled 2.png"};
        QTest::newRow("another listed file")
            << QStringList{"a.jpg", "Untitled.gif"} << QStringList{} << "Untitled" << 2
            << QStringList{"Untitled 2.gif", "Untitled 3.gif"};
        QTest::newRow("one desired name, several files")
            << QStringList{"a.png", "b.png", "c.png"} << QStringList{"Untitled.gif"} << "Untitled"
            << 2 << QStringList{"Untitled 2.gif", "Untitled 3.gif", "Untitled 4.gif"};
    }
    void noOverwrite() {
        QFETCH(QStringList, sources);
        QFETCH(QStringList, existing);
        QFETCH(QString, desired);
        QFETCH(int, button);
        QFETCH(QStringList, outputs);
        QMap<QString, QByteArray> before;
        QStringList dropped;
        for (const QString& s : sources)
            dropped.append(image(QStringLiteral("n/") + s));
        for (const QString& e : existing) {
            QFile f(path(QStringLiteral("n/") + e));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("the user's own file");
        }
        for (const QString& f : QDir(path(QStringLiteral("n"))).entryList(QDir::Files))
            before[f] = head(path(QStringLiteral("n/") + f), 1 << 20);
        if (desired.isEmpty())
            setAutomaticNaming(true);
        else
            setDesiredName(desired);
        QVERIFY(dropFiles(&dropScreen(), dropped));
        press(button);
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QCOMPARE(head(path(QStringLiteral("n/") + it.key()), 1 << 20), it.value());
        for (const QString& o : outputs) {
            const QString out = path(QStringLiteral("n/") + o);
            QVERIFY2(QFileInfo::exists(out), qPrintable(out));
            QVERIFY(QFileInfo(out).size() > 0);
        }
        QCOMPARE(QDir(path(QStringLiteral("n"))).entryList(QDir::Files).size(),
                 before.size() + outputs.size());
    }

    // Names that a shell would take apart reach the tool as one word, and convert for real.
    void hostileNames_data() {
        QTest::addColumn<QString>("name");
        for (const QString& name : hostileFileNames())
            QTest::newRow(qPrintable(name)) << name;
    }
    void hostileNames() {
        QFETCH(QString, name);
        const QString src = image(QStringLiteral("hostile dir $x/") + name);
        {
            FakeTool tool;
            QVERIFY(dropFiles(&dropScreen(), {src}));
            press(8);
            const QList<QStringList> calls = tool.calls();
            QCOMPARE(calls.size(), 1);
            QCOMPARE(calls[0].size(), 9);
            QCOMPARE(calls[0][6], src);
            QCOMPARE(calls[0][8], src + QStringLiteral(".jpeg"));
            QFile::remove(src + QStringLiteral(".jpeg"));
        }
        QVERIFY(dropFiles(&dropScreen(), {src}));
        press(8);
        QVERIFY(QFileInfo::exists(src + QStringLiteral(".jpeg")));
        QCOMPARE(formatOf(src + QStringLiteral(".jpeg")), QStringLiteral("jpeg"));
        QVERIFY(dropScreen().CryptFileArray.isEmpty());
    }

    // Escape, in any window of the application, stops the run at once: the file being
    // converted and the file after it stay listed, the converted one leaves, the tool has
    // removed its temporary file, the notice says so without calling it a failure, and the
    // next run converts the rest.
    void escapeStopsTheRun_data() {
        QTest::addColumn<QString>("window");
        QTest::newRow("Drop Screen") << "Drop Screen";
        QTest::newRow("chooser") << "chooser";
        QTest::newRow("progress window") << "progress";
    }
    void escapeStopsTheRun() {
        QFETCH(QString, window);
        const QString hang = path(QStringLiteral("hang"));
        QVERIFY(QFile(hang).open(QIODevice::WriteOnly));
        FakeTool tool(
            QStringLiteral(
                "case \"$7\" in *b.png) if [ -e %1 ]; then "
                "tmp=\"${out%/*}/.${out##*/}.sips-standin\"; "
                "trap 'rm -f \"$tmp\"; exit 143' TERM; : > \"$tmp\"; "
                // Short sleeps, not one long one waited for: a SIGTERM that comes between
                // starting a background sleep and waiting for it would wait out the sleep.
                "while :; do sleep 0.05; done; fi;; esac")
                .arg(platform::shellQuoted(hang)));
        const QString folder = path(QStringLiteral("esc"));
        const QString a = image(QStringLiteral("esc/a.png"));
        const QString b = image(QStringLiteral("esc/b.png"));
        const QString c = image(QStringLiteral("esc/c.png"));
        QVERIFY(dropFiles(&dropScreen(), {a, b, c}));
        const QStringList& texts = expectMessages();
        // The stand-in never ends by itself: the run ends only if Escape stops it, and the
        // time limit, should Escape not, ends it with another message.
        const auto saved = platform::Shell::timeLimit();
        platform::Shell::setTimeLimit(std::chrono::seconds(60));
        auto restore = qScopeGuard([saved] { platform::Shell::setTimeLimit(saved); });

        bool escaped = false;
        QTimer watch;
        watch.setInterval(10);
        connect(&watch, &QTimer::timeout, this, [&] {
            if (hiddenTemporaries(folder).isEmpty())
                return;
            watch.stop();
            QWidget* target = window == QLatin1String("Drop Screen") ? &dropScreen()
                              : window == QLatin1String("chooser")
                                  ? static_cast<QWidget*>(&chooser())
                                  : progressdes::existing();
            escaped = true;
            QTest::keyClick(target, Qt::Key_Escape);
        });
        watch.start();
        press(4);
        QVERIFY(escaped);
        QCOMPARE(tool.calls().size(), 2);
        QCOMPARE(hiddenTemporaries(folder), QStringList());
        QVERIFY(QFileInfo::exists(a + ".png"));
        QVERIFY(!QFileInfo::exists(b + ".png"));
        QVERIFY(!QFileInfo::exists(c + ".png"));
        QCOMPARE(listedPaths(), (QStringList{b, c}));
        QCOMPARE(dropScreen().ListBox1->ListCount(), 2);
        QCOMPARE(texts.size(), 1);
        QCOMPARE(texts[0],
                 QStringLiteral("The run was stopped after 1 of 3 files; 2 are still listed."));

        QFile::remove(hang);
        press(4);
        QCOMPARE(tool.calls().size(), 4);
        QVERIFY(QFileInfo::exists(b + ".png"));
        QVERIFY(QFileInfo::exists(c + ".png"));
        QVERIFY(dropScreen().CryptFileArray.isEmpty());
        QCOMPARE(dropScreen().ListBox1->ListCount(), 0);
        QCOMPARE(texts.size(), 1);
    }

    // However many files fail, the warning keeps a bounded size: its list scrolls, and can
    // be selected and copied, one entry per file.
    void manyFailuresScrollInTheWarning() {
        FakeTool tool(QStringLiteral("echo \"Error: cannot read this file as an image: $7\" >&2; "
                                     "exit 1"));
        QStringList files;
        for (int i = 0; i < 60; ++i)
            files.append(image(QStringLiteral("many/%1.png").arg(i, 2, 10, QChar('0'))));
        QVERIFY(dropFiles(&dropScreen(), files));
        const QStringList& texts = expectMessages();
        int listHeight = -1;
        bool scrolls = false;
        bool readOnly = false;
        QString listed;
        messages_->inspect = [&](QMessageBox* box) {
            const auto* list = box->findChild<QPlainTextEdit*>();
            QVERIFY(list);
            listHeight = list->height();
            scrolls = list->verticalScrollBar()->maximum() > 0;
            readOnly = list->isReadOnly();
            listed = list->toPlainText();
        };
        press(4);
        QCOMPARE(texts.size(), 1);
        QVERIFY(texts[0].startsWith(QStringLiteral("60 of 60 files could not be converted.\n")));
        QVERIFY2(listHeight > 0 && listHeight < 300, qPrintable(QString::number(listHeight)));
        QVERIFY(scrolls);
        QVERIFY(readOnly);
        const QStringList lines = listed.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 120);
        QCOMPARE(lines[0], files[0]);
        QCOMPARE(lines[1], QStringLiteral("    cannot read this file as an image"));
        QCOMPARE(listedPaths(), files);
    }

    // Quitting or killing the application during a run ends the real tool's conversion with
    // it: the tool cleans up, nothing of it runs on, and nothing is written afterwards. The
    // driver holds the conversion once its temporary file is open, so that it cannot finish
    // first; it goes on once the stop signal waits for it.
    void endingTheApplicationEndsItsConversion_data() {
        QTest::addColumn<int>("signal"); // 0: Ctrl+Q
        QTest::newRow("Ctrl+Q") << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void endingTheApplicationEndsItsConversion() {
        QFETCH(int, signal);
        const QString folder = path(QStringLiteral("end"));
        QDir().mkpath(folder);
        const QString svg = writeSlowSvg(folder + QStringLiteral("/slow.svg"));
        QProcess driver;
        driver.start(QStringLiteral(RUN_DRIVER),
                     {signal ? QStringLiteral("wait") : QStringLiteral("quit"), svg});
        QVERIFY(driver.waitForStarted());
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += driver.readAllStandardOutput()).contains('\n'), 60000);
        QVERIFY2(said.startsWith("converting "), said.constData());
        // Killed, the driver waits for the tool without running its own loop: the job is
        // let go from here then.
        HeldJob job(pid_t(said.mid(11).trimmed().toInt()));
        if (signal)
            ::kill(pid_t(driver.processId()), signal);
        QVERIFY(QTest::qWaitFor(
            [&] {
                job.releaseOnce(SIGTERM);
                return driver.state() == QProcess::NotRunning;
            },
            60000));
        if (signal) {
            QCOMPARE(driver.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
            QCOMPARE(driver.exitCode(), 0);
        }
        QCOMPARE(hiddenTemporaries(folder), QStringList());
        QCOMPARE(processesNaming(folder), QStringList());
        QVERIFY(!QFileInfo::exists(svg + ".tiff"));
    }

    // A failure's reason is whole, whatever line breaks the file's name holds.
    void aReasonIsWholeWhateverTheName_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("one line break") << "line\nbreak.png";
        QTest::newRow("two line breaks") << "two\nline\nbreaks.png";
        QTest::newRow("leading line break") << "\nlead.png";
        QTest::newRow("Error: after a line break") << "x\nError: y.png";
    }
    void aReasonIsWholeWhateverTheName() {
        QFETCH(QString, name);
        const QString bad = path(QStringLiteral("why/") + name);
        QDir().mkpath(path(QStringLiteral("why")));
        QFile f(bad);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a picture\n");
        f.close();
        QVERIFY(dropFiles(&dropScreen(), {bad}));
        const QStringList& texts = expectMessages();
        press(4);
        QCOMPARE(texts.size(), 1);
        QCOMPARE(texts[0], QStringLiteral("1 of 1 file could not be converted.\n") + bad +
                               QStringLiteral("\n    cannot read this file as an image"));
        QCOMPARE(listedPaths(), QStringList{bad});
    }

    // A dropped name that is not UTF-8 names its own file: that file is converted, and the
    // file whose name shows the same (U+FFFD in its place) is left alone.
    void aNameThatIsNotUtf8IsConvertedAsItself() {
        const QString folder = path(QStringLiteral("bytes"));
        QDir().mkpath(folder);
        const QByteArray raw = QFile::encodeName(folder) + "/raw\xFF.png";
        QByteArray picture;
        QBuffer buffer(&picture);
        QImage red(12, 9, QImage::Format_RGB32);
        red.fill(QColor(200, 30, 40));
        QVERIFY(buffer.open(QIODevice::WriteOnly) && red.save(&buffer, "PNG"));
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, picture.constData(), size_t(picture.size())), ssize_t(picture.size()));
        ::close(fd);
        const QString twin = writePng(folder + QStringLiteral("/raw\uFFFD.png"), 12, 9, Qt::green);
        // The temporary folder's removal goes by names as text, which cannot name these.
        auto removeRaw = qScopeGuard([raw] {
            ::unlink(raw.constData());
            ::unlink((raw + ".png").constData());
        });

        const QUrl url(QStringLiteral("file://") +
                       QString::fromLatin1(QUrl::toPercentEncoding(folder, "/")) +
                       QStringLiteral("/raw%FF.png"));
        QVERIFY(dropUrls(&dropScreen(), {url}));
        QCOMPARE(dropScreen().CryptFileArray.size(), 1);
        QCOMPARE(dropScreen().CryptFileArray[0].nativePath(), raw);
        QCOMPARE(platform::readable(dropScreen().ListBox1->Cell(0, 0)),
                 QStringLiteral("raw\uFFFD.png"));
        press(4);
        const QImage converted = QImage::fromData(contentsOf(raw + ".png"), "PNG");
        QCOMPARE(converted.size(), QSize(12, 9));
        QCOMPARE(converted.pixelColor(5, 4), QColor(200, 30, 40));
        QVERIFY(!QFileInfo::exists(twin + ".png"));
        QVERIFY(dropScreen().CryptFileArray.isEmpty());
    }

    // The tool replaces nothing: when the output name is taken after it was chosen, the tool
    // says so with status 3, and the file goes to the next free name, a bounded number of
    // times.
    void aNameTakenAtTheLastMomentGoesToTheNextFree_data() {
        QTest::addColumn<bool>("always");
        QTest::newRow("taken once") << false;
        QTest::newRow("taken every time") << true;
    }
    void aNameTakenAtTheLastMomentGoesToTheNextFree() {
        QFETCH(bool, always);
        const QString once = path(QStringLiteral("taken-once"));
        FakeTool tool(
            QStringLiteral("[ -e %1 ] || { [ %2 = yes ] || : > %1; "
                           "echo \"someone else's\" > \"$out\"; "
                           "echo \"Error: a file of this name already exists: $out\" >&2; "
                           "exit 3; }")
                .arg(platform::shellQuoted(once), always ? "yes" : "no"));
        const QString a = image(QStringLiteral("t/a.png"));
        QVERIFY(dropFiles(&dropScreen(), {a}));
        if (always) {
            const QStringList& texts = expectMessages();
            press(2);
            QCOMPARE(tool.calls().size(), 21);
            QCOMPARE(tool.calls().last()[8], a + QStringLiteral(" 21.gif"));
            QCOMPARE(texts.size(), 1);
            QVERIFY2(
                texts[0].endsWith(a + QStringLiteral("\n    a file of this name already exists")),
                qPrintable(texts[0]));
            QCOMPARE(listedPaths(), QStringList{a});
            return;
        }
        press(2);
        const QList<QStringList> calls = tool.calls();
        QCOMPARE(calls.size(), 2);
        QCOMPARE(calls[0][8], a + QStringLiteral(".gif"));
        QCOMPARE(calls[1][8], a + QStringLiteral(" 2.gif"));
        QCOMPARE(head(a + QStringLiteral(".gif")), QByteArray("someone else's\n"));
        QVERIFY(QFileInfo::exists(a + QStringLiteral(" 2.gif")));
        QVERIFY(dropScreen().CryptFileArray.isEmpty());
    }
};

MORVELLE_TEST_MAIN(TestConversion)
#include "tst_conversion.moc"
