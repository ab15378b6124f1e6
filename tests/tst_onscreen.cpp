// The real application on a real X server, as a person sees it: files dropped on it through
// XDND from another program, input from the X server's own test devices, and every check made
// on what the server shows.
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/prctl.h>

#include "xdisplay.h"

using testsupport::XDisplay;

namespace {

constexpr QRgb kDesktop = 0x3A6EA5;
const QColor Shaded(0xC3, 0xE1, 0xFE);
const QColor Selection(0x6B, 0xB5, 0xFC);
const QColor NameField(0x99, 0xCC, 0xFF);

// Window widths of the layouts, by which the test tells the windows apart.
constexpr int kDropScreenWidth = 488;
constexpr int kChooserWidth = 205;
constexpr int kProgressWidth = 356;
constexpr int kDoneWidth = 313;
constexpr int kAboutWidth = 333;

// A process that dies with the test, however the test ends.
std::unique_ptr<QProcess> startProcess(const QString& program, const QStringList& arguments,
                                       const QProcessEnvironment& environment) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process->start(program, arguments);
    return process;
}

void stop(std::unique_ptr<QProcess>& process) {
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    if (!process->waitForFinished(3000)) {
        process->kill();
        process->waitForFinished(3000);
    }
}

// An X server of our own, with or without a window manager, and the application on it.
class Session {
public:
    explicit Session(bool windowManager, const QString& program = QStringLiteral(MORVELLE_APP)) {
        server_ = startProcess(
            QStringLiteral("Xvfb"),
            {"-displayfd", "1", "-noreset", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
            QProcessEnvironment::systemEnvironment());
        QByteArray number;
        while (server_->waitForReadyRead(10000)) {
            number += server_->readAllStandardOutput();
            if (number.endsWith('\n'))
                break;
        }
        if (number.trimmed().isEmpty())
            return;
        display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        x = std::make_unique<XDisplay>(display);
        if (!x->isOpen())
            return;
        x->setDesktopColour(kDesktop);
        if (windowManager) {
            windowManager_ = startProcess(QStringLiteral("openbox"),
                                          {QStringLiteral("--sm-disable")}, environment);
            if (!QTest::qWaitFor([this] { return x->hasWindowManager(); }, 10000))
                return;
        }
        app = startProcess(program, {}, environment);
        ready = app->waitForStarted(10000) &&
                QTest::qWaitFor(
                    [this] { return window(kDropScreenWidth) && window(kChooserWidth); }, 60000);
    }
    ~Session() {
        const QDir shots(qEnvironmentVariable("ONSCREEN_SHOTS"));
        for (const auto& [name, image] : shots_)
            image.save(shots.filePath(name + QStringLiteral(".png")));
        stop(dragSource_);
        stop(app);
        stop(windowManager_);
        x.reset();
        stop(server_);
    }

    // Why the session is not ready, for a failure message: the step it stopped at and what
    // the application said.
    QString notReady() {
        if (ready)
            return QString();
        if (!x || !x->isOpen())
            return QStringLiteral("no X server");
        if (!app)
            return QStringLiteral("openbox did not start");
        const QString said = QString::fromLocal8Bit(app->readAllStandardError());
        if (app->state() == QProcess::NotRunning)
            return QStringLiteral("the application ended (%1, status %2): %3")
                .arg(app->errorString())
                .arg(app->exitCode())
                .arg(said);
        QStringList widths;
        for (const XDisplay::Id w : x->windowsOf(app->processId()))
            widths.append(QString::number(x->geometry(w).width()));
        return QStringLiteral("of the application's windows, none or only one showed in 60 s "
                              "(widths: %1): %2")
            .arg(widths.join(QLatin1Char(' ')), said);
    }

    // The application's top-level window of this width, or 0.
    XDisplay::Id window(int width) {
        for (const XDisplay::Id w : x->windowsOf(app->processId())) {
            if (x->geometry(w).width() == width)
                return w;
        }
        return 0;
    }
    // The content area of a window whose layout is this high: below its menu bar, if any.
    QRect content(XDisplay::Id w, int layoutHeight) {
        const QRect g = x->geometry(w);
        return QRect(g.left(), g.bottom() + 1 - layoutHeight, g.width(), layoutHeight);
    }

    // The Drop Screen's list, below its drop area.
    QRect listArea() {
        const QRect c = content(window(kDropScreenWidth), 512);
        return QRect(c.left(), c.top() + 227, 488, 220);
    }
    // Whether the list shows a row. The application adds the rows just after the drop is
    // over, so a click that follows a drop at once could come first: it waits for this.
    bool listsARow() {
        const QImage list = x->grab(listArea());
        for (int y = 0; y < list.height(); ++y) {
            const QColor c(list.pixel(270, y)); // inside the File Name column
            if (c == Shaded || c == Selection)
                return true;
        }
        return false;
    }

    bool input(const QStringList& steps) {
        QProcess xdotool;
        xdotool.setProcessEnvironment(environment);
        xdotool.start(QStringLiteral("xdotool"), steps);
        return xdotool.waitForFinished(20000) && xdotool.exitCode() == 0;
    }
    bool click(const QPoint& at) {
        return input({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }
    // The window that the application shows with this title, or 0.
    XDisplay::Id titled(const QString& title) {
        for (const XDisplay::Id w : x->windowsOf(app->processId())) {
            if (x->netName(w) == title)
                return w;
        }
        return 0;
    }
    // What is wrong with how the window stands on the desktop, or nothing: its type first
    // among those it gives, whether it stays out of the taskbar and the pager, its icon.
    QString standing(XDisplay::Id w, const QString& type, bool inTaskbar) {
        const QStringList types = x->atomNames(w, "_NET_WM_WINDOW_TYPE");
        if (types.value(0) != QStringLiteral("_NET_WM_WINDOW_TYPE_") + type)
            return QStringLiteral("types %1").arg(types.join(QLatin1Char(' ')));
        const QStringList states = x->atomNames(w, "_NET_WM_STATE");
        for (const char* state : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
            if (states.contains(QLatin1String(state)) == inTaskbar)
                return QStringLiteral("states %1").arg(states.join(QLatin1Char(' ')));
        }
        if (!x->hasIcon(w))
            return QStringLiteral("no icon");
        return QString();
    }
    // Where the window stands among the window manager's clients, bottom to top.
    qsizetype stackedAt(XDisplay::Id w) { return x->stacking().indexOf(w); }

    // Drags these files from another program's window to a point of the screen as a person
    // would: the button goes down on the source, the pointer moves over in steps and stays,
    // nudged, until the window under it has said it takes the files; only then is the button
    // let go, so a busy machine makes a drop slower, never lost. True when the files were
    // dropped. While this goes on and up to 4 s after, calls watch() until it returns false.
    bool dragFiles(const QStringList& files, const QPoint& to,
                   const std::function<bool()>& watch = {}) {
        stop(dragSource_);
        dragSource_ = startProcess(QStringLiteral(DRAG_SOURCE), files, environment);
        bool watching = bool(watch);
        QByteArray said = "\n";
        auto hasSaid = [&](const QByteArray& line) {
            if (watching)
                watching = watch();
            said += dragSource_->readAllStandardOutput();
            return said.contains('\n' + line + '\n');
        };
        XDisplay::Id source = 0;
        if (!QTest::qWaitFor(
                [&] {
                    return hasSaid("shown") &&
                           (source = x->windowsOf(dragSource_->processId()).value(0)) != 0;
                },
                20000))
            return false;
        auto at = [](const QPoint& p) {
            return QStringList{QString::number(p.x()), QString::number(p.y())};
        };
        const QPoint from = x->geometry(source).center();
        if (!input(QStringList{"mousemove"} + at(from) + QStringList{"mousedown", "1"}) ||
            !QTest::qWaitFor([&] { return hasSaid("dragging"); }, 20000))
            return false;
        QStringList steps;
        for (int i = 1; i <= 8; ++i)
            steps += QStringList{"mousemove"} + at(from + (to - from) * i / 8) +
                     QStringList{"sleep", "0.05"};
        bool moved = input(steps);
        for (int nudge = 0; moved && !QTest::qWaitFor([&] { return hasSaid("accepted"); }, 250);
             ++nudge)
            moved = nudge < 80 && input(QStringList{"mousemove"} + at(to + QPoint(nudge % 2, 1)));
        if (!input({"mouseup", "1"}) || !moved ||
            !QTest::qWaitFor([&] { return hasSaid("dropped") || hasSaid("not dropped"); }, 20000))
            return false;
        (void)QTest::qWaitFor([&] { return !(watching = watching && watch()); }, 4000);
        return said.contains("\ndropped\n");
    }

    // Keeps what the screen shows now, to be saved when the session ends: saving takes
    // longer than some windows stay.
    void shot(const QString& name) {
        if (!qEnvironmentVariableIsEmpty("ONSCREEN_SHOTS"))
            shots_.append({name, x->grab(QRect(0, 0, 1280, 1024))});
    }

    QString display;
    QProcessEnvironment environment;
    std::unique_ptr<XDisplay> x;
    std::unique_ptr<QProcess> app;
    bool ready = false;

private:
    std::unique_ptr<QProcess> server_;
    std::unique_ptr<QProcess> windowManager_;
    std::unique_ptr<QProcess> dragSource_;
    QList<std::pair<QString, QImage>> shots_;
};

// Whether the picture holds a square of pure black at least side pixels wide.
bool hasBlackBlock(const QImage& image, int side) {
    for (int top = 0; top + side <= image.height(); ++top) {
        for (int left = 0; left + side <= image.width(); ++left) {
            bool black = true;
            for (int y = top; black && y < top + side; ++y)
                for (int x = left; black && x < left + side; ++x)
                    black = (image.pixel(x, y) & 0xFFFFFF) == 0;
            if (black)
                return true;
        }
    }
    return false;
}

int minChannel(QRgb p) {
    return qMin(qRed(p), qMin(qGreen(p), qBlue(p)));
}

// Watches for the application's puff of smoke: a square window of its own that no window
// manager handles. Each sight of it is checked for black; returns false once it has gone.
struct PoofWatch {
    Session& session;
    int sightings = 0;
    int blackSightings = 0;
    int smokeSightings = 0;

    bool operator()() {
        for (const XDisplay::Id w : session.x->windowsOf(session.app->processId(), true)) {
            const QRect area = session.x->geometry(w);
            if (area.width() != area.height() || area.width() < 64)
                continue;
            const QImage seen = session.x->grab(area);
            ++sightings;
            blackSightings += hasBlackBlock(seen, 8);
            int smoke = 0;
            for (int y = 0; y < seen.height(); ++y)
                for (int x = 0; x < seen.width(); ++x)
                    smoke += minChannel(seen.pixel(x, y)) >= 200;
            smokeSightings += smoke > 20;
            if (sightings == 2)
                session.shot(QStringLiteral("poof-%1").arg(area.width()));
            return true;
        }
        return sightings == 0;
    }
};

} // namespace

class TestOnScreen : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<Session> session_;
    QStringList files_;

    Session& s() { return *session_; }
    XDisplay& x() { return *session_->x; }

    QString write(const QString& name, int side) {
        QImage image(side, side, QImage::Format_RGB32);
        auto* random = QRandomGenerator::global();
        for (int y = 0; y < side; ++y)
            for (int px = 0; px < side; ++px)
                image.setPixel(px, y, random->generate() | 0xFF000000);
        const QString path = dir_.filePath(name);
        image.save(path, "PNG", 0);
        return path;
    }

    // The rows of the Drop Screen's list as drawn: the top of the first and the row height,
    // found from the shading of the first row.
    bool listRows(int& firstTop, int& rowHeight, QImage& list, QRect& area) {
        area = s().listArea();
        list = x().grab(area);
        const int x = 270; // inside the File Name column, right of any text
        firstTop = -1;
        for (int y = 0; y < list.height(); ++y) {
            const QColor c(list.pixel(x, y));
            if (firstTop < 0 && (c == Shaded || c == Selection))
                firstTop = y;
            else if (firstTop >= 0 && c != QColor(list.pixel(x, firstTop))) {
                rowHeight = y - firstTop;
                return rowHeight > 4;
            }
        }
        return false;
    }

    // Remove All once the Drop Screen is drawn where it stands (a window manager may still
    // be bringing it back from the taskbar), and wait until the list shows no rows.
    bool clearList() {
        QRect content;
        const bool drawn = QTest::qWaitFor(
            [&] {
                content = s().content(s().window(kDropScreenWidth), 512);
                const QRect panel(content.topLeft() + QPoint(100, 10), QSize(1, 1));
                return x().grab(panel).pixel(0, 0) == qRgb(0x66, 0x66, 0x66);
            },
            5000);
        if (!drawn || !s().click(content.topLeft() + QPoint(349 + 22, 453 + 18)))
            return false;
        int top = 0;
        int height = 0;
        QImage image;
        QRect area;
        return QTest::qWaitFor([&] { return !listRows(top, height, image, area); }, 5000);
    }

    // The application installed in a prefix of its own, with this script as its tool;
    // returns the program, or nothing if the prefix could not be made.
    QString ownPrefix(const QString& name, const QString& toolScript) {
        const QString prefix = dir_.filePath(name);
        for (const char* folder : {"bin", "share/morvelle", "libexec/morvelle"})
            if (!QDir().mkpath(prefix + QLatin1Char('/') + QLatin1String(folder)))
                return QString();
        const QString program = prefix + QStringLiteral("/bin/morvelle");
        QFile tool(prefix + QStringLiteral("/libexec/morvelle/sips"));
        const auto exec = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        if (!QFile::copy(QStringLiteral(MORVELLE_APP), program) ||
            !QFile::link(QStringLiteral(RESOURCE_FILE),
                         prefix + QStringLiteral("/share/morvelle/morvelle.rcc")) ||
            !tool.open(QIODevice::WriteOnly) || tool.write(toolScript.toUtf8()) < 0 ||
            !tool.flush() || !QFile::setPermissions(program, exec) || !tool.setPermissions(exec))
            return QString();
        return program;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        session_ = std::make_unique<Session>(true);
        QVERIFY2(s().x && s().x->isOpen(), "Xvfb did not start");
        QVERIFY2(s().ready, qPrintable(QStringLiteral("under openbox: ") + s().notReady()));
        for (const char* name : {"delta.png", "alpha.png", "charlie.png", "bravo.png"})
            files_.append(write(QString::fromLatin1(name), 24));
    }
    void cleanupTestCase() { session_.reset(); }

    void windowsHaveTheirLayoutsTitles() {
        const XDisplay::Id drop = s().window(kDropScreenWidth);
        const XDisplay::Id chooser = s().window(kChooserWidth);
        QCOMPARE(x().netName(drop), QStringLiteral("Drop Screen"));
        QCOMPARE(x().name(drop), QStringLiteral("Drop Screen"));
        QCOMPARE(x().netName(chooser), QStringLiteral(""));
        QCOMPARE(x().name(chooser), QStringLiteral(""));
        // Both are working windows, in the window manager's frames.
        QCOMPARE(x().frameExtents(drop).size(), 4);
        QVERIFY(x().frameExtents(drop)[2] > 0);
        s().shot(QStringLiteral("start"));
    }

    // Only the Drop Screen is a window of its own in the taskbar; every window shows the
    // application's icon, and its class is the one the desktop entry names.
    void windowsStandAsTheyAreMeantTo() {
        const XDisplay::Id drop = s().window(kDropScreenWidth);
        const XDisplay::Id chooser = s().window(kChooserWidth);
        QCOMPARE(s().standing(drop, QStringLiteral("NORMAL"), true), QString());
        QCOMPARE(s().standing(chooser, QStringLiteral("UTILITY"), false), QString());
        QFile entry(QStringLiteral(DESKTOP_ENTRY));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString wmClass = QString::fromUtf8(entry.readAll())
                                    .section(QStringLiteral("StartupWMClass="), 1)
                                    .section(QLatin1Char('\n'), 0, 0);
        QVERIFY(!wmClass.isEmpty());
        QCOMPARE(x().windowClass(drop).value(1), wmClass);
        QCOMPARE(x().windowClass(chooser).value(1), wmClass);
    }

    void droppedRowsAreReadableAndThePoofIsNoBlock() {
        const QRect list = s().content(s().window(kDropScreenWidth), 512).adjusted(0, 227, 0, 0);
        PoofWatch poof{s()};
        QVERIFY(s().dragFiles(files_, list.topLeft() + QPoint(240, 110), std::ref(poof)));
        QVERIFY2(poof.sightings > 0, "no puff of smoke showed after the drop");
        QVERIFY2(poof.smokeSightings > 0, "the puff showed no smoke");
        QCOMPARE(poof.blackSightings, 0);

        int top = 0;
        int height = 0;
        QImage image;
        QRect area;
        QVERIFY(QTest::qWaitFor([&] { return listRows(top, height, image, area); }, 5000));
        s().shot(QStringLiteral("dropped"));
        auto band = [&](int row) { return QRect(4, top + row * height, 200, height); };
        auto count = [&](int row, const std::function<bool(const QColor&)>& test) {
            int n = 0;
            const QRect b = band(row);
            for (int y = b.top(); y <= b.bottom(); ++y)
                for (int px = b.left(); px <= b.right(); ++px)
                    n += test(QColor(image.pixel(px, y)));
            return n;
        };
        for (int row = 0; row < 4; ++row) {
            const QColor background(image.pixel(270, band(row).center().y()));
            QCOMPARE(background, row % 2 ? QColor(Qt::white) : Shaded);
            const int text = count(
                row, [&](const QColor& c) { return c.lightness() < background.lightness() - 100; });
            QVERIFY2(text > 20, qPrintable(QStringLiteral("row %1 shows no text").arg(row)));
        }

        // A row the user selects: white text on blue.
        QVERIFY(s().click(area.topLeft() + QPoint(100, band(1).center().y())));
        QVERIFY(QTest::qWaitFor(
            [&] {
                image = x().grab(area);
                return QColor(image.pixel(270, band(1).center().y())) == Selection;
            },
            5000));
        s().shot(QStringLiteral("selected"));
        QVERIFY(count(1, [](const QColor& c) { return minChannel(c.rgb()) >= 224; }) > 20);
        QCOMPARE(count(1, [](const QColor& c) { return c.lightness() < 100; }), 0);
        QCOMPARE(QColor(image.pixel(270, band(0).center().y())), Shaded);
    }

    void nameFieldLooksDisabledWhenAutomatic() {
        const QRect content = s().content(s().window(kChooserWidth), 464);
        const QRect field(content.topLeft() + QPoint(22, 102), QSize(163, 22));
        const QPoint box = content.topLeft() + QPoint(17, 53);
        const QPoint clear(150, 11); // right of the text "Untitled"
        const QImage enabled = x().grab(field);
        QCOMPARE(QColor(enabled.pixel(clear)), NameField);
        QVERIFY(s().click(box));
        QImage disabled;
        QVERIFY(QTest::qWaitFor(
            [&] {
                disabled = x().grab(field);
                return disabled != enabled;
            },
            5000));
        s().shot(QStringLiteral("name-field-disabled"));
        QVERIFY(QColor(disabled.pixel(clear)) != NameField);
        int differing = 0;
        for (int y = 0; y < field.height(); ++y)
            for (int px = 0; px < field.width(); ++px)
                differing += enabled.pixel(px, y) != disabled.pixel(px, y);
        QVERIFY(differing > field.width() * field.height() / 2);
        QVERIFY(s().click(box));
        QVERIFY(QTest::qWaitFor([&] { return x().grab(field) == enabled; }, 5000));
    }

    // Bringing a window to the front brings it back from the taskbar: the chooser at a drop,
    // the Drop Screen at Ctrl+N.
    void minimisedWindowsComeBack() {
        const XDisplay::Id chooser = s().window(kChooserWidth);
        QVERIFY(s().input({"windowminimize", QString::number(chooser)}));
        QVERIFY(QTest::qWaitFor([&] { return !s().window(kChooserWidth); }, 5000));
        const QRect list = s().content(s().window(kDropScreenWidth), 512).adjusted(0, 227, 0, 0);
        QVERIFY(s().dragFiles({write(QStringLiteral("back.png"), 16)},
                              list.topLeft() + QPoint(240, 110)));
        QVERIFY(QTest::qWaitFor([&] { return s().window(kChooserWidth) == chooser; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return x().activeWindow() == chooser; }, 5000));

        const XDisplay::Id drop = s().window(kDropScreenWidth);
        QVERIFY(s().input({"windowminimize", QString::number(drop)}));
        QVERIFY(QTest::qWaitFor([&] { return !s().window(kDropScreenWidth); }, 5000));
        QVERIFY(s().input({"windowactivate", "--sync", QString::number(chooser)}));
        QVERIFY(s().input({"key", "ctrl+n"}));
        QVERIFY(QTest::qWaitFor([&] { return s().window(kDropScreenWidth) == drop; }, 5000));
        QVERIFY(QTest::qWaitFor([&] { return x().activeWindow() == drop; }, 5000));
        QVERIFY(clearList());
    }

    // Tab from the name field reaches the JPEG button, Space presses it, and the picture is
    // converted whole; DONE never takes the focus. Delete in the list removes the selected row.
    void keyboardAloneConvertsAndRemoves() {
        QVERIFY(clearList());
        const QString picture = write(QStringLiteral("keys.png"), 40);
        const QRect list = s().content(s().window(kDropScreenWidth), 512).adjusted(0, 227, 0, 0);
        QVERIFY(s().dragFiles({picture}, list.topLeft() + QPoint(240, 110)));
        const XDisplay::Id chooser = s().window(kChooserWidth);
        QVERIFY(QTest::qWaitFor([&] { return x().activeWindow() == chooser; }, 5000));
        const QRect content = s().content(chooser, 464);
        QVERIFY(s().click(content.topLeft() + QPoint(150, 113))); // in the name field
        QVERIFY(s().input({"key", "ctrl+a", "type", "keys-out"}));
        QVERIFY(s().input({"key", "Tab"}));
        QTest::qWait(200);
        s().shot(QStringLiteral("focus-on-jpeg"));
        QVERIFY(s().input({"key", "space"}));
        XDisplay::Id done = 0;
        QVERIFY(QTest::qWaitFor([&] { return (done = s().window(kDoneWidth)) != 0; }, 60000));
        QCOMPARE(s().standing(done, QStringLiteral("NOTIFICATION"), false), QString());
        while (s().window(kDoneWidth)) {
            QVERIFY(x().activeWindow() != done);
            QVERIFY(x().inputFocus() != done);
            QTest::qWait(10);
        }
        const QImage out(dir_.filePath(QStringLiteral("keys-out.jpeg")));
        const QImage in(picture);
        QCOMPARE(out.size(), in.size());
        qint64 difference = 0;
        for (int y = 0; y < in.height(); ++y)
            for (int px = 0; px < in.width(); ++px)
                difference += qAbs(qGray(out.pixel(px, y)) - qGray(in.pixel(px, y)));
        QVERIFY2(difference < in.width() * in.height() * 24,
                 qPrintable(QString::number(difference)));

        // Two rows; the first selected by a click, then Delete.
        QVERIFY(s().dragFiles({files_[0], files_[1]}, list.topLeft() + QPoint(240, 110)));
        int top = 0;
        int height = 0;
        QImage image;
        QRect area;
        QVERIFY(QTest::qWaitFor([&] { return listRows(top, height, image, area); }, 5000));
        QVERIFY(s().click(area.topLeft() + QPoint(100, top + height / 2)));
        QVERIFY(QTest::qWaitFor(
            [&] { return QColor(x().grab(area).pixel(270, top + height / 2)) == Selection; },
            5000));
        QVERIFY(s().input({"key", "Delete"}));
        auto rowHasText = [&](int row) {
            const QImage now = x().grab(area);
            int dark = 0;
            for (int y = top + row * height; y < top + (row + 1) * height; ++y)
                for (int px = 4; px < 200; ++px)
                    dark += QColor(now.pixel(px, y)).lightness() < 100;
            return dark > 20;
        };
        QVERIFY(QTest::qWaitFor([&] { return !rowHasText(1); }, 5000));
        QVERIFY(rowHasText(0));
        QVERIFY(s().click(area.topLeft() + QPoint(100, top + height / 2)));
        QVERIFY(s().input({"key", "BackSpace"}));
        QVERIFY(QTest::qWaitFor([&] { return !rowHasText(0); }, 5000));
    }

    // The progress window stays until the tool is let go, however fast the machine: the
    // tool of this run waits for a file to appear before it does the real work.
    void feedbackWindowsHaveNoTitleBar() {
        const QString goOn = dir_.filePath(QStringLiteral("go-on"));
        const QString program =
            ownPrefix(QStringLiteral("held"),
                      QStringLiteral("#!/bin/sh\ni=0\nwhile [ ! -e '%1' ] && [ $i -lt 2400 ]; do\n"
                                     "    sleep 0.05; i=$((i + 1))\ndone\nexec '%2' \"$@\"\n")
                          .arg(goOn, QStringLiteral(SIPS_TOOL)));
        QVERIFY(!program.isEmpty());
        QDir folder(dir_.path(), QStringLiteral("*.jpeg"));
        for (const QString& old : folder.entryList())
            QVERIFY(folder.remove(old));
        Session session(true, program);
        QVERIFY2(session.ready,
                 qPrintable(QStringLiteral("from its own prefix: ") + session.notReady()));
        XDisplay& screen = *session.x;
        const QRect list =
            session.content(session.window(kDropScreenWidth), 512).adjusted(0, 227, 0, 0);
        QVERIFY(session.dragFiles({files_[0]}, list.topLeft() + QPoint(240, 110)));
        QVERIFY(QTest::qWaitFor([&] { return session.listsARow(); }, 20000));
        const QRect chooser = session.content(session.window(kChooserWidth), 464);
        QVERIFY(session.click(chooser.topLeft() + QPoint(25 + 15, 174 + 18))); // JPEG

        auto checkBare = [&](int width, const QString& shot) {
            XDisplay::Id w = 0;
            if (!QTest::qWaitFor([&] { return (w = session.window(width)) != 0; }, 60000))
                return QStringLiteral("never shown");
            if (screen.netName(w) != QLatin1String("") || screen.name(w) != QLatin1String(""))
                return QStringLiteral("titled \"%1\"").arg(screen.netName(w));
            const QList<long> extents = screen.frameExtents(w);
            if (extents != QList<long>{0, 0, 0, 0} && !extents.isEmpty())
                return QStringLiteral("framed by the window manager");
            const QSize outer = screen.outerSize(w);
            if (!outer.isValid())
                return QStringLiteral("gone before it could be looked at");
            if (outer != screen.geometry(w).size())
                return QStringLiteral("inside a larger frame (%1 x %2)")
                    .arg(outer.width())
                    .arg(outer.height());
            if (!screen.fixedSize(w))
                return QStringLiteral("resizable");
            const QString standing = session.standing(w, QStringLiteral("NOTIFICATION"), false);
            if (!standing.isEmpty())
                return standing;
            // Dark grey, inside a darker frame of its own.
            const QRect area = screen.geometry(w);
            if (!QTest::qWaitFor([&] { return screen.grab(area).pixel(5, 5) == qRgb(51, 51, 51); },
                                 5000))
                return QStringLiteral("never drawn");
            if (QColor(screen.grab(area).pixel(0, 0)).lightness() >= 51)
                return QStringLiteral("drawn without its frame");
            session.shot(shot);
            return QString();
        };
        QCOMPARE(checkBare(kProgressWidth, QStringLiteral("progress")), QString());
        QVERIFY(QFile(goOn).open(QIODevice::WriteOnly));
        QCOMPARE(checkBare(kDoneWidth, QStringLiteral("done")), QString());

        PoofWatch poof{session};
        QElapsedTimer time;
        time.start();
        while (poof() && time.elapsed() < 5000)
            QTest::qWait(5);
        QVERIFY2(poof.sightings > 0, "no puff of smoke showed as DONE vanished");
        QVERIFY(poof.smokeSightings > 0);
        QCOMPARE(poof.blackSightings, 0);
        QVERIFY(QTest::qWaitFor([&] { return !session.window(kDoneWidth); }, 5000));
        folder.refresh();
        const QStringList made = folder.entryList();
        QCOMPARE(made.size(), 1);
        QCOMPARE(QImage(folder.filePath(made[0])).size(), QSize(24, 24));
    }

    void aboutWindowTakesFocusAndClosesOnAKey_data() {
        QTest::addColumn<bool>("windowManager");
        QTest::addColumn<QString>("closeKey");
        QTest::newRow("openbox, Return") << true << "Return";
        QTest::newRow("no window manager, Escape") << false << "Escape";
    }
    void aboutWindowTakesFocusAndClosesOnAKey() {
        QFETCH(bool, windowManager);
        QFETCH(QString, closeKey);
        std::unique_ptr<Session> own;
        Session* session = session_.get();
        if (!windowManager) {
            own = std::make_unique<Session>(false);
            QVERIFY2(own->ready,
                     qPrintable(QStringLiteral("without a window manager: ") + own->notReady()));
            session = own.get();
        }
        XDisplay& display = *session->x;
        // The application menu, first in the Drop Screen's menu bar; About is the last item but
        // one.
        const XDisplay::Id drop = session->window(kDropScreenWidth);
        const QRect bar = display.geometry(drop).adjusted(0, 0, 0, -512);
        QVERIFY(!display.keyboardGrabbed());
        QVERIFY(session->click(bar.topLeft() + QPoint(25, bar.height() / 2)));
        // Keys sent before the menu holds the keyboard would go to whatever has the focus.
        QVERIFY(QTest::qWaitFor([&] { return display.keyboardGrabbed(); }, 10000));
        QVERIFY(session->input({"key", "Up", "key", "Up", "key", "Return"}));
        XDisplay::Id about = 0;
        QVERIFY(
            QTest::qWaitFor([&] { return (about = session->window(kAboutWidth)) != 0; }, 10000));
        QVERIFY(QTest::qWaitFor([&] { return display.inputFocus() == about; }, 5000));
        if (windowManager)
            QVERIFY(QTest::qWaitFor([&] { return display.activeWindow() == about; }, 5000));
        const QRect band = session->content(about, 452).adjusted(20, 5, -20, 0);
        QVERIFY(QTest::qWaitFor(
            [&] { return display.grab(band).pixel(0, 0) == qRgb(255, 254, 254); }, 5000));
        session->shot(windowManager ? QStringLiteral("about") : QStringLiteral("about-no-wm"));
        QCOMPARE(display.netName(about), QStringLiteral(""));
        QCOMPARE(display.name(about), QStringLiteral(""));
        QVERIFY(display.fixedSize(about));
        // No title bar, so no close box either.
        const QList<long> extents = display.frameExtents(about);
        QVERIFY(extents.isEmpty() || extents == (QList<long>{0, 0, 0, 0}));
        QCOMPARE(session->standing(about, QStringLiteral("UTILITY"), false), QString());
        if (windowManager) {
            // A click on the Drop Screen it was opened from leaves it over the Drop Screen.
            QVERIFY(session->click(session->content(drop, 512).topLeft() + QPoint(20, 300)));
            QVERIFY(QTest::qWaitFor([&] { return display.activeWindow() == drop; }, 5000));
            QVERIFY(session->stackedAt(about) > session->stackedAt(drop));
            QVERIFY(session->input({"windowactivate", "--sync", QString::number(about)}));
            QVERIFY(QTest::qWaitFor([&] { return display.inputFocus() == about; }, 5000));
        }
        QVERIFY(session->input({"key", closeKey}));
        QVERIFY(QTest::qWaitFor([&] { return !session->window(kAboutWidth); }, 5000));
    }

    // A run whose tool never ends by itself: a click on the Drop Screen leaves the progress
    // window over it; Escape stops the run, DONE shows and vanishes, and only then comes the
    // notice that the run was stopped.
    void feedbackStaysInViewAndAStopComesLast() {
        const QString program = ownPrefix(
            QStringLiteral("hanging"),
            QStringLiteral("#!/bin/sh\ntrap 'exit 143' TERM\nwhile :; do sleep 0.05; done\n"));
        QVERIFY(!program.isEmpty());
        Session session(true, program);
        QVERIFY2(session.ready,
                 qPrintable(QStringLiteral("from its own prefix: ") + session.notReady()));
        const XDisplay::Id drop = session.window(kDropScreenWidth);
        const QRect list = session.content(drop, 512).adjusted(0, 227, 0, 0);
        QVERIFY(session.dragFiles(files_, list.topLeft() + QPoint(240, 110)));
        QVERIFY(QTest::qWaitFor([&] { return session.listsARow(); }, 20000));
        const QRect chooser = session.content(session.window(kChooserWidth), 464);
        QVERIFY(session.click(chooser.topLeft() + QPoint(25 + 15, 174 + 18))); // JPEG
        XDisplay::Id progress = 0;
        QVERIFY(QTest::qWaitFor([&] { return (progress = session.window(kProgressWidth)) != 0; },
                                10000));
        QVERIFY(session.click(list.topLeft() + QPoint(240, 150)));
        // The window manager may or may not make the Drop Screen active; the progress window
        // stays above it either way.
        (void)QTest::qWaitFor([&] { return session.x->activeWindow() == drop; }, 2000);
        QVERIFY(session.stackedAt(progress) > session.stackedAt(drop));
        QVERIFY(session.stackedAt(progress) > session.stackedAt(session.window(kChooserWidth)));
        session.shot(QStringLiteral("progress-over-drop-screen"));

        QVERIFY(session.input({"key", "Escape"}));
        bool doneSeen = false;
        XDisplay::Id notice = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const bool done = session.window(kDoneWidth) != 0;
                doneSeen = doneSeen || done;
                notice = session.titled(QStringLiteral("Conversion stopped"));
                // Never both at once: the notice waits for DONE and its puff to go.
                if (notice &&
                    (done || !session.x->windowsOf(session.app->processId(), true).isEmpty()))
                    return true;
                return notice != 0;
            },
            20000));
        QVERIFY(doneSeen);
        QVERIFY(!session.window(kDoneWidth));
        QVERIFY(session.x->windowsOf(session.app->processId(), true).isEmpty());
        QTest::qWait(300);
        session.shot(QStringLiteral("stop-notice"));
        QVERIFY(session.input({"key", "Return"}));
        QVERIFY(QTest::qWaitFor(
            [&] { return !session.titled(QStringLiteral("Conversion stopped")); }, 5000));
    }
};

QTEST_GUILESS_MAIN(TestOnScreen)
#include "tst_onscreen.moc"
