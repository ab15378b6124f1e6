#pragma once

#include <QGroupBox>

#include "platform/controls.h"
#include "platform/timer.h"
#include "platform/window.h"

// The completion window: "DONE" for half a second, then it vanishes with a poof.
class doner : public platform::Window, public platform::Implicit<doner> {
    Q_OBJECT
public:
    doner();

    QGroupBox* GroupBox1;
    platform::Timer* Timer1;
    platform::StaticText* StaticText1;

    void Timer1_Action();

protected:
    QPoint initialPosition() const override;
    QWidget* owner() const override;
};
