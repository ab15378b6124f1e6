#include "doner.h"

#include "native/nsalien.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace platform;

namespace {
WindowLayout windowLayout() {
    WindowLayout l;
    l.Title = QString();
    l.Width = 313;
    l.Height = 71;
    l.Frame = 8;
    l.Placement = 1;
    l.HasBackColor = true;
    l.BackColor = QColor(0x33, 0x33, 0x33);
    l.Visible = true;
    l.CloseButton = false;
    l.MinimizeButton = true;
    l.MaximizeButton = false;
    l.Resizeable = false;
    l.Decorated = false;
    // A feedback window carries no menu bar of its own: it is never the one a user works in.
    l.MenuBarVisible = false;
    l.Role = WindowRole::Feedback;
    return l;
}
} // namespace

doner::doner() : Window(windowLayout()) {
    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(21, 13, 271, 36);
    applyTextStyle(GroupBox1, {12, false, Qt::white, 0});
    // clang-format off
    Timer1      = new Timer(this, Timer::Single, 500);
    connect(Timer1, &Timer::Action, this, &doner::Timer1_Action);
    StaticText1 = new StaticText(GroupBox1, inContainer(QRect(106, 21, 100, 20), GroupBox1), QStringLiteral("DONE"), {22, true, QColor(0x66, 0xCC, 0xFF), 1});
    // clang-format on
}

// Over the Drop Screen, whose files it tells of.
QWidget* doner::owner() const {
    return qconvert::existing();
}

QPoint doner::initialPosition() const {
    return centredOverDropScreen(*this);
}

void doner::Timer1_Action() {
    Timer1->setMode(Timer::Single);
    NSAlien::ShowPoof(Left() + 220, Top() + 350, 1000, 1000);
    doner::instance().Close();
}
