#include "progressdes.h"

#include "windows/doner.h"
#include "windows/feedback.h"
#include "windows/qconvert.h"

using namespace platform;

progressdes::progressdes() : Window(feedbackLayout(356, 106, 3)) {
    const TextStyle white{12, false, Qt::white, 1};

    GroupBox1 = feedbackGroup(this, QRect(10, 10, 336, 80));
    // clang-format off
    Timer2        = new Timer(this, Timer::Off, 1);
    connect(Timer2, &Timer::Action, this, &progressdes::Timer2_Action);
    RemainingTime = new StaticText(GroupBox1, inContainer(QRect(77, 55, 203, 22), GroupBox1), QStringLiteral("Processing,  please wait..."), white);
    ProgressBar1  = new BusyBar(GroupBox1);
    StaticText2   = new StaticText(GroupBox1, inContainer(QRect(25, 28, 19, 20), GroupBox1), QStringLiteral("0%"), {12, false, Qt::white, 2});
    StaticText3   = new StaticText(GroupBox1, inContainer(QRect(309, 28, 33, 20), GroupBox1), QStringLiteral("100%"), {12, false, Qt::white, 0});
    // clang-format on

    ProgressBar1->setGeometry(inContainer(QRect(52, 26, 252, 20), GroupBox1));
    ProgressBar1->setRange(0, 0);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setAccessibleName(RemainingTime->text().simplified());
}

// Over the Drop Screen, whose files it tells of.
QWidget* progressdes::owner() const {
    return qconvert::existing();
}

QPoint progressdes::initialPosition() const {
    return centredOverDropScreen(*this);
}

void progressdes::Timer2_Action() {
    if (ProgressBar1->value() != ProgressBar1->maximum())
        return;
    Timer2->setMode(Timer::Off);
    progressdes::instance().Close();
    doner::instance().Show();
    qconvert::instance().StaticText31->setVisible(true);
}

QPoint centredOverDropScreen(const Window& window) {
    if (const qconvert* dropScreen = qconvert::existing())
        return window.centredOn(dropScreen->geometry());
    return window.centredOn(Window::mainScreenArea());
}
