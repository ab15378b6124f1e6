#include "desktopservices.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QScreen>
#include <QUrl>

#include "exceptions.h"

namespace platform {

ScreenInfo Screen(int index) {
    QList<QScreen*> screens = QGuiApplication::screens();
    QScreen* primary = QGuiApplication::primaryScreen();
    if (primary) {
        screens.removeOne(primary);
        screens.prepend(primary);
    }
    if (index < 0 || index >= screens.size())
        throw NilObjectException(QStringLiteral("Screen %1").arg(index));
    const QRect g = screens[index]->geometry();
    return {g.width(), g.height()};
}

void ShowURL(const QString& address) {
    QDesktopServices::openUrl(QUrl(address));
}

} // namespace platform
