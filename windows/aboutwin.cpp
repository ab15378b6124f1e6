#include "aboutwin.h"

#include <QApplication>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>

#include "app/app.h"
#include "app/projectinfo.h"
#include "platform/exceptions.h"
#include "platform/pictures.h"
#include "windows/qconvert.h"

using namespace platform;

const QString AboutWin::Copyright = QStringLiteral("\u00A9 2026 Morvelle developers");

namespace {
WindowLayout windowLayout() {
    WindowLayout l;
    l.Title = QString();
    l.Width = 333;
    l.Height = 452;
    l.Frame = 8;
    l.Placement = 1;
    l.HasBackColor = false;
    l.BackColor = QColor(0xE8, 0xE8, 0xE8);
    l.Visible = true;
    l.CloseButton = false;
    l.MinimizeButton = false;
    l.MaximizeButton = false;
    l.Resizeable = false;
    // Without a title bar no window manager can add the close box the layout has not.
    l.Decorated = false;
    l.MenuBarVisible = true;
    l.Role = WindowRole::Utility;
    return l;
}

constexpr int kPictureLogo128 = 175;
} // namespace

AboutWin::AboutWin() : Window(windowLayout()) {
    const TextStyle name{16, true, QColor(0x34, 0x34, 0x34), 1};
    const TextStyle copyright{10, false, QColor(0xB3, 0xB3, 0xB3), 1};
    const TextStyle version{12, true, QColor(0x34, 0x34, 0x34), 1};
    const TextStyle address{12, true, QColor(0xA8, 0xA8, 0xA8), 1};

    // The name, version and logo stand on the white band of Rectangle1; like every control
    // they are placed in window coordinates and made after the band, so they draw above it.
    // clang-format off
    Rectangle1  = new RoundRectangle(this, QRect(-10, 0, 351, 270), QColor(0xFF, 0xFE, 0xFE), Qt::black, 0, 0, 0);
    StaticText1 = new StaticText(this, QRect(18, 35, 293, 30), QStringLiteral("Morvelle"), name);
    StaticText2 = new StaticText(this, QRect(80, 404, 165, 20), Copyright, copyright);
    PushButton1 = new QPushButton(QStringLiteral("Close"), this);
    PushButton1->setGeometry(121, 373, 90, 20);
    connect(PushButton1, &QPushButton::clicked, this, [this] { guarded([this] { PushButton1_Action(); }); });
    Canvas2     = new Canvas(this, QRect(100, 102, 125, 125));
    Canvas2->setBackdrop(Picture(kPictureLogo128));
    StaticText6 = new StaticText(this, QRect(18, 67, 293, 30), QStringLiteral("Version :  " MORVELLE_VERSION), version);
    StaticText7 = new StaticText(this, QRect(78, 338, 173, 29), App::WebsiteAddress, address);
    // clang-format on

    applyTextStyle(PushButton1, TextStyle{12, false, Qt::black, 1});
    PushButton1->setDefault(true);
    PushButton1->setAutoDefault(true);
    Canvas2->setFocusPolicy(Qt::NoFocus);
    // A plain window has no default-button handling of its own, so Return and Enter press the
    // default button here, and Escape, as in a dialog, closes the window too.
    for (const int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        connect(shortcut, &QShortcut::activated, PushButton1, &QPushButton::click);
    }
}

void AboutWin::PushButton1_Action() {
    Close();
}

// Over the window the About command was chosen in.
QWidget* AboutWin::owner() const {
    QWidget* active = QApplication::activeWindow();
    return active != this ? active : nullptr;
}

// Over the Drop Screen when there is one, else in the middle of the main screen.
QPoint AboutWin::initialPosition() const {
    if (const qconvert* dropScreen = qconvert::existing())
        return centredOn(dropScreen->frameGeometry());
    return Window::initialPosition();
}
