#pragma once

#include <QApplication>
#include <QHash>

#include <functional>

class QWidget;

namespace platform {

class MenuBar;

// The framework's application object: raises Open once the event loop runs, and gives an
// exception that escapes an event handler the default handling instead of ending the
// program.
class Application : public QApplication {
    Q_OBJECT
public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    static Application* current();

    // The windows stand where their layouts put them, on the screen, and the vanishing puff
    // at a screen point: a Wayland session lets no window place itself, so where an X server
    // is at hand (Xwayland in such a session) the application uses it. A platform the user
    // names (QT_QPA_PLATFORM, -platform) still wins. Call before the application is made.
    static void preferX11();

    // The application's menu bar, shown in every window whose layout shows the menu bar;
    // set before the first window is made. Not owned.
    void setMenuBar(MenuBar* bar) { menuBar_ = bar; }
    MenuBar* menuBar() const { return menuBar_; }

    // Commands are bound by item name: choosing any item of this name runs the handler.
    void attachMenuHandler(const QString& itemName, std::function<bool()> handler);
    // What choosing the item does, in this window: the attached handler, else the standard
    // edit of that name on the window's focused text control.
    void menuItemChosen(const QString& itemName, QWidget* window);

    // Called by every window as it closes.
    void windowClosed();

    // The termination signal (SIGTERM, SIGINT, SIGHUP) that ended the event loop, or 0.
    int terminationSignal() const { return terminationSignal_; }

signals:
    // The last window has gone: this desktop has no menu bar outside the windows, so
    // nothing would be left to reach the application by.
    void noWindowLeft();

protected:
    // Runs once, as the first thing the event loop does.
    virtual void Open() {}

private:
    void catchTerminationSignals();
    void terminate();

    MenuBar* menuBar_ = nullptr;
    int terminationSignal_ = 0;
    QHash<QString, std::function<bool()>> menuHandlers_;
};

} // namespace platform
