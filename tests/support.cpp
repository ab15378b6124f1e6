#include "support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTest>
#include <QUrl>

#include "app/app.h"
#include "runtimefolder.h"
#include "windows/qconvert.h"

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
    const RuntimeFolder runtime;
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

QString writeSlowSvg(const QString& path) {
    QFile svg(path);
    if (!svg.open(QIODevice::WriteOnly))
        qFatal("could not write %s", qPrintable(path));
    svg.write("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"6000\" height=\"6000\">"
              "<filter id=\"b\"><feGaussianBlur stdDeviation=\"400\"/></filter>"
              "<rect width=\"6000\" height=\"6000\" fill=\"red\" filter=\"url(#b)\"/></svg>\n");
    return path;
}

QStringList hiddenTemporaries(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral(".*.sips-*")}, QDir::Files | QDir::Hidden);
}

QStringList hostileFileNames() {
    const char* names[] = {"two words.png",  "it's.png",        "''.png",
                           "say \"hi\".png", "$HOME.png",       "$(id).png",
                           "`id`.png",       "a;b.png",         "a|b.png",
                           "a&b.png",        "line\nbreak.png", "-rf.png",
                           "--out.png",      "*.png",           "?.png",
                           "[ab].png",       "caf\xC3\xA9.png", "\xE5\x86\x99\xE7\x9C\x9F.png",
                           "~.png",          "back\\slash.png", "tab\there.png",
                           "(x).png",        "{a,b}.png",       "#hash.png",
                           "!bang.png",      "a>b<c.png",       ".hidden.png",
                           "  lead.png"};
    QStringList list;
    for (const char* n : names)
        list.append(QString::fromUtf8(n));
    return list;
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
    // The window runs its drop handler once the drop event is over.
    QCoreApplication::sendPostedEvents(target->window(), QEvent::MetaCall);
    return drop.isAccepted();
}

bool dropFiles(QWidget* target, const QStringList& paths) {
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls.append(QUrl::fromLocalFile(p));
    return dropUrls(target, urls);
}

MessageAnswerer::MessageAnswerer() {
    poll_.setInterval(10);
    connect(&poll_, &QTimer::timeout, this, [this] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        QString text = box->text();
        if (!box->informativeText().isEmpty())
            text += QLatin1Char('\n') + box->informativeText();
        if (const auto* details = box->findChild<QPlainTextEdit*>())
            text += QLatin1Char('\n') + details->toPlainText();
        texts.append(text);
        titles.append(box->windowTitle());
        if (inspect)
            inspect(box);
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        if (ok)
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->reject();
    });
    poll_.start();
}

QAction* menuAction(QWidget* window, const QString& itemName) {
    auto* bar = window->findChild<QMenuBar*>(QString(), Qt::FindDirectChildrenOnly);
    if (!bar)
        return nullptr;
    for (QAction* top : bar->actions()) {
        for (QAction* item : top->menu()->actions()) {
            if (item->objectName() == itemName)
                return item;
        }
    }
    return nullptr;
}

bool chooseMenuItem(QWidget* window, const QString& itemName) {
    QAction* item = menuAction(window, itemName);
    if (!item)
        return false;
    auto* bar = window->findChild<QMenuBar*>(QString(), Qt::FindDirectChildrenOnly);
    auto* menu = qobject_cast<QMenu*>(item->parent());
    window->activateWindow();
    if (!menu || !QTest::qWaitForWindowActive(window))
        return false;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menu->menuAction()).center());
    if (!QTest::qWaitFor([menu] { return menu->isVisible(); }))
        return false;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
    return QTest::qWaitFor([menu] { return !menu->isVisible(); });
}

void settle() {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace testsupport
