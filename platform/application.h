#pragma once

#include <QApplication>

namespace platform {

// The framework's application object: raises Open once the event loop runs, and gives an
// exception that escapes an event handler the default handling instead of ending the
// program.
class Application : public QApplication {
    Q_OBJECT
public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

protected:
    // Runs once, as the first thing the event loop does.
    virtual void Open() {}
};

} // namespace platform
