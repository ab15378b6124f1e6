#pragma once

#include <QGroupBox>

#include "platform/busybar.h"
#include "platform/controls.h"
#include "platform/timer.h"
#include "platform/window.h"

// The progress window: a busy bar while a conversion runs. Its timer ends the display on the
// first tick after the conversion has returned.
class progressdes : public platform::Window, public platform::Implicit<progressdes> {
    Q_OBJECT
public:
    progressdes();

    QGroupBox* GroupBox1;
    platform::Timer* Timer2;
    platform::StaticText* RemainingTime;
    platform::BusyBar* ProgressBar1;
    platform::StaticText* StaticText2;
    platform::StaticText* StaticText3;

    void Timer2_Action();

protected:
    QPoint initialPosition() const override;
    QWidget* owner() const override;
};

// Where the feedback windows appear: centred over the Drop Screen, or over the main screen
// when it is closed.
QPoint centredOverDropScreen(const platform::Window& window);
