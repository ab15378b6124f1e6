#include "application.h"

#include "desktop/cocoa.h"
#include "exceptions.h"

#include <QTimer>

namespace platform {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    desktop::installCocoa();
    QTimer::singleShot(0, this, [this] { guarded([this] { Open(); }); });
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        defaultHandling(e);
    } catch (...) {
        defaultHandling();
    }
    return false;
}

} // namespace platform
