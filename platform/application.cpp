#include "application.h"

#include "desktop/cocoa.h"
#include "exceptions.h"
#include "menus.h"
#include "window.h"

#include <QFont>
#include <QTimer>
#include <QWidget>

namespace platform {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    // The layouts give every text a pixel size and a box drawn for a Helvetica-metric face;
    // the desktop's own sans is wider and would cut them off. Metric-compatible faces come
    // after the first choice, for a desktop that lacks it.
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                      QStringLiteral("Helvetica"), QStringLiteral("Arial")});
    font.setStyleHint(QFont::SansSerif);
    QApplication::setFont(font);
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
