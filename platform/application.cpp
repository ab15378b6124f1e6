#include "application.h"

#include <QFont>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "desktop/cocoa.h"
#include "exceptions.h"
#include "menus.h"
#include "shell.h"
#include "window.h"

namespace platform {

namespace {
int signalPipe[2] = {-1, -1};

// All a signal handler may safely do: pass the signal on to the event loop.
void passSignalOn(int signal) {
    const int saved = errno;
    const unsigned char s = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &s, 1);
    errno = saved;
}
} // namespace

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
    catchTerminationSignals();
    QTimer::singleShot(0, this, [this] { guarded([this] { Open(); }); });
}

void Application::catchTerminationSignals() {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char s = 0;
        while (::read(signalPipe[0], &s, 1) == 1)
            terminationSignal_ = s;
        terminate();
    });
    for (const int s : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction old {};
        ::sigaction(s, nullptr, &old);
        // Started under nohup: a hang-up stays ignored.
        if (old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = passSignalOn;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(s, &action, nullptr);
    }
}

// A conversion under way is stopped first and the application quits once it has ended;
// without an event loop to quit, the signal does what it would have done by default.
void Application::terminate() {
    if (Shell::isBusy()) {
        Shell::stop(Shell::Request::Quit);
    } else if (QThread::currentThread()->loopLevel() > 0) {
        quit();
    } else {
        std::signal(terminationSignal_, SIG_DFL);
        std::raise(terminationSignal_);
    }
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

void Application::preferX11() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb;wayland");
}

Application* Application::current() {
    return qobject_cast<Application*>(QCoreApplication::instance());
}

void Application::attachMenuHandler(const QString& itemName, std::function<bool()> handler) {
    menuHandlers_.insert(itemName, std::move(handler));
}

void Application::menuItemChosen(const QString& itemName, QWidget* window) {
    const auto handler = menuHandlers_.constFind(itemName);
    if (handler != menuHandlers_.constEnd()) {
        guarded([&handler] { (*handler)(); });
        return;
    }
    standardEdit(itemName, window->focusWidget());
}

} // namespace platform
