#include <csignal>

#include "app/app.h"
#include "windows/qconvert.h"

// Morvelle reads no command line of its own; Qt's own options still reach Qt.
int main(int argc, char** argv) {
    App::declareFileTypes();
    App app(argc, argv);
    qconvert::instance();
    const int result = app.exec();
    App::releaseAll();
    if (const int signal = app.terminationSignal()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return result;
}
