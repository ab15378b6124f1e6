#include "app.h"

#include <csignal>

#include "app/menubar1.h"
#include "app/projectinfo.h"
#include "convert/imagecontrol.h"
#include "platform/desktopservices.h"
#include "platform/filetypes.h"
#include "platform/pictures.h"
#include "windows/aboutwin.h"
#include "windows/qconvert.h"

const QString App::SupportAddress = QStringLiteral("mailto:" MORVELLE_SUPPORT_ADDRESS);
const QString App::WebsiteAddress = QStringLiteral(MORVELLE_HOMEPAGE);

App::App(int& argc, char** argv) : platform::Application(argc, argv) {
    // No separate display name: Qt would add it to every window title on the desktop.
    setApplicationName(QStringLiteral("Morvelle"));
    setApplicationVersion(QStringLiteral(MORVELLE_VERSION));
    // Every window shows the application's icon, and docks match the windows to the
    // launcher by the desktop entry's name (Wayland) or its StartupWMClass (X11).
    setDesktopFileName(QStringLiteral(MORVELLE_DESKTOP_ID));
    setWindowIcon(platform::ApplicationIcon());
    // Closing a window does not end the application; closing the last one does, since
    // without a window there is no menu left to reach it by.
    setQuitOnLastWindowClosed(false);
    connect(this, &Application::noWindowLeft, this, &QCoreApplication::quit);
    setMenuBar(&MenuBar1::instance());
    attachMenuHandler(QStringLiteral("AppleDonateSupport"),
                      [this] { return AppleDonateSupport(); });
    attachMenuHandler(QStringLiteral("AppleAbout"), [this] { return AppleAbout(); });
    attachMenuHandler(QStringLiteral("fileNewconvert"), [this] { return fileNewconvert(); });
    attachMenuHandler(QStringLiteral("EditWebsite"), [this] { return EditWebsite(); });
}

App* App::current() {
    return qobject_cast<App*>(QCoreApplication::instance());
}

void App::declareFileTypes() {
    const platform::FileType types[] = {
        {QStringLiteral("text/html"), QStringLiteral(".htm;.html;.html"), QStringLiteral("TEXT"),
         QStringLiteral("????")},
        {QStringLiteral("application/rtf"), QStringLiteral(".rtf"), QStringLiteral("RTF "),
         QStringLiteral("MSWD")},
        {QStringLiteral("application/text"), QStringLiteral(".1st;.nfo;.readme;readme"),
         QStringLiteral("TEXT"), QStringLiteral("text")},
        {QStringLiteral("application/x-xml"), QStringLiteral(".xml"), QStringLiteral("TEXT"),
         QStringLiteral("DmWr")},
        {QStringLiteral("special/any"), QString(), QStringLiteral("????"), QStringLiteral("????")},
        {QStringLiteral("text/plain; charset=\"utf-16\""), QStringLiteral(".uni"),
         QStringLiteral("utxt"), QStringLiteral("St\u00FFl")},
        {QStringLiteral("any"), QString(), QStringLiteral("????"), QStringLiteral("????")},
        {QStringLiteral("application/vnd.ms-excel"), QStringLiteral(".xl"), QStringLiteral("XLS "),
         QStringLiteral("XCEL")},
        {QString(), QString(), QString(), QString()},
        {QStringLiteral("image/tiff"), QStringLiteral(".jfx;.tif;.tiff"), QStringLiteral("TIFF"),
         QStringLiteral("????")},
    };
    for (const platform::FileType& t : types)
        platform::addFileType(t);
}

void App::releaseAll() {
    platform::releasePictures();
    platform::releaseFileTypes();
    platform::Window::closeAll();
    if (App* app = current())
        app->setMenuBar(nullptr);
    MenuBar1::release();
}

int App::execAndRelease() {
    const int result = exec();
    releaseAll();
    if (const int signal = terminationSignal()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return result;
}

void App::Open() {
    qconvert::instance().Show();
    imagecontrol::instance().Show();
}

bool App::fileNewconvert() {
    qconvert::instance().Show();
    return false;
}

bool App::AppleAbout() {
    AboutWin::instance().Show();
    return false;
}

bool App::AppleDonateSupport() {
    platform::ShowURL(SupportAddress);
    return false;
}

bool App::EditWebsite() {
    platform::ShowURL(WebsiteAddress);
    return false;
}
