#pragma once

#include "platform/window.h"

// The format chooser: the nine format buttons that convert every file on the Drop Screen.
class imagecontrol : public platform::Window, public platform::Implicit<imagecontrol> {
    Q_OBJECT
public:
    imagecontrol();

protected:
    QPoint initialPosition() const override;
};
