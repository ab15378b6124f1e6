// Drops 10,000 new files onto a Drop Screen that already lists 10,000, through the real drop
// event, and prints how long the drop took (sorting, the duplicate pass and the listing).
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdio>

#include "app/app.h"
#include "windows/qconvert.h"

namespace {
QList<QUrl> makeFiles(const QString& folder, int count) {
    QDir().mkpath(folder);
    QList<QUrl> urls;
    for (int i = 0; i < count; ++i) {
        const QString path =
            QStringLiteral("%1/photo-%2.jpg").arg(folder).arg(i, 5, 10, QChar('0'));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        urls.append(QUrl::fromLocalFile(path));
    }
    return urls;
}

qint64 drop(QWidget* target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    QElapsedTimer clock;
    clock.start();
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
    return clock.nsecsElapsed();
}
} // namespace

int main(int argc, char** argv) {
    App::declareFileTypes();
    App app(argc, argv);
    qconvert& screen = qconvert::instance();
    QTemporaryDir dir;
    const QList<QUrl> first = makeFiles(dir.filePath(QStringLiteral("first")), 10000);
    const QList<QUrl> second = makeFiles(dir.filePath(QStringLiteral("second")), 10000);
    drop(&screen, first);
    const qint64 ns = drop(&screen, second);
    std::printf("drop of 10,000 files onto 10,000 listed rows: %.3f s (%d rows listed)\n", ns / 1e9,
                screen.ListBox1->ListCount());
    App::releaseAll();
    return 0;
}
