#pragma once

#include "platform/controls.h"
#include "platform/window.h"

class QPushButton;

// The About window: the product's name and version, its logo, the web address and a
// copyright line, with one button that closes it.
class AboutWin : public platform::Window, public platform::Implicit<AboutWin> {
    Q_OBJECT
public:
    AboutWin();

    static const QString Copyright;

    platform::RoundRectangle* Rectangle1;
    platform::StaticText* StaticText1;
    platform::StaticText* StaticText2;
    QPushButton* PushButton1;
    platform::Canvas* Canvas2;
    platform::StaticText* StaticText6;
    platform::StaticText* StaticText7;

    void PushButton1_Action();

protected:
    QPoint initialPosition() const override;
    QWidget* owner() const override;
};
