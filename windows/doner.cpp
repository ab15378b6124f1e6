#include "doner.h"

#include "native/nsalien.h"
#include "windows/feedback.h"
#include "windows/progressdes.h"
#include "windows/qconvert.h"

using namespace platform;

doner::doner() : Window(feedbackLayout(313, 71, 1)) {
    GroupBox1 = feedbackGroup(this, QRect(21, 13, 271, 36));
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
