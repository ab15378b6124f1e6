// How a run ends as a person meets it: DONE and its puff first, then whatever the run has to
// report, never one over the other; a stopped run is told as a stop, not as failures.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QVariantAnimation>

#include "convert/imagecontrol.h"
#include "platform/desktop/poof.h"
#include "platform/folderitem.h"
#include "platform/shell.h"
#include "support.h"
#include "windows/doner.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace testsupport;

namespace {
qconvert& dropScreen() {
    return qconvert::instance();
}
imagecontrol& chooser() {
    return imagecontrol::instance();
}
} // namespace

class TestRunEnd : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    QString picture(const QString& name) {
        return writePng(dir_.filePath(name), 12, 9, QColor(20, 120, 220));
    }
    // A file that the tool cannot read as a picture.
    QString notAPicture(const QString& name) {
        QFile file(dir_.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write("not a picture");
        return file.fileName();
    }
    // A tool in a folder of its own that never ends by itself; it leaves a mark once it runs.
    QString hangingToolFolder() {
        const QString folder = dir_.filePath(QStringLiteral("tool"));
        QDir().mkpath(folder);
        QFile tool(folder + QStringLiteral("/sips"));
        tool.open(QIODevice::WriteOnly);
        tool.write(QStringLiteral("#!/bin/sh\n: > %1\ntrap 'exit 143' TERM\n"
                                  "while :; do sleep 0.05; done\n")
                       .arg(dir_.filePath(QStringLiteral("running")))
                       .toUtf8());
        tool.close();
        tool.setPermissions(tool.permissions() | QFileDevice::ExeOwner);
        return folder;
    }

private slots:
    void initTestCase() { quietPlatformNoise(); }
    void init() {
        dropScreen().BevelButton18_Action();
        chooser().CheckBox2->setChecked(true);
    }
    void cleanup() { platform::Shell::setToolFolder(QString()); }

    // The report comes once DONE and its puff have gone; a stopped file is not a failure.
    void reportComesAfterDoneAndItsPuff_data() {
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("listed");
        QTest::newRow("every file fails")
            << false << imagecontrol::FailureTitle << int(QMessageBox::Warning)
            << "2 of 2 files could not be converted." << 2;
        QTest::newRow("stopped at the first of four")
            << true << imagecontrol::StoppedTitle << int(QMessageBox::Information)
            << "The run was stopped after 0 of 4 files; all 4 are still listed." << 4;
    }
    void reportComesAfterDoneAndItsPuff() {
        QFETCH(bool, stop);
        QFETCH(QString, title);
        QFETCH(int, icon);
        QFETCH(QString, text);
        QFETCH(int, listed);
        QStringList files;
        if (stop) {
            platform::Shell::setToolFolder(hangingToolFolder());
            for (const char* name : {"a.png", "b.png", "c.png", "d.png"})
                files.append(picture(QLatin1String(name)));
        } else {
            files = {notAPicture(QStringLiteral("x.png")), notAPicture(QStringLiteral("y.png"))};
        }
        QVERIFY(dropFiles(&dropScreen(), files));

        QTimer watch;
        bool doneSeen = false;
        connect(&watch, &QTimer::timeout, this, [&] {
            doneSeen = doneSeen || doner::existing();
            const QString running = dir_.filePath(QStringLiteral("running"));
            if (stop && QFile::exists(running)) {
                QFile::remove(running);
                QTest::keyClick(&chooser(), Qt::Key_Escape);
            }
        });
        watch.start(5);
        MessageAnswerer answerer;
        QStringList seenWith;
        int iconShown = -1;
        answerer.inspect = [&](QMessageBox* box) {
            iconShown = int(box->icon());
            if (progressdes::existing())
                seenWith.append(QStringLiteral("progress"));
            if (doner::existing())
                seenWith.append(QStringLiteral("DONE"));
            if (platform::desktop::poofShowing())
                seenWith.append(QStringLiteral("puff"));
        };
        QTest::mouseClick(chooser().BevelButton8, Qt::LeftButton);

        QCOMPARE(answerer.titles, QStringList{title});
        QVERIFY(answerer.texts.first().startsWith(text));
        QCOMPARE(iconShown, icon);
        QVERIFY(doneSeen);
        QCOMPARE(seenWith, QStringList());
        QCOMPARE(dropScreen().ListBox1->ListCount(), listed);
    }

    // A puff whose animation ends while a command runs leaves the screen all the same.
    void aPuffEndingDuringACommandGoes() {
        platform::desktop::showPoof(QPoint(200, 200), QSize(400, 400));
        QPointer<QWidget> puff;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("poof") && w->isVisible())
                puff = w;
        }
        QVERIFY(puff);
        QPointer<QVariantAnimation> animation = puff->findChild<QVariantAnimation*>();
        const QString over = dir_.filePath(QStringLiteral("puff-over"));
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (!animation || animation->state() == QAbstractAnimation::Stopped)
                QFile(over).open(QIODevice::WriteOnly);
        });
        watch.start(5);
        platform::Shell shell;
        shell.Execute(QStringLiteral("while [ ! -e %1 ]; do sleep 0.01; done")
                          .arg(platform::shellQuoted(over)));
        QCOMPARE(shell.ErrorCode(), 0);
        QVERIFY(!platform::desktop::poofShowing());
    }

    void stopSentence_data() {
        QTest::addColumn<int>("finished");
        QTest::addColumn<int>("total");
        QTest::addColumn<int>("listed");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("none done")
            << 0 << 4 << 4 << "The run was stopped after 0 of 4 files; all 4 are still listed.";
        QTest::newRow("one failed, one converted")
            << 2 << 4 << 3 << "The run was stopped after 2 of 4 files; 3 are still listed.";
        QTest::newRow("one left") << 2 << 3 << 1
                                  << "The run was stopped after 2 of 3 files; 1 is still listed.";
        QTest::newRow("a single file")
            << 0 << 1 << 1 << "The run was stopped after 0 of 1 file; it is still listed.";
    }
    void stopSentence() {
        QFETCH(int, finished);
        QFETCH(int, total);
        QFETCH(int, listed);
        QFETCH(QString, sentence);
        QCOMPARE(imagecontrol::stopSentence(finished, total, listed), sentence);
    }

    // However many failures, the list in the warning shows whole lines at every scroll step.
    void failureListShowsWholeLines() {
        QStringList files;
        for (int i = 0; i < 9; ++i)
            files.append(notAPicture(QStringLiteral("broken-%1.png").arg(i)));
        QVERIFY(dropFiles(&dropScreen(), files));
        MessageAnswerer answerer;
        QStringList cut;
        answerer.inspect = [&](QMessageBox* box) {
            auto* list = box->findChild<QPlainTextEdit*>();
            QScrollBar* bar = list->verticalScrollBar();
            for (int step = bar->minimum(); step <= bar->maximum(); ++step) {
                bar->setValue(step);
                const QRect view = list->viewport()->rect();
                for (QTextBlock b = list->document()->firstBlock(); b.isValid(); b = b.next()) {
                    QTextCursor at(b);
                    const QRect line = list->cursorRect(at);
                    if (line.bottom() >= view.top() && line.top() <= view.bottom() &&
                        (line.top() < view.top() || line.bottom() > view.bottom()))
                        cut.append(QStringLiteral("%1 at %2").arg(b.blockNumber()).arg(step));
                }
            }
        };
        QTest::mouseClick(chooser().BevelButton8, Qt::LeftButton);
        QCOMPARE(answerer.texts.size(), 1);
        QCOMPARE(cut, QStringList());
    }
};

MORVELLE_TEST_MAIN(TestRunEnd)
#include "tst_runend.moc"
