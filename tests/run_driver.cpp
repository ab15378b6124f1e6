// The application as a process of its own, for tests that must see how the whole process
// ends: it drops the files given on the Drop Screen, presses TIFF with automatic naming on,
// and once the tool has its hidden temporary file open it holds the tool's job there (so that
// it cannot finish first), says "converting PID" with the job's process id on its standard
// output and, in "quit" mode, presses Ctrl+Q; in "wait" mode it waits to be signalled. The
// job goes on once the stop signal waits for it.
//
//     run_driver quit|wait FILE...
#include <QAbstractButton>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include "app/app.h"
#include "convert/imagecontrol.h"
#include "heldjob.h"
#include "support.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

int main(int argc, char** argv) {
    App::declareFileTypes();
    App app(argc, argv);
    qconvert::instance();
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3)
        return 2;
    const bool quit = arguments[1] == QLatin1String("quit");
    const QStringList files = arguments.mid(2);
    const QString folder = QFileInfo(files.first()).path();

    testsupport::HeldJob job;
    bool said = false;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (!said) {
            if (!job.hold(folder))
                return;
            said = true;
            std::printf("converting %d\n", int(job.pid()));
            std::fflush(stdout);
            if (quit)
                QTest::keyClick(progressdes::existing(), Qt::Key_Q, Qt::ControlModifier);
        }
        job.releaseOnce(SIGTERM);
    });
    QTimer::singleShot(0, &app, [&] {
        imagecontrol::instance().CheckBox2->setChecked(true);
        testsupport::dropFiles(&qconvert::instance(), files);
        watch.start();
        QTest::mouseClick(imagecontrol::instance().BevelButton3, Qt::LeftButton);
    });
    return app.execAndRelease();
}
