#include "app/app.h"
#include "platform/application.h"
#include "windows/qconvert.h"

// Morvelle reads no command line of its own; Qt's own options still reach Qt.
int main(int argc, char** argv) {
    platform::Application::preferX11();
    App::declareFileTypes();
    App app(argc, argv);
    qconvert::instance();
    return app.execAndRelease();
}
