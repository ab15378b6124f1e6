#include "application.h"

#include "desktop/cocoa.h"
#include "exceptions.h"
#include "menus.h"
#include "window.h"

#include <QTimer>
#include <QWidget>

namespace platform {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    desktop::installCocoa();
    QTimer::singleShot(0, this, [this] { guarded([this] { Open(); }); });
}

void Application::windowClosed() {
    // Checked once the closing is over: a window is often closed and made again at once.
    QTimer::singleShot(0, this, [this] {
        if (Window::existingWindows().isEmpty())
            emit noWindowLeft();
    });
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

Application* Application::current() {
    return qobject_cast<Application*>(QCoreApplication::instance());
}

void Application::attachMenuHandler(const QString& itemName, std::function<bool()> handler) {
    m_menuHandlers.insert(itemName, std::move(handler));
}

void Application::menuItemChosen(const QString& itemName, QWidget* window) {
    const auto handler = m_menuHandlers.constFind(itemName);
    if (handler != m_menuHandlers.constEnd()) {
        guarded([&handler] { (*handler)(); });
        return;
    }
    standardEdit(itemName, window->focusWidget());
}

} // namespace platform
