#include "app/app.h"
#include "windows/qconvert.h"

// Morvelle reads no command line of its own; Qt's own options still reach Qt.
int main(int argc, char** argv) {
    App::declareFileTypes();
    App app(argc, argv);
    qconvert::instance();
    return app.execAndRelease();
}
