#include "support.h"

#include "app/app.h"
#include "windows/qconvert.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QMessageBox>
#include <QMimeData>
#include <QTest>
#include <QUrl>

namespace testsupport {

namespace {
QtMessageHandler testLogger = nullptr;
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QLatin1String("This plugin does not support ")))
        return;
    testLogger(type, context, message);
}
} // namespace

void quietPlatformNoise() {
    if (!testLogger)
        testLogger = qInstallMessageHandler(quietHandler);
}

int runWithApplication(int argc, char** argv, QObject* testObject) {
    App::declareFileTypes();
    App app(argc, argv);
    qconvert::instance();
    settle(); // the first turn of the loop raises Open
    const int result = QTest::qExec(testObject, argc, argv);
    App::releaseAll();
    return result;
}

QString writePng(const QString& path, int w, int h, const QColor& colour) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    if (!image.save(path, "PNG"))
        qFatal("could not write %s", qPrintable(path));
    return path;
}

bool dropUrls(QWidget* target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

bool dropFiles(QWidget* target, const QStringList& paths) {
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls.append(QUrl::fromLocalFile(p));
    return dropUrls(target, urls);
}

MessageAnswerer::MessageAnswerer() {
    m_poll.setInterval(10);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        texts.append(box->text());
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        if (ok)
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    });
    m_poll.start();
}

void settle(int milliseconds) {
    QTest::qWait(milliseconds);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace testsupport
