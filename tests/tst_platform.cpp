#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include "heldjob.h"
#include "platform/busybar.h"
#include "platform/exceptions.h"
#include "platform/folderitem.h"
#include "platform/shell.h"
#include "platform/systemlibrary.h"
#include "platform/timer.h"
#include "platform/window.h"
#include "support.h"

using namespace platform;
using namespace testsupport;

namespace {
class Probe : public Window, public Implicit<Probe> {
public:
    Probe() : Window(probeLayout()) { ++made; }
    static inline int made = 0;
    static inline int opened = 0;

protected:
    void Open() override { ++opened; }

private:
    static WindowLayout probeLayout() {
        WindowLayout l;
        l.Width = 100;
        l.Height = 50;
        l.Visible = false;
        return l;
    }
};
} // namespace

namespace {
// A command that ends only once the file exists: it cannot end before the test is done.
QString waitingFor(const QString& file) {
    return QStringLiteral("while [ ! -e %1 ]; do sleep 0.01; done").arg(shellQuoted(file));
}
} // namespace

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { quietPlatformNoise(); }

    void implicitWindowIsMadeOnceAndAfreshAfterClose() {
        QVERIFY(!Probe::existing());
        Probe& first = Probe::instance();
        QCOMPARE(&Probe::instance(), &first);
        QCOMPARE(Probe::made, 1);
        QCOMPARE(Probe::opened, 1);
        QVERIFY(!first.isVisible()); // made hidden, waits for Show
        first.Show();
        QVERIFY(first.isVisible());
        QPointer<Probe> old = &first;
        first.Close();
        QVERIFY(!Probe::existing());
        Probe& second = Probe::instance();
        QCOMPARE(Probe::made, 2);
        settle();
        QVERIFY(old.isNull());
        QVERIFY(Probe::existing() == &second);
        second.Close();
    }

    void folderItem_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("shellPath");
        QTest::newRow("plain") << "/tmp/in/cat.png"
                               << "cat.png"
                               << "/tmp/in"
                               << "/tmp/in/cat.png";
        QTest::newRow("no extension") << "/tmp/in/cat"
                                      << "cat"
                                      << "/tmp/in"
                                      << "/tmp/in/cat";
        QTest::newRow("blank") << "/tmp/my cat.png"
                               << "my cat.png"
                               << "/tmp"
                               << "'/tmp/my cat.png'";
        QTest::newRow("quote") << "/tmp/it's.png"
                               << "it's.png"
                               << "/tmp"
                               << "'/tmp/it'\\''s.png'";
        QTest::newRow("top level") << "/cat.png"
                                   << "cat.png"
                                   << "/"
                                   << "/cat.png";
        QTest::newRow("trailing slash cleaned") << "/tmp/in/"
                                                << "in"
                                                << "/tmp"
                                                << "/tmp/in";
    }
    void folderItem() {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QString, shellPath);
        const FolderItem item(path);
        QCOMPARE(item.Name(), name);
        QCOMPARE(item.Parent().AbsolutePath(), parent);
        QCOMPARE(item.ShellPath(), shellPath);
        QCOMPARE(item.Parent().Child(name).AbsolutePath(), item.AbsolutePath());
    }

    void nilFolderItemRaises() {
        QVERIFY(FolderItem(QStringLiteral("/")).Parent().isNil());
        QVERIFY_THROWS_EXCEPTION(NilObjectException, FolderItem().Name());
        QVERIFY_THROWS_EXCEPTION(NilObjectException,
                                 FolderItem(QStringLiteral("/")).Parent().Child("x"));
    }

    // Whatever a name holds, the shell must read the quoted form back as that one word.
    void shellQuotingRoundTrips_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QStringLiteral("plain.png");
        QTest::newRow("not UTF-8") << decodedBytes("raw\xFF\xC3(.png");
        for (const QString& name : hostileFileNames())
            QTest::newRow(qPrintable(name)) << name;
    }
    void shellQuotingRoundTrips() {
        QFETCH(QString, text);
        const QString quoted = shellQuoted(text);
        Shell shell;
        shell.Execute(QStringLiteral("printf '%s|%d' ") + quoted + QStringLiteral(" $#"));
        // $# inside sh -c is 0; the word count comes from the printf arguments below.
        Shell count;
        count.Execute(QStringLiteral("set -- ") + quoted + QStringLiteral("; printf %d $#"));
        QCOMPARE(shell.ErrorCode(), 0);
        QCOMPARE(shell.Result(), text + QStringLiteral("|0"));
        QCOMPARE(count.Result(), QStringLiteral("1"));
    }

    // A timer that is off never ticks: a single timer of the same period, started after it,
    // has ticked and it has not.
    void anOffTimerNeverTicks() {
        QObject owner;
        Timer timer(&owner, Timer::Off, 5);
        QSignalSpy ticks(&timer, &Timer::Action);
        Timer reference(&owner, Timer::Single, 5);
        QVERIFY(QSignalSpy(&reference, &Timer::Action).wait());
        QCOMPARE(ticks.size(), 0);
        QCOMPARE(timer.Mode(), int(Timer::Off));
    }

    // A single timer ticks once, turns itself off, and stays quiet for four more periods.
    void aSingleTimerTicksOnceAndTurnsOff() {
        QObject owner;
        Timer timer(&owner, Timer::Single, 5);
        QSignalSpy ticks(&timer, &Timer::Action);
        QVERIFY(ticks.wait());
        QCOMPARE(ticks.size(), 1);
        QCOMPARE(timer.Mode(), int(Timer::Off));
        Timer reference(&owner, Timer::Single, 20);
        QVERIFY(QSignalSpy(&reference, &Timer::Action).wait());
        QCOMPARE(ticks.size(), 1);
    }

    // A multiple timer ticks again and again, never sooner than its period after the last
    // tick, until it is turned off.
    void aMultipleTimerTicksEveryPeriodUntilTurnedOff() {
        QObject owner;
        QElapsedTimer clock;
        QList<qint64> at;
        clock.start();
        Timer timer(&owner, Timer::Multiple, 5);
        connect(&timer, &Timer::Action, &owner, [&] { at.append(clock.elapsed()); });
        QTRY_COMPARE(at.size() >= 3, true);
        QCOMPARE(timer.Mode(), int(Timer::Multiple));
        for (int i = 1; i < at.size(); ++i)
            QVERIFY2(at[i] - at[i - 1] >= 4, qPrintable(QString::number(at[i] - at[i - 1])));
        timer.setMode(Timer::Off);
        const qsizetype ticked = at.size();
        Timer reference(&owner, Timer::Single, 20);
        QVERIFY(QSignalSpy(&reference, &Timer::Action).wait());
        QCOMPARE(at.size(), ticked);
    }

    // At 0 of 0 the bar shows a short block that slides, never a filled share of the bar.
    void busyBarNeverReadsAsAFraction() {
        QWidget window;
        BusyBar bar(&window);
        bar.setGeometry(0, 0, 252, 20);
        bar.setRange(0, 0);
        bar.setValue(0);
        window.show();
        // It starts at the left end of the trough and slides right, keeping its size.
        const QRect first = bar.blockRect();
        QCOMPARE(first.left(), 2);
        QVERIFY(first.width() <= bar.width() * 3 / 10);
        QTRY_VERIFY(bar.blockRect().left() > first.left());
        QCOMPARE(bar.blockRect().size(), first.size());
        const QImage image = bar.grab().toImage();
        const QColor block = bar.palette().color(QPalette::Highlight);
        int filled = 0;
        for (int x = 0; x < image.width(); ++x)
            filled += QColor(image.pixel(x, image.height() / 2)) == block;
        QVERIFY(filled > 8);
        QVERIFY2(filled <= bar.width() * 3 / 10, qPrintable(QString::number(filled)));
    }

    void uncaughtExceptionIsReportedAndTheApplicationGoesOn() {
        MessageAnswerer answerer;
        QWidget window;
        QPushButton button(QStringLiteral("go"), &window);
        int after = 0;
        connect(&button, &QPushButton::clicked, &window, [] {
            guarded([] { throw NilObjectException(QStringLiteral("The control EditField3")); });
        });
        connect(&button, &QPushButton::clicked, &window, [&after] { ++after; });
        window.show();
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(answerer.texts.size(), 1);
        QVERIFY2(answerer.texts[0].contains(QStringLiteral("The control EditField3 is missing")),
                 qPrintable(answerer.texts[0]));
        QCOMPARE(after, 1);
        QVERIFY(window.isVisible());
    }

    void exceptionEscapingAnEventReachesTheDefaultHandling() {
        MessageAnswerer answerer;
        QTimer::singleShot(0, qApp, [] { throw std::runtime_error("the disk vanished"); });
        QTRY_COMPARE(answerer.texts.size(), 1);
        QVERIFY(answerer.texts[0].contains(QStringLiteral("the disk vanished")));
    }

    void missingSystemFunctionNamesItself() {
        try {
            lookupSystemFunction(QStringLiteral("Cocoa.framework"), QStringLiteral("NoSuchThing"));
            QFAIL("no exception");
        } catch (const FunctionNotFoundException& e) {
            QCOMPARE(e.function(), QStringLiteral("NoSuchThing"));
            QCOMPARE(e.library(), QStringLiteral("Cocoa.framework"));
            QVERIFY(QString::fromUtf8(e.what()).contains(QStringLiteral("NoSuchThing")));
            QVERIFY(QString::fromUtf8(e.what()).contains(QStringLiteral("Cocoa.framework")));
        }
    }

    void shellReportsStatusAndOutput_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("success") << "echo hello" << 0 << "hello\n"
                                 << "";
        QTest::newRow("failure") << "echo 'Error: no: /x' >&2; exit 3" << 3 << ""
                                 << "Error: no: /x\n";
        QTest::newRow("missing command") << "no-such-tool-here" << 127 << ""
                                         << "";
        QTest::newRow("warning but success") << "echo careful >&2; true" << 0 << ""
                                             << "careful\n";
    }
    void shellReportsStatusAndOutput() {
        QFETCH(QString, command);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        Shell shell;
        shell.Execute(command);
        QCOMPARE(shell.ErrorCode(), status);
        QCOMPARE(shell.Result(), out);
        if (!err.isEmpty())
            QCOMPARE(shell.ErrorOutput(), err);
    }

    void shellPutsTheToolFolderFirst() {
        Shell shell;
        shell.Execute(QStringLiteral("command -v sips"));
        QCOMPARE(shell.ErrorCode(), 0);
        QCOMPARE(shell.Result().trimmed(), Shell::toolFolder() + QStringLiteral("/sips"));
        QCOMPARE(QFileInfo(Shell::toolFolder() + QStringLiteral("/sips")).canonicalFilePath(),
                 QFileInfo(QStringLiteral(SIPS_TOOL)).canonicalFilePath());
    }

    // Everything the command started is stopped with it, before Execute returns: the child
    // of the shell too, or it would write the marker later.
    void shellStopsACommandAtTheTimeLimit() {
        const auto saved = Shell::timeLimit();
        // Long enough for a busy machine to start the shell and its child within it.
        Shell::setTimeLimit(std::chrono::seconds(2));
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("still-running"));
        const QString pids = dir.filePath(QStringLiteral("pids"));
        Shell shell;
        shell.Execute(QStringLiteral("echo $$ > %1; sleep 600 & echo $! >> %1; wait $!; touch %2")
                          .arg(shellQuoted(pids), shellQuoted(marker)));
        Shell::setTimeLimit(saved);
        QVERIFY(shell.ErrorCode() != 0);
        QVERIFY(!shell.Stopped());
        QVERIFY2(shell.ErrorOutput().contains(QStringLiteral("stopped after running longer")),
                 qPrintable(shell.ErrorOutput()));
        QFile list(pids);
        QVERIFY(list.open(QIODevice::ReadOnly));
        const QList<QByteArray> started = list.readAll().trimmed().split('\n');
        QCOMPARE(started.size(), 2);
        for (const QByteArray& pid : started)
            QVERIFY2(hasEnded(pid_t(pid.toInt())), pid.constData());
        QVERIFY(!QFileInfo::exists(marker));
    }

    // At the time limit the real tool gets SIGTERM first and removes its hidden temporary
    // file before it ends. The conversion is held once its temporary file is open, and goes
    // on only with a stop signal waiting for it: the SIGTERM, or the SIGHUP the system sends
    // with SIGCONT once the shell that started it has ended.
    void theTimeLimitLeavesNoTemporaryFile() {
        QTemporaryDir dir;
        const QString svg = writeSlowSvg(dir.filePath(QStringLiteral("slow.svg")));
        const auto saved = Shell::timeLimit();
        // Long enough for a busy machine to start the tool and let it open its output.
        Shell::setTimeLimit(std::chrono::seconds(5));
        HeldJob job;
        bool held = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!held)
                held = job.hold(dir.path());
            job.releaseOnce(SIGTERM);
        });
        watch.start(1);
        Shell shell;
        shell.Execute(QStringLiteral("sips -s format tiff %1 --out %2")
                          .arg(shellQuoted(svg), shellQuoted(svg + QStringLiteral(".tiff"))));
        Shell::setTimeLimit(saved);
        QVERIFY(held);
        QVERIFY(shell.ErrorCode() != 0);
        QVERIFY2(shell.ErrorOutput().contains(QStringLiteral("stopped after running longer than "
                                                             "5 seconds")),
                 qPrintable(shell.ErrorOutput()));
        QCOMPARE(hiddenTemporaries(dir.path()), QStringList());
        QVERIFY(!QFileInfo::exists(svg + QStringLiteral(".tiff")));
    }

    // Of all input, Escape and Ctrl+Q reach a running command, and stop it; the request
    // stays until it is cleared.
    void keysThatStopACommand_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("request");
        QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier)
                                << int(Shell::Request::Stop);
        QTest::newRow("Ctrl+Q") << int(Qt::Key_Q) << int(Qt::ControlModifier)
                                << int(Shell::Request::Quit);
        QTest::newRow("Q") << int(Qt::Key_Q) << int(Qt::NoModifier) << int(Shell::Request::None);
        QTest::newRow("Ctrl+Escape")
            << int(Qt::Key_Escape) << int(Qt::ControlModifier) << int(Shell::Request::None);
    }
    void keysThatStopACommand() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, request);
        QWidget window;
        window.show();
        Shell::clearRequest();
        // The command cannot end before the key has been pressed: it waits to be let go.
        QTemporaryDir dir;
        const QString go = dir.filePath(QStringLiteral("go"));
        QTimer::singleShot(0, &window, [&] {
            QTest::keyClick(&window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QFile(go).open(QIODevice::WriteOnly);
        });
        Shell shell;
        shell.Execute(waitingFor(go));
        QCOMPARE(int(Shell::request()), request);
        QCOMPARE(shell.Stopped(), request != int(Shell::Request::None));
        QCOMPARE(shell.ErrorCode() != 0, request != int(Shell::Request::None));
        Shell::clearRequest();
        QCOMPARE(Shell::request(), Shell::Request::None);
    }

    // While a command runs, window timers hold their ticks and user input is swallowed;
    // painting and ordinary Qt timers go on.
    void shellHoldsTimersAndInputWhileItRuns() {
        QObject owner;
        Timer timer(&owner, Timer::Multiple, 1);
        int ticksDuring = -1;
        QWidget window;
        QPushButton button(QStringLiteral("b"), &window);
        int clicks = 0;
        connect(&button, &QPushButton::clicked, &window, [&clicks] { ++clicks; });
        window.show();
        QSignalSpy ticks(&timer, &Timer::Action);
        QTimer probe;
        probe.setSingleShot(true);
        bool busySeen = false;
        connect(&probe, &QTimer::timeout, &window, [&] {
            busySeen = Shell::isBusy();
            ticksDuring = int(ticks.size());
            QTest::mouseClick(&button, Qt::LeftButton);
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
            QApplication::sendEvent(&button, &key);
        });
        QTemporaryDir dir;
        const QString go = dir.filePath(QStringLiteral("go"));
        connect(&probe, &QTimer::timeout, &window, [&] { QFile(go).open(QIODevice::WriteOnly); });
        QVERIFY(ticks.wait());
        ticks.clear();
        probe.start(50);
        Shell shell;
        shell.Execute(waitingFor(go));
        const int ticksAtReturn = int(ticks.size());
        QVERIFY(busySeen);
        QCOMPARE(ticksDuring, 0);
        QCOMPARE(ticksAtReturn, 0);
        QCOMPARE(clicks, 0);
        QTRY_VERIFY(ticks.size() > 0); // ticking resumes once back in the event loop
        timer.setMode(Timer::Off);
    }
};

MORVELLE_TEST_MAIN(TestPlatform)
#include "tst_platform.moc"
